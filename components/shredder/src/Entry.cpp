// The exported entry of the shred engine component.
#include "shredengine/DiskAccess.h"

#include <kestrune/shred_abi.h>

extern "C" __attribute__((visibility("default"))) int32_t
VSKRMShred(uint32_t /*driveLetter*/, uint32_t deviceNumber, int32_t algorithm,
           ShredStatusCallback callback, void* context, int32_t /*reserved*/,
           const unsigned char* abortFlag) {
    // The full safety rule always applies here, whatever the caller is.
    return kestrune::engine::shredDiskNumber(deviceNumber, algorithm, callback, context, abortFlag,
                                             kestrune::engine::DiskAccessOptions{});
}

static_assert(sizeof(&VSKRMShred) == sizeof(VSKRMShredFn));
