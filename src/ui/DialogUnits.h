#pragma once

#include <QRect>
#include <cmath>

namespace kestrune {

// Dialog templates are laid out in dialog units of an 8-point dialog font: at 96 dpi one
// horizontal unit is 1.5 px and one vertical unit 1.625 px.
inline int duX(double units) {
    return static_cast<int>(std::lround(units * 1.5));
}
inline int duY(double units) {
    return static_cast<int>(std::lround(units * 1.625));
}
inline QRect duRect(double x, double y, double width, double height) {
    return QRect(duX(x), duY(y), duX(width), duY(height));
}

} // namespace kestrune
