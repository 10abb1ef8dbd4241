// Binary interface of the shred engine ("VSKRemovableShredder.dll").
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The second value: the bytes done so far in a progress report; the detail of a finding
// (below); the usable bytes in a final SHRED_STATUS_FAILED_COUNTERFEIT; 0 otherwise.
typedef void (*ShredStatusCallback)(void* context, int32_t deviceNumber, int32_t status,
                                    int64_t bytesLeft, int64_t secondValue, double speed);

// Blocks until the job ends. The engine reads *abortFlag with an atomic load and stops
// when it is not 0.
typedef int32_t (*VSKRMShredFn)(uint32_t driveLetter, uint32_t deviceNumber, int32_t algorithm,
                                ShredStatusCallback callback, void* context, int32_t reserved,
                                const unsigned char* abortFlag);
#define KESTRUNE_SHRED_ENTRY "VSKRMShred"

enum KestruneShredStatus {
    SHRED_STATUS_SHREDDED = 200,
    SHRED_STATUS_FORMATTING = 300,
    SHRED_STATUS_FORMATTED = 400,
    SHRED_STATUS_ENGINE_MISSING = -1,
    SHRED_STATUS_ABORTED = -3,
    SHRED_STATUS_FAILED_MEDIA = -4,
    SHRED_STATUS_FAILED_WRITE = -5,
    SHRED_STATUS_FAILED_PERMISSION = -6,
    SHRED_STATUS_FAILED_FORMAT = -7,
    SHRED_STATUS_FAILED_VERIFY = -8,
    SHRED_STATUS_FAILED_BUSY = -9,
    // As a normal user: the system refused the disk (or the user cancelled), or its disk
    // service (udisks2) is not there to ask. Nothing was written. (-10 is the engine's own.)
    SHRED_STATUS_FAILED_NOT_AUTHORIZED = -11,
    SHRED_STATUS_FAILED_NO_DISK_SERVICE = -12,
    SHRED_STATUS_FAILED_SYSTEM_DISK = -13, // the running system depends on the disk
    // The medium holds less than it claims: writes past the usable part were lost or landed
    // on other places. That part was still overwritten and verified.
    SHRED_STATUS_FAILED_COUNTERFEIT = -14,
    SHRED_STATUS_FAILED_WRITE_PROTECTED = -15, // switch, read-only device, immutable image
    SHRED_STATUS_FAILED_HELD = -16,            // another program has the disk open or locked
    // Never sent: a later start of the program found that the job's program ended before
    // the job did (killed, power lost); its report says so.
    SHRED_STATUS_INTERRUPTED = -17
};

// Findings the engine reports about the medium just before it returns, with the detail in
// the second value. They are not progress: the worker keeps them for the job's report.
enum KestruneShredFinding {
    SHRED_FINDING_CAPACITY = 500,        // the usable bytes the capacity check found
    SHRED_FINDING_VERIFIED = 501,        // the read-back matched everything written
    SHRED_FINDING_VERIFY_MISMATCH = 502, // the byte offset of the first difference
    SHRED_FINDING_PASSES_DONE = 503,     // the overwrite passes that ran to their end
    // The read-back began but stopped before its end (abort, a read error): the bytes from the
    // start that it found matching.
    SHRED_FINDING_VERIFY_INTERRUPTED = 504,
    // A range of the medium, at the offset in the bytes-left value and of the length in the
    // second value: where the read-back found other bytes, where it could read nothing, and
    // (of a counterfeit) where the medium kept the last pass outside its usable start.
    SHRED_FINDING_RANGE_WRONG = 505,
    SHRED_FINDING_RANGE_UNREADABLE = 506,
    SHRED_FINDING_RANGE_KEPT = 507,
    SHRED_FINDING_FIRST = SHRED_FINDING_CAPACITY,
    SHRED_FINDING_LAST = 599
};

#ifdef __cplusplus
}
#endif
