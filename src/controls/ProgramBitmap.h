#pragma once

#include <QImage>

namespace kestrune {

// The program's own bitmap ":/bitmaps/<id>.bmp" for a screen of the given pixel ratio.
// Above a ratio of 1 the drawing made at twice the size (<id>@2x.bmp) is taken where it
// exists, marked with a device pixel ratio of 2, so it covers the same layout size.
QImage LoadProgramBitmap(int id, qreal devicePixelRatio);

} // namespace kestrune
