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
#include <algorithm>
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
    static FormatResult format(const QString& device, bool readsAsZeros = false,
                               std::vector<int>* percents = nullptr) {
        platform::FormatRequest request;
        request.identity = diskIdentityOf(device);
        request.deviceNumber = -1;
        request.label = QStringLiteral("Shredded");
        request.requireRemovable = false;
        request.diskReadsAsZeros = readsAsZeros;
        if (percents)
            request.progress = [percents](int percent) { percents->push_back(percent); };
        return formatAndLabel(request);
    }

    static QByteArray readAll(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // The sectors of 512 bytes written to a block device since it appeared.
    static qint64 sectorsWritten(const QString& name) {
        QFile stat(QStringLiteral("/sys/block/%1/stat").arg(name));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QList<QByteArray> fields = stat.readAll().simplified().split(' ');
        return fields.size() > 6 ? fields[6].toLongLong() : -1;
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

// After a job of zeros that read back, the format leaves the zeroing out; the disk ends up the
// same, byte for byte, as after a full format. Formats in the order full, short, full: what
// differs between the two full ones is what differs every time (the file system's serial
// number and time stamps), and the short one may differ from them only there, and in the
// MBR's random disk identifier.
TEST_F(DiskGeometry, AfterVerifiedZerosTheFormatSkipsZeroingAndWritesTheSameBytes) {
    for (const int sector : {512, 4096}) {
        SCOPED_TRACE(sector);
        constexpr qint64 kBytes = 64 * kMiB;
        QStringList paths;
        std::vector<qint64> written;
        std::vector<int> percents;
        for (const bool readsAsZeros : {false, true, false}) {
            const QString path = dir_.filePath(QStringLiteral("zeros%1.img").arg(paths.size()));
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(kBytes));
            file.close();
            LoopDisk loop(path, LoopDisk::Options{false, 0, 0, sector});
            ASSERT_TRUE(loop.attached());
            const qint64 before = sectorsWritten(loop.name());
            ASSERT_EQ(format(loop.device(), readsAsZeros, readsAsZeros ? &percents : nullptr),
                      FormatResult::Formatted);
            written.push_back(sectorsWritten(loop.name()) - before);
            const auto partition = firstPartition(loop.device());
            ASSERT_TRUE(partition);
            EXPECT_EQ(checkFileSystemAt(path, partition->start, partition->size).fsck, 0);
            paths << path;
        }
        const QByteArray full = readAll(paths[0]), quick = readAll(paths[1]),
                         again = readAll(paths[2]);
        ASSERT_EQ(full.size(), kBytes);
        ASSERT_EQ(quick.size(), kBytes);
        qsizetype differences = 0, everyTime = 0;
        for (qsizetype at = 0; at < kBytes; ++at) {
            const bool diskIdentifier = at >= 440 && at < 444;
            everyTime += full[at] != again[at];
            if (quick[at] != full[at] && full[at] == again[at] && !diskIdentifier) {
                ADD_FAILURE() << "byte " << at << " differs from the full format's";
                if (++differences > 8)
                    break;
            }
        }
        EXPECT_LT(everyTime, 32) << "two full formats differ in more than serials and times";
        // The full format wrote the partition once more; the short one only its structures.
        EXPECT_GT(written[0], kBytes / 512 * 9 / 10);
        EXPECT_LT(written[1], kBytes / 512 / 10);
        // Its progress follows that work from its start to its end.
        ASSERT_FALSE(percents.empty());
        EXPECT_LE(percents.front(), 1);
        EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
        EXPECT_EQ(percents.back(), 100);
    }
}
