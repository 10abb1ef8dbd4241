#pragma once

#include "platform/Registry.h"
#include "platform/windows/Win32Text.h"

namespace kestrune::platform {

// The registry calls of the settings store. The store takes the system's own
// (systemRegistryCalls()); tests hand in others to play what the system refuses.
struct RegistryCalls {
    decltype(&::RegOpenKeyExW) openKey;
    decltype(&::RegQueryValueExW) queryValue;
    decltype(&::RegCreateKeyExW) createKey;
    decltype(&::RegSetValueExW) setValue;
    decltype(&::RegCloseKey) closeKey;
};
const RegistryCalls& systemRegistryCalls();

// "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE".
QString rootName(RegistryRoot root);

// The user's and the machine's hives of the system's registry. Error codes are the
// system's own (5: the key may not be written, as the machine's for a normal user).
class WindowsRegistry final : public Registry {
public:
    explicit WindowsRegistry(const RegistryCalls& calls = systemRegistryCalls()) : calls_(calls) {}
    std::optional<RegistryValue> read(RegistryRoot root, const QString& key,
                                      const QString& name) override;
    bool keyExists(RegistryRoot root, const QString& key) override;
    int write(RegistryRoot root, const QString& key, const QString& name,
              const RegistryValue& value) override;
    QString location(RegistryRoot root) const override { return rootName(root); }

private:
    const RegistryCalls& calls_;
};

} // namespace kestrune::platform
