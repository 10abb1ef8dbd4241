#include "platform/AccountName.h"

namespace kestrune::platform {

QString FullNameFromGecos(const QString& gecos, const QString& login) {
    QString name = gecos.section(u',', 0, 0);
    if (name.contains(u'&')) {
        QString capitalised = login;
        if (!capitalised.isEmpty())
            capitalised[0] = capitalised[0].toUpper();
        name.replace(u'&', capitalised);
    }
    return name.trimmed();
}

} // namespace kestrune::platform
