#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

namespace kestrune::platform::linux_impl {

// The names in a folder as the file system stores them (not always valid UTF-8), sorted,
// without "." and ".."; nothing when it cannot be read, with the errno value in *error.
std::optional<std::vector<QByteArray>> directoryEntries(const QString& folder,
                                                        int* error = nullptr);

} // namespace kestrune::platform::linux_impl
