#include "controls/CVSKImageButton.h"

#include "controls/FocusFrame.h"
#include "controls/ProgramBitmap.h"

#include <QMouseEvent>
#include <QPainter>

#include <mutex>

// Q_INIT_RESOURCE must be used outside any namespace.
static void initResourcesOnce() {
    Q_INIT_RESOURCE(resources);
}

namespace kestrune {

void InitProgramResources() {
    static std::once_flag once;
    std::call_once(once, initResourcesOnce);
}

CVSKImageButton::CVSKImageButton(QWidget* parent) : QAbstractButton(parent) {
    InitProgramResources();
    // Moves must arrive without a button held, or there is no hover look.
    setMouseTracking(true);
    // Reached by Tab and pressed by Space; a mouse click leaves the focus where it was.
    setFocusPolicy(Qt::TabFocus);
}

void CVSKImageButton::SetBitmaps(int normal, int hover, int pressed) {
    const int ids[3] = {normal, hover, pressed};
    for (int i = 0; i < 3; ++i) {
        bitmaps_[i] = LoadProgramBitmap(ids[i], 1.0);
        sharpBitmaps_[i] = LoadProgramBitmap(ids[i], 2.0);
    }
    if (!bitmaps_[Normal].isNull())
        resize(bitmaps_[Normal].size());
    updateGeometry();
    raise();
    changeState(Normal);
    update();
}

void CVSKImageButton::SetNotifyMessages(unsigned normal, unsigned hover, unsigned pressed,
                                        QObject* target) {
    messages_[Normal] = normal;
    messages_[Hover] = hover;
    messages_[Pressed] = pressed;
    target_ = target;
    hasTarget_ = target != nullptr;
}

QSize CVSKImageButton::sizeHint() const {
    return bitmaps_[Normal].isNull() ? QSize(16, 16) : bitmaps_[Normal].size();
}

void CVSKImageButton::changeState(State next) {
    previousState_ = state_;
    state_ = next;
    send(next);
}

void CVSKImageButton::send(State which) {
    if (hasTarget_ && target_)
        emit notify(messages_[which]);
}

bool CVSKImageButton::inside(const QPointF& position) const {
    // Edges count as inside, on the right and bottom too.
    return position.x() >= 0 && position.x() <= width() && position.y() >= 0 &&
           position.y() <= height();
}

const QImage& CVSKImageButton::bitmapFor(qreal devicePixelRatio) const {
    const QImage& sharp = sharpBitmaps_[state_];
    if (devicePixelRatio > 1.0 && !sharp.isNull() && sharp.devicePixelRatio() > 1.0)
        return sharp;
    return bitmaps_[state_];
}

void CVSKImageButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    // The screen may change while the button lives, so the drawing is picked at every
    // paint, by the pixels the painter really has per layout pixel.
    const QImage& bitmap = bitmapFor(painter.deviceTransform().m11());
    if (bitmap.isNull())
        return;
    // Copied at the button's size from the bitmap's origin, as the plain bitmap is.
    const qreal ratio = bitmap.devicePixelRatio();
    painter.drawImage(QRectF(0, 0, width(), height()), bitmap,
                      QRectF(0, 0, width() * ratio, height() * ratio));
    if (hasFocus())
        DrawFocusFrame(painter, rect());
}

void CVSKImageButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    changeState(Pressed);
    update();
    event->accept();
}

void CVSKImageButton::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double click is a press like any other: two clicks, never a
    // separate double-click action.
    mousePressEvent(event);
}

void CVSKImageButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    changeState(Normal);
    update();
    event->accept();
    // The one place a click is reported: the base class never sees the press.
    if (previousState_ == Pressed && inside(event->position()))
        emit clicked(false);
}

void CVSKImageButton::mouseMoveEvent(QMouseEvent* event) {
    const bool in = inside(event->position());
    if (state_ == Pressed) {
        if (!in) {
            changeState(Hover);
            update();
        }
    } else if (state_ == Hover && previousState_ == Pressed) {
        changeState(Pressed);
    } else if (!in) {
        changeState(Normal);
    } else {
        // Repeats on every move over the button: the owner relies on it.
        changeState(Hover);
        update();
    }
    event->accept();
}

void CVSKImageButton::leaveEvent(QEvent* event) {
    changeState(Normal);
    update();
    QAbstractButton::leaveEvent(event);
}

} // namespace kestrune
