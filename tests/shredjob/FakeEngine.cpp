// A stand-in shred engine for the worker's tests: reports a few progress steps and returns
// the result named in KESTRUNE_FAKE_ENGINE_RESULT (200 when unset). With
// KESTRUNE_FAKE_ENGINE_USABLE and KESTRUNE_FAKE_ENGINE_MISMATCH it reports those findings
// (else a whole medium and a matching read-back); KESTRUNE_FAKE_ENGINE_SILENT_MS keeps it
// silent that long after its second report, as a device that stopped answering would.
#include <kestrune/shred_abi.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

long long number(const char* name, long long fallback) {
    const char* value = std::getenv(name);
    return value ? std::atoll(value) : fallback;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int32_t
VSKRMShred(uint32_t, uint32_t deviceNumber, int32_t, ShredStatusCallback callback, void* context,
           int32_t, const unsigned char* abortFlag) {
    const auto device = static_cast<int32_t>(deviceNumber);
    for (int percent = 0; percent <= 100; percent += 50) {
        if (__atomic_load_n(abortFlag, __ATOMIC_RELAXED))
            return SHRED_STATUS_ABORTED;
        callback(context, device, percent, 100 - percent, percent, 1.0);
        if (percent == 50)
            std::this_thread::sleep_for(
                std::chrono::milliseconds(number("KESTRUNE_FAKE_ENGINE_SILENT_MS", 0)));
    }
    const auto result = static_cast<int32_t>(number("KESTRUNE_FAKE_ENGINE_RESULT", 200));
    callback(context, device, SHRED_FINDING_CAPACITY, 0,
             number("KESTRUNE_FAKE_ENGINE_USABLE", 64 << 20), 0.0);
    if (const long long mismatch = number("KESTRUNE_FAKE_ENGINE_MISMATCH", -1); mismatch >= 0)
        callback(context, device, SHRED_FINDING_VERIFY_MISMATCH, 0, mismatch, 0.0);
    else
        callback(context, device, SHRED_FINDING_VERIFIED, 0, 0, 0.0);
    // An engine may report its own end; the worker reports it once, itself.
    if (result < 0)
        callback(context, device, result, 0, 0, 0.0);
    return result;
}
