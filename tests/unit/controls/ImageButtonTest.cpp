#include "controls/CVSKImageButton.h"

#include <QSignalSpy>
#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

using kestrune::CVSKImageButton;

namespace {

// A window with one Settings-style button at (10, 10), notifying into `sent`.
struct Strip {
    QWidget window;
    CVSKImageButton* button = new CVSKImageButton(&window);
    QObject owner;
    std::vector<unsigned> sent;
    int clicks = 0;

    Strip() {
        window.resize(200, 100);
        button->move(10, 10);
        QObject::connect(button, &CVSKImageButton::notify, &owner,
                         [this](unsigned message) { sent.push_back(message); });
        QObject::connect(button, &CVSKImageButton::clicked, &owner, [this] { ++clicks; });
        button->SetBitmaps(130, 131, 143);
        button->SetNotifyMessages(3024, 3025, 3026, &owner);
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
        sent.clear();
    }
    void press(QPoint p) { QTest::mousePress(button, Qt::LeftButton, {}, p); }
    void release(QPoint p) { QTest::mouseRelease(button, Qt::LeftButton, {}, p); }
    // A move as the pointer reports it, held button or not.
    void move(QPoint p, Qt::MouseButtons held = Qt::NoButton) {
        QMouseEvent event(QEvent::MouseMove, p, button->mapToGlobal(QPointF(p)), Qt::NoButton, held,
                          Qt::NoModifier);
        QApplication::sendEvent(button, &event);
    }
    QRgb shown() const { return button->grab().toImage().pixel(23, 26); }
};

QRgb bitmapPixel(int id) {
    return QImage(QStringLiteral(":/bitmaps/%1.bmp").arg(id)).pixel(23, 26);
}

} // namespace

TEST(ImageButton, SetBitmapsSizesAndNotifiesOnlyAConfiguredTarget) {
    QWidget window;
    auto* button = new CVSKImageButton(&window);
    std::vector<unsigned> sent;
    QObject::connect(button, &CVSKImageButton::notify,
                     [&](unsigned message) { sent.push_back(message); });
    button->SetBitmaps(134, 135, 142);
    EXPECT_EQ(button->size(), QSize(41, 53));
    EXPECT_TRUE(sent.empty()); // no target yet

    QObject owner;
    button->SetNotifyMessages(3027, 3028, 3029, &owner);
    EXPECT_TRUE(sent.empty());
    button->SetBitmaps(139, 140, 141);
    EXPECT_EQ(button->size(), QSize(44, 53));
    EXPECT_EQ(sent, std::vector<unsigned>{3027});
    EXPECT_EQ(button->state(), CVSKImageButton::Normal);
}

TEST(ImageButton, PressAndReleaseInsideClicksOnce) {
    Strip s;
    s.move({5, 5});
    s.press({5, 5});
    EXPECT_EQ(s.button->state(), CVSKImageButton::Pressed);
    EXPECT_EQ(s.shown(), bitmapPixel(143));
    s.release({5, 5});
    EXPECT_EQ(s.sent, (std::vector<unsigned>{3025, 3026, 3024}));
    EXPECT_EQ(s.clicks, 1);
    EXPECT_EQ(s.button->state(), CVSKImageButton::Normal);
    EXPECT_EQ(s.shown(), bitmapPixel(130));
}

TEST(ImageButton, ReleaseOnTheRightOrBottomEdgeStillClicks) {
    Strip s;
    s.press({1, 1});
    s.release({46, 53});
    EXPECT_EQ(s.clicks, 1);
    s.press({1, 1});
    s.release({47, 20});
    EXPECT_EQ(s.clicks, 1);
    s.press({1, 1});
    s.release({20, -1});
    EXPECT_EQ(s.clicks, 1);
}

TEST(ImageButton, MovingOffWhileHeldAndReleasingOutsideDoesNotClick) {
    Strip s;
    s.press({10, 10});
    s.move({80, 10}, Qt::LeftButton); // pressed, outside: hover
    s.move({81, 10}, Qt::LeftButton); // hover after pressed: pressed again
    s.move({82, 10}, Qt::LeftButton); // and hover again
    s.move({83, 10}, Qt::LeftButton);
    EXPECT_EQ(s.sent, (std::vector<unsigned>{3026, 3025, 3026, 3025, 3026}));
    s.sent.clear();
    s.release({90, 10});
    EXPECT_EQ(s.clicks, 0);
    EXPECT_EQ(s.sent, std::vector<unsigned>{3024});
    EXPECT_EQ(s.button->state(), CVSKImageButton::Normal);
}

TEST(ImageButton, HeldAndStillInsideKeepsThePressedLook) {
    Strip s;
    s.press({10, 10});
    s.move({12, 12}, Qt::LeftButton);
    s.move({46, 53}, Qt::LeftButton);
    EXPECT_EQ(s.sent, std::vector<unsigned>{3026});
    EXPECT_EQ(s.button->state(), CVSKImageButton::Pressed);
    s.release({46, 53});
    EXPECT_EQ(s.clicks, 1);
}

TEST(ImageButton, HoverRepeatsAndLeavingReturnsToNormal) {
    Strip s;
    s.move({3, 3});
    s.move({4, 4});
    EXPECT_EQ(s.sent, (std::vector<unsigned>{3025, 3025}));
    EXPECT_EQ(s.shown(), bitmapPixel(131));
    s.move({60, 4}); // outside without a button: normal, look unchanged until leave
    EXPECT_EQ(s.sent.back(), 3024u);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(s.button, &leave);
    EXPECT_EQ(s.sent, (std::vector<unsigned>{3025, 3025, 3024, 3024}));
    EXPECT_EQ(s.shown(), bitmapPixel(130));
}

TEST(ImageButton, RealPointerMovesArriveWithoutAButtonHeld) {
    Strip s;
    QWindow* handle = s.window.windowHandle();
    ASSERT_NE(handle, nullptr);
    QTest::mouseMove(handle, QPoint(150, 80));
    QTest::mouseMove(handle, QPoint(20, 20)); // over the button
    QTest::qWait(10);
    ASSERT_FALSE(s.sent.empty());
    EXPECT_EQ(s.sent.back(), 3025u);
}

TEST(ImageButton, DoubleClickIsTwoClicksNeverThree) {
    Strip s;
    // What the window system delivers for a double click.
    const QPointF p(8, 8);
    const QPointF g = s.button->mapToGlobal(p);
    const QEvent::Type sequence[] = {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                                     QEvent::MouseButtonPress, QEvent::MouseButtonDblClick,
                                     QEvent::MouseButtonRelease};
    for (QEvent::Type type : sequence) {
        const Qt::MouseButtons held =
            type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, p, g, Qt::LeftButton, held, Qt::NoModifier);
        QApplication::sendEvent(s.button, &event);
    }
    EXPECT_EQ(s.clicks, 2);
    EXPECT_EQ(s.button->state(), CVSKImageButton::Normal);
}

TEST(ImageButton, DisabledButtonLooksTheSameAndStaysSilent) {
    QWidget window;
    window.resize(100, 100);
    auto* button = new CVSKImageButton(&window);
    int clicks = 0;
    std::vector<unsigned> sent;
    QObject::connect(button, &CVSKImageButton::notify, [&](unsigned m) { sent.push_back(m); });
    QObject::connect(button, &CVSKImageButton::clicked, [&] { ++clicks; });
    button->SetBitmaps(169, 169, 169);
    button->setEnabled(false);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QImage before = button->grab().toImage();
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseMove(button, QPoint(6, 6));
    EXPECT_EQ(clicks, 0);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(button->grab().toImage(), before);
    EXPECT_EQ(button->size(), QSize(46, 53));
}

TEST(ImageButton, AGoneTargetIsNotNotified) {
    Strip s;
    auto target = std::make_unique<QObject>();
    std::vector<unsigned> sent;
    QObject::connect(s.button, &CVSKImageButton::notify, [&](unsigned m) { sent.push_back(m); });
    s.button->SetNotifyMessages(1, 2, 3, target.get());
    s.move({5, 5});
    EXPECT_EQ(sent, std::vector<unsigned>{2});
    target.reset();
    s.move({6, 6});
    EXPECT_EQ(sent, std::vector<unsigned>{2});
}
