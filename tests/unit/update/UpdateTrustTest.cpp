#include "UpdateTestKit.h"

#include "UpdateFeed.h"
#include "UpdateTrust.h"

#include <QProcess>

using namespace kestrune;
using namespace kestrune::test;
using namespace kestrune::update;

namespace {

class UpdateTrustTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kit_.unavailable().isEmpty())
            GTEST_SKIP() << kit_.unavailable().toStdString();
    }

    QString writeFile(const QString& name, const QByteArray& bytes) {
        const QString path = QDir(files_.path()).filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    UpdateTestKit kit_;
    QTemporaryDir files_;
};

TEST_F(UpdateTrustTest, OnlyEd25519PublicKeysAreTrusted) {
    EXPECT_EQ(checkPublicKey(builtInPublicKey()), QString()) << "the built-in key is one";
    QString publicKey;
    kit_.makeKey(QStringLiteral("good"), &publicKey);
    EXPECT_EQ(checkPublicKey(publicKey), QString());
    QProcess openssl;
    openssl.start(QStringLiteral("/usr/bin/openssl"),
                  {QStringLiteral("genpkey"), QStringLiteral("-algorithm"), QStringLiteral("EC"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1")});
    ASSERT_TRUE(openssl.waitForFinished());
    QProcess exporter;
    exporter.start(QStringLiteral("/usr/bin/openssl"),
                   {QStringLiteral("pkey"), QStringLiteral("-pubout"), QStringLiteral("-outform"),
                    QStringLiteral("DER")});
    exporter.write(openssl.readAllStandardOutput());
    exporter.closeWriteChannel();
    ASSERT_TRUE(exporter.waitForFinished());
    const QString ecKey = QString::fromLatin1(exporter.readAllStandardOutput().toBase64());
    EXPECT_TRUE(checkPublicKey(ecKey).contains(QStringLiteral("not an Ed25519 key")))
        << checkPublicKey(ecKey).toStdString();
    EXPECT_TRUE(checkPublicKey(QStringLiteral("not base64!")).contains(QStringLiteral("base64")));
    EXPECT_TRUE(
        checkPublicKey(QStringLiteral("QUJD")).contains(QStringLiteral("not a public key")));
    EXPECT_FALSE(checkPublicKey(publicKey + QStringLiteral("QUJD")).isEmpty())
        << "nothing may follow the key";
    QString error;
    EXPECT_FALSE(
        verifySignature("body", QByteArray(64, 'x'), {QStringLiteral("junk"), ecKey}, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("unusable trusted keys")) &&
                error.contains(QStringLiteral("not an Ed25519 key")))
        << "an administrator's broken key is named: " << error.toStdString();
}

TEST_F(UpdateTrustTest, ReleaseScriptSignsAfreshAndRefusesAnIncompleteFeed) {
    QString publicKey;
    const QString key = kit_.makeKey(QStringLiteral("release"), &publicKey);
    const QByteArray body = "version=2.0\nurl=p.deb\nsize=1\nsha256=" + QByteArray(64, 'a');
    const QByteArray once = kit_.sign(key, body);
    EXPECT_TRUE(once.startsWith(body + "\nsignature=")) << "the last line gets its line break";
    const QByteArray twice = kit_.sign(key, once);
    EXPECT_EQ(twice, once) << "an old signature line is replaced, not signed over";
    QString error;
    const auto split = splitSignature(twice, &error);
    ASSERT_TRUE(split) << error.toStdString();
    EXPECT_TRUE(verifySignature(split->body, split->signature, {publicKey}, &error));

    const QString incomplete = writeFile(QStringLiteral("feed.txt"),
                                         "version=2.0\nurl=p.deb\nsha256=" + QByteArray(64, 'a'));
    const QString out = QDir(files_.path()).filePath(QStringLiteral("signed.txt"));
    QProcess script;
    script.start(sourceDir() + QStringLiteral("/script/sign-update"), {key, incomplete, out});
    ASSERT_TRUE(script.waitForFinished());
    EXPECT_NE(script.exitCode(), 0);
    EXPECT_TRUE(script.readAllStandardError().contains("no size= line"));
    EXPECT_FALSE(QFileInfo::exists(out));
}

// Name, hash and the feed's version are refused in the dialog's tests; these are the rest.
TEST_F(UpdateTrustTest, APackageMustBeNewerThanTheRunningProgramAndReadable) {
    const QByteArray package = kit_.makePackage(QStringLiteral("kestrune"), QStringLiteral("2.0"));
    const QString path = writeFile(QStringLiteral("kestrune.deb"), package);
    const QString hash = sha256OfFile(path);
    PackageFields fields;
    QString error;
    ASSERT_TRUE(readPackageFields(path, &fields, &error)) << error.toStdString();
    EXPECT_EQ(fields.name, QStringLiteral("kestrune"));
    EXPECT_EQ(fields.version, QStringLiteral("2.0"));
    EXPECT_EQ(checkPackage(path, hash, QStringLiteral("2.0"), QStringLiteral("1.0.0.1")),
              QString());
    for (const char* running : {"2.0", "3.0.0.0"})
        EXPECT_TRUE(checkPackage(path, hash, QStringLiteral("2.0"), QString::fromLatin1(running))
                        .contains(QStringLiteral("not newer")))
            << running;
    const QString gone = QDir(files_.path()).filePath(QStringLiteral("gone.deb"));
    EXPECT_TRUE(checkPackage(gone, hash, QStringLiteral("2.0"), QStringLiteral("1.0"))
                    .contains(QStringLiteral("could not be read")));
}

} // namespace
