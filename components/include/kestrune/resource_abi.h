// Resources carried inside a component: the analogue of a module's resource section.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KESTRUNE_RESOURCE_TYPE_PICTURE "JPG"
#define KESTRUNE_RESOURCE_TYPE_BITMAP "BITMAP"

typedef struct KestruneResource {
    int32_t id;
    const char* type;
    const char* name;
    const unsigned char* data;
    uint32_t size;
} KestruneResource;

// Exported by a component under the name "KestruneResources".
typedef const KestruneResource* (*KestruneResourcesFn)(uint32_t* count);
#define KESTRUNE_RESOURCES_SYMBOL "KestruneResources"

#ifdef __cplusplus
}
#endif
