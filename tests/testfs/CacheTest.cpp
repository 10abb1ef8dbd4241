// The controller cache of the test device: reads of what was written last come from it,
// whatever the storage behind did with the data; the storage gets a sector only when the
// cache lets it go.
#include "DirectIo.h"
#include "TestFileSystem.h"

#include <gtest/gtest.h>
#include <optional>

using namespace kestrune::test;

namespace {

class TestFsCache : public ::testing::Test {
protected:
    static constexpr std::uint64_t cache = 256 * KiB;
    static constexpr std::uint64_t usable = 4 * MiB;

    void mount(TestFileSystemOptions options) {
        options.size = 16 * MiB;
        options.cache = cache;
        options.directIo = true;
        fs.emplace(options);
        ASSERT_TRUE(fs->mounted()) << fs->error().toStdString();
        fd = openDirect(fs->imagePath());
        ASSERT_TRUE(fd.valid()) << lastError().toStdString();
    }
    void mount(TestFileSystemOptions::PastUsable past) {
        TestFileSystemOptions options;
        options.usable = usable;
        options.pastUsable = past;
        mount(options);
    }
    void write(const AlignedBlock& block, std::uint64_t offset) {
        ASSERT_EQ(writeAt(fd, block, static_cast<off_t>(offset)), ssize_t(block.size()))
            << "at " << offset;
    }
    // More than the cache keeps, written where nothing else is looked at.
    void flush() {
        const AlignedBlock other = AlignedBlock::pattern(cache + 64 * KiB, 9);
        write(other, 12 * MiB);
    }
    AlignedBlock readBack(std::uint64_t offset, std::size_t size) {
        AlignedBlock block(size);
        EXPECT_EQ(readAt(fd, block, static_cast<off_t>(offset)), ssize_t(size)) << "at " << offset;
        return block;
    }

    const AlignedBlock marker = AlignedBlock::pattern(64 * KiB, 6);
    std::optional<TestFileSystem> fs;
    Descriptor fd;
};

} // namespace

TEST_F(TestFsCache, WritesPastTheRealSizeReadBackUntilTheCacheLetsThemGo) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    ASSERT_NO_FATAL_FAILURE(mount(TestFileSystemOptions::PastUsable::Drop));
    write(marker, 8 * MiB);
    EXPECT_TRUE(readBack(8 * MiB, marker.size()).sameAs(marker)) << "the cache answers";
    flush();
    EXPECT_TRUE(readBack(8 * MiB, marker.size()).isZero()) << "the storage dropped it";
}

TEST_F(TestFsCache, AWrappedWriteLandsOnTheStartOnlyWhenTheCacheLetsItGo) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    ASSERT_NO_FATAL_FAILURE(mount(TestFileSystemOptions::PastUsable::Wrap));
    write(marker, usable + 128 * KiB);
    EXPECT_TRUE(readBack(128 * KiB, marker.size()).isZero()) << "still only in the cache";
    EXPECT_TRUE(readBack(usable + 128 * KiB, marker.size()).sameAs(marker));
    flush();
    EXPECT_TRUE(readBack(128 * KiB, marker.size()).sameAs(marker));
    EXPECT_TRUE(readBack(usable + 128 * KiB, marker.size()).sameAs(marker));
}

TEST_F(TestFsCache, AStickThatKeepsNothingAnswersOnlyFromItsCache) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    TestFileSystemOptions options;
    options.keepsNothing = true;
    ASSERT_NO_FATAL_FAILURE(mount(options));
    write(marker, 0);
    EXPECT_TRUE(readBack(0, marker.size()).sameAs(marker));
    flush();
    EXPECT_TRUE(readBack(0, marker.size()).isZero());
}

// Part of a cached sector goes to the storage at once, after the cached sector itself, so
// neither write is lost.
TEST_F(TestFsCache, PartOfACachedSectorIsStoredAfterTheSector) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    ASSERT_NO_FATAL_FAILURE(mount(TestFileSystemOptions::PastUsable::Drop));
    write(marker, 64 * KiB);
    const Descriptor buffered = openBuffered(fs->imagePath());
    ASSERT_TRUE(buffered.valid()) << lastError().toStdString();
    const char part[100] = "part of a sector";
    ASSERT_EQ(::pwrite(buffered.get(), part, sizeof part, 64 * KiB + 1100), ssize_t(sizeof part));
    flush();
    AlignedBlock expected = AlignedBlock::pattern(64 * KiB, 6);
    std::memcpy(expected.data() + 1100, part, sizeof part);
    EXPECT_TRUE(readBack(64 * KiB, marker.size()).sameAs(expected));
}

TEST(TestFsCacheOptions, AStickThatKeepsNothingHasNoRealSize) {
    KESTRUNE_SKIP_WITHOUT_TESTFS();
    TestFileSystemOptions options;
    options.keepsNothing = true;
    options.usable = 4 * MiB;
    TestFileSystem fs(options);
    EXPECT_FALSE(fs.mounted());
    EXPECT_TRUE(fs.error().contains("--keep-nothing and --usable exclude each other"))
        << fs.error().toStdString();
}
