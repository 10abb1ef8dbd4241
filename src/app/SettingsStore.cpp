#include "app/SettingsStore.h"

#include "app/SystemUtil.h"
#include "lang/LanguageManager.h"
#include "platform/Registry.h"
#include "shred/ShredMethod.h"

#include <QRegularExpression>

#include <cstdio>
#include <mutex>

namespace kestrune {
namespace {

const QString kSettings = QStringLiteral("\\Settings");
const QString kShredding = QStringLiteral("\\Shredding");

std::mutex settingsStoreMutex;
std::shared_ptr<SettingsStore> settingsStore;

} // namespace

SettingsStore::SettingsStore(std::shared_ptr<SystemUtil> util) : util_(std::move(util)) {}

bool SettingsStore::GetHideSettings() const {
    return ReadFlag(kSettings, QStringLiteral("HideSettings"), true);
}

std::uint32_t SettingsStore::GetShredAlgo() const {
    const std::uint32_t stored =
        util_->ReadRegistryDword(ProductKey(kShredding), QStringLiteral("ShredAlgo"), false);
    // Numbers below the default's are how older settings say "the default", without a word.
    if (stored > std::uint32_t(kDefaultShredMethod.number) && !IsShredAlgorithm(stored))
        std::printf("ShredAlgo %u is no method of this version: method %u runs\n", stored,
                    EffectiveShredAlgorithm(stored));
    return stored;
}

bool SettingsStore::GetStartAuto() const {
    return ReadFlag(kSettings, QStringLiteral("StartAuto"), false);
}

std::int32_t SettingsStore::SetStartAuto(bool on) const {
    return WriteFlag(kSettings, QStringLiteral("StartAuto"), on);
}

bool SettingsStore::GetFormatDrive() const {
    return ReadFlag(kSettings, QStringLiteral("FormatDrive"), false);
}

std::int32_t SettingsStore::SetFormatDrive(bool on) const {
    return WriteFlag(kSettings, QStringLiteral("FormatDrive"), on);
}

bool SettingsStore::GetCertificates() const {
    return !ReadFlag(kSettings, QStringLiteral("NoCertificates"), false);
}

bool SettingsStore::GetAskBeforeStart() const {
    return !ReadFlag(kSettings, QStringLiteral("NoStartQuestion"), true);
}

QString SettingsStore::GetOrganisation() const {
    return ReadMachineText(kSettings, QStringLiteral("Organisation"));
}

QString SettingsStore::GetLocation() const {
    return ReadMachineText(kSettings, QStringLiteral("Location"));
}

SigningSettings SettingsStore::GetSigning() const {
    const QString key = ProductKey(QStringLiteral("\\Settings\\Signing"));
    auto read = [&key](platform::RegistryRoot root) {
        auto text = [&](const char* name) {
            const auto value = platform::registry().read(root, key, QString::fromLatin1(name));
            return value ? platform::registryText(*value).value_or(QString()).trimmed() : QString();
        };
        return SigningSettings{text("CertificateFile"), text("KeyFile"), text("TimestampUrl")};
    };
    const SigningSettings machine = read(platform::RegistryRoot::LocalMachine);
    return machine.configured() ? machine : read(platform::RegistryRoot::CurrentUser);
}

QString SettingsStore::GetProductName() const {
    const auto language = GetLanguageManager();
    return language ? language->GetString(QStringLiteral("product_name")) : QString();
}

QString SettingsStore::ProductKey(const QString& suffix) const {
    const auto language = GetLanguageManager();
    const QString company =
        language ? language->GetStringForLanguage(QStringLiteral("company_ntv"), 0) : QString();
    return QStringLiteral("Software\\") + company + QLatin1Char('\\') + GetProductName() + suffix;
}

bool SettingsStore::ReadFlag(const QString& suffix, const QString& name, bool machineWide) const {
    return util_->ReadRegistryDword(ProductKey(suffix), name, machineWide) == 1;
}

std::int32_t SettingsStore::WriteFlag(const QString& suffix, const QString& name, bool on) const {
    // A failed write leaves the old value in force; the caller decides whom to tell.
    return util_->WriteRegistryDword(ProductKey(suffix), name, on ? 1u : 0u, false);
}

QString SettingsStore::ReadMachineText(const QString& suffix, const QString& name) const {
    const auto value =
        platform::registry().read(platform::RegistryRoot::LocalMachine, ProductKey(suffix), name);
    if (!value)
        return {};
    // Control characters would break the lines of the documents it goes into.
    QString text = platform::registryText(*value).value_or(QString());
    text.replace(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\x7f]+")), QStringLiteral(" "));
    return text.trimmed();
}

std::shared_ptr<SettingsStore> GetSettingsStore() {
    std::lock_guard guard(settingsStoreMutex);
    if (!settingsStore)
        settingsStore = std::make_shared<SettingsStore>(GetSystemUtil());
    return settingsStore;
}

void ReleaseSettingsStore() {
    std::lock_guard guard(settingsStoreMutex);
    settingsStore.reset();
}

} // namespace kestrune
