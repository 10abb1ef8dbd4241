// The feed and package checks as the Windows build runs them: a feed signed with RFC 8032's
// first test key (its secret half is published, so a test may sign with it), the package
// checks of an MSI, and the settings from the registry, which Wine keeps as Windows does.
#include "MachineSettings.h"
#include "UpdateFeed.h"
#include "UpdateTrust.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace kestrune::update;

namespace {

const QString kTestKey =
    QStringLiteral("MCowBQYDK2VwAyEA11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=");
const QByteArray kPackage =
    QByteArray("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + "a stand-in package";
const QByteArray kFeed =
    "version=2.0\nurl=kestrune-2.0-x64.msi\n"
    "sha256=acacac94d1e5baaa21799083bbcaab3aadf0bb2a00c8367bf88a938b1774d5c1\nsize=26\n"
    "notes=Faster.\n"
    "signature=sSnE1P+F8Erx4yNgm2ak3M36sDWqLj9AGTvK0m7MuEM6rrp/"
    "G6Xj0sREObLZ3aDkuspoqohhAxTBH2z5875rDQ==\n";

TEST(UpdateChecksWindowsTest, OnlyAFeedSignedByATrustedKeyIsRead) {
    QString why;
    const auto signedFeed = splitSignature(kFeed, &why);
    ASSERT_TRUE(signedFeed) << why.toStdString();
    EXPECT_TRUE(verifySignature(signedFeed->body, signedFeed->signature, {kTestKey}, &why));
    EXPECT_FALSE(
        verifySignature(signedFeed->body, signedFeed->signature, {builtInPublicKey()}, &why))
        << "the release key did not sign it";
    EXPECT_EQ(why, QStringLiteral("its signature is not one of a trusted key"));
    QByteArray changed = signedFeed->body;
    changed.replace("version=2.0", "version=2.1");
    EXPECT_FALSE(verifySignature(changed, signedFeed->signature, {kTestKey}, &why));
    const auto manifest = parseManifest(signedFeed->body, &why);
    ASSERT_TRUE(manifest) << why.toStdString();
    EXPECT_EQ(manifest->version, QStringLiteral("2.0"));
    EXPECT_EQ(manifest->size, kPackage.size());
}

TEST(UpdateChecksWindowsTest, APackageMustBeTheSignedNewerMsi) {
    QTemporaryDir folder;
    auto write = [&folder](const char* name, const QByteArray& bytes) {
        QFile file(QDir(folder.path()).filePath(QLatin1String(name)));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    };
    const QString msi = write("kestrune-2.0-x64.msi", kPackage);
    const QString hash =
        QStringLiteral("acacac94d1e5baaa21799083bbcaab3aadf0bb2a00c8367bf88a938b1774d5c1");
    EXPECT_EQ(sha256OfFile(msi), hash);
    EXPECT_EQ(checkPackage(msi, hash, QStringLiteral("2.0"), QStringLiteral("1.9")), QString());
    EXPECT_TRUE(checkPackage(msi, hash, QStringLiteral("2.0"), QStringLiteral("2.0"))
                    .contains(QStringLiteral("not newer than the installed 2.0")));
    EXPECT_TRUE(checkPackage(msi, QString(64, QLatin1Char('0')), QStringLiteral("2.0"),
                             QStringLiteral("1.9"))
                    .contains(QStringLiteral("the feed says 0000")));
    const QString text = write("notes.msi", "not a package at all");
    EXPECT_TRUE(checkPackage(text, sha256OfFile(text), QStringLiteral("2.0"), QStringLiteral("1.9"))
                    .contains(QStringLiteral("no Windows Installer package")));
    EXPECT_TRUE(checkPackage(QDir(folder.path()).filePath(QStringLiteral("gone.msi")), hash,
                             QStringLiteral("2.0"), QStringLiteral("1.9"))
                    .contains(QStringLiteral("could not be read")));
}

void setText(const std::wstring& key, const wchar_t* name, const std::wstring& text,
             DWORD type = REG_SZ) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, type, text.c_str(),
                                DWORD((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

TEST(UpdateChecksWindowsTest, SettingsComeFromTheMachineRegistryAsFromTheHive) {
    const std::wstring a = L"Software\\KestruneTestA\\Kestrune Test Product\\Settings\\Update";
    const std::wstring b = L"Software\\KestruneTestB\\Kestrune Test Product\\Settings\\Update";
    setText(a, L"FeedUrl", L"   ");
    setText(a, L"CaFile", L"C:\\expanded.pem", REG_EXPAND_SZ);
    setText(a + L"\\TrustedKeys", L"first", L" key-one ");
    setText(b, L"FEEDURL", L"https://updates.example/feed");
    setText(b, L"cafile", L"C:\\ca.pem");
    setText(b + L"\\TrustedKeys", L"second", L"key-two");
    const UpdateSettings settings =
        updateSettingsFromRegistry(systemRegistryCalls(), QStringLiteral("KESTRUNE test product"));
    EXPECT_EQ(settings.feedUrl, QStringLiteral("https://updates.example/feed"))
        << "a blank value names nothing";
    EXPECT_EQ(settings.caFile, QStringLiteral("C:\\ca.pem")) << "only string values count";
    EXPECT_EQ(settings.trustedKeys,
              (QStringList{QStringLiteral("key-one"), QStringLiteral("key-two")}));
    EXPECT_TRUE(updateSettingsFromRegistry(systemRegistryCalls(), QStringLiteral("Other Product"))
                    .feedUrl.isEmpty());
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\KestruneTestA");
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\KestruneTestB");
}

} // namespace
