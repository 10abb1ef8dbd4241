#pragma once

#include "base/Hive.h"

#include <QString>
#include <optional>

namespace kestrune::platform {

enum class RegistryRoot { CurrentUser, LocalMachine };

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
