#include "UpdateLook.h"

#include <QPainter>
#include <QPainterPath>

namespace kestrune::update {
namespace {

const QColor kNavy(14, 39, 66);
const QColor kTeal(22, 133, 140);
const QColor kTealLight(111, 201, 206);
const QColor kTealPale(214, 238, 240);

QPainterPath shieldPath(QPointF centre, qreal r) {
    QPainterPath path;
    path.moveTo(centre + QPointF(-r, -r * 0.9));
    path.lineTo(centre + QPointF(0, -r * 1.15));
    path.lineTo(centre + QPointF(r, -r * 0.9));
    path.lineTo(centre + QPointF(r * 0.92, r * 0.25));
    path.lineTo(centre + QPointF(0, r * 1.15));
    path.lineTo(centre + QPointF(-r * 0.92, r * 0.25));
    path.closeSubpath();
    return path;
}

} // namespace

QPalette productPalette() {
    QPalette palette;
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const QColor text = group == QPalette::Disabled ? QColor(0x9A, 0xA0, 0xA6) : Qt::black;
        palette.setColor(group, QPalette::Window, Qt::white);
        palette.setColor(group, QPalette::Base, Qt::white);
        palette.setColor(group, QPalette::AlternateBase, QColor(0xF6, 0xF8, 0xF9));
        palette.setColor(group, QPalette::Button, QColor(0xF0, 0xF0, 0xF0));
        palette.setColor(group, QPalette::Light, Qt::white);
        palette.setColor(group, QPalette::Midlight, QColor(0xE3, 0xE3, 0xE3));
        palette.setColor(group, QPalette::Mid, QColor(0xB8, 0xBE, 0xC3));
        palette.setColor(group, QPalette::Dark, QColor(0x9E, 0xA4, 0xAA));
        palette.setColor(group, QPalette::Shadow, QColor(0x76, 0x7C, 0x82));
        for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            palette.setColor(group, role, text);
        palette.setColor(group, QPalette::Highlight, kTeal);
        palette.setColor(group, QPalette::HighlightedText, Qt::white);
    }
    return palette;
}

Banner::Banner(const QString& title, QWidget* parent) : QWidget(parent), title_(title) {
    setFixedHeight(50);
}

void Banner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, width(), 0);
    fill.setColorAt(0, kNavy);
    fill.setColorAt(1, kTeal);
    painter.fillRect(rect(), fill);
    painter.fillPath(shieldPath(QPointF(30, 25), 15), kTealLight);
    painter.fillPath(shieldPath(QPointF(30, 25), 9.5), kNavy);
    QFont big = font();
    big.setPixelSize(20);
    big.setBold(true);
    painter.setFont(big);
    painter.setPen(Qt::white);
    painter.drawText(QPoint(56, 25), title_);
    QFont small = font();
    small.setPixelSize(11);
    painter.setFont(small);
    painter.setPen(kTealPale);
    painter.drawText(QPoint(57, 41), QStringLiteral("Software update"));
}

Band::Band(QWidget* parent) : QWidget(parent) {
    setFixedHeight(50);
}

void Band::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, height() - kBarHeight);
    fill.setColorAt(0, Qt::white);
    fill.setColorAt(1, kTealPale);
    painter.fillRect(QRect(0, 0, width(), height() - kBarHeight), fill);
    painter.fillRect(QRect(0, 0, width(), 1), kTealLight);
    painter.fillRect(QRect(0, height() - kBarHeight, width(), kBarHeight), kNavy);
    const qreal middle = (height() - kBarHeight) / 2.0 + 0.5;
    for (int i = 0; i < 3; ++i) {
        QColor shade = kTealPale;
        const qreal t = 0.4 + i * 0.3;
        shade.setRgbF(shade.redF() + (kTealLight.redF() - shade.redF()) * t,
                      shade.greenF() + (kTealLight.greenF() - shade.greenF()) * t,
                      shade.blueF() + (kTealLight.blueF() - shade.blueF()) * t);
        painter.fillPath(shieldPath(QPointF(kInset + 7 + i * 22, middle), 7), shade);
    }
}

} // namespace kestrune::update
