#include "platform/SystemLog.h"

namespace kestrune::platform {

void LogWarning(const QString& text) {
    LogWarning(text.toUtf8().toStdString());
}

} // namespace kestrune::platform
