#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

class QWidget;

namespace kestrune {

// The product's colours, shared by the windows and what they draw themselves.
namespace look {
inline const QColor kNavy{14, 39, 66};
inline const QColor kTeal{22, 133, 140};
inline const QColor kTealLight{111, 201, 206};
inline const QColor kPanel{240, 240, 240};
inline const QColor kFrame{205, 213, 218};
inline const QColor kWindowEdge{150, 160, 168};
inline const QColor kWarningFill{255, 244, 224};
inline const QColor kWarningEdge{236, 196, 128};
inline const QColor kWarningMark{224, 140, 0};
inline const QColor kWarningText{106, 58, 0};
} // namespace look

// A complete light palette: the windows are white with black text whatever the desktop's
// theme, because their pictures are drawn for that.
QPalette ProgramPalette();

// The font the window layouts are measured for (an 8-point dialog font at 96 dpi).
QFont ProgramFont();

// Gives a top-level window the program's palette and font; its children inherit them.
void ApplyProgramLook(QWidget& window);

} // namespace kestrune
