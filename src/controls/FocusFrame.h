#pragma once

class QPainter;
class QRect;

namespace kestrune {

// The frame that shows which control has the keyboard's focus, inside its rectangle: black
// dashes on white, visible on any bitmap and in any style.
void DrawFocusFrame(QPainter& painter, const QRect& area);

} // namespace kestrune
