#pragma once

#include <QAbstractButton>
#include <QImage>
#include <QPointer>

namespace kestrune {

// Makes the program's own bitmaps and icons (":/bitmaps/<id>.bmp", ":/icons/...")
// available; the core is a static library, so its resources need an explicit start.
// Safe to call any number of times.
void InitProgramResources();

// A bottom-strip button that shows one of three bitmaps of the program's own resources
// (normal, hover, pressed) and tells its owner about every change of look.
class CVSKImageButton : public QAbstractButton {
    Q_OBJECT
public:
    enum State { Normal = 0, Hover = 1, Pressed = 2 };

    explicit CVSKImageButton(QWidget* parent = nullptr);

    // Loads the bitmaps ":/bitmaps/<id>.bmp" (and their @2x drawings), takes the normal bitmap's
    // size and sends the normal message.
    void SetBitmaps(int normal, int hover, int pressed);
    // Stores the messages and the target; sends nothing. Without a target (null)
    // nothing is ever sent.
    void SetNotifyMessages(unsigned normal, unsigned hover, unsigned pressed, QObject* target);

    State state() const { return state_; }
    State previousState() const { return previousState_; }
    QSize sizeHint() const override;
    // The bitmap of the current state for a screen of the given pixel ratio.
    const QImage& bitmapFor(qreal devicePixelRatio) const;

signals:
    // A change of look, synchronously, and only when a target was set.
    void notify(unsigned message);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void changeState(State next);
    void send(State which);
    bool inside(const QPointF& position) const;

    QImage bitmaps_[3];
    QImage sharpBitmaps_[3];
    State state_ = Normal;
    State previousState_ = Normal;
    unsigned messages_[3] = {0, 0, 0};
    QPointer<QObject> target_;
    bool hasTarget_ = false;
};

} // namespace kestrune
