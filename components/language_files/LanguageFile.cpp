// Entry points of a language file ("VSKLanguageKestrune_<CODE>.dll"): texts from the table
// compiled into it, pictures from its resource table.
#include "LanguageText.h"

#include <kestrune/component_export.h>
#include <kestrune/language_abi.h>
#include <kestrune/resource_abi.h>

#include <cstring>

extern "C" {
extern const unsigned char kestrune_text_table[];
extern const unsigned int kestrune_text_table_size;
const KestruneResource* KestruneResources(uint32_t* count);
}

namespace {

[[maybe_unused]] const kestrune::language::TextTable& table() {
    static const kestrune::language::TextTable parsed =
        kestrune::language::parseTextTable(std::string_view(
            reinterpret_cast<const char*>(kestrune_text_table), kestrune_text_table_size));
    return parsed;
}

} // namespace

#ifndef KESTRUNE_OMIT_GetStringByString
// Unknown keys come back as the key itself, so a missing text is visible on screen.
KESTRUNE_EXPORT char16_t* GetStringByString(int32_t /*flag*/, const char16_t* key) {
    const std::u16string_view wanted = kestrune::language::utf16View(key);
    const auto& entries = table().entries;
    const auto it = entries.find(std::u16string(wanted));
    return kestrune::language::mallocCopy(it == entries.end() ? wanted
                                                              : std::u16string_view(it->second));
}
#endif

#ifndef KESTRUNE_OMIT_GetBitmapId
KESTRUNE_EXPORT int32_t GetBitmapId(int32_t /*flag*/, const char16_t* name) {
    if (!name)
        return -1;
    const std::string wanted = kestrune::language::utf16ToUtf8(kestrune::language::utf16View(name));
    uint32_t count = 0;
    const KestruneResource* resources = KestruneResources(&count);
    for (uint32_t i = 0; resources && i < count; ++i) {
        if (resources[i].name && wanted == resources[i].name)
            return resources[i].id;
    }
    return -1;
}
#endif
