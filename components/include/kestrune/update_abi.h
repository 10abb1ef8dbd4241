// Binary interface of the update component ("VSKUpdate.dll").
#pragma once
#include <stdint.h>
#include <uchar.h>

#ifdef __cplusplus
extern "C" {
#endif

// mode 1: scheduled check, returns 2 when a newer version is available.
// mode 0: carry out the update, returns 1 when the program must close.
// Either mode returns KESTRUNE_UPDATE_NOT_VERIFIED when the update's feed or package failed
// a check of its authenticity: nothing was installed, and the program tells the user.
typedef int32_t (*VSKUpdateFn)(int32_t reserved1, const char16_t* programDirectory,
                               const char16_t* productName, const char16_t* programVersion,
                               int32_t mode, int32_t reserved2);
#define KESTRUNE_UPDATE_ENTRY "VSKUpdate"
#define KESTRUNE_UPDATE_NOT_VERIFIED 3

#ifdef __cplusplus
}
#endif
