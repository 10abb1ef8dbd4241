#include "controls/CPictureEx.h"

#include "controls/GifFrameSplitter.h"

#include <QCloseEvent>
#include <QMetaObject>
#include <QPainter>
#include <QPalette>
#include <QtMath>

#include <chrono>

namespace kestrune {

namespace {

// Nothing the program shows comes near this; it keeps a hostile header from asking for
// gigabytes of surface.
constexpr qint64 kMaxSurfacePixels = 32LL * 1024 * 1024;
constexpr int kMaxSurfaceSide = 16384;

bool plausibleSize(int width, int height) {
    return width > 0 && height > 0 && width <= kMaxSurfaceSide && height <= kMaxSurfaceSide &&
           qint64(width) * height <= kMaxSurfacePixels;
}

bool startsAsGif(const QByteArray& data) {
    return data.startsWith("GIF87a") || data.startsWith("GIF89a");
}

} // namespace

CPictureEx::CPictureEx(QWidget* parent) : QWidget(parent) {}

CPictureEx::~CPictureEx() {
    ReleaseImage();
}

bool CPictureEx::LoadImageData(const QByteArray& bytes, qreal pixelRatio) {
    ReleaseImage();
    if (bytes.isEmpty())
        return false;
    pixelRatio_ = pixelRatio >= 1.0 ? pixelRatio : 1.0;
    if (!startsAsGif(bytes))
        return decodeStill(bytes, false) && PrepareSurface(width_, height_);

    isGif_ = true;
    if (!decodeFrames(bytes)) {
        ReleaseImage();
        return false;
    }
    return PrepareSurface(width_, height_);
}

bool CPictureEx::decodeStill(const QByteArray& bytes, bool keepSize) {
    QImage image = QImage::fromData(bytes);
    if (image.isNull())
        return false;
    still_ = image;
    if (keepSize && plausibleSize(width_, height_))
        return true;

    // Pixels are layout pixels, whatever resolution the file states: a banner made for
    // a 972-pixel window fills it whether its file says 72 or 300 dpi.
    width_ = image.width();
    height_ = image.height();
    return plausibleSize(width_, height_);
}

bool CPictureEx::decodeFrames(const QByteArray& bytes) {
    const auto* raw = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    gif::GifWalker walker(raw, std::size_t(bytes.size()));
    if (!walker.valid())
        return false;
    width_ = walker.screenWidth();
    height_ = walker.screenHeight();

    const std::size_t count = walker.CountFrames();
    if (count == 0)
        return false;
    if (count == 1) {
        // A zero-sized logical screen would leave nothing to show: take the picture's size.
        return decodeStill(bytes, true);
    }

    const QSize screen(width_, height_);
    QRect covered;
    gif::GifFrame cut;
    while (walker.ExtractFrame(cut)) {
        const QByteArray buffer = QByteArray::fromRawData(
            reinterpret_cast<const char*>(cut.buffer.data()), qsizetype(cut.buffer.size()));
        const QImage decoded = QImage::fromData(buffer, "GIF");
        if (decoded.isNull() || !plausibleSize(cut.width, cut.height))
            continue;
        AnimationFrame frame;
        frame.left = cut.left;
        frame.top = cut.top;
        frame.width = cut.width;
        frame.height = cut.height;
        frame.delay = cut.delay;
        frame.disposal = cut.disposal;
        const QRect area(cut.left, cut.top, cut.width, cut.height);
        // The decoder composes a frame onto the whole logical screen; keep its own
        // rectangle only, so every frame is drawn where its descriptor puts it.
        if (decoded.size() != screen && decoded.size() == area.size())
            frame.picture = decoded;
        else
            frame.picture = decoded.copy(area);
        if (frame.picture.isNull())
            continue;
        covered |= area;
        frames_.push_back(std::move(frame));
    }
    if (frames_.empty())
        return false;
    if (!plausibleSize(width_, height_)) {
        width_ = covered.right() + 1;
        height_ = covered.bottom() + 1;
    }
    return true;
}

bool CPictureEx::PrepareSurface(int width, int height) {
    if (!plausibleSize(width, height))
        return false;
    QImage surface(width, height, QImage::Format_RGB32);
    if (surface.isNull())
        return false;
    surface.fill(palette().color(QPalette::Window));
    resize(layoutSize(width, height));
    updateGeometry();
    {
        std::lock_guard guard(surfaceMutex_);
        surface_ = std::move(surface);
        width_ = width;
        height_ = height;
        background_ = palette().color(QPalette::Button);
    }
    loaded_ = true;
    return true;
}

bool CPictureEx::ShowImage() {
    if (!loaded_)
        return false;
    if (isGif_ && frames_.size() > 1) {
        if (!thread_.joinable())
            thread_ = std::thread([this] { animationLoop(); });
        return false;
    }
    if (still_.isNull())
        return false;
    {
        std::lock_guard guard(surfaceMutex_);
        QPainter painter(&surface_);
        if (still_.size() != QSize(width_, height_))
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect(0, 0, width_, height_), still_);
    }
    update();
    return true;
}

void CPictureEx::StopAnimation() {
    exitRequested_ = true;
    {
        std::lock_guard guard(eventMutex_);
        eventSignalled_ = true;
    }
    eventSignal_.notify_all();
    // Always wait for the end: the thread draws into members that a release frees.
    if (thread_.joinable())
        thread_.join();
    {
        std::lock_guard guard(eventMutex_);
        eventSignalled_ = false;
    }
    exitRequested_ = false;
}

void CPictureEx::ReleaseImage() {
    StopAnimation();
    still_ = QImage();
    frames_.clear();
    {
        std::lock_guard guard(surfaceMutex_);
        surface_ = QImage();
        savedArea_ = QImage();
        hasSavedArea_ = false;
        background_ = QColor(Qt::white);
    }
    loaded_ = false;
    pixelRatio_ = 1.0;
    isGif_ = false;
    currentFrame_ = 0;
}

bool CPictureEx::isLoaded() const {
    return loaded_;
}

bool CPictureEx::isAnimated() const {
    return thread_.joinable();
}

int CPictureEx::frameCount() const {
    return int(frames_.size());
}

QImage CPictureEx::surfaceImage() const {
    std::lock_guard guard(surfaceMutex_);
    return surface_.copy();
}

QSize CPictureEx::layoutSize(int width, int height) const {
    return QSize(qCeil(width / pixelRatio_), qCeil(height / pixelRatio_));
}

QSize CPictureEx::sizeHint() const {
    return loaded_ ? layoutSize(width_, height_) : QWidget::sizeHint();
}

void CPictureEx::paintEvent(QPaintEvent*) {
    if (!loaded_)
        return;
    QPainter painter(this);
    std::lock_guard guard(surfaceMutex_);
    // One picture pixel per device pixel where the ratios agree.
    painter.drawImage(QRectF(0, 0, width_ / pixelRatio_, height_ / pixelRatio_), surface_);
}

void CPictureEx::closeEvent(QCloseEvent* event) {
    StopAnimation();
    QWidget::closeEvent(event);
}

void CPictureEx::animationLoop() {
    if (frames_.empty())
        return;
    if (currentFrame_ >= frames_.size())
        currentFrame_ = 0;
    disposeFrame(frames_[currentFrame_]);

    while (!exitRequested_) {
        const AnimationFrame& frame = frames_[currentFrame_];
        if (!frame.picture.isNull()) {
            drawFrame(frame);
            requestRepaint();
            if (exitRequested_)
                break;
            waitForExit(gif::FrameHoldMilliseconds(frame.delay));
            if (exitRequested_)
                break;
            disposeFrame(frame);
        }
        if (++currentFrame_ >= frames_.size()) {
            currentFrame_ = 0;
            fillBackground(QRect());
        }
    }
}

void CPictureEx::drawFrame(const AnimationFrame& frame) {
    const QRect area(frame.left, frame.top, frame.width, frame.height);
    std::lock_guard guard(surfaceMutex_);
    if (frame.disposal == 3) {
        savedArea_ = surface_.copy(area);
        hasSavedArea_ = true;
    }
    QPainter painter(&surface_);
    painter.drawImage(area, frame.picture);
}

void CPictureEx::disposeFrame(const AnimationFrame& frame) {
    const QRect area(frame.left, frame.top, frame.width, frame.height);
    if (frame.disposal == 2) {
        fillBackground(area);
    } else if (frame.disposal == 3) {
        std::lock_guard guard(surfaceMutex_);
        if (hasSavedArea_) {
            QPainter painter(&surface_);
            painter.setCompositionMode(QPainter::CompositionMode_Source);
            painter.drawImage(area.topLeft(), savedArea_);
            savedArea_ = QImage();
            hasSavedArea_ = false;
        }
    }
}

void CPictureEx::fillBackground(const QRect& area) {
    std::lock_guard guard(surfaceMutex_);
    QPainter painter(&surface_);
    painter.fillRect(area.isNull() ? surface_.rect() : area, background_);
}

void CPictureEx::requestRepaint() {
    // Queued: the GUI thread repaints; a control deleted meanwhile drops the request.
    QMetaObject::invokeMethod(this, "update", Qt::QueuedConnection);
}

bool CPictureEx::waitForExit(int milliseconds) {
    std::unique_lock lock(eventMutex_);
    return eventSignal_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                 [this] { return eventSignalled_; });
}

} // namespace kestrune
