#include "update/UpdateManager.h"

#include "app/SettingsStore.h"
#include "app/SystemUtil.h"
#include "lang/LanguageManager.h"
#include "platform/MessageService.h"
#include "platform/Module.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace kestrune {
namespace {

constexpr std::uint32_t kSecondsPerDay = 86400;

std::mutex updateManagerMutex;
std::shared_ptr<UpdateManager> updateManager;

std::int64_t systemClock() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

} // namespace

UpdateManager::UpdateManager(std::shared_ptr<SystemUtil> util)
    : util_(std::move(util)), clock_(systemClock) {
    // Probe only: the component stays in memory just for the duration of a call.
    available_ = LoadUpdateComponent() != nullptr;
    entry_ = nullptr;
}

UpdateManager::~UpdateManager() = default;

QString UpdateManager::updateKey() const {
    return SettingsStore(util_).ProductKey(UpdateKeySuffix());
}

std::uint32_t UpdateManager::read(const QString& name, bool machineWide) const {
    return util_->ReadRegistryDword(updateKey(), name, machineWide);
}

std::int32_t UpdateManager::write(const QString& name, std::uint32_t value) const {
    return util_->WriteRegistryDword(updateKey(), name, value, false);
}

bool UpdateManager::GetHideUpdate() const {
    return read(QStringLiteral("HideUpdate"), true) == 1;
}

bool UpdateManager::IsFeedConfigured() const {
    return !SettingsStore(util_)
                .ReadMachineText(UpdateKeySuffix(), QStringLiteral("FeedUrl"))
                .isEmpty();
}

bool UpdateManager::GetNotActivate() const {
    return read(QStringLiteral("NotActivate"), false) == 1;
}

std::uint32_t UpdateManager::GetUpdateSchedule() const {
    if (read(QStringLiteral("NotActivate"), false) != 0)
        return NoCheck;
    const std::uint32_t day = read(QStringLiteral("DayCheck"), false);
    return day >= 1 ? day : std::uint32_t(Weekly);
}

std::int32_t UpdateManager::SetUpdateSchedule(bool activate, std::uint32_t schedule) const {
    const std::int32_t first = write(QStringLiteral("NotActivate"), activate ? 0u : 1u);
    const std::int32_t second = write(QStringLiteral("DayCheck"), schedule);
    return first != 0 ? first : second;
}

bool UpdateManager::IsUpdateDue(std::uint32_t schedule) const {
    std::uint32_t period = 0;
    switch (schedule) {
    case Daily:
        period = kSecondsPerDay;
        break;
    case Weekly:
        period = 7 * kSecondsPerDay;
        break;
    case Monthly:
        period = 30 * kSecondsPerDay;
        break;
    default:
        return false;
    }
    const std::uint32_t last = read(QStringLiteral("LastUpdate"), false);
    // The registry keeps the low 32 bits only; the comparison is made in that width.
    const auto now = static_cast<std::uint32_t>(clock_());
    if (last + period < now || last == 0) {
        write(QStringLiteral("LastUpdate"), now);
        return true;
    }
    return false;
}

std::unique_ptr<platform::Module> UpdateManager::LoadUpdateComponent() {
    auto module = platform::Module::load(util_->ComponentPathWithoutFallback(ComponentFileName()));
    if (!module)
        return nullptr;
    entry_ = module->entry<VSKUpdateFn>(KESTRUNE_UPDATE_ENTRY);
    if (!entry_)
        return nullptr;
    return module;
}

std::int32_t UpdateManager::RunUpdate(std::int32_t mode) {
    auto module = LoadUpdateComponent();
    // The component may have gone since start-up; then nothing is called.
    if (!module || !entry_) {
        entry_ = nullptr;
        return 0;
    }
    const std::u16string directory = util_->GetExecutableDirectory().toStdU16String();
    const std::u16string product = SettingsStore(util_).GetProductName().toStdU16String();
    const std::u16string version = util_->GetProgramVersion().toStdU16String();
    const std::int32_t result =
        entry_(0, directory.c_str(), product.c_str(), version.c_str(), mode, 0);
    std::printf("VSKUpdate: %d\n", result);
    std::fflush(stdout);
    entry_ = nullptr;
    module.reset();
    // The component has logged why; the user hears it in their language. Nothing was
    // installed, so neither caller may take it for an offer or for a reason to close.
    if (result == KESTRUNE_UPDATE_NOT_VERIFIED) {
        const auto language = GetLanguageManager();
        platform::showMessage(
            language ? language->GetString(QStringLiteral("message_update_not_verified"))
                     : QString(),
            SettingsStore(util_).GetProductName(),
            platform::MB_OK_STYLE | platform::MB_ICONERROR_STYLE);
        return 0;
    }
    return result;
}

void UpdateManager::SetClock(Clock clock) {
    clock_ = clock ? std::move(clock) : Clock(systemClock);
}

std::shared_ptr<UpdateManager> GetUpdateManager() {
    std::lock_guard guard(updateManagerMutex);
    if (!updateManager)
        updateManager = std::make_shared<UpdateManager>(GetSystemUtil());
    return updateManager;
}

void ReleaseUpdateManager() {
    std::shared_ptr<UpdateManager> released;
    {
        std::lock_guard guard(updateManagerMutex);
        released.swap(updateManager);
    }
}

} // namespace kestrune
