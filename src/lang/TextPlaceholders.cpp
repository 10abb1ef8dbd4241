#include "lang/TextPlaceholders.h"

namespace kestrune {

QString FillPlaceholders(const QString& format, const QStringList& arguments) {
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

} // namespace kestrune
