#pragma once

#include "SettingsFixture.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace kestrune::test {

// What the update tests publish with: a throwaway certificate authority with a certificate
// for 127.0.0.1, Ed25519 release keys, feeds signed by the release script, and Debian
// packages.
class UpdateTestKit {
public:
    UpdateTestKit();
    // Empty when everything was made; else why the tests cannot run here.
    QString unavailable() const { return unavailable_; }
    QString caFile() const { return path("ca.pem"); }
    QString serverCertificate() const { return path("server.pem"); }
    QString serverKey() const { return path("server.key"); }

    // A fresh key pair: the private key's file, and its public half as the machine hive
    // lists it.
    QString makeKey(const QString& name, QString* publicKey);
    // The feed as script/sign-update signs it with that private key.
    QByteArray sign(const QString& keyFile, const QByteArray& feed);
    // A Debian package of that name and version.
    QByteArray makePackage(const QString& name, const QString& version);

private:
    QString path(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }
    QString run(const QString& program, const QStringList& arguments);

    QTemporaryDir dir_;
    QString unavailable_;
    int packages_ = 0;
};

// A web server on 127.0.0.1 serving a folder: over HTTPS with the kit's certificate, or
// over plain HTTP without a kit. GET /redirect?to=URL redirects to URL.
class TestWebServer {
public:
    TestWebServer(const QString& root, const UpdateTestKit* tls);
    ~TestWebServer();
    QString unavailable() const { return unavailable_; }
    QString url(const QString& path) const;
    // The paths asked for so far.
    QStringList requests() const;

private:
    QProcess process_;
    QTemporaryDir logDir_;
    QString scheme_;
    int port_ = 0;
    QString unavailable_;
};

// The settings fixture with a release key the machine hive trusts, the test authority as
// the hive's CaFile, and an HTTPS server publishing the fixture's files.
class SignedUpdateFixture : public SettingsFixture {
protected:
    void SetUp() override;

    struct Release {
        QString version = QStringLiteral("2.0.0.0"); // what the feed says
        QString packageName = QStringLiteral("kestrune");
        QString packageVersion; // empty: the feed's
        QString url;            // empty: the package's file name, relative to the feed
        QString keyFile;        // empty: the trusted release key
        QByteArray extraLines;  // more feed lines, before the signature
    };
    // Publishes a package and a signed feed for it and makes the feed the hive's FeedUrl;
    // returns the package's bytes.
    QByteArray publish(const Release& release);
    // Publishes a feed as it is (no signature added) and makes it the hive's FeedUrl.
    void publishFeed(const QByteArray& feed);
    static QByteArray sha256(const QByteArray& bytes);
    QString packageFileName(const Release& release) const;

    std::unique_ptr<UpdateTestKit> kit_;
    std::unique_ptr<TestWebServer> server_;
    QString releaseKey_;
};

} // namespace kestrune::test
