#include "controls/LanguagePicture.h"

#include "controls/CPictureEx.h"
#include "lang/LanguageManager.h"

namespace kestrune {

void ShowLanguagePicture(CPictureEx& picture, const LanguageManager& language, const QString& name,
                         const char* type, int index) {
    if (picture.devicePixelRatioF() > 1.0) {
        const QByteArray sharp =
            language.FindPictureData(name + QStringLiteral("@2x"), type, index);
        if (!sharp.isEmpty() && picture.LoadImageData(sharp, 2.0)) {
            picture.ShowImage();
            return;
        }
    }
    const std::optional<QByteArray> plain = language.PictureData(name, type, index);
    if (plain && picture.LoadImageData(*plain))
        picture.ShowImage();
}

} // namespace kestrune
