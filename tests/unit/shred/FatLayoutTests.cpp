// The FAT each partition size gets, built by mkfs.fat into image files the size of the
// partition and checked as a FAT driver reads them: every size from 1 MiB up, with 512- and
// 4096-byte sectors, gets a file system whose count of clusters makes it the FAT it says it
// is, over the whole partition.
#include "RealDisks.h"

#include "platform/DiskFormatter.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace kestrune;

namespace {

constexpr qint64 kMiB = 1 << 20;
constexpr qint64 kGiB = qint64(1) << 30;

class FatLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::systemProgram("mkfs.fat").isEmpty() || test::systemProgram("fsck.fat").isEmpty())
            GTEST_SKIP() << "needs dosfstools";
    }

    // A sparse image the size of the partition.
    QString image(qint64 bytes) {
        const QString path = dir_.filePath(QStringLiteral("partition.img"));
        QFile::remove(path);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(bytes));
        return path;
    }
    static QString version(const QString& path) {
        QByteArray value;
        test::runProgram(QStringLiteral("blkid"),
                         {QStringLiteral("-p"), QStringLiteral("-o"), QStringLiteral("value"),
                          QStringLiteral("-s"), QStringLiteral("VERSION"), path},
                         &value);
        return QString::fromUtf8(value).trimmed();
    }

    QTemporaryDir dir_{QFileInfo::exists("/dev/shm") ? "/dev/shm/kestrune-XXXXXX" : QString()};
};

} // namespace

TEST_F(FatLayoutTest, EverySizeGetsTheFatItsClustersMakeItWithEitherSectorSize) {
    // Partition sizes on both sides of every limit: FAT12 below 8 MiB, FAT16 from it (which
    // 4096-byte sectors can only fill from about 16 MiB), FAT32 from 512 MiB, and the
    // cluster sizes that grow with the volume.
    const std::vector<qint64> sizes = {kMiB,
                                       2 * kMiB,
                                       4 * kMiB,
                                       8 * kMiB - 4096,
                                       8 * kMiB,
                                       8 * kMiB + 64 * 1024,
                                       9 * kMiB,
                                       16 * kMiB,
                                       16 * kMiB + 256 * 1024,
                                       17 * kMiB,
                                       63 * kMiB,
                                       64 * kMiB,
                                       127 * kMiB,
                                       256 * kMiB + 4096,
                                       300 * kMiB,
                                       511 * kMiB,
                                       512 * kMiB,
                                       1 * kGiB,
                                       8 * kGiB + kMiB,
                                       33 * kGiB};
    const qint64 offset = kMiB;
    for (const int sector : {512, 4096}) {
        for (const qint64 bytes : sizes) {
            SCOPED_TRACE(
                QStringLiteral("%1 bytes, %2-byte sectors").arg(bytes).arg(sector).toStdString());
            const QString path = image(bytes);
            ASSERT_EQ(platform::buildFatImage(path, offset, sector, QStringLiteral("SHREDDED")),
                      QString());
            EXPECT_EQ(test::runProgram(QStringLiteral("fsck.fat"), {QStringLiteral("-n"), path}),
                      0);
            const auto boot = test::readFatBootSector(path, 0);
            ASSERT_TRUE(boot);
            // A FAT driver goes by the count of clusters, so the two must agree.
            EXPECT_EQ(version(path), QStringLiteral("FAT%1").arg(boot->fatBitsByCount));
            const int expected = bytes >= 512 * kMiB ? 32 : bytes >= 8 * kMiB ? 16 : 12;
            if (boot->fatBitsByCount != expected) {
                // Only where FAT16 cannot get its 4085 clusters from sectors this large.
                EXPECT_EQ(boot->fatBitsByCount, 12);
                EXPECT_EQ(sector, 4096);
                EXPECT_LT(bytes, 17 * kMiB);
            }
            EXPECT_EQ(boot->bytesPerSector, sector);
            EXPECT_EQ(boot->hiddenSectors, quint64(offset / sector));
            // The whole partition, but for what mkfs.fat leaves of a last track.
            EXPECT_LE(boot->totalSectors, quint64(bytes / sector));
            EXPECT_LT(quint64(bytes / sector) - boot->totalSectors, 64u);
            EXPECT_LE(boot->bytesPerSector * boot->sectorsPerCluster, 32 * 1024);
        }
    }
}

TEST_F(FatLayoutTest, BeyondTwoTebibytesTheSectorsGrowAndBeyondSixteenNoFatFits) {
    // The boot sector counts sectors in 32 bits: 3 TiB need sectors of 4096 bytes, and
    // clusters of 64 KiB keep each FAT at 200 MiB.
    const auto large = platform::chooseFatLayout(3 * (qint64(1) << 40), 512);
    ASSERT_TRUE(large);
    EXPECT_EQ(large->fatBits, 32);
    EXPECT_EQ(large->sectorSize, 4096u);
    EXPECT_EQ(large->sectorsPerCluster, 16u);
    // The partition of a 2 TiB disk keeps the disk's own sectors and today's clusters.
    const auto two = platform::chooseFatLayout(2 * (qint64(1) << 40) - kMiB, 512);
    ASSERT_TRUE(two);
    EXPECT_EQ(two->sectorSize, 512u);
    EXPECT_EQ(two->sectorsPerCluster, 64u);

    QString why;
    EXPECT_FALSE(platform::chooseFatLayout(17 * (qint64(1) << 40), 4096, &why));
    EXPECT_EQ(why, QStringLiteral("the disk is too large for a FAT32 file system"));
}
