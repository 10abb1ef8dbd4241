#pragma once

#include <QString>

namespace kestrune {

class CPictureEx;
class LanguageManager;

// Shows the language file's picture of that name in the control. A screen with more pixels
// than layout pixels gets the sharper drawing ("<name>@2x") at the same layout size; a
// language without one falls back to the plain picture. A missing one is said in a box.
void ShowLanguagePicture(CPictureEx& picture, const LanguageManager& language, const QString& name,
                         const char* type, int index);

} // namespace kestrune
