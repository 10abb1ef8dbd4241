#pragma once

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QWidget>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrune {

// A picture control: decodes a picture from memory onto an off-screen surface of the
// picture's pixel size, resizes itself to it (divided by the picture's pixel ratio) and
// paints from it; a multi-frame GIF plays on an
// animation thread.
class CPictureEx : public QWidget {
    Q_OBJECT
public:
    explicit CPictureEx(QWidget* parent = nullptr);
    ~CPictureEx() override;

    // pixelRatio is how many of the picture's pixels make one layout pixel: 2 for a
    // drawing made for screens with twice the pixels, shown at half its pixel size.
    bool LoadImageData(const QByteArray& data, qreal pixelRatio = 1.0);
    bool ShowImage();
    void StopAnimation();
    void ReleaseImage();
    bool PrepareSurface(int width, int height);

    bool isLoaded() const;
    qreal pixelRatio() const { return pixelRatio_; }
    // A copy of the off-screen surface (tests, snapshots).
    QImage surfaceImage() const;

    // Read-only views for diagnostics and tests.
    bool isAnimated() const;
    int frameCount() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    QSize sizeHint() const override;

private:
    QSize layoutSize(int width, int height) const;

    struct AnimationFrame {
        QImage picture;
        int width = 0;
        int height = 0;
        int left = 0;
        int top = 0;
        int delay = -1;
        int disposal = 0;
    };

    bool decodeStill(const QByteArray& bytes, bool keepSize);
    bool decodeFrames(const QByteArray& bytes);
    void animationLoop();
    void drawFrame(const AnimationFrame& frame);
    void disposeFrame(const AnimationFrame& frame);
    // A null rectangle fills the whole surface.
    void fillBackground(const QRect& area);
    void requestRepaint();
    // Waits on the exit event; true when it was signalled.
    bool waitForExit(int milliseconds);

    int width_ = 0;
    int height_ = 0;
    qreal pixelRatio_ = 1.0;
    QColor background_{Qt::white};
    unsigned currentFrame_ = 0;
    bool isGif_ = false;
    bool loaded_ = false;

    // The surface and the saved area are touched by the animation thread and the GUI
    // thread; the lock is held only while one of them draws or copies.
    mutable std::mutex surfaceMutex_;
    QImage surface_;
    QImage savedArea_;
    bool hasSavedArea_ = false;

    QImage still_;
    std::vector<AnimationFrame> frames_;

    std::thread thread_;
    std::atomic<bool> exitRequested_{false};
    std::mutex eventMutex_;
    std::condition_variable eventSignal_;
    bool eventSignalled_ = false;
};

} // namespace kestrune
