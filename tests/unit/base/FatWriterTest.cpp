// The base's own FAT writer, judged by the tools users trust: written into an image file at
// a partition's offset, fsck.fat finds nothing to say of it and blkid names its FAT and its
// label, whatever the partition held before; a write that fails and an abort are never a
// success.
#include "RealDisks.h"

#include "base/AbortFlag.h"
#include "base/FatWriter.h"
#include "base/FdBlockDevice.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

using namespace kestrune;
using namespace kestrune::blockio;

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kOffset = kMiB; // where the partition begins on its disk
constexpr uint64_t kAround = 64 << 10;
constexpr char kAroundByte = 0x5A; // the table before the partition, another after it

// An image file as a disk that counts what is written, fails the writes that cover a chosen
// byte and raises the abort flag at a chosen write.
class ImageDisk final : public BlockDevice {
public:
    explicit ImageDisk(const QString& path) {
        int error = 0;
        file_ = FdBlockDevice::adopt(open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC),
                                     false, &error);
    }
    uint64_t size() const override { return file_->size(); }
    size_t alignment() const override { return file_->alignment(); }
    bool readOnly() const override { return false; }
    bool direct() const override { return false; }
    int writeAt(const void* data, size_t length, uint64_t offset) override {
        ++writes;
        if (writes == abortAtWrite)
            abort.raise();
        if (offset <= failAt && failAt - offset < length)
            return EIO;
        bytesWritten += length;
        return file_->writeAt(data, length, offset);
    }
    int readAt(void* data, size_t length, uint64_t offset) override {
        return file_->readAt(data, length, offset);
    }
    int sync() override { return syncError ? syncError : file_->sync(); }

    int writes = 0, abortAtWrite = 0, syncError = 0;
    uint64_t failAt = UINT64_MAX;
    uint64_t bytesWritten = 0;
    AbortFlag abort;

private:
    std::unique_ptr<FdBlockDevice> file_;
};

class FatWriterTest : public ::testing::Test {
protected:
    // A disk of the partition with a marked stretch before and after it; old bytes fill the
    // partition's first MiBs where it is not to read as zeros.
    QString disk(uint64_t partition, uint64_t oldBytes) {
        const QString path = dir_.filePath(QStringLiteral("disk.img"));
        QFile::remove(path);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) &&
                    file.resize(qint64(kOffset + partition + kAround)));
        const QByteArray around(kAround, kAroundByte);
        file.seek(qint64(kOffset - kAround));
        file.write(around);
        file.seek(qint64(kOffset + partition));
        file.write(around);
        file.seek(qint64(kOffset));
        for (uint64_t at = 0; at < oldBytes; at += kMiB)
            file.write(QByteArray(kMiB, char(0xA5)));
        return path;
    }
    // The partition alone, as fsck.fat takes it: the data of the disk's range, holes kept.
    QString partitionOf(const QString& path, uint64_t bytes) {
        const QString copy = dir_.filePath(QStringLiteral("partition.img"));
        QFile::remove(copy);
        QFile in(path), out(copy);
        EXPECT_TRUE(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly) &&
                    out.resize(qint64(bytes)));
        for (off_t at = off_t(kOffset);;) {
            const off_t data = lseek(in.handle(), at, SEEK_DATA);
            const off_t hole = data < 0 ? -1 : lseek(in.handle(), data, SEEK_HOLE);
            if (hole < 0 || uint64_t(data) >= kOffset + bytes)
                break;
            in.seek(data);
            out.seek(data - off_t(kOffset));
            out.write(in.read(std::min<qint64>(hole, qint64(kOffset + bytes)) - data));
            at = hole;
        }
        return copy;
    }

    QTemporaryDir dir_{QFileInfo::exists("/dev/shm") ? "/dev/shm/kestrune-XXXXXX" : QString()};
};

} // namespace

TEST_F(FatWriterTest, EveryFatWidthAndSectorSizeIsAFileSystemTheToolsFindWhole) {
    for (const char* tool : {"fsck.fat", "blkid"})
        if (test::systemProgram(QString::fromLatin1(tool)).isEmpty())
            GTEST_SKIP() << "needs " << tool;
    struct Case {
        uint64_t bytes;
        uint32_t sector;
        const char* version;
        const char* label;
        uint64_t oldBytes; // 0: the partition reads as zeros
    };
    const Case cases[] = {
        {4 * kMiB, 512, "FAT12", "SHREDDED", 0},
        {4 * kMiB, 512, "FAT12", "", 4 * kMiB},
        {8 * kMiB, 4096, "FAT12", "SHREDDED", 8 * kMiB},
        {8 * kMiB, 512, "FAT16", "KESTRUNE 01", 8 * kMiB},
        {200 * kMiB, 512, "FAT16", "SHREDDED", 0},
        {64 * kMiB, 4096, "FAT16", "A!#$%&'()-@", 16 * kMiB},
        {600 * kMiB, 512, "FAT32", "SHREDDED", 16 * kMiB},
        {2048 * kMiB, 512, "FAT32", "SHREDDED", 0},
        {1024 * kMiB, 4096, "FAT32", "", 16 * kMiB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.version << ", " << c.bytes / kMiB << " MiB of "
                                        << c.sector << "-byte sectors, old bytes " << c.oldBytes);
        const QString path = disk(c.bytes, c.oldBytes);
        ImageDisk image(path);
        FatVolume volume;
        volume.layout = *chooseFatLayout(c.bytes, c.sector);
        volume.hiddenSectors = kOffset / volume.layout.sectorSize;
        volume.label = c.label;
        volume.serial = 0x1234ABCD;
        volume.readsAsZeros = c.oldBytes == 0;
        std::vector<int> percents;
        const FatWriteOutcome outcome = writeFatFileSystem(
            image, kOffset, c.bytes, volume, [&](int percent) { percents.push_back(percent); });
        ASSERT_EQ(outcome.end, FatWriteOutcome::End::Done) << outcome.failure;
        EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
        EXPECT_EQ(percents.front(), 0);
        EXPECT_EQ(percents.back(), 100);
        // On zeros, a few sectors are all a slow stick is given to write.
        if (c.oldBytes == 0) {
            EXPECT_LE(image.bytesWritten, 64u << 10);
        }
        EXPECT_EQ(test::readBytes(path, qint64(kOffset - kAround), kAround),
                  QByteArray(kAround, kAroundByte));
        EXPECT_EQ(test::readBytes(path, qint64(kOffset + c.bytes), kAround),
                  QByteArray(kAround, kAroundByte));

        QByteArray said;
        EXPECT_EQ(test::runProgram(QStringLiteral("fsck.fat"),
                                   {QStringLiteral("-n"), partitionOf(path, c.bytes)}, &said),
                  0);
        // Its version and its summary, nothing else.
        EXPECT_EQ(said.trimmed().count('\n'), 1) << said.constData();
        QByteArray probed;
        test::runProgram(QStringLiteral("blkid"),
                         {QStringLiteral("-p"), QStringLiteral("-O"), QString::number(kOffset),
                          QStringLiteral("-o"), QStringLiteral("export"), path},
                         &probed);
        EXPECT_TRUE(probed.contains("\nTYPE=vfat\n")) << probed.constData();
        EXPECT_TRUE(probed.contains(QByteArray("\nVERSION=") + c.version + '\n'));
        // blkid quotes the label's marks as a shell would.
        EXPECT_EQ(probed.replace('\\', "").contains(QByteArray("\nLABEL=") + c.label + '\n'),
                  *c.label != 0)
            << probed.constData();
        // A FAT driver of its own (mtools, where installed) stores a file in it, and
        // fsck.fat still finds nothing to say.
        if (!test::systemProgram(QStringLiteral("mcopy")).isEmpty()) {
            const QString drive = path + QStringLiteral("@@") + QString::number(kOffset);
            const QString note = dir_.filePath(QStringLiteral("NOTE.TXT"));
            QFile file(note);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(QByteArray(100 << 10, 'x')));
            file.close();
            EXPECT_EQ(test::runProgram(QStringLiteral("mcopy"),
                                       {QStringLiteral("-i"), drive, note, QStringLiteral("::/")}),
                      0);
            EXPECT_EQ(test::runProgram(QStringLiteral("fsck.fat"),
                                       {QStringLiteral("-n"), partitionOf(path, c.bytes)}, &said),
                      0)
                << said.constData();
        }
        const auto boot = test::readFatBootSector(path, qint64(kOffset));
        ASSERT_TRUE(boot);
        EXPECT_EQ(boot->hiddenSectors, kOffset / c.sector);
        EXPECT_EQ(boot->bytesPerSector, int(c.sector));
    }
}

TEST_F(FatWriterTest, AFailedWriteAnAbortOrARefusedLabelIsNeverASuccess) {
    struct Case {
        const char* name;
        bool readsAsZeros;
        uint64_t failAt;
        int abortAtWrite, syncError;
        const char* label;
        FatWriteOutcome::End end;
        const char* failure; // how it begins
    };
    using End = FatWriteOutcome::End;
    const Case cases[] = {
        {"the boot sector fails", true, kOffset, 0, 0, "A", End::Failed,
         "cannot write the file system at byte 0 of the partition: Input/output error"},
        {"the clearing fails", false, kOffset, 0, 0, "A", End::Failed,
         "cannot clear the file system's structures: Input/output error"},
        {"the sync fails", true, UINT64_MAX, 0, ENOSPC, "A", End::Failed,
         "cannot write the file system: No space left on device"},
        {"aborted among the structures", true, UINT64_MAX, 1, 0, "A", End::Aborted, "aborted"},
        {"aborted while clearing", false, UINT64_MAX, 1, 0, "A", End::Aborted, "aborted"},
        {"a lower-case label", true, UINT64_MAX, 0, 0, "Shredded", End::Failed,
         "the label cannot be kept: a FAT label is upper-case"},
        {"a long label", true, UINT64_MAX, 0, 0, "SHREDDED 2026", End::Failed,
         "the label cannot be kept: a FAT label has at most 11 characters"},
        {"a dot in the label", true, UINT64_MAX, 0, 0, "A.B", End::Failed,
         "the label cannot be kept: a FAT label cannot hold \".\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t bytes = 64 * kMiB;
        const QString path = disk(bytes, 0);
        ImageDisk image(path);
        image.failAt = c.failAt;
        image.abortAtWrite = c.abortAtWrite;
        image.syncError = c.syncError;
        FatVolume volume;
        volume.layout = *chooseFatLayout(bytes, 512);
        volume.label = c.label;
        volume.readsAsZeros = c.readsAsZeros;
        std::vector<int> percents;
        const FatWriteOutcome outcome = writeFatFileSystem(
            image, kOffset, bytes, volume, [&](int percent) { percents.push_back(percent); },
            image.abort.address());
        EXPECT_EQ(outcome.end, c.end);
        EXPECT_EQ(outcome.failure.rfind(c.failure, 0), 0u) << outcome.failure;
        EXPECT_TRUE(percents.empty() || percents.back() < 100);
        // No boot sector before the end: nothing reads the partition as a file system.
        if (!c.syncError) {
            EXPECT_EQ(test::readBytes(path, qint64(kOffset), 512), QByteArray(512, 0));
        }
    }
}
