#include "cli/CliText.h"

#include "lang/LanguageManager.h"

namespace kestrune::cli {

QString cliText(const char* key) {
    const auto language = GetLanguageManager();
    return language ? language->GetString(QString::fromLatin1(key)) : QString();
}

} // namespace kestrune::cli
