#pragma once

#include "base/Hive.h"
#include "platform/Registry.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace kestrune::platform {

// Error codes of the hive files; they keep the registry's numbers.
enum RegistryError : int {
    REGISTRY_OK = 0,
    REGISTRY_ACCESS_DENIED = 5,      // ERROR_ACCESS_DENIED
    REGISTRY_WRITE_FAULT = 29,       // ERROR_WRITE_FAULT
    REGISTRY_INVALID_PARAMETER = 87, // ERROR_INVALID_PARAMETER
    REGISTRY_BAD_DATABASE = 1009,    // ERROR_BADDB: the hive does not parse
};

// "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE".
QString rootName(RegistryRoot root);
// The hive file of a root, as SettingsPlace decides it; empty when there is none.
QString hiveFilePath(RegistryRoot root);

class FileRegistry final : public Registry {
public:
    std::optional<RegistryValue> read(RegistryRoot root, const QString& key,
                                      const QString& name) override;
    bool keyExists(RegistryRoot root, const QString& key) override;
    int write(RegistryRoot root, const QString& key, const QString& name,
              const RegistryValue& value) override;
    QString location(RegistryRoot root) const override { return hiveFilePath(root); }
};

} // namespace kestrune::platform
