#include "controls/FocusFrame.h"

#include <QPainter>

namespace kestrune {

void DrawFocusFrame(QPainter& painter, const QRect& area) {
    const QRectF frame = QRectF(area).adjusted(2.5, 2.5, -2.5, -2.5);
    painter.save();
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, 1));
    painter.drawRect(frame);
    painter.setPen(QPen(Qt::black, 1, Qt::DashLine));
    painter.drawRect(frame);
    painter.restore();
}

} // namespace kestrune
