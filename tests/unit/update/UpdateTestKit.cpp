#include "UpdateTestKit.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

namespace kestrune::test {
namespace {

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

UpdateTestKit::UpdateTestKit() {
    for (const char* tool : {"/usr/bin/openssl", "/usr/bin/python3", "/usr/bin/dpkg-deb"})
        if (!QFileInfo(QString::fromLatin1(tool)).isExecutable()) {
            unavailable_ = QStringLiteral("%1 is not installed").arg(QLatin1String(tool));
            return;
        }
    unavailable_ = run(sourceDir() + QStringLiteral("/tests/tools/test-authority"), {dir_.path()});
}

QString UpdateTestKit::run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return QStringLiteral("%1 %2 failed: %3")
            .arg(program, arguments.join(QLatin1Char(' ')),
                 QString::fromLocal8Bit(process.readAllStandardError()));
    return {};
}

QString UpdateTestKit::makeKey(const QString& name, QString* publicKey) {
    const QString file = dir_.filePath(name + QStringLiteral(".key"));
    const QString error = run(QStringLiteral("/usr/bin/openssl"),
                              {QStringLiteral("genpkey"), QStringLiteral("-algorithm"),
                               QStringLiteral("ed25519"), QStringLiteral("-out"), file});
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    const QString pem = file + QStringLiteral(".pub");
    const QString exported = run(QStringLiteral("/usr/bin/openssl"),
                                 {QStringLiteral("pkey"), QStringLiteral("-in"), file,
                                  QStringLiteral("-pubout"), QStringLiteral("-out"), pem});
    EXPECT_TRUE(exported.isEmpty()) << exported.toStdString();
    // The one line between the PEM armour is what an administrator lists.
    QStringList lines = QString::fromLatin1(readBytes(pem)).split(QLatin1Char('\n'));
    lines.removeIf(
        [](const QString& line) { return line.isEmpty() || line.startsWith(QLatin1Char('-')); });
    *publicKey = lines.join(QString());
    return file;
}

QByteArray UpdateTestKit::sign(const QString& keyFile, const QByteArray& feed) {
    const QString unsignedFeed = path("feed-to-sign.txt");
    const QString signedFeed = path("feed-signed.txt");
    EXPECT_TRUE(writeBytes(unsignedFeed, feed));
    const QString error = run(sourceDir() + QStringLiteral("/script/sign-update"),
                              {keyFile, unsignedFeed, signedFeed});
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    return readBytes(signedFeed);
}

QByteArray UpdateTestKit::makePackage(const QString& name, const QString& version) {
    const QString tree = dir_.filePath(QStringLiteral("package-%1").arg(++packages_));
    EXPECT_TRUE(QDir().mkpath(tree + QStringLiteral("/DEBIAN")));
    EXPECT_TRUE(QDir().mkpath(tree + QStringLiteral("/usr/share/doc/") + name));
    EXPECT_TRUE(writeBytes(tree + QStringLiteral("/DEBIAN/control"),
                           QStringLiteral("Package: %1\nVersion: %2\nArchitecture: all\n"
                                          "Maintainer: Test <test@example.org>\n"
                                          "Description: a package for the update tests\n")
                               .arg(name, version)
                               .toUtf8()));
    EXPECT_TRUE(writeBytes(
        tree + QStringLiteral("/usr/share/doc/") + name + QStringLiteral("/note"), "test\n"));
    const QString deb = tree + QStringLiteral(".deb");
    const QString error = run(QStringLiteral("/usr/bin/dpkg-deb"),
                              {QStringLiteral("--root-owner-group"), QStringLiteral("-Zgzip"),
                               QStringLiteral("--build"), tree, deb});
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    return readBytes(deb);
}

TestWebServer::TestWebServer(const QString& root, const UpdateTestKit* tls)
    : scheme_(tls ? QStringLiteral("https") : QStringLiteral("http")) {
    QStringList arguments{sourceDir() + QStringLiteral("/tests/tools/https-server"), root,
                          QStringLiteral("--log"), logDir_.filePath(QStringLiteral("requests"))};
    if (tls)
        arguments << QStringLiteral("--cert") << tls->serverCertificate() << QStringLiteral("--key")
                  << tls->serverKey();
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral("/usr/bin/python3"), arguments);
    if (!process_.waitForStarted()) {
        unavailable_ = QStringLiteral("python3 could not be started: ") + process_.errorString();
        return;
    }
    while (!process_.canReadLine() && process_.waitForReadyRead(10000)) {
    }
    port_ = process_.readLine().trimmed().toInt();
    if (port_ <= 0)
        unavailable_ = QStringLiteral("the test web server did not start");
}

TestWebServer::~TestWebServer() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished();
    }
}

QString TestWebServer::url(const QString& path) const {
    return QStringLiteral("%1://127.0.0.1:%2/%3").arg(scheme_).arg(port_).arg(path);
}

QStringList TestWebServer::requests() const {
    return QString::fromUtf8(readBytes(logDir_.filePath(QStringLiteral("requests"))))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void SignedUpdateFixture::SetUp() {
    SettingsFixture::SetUp();
    kit_ = std::make_unique<UpdateTestKit>();
    if (!kit_->unavailable().isEmpty())
        GTEST_SKIP() << kit_->unavailable().toStdString();
    QString publicKey;
    releaseKey_ = kit_->makeKey(QStringLiteral("release"), &publicKey);
    putString(platform::RegistryRoot::LocalMachine, kUpdateKey + QStringLiteral("\\TrustedKeys"),
              QStringLiteral("test release"), publicKey);
    putString(platform::RegistryRoot::LocalMachine, kUpdateKey, QStringLiteral("CaFile"),
              kit_->caFile());
    server_ = std::make_unique<TestWebServer>(files_.path(), kit_.get());
    if (!server_->unavailable().isEmpty())
        GTEST_SKIP() << server_->unavailable().toStdString();
}

QByteArray SignedUpdateFixture::sha256(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QString SignedUpdateFixture::packageFileName(const Release& release) const {
    return QStringLiteral("%1_%2_all.deb")
        .arg(release.packageName,
             release.packageVersion.isEmpty() ? release.version : release.packageVersion);
}

QByteArray SignedUpdateFixture::publish(const Release& release) {
    const QByteArray package = kit_->makePackage(
        release.packageName,
        release.packageVersion.isEmpty() ? release.version : release.packageVersion);
    const QString name = packageFileName(release);
    writeFile(name, package);
    const QByteArray feed = "version=" + release.version.toUtf8() +
                            "\nurl=" + (release.url.isEmpty() ? name : release.url).toUtf8() +
                            "\nsha256=" + sha256(package) +
                            "\nsize=" + QByteArray::number(package.size()) + "\n" +
                            release.extraLines;
    publishFeed(kit_->sign(release.keyFile.isEmpty() ? releaseKey_ : release.keyFile, feed));
    return package;
}

void SignedUpdateFixture::publishFeed(const QByteArray& feed) {
    writeFile(QStringLiteral("feed.txt"), feed);
    setFeed(server_->url(QStringLiteral("feed.txt")));
}

} // namespace kestrune::test
