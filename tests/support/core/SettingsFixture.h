#pragma once

#include "TestSupport.h"
#include "app/SettingsStore.h"
#include "app/SystemUtil.h"
#include "lang/LanguageManager.h"
#include "platform/Registry.h"
#include "update/UpdateManager.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <vector>

namespace kestrune::test {

inline const QString kComponentKey = QStringLiteral("Software\\Vaskor Security\\Paths\\DLLs");
inline const QString kProductKey = QStringLiteral("Software\\Vaskor Security\\Vaskor Kestrune");
inline const QString kUpdateKey = kProductKey + QStringLiteral("\\Settings\\Update");
inline const QString kSettingsKey = kProductKey + QStringLiteral("\\Settings");
inline const QString kShreddingKey = kProductKey + QStringLiteral("\\Shredding");

inline QByteArray utf16z(const QString& text) {
    return QByteArray(reinterpret_cast<const char*>(text.utf16()), (text.size() + 1) * 2);
}

inline void putString(platform::RegistryRoot root, const QString& key, const QString& name,
                      const QString& value) {
    ASSERT_EQ(platform::registry().write(
                  root, key, name, platform::RegistryValue{platform::REG_SZ_TYPE, utf16z(value)}),
              0);
}

inline void putDword(platform::RegistryRoot root, const QString& key, const QString& name,
                     std::uint32_t value) {
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((value >> (8 * i)) & 0xFF);
    ASSERT_EQ(platform::registry().write(root, key, name,
                                         platform::RegistryValue{platform::REG_DWORD_TYPE, bytes}),
              0);
}

// The stored number, or nothing when the value is missing.
inline std::optional<std::uint32_t> userDword(const QString& key, const QString& name) {
    const auto value = platform::registry().read(platform::RegistryRoot::CurrentUser, key, name);
    if (!value || value->type != platform::REG_DWORD_TYPE || value->data.size() != 4)
        return std::nullopt;
    std::uint32_t number = 0;
    for (int i = 0; i < 4; ++i)
        number |= std::uint32_t(std::uint8_t(value->data[i])) << (8 * i);
    return number;
}

// The boxes that matter here: the test runner carries no version record, so every
// version lookup reports that, which is not what these tests are about.
inline std::vector<platform::MessageRequest> boxesBesidesVersion() {
    std::vector<platform::MessageRequest> result;
    for (const auto& box : messages().boxes())
        if (!box.text.startsWith(QStringLiteral("Error retrieving version info")))
            result.push_back(box);
    return result;
}

// A fresh registry with the language component and the update component registered where
// the build puts them, English chosen, and fresh process-wide objects for each test.
class SettingsFixture : public ::testing::Test {
protected:
    void SetUp() override {
        messages().clear();
        putString(platform::RegistryRoot::LocalMachine, kComponentKey,
                  QStringLiteral("VSKLanguage.dll"), binDir());
        registerUpdateComponent(binDir());
        QFile choice(QDir(registry_.path()).filePath(QStringLiteral("language")));
        ASSERT_TRUE(choice.open(QIODevice::WriteOnly));
        choice.write("NTV\n");
    }

    void TearDown() override { releaseAll(); }

    static void releaseAll() {
        ReleaseUpdateManager();
        ReleaseSettingsStore();
        ReleaseLanguageManager();
        ReleaseSystemUtil();
    }

    void registerUpdateComponent(const QString& folder) {
        putString(platform::RegistryRoot::LocalMachine, kComponentKey,
                  QStringLiteral("VSKUpdate.dll"), folder);
    }
    // A folder without the component: the update function is then unavailable.
    void unregisterUpdateComponent() { registerUpdateComponent(empty_.path()); }

    void setFeed(const QString& address) {
        putString(platform::RegistryRoot::LocalMachine, kUpdateKey, QStringLiteral("FeedUrl"),
                  address);
    }

    QString writeFile(const QString& name, const QByteArray& bytes) {
        const QString path = QDir(files_.path()).filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    ScopedRegistry registry_;
    QTemporaryDir files_;
    QTemporaryDir empty_;
};

} // namespace kestrune::test
