#pragma once

#include <QImage>
#include <QString>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include <kestrune/language_abi.h>

namespace kestrune {

class SystemUtil;
namespace platform {
class Module;
}

// The program's one wrapper around the language component and its language files.
class LanguageManager {
public:
    LanguageManager();
    ~LanguageManager();
    LanguageManager(const LanguageManager&) = delete;
    LanguageManager& operator=(const LanguageManager&) = delete;

    QString GetString(const QString& key) const;
    QString GetStringForLanguage(const QString& key, int index) const;
    // The bytes of the language file's picture of that name; empty when it has none. Silent.
    QByteArray FindPictureData(const QString& name, const char* type, int index) const;
    // The same, but a missing component or picture is said in a message box, and nothing is
    // returned.
    std::optional<QByteArray> PictureData(const QString& name, const char* type, int index) const;
    // The bitmap, or a null image after a reported failure.
    QImage LoadBitmapByName(const QString& name, int index) const;
    // As LoadBitmapByName, but above a pixel ratio of 1 the language's drawing at twice
    // the size ("<name>@2x") where it has one, marked with a device pixel ratio of 2.
    QImage LoadBitmapForRatio(const QString& name, int index, qreal devicePixelRatio) const;
    int GetLanguageCount() const;
    int SelectCurrentLanguage();
    bool SetLanguage(int index);
    // The index of the language whose file answers "Language_codes" with this code; -1.
    int IndexOfLanguageCode(const QString& code) const;
    bool HasLanguages() const { return languageCount_ > 0; }
    int currentIndex() const { return currentIndex_; }

private:
    struct Entry;
    void initialise();
    bool loadComponent();
    void readLanguageTable(int announced);
    bool loadLanguageFiles();
    const Entry* entryFor(int index) const;
    // The resource id of name in the entry's language file, -1 when it has none; silent.
    int findResource(const Entry& row, const QString& name) const;
    QString componentDirectory() const;

    std::atomic<int> currentIndex_{0};
    std::shared_ptr<SystemUtil> util_;
    std::vector<Entry> table_;
    KestruneGetAmountLanguages getAmountLanguages_ = nullptr;
    KestruneGetLanguages getLanguages_ = nullptr;
    KestruneGetCurrentLanguage getCurrentLanguage_ = nullptr;
    KestruneSetCurrentLanguage setCurrentLanguage_ = nullptr;
    std::unique_ptr<platform::Module> component_;
    int languageCount_ = 0;
};

std::shared_ptr<LanguageManager> GetLanguageManager();
void ReleaseLanguageManager();

} // namespace kestrune
