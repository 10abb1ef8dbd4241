#include "platform/DiskEnumerator.h"

#include <QList>

namespace kestrune::platform {

namespace {

// Characters that could hide or reorder what the user reads next to them.
bool isUnsafe(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
        return true;
    if (c >= 0x202A && c <= 0x202E)
        return true;
    if (c >= 0x2066 && c <= 0x2069)
        return true;
    return c == 0x200E || c == 0x200F || c == 0x061C;
}

} // namespace

QString cleanDeviceText(const QByteArray& raw) {
    return cleanDisplayText(QString::fromUtf8(raw));
}

QString cleanDisplayText(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (char32_t c : text.toUcs4()) {
        if (!isUnsafe(c))
            out.append(QString::fromUcs4(&c, 1));
    }
    return out.trimmed();
}

} // namespace kestrune::platform
