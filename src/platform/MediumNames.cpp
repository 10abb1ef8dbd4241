#include "platform/MediumNames.h"

#include <QRegularExpression>

namespace kestrune::platform {

bool namesCardReader(const QString& product) {
    static const QRegularExpression names(
        QStringLiteral("card.?reader|multi.?card|\\bsd(hc|xc)?.?card\\b|compact.?flash|"
                       "^(cf|ms|xd|sm|sd|mmc)([ /-].*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    return names.match(product).hasMatch();
}

bool namesFlashDrive(const QString& product) {
    static const QRegularExpression names(QStringLiteral("flash|thumb|pen.?drive|\\bstick\\b"),
                                          QRegularExpression::CaseInsensitiveOption);
    return names.match(product).hasMatch();
}

} // namespace kestrune::platform
