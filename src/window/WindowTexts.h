#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

namespace kestrune {

// What the main window shows, decided without a widget: the middle strip's picture for the
// bottom buttons' states and the texts of the information panel.

// The middle strip's picture while no bottom button is hovered.
QString DefaultMiddlePicture();

// The middle strip's picture after a bottom button's notification (normal or hover);
// nothing for a press or any other message, which leave the strip as it is.
std::optional<QString> MiddlePictureForMessage(unsigned message);

struct InfoTexts {
    QString information; // the method's description, with the automatic format's note
    QString title;       // the method's name; empty for a number that has none
    QString warning;     // empty when there is nothing to warn of
};

using TextLookup = std::function<QString(const QString& key)>;

// The information panel's texts for these settings, each fetched through `text`.
InfoTexts ComposeInfoTexts(std::uint32_t storedAlgorithm, bool formatDrive, bool startAuto,
                           const TextLookup& text);

} // namespace kestrune
