// Devices that misbehave on purpose, for the pass logic.
#pragma once

#include "shredengine/BlockDevice.h"

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
        for (size_t i = 0; i < length; ++i) {
            if (dropPastEnd && offset + i >= data.size())
                break;
            data[(offset + i) % data.size()] = static_cast<const uint8_t*>(src)[i];
        }
        if (writeDelayPer64k.count())
            std::this_thread::sleep_for(writeDelayPer64k * (length / 65536));
        blockLengths.push_back(length);
        return 0;
    }
    int readAt(void* dst, size_t length, uint64_t offset) override {
        ++reads;
        if (readError)
            return readError;
        for (size_t i = 0; i < length; ++i) {
            uint8_t byte =
                dropPastEnd && offset + i >= data.size() ? 0 : data[(offset + i) % data.size()];
            if (offset + i == flipAt)
                byte ^= 0x10;
            static_cast<uint8_t*>(dst)[i] = byte;
        }
        return 0;
    }
    int sync() override { return syncError; }

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

} // namespace kestrune::engine::test
