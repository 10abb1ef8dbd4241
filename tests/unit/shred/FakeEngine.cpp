// A stand-in shred engine for the worker's tests: reports a few progress steps and returns
// the result named in KESTRUNE_FAKE_ENGINE_RESULT (200 when unset). With
// KESTRUNE_FAKE_ENGINE_USABLE and KESTRUNE_FAKE_ENGINE_MISMATCH it reports those findings
// (else a whole medium and a matching read-back; a mismatch with its sector's range), and
// KESTRUNE_FAKE_ENGINE_VERIFIED_UNTIL a read-back that stopped there;
// KESTRUNE_FAKE_ENGINE_SILENT_MS keeps it silent that long after its second report, as a device
// that stopped answering would. The passes it reports done are KESTRUNE_FAKE_ENGINE_PASSES (-1:
// none reported, as an older engine), else all of the algorithm's when it shredded and none when it
// failed. With KESTRUNE_FAKE_ENGINE_RECORD_IN naming a folder, it writes nothing unless the
// job's running record lies there, and fails as a write error instead.
#include <kestrune/component_export.h>
#include <kestrune/shred_abi.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace {

long long number(const char* name, long long fallback) {
    const char* value = std::getenv(name);
    return value ? std::atoll(value) : fallback;
}

// True when a report in the folder says its job is running.
bool runningRecordIn(const char* folder) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::ifstream file(entry.path());
        const std::string text((std::istreambuf_iterator<char>(file)), {});
        if (entry.path().extension() == ".xml" &&
            text.find("<progress state=\"running\"") != std::string::npos)
            return true;
    }
    return false;
}

} // namespace

KESTRUNE_EXPORT int32_t VSKRMShred(uint32_t, uint32_t deviceNumber, int32_t algorithm,
                                   ShredStatusCallback callback, void* context, int32_t,
                                   const unsigned char* abortFlag) {
    const auto device = static_cast<int32_t>(deviceNumber);
    if (const char* folder = std::getenv("KESTRUNE_FAKE_ENGINE_RECORD_IN");
        folder && !runningRecordIn(folder))
        return SHRED_STATUS_FAILED_WRITE;
    for (int percent = 0; percent <= 100; percent += 50) {
        if (__atomic_load_n(abortFlag, __ATOMIC_RELAXED)) {
            if (const long long passes = number("KESTRUNE_FAKE_ENGINE_PASSES", 0); passes >= 0)
                callback(context, device, SHRED_FINDING_PASSES_DONE, 0, passes, 0.0);
            return SHRED_STATUS_ABORTED;
        }
        callback(context, device, percent, 100 - percent, percent, 1.0);
        if (percent == 50)
            std::this_thread::sleep_for(
                std::chrono::milliseconds(number("KESTRUNE_FAKE_ENGINE_SILENT_MS", 0)));
    }
    const auto result = static_cast<int32_t>(number("KESTRUNE_FAKE_ENGINE_RESULT", 200));
    const long long planned = algorithm == 102 ? 3 : algorithm == 103 ? 35 : 1;
    const bool whole = result == SHRED_STATUS_SHREDDED || result == SHRED_STATUS_FAILED_COUNTERFEIT;
    if (const long long passes = number("KESTRUNE_FAKE_ENGINE_PASSES", whole ? planned : 0);
        passes >= 0)
        callback(context, device, SHRED_FINDING_PASSES_DONE, 0, passes, 0.0);
    callback(context, device, SHRED_FINDING_CAPACITY, 0,
             number("KESTRUNE_FAKE_ENGINE_USABLE", 64 << 20), 0.0);
    if (const long long mismatch = number("KESTRUNE_FAKE_ENGINE_MISMATCH", -1); mismatch >= 0) {
        callback(context, device, SHRED_FINDING_RANGE_WRONG, mismatch, 512, 0.0);
        callback(context, device, SHRED_FINDING_VERIFY_MISMATCH, 0, mismatch, 0.0);
    } else if (const long long until = number("KESTRUNE_FAKE_ENGINE_VERIFIED_UNTIL", -1);
               until >= 0)
        callback(context, device, SHRED_FINDING_VERIFY_INTERRUPTED, 0, until, 0.0);
    else
        callback(context, device, SHRED_FINDING_VERIFIED, 0, 0, 0.0);
    // An engine may report its own end; the worker reports it once, itself.
    if (result < 0)
        callback(context, device, result, 0, 0, 0.0);
    return result;
}
