// Disks shaped the way USB drives are, formatted on real block devices and checked from
// their byte ranges (this kernel parses no partition table): logical sectors of 512 and of
// 4096 bytes at every size, and a disk beyond 2 TiB, which gets a GPT.
#include "RealDisks.h"
#include "TestSupport.h"

#include "shred/FormatAndLabel.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrune;
using namespace kestrune::test;

namespace {

constexpr qint64 kMiB = 1 << 20;

class DiskGeometry : public ::testing::Test {
protected:
    void SetUp() override {
        if (const QString reason = loopDevicesUnavailable(); !reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        for (const char* tool : {"mkfs.fat", "fsck.fat", "sfdisk", "blkid"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool),
                                               {"/usr/sbin", "/sbin", "/usr/bin", "/bin"})
                    .isEmpty())
                GTEST_SKIP() << "needs " << tool;
        messages().clear();
    }

    // An image that held data before, as a used stick does.
    QString image(const QString& name, qint64 bytes) {
        const QString path = dir_.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(std::min<qint64>(bytes, kMiB), 'K'));
        EXPECT_TRUE(file.resize(bytes));
        return path;
    }
    static FormatResult format(const QString& device, bool readsAsZeros = false) {
        platform::FormatRequest request;
        request.identity = diskIdentityOf(device);
        request.deviceNumber = -1;
        request.label = QStringLiteral("Shredded");
        request.requireRemovable = false;
        request.diskReadsAsZeros = readsAsZeros;
        return formatAndLabel(request);
    }

    QTemporaryDir dir_{QFileInfo::exists("/dev/shm") ? "/dev/shm/kestrune-XXXXXX" : QString()};
};

} // namespace

TEST_F(DiskGeometry, EverySizeGetsAnMbrAndAValidFatWithSectorsOf512Or4096Bytes) {
    for (const int sector : {512, 4096}) {
        for (const qint64 bytes : {kMiB, 8 * kMiB, 9 * kMiB, 17 * kMiB, 64 * kMiB, 600 * kMiB}) {
            SCOPED_TRACE(QStringLiteral("%1 MiB, %2-byte sectors")
                             .arg(double(bytes) / kMiB)
                             .arg(sector)
                             .toStdString());
            const QString path = image(QStringLiteral("disk.img"), bytes);
            LoopDisk loop(path, LoopDisk::Options{false, 0, 0, sector});
            ASSERT_TRUE(loop.attached());
            ASSERT_EQ(format(loop.device()), FormatResult::Formatted);
            const auto partition = firstPartition(loop.device());
            ASSERT_TRUE(partition);
            EXPECT_EQ(partition->label, QStringLiteral("dos"));
            EXPECT_EQ(partition->sectorSize, sector);
            EXPECT_EQ(partition->type, bytes < 512 * kMiB ? 0x0e : 0x0c);
            // One partition to the disk's end, less what the alignment leaves.
            EXPECT_GE(partition->start + partition->size, bytes - kMiB);
            const FileSystemCheck check =
                checkFileSystemAt(path, partition->start, partition->size);
            EXPECT_EQ(check.fsck, 0);
            EXPECT_EQ(check.type, QStringLiteral("vfat"));
            EXPECT_EQ(check.label, QStringLiteral("SHREDDED"));
            const auto boot = readFatBootSector(path, partition->start);
            ASSERT_TRUE(boot);
            EXPECT_EQ(boot->bytesPerSector, sector);
            EXPECT_EQ(check.version, QStringLiteral("FAT%1").arg(boot->fatBitsByCount));
            EXPECT_TRUE(loop.detach());
            QFile::remove(path);
        }
    }
    EXPECT_TRUE(messages().boxes().empty());
}

// A 3 TiB disk, sparse: its partition is taken as zeros already, so only the partition
// table and the file system are written.
TEST_F(DiskGeometry, BeyondTwoTebibytesAGptPartitionSpansTheDiskWithAValidFat32) {
    const qint64 bytes = 3 * (qint64(1) << 40);
    const QString path = image(QStringLiteral("large.img"), bytes);
    LoopDisk loop(path);
    ASSERT_TRUE(loop.attached());
    ASSERT_EQ(format(loop.device(), true), FormatResult::Formatted);

    const auto partition = firstPartition(loop.device());
    ASSERT_TRUE(partition);
    EXPECT_EQ(partition->label, QStringLiteral("gpt"));
    EXPECT_EQ(partition->typeText, QStringLiteral("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"));
    EXPECT_EQ(partition->start, kMiB);
    EXPECT_GE(partition->start + partition->size, bytes - 2 * kMiB) << "up to the disk's end";
    // The protective MBR, and both copies of the GPT's header.
    EXPECT_EQ(quint8(readBytes(path, 446 + 4, 1).at(0)), 0xEE);
    EXPECT_EQ(readBytes(path, 512, 8), QByteArray("EFI PART"));
    EXPECT_EQ(readBytes(path, bytes - 512, 8), QByteArray("EFI PART"));
    // What the disk held before the table is gone.
    EXPECT_FALSE(readBytes(path, 34 * 512, kMiB - 34 * 512).contains('K'));

    const FileSystemCheck check = checkFileSystemAt(path, partition->start, partition->size);
    EXPECT_EQ(check.fsck, 0);
    EXPECT_EQ(check.version, QStringLiteral("FAT32"));
    EXPECT_EQ(check.label, QStringLiteral("SHREDDED"));
    const auto boot = readFatBootSector(path, partition->start);
    ASSERT_TRUE(boot);
    EXPECT_EQ(boot->fatBitsByCount, 32);
    // 512-byte sectors could count only 2 TiB: the file system's own are larger, and it
    // covers the whole partition.
    EXPECT_EQ(boot->bytesPerSector, 4096);
    EXPECT_GE(boot->totalSectors * 4096 + kMiB, quint64(partition->size));
}
