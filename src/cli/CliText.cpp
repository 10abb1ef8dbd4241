#include "cli/CliText.h"

#include "lang/LanguageManager.h"

namespace kestrune::cli {

QString cliText(const char* key) {
    const auto language = GetLanguageManager();
    return language ? language->GetString(QString::fromLatin1(key)) : QString();
}

QString fillText(const QString& format, const QStringList& arguments) {
    QString result;
    qsizetype next = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] == u'%' && i + 1 < format.size()) {
            if (format[i + 1] == u'%') {
                result += u'%';
                ++i;
                continue;
            }
            if (format[i + 1] == u's' && next < arguments.size()) {
                result += arguments[next++];
                ++i;
                continue;
            }
        }
        result += format[i];
    }
    return result;
}

} // namespace kestrune::cli
