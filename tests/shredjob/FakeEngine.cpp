// A stand-in shred engine for the worker's tests: reports a few progress steps and returns
// the result named in KESTRUNE_FAKE_ENGINE_RESULT (200 when unset).
#include <kestrune/shred_abi.h>

#include <cstdlib>

extern "C" __attribute__((visibility("default"))) int32_t
VSKRMShred(uint32_t, uint32_t deviceNumber, int32_t, ShredStatusCallback callback, void* context,
           int32_t, const unsigned char* abortFlag) {
    const char* wanted = std::getenv("KESTRUNE_FAKE_ENGINE_RESULT");
    for (int percent = 0; percent <= 100; percent += 50) {
        if (__atomic_load_n(abortFlag, __ATOMIC_RELAXED))
            return SHRED_STATUS_ABORTED;
        callback(context, static_cast<int32_t>(deviceNumber), percent, 100 - percent, percent, 1.0);
    }
    return wanted ? std::atoi(wanted) : SHRED_STATUS_SHREDDED;
}
