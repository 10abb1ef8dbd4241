// How a component shows its entry points: they alone leave the library, with C names, on
// every platform.
#pragma once

#ifdef __cplusplus
#define KESTRUNE_EXPORT_LINKAGE extern "C"
#else
#define KESTRUNE_EXPORT_LINKAGE
#endif

#ifdef _WIN32
#define KESTRUNE_EXPORT KESTRUNE_EXPORT_LINKAGE __declspec(dllexport)
#else
#define KESTRUNE_EXPORT KESTRUNE_EXPORT_LINKAGE __attribute__((visibility("default")))
#endif
