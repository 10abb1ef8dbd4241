#pragma once

namespace kestrune {

// The flag that stops a job. The engine's C interface hands it on as the address of one
// byte; whoever raises, lowers or reads it goes through this type, which touches that byte
// atomically, whether it owns the byte or was handed its address.
class AbortFlag {
public:
    void raise() { __atomic_store_n(&byte_, 1, __ATOMIC_RELEASE); }
    void lower() { __atomic_store_n(&byte_, 0, __ATOMIC_RELEASE); }
    bool raised() const { return raisedAt(&byte_); }
    // What the engine, the format and the disk service are handed.
    const unsigned char* address() const { return &byte_; }

    // The flag behind an address handed over; no flag at all is never raised.
    static bool raisedAt(const unsigned char* flag) {
        return flag && __atomic_load_n(flag, __ATOMIC_ACQUIRE) != 0;
    }

private:
    unsigned char byte_ = 0;
};

} // namespace kestrune
