#include "LanguageChoice.h"

#include "lang/LanguageManager.h"

namespace kestrune::test {

void chooseLanguage(const QString& code) {
    auto language = GetLanguageManager();
    language->SetLanguage(language->IndexOfLanguageCode(code));
    language.reset();
    ReleaseLanguageManager();
}

} // namespace kestrune::test
