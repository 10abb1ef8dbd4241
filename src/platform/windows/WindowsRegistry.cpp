#include "platform/windows/WindowsRegistry.h"

#include "platform/SystemLog.h"

namespace kestrune::platform {
namespace {

using windows_impl::errorText;
using windows_impl::toWide;

HKEY rootKey(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// A value may change between asking its size and reading it; a few tries find a quiet moment.
constexpr int kReadTries = 4;

class OpenKey {
public:
    OpenKey(const RegistryCalls& calls, HKEY key) : calls_(calls), key_(key) {}
    ~OpenKey() { calls_.closeKey(key_); }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    HKEY get() const { return key_; }

private:
    const RegistryCalls& calls_;
    HKEY key_;
};

} // namespace

const RegistryCalls& systemRegistryCalls() {
    static const RegistryCalls calls{&::RegOpenKeyExW, &::RegQueryValueExW, &::RegCreateKeyExW,
                                     &::RegSetValueExW, &::RegCloseKey};
    return calls;
}

QString rootName(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? QStringLiteral("HKEY_LOCAL_MACHINE")
                                              : QStringLiteral("HKEY_CURRENT_USER");
}

std::optional<RegistryValue> WindowsRegistry::read(RegistryRoot root, const QString& key,
                                                   const QString& name) {
    HKEY handle = nullptr;
    if (calls_.openKey(rootKey(root), toWide(key).c_str(), 0, KEY_QUERY_VALUE, &handle) !=
        ERROR_SUCCESS)
        return std::nullopt;
    const OpenKey opened(calls_, handle);
    const std::wstring valueName = toWide(name);
    for (int tries = 0; tries < kReadTries; ++tries) {
        DWORD type = REG_NONE;
        DWORD size = 0;
        if (calls_.queryValue(handle, valueName.c_str(), nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS)
            return std::nullopt;
        QByteArray data(qsizetype(size), '\0');
        const LSTATUS status = calls_.queryValue(handle, valueName.c_str(), nullptr, &type,
                                                 reinterpret_cast<BYTE*>(data.data()), &size);
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS || qsizetype(size) > data.size())
            return std::nullopt;
        data.resize(qsizetype(size));
        return RegistryValue{type, data};
    }
    return std::nullopt;
}

bool WindowsRegistry::keyExists(RegistryRoot root, const QString& key) {
    HKEY handle = nullptr;
    const LSTATUS status =
        calls_.openKey(rootKey(root), toWide(key).c_str(), 0, KEY_QUERY_VALUE, &handle);
    if (status == ERROR_SUCCESS)
        calls_.closeKey(handle);
    // A key this account may not read is there all the same.
    return status == ERROR_SUCCESS || status == ERROR_ACCESS_DENIED;
}

int WindowsRegistry::write(RegistryRoot root, const QString& key, const QString& name,
                           const RegistryValue& value) {
    const QString where = key.isEmpty() ? rootName(root) : rootName(root) + u'\\' + key;
    auto refused = [&](LSTATUS status) {
        LogWarning(QStringLiteral("Registry key %1 was not written (value \"%2\"): %3")
                       .arg(where, name, errorText(DWORD(status))));
        return int(status);
    };
    HKEY handle = nullptr;
    // Only the right to set values is asked for: the user's own keys give it, the machine's
    // give it to administrators alone.
    LSTATUS status =
        calls_.createKey(rootKey(root), toWide(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_SET_VALUE, nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS)
        return refused(status);
    const OpenKey opened(calls_, handle);
    status = calls_.setValue(handle, toWide(name).c_str(), 0, value.type,
                             reinterpret_cast<const BYTE*>(value.data.constData()),
                             DWORD(value.data.size()));
    return status == ERROR_SUCCESS ? 0 : refused(status);
}

Registry& registry() {
    static WindowsRegistry instance;
    return instance;
}

} // namespace kestrune::platform
