#include "MachineSettings.h"

#include <vector>

namespace kestrune::update {
namespace {

// The most a key or value name holds, as the registry's limits say.
constexpr DWORD kNameChars = 16384;
// Addresses and keys are short: a longer value is no setting of ours.
constexpr DWORD kValueBytes = 64 * 1024;
constexpr REGSAM kRead = KEY_READ | KEY_WOW64_64KEY;

class Key {
public:
    Key(const RegistryCalls& calls, HKEY parent, const std::wstring& path, REGSAM access)
        : calls_(calls) {
        if (calls.openKey(parent, path.c_str(), 0, access, &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~Key() {
        if (key_)
            calls_.closeKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return key_; }

private:
    const RegistryCalls& calls_;
    HKEY key_ = nullptr;
};

struct TextValue {
    QString name, text;
};

// The key's non-empty string values, in the registry's order.
std::vector<TextValue> textValues(const RegistryCalls& calls, HKEY key) {
    std::vector<TextValue> values;
    std::vector<wchar_t> name(kNameChars);
    std::vector<BYTE> data(kValueBytes + sizeof(wchar_t));
    for (DWORD index = 0;; ++index) {
        DWORD nameChars = kNameChars, type = 0, bytes = kValueBytes;
        const LSTATUS status = calls.enumValue(key, index, name.data(), &nameChars, nullptr, &type,
                                               data.data(), &bytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || type != REG_SZ)
            continue;
        const QString text = QString::fromWCharArray(reinterpret_cast<const wchar_t*>(data.data()),
                                                     int(bytes / sizeof(wchar_t)));
        // Stored with its terminating NUL, or without: the text ends at the first.
        const QString trimmed = text.left(text.indexOf(QChar(0))).trimmed();
        if (!trimmed.isEmpty())
            values.push_back({QString::fromWCharArray(name.data(), int(nameChars)), trimmed});
    }
    return values;
}

bool sameName(const QString& a, const char* b) {
    return a.compare(QLatin1String(b), Qt::CaseInsensitive) == 0;
}

void readUpdateKey(const RegistryCalls& calls, HKEY software, const std::wstring& path,
                   UpdateSettings& settings) {
    const Key update(calls, software, path, kRead);
    if (!update.get())
        return;
    for (const TextValue& value : textValues(calls, update.get())) {
        if (sameName(value.name, "FeedUrl") && settings.feedUrl.isEmpty())
            settings.feedUrl = value.text;
        else if (sameName(value.name, "CaFile") && settings.caFile.isEmpty())
            settings.caFile = value.text;
    }
    const Key keys(calls, update.get(), L"TrustedKeys", kRead);
    if (keys.get())
        for (const TextValue& value : textValues(calls, keys.get()))
            settings.trustedKeys << value.text;
}

} // namespace

const RegistryCalls& systemRegistryCalls() {
    static const RegistryCalls calls{&::RegOpenKeyExW, &::RegEnumKeyExW, &::RegEnumValueW,
                                     &::RegCloseKey};
    return calls;
}

UpdateSettings updateSettingsFromRegistry(const RegistryCalls& calls, const QString& productName) {
    UpdateSettings settings;
    if (productName.isEmpty() || productName.contains(QLatin1Char('\\')))
        return settings;
    const Key software(calls, HKEY_LOCAL_MACHINE, L"Software",
                       KEY_ENUMERATE_SUB_KEYS | KEY_WOW64_64KEY);
    if (!software.get())
        return settings;
    const std::wstring below = L"\\" + productName.toStdWString() + L"\\Settings\\Update";
    std::vector<wchar_t> company(kNameChars);
    for (DWORD index = 0;; ++index) {
        DWORD chars = kNameChars;
        const LSTATUS status = calls.enumKey(software.get(), index, company.data(), &chars, nullptr,
                                             nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status == ERROR_SUCCESS)
            readUpdateKey(calls, software.get(), std::wstring(company.data(), chars) + below,
                          settings);
    }
    return settings;
}

UpdateSettings machineUpdateSettings(const QString& productName) {
    return updateSettingsFromRegistry(systemRegistryCalls(), productName);
}

} // namespace kestrune::update
