// Binary interface of the shred engine ("VSKRemovableShredder.dll").
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

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
    SHRED_STATUS_FAILED_SYSTEM_DISK = -13 // the running system depends on the disk
};

#ifdef __cplusplus
}
#endif
