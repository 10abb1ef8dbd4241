#pragma once

#include "base/SystemLog.h"

#include <QString>

namespace kestrune::platform {

// The same for a text of the toolkit's.
void LogWarning(const QString& text);

} // namespace kestrune::platform
