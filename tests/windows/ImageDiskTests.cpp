// Whole jobs of the engine on image files through the Windows file device, and what the
// device makes of Win32's errors.
#include "SmallBlocks.h"
#include "shredengine/HandleBlockDevice.h"
#include "shredengine/ShredJob.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

using namespace kestrune::engine;
namespace fs = std::filesystem;

namespace {

// An image file of the given size in the temporary folder, filled with one byte.
class ImageFile {
public:
    ImageFile(size_t size, uint8_t fill) {
        static int counter = 0;
        path_ =
            fs::temp_directory_path() / ("kestrune-image-" + std::to_string(GetCurrentProcessId()) +
                                         "-" + std::to_string(++counter) + ".img");
        std::ofstream out(path_, std::ios::binary);
        const std::vector<char> bytes(size, static_cast<char>(fill));
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ~ImageFile() {
        SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    const fs::path& path() const { return path_; }
    // What the file holds, read on another handle.
    std::vector<uint8_t> contents() const {
        std::ifstream in(path_, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    std::unique_ptr<HandleBlockDevice> open() const {
        int error = -1;
        auto device = HandleBlockDevice::openImage(path_.wstring(), &error);
        EXPECT_TRUE(device) << "errno " << error;
        EXPECT_EQ(error, device ? 0 : error);
        return device;
    }

private:
    fs::path path_;
};

class AbortAfter : public ProgressSink {
public:
    AbortAfter(unsigned char* flag, int64_t bytes) : flag_(flag), bytes_(bytes) {}
    void progress(int, int64_t, int64_t done, double) override {
        if (flag_ && done >= bytes_)
            __atomic_store_n(flag_, 1, __ATOMIC_RELEASE);
    }

private:
    unsigned char* flag_;
    int64_t bytes_;
};

int32_t shred(BlockDevice& device, int32_t algorithm, JobOutcome& outcome,
              const unsigned char* abortFlag = nullptr, ProgressSink* sink = nullptr) {
    std::vector<Pass> plan;
    EXPECT_TRUE(passPlan(algorithm, plan));
    AbortAfter silent(nullptr, 0);
    return runJob(device, plan, sink ? *sink : silent, abortFlag, smallBlocks(), outcome);
}

bool looksRandom(const std::vector<uint8_t>& data) {
    return std::set<uint8_t>(data.begin(), data.end()).size() > 200;
}

} // namespace

// A whole number of sectors, and one with a ragged end that goes through the buffered
// handle: every pass written, the capacity check satisfied, the last pass read back.
TEST(ImageDisk, EveryAlgorithmShredsAndVerifiesAWholeImage) {
    for (size_t size : {size_t{3} << 20, (size_t{1} << 20) + 1000}) {
        for (int32_t algorithm :
             {ALGORITHM_ZERO, ALGORITHM_RANDOM, ALGORITHM_THREE_PASS, ALGORITHM_GUTMANN}) {
            SCOPED_TRACE(testing::Message() << size << " bytes, algorithm " << algorithm);
            ImageFile image(size, 0x5A);
            JobOutcome outcome;
            {
                auto device = image.open();
                ASSERT_TRUE(device);
                EXPECT_EQ(device->size(), size);
                EXPECT_FALSE(device->readOnly());
                EXPECT_EQ(shred(*device, algorithm, outcome), SHRED_STATUS_SHREDDED);
            }
            std::vector<Pass> plan;
            ASSERT_TRUE(passPlan(algorithm, plan));
            EXPECT_EQ(outcome.passesDone, plan.size());
            EXPECT_EQ(outcome.verification, JobOutcome::Verification::Passed);
            EXPECT_EQ(outcome.claimedBytes, size);
            EXPECT_EQ(outcome.usableBytes, size);
            const std::vector<uint8_t> after = image.contents();
            ASSERT_EQ(after.size(), size);
            if (algorithm == ALGORITHM_ZERO)
                EXPECT_EQ(std::count(after.begin(), after.end(), 0), static_cast<long>(size));
            else
                EXPECT_TRUE(looksRandom(after));
            // Not a byte of what was there, the ragged end included.
            EXPECT_LT(std::count(after.end() - 1000, after.end(), 0x5A), 50);
        }
    }
}

TEST(ImageDisk, AReadOnlyImageIsWriteProtectedAndNeverWritten) {
    ImageFile image(1 << 20, 0x5A);
    ASSERT_TRUE(SetFileAttributesW(image.path().c_str(), FILE_ATTRIBUTE_READONLY));
    auto device = image.open();
    ASSERT_TRUE(device);
    EXPECT_TRUE(device->readOnly());
    const uint8_t zero = 0;
    EXPECT_EQ(device->writeAt(&zero, 1, 0), EROFS);
    JobOutcome outcome;
    EXPECT_EQ(shred(*device, ALGORITHM_THREE_PASS, outcome), SHRED_STATUS_FAILED_WRITE_PROTECTED);
    device.reset();
    const std::vector<uint8_t> after = image.contents();
    EXPECT_EQ(std::count(after.begin(), after.end(), 0x5A), 1 << 20);
}

TEST(ImageDisk, AnAbortStopsTheJobWithTheImagePartlyWritten) {
    ImageFile image(8 << 20, 0x5A);
    auto device = image.open();
    ASSERT_TRUE(device);
    unsigned char abortFlag = 0;
    AbortAfter sink(&abortFlag, 1 << 20);
    JobOutcome outcome;
    EXPECT_EQ(shred(*device, ALGORITHM_ZERO, outcome, &abortFlag, &sink), SHRED_STATUS_ABORTED);
    EXPECT_EQ(outcome.passesDone, 0u);
    device.reset();
    const std::vector<uint8_t> after = image.contents();
    EXPECT_GT(std::count(after.begin(), after.end(), 0x5A), 1 << 20);
}

// Any place, any length, any memory: what is not whole aligned sectors still arrives.
TEST(ImageDisk, TransfersAtAnyPlaceAndTheEndsOfTheImage) {
    const size_t size = (64 << 10) + 100;
    ImageFile image(size, 0x00);
    auto device = image.open();
    ASSERT_TRUE(device);
    std::vector<uint8_t> data(3 * 4096 + 2);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    // From memory one byte off any alignment, at an odd place, and over the ragged end.
    EXPECT_EQ(device->writeAt(data.data() + 1, 5000, 4095), 0);
    EXPECT_EQ(device->writeAt(data.data(), 300, size - 300), 0);
    EXPECT_EQ(device->sync(), 0);
    std::vector<uint8_t> back(5000);
    EXPECT_EQ(device->readAt(back.data(), back.size(), 4095), 0);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + 1));
    EXPECT_EQ(device->readAt(back.data(), 300, size - 300), 0);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 300, data.begin()));
    // Past the end nothing is written or read, and the file keeps its size.
    EXPECT_EQ(device->writeAt(data.data(), 200, size - 100), ENOSPC);
    EXPECT_EQ(device->readAt(back.data(), 200, size - 100), EIO);
    EXPECT_EQ(device->currentSize(), size);
    device.reset();
    const std::vector<uint8_t> after = image.contents();
    ASSERT_EQ(after.size(), size);
    EXPECT_TRUE(std::equal(data.begin() + 1, data.begin() + 5001, after.begin() + 4095));
}

TEST(ImageDisk, WhatIsNoImageIsRefusedWithItsReason) {
    int error = 0;
    const fs::path missing = fs::temp_directory_path() / "kestrune-no-such-image.img";
    EXPECT_FALSE(HandleBlockDevice::openImage(missing.wstring(), &error));
    EXPECT_EQ(error, ENOENT);
    error = 0;
    EXPECT_FALSE(HandleBlockDevice::openImage(fs::temp_directory_path().wstring(), &error));
    EXPECT_NE(error, 0);
}

// A stick pulled, one with its switch set and one that fails each end the job with the
// status that names it.
TEST(Win32Errors, MapToTheStatusesOfTheirCause) {
    const std::pair<DWORD, int32_t> cases[] = {
        {ERROR_WRITE_PROTECT, SHRED_STATUS_FAILED_WRITE_PROTECTED},
        {ERROR_NOT_READY, SHRED_STATUS_FAILED_MEDIA},
        {ERROR_NO_MEDIA_IN_DRIVE, SHRED_STATUS_FAILED_MEDIA},
        {ERROR_DEVICE_NOT_CONNECTED, SHRED_STATUS_FAILED_MEDIA},
        {ERROR_DEV_NOT_EXIST, SHRED_STATUS_FAILED_MEDIA},
        {ERROR_DEVICE_REMOVED, SHRED_STATUS_FAILED_MEDIA},
        {ERROR_FILE_NOT_FOUND, SHRED_STATUS_FAILED_MEDIA},
        {ERROR_CRC, SHRED_STATUS_FAILED_MEDIA},
        {ERROR_IO_DEVICE, SHRED_STATUS_FAILED_MEDIA},
        {ERROR_SECTOR_NOT_FOUND, SHRED_STATUS_FAILED_MEDIA},
        {ERROR_DISK_FULL, SHRED_STATUS_FAILED_WRITE},
        {ERROR_ACCESS_DENIED, SHRED_STATUS_FAILED_WRITE},
        {ERROR_INVALID_PARAMETER, SHRED_STATUS_FAILED_WRITE},
        {ERROR_LOCK_VIOLATION, SHRED_STATUS_FAILED_WRITE},
    };
    for (const auto& [win32, status] : cases) {
        const int error = errnoFromWin32(win32);
        EXPECT_NE(error, 0) << win32;
        EXPECT_EQ(writeFailureStatus(error), status) << win32;
    }
    EXPECT_EQ(errnoFromWin32(ERROR_SUCCESS), 0);
}
