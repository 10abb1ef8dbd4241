#pragma once

#include "platform/Registry.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

namespace kestrune::platform {

// Error codes of the hive files; they keep the registry's numbers.
enum RegistryError : int {
    REGISTRY_OK = 0,
    REGISTRY_ACCESS_DENIED = 5,      // ERROR_ACCESS_DENIED
    REGISTRY_WRITE_FAULT = 29,       // ERROR_WRITE_FAULT
    REGISTRY_INVALID_PARAMETER = 87, // ERROR_INVALID_PARAMETER
    REGISTRY_BAD_DATABASE = 1009,    // ERROR_BADDB: the hive does not parse
};

// One hive file in the registry editor's text format, as parsed into memory.
struct HiveValue {
    QString name; // empty: the key's default value ("@")
    RegistryValue value;
};

struct HiveKey {
    QString path; // full path including the root name, "HKEY_CURRENT_USER\Software\..."
    std::vector<HiveValue> values;
};

struct Hive {
    std::vector<HiveKey> keys;

    HiveKey* findKey(const QString& path);
    const HiveKey* findKey(const QString& path) const;
    // True when the key or any key below it is present.
    bool hasKeyOrDescendant(const QString& path) const;
    const HiveValue* findValue(const QString& path, const QString& name) const;
    void setValue(const QString& path, const QString& name, const RegistryValue& value);
};

// Null when the text is not a well-formed hive (an empty file is an empty hive).
std::optional<Hive> parseHive(const QByteArray& bytes, QString* error = nullptr);
// UTF-8 text that parseHive reads back to the same keys, values, types and bytes.
QByteArray serializeHive(const Hive& hive);

// "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE".
QString rootName(RegistryRoot root);
// The hive file of a root: $KESTRUNE_REGISTRY_DIR/{user,machine}.reg when set, else
// $XDG_CONFIG_HOME/kestrune/user.reg and /etc/kestrune/machine.reg.
QString hiveFilePath(RegistryRoot root);

class FileRegistry final : public Registry {
public:
    std::optional<RegistryValue> read(RegistryRoot root, const QString& key,
                                      const QString& name) override;
    bool keyExists(RegistryRoot root, const QString& key) override;
    int write(RegistryRoot root, const QString& key, const QString& name,
              const RegistryValue& value) override;
};

} // namespace kestrune::platform
