#pragma once

#include <QDialog>
#include <QPalette>
#include <QRect>
#include <QString>

#include "ui/ProgramLook.h"

#include <initializer_list>

namespace kestrune {

// Places one control of a dialog template at its rectangle, named so tests can find it.
template <typename Control>
Control* placeControl(QWidget* parent, const char* name, const QRect& area) {
    auto* control = new Control(parent);
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(area);
    return control;
}

template <typename Control>
Control* placeControl(QWidget* parent, const char* name, const QRect& area, const QString& text) {
    Control* control = placeControl<Control>(parent, name, area);
    control->setText(text);
    return control;
}

template <typename Control>
Control* placeControl(QWidget* parent, const char* name, const QRect& area, const char* text) {
    return placeControl<Control>(parent, name, area, QString::fromUtf8(text));
}

// The look of the program's caption-less dialogs: white, black text, a fixed size.
inline void makeWhiteCaptionlessDialog(QDialog& dialog, const QSize& size) {
    dialog.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    dialog.setFixedSize(size);
    ApplyProgramLook(dialog);
    dialog.setAutoFillBackground(true);
}

// The bottom band ("settings_bot") is drawn with its shields on a line this far below
// its top and this far from its left edge; the dialogs' buttons sit on the same line,
// as far from the right edge.
constexpr int kBandMiddle = 23;
constexpr int kBandInset = 12;
constexpr int kBandButtonGap = 8;

// Puts the buttons (given from right to left) on the band's middle line, the first one
// kBandInset from the dialog's right edge. The band must hold its picture already.
inline void placeOnBand(const QWidget& band, std::initializer_list<QWidget*> rightToLeft) {
    int right = band.parentWidget()->width() - kBandInset;
    for (QWidget* button : rightToLeft) {
        const int top = band.y() + kBandMiddle - button->height() / 2;
        button->move(right - button->width(), top);
        right -= button->width() + kBandButtonGap;
    }
}

} // namespace kestrune
