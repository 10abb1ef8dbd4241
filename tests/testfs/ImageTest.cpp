#include "DirectIo.h"
#include "TestFileSystem.h"

#include <QDir>
#include <QFileInfo>
#include <grp.h>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kestrune::test;

namespace {

constexpr std::uint64_t GiB = 1024 * MiB;

// Kernel-side behaviour differs with and without the page cache, so both are covered.
class TestFsImage : public ::testing::TestWithParam<bool> {};

TEST_P(TestFsImage, ReadsBackWhatWasWrittenAndZerosElsewhere) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    TestFileSystemOptions options;
    options.size = 64 * MiB;
    options.directIo = GetParam();
    TestFileSystem fs(options);
    ASSERT_TRUE(fs.mounted()) << fs.error().toStdString();

    struct stat st {};
    ASSERT_EQ(::stat(fs.imagePath().toLocal8Bit().constData(), &st), 0)
        << lastError().toStdString();
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), 64 * MiB);

    const Descriptor fd = openDirect(fs.imagePath());
    ASSERT_TRUE(fd.valid()) << "O_DIRECT open: " << lastError().toStdString();
    const struct {
        std::uint64_t offset;
        AlignedBlock block;
    } writes[] = {{0, AlignedBlock::pattern(MiB, 1)},
                  {8 * MiB + 4 * KiB, AlignedBlock::pattern(4 * MiB, 2)},
                  {64 * MiB - 64 * KiB, AlignedBlock::pattern(64 * KiB, 3)}};
    for (const auto& write : writes)
        ASSERT_EQ(writeAt(fd, write.block, write.offset), ssize_t(write.block.size()))
            << lastError().toStdString();

    // Two readers at once: the loop serves requests concurrently from shared storage.
    std::vector<std::jthread> readers;
    std::vector<AlignedBlock> readBack;
    for (const auto& write : writes)
        readBack.emplace_back(write.block.size());
    for (std::size_t r = 0; r < 2; ++r)
        readers.emplace_back([&, r] {
            for (std::size_t i = r; i < std::size(writes); i += 2)
                readAt(fd, readBack[i], writes[i].offset);
        });
    readers.clear();
    for (std::size_t i = 0; i < std::size(writes); ++i)
        EXPECT_TRUE(readBack[i].sameAs(writes[i].block)) << "block at " << writes[i].offset;

    AlignedBlock untouched(MiB);
    ASSERT_EQ(readAt(fd, untouched, 32 * MiB), ssize_t(MiB));
    EXPECT_TRUE(untouched.isZero());

    // The image is a device of fixed size: it neither grows nor reads past its end.
    AlignedBlock past = AlignedBlock::pattern(4 * KiB, 4);
    EXPECT_EQ(writeAt(fd, past, 64 * MiB), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(readAt(fd, past, 64 * MiB), 0);
    ASSERT_EQ(::stat(fs.imagePath().toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), 64 * MiB);
}

INSTANTIATE_TEST_SUITE_P(Cache, TestFsImage, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "DirectIo" : "PageCache";
                         });

TEST(TestFsFiles, OnlyTheImageExists) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    TestFileSystemOptions options;
    options.fileName = QStringLiteral("stick.img");
    TestFileSystem fs(options);
    ASSERT_TRUE(fs.mounted()) << fs.error().toStdString();
    EXPECT_EQ(QDir(fs.mountDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList{"stick.img"});
    const QByteArray other = (fs.mountDir() + "/other.img").toLocal8Bit();
    EXPECT_EQ(::open(other.constData(), O_RDWR | O_CREAT, 0644), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(::mkdir((fs.mountDir() + "/folder").toLocal8Bit().constData(), 0755), -1);
    EXPECT_EQ(::truncate(fs.imagePath().toLocal8Bit().constData(),
                         static_cast<off_t>(options.size) + 4096),
              -1);
    EXPECT_EQ(::access((fs.mountDir() + "/disk.img").toLocal8Bit().constData(), F_OK), -1);
}

TEST(TestFsFiles, AShrunkImageEndsAtItsNewSize) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    TestFileSystem fs;
    ASSERT_TRUE(fs.mounted()) << fs.error().toStdString();
    const QByteArray path = fs.imagePath().toLocal8Bit();
    ASSERT_EQ(::truncate(path.constData(), 1 << 20), 0);
    EXPECT_EQ(QFileInfo(fs.imagePath()).size(), 1 << 20);
    const int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char byte = 1;
    EXPECT_EQ(::pwrite(fd, &byte, 1, 1 << 20), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(::pread(fd, &byte, 1, 1 << 20), 0);
    EXPECT_EQ(::pwrite(fd, &byte, 1, (1 << 20) - 1), 1);
    ::close(fd);
}

TEST(TestFsFiles, ClaimedSizeCostsNothingUntilDataIsWritten) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    TestFileSystemOptions options;
    options.size = 64 * GiB;
    TestFileSystem fs(options);
    ASSERT_TRUE(fs.mounted()) << fs.error().toStdString();
    const QByteArray path = fs.imagePath().toLocal8Bit();
    struct stat st {};
    ASSERT_EQ(::stat(path.constData(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), 64 * GiB);
    EXPECT_EQ(st.st_blocks, 0);

    const Descriptor fd = openDirect(fs.imagePath());
    ASSERT_TRUE(fd.valid()) << lastError().toStdString();
    const AlignedBlock zeros(4 * MiB);
    ASSERT_EQ(writeAt(fd, zeros, 0), ssize_t(zeros.size()));
    const AlignedBlock tail = AlignedBlock::pattern(64 * KiB, 5);
    ASSERT_EQ(writeAt(fd, tail, 64 * GiB - 64 * KiB), ssize_t(tail.size()));
    AlignedBlock back(64 * KiB);
    ASSERT_EQ(readAt(fd, back, 64 * GiB - 64 * KiB), ssize_t(back.size()));
    EXPECT_TRUE(back.sameAs(tail));
    ASSERT_EQ(::stat(path.constData(), &st), 0);
    EXPECT_EQ(st.st_blocks, 128) << "only the non-zero 64 KiB take memory";
}

class TestFsCounterfeit : public ::testing::Test {
protected:
    static constexpr std::uint64_t usable = 4 * MiB;

    void mount(TestFileSystemOptions::PastUsable past) {
        TestFileSystemOptions options;
        options.size = 16 * MiB;
        options.usable = usable;
        options.pastUsable = past;
        options.directIo = true;
        fs.emplace(options);
        ASSERT_TRUE(fs->mounted()) << fs->error().toStdString();
        fd = openDirect(fs->imagePath());
        ASSERT_TRUE(fd.valid()) << lastError().toStdString();
        // A marker two laps past the real end, and a block across that end.
        ASSERT_EQ(writeAt(fd, marker, 2 * usable + 128 * KiB), ssize_t(marker.size()));
        ASSERT_EQ(writeAt(fd, straddling, usable - 64 * KiB), ssize_t(straddling.size()));
    }
    AlignedBlock readBack(std::uint64_t offset, std::size_t size) {
        AlignedBlock block(size);
        EXPECT_EQ(readAt(fd, block, offset), ssize_t(size)) << "at " << offset;
        return block;
    }

    const AlignedBlock marker = AlignedBlock::pattern(64 * KiB, 6);
    const AlignedBlock straddling = AlignedBlock::pattern(128 * KiB, 7);
    std::optional<TestFileSystem> fs;
    Descriptor fd;
};

TEST_F(TestFsCounterfeit, WrapPutsDataPastTheLimitOntoTheStart) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    ASSERT_NO_FATAL_FAILURE(mount(TestFileSystemOptions::PastUsable::Wrap));
    EXPECT_TRUE(readBack(128 * KiB, marker.size()).sameAs(marker));
    EXPECT_TRUE(readBack(usable + 128 * KiB, marker.size()).sameAs(marker)) << "reads wrap too";
    EXPECT_TRUE(readBack(usable - 64 * KiB, 64 * KiB).sameAs(straddling, 0, 0, 64 * KiB));
    EXPECT_TRUE(readBack(0, 64 * KiB).sameAs(straddling, 0, 64 * KiB, 64 * KiB));
    EXPECT_TRUE(readBack(usable, 64 * KiB).sameAs(straddling, 0, 64 * KiB, 64 * KiB));
}

TEST_F(TestFsCounterfeit, DropLosesDataPastTheLimit) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    ASSERT_NO_FATAL_FAILURE(mount(TestFileSystemOptions::PastUsable::Drop));
    EXPECT_TRUE(readBack(2 * usable + 128 * KiB, marker.size()).isZero());
    EXPECT_TRUE(readBack(128 * KiB, marker.size()).isZero());
    EXPECT_TRUE(readBack(usable - 64 * KiB, 64 * KiB).sameAs(straddling, 0, 0, 64 * KiB));
    EXPECT_TRUE(readBack(usable, 64 * KiB).isZero());
    EXPECT_TRUE(readBack(0, 64 * KiB).isZero());
}

// Opens the image as an unprivileged user in a child process; 0 or the errno.
int openAsNobody(const QString& path) {
    const QByteArray file = path.toLocal8Bit();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(255);
        const int fd = ::open(file.constData(), O_RDWR);
        ::_exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(TestFsFiles, OtherUsersOpenTheImageOnlyWhenAllowed) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    TestFileSystemOptions options;
    TestFileSystem own(options);
    ASSERT_TRUE(own.mounted()) << own.error().toStdString();
    // The temporary folders above the mounts are the test's own; open them up for the child,
    // so a refusal can only come from the mount.
    ASSERT_EQ(::chmod(QFileInfo(own.mountDir()).path().toLocal8Bit().constData(), 0755), 0);
    EXPECT_EQ(openAsNobody(own.imagePath()), EACCES);

    options.allowOther = true;
    TestFileSystem shared(options);
    ASSERT_TRUE(shared.mounted()) << shared.error().toStdString();
    ASSERT_EQ(::chmod(QFileInfo(shared.mountDir()).path().toLocal8Bit().constData(), 0755), 0);
    EXPECT_EQ(openAsNobody(shared.imagePath()), 0);
}

} // namespace
