#pragma once

#include <QString>

namespace kestrune::platform {

// What a product name gives away when the system's own hints are silent: most card readers
// say what they are, and so do sticks that call their medium fixed.
bool namesCardReader(const QString& product);
bool namesFlashDrive(const QString& product);

} // namespace kestrune::platform
