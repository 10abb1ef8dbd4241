#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace kestrune::platform::linux_impl {

// The names in a folder, sorted, without "." and ".."; nothing when it cannot be read, with
// the errno value in *error.
std::optional<QStringList> directoryEntries(const QString& folder, int* error = nullptr);

} // namespace kestrune::platform::linux_impl
