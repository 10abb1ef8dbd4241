#include "ui/ProgramLook.h"

#include <QWidget>

namespace kestrune {

QPalette ProgramPalette() {
    QPalette palette;
    const QColor white(Qt::white);
    const QColor black(Qt::black);
    const QColor button(0xF0, 0xF0, 0xF0);
    const QColor disabledText(0x9A, 0xA0, 0xA6);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool disabled = group == QPalette::Disabled;
        palette.setColor(group, QPalette::Window, white);
        palette.setColor(group, QPalette::WindowText, disabled ? disabledText : black);
        palette.setColor(group, QPalette::Base, white);
        palette.setColor(group, QPalette::AlternateBase, QColor(0xF6, 0xF8, 0xF9));
        palette.setColor(group, QPalette::Text, disabled ? disabledText : black);
        palette.setColor(group, QPalette::PlaceholderText, disabledText);
        palette.setColor(group, QPalette::Button, button);
        palette.setColor(group, QPalette::ButtonText, disabled ? disabledText : black);
        palette.setColor(group, QPalette::BrightText, white);
        palette.setColor(group, QPalette::Light, white);
        palette.setColor(group, QPalette::Midlight, QColor(0xE3, 0xE3, 0xE3));
        palette.setColor(group, QPalette::Mid, QColor(0xB8, 0xBE, 0xC3));
        palette.setColor(group, QPalette::Dark, QColor(0x9E, 0xA4, 0xAA));
        palette.setColor(group, QPalette::Shadow, QColor(0x76, 0x7C, 0x82));
        palette.setColor(group, QPalette::Highlight,
                         disabled ? QColor(0xB8, 0xBE, 0xC3) : look::kTeal);
        palette.setColor(group, QPalette::HighlightedText, white);
        palette.setColor(group, QPalette::Link, look::kTeal);
        palette.setColor(group, QPalette::LinkVisited, look::kNavy);
        palette.setColor(group, QPalette::ToolTipBase, QColor(0xFF, 0xFF, 0xF4));
        palette.setColor(group, QPalette::ToolTipText, black);
    }
    return palette;
}

QFont ProgramFont() {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    return font;
}

void ApplyProgramLook(QWidget& window) {
    window.setPalette(ProgramPalette());
    window.setFont(ProgramFont());
}

} // namespace kestrune
