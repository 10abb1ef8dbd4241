#include "controls/ProgramBitmap.h"

#include "controls/CVSKImageButton.h"

#include <QString>

namespace kestrune {

QImage LoadProgramBitmap(int id, qreal devicePixelRatio) {
    InitProgramResources();
    if (devicePixelRatio > 1.0) {
        QImage sharp(QStringLiteral(":/bitmaps/%1@2x.bmp").arg(id));
        if (!sharp.isNull()) {
            sharp.setDevicePixelRatio(2.0);
            return sharp;
        }
    }
    return QImage(QStringLiteral(":/bitmaps/%1.bmp").arg(id));
}

} // namespace kestrune
