// Entry points of "VSKLanguage.dll".
#include "LanguageComponent.h"
#include "LanguageText.h"

#include <kestrune/component_export.h>

namespace {

kestrune::language::LanguageComponent& component() {
    static kestrune::language::LanguageComponent instance;
    return instance;
}

std::string text(const char16_t* value) {
    return kestrune::language::utf16ToUtf8(kestrune::language::utf16View(value));
}

} // namespace

#ifndef KESTRUNE_OMIT_GetAmountLanguages
KESTRUNE_EXPORT int32_t GetAmountLanguages(char16_t* directory, char16_t* pattern,
                                           char16_t* /*version*/) {
    return component().amount(text(directory), text(pattern));
}
#endif

#ifndef KESTRUNE_OMIT_GetLanguages
KESTRUNE_EXPORT int32_t GetLanguages(char16_t* directory, char16_t* pattern, char16_t* /*version*/,
                                     KestruneLanguageEntry** table) {
    return component().fill(text(directory), text(pattern), table ? *table : nullptr);
}
#endif

#ifndef KESTRUNE_OMIT_GetCurrentLanguage
KESTRUNE_EXPORT char16_t* GetCurrentLanguage(void) {
    return kestrune::language::mallocCopy(component().current());
}
#endif

#ifndef KESTRUNE_OMIT_SetCurrentLanguage
KESTRUNE_EXPORT int32_t SetCurrentLanguage(int32_t /*flag*/, char16_t* code) {
    if (!code)
        return 0;
    return component().setCurrent(kestrune::language::utf16View(code)) ? 1 : 0;
}
#endif
