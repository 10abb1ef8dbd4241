// A Win32 handle and DeviceIoControl, each through the call table it came from, for every
// Windows part that keeps its system calls in a table (the engine's disk access, the
// program's disk list and format).
#pragma once

#include <windows.h>

#include <utility>

namespace kestrune::win32 {

inline bool validHandle(HANDLE handle) {
    return handle != INVALID_HANDLE_VALUE && handle != nullptr;
}

// A handle closed through the calls it came from.
template <typename Calls> class Handle {
public:
    Handle(const Calls& calls, HANDLE handle) : calls_(calls), handle_(handle) {}
    ~Handle() {
        if (valid())
            calls_.closeHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return validHandle(handle_); }
    HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

private:
    const Calls& calls_;
    HANDLE handle_;
};

// One DeviceIoControl; 0 or the Win32 error (never 0 for a failure the system left unsaid).
template <typename Calls>
DWORD control(const Calls& calls, HANDLE handle, DWORD code, void* out = nullptr, DWORD outSize = 0,
              const void* in = nullptr, DWORD inSize = 0) {
    DWORD returned = 0;
    if (calls.deviceIoControl(handle, code, const_cast<void*>(in), inSize, out, outSize, &returned,
                              nullptr))
        return 0;
    const DWORD error = calls.getLastError();
    return error == 0 ? ERROR_GEN_FAILURE : error;
}

} // namespace kestrune::win32
