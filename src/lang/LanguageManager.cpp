#include "lang/LanguageManager.h"

#include "app/SystemUtil.h"
#include "platform/MessageService.h"
#include "platform/Module.h"

#include <kestrune/resource_abi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace kestrune {
namespace {

const QString kComponentFile = QStringLiteral("VSKLanguage.dll");
const QString kLanguageFilePattern = QStringLiteral("VSKLanguageKestrune_*.dll");
const QString kMissingComponent =
    QStringLiteral("Could not locate necessary dll 'VSKLanguage.dll'");

void errorBox(const QString& text) {
    platform::showMessage(text, SystemUtil::ApplicationTitle(), platform::MB_ICONERROR_STYLE);
}

QString missingEntry(const char* entry) {
    return kMissingComponent + QStringLiteral(" (%1)").arg(QLatin1String(entry));
}

// Takes over a block the component allocated for us.
QString adopt(char16_t* block) {
    if (!block)
        return {};
    QString text = QString::fromUtf16(block);
    std::free(block);
    return text;
}

std::unique_ptr<char16_t[]> buffer(int units) {
    return std::unique_ptr<char16_t[]>(new char16_t[units]());
}

std::mutex languageManagerMutex;
std::shared_ptr<LanguageManager> languageManager;

} // namespace

struct LanguageManager::Entry {
    // Sized exactly as the component is told, so an overrun is caught by the tools that
    // check heap accesses instead of landing in a neighbouring field.
    std::unique_ptr<char16_t[]> code = buffer(KESTRUNE_LANGUAGE_CODE_UNITS);
    std::unique_ptr<char16_t[]> auxiliary1 = buffer(KESTRUNE_LANGUAGE_AUX1_UNITS);
    std::unique_ptr<char16_t[]> path = buffer(KESTRUNE_LANGUAGE_PATH_UNITS);
    std::unique_ptr<char16_t[]> auxiliary2 = buffer(KESTRUNE_LANGUAGE_AUX2_UNITS);
    std::unique_ptr<platform::Module> module;
    KestruneGetBitmapId getBitmapId = nullptr;

    QString codeText() const { return QString::fromUtf16(code.get()); }
    QString pathText() const { return QString::fromUtf16(path.get()); }
};

LanguageManager::LanguageManager() {
    initialise();
}

LanguageManager::~LanguageManager() {
    // The component goes first, then every language file with its row.
    getAmountLanguages_ = nullptr;
    getLanguages_ = nullptr;
    getCurrentLanguage_ = nullptr;
    setCurrentLanguage_ = nullptr;
    component_.reset();
    table_.clear();
}

QString LanguageManager::componentDirectory() const {
    const QString path = util_->ComponentPathWithFallback(kComponentFile);
    return path.left(path.size() - kComponentFile.size());
}

void LanguageManager::initialise() {
    languageCount_ = 0;
    table_.clear();
    currentIndex_ = 0;
    util_ = GetSystemUtil();
    if (!loadComponent())
        return;
    const int announced = GetLanguageCount();
    if (announced <= 0) {
        platform::showMessage(
            QStringLiteral("No language files were found! Please reinstall your product."),
            QStringLiteral("Resource not found"), platform::MB_ICONERROR_STYLE, nullptr);
        SelectCurrentLanguage();
        return;
    }
    readLanguageTable(announced);
    if (languageCount_ > 0 && !loadLanguageFiles())
        return;
    SelectCurrentLanguage();
}

// The component with all its entries, or none (and the user told which is missing).
bool LanguageManager::loadComponent() {
    component_ = platform::Module::load(util_->ComponentPathWithFallback(kComponentFile));
    if (!component_) {
        errorBox(kMissingComponent);
        return false;
    }
    struct Resolve {
        const char* name;
        void** target;
    };
    const Resolve entries[] = {
        {"GetAmountLanguages", reinterpret_cast<void**>(&getAmountLanguages_)},
        {"GetLanguages", reinterpret_cast<void**>(&getLanguages_)},
        {"GetCurrentLanguage", reinterpret_cast<void**>(&getCurrentLanguage_)},
        {"SetCurrentLanguage", reinterpret_cast<void**>(&setCurrentLanguage_)},
    };
    for (const Resolve& entry : entries) {
        *entry.target = component_->symbol(entry.name);
        if (!*entry.target) {
            errorBox(missingEntry(entry.name));
            for (const Resolve& other : entries)
                *other.target = nullptr;
            component_.reset();
            return false;
        }
    }
    return true;
}

// The rows the component fills in, at most as many as it announced.
void LanguageManager::readLanguageTable(int announced) {
    table_.resize(static_cast<std::size_t>(announced));
    std::vector<KestruneLanguageEntry> rows(table_.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i] = {table_[i].code.get(),
                   table_[i].auxiliary1.get(),
                   table_[i].path.get(),
                   table_[i].auxiliary2.get(),
                   nullptr,
                   nullptr};
    }
    // Whatever the component does to the pointer, the rows we read are our own.
    KestruneLanguageEntry* tablePointer = rows.data();
    std::u16string directory = componentDirectory().toStdU16String();
    std::u16string pattern = kLanguageFilePattern.toStdU16String();
    std::u16string version = util_->GetProgramVersion().toStdU16String();
    int filled = getLanguages_(directory.data(), pattern.data(), version.data(), &tablePointer);
    filled = std::clamp(filled, 0, announced);
    for (Entry& row : table_) {
        // A component that filled a buffer to the brim must not make us read past it.
        row.code[KESTRUNE_LANGUAGE_CODE_UNITS - 1] = 0;
        row.auxiliary1[KESTRUNE_LANGUAGE_AUX1_UNITS - 1] = 0;
        row.path[KESTRUNE_LANGUAGE_PATH_UNITS - 1] = 0;
        row.auxiliary2[KESTRUNE_LANGUAGE_AUX2_UNITS - 1] = 0;
    }
    table_.resize(static_cast<std::size_t>(filled));
    languageCount_ = filled;
}

// Every language file with its picture entry; false after telling the user of the first
// that has none.
bool LanguageManager::loadLanguageFiles() {
    for (Entry& row : table_) {
        row.module = platform::Module::load(row.pathText());
        if (row.module)
            row.getBitmapId = row.module->entry<KestruneGetBitmapId>("GetBitmapId");
        if (!row.getBitmapId) {
            errorBox(missingEntry("GetBitmapId"));
            return false;
        }
    }
    return true;
}

QString LanguageManager::GetString(const QString& key) const {
    return GetStringForLanguage(key, currentIndex_.load());
}

QString LanguageManager::GetStringForLanguage(const QString& key, int index) const {
    if (languageCount_ <= 0 || table_.empty())
        return {};
    if (index < 0 || index > languageCount_ - 1)
        index = 0;
    const Entry& row = table_[static_cast<std::size_t>(index)];
    if (!row.module) {
        errorBox(QStringLiteral("Could not locate necessary dll ") + row.pathText());
        return {};
    }
    auto lookup = row.module->entry<KestruneGetStringByString>("GetStringByString");
    if (!lookup) {
        errorBox(missingEntry("GetStringByString"));
        return {};
    }
    const std::u16string wanted = key.toStdU16String();
    return adopt(lookup(1, wanted.c_str()));
}

const LanguageManager::Entry* LanguageManager::entryFor(int index) const {
    if (index == -1)
        index = currentIndex_.load();
    if (index < 0 || index > languageCount_ - 1)
        index = 0;
    return languageCount_ > 0 && !table_.empty() ? &table_[static_cast<std::size_t>(index)]
                                                 : nullptr;
}

int LanguageManager::findResource(const Entry& row, const QString& name) const {
    if (!row.module || !row.getBitmapId)
        return -1;
    const std::u16string wanted = name.toStdU16String();
    return row.getBitmapId(1, wanted.c_str());
}

QByteArray LanguageManager::FindPictureData(const QString& name, const char* type,
                                            int index) const {
    const Entry* row = entryFor(index);
    if (!row)
        return {};
    const int id = findResource(*row, name);
    return id == -1 ? QByteArray() : row->module->resource(id & 0xFFFF, type);
}

std::optional<QByteArray> LanguageManager::PictureData(const QString& name, const char* type,
                                                       int index) const {
    const Entry* row = entryFor(index);
    if (!row || !row->module || !row->getBitmapId) {
        errorBox(kMissingComponent);
        return std::nullopt;
    }
    const int id = findResource(*row, name);
    if (id == -1) {
        errorBox(QStringLiteral("Could not locate image in dll. (GetBitmapId)"));
        return std::nullopt;
    }
    return row->module->resource(id & 0xFFFF, type);
}

QImage LanguageManager::LoadBitmapByName(const QString& name, int index) const {
    const Entry* row = entryFor(index);
    auto getBitmapId =
        row && row->module ? row->module->entry<KestruneGetBitmapId>("GetBitmapId") : nullptr;
    if (!getBitmapId) {
        errorBox(kMissingComponent);
        return {};
    }
    const std::u16string wanted = name.toStdU16String();
    const int id = getBitmapId(1, wanted.c_str());
    if (id == -1) {
        errorBox(QStringLiteral("Could not locate image in dll."));
        return {};
    }
    QImage image;
    image.loadFromData(row->module->resource(id & 0xFFFF, KESTRUNE_RESOURCE_TYPE_BITMAP), "BMP");
    return image;
}

QImage LanguageManager::LoadBitmapForRatio(const QString& name, int index,
                                           qreal devicePixelRatio) const {
    const Entry* row = entryFor(index);
    if (devicePixelRatio > 1.0 && row && row->module) {
        const int id = findResource(*row, name + QStringLiteral("@2x"));
        QImage sharp;
        if (id != -1 &&
            sharp.loadFromData(row->module->resource(id & 0xFFFF, KESTRUNE_RESOURCE_TYPE_BITMAP),
                               "BMP")) {
            sharp.setDevicePixelRatio(2.0);
            return sharp;
        }
    }
    return LoadBitmapByName(name, index);
}

int LanguageManager::GetLanguageCount() const {
    if (!component_ || !getAmountLanguages_)
        return 0;
    std::u16string directory = componentDirectory().toStdU16String();
    std::u16string pattern = kLanguageFilePattern.toStdU16String();
    std::u16string version = util_->GetProgramVersion().toStdU16String();
    const int count = getAmountLanguages_(directory.data(), pattern.data(), version.data());
    return count < 0 ? 0 : count;
}

int LanguageManager::SelectCurrentLanguage() {
    if (!getCurrentLanguage_) {
        currentIndex_ = 0;
        return 0;
    }
    const QString code = adopt(getCurrentLanguage_());
    std::printf("VSKGetCurrentLanguage: %s\n", code.toUtf8().constData());
    std::fflush(stdout);

    int chosen = -1;
    int fallback = -1;
    for (int i = 0; i < languageCount_; ++i) {
        const QString rowCode = table_[static_cast<std::size_t>(i)].codeText();
        if (rowCode.compare(code, Qt::CaseInsensitive) == 0)
            chosen = i;
        if (rowCode.compare(QLatin1String("NTV"), Qt::CaseInsensitive) == 0)
            fallback = i;
    }
    currentIndex_ = chosen >= 0 ? chosen : fallback >= 0 ? fallback : 0;
    return currentIndex_;
}

bool LanguageManager::SetLanguage(int index) {
    const QString code = GetStringForLanguage(QStringLiteral("Language_codes"), index);
    if (!setCurrentLanguage_)
        return false;
    std::u16string stored = code.toStdU16String();
    return setCurrentLanguage_(0, stored.data()) != 0;
}

int LanguageManager::IndexOfLanguageCode(const QString& code) const {
    for (int i = 0; i < languageCount_; ++i)
        if (GetStringForLanguage(QStringLiteral("Language_codes"), i)
                .compare(code, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

std::shared_ptr<LanguageManager> GetLanguageManager() {
    std::lock_guard guard(languageManagerMutex);
    if (!languageManager)
        languageManager = std::make_shared<LanguageManager>();
    return languageManager;
}

void ReleaseLanguageManager() {
    std::shared_ptr<LanguageManager> released;
    {
        std::lock_guard guard(languageManagerMutex);
        released.swap(languageManager);
    }
    // The last holder, possibly a worker that is still looking up a text, frees it.
}

} // namespace kestrune
