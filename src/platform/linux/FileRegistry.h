#pragma once

#include "platform/Registry.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
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
// Comment lines (";...") are kept with what follows them, so a write leaves them in place.
struct HiveValue {
    QString name; // empty: the key's default value ("@")
    RegistryValue value;
    QStringList comments;
};

struct HiveKey {
    QString path; // full path including the root name, "HKEY_CURRENT_USER\Software\..."
    std::vector<HiveValue> values;
    QStringList comments;
};

struct Hive {
    std::vector<HiveKey> keys;
    QStringList leadingComments;  // before the header line
    QStringList trailingComments; // after the last value

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
// kestrune/user.reg in the user's settings folder (the invoking user's when started through
// sudo or pkexec) and the machine hive of the installation (/etc/kestrune/machine.reg).
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
