// Binary interface between the program and the language component and its language files.
// Texts cross it as NUL-terminated UTF-16; a block handed over is malloc'd by the giver and
// free'd by the receiver.
#pragma once
#include <stdint.h>
#include <uchar.h>

#ifdef __cplusplus
extern "C" {
#endif

// Buffer capacities in UTF-16 units, terminator included. The caller allocates them.
enum {
    KESTRUNE_LANGUAGE_CODE_UNITS = 5,
    KESTRUNE_LANGUAGE_AUX1_UNITS = 25,
    KESTRUNE_LANGUAGE_PATH_UNITS = 500,
    KESTRUNE_LANGUAGE_AUX2_UNITS = 9
};

typedef struct KestruneLanguageEntry {
    char16_t* code;
    char16_t* auxiliary1;
    char16_t* path;
    char16_t* auxiliary2;
    void* module;
    void* getBitmapId;
} KestruneLanguageEntry;

// The language component ("VSKLanguage.dll").
typedef int32_t (*KestruneGetAmountLanguages)(char16_t* directory, char16_t* pattern,
                                              char16_t* version);
typedef int32_t (*KestruneGetLanguages)(char16_t* directory, char16_t* pattern,
                                        char16_t* version, KestruneLanguageEntry** table);
typedef char16_t* (*KestruneGetCurrentLanguage)(void);
typedef int32_t (*KestruneSetCurrentLanguage)(int32_t flag, char16_t* code);

// Each language file ("VSKLanguageKestrune_*.dll").
typedef char16_t* (*KestruneGetStringByString)(int32_t flag, const char16_t* key);
typedef int32_t (*KestruneGetBitmapId)(int32_t flag, const char16_t* name);

#ifdef __cplusplus
}
#endif
