#include "UpdateTestKit.h"

#include "UpdateFeed.h"
#include "UpdateTrust.h"

#include <QCryptographicHash>
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
}

TEST_F(UpdateTrustTest, ASignatureCountsOnlyByAListedKeyAndOnlyForWhatItSigned) {
    QString oursPublic, otherPublic;
    const QString ours = kit_.makeKey(QStringLiteral("ours"), &oursPublic);
    kit_.makeKey(QStringLiteral("other"), &otherPublic);
    const QByteArray body = "version=2.0\nurl=p.deb\nsha256=" + QByteArray(64, 'a') + "\n";
    QString error;
    const auto split = splitSignature(kit_.sign(ours, body), &error);
    ASSERT_TRUE(split) << error.toStdString();
    EXPECT_EQ(split->body, body);
    EXPECT_TRUE(verifySignature(body, split->signature, {otherPublic, oursPublic}, &error));
    EXPECT_FALSE(verifySignature(body, split->signature, {otherPublic}, &error));
    EXPECT_FALSE(verifySignature(body + "notes=more\n", split->signature, {oursPublic}, &error));
    EXPECT_FALSE(
        verifySignature(body, split->signature, {QStringLiteral("junk"), otherPublic}, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("unusable trusted keys"))) << error.toStdString();
    EXPECT_FALSE(verifySignature(body, split->signature, {}, &error));
}

TEST_F(UpdateTrustTest, ReleaseScriptSignsAfreshAndRefusesAnIncompleteFeed) {
    QString publicKey;
    const QString key = kit_.makeKey(QStringLiteral("release"), &publicKey);
    const QByteArray body = "version=2.0\nurl=p.deb\nsha256=" + QByteArray(64, 'a');
    const QByteArray once = kit_.sign(key, body);
    EXPECT_TRUE(once.startsWith(body + "\nsignature=")) << "the last line gets its line break";
    const QByteArray twice = kit_.sign(key, once);
    EXPECT_EQ(twice, once) << "an old signature line is replaced, not signed over";
    QString error;
    const auto split = splitSignature(twice, &error);
    ASSERT_TRUE(split) << error.toStdString();
    EXPECT_TRUE(verifySignature(split->body, split->signature, {publicKey}, &error));

    const QString incomplete = writeFile(QStringLiteral("feed.txt"), "version=2.0\nurl=p.deb\n");
    const QString out = QDir(files_.path()).filePath(QStringLiteral("signed.txt"));
    QProcess script;
    script.start(sourceDir() + QStringLiteral("/script/sign-update"), {key, incomplete, out});
    ASSERT_TRUE(script.waitForFinished());
    EXPECT_NE(script.exitCode(), 0);
    EXPECT_TRUE(script.readAllStandardError().contains("no sha256= line"));
    EXPECT_FALSE(QFileInfo::exists(out));
}

TEST_F(UpdateTrustTest, APackageIsInstalledOnlyWhenItIsTheOneTheFeedDescribes) {
    const QByteArray package = kit_.makePackage(QStringLiteral("kestrune"), QStringLiteral("2.0"));
    const QString path = writeFile(QStringLiteral("kestrune.deb"), package);
    const QString hash =
        QString::fromLatin1(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex());
    PackageFields fields;
    QString error;
    ASSERT_TRUE(readPackageFields(path, &fields, &error)) << error.toStdString();
    EXPECT_EQ(fields.name, QStringLiteral("kestrune"));
    EXPECT_EQ(fields.version, QStringLiteral("2.0"));
    EXPECT_EQ(checkPackage(path, hash, QStringLiteral("2.0"), QStringLiteral("1.0.0.1")),
              QString());

    struct Case {
        QString sha256, feedVersion, running;
        const char* reason;
    };
    const Case cases[] = {
        {QString(64, QLatin1Char('0')), QStringLiteral("2.0"), QStringLiteral("1.0.0.1"),
         "SHA-256"},
        {hash, QStringLiteral("2.0.0.0"), QStringLiteral("1.0.0.1"), "the feed says 2.0.0.0"},
        {hash, QStringLiteral("2.0"), QStringLiteral("2.0"), "not newer"},
        {hash, QStringLiteral("2.0"), QStringLiteral("3.0.0.0"), "not newer"}};
    for (const Case& c : cases) {
        const QString why = checkPackage(path, c.sha256, c.feedVersion, c.running);
        EXPECT_TRUE(why.contains(QLatin1String(c.reason))) << c.reason << ": " << why.toStdString();
    }
    const QString gone = QDir(files_.path()).filePath(QStringLiteral("gone.deb"));
    EXPECT_TRUE(checkPackage(gone, hash, QStringLiteral("2.0"), QStringLiteral("1.0"))
                    .contains(QStringLiteral("could not be read")));
    const QString other =
        writeFile(QStringLiteral("other.deb"),
                  kit_.makePackage(QStringLiteral("kestrune-extra"), QStringLiteral("2.0")));
    EXPECT_TRUE(
        checkPackage(other, sha256OfFile(other), QStringLiteral("2.0"), QStringLiteral("1.0"))
            .contains(QStringLiteral("\"kestrune-extra\"")));
}

} // namespace
