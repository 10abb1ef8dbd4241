#pragma once

#include <QByteArray>
#include <QWidget>

namespace kestrune {
namespace platform {
class Module;
}

// A picture control: decodes a picture from memory onto an off-screen surface of the
// picture's size, resizes itself to it and paints from it; a multi-frame GIF plays on an
// animation thread. (Interface fixed here; the pictures work fills in the body.)
class CPictureEx : public QWidget {
    Q_OBJECT
public:
    explicit CPictureEx(QWidget* parent = nullptr);
    ~CPictureEx() override;

    bool LoadResourceImage(const platform::Module& module, int id, const char* type);
    bool LoadImageData(const QByteArray& data);
    bool ShowImage();
    void StopAnimation();
    void ReleaseImage();
    bool PrepareSurface(int width, int height);

    bool isLoaded() const;
    // A copy of the off-screen surface (tests, snapshots).
    QImage surfaceImage() const;
};

} // namespace kestrune
