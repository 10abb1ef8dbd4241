#include "app/SettingsStore.h"
#include "TestSupport.h"
#include "app/SystemUtil.h"
#include "lang/LanguageManager.h"
#include "platform/Registry.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace kestrune;
using kestrune::test::registryString;
using platform::RegistryRoot;

// The product key comes from the language component, so these run against the one the
// build puts beside the program.
class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        const QString component = test::binDir() + QStringLiteral("/VSKLanguage.dll");
        if (!QFile::exists(component))
            GTEST_SKIP() << "language component not built";
        ASSERT_EQ(
            platform::registry().write(RegistryRoot::LocalMachine,
                                       QStringLiteral("Software\\Vaskor Security\\Paths\\DLLs"),
                                       QStringLiteral("VSKLanguage.dll"),
                                       {platform::REG_SZ_TYPE, registryString(test::binDir())}),
            0);
        ReleaseLanguageManager();
        language = GetLanguageManager();
        ASSERT_TRUE(language);
        company = language->GetStringForLanguage(QStringLiteral("company_ntv"), 0);
        product = language->GetString(QStringLiteral("product_name"));
        ASSERT_FALSE(company.isEmpty());
        ASSERT_FALSE(product.isEmpty());
        test::messages().clear();
    }
    void TearDown() override {
        language.reset();
        ReleaseLanguageManager();
        ReleaseSettingsStore();
    }

    void setDword(RegistryRoot root, const QString& suffix, const QString& name, std::uint32_t v) {
        ASSERT_EQ(SystemUtil().WriteRegistryDword("Software\\" + company + "\\" + product + suffix,
                                                  name, v, root == RegistryRoot::LocalMachine),
                  0);
    }

    test::ScopedRegistry scope;
    std::shared_ptr<LanguageManager> language;
    QString company;
    QString product;
};

TEST_F(SettingsStoreTest, EmptyRegistryGivesDefaults) {
    const auto store = GetSettingsStore();
    EXPECT_EQ(GetSettingsStore(), store);
    EXPECT_FALSE(store->GetHideSettings());
    EXPECT_EQ(store->GetShredAlgo(), 0u);
    EXPECT_FALSE(store->GetStartAuto());
    EXPECT_FALSE(store->GetFormatDrive());
    EXPECT_EQ(store->GetProductName(), product);
    EXPECT_TRUE(test::messages().boxes().empty());
}

TEST_F(SettingsStoreTest, KeysAreBuiltFromCompanyAndProduct) {
    const auto store = GetSettingsStore();
    EXPECT_EQ(store->ProductKey("\\Settings\\Update"),
              "Software\\" + company + "\\" + product + "\\Settings\\Update");
    setDword(RegistryRoot::CurrentUser, "\\Shredding", "ShredAlgo", 102);
    setDword(RegistryRoot::LocalMachine, "\\Settings", "HideSettings", 1);
    EXPECT_EQ(store->GetShredAlgo(), 102u);
    EXPECT_TRUE(store->GetHideSettings());

    store->SetFormatDrive(true);
    store->SetStartAuto(true);
    const QString settingsKey = "Software\\" + company + "\\" + product + "\\Settings";
    EXPECT_EQ(SystemUtil().ReadRegistryDword(settingsKey, "FormatDrive", false), 1u);
    EXPECT_EQ(SystemUtil().ReadRegistryDword(settingsKey, "StartAuto", false), 1u);
    EXPECT_TRUE(store->GetFormatDrive());
    EXPECT_TRUE(store->GetStartAuto());
    store->SetFormatDrive(false);
    EXPECT_FALSE(store->GetFormatDrive());
    EXPECT_EQ(SystemUtil().ReadRegistryDword(settingsKey, "FormatDrive", false), 0u);
    EXPECT_FALSE(QFile::exists(scope.machineHive()) &&
                 SystemUtil().ReadRegistryDword(settingsKey, "FormatDrive", true) != 0);
}

TEST_F(SettingsStoreTest, OnlyExactlyOneCountsAndOnlyInTheRightRoot) {
    const auto store = GetSettingsStore();
    setDword(RegistryRoot::LocalMachine, "\\Settings", "HideSettings", 2);
    setDword(RegistryRoot::CurrentUser, "\\Settings", "StartAuto", 2);
    setDword(RegistryRoot::CurrentUser, "\\Settings", "FormatDrive", 0x101);
    EXPECT_FALSE(store->GetHideSettings());
    EXPECT_FALSE(store->GetStartAuto());
    EXPECT_FALSE(store->GetFormatDrive());

    // Switches of the machine have no effect when copied into the user's hive, and the
    // user's choices are not taken from the machine's.
    setDword(RegistryRoot::LocalMachine, "\\Settings", "HideSettings", 0);
    setDword(RegistryRoot::CurrentUser, "\\Settings", "HideSettings", 1);
    setDword(RegistryRoot::LocalMachine, "\\Settings", "StartAuto", 1);
    EXPECT_FALSE(store->GetHideSettings());
    EXPECT_FALSE(store->GetStartAuto());

    // A text "1" is the character code 49, not 1.
    ASSERT_EQ(platform::registry().write(RegistryRoot::CurrentUser, store->ProductKey("\\Settings"),
                                         "FormatDrive",
                                         {platform::REG_SZ_TYPE, registryString("1")}),
              0);
    EXPECT_FALSE(store->GetFormatDrive());
}

// Certificates are on unless the user's own hive says exactly 1; the machine's hive has no
// say in it.
TEST_F(SettingsStoreTest, CertificatesAreOnUnlessTheUserTurnsThemOff) {
    const auto store = GetSettingsStore();
    EXPECT_TRUE(store->GetCertificates());
    setDword(RegistryRoot::LocalMachine, "\\Settings", "NoCertificates", 1);
    EXPECT_TRUE(store->GetCertificates());
    for (std::uint32_t value : {0u, 2u, 0x101u}) {
        setDword(RegistryRoot::CurrentUser, "\\Settings", "NoCertificates", value);
        EXPECT_TRUE(store->GetCertificates()) << value;
    }
    setDword(RegistryRoot::CurrentUser, "\\Settings", "NoCertificates", 1);
    EXPECT_FALSE(store->GetCertificates());
}
