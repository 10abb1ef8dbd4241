// Devices that misbehave on purpose, for the pass logic.
#pragma once

#include "FakeController.h"
#include "shredengine/BlockDevice.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace kestrune::engine::test {

class MemoryDevice : public BlockDevice {
public:
    explicit MemoryDevice(size_t size, uint8_t fill = 0x5A) : data(size, fill), reported(size) {}

    uint64_t size() const override { return reported; }
    size_t alignment() const override { return 512; }
    bool readOnly() const override { return readOnlyFlag; }
    bool direct() const override { return true; }

    int writeAt(const void* src, size_t length, uint64_t offset) override {
        ++writes;
        if (beforeWrite)
            beforeWrite(writes);
        if (writeError && writes > failAfterWrites)
            return writeError;
        // A fake-capacity stick: what lies beyond the real size lands at its start again,
        // or is lost.
        forEachPlace(length, offset, [&](size_t at, size_t place, size_t run) {
            std::memcpy(&data[place], static_cast<const uint8_t*>(src) + at, run);
        });
        if (writeDelayPer64k.count())
            std::this_thread::sleep_for(writeDelayPer64k * (length / 65536));
        blockLengths.push_back(length);
        return 0;
    }
    int readAt(void* dst, size_t length, uint64_t offset) override {
        ++reads;
        if (readError)
            return readError;
        auto* bytes = static_cast<uint8_t*>(dst);
        std::memset(bytes, 0, length);
        forEachPlace(length, offset, [&](size_t at, size_t place, size_t run) {
            std::memcpy(bytes + at, &data[place], run);
        });
        if (flipAt >= offset && flipAt - offset < length)
            bytes[flipAt - offset] ^= 0x10;
        return 0;
    }
    int sync() override { return syncError; }

    // Calls place(position in the request, position in data, length) for each run that
    // reaches the real bytes.
    template <typename Place> void forEachPlace(size_t length, uint64_t offset, Place place) const {
        for (size_t at = 0; at < length && !data.empty();) {
            if (dropPastEnd && offset + at >= data.size())
                return;
            const size_t real = static_cast<size_t>((offset + at) % data.size());
            const size_t run = std::min(length - at, data.size() - real);
            place(at, real, run);
            at += run;
        }
    }

    std::vector<uint8_t> data;
    uint64_t reported;
    bool readOnlyFlag = false;
    bool dropPastEnd = false;
    int writeError = 0;
    int failAfterWrites = 0;
    int readError = 0;
    int syncError = 0;
    uint64_t flipAt = UINT64_MAX;
    std::chrono::microseconds writeDelayPer64k{0};
    std::function<void(int)> beforeWrite;
    int writes = 0;
    int reads = 0;
    std::vector<size_t> blockLengths;
};

// A stick as the FUSE test device models one, from the same controller code. Counts what
// goes through it, and the requests that did not go on where the last of their kind ended.
class FakeStick : public BlockDevice {
public:
    explicit FakeStick(const testfs::TestFsOptions& options)
        : claimed_(options.size), controller_(options) {}

    uint64_t size() const override { return claimed_; }
    size_t alignment() const override { return 512; }
    bool readOnly() const override { return false; }
    bool direct() const override { return true; }
    int writeAt(const void* src, size_t length, uint64_t offset) override {
        bytesWritten += length;
        scatteredWrites += offset != lastWriteEnd_;
        lastWriteEnd_ = offset + length;
        if (beforeWrite)
            beforeWrite(bytesWritten);
        if (gone)
            return EIO;
        return controller_.write(static_cast<const char*>(src), length, offset);
    }
    int readAt(void* dst, size_t length, uint64_t offset) override {
        bytesRead += length;
        scatteredReads += offset != lastReadEnd_;
        lastReadEnd_ = offset + length;
        if (gone)
            return EIO;
        return controller_.read(static_cast<char*>(dst), length, offset);
    }
    int sync() override { return 0; } // flushes are ignored, as cheap controllers do

    uint64_t bytesWritten = 0, bytesRead = 0, scatteredWrites = 0, scatteredReads = 0;
    std::function<void(uint64_t)> beforeWrite; // with the bytes written so far, this one included
    bool gone = false;                         // pulled: every request fails

private:
    uint64_t claimed_;
    testfs::FakeController controller_;
    uint64_t lastWriteEnd_ = 0, lastReadEnd_ = 0;
};

} // namespace kestrune::engine::test
