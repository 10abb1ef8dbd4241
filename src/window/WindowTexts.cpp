#include "window/WindowTexts.h"

#include "shred/ShredMethod.h"
#include "window/WindowMessages.h"

namespace kestrune {
namespace {

// The highest method number that has a short name of its own.

} // namespace

QString DefaultMiddlePicture() {
    return QStringLiteral("bott_middle");
}

std::optional<QString> MiddlePictureForMessage(unsigned message) {
    switch (message) {
    case MSG_SETTINGS_NORMAL:
    case MSG_ABOUT_NORMAL:
    case MSG_UPDATE_NORMAL:
        return DefaultMiddlePicture();
    case MSG_SETTINGS_HOVER:
        return QStringLiteral("bott_middle_settings");
    case MSG_ABOUT_HOVER:
        return QStringLiteral("bott_middle_about");
    case MSG_UPDATE_HOVER:
        return QStringLiteral("bott_middle_update");
    default:
        return std::nullopt;
    }
}

InfoTexts ComposeInfoTexts(std::uint32_t storedAlgorithm, bool formatDrive, bool startAuto,
                           const TextLookup& text) {
    const ShredMethod& method = EffectiveShredMethod(storedAlgorithm);
    InfoTexts texts;
    texts.information = text(QString::fromLatin1(method.descriptionKey));
    if (formatDrive)
        texts.information += QStringLiteral("\n\n") + text(QStringLiteral("info_format_auto"));
    texts.title = text(QString::fromLatin1(method.nameKey));
    if (startAuto)
        texts.warning = text(QStringLiteral("warning_start_auto"));
    return texts;
}

} // namespace kestrune
