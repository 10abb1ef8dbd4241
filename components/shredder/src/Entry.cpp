// The exported entry of the shred engine component.
#include "shredengine/DiskJob.h"

#include <cstdio>
#include <exception>
#include <kestrune/component_export.h>
#include <kestrune/shred_abi.h>

KESTRUNE_EXPORT int32_t VSKRMShred(uint32_t driveLetter, uint32_t deviceNumber, int32_t algorithm,
                                   ShredStatusCallback callback, void* context,
                                   int32_t /*reserved*/, const unsigned char* abortFlag) noexcept {
    // No exception may reach a caller that knows only C. What can throw here is a failed
    // allocation or a thread that could not be started: both mean the job lacked resources.
    try {
        // The full safety rule always applies here, whatever the caller is.
        return kestrune::engine::shredListedDisk(driveLetter, deviceNumber, algorithm, callback,
                                                 context, abortFlag);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "VSKRMShred: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "VSKRMShred: unknown exception\n");
    }
    return kestrune::engine::ENGINE_STATUS_NO_RESOURCES;
}

static_assert(sizeof(&VSKRMShred) == sizeof(VSKRMShredFn));
