#pragma once

#include <QDialog>
#include <QPalette>
#include <QRect>
#include <QString>

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
    QPalette colours = dialog.palette();
    for (auto role : {QPalette::Window, QPalette::Base})
        colours.setColor(role, Qt::white);
    for (auto role : {QPalette::WindowText, QPalette::Text})
        colours.setColor(role, Qt::black);
    dialog.setPalette(colours);
    dialog.setAutoFillBackground(true);
}

} // namespace kestrune
