#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

namespace kestrune::platform {

enum class RegistryRoot { CurrentUser, LocalMachine };

// Value types keep their Windows numbers, so stored files read the same everywhere.
enum RegistryType : std::uint32_t {
    REG_NONE_TYPE = 0,
    REG_SZ_TYPE = 1,
    REG_EXPAND_SZ_TYPE = 2,
    REG_BINARY_TYPE = 3,
    REG_DWORD_TYPE = 4,
    REG_MULTI_SZ_TYPE = 7,
    REG_QWORD_TYPE = 11,
};

// A value as stored: its type and its raw bytes (REG_SZ: UTF-16LE with terminator;
// REG_DWORD: 4 bytes little-endian).
struct RegistryValue {
    std::uint32_t type = REG_NONE_TYPE;
    QByteArray data;
};

// The text of a REG_SZ or REG_EXPAND_SZ value up to its terminator; nothing for any other type.
inline std::optional<QString> registryText(const RegistryValue& value) {
    if (value.type != REG_SZ_TYPE && value.type != REG_EXPAND_SZ_TYPE)
        return std::nullopt;
    const auto* units = reinterpret_cast<const char16_t*>(value.data.constData());
    qsizetype length = 0;
    while (length < value.data.size() / 2 && units[length] != 0)
        ++length;
    return QString::fromUtf16(units, length);
}

// The two hives of the settings store. Keys are backslash-separated paths below the root
// ("Software\\Vaskor Security\\Vaskor Kestrune\\Settings"); names are compared without
// regard to case, as the registry compares them.
class Registry {
public:
    virtual ~Registry() = default;

    // The value, or nothing when the hive, the key or the value is missing or the hive
    // cannot be read.
    virtual std::optional<RegistryValue> read(RegistryRoot root, const QString& key,
                                              const QString& name) = 0;
    virtual bool keyExists(RegistryRoot root, const QString& key) = 0;
    // Creates the key when needed and stores the value; 0 on success, else an error code.
    // A hive that does not parse is never overwritten: the write fails.
    virtual int write(RegistryRoot root, const QString& key, const QString& name,
                      const RegistryValue& value) = 0;
    // Where the hive of a root is kept, to name it in messages.
    virtual QString location(RegistryRoot root) const = 0;
};

// The process-wide registry: the hive files of the user and the machine, or of the folder
// named by KESTRUNE_REGISTRY_DIR.
Registry& registry();

} // namespace kestrune::platform
