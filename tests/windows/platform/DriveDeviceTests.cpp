// The format's writes through a real unbuffered handle, on an image file: what reaches the
// file, wherever the partition lies in it, is byte for byte the file system the base's writer
// builds in memory (whose soundness fsck.fat and blkid judge in the base's own tests).
#include "platform/windows/DriveDevice.h"

#include "base/FatWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace kestrune;

namespace {

constexpr uint64_t kMiB = 1 << 20;

// The first MiBs of a partition of any size, in memory: all that the writer writes of a
// partition that reads as zeros.
class MemoryDevice final : public blockio::BlockDevice {
public:
    MemoryDevice(uint64_t size, size_t kept) : bytes(kept), size_(size) {}
    uint64_t size() const override { return size_; }
    size_t alignment() const override { return 512; }
    bool readOnly() const override { return false; }
    bool direct() const override { return true; }
    int writeAt(const void* data, size_t length, uint64_t offset) override {
        if (offset + length > bytes.size())
            return EIO;
        std::memcpy(bytes.data() + offset, data, length);
        return 0;
    }
    int readAt(void*, size_t, uint64_t) override { return EIO; }
    int sync() override { return 0; }
    std::vector<uint8_t> bytes;

private:
    uint64_t size_;
};

} // namespace

TEST(DriveDeviceTest, WhatReachesTheFileIsTheFileSystemWhereverThePartitionLies) {
    wchar_t folder[MAX_PATH];
    wchar_t image[MAX_PATH];
    ASSERT_TRUE(GetTempPathW(MAX_PATH, folder) && GetTempFileNameW(folder, L"fat", 0, image));
    // Near the start, and past 4 GiB, where the offset's high word counts.
    for (const uint64_t offset : {kMiB, (uint64_t{4} << 30) + kMiB}) {
        const uint64_t bytes = offset > kMiB ? 64 * kMiB : 600 * kMiB;
        SCOPED_TRACE(testing::Message() << "a partition at byte " << offset);
        HANDLE handle = CreateFileW(image, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        LARGE_INTEGER size{};
        size.QuadPart = static_cast<LONGLONG>(offset + bytes);
        ASSERT_TRUE(SetFilePointerEx(handle, size, nullptr, FILE_BEGIN) && SetEndOfFile(handle));
        platform::DriveDevice file(platform::systemFormatCalls(), handle, offset + bytes, 512);
        blockio::FatVolume volume; // no label: its entry would carry the time of day
        volume.layout = *blockio::chooseFatLayout(bytes, 512);
        volume.hiddenSectors = offset / 512;
        volume.serial = 0x2026CAFE;
        volume.readsAsZeros = true; // a new file reads as zeros
        constexpr size_t kCompared = 4 * kMiB;
        MemoryDevice memory(bytes, kCompared);
        const auto written = blockio::writeFatFileSystem(file, offset, bytes, volume);
        const auto built = blockio::writeFatFileSystem(memory, 0, bytes, volume);
        CloseHandle(handle);
        ASSERT_EQ(written.end, blockio::FatWriteOutcome::End::Done) << written.failure;
        ASSERT_EQ(built.end, blockio::FatWriteOutcome::End::Done) << built.failure;

        // The structures and what lies before them, as another handle reads them.
        std::vector<uint8_t> back(kMiB + kCompared);
        handle = CreateFileW(image, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        LARGE_INTEGER from{};
        from.QuadPart = static_cast<LONGLONG>(offset - kMiB);
        DWORD got = 0;
        EXPECT_TRUE(SetFilePointerEx(handle, from, nullptr, FILE_BEGIN) &&
                    ReadFile(handle, back.data(), DWORD(back.size()), &got, nullptr));
        CloseHandle(handle);
        ASSERT_EQ(got, back.size());
        EXPECT_TRUE(std::all_of(back.data(), back.data() + kMiB, [](uint8_t b) { return b == 0; }));
        EXPECT_EQ(std::memcmp(back.data() + kMiB, memory.bytes.data(), kCompared), 0);
        EXPECT_EQ(back.data()[kMiB + 510], 0x55);
    }
    DeleteFileW(image);
}
