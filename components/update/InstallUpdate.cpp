// kestrune-install-update FEED PACKAGE, run as root through pkexec for the user whose
// program downloaded and checked an update. Nothing that program checked counts here: the
// user may change their files at any moment, up to the one in which apt opens them. So both
// files are read with the user's rights, copied into a folder only root can enter, and
// checked again there, where nobody but root can change them any more; apt installs that
// copy.
#include "DebianVersion.h"
#include "UpdateFeed.h"
#include "UpdateTrust.h"

#include "base/Hive.h"
#include "base/InvokingUser.h"
#include "base/SystemLog.h"
#include "base/TrustedPath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace kestrune;
using namespace kestrune::update;

enum Exit {
    kInstalled = 0,
    kUsage = 1,
    kRefused = 2,   // a file failed a check or could not be read
    kFailed = 3,    // the machine could not do its part
    kAptFailed = 4, // apt-get was given the checked package and did not install it
};

// Whose hive key lists the keys besides the built-in one: the product's native name.
constexpr char kProductName[] = "Vaskor Kestrune";
// Root's own place, never one from a variable of the caller's.
constexpr char kWorkBase[] = "/var/cache/kestrune";
constexpr int kDpkgQueryMilliseconds = 30000;

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

int refuse(const QString& reason) {
    logRefusal(reason);
    return kRefused;
}

int fail(int code, const QString& reason) {
    platform::LogWarning(
        QStringLiteral("The update was not installed: %1").arg(reason).toUtf8().toStdString());
    return code;
}

// A folder only root can enter, made for this installation alone and removed with it,
// whatever happens in between.
class WorkFolder {
public:
    WorkFolder() {
        if (::mkdir(kWorkBase, 0700) != 0 && errno != EEXIST) {
            error_ = QStringLiteral("%1 could not be made: %2")
                         .arg(QLatin1String(kWorkBase), systemError(errno));
            return;
        }
        // Anyone else's folder, or a link to one, there would reach into ours.
        const std::string why = platform::UntrustedPathReason(kWorkBase);
        if (!why.empty()) {
            error_ = QStringLiteral("%1 cannot hold the update: %2")
                         .arg(QLatin1String(kWorkBase), QString::fromStdString(why));
            return;
        }
        QByteArray pattern = QByteArray(kWorkBase) + "/install-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            error_ = QStringLiteral("no folder could be made in %1: %2")
                         .arg(QLatin1String(kWorkBase), systemError(errno));
            return;
        }
        path_ = QFile::decodeName(pattern);
    }
    ~WorkFolder() {
        if (!path_.isEmpty())
            QDir(path_).removeRecursively();
    }
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    const QString& path() const { return path_; }
    const QString& error() const { return error_; }
    QString file(const char* name) const { return path_ + QLatin1Char('/') + QLatin1String(name); }

private:
    QString path_;
    QString error_;
};

// Copies the user's file into the work folder: opened with the user's rights and never
// through a link, so root reads nothing the user could not; the copy is what is checked.
QString copyIn(const std::optional<platform::InvokingUser>& user, const QString& from,
               const QString& to, qint64 maxBytes) {
    const QByteArray source = QFile::encodeName(from);
    int in = -1;
    {
        platform::ActingAs acting(user ? &*user : nullptr);
        if (acting.failed())
            return QStringLiteral("the rights of user %1 could not be taken: %2")
                .arg(user->uid)
                .arg(systemError(acting.error()));
        in = ::open(source.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }
    if (in < 0)
        return errno == ELOOP
                   ? QStringLiteral("%1 is a link, which is not followed").arg(from)
                   : QStringLiteral("%1 could not be opened: %2").arg(from, systemError(errno));
    struct stat info {};
    QString problem;
    if (::fstat(in, &info) != 0)
        problem = QStringLiteral("%1 could not be examined: %2").arg(from, systemError(errno));
    else if (!S_ISREG(info.st_mode))
        problem = QStringLiteral("%1 is not a regular file").arg(from);
    const QByteArray target = QFile::encodeName(to);
    const int out =
        problem.isEmpty()
            ? ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
            : -1;
    if (problem.isEmpty() && out < 0)
        problem = QStringLiteral("%1 could not be made: %2").arg(to, systemError(errno));
    qint64 copied = 0;
    char buffer[64 * 1024];
    while (problem.isEmpty()) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            problem = QStringLiteral("%1 could not be read: %2").arg(from, systemError(errno));
            break;
        }
        if (got == 0)
            break;
        copied += got;
        // A file that keeps growing while it is read must not fill root's disk.
        if (copied > maxBytes) {
            problem = QStringLiteral("%1 is larger than %2 bytes").arg(from).arg(maxBytes);
            break;
        }
        for (ssize_t done = 0; done < got && problem.isEmpty();) {
            const ssize_t put = ::write(out, buffer + done, size_t(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0)
                problem = QStringLiteral("%1 could not be written: %2").arg(to, systemError(errno));
            else
                done += put;
        }
    }
    ::close(in);
    if (out >= 0 && ::close(out) != 0 && problem.isEmpty())
        problem = QStringLiteral("%1 could not be written: %2").arg(to, systemError(errno));
    return problem;
}

// The version of kestrune dpkg has installed, "none" when it has none; empty with the
// reason when dpkg could not be asked.
QString installedVersion(QString* error) {
    QProcess dpkg;
    dpkg.setProcessEnvironment(toolEnvironment());
    dpkg.setStandardInputFile(QProcess::nullDevice());
    dpkg.start(QStringLiteral("/usr/bin/dpkg-query"),
               {QStringLiteral("--show"),
                QStringLiteral("--showformat=${db:Status-Status} ${Version}"),
                QLatin1String(kPackageName)});
    if (!dpkg.waitForStarted()) {
        *error = QStringLiteral("dpkg-query could not be started: %1").arg(dpkg.errorString());
        return {};
    }
    if (!dpkg.waitForFinished(kDpkgQueryMilliseconds)) {
        dpkg.kill();
        dpkg.waitForFinished();
        *error = QStringLiteral("dpkg-query did not answer");
        return {};
    }
    const QStringList answer =
        QString::fromUtf8(dpkg.readAllStandardOutput()).trimmed().split(QLatin1Char(' '));
    // Exit code 1 without an answer: dpkg has never heard of the package.
    if (dpkg.exitStatus() == QProcess::NormalExit && dpkg.exitCode() == 1 &&
        answer.join(QString()).isEmpty())
        return QStringLiteral("none");
    if (dpkg.exitStatus() != QProcess::NormalExit || dpkg.exitCode() != 0 || answer.size() != 2) {
        *error = QStringLiteral("dpkg-query failed: %1")
                     .arg(QString::fromUtf8(dpkg.readAllStandardError()).trimmed());
        return {};
    }
    // Removed with its configuration kept, or never installed: nothing to be newer than.
    if (answer[0] == QLatin1String("not-installed") || answer[0] == QLatin1String("config-files"))
        return QStringLiteral("none");
    return answer[1];
}

// Each step returns the exit status the installation ends with, kInstalled to go on.

// The feed's copy, signed by a key root trusts (built in, or in the machine hive).
int readFeed(const QString& feed, const QString& feedArgument, Manifest& manifest) {
    QFile feedFile(feed);
    if (!feedFile.open(QIODevice::ReadOnly))
        return fail(kFailed, QStringLiteral("%1 could not be read back").arg(feed));
    const QByteArray feedBytes = feedFile.readAll();
    QString why;
    const auto signedFeed = splitSignature(feedBytes, &why);
    if (!signedFeed)
        return refuse(QStringLiteral("the update information %1: %2").arg(feedArgument, why));
    QStringList keys{builtInPublicKey()};
    if (const QString hivePath = machineHivePath(); !hivePath.isEmpty()) {
        const platform::HiveFile hive = platform::ReadHiveFile(hivePath);
        if (hive.state == platform::HiveState::Loaded)
            keys += updateSettingsFromHive(*hive.hive, QLatin1String(kProductName)).trustedKeys;
    }
    if (!verifySignature(signedFeed->body, signedFeed->signature, keys, &why))
        return refuse(QStringLiteral("the update information %1: %2").arg(feedArgument, why));
    const auto parsed = parseManifest(signedFeed->body, &why);
    if (!parsed)
        return refuse(QStringLiteral("the update information %1 is not readable (%2)")
                          .arg(feedArgument, why));
    manifest = *parsed;
    return kInstalled;
}

// The package's copy is the one the feed names, and newer than what is installed.
int checkPackageCopy(const QString& package, const QString& packageArgument,
                     const Manifest& manifest) {
    if (const qint64 size = QFileInfo(package).size(); size != manifest.size)
        return refuse(QStringLiteral("the package %1 has %2 bytes, the feed says %3")
                          .arg(packageArgument)
                          .arg(size)
                          .arg(manifest.size));
    QString why;
    QString installed = installedVersion(&why);
    if (installed.isEmpty())
        return fail(kFailed, why);
    // Not installed by dpkg (a copy run from elsewhere): the version this installer came with.
    if (installed == QLatin1String("none"))
        installed = QStringLiteral(KESTRUNE_BUILT_IN_VERSION);
    if (const QString problem = checkPackage(package, manifest.sha256, manifest.version, installed);
        !problem.isEmpty())
        return refuse(problem);
    return kInstalled;
}

int runApt(const QString& package) {
    QProcess apt;
    QProcessEnvironment environment = toolEnvironment();
    environment.insert(QStringLiteral("DEBIAN_FRONTEND"), QStringLiteral("noninteractive"));
    apt.setProcessEnvironment(environment);
    apt.setWorkingDirectory(QStringLiteral("/"));
    apt.setStandardInputFile(QProcess::nullDevice());
    apt.setProcessChannelMode(QProcess::ForwardedChannels);
    // A machine hive the administrator changed stays theirs: nobody is there to answer
    // dpkg's question about it.
    apt.start(QStringLiteral(KESTRUNE_APT_GET),
              {QStringLiteral("install"), QStringLiteral("--yes"), QStringLiteral("-o"),
               QStringLiteral("Dpkg::Options::=--force-confdef"), QStringLiteral("-o"),
               QStringLiteral("Dpkg::Options::=--force-confold"), package});
    if (!apt.waitForStarted(-1))
        return fail(kFailed, QStringLiteral("%1 could not be started: %2")
                                 .arg(QLatin1String(KESTRUNE_APT_GET), apt.errorString()));
    apt.waitForFinished(-1);
    if (apt.exitStatus() != QProcess::NormalExit)
        return fail(kAptFailed,
                    QStringLiteral("%1 stopped unexpectedly").arg(QLatin1String(KESTRUNE_APT_GET)));
    if (apt.exitCode() != 0)
        return fail(kAptFailed, QStringLiteral("%1 ended with code %2")
                                    .arg(QLatin1String(KESTRUNE_APT_GET))
                                    .arg(apt.exitCode()));
    return kInstalled;
}

int install(const QString& feedArgument, const QString& packageArgument) {
    if (::geteuid() != 0)
        return fail(kUsage, QStringLiteral("the installer must run as root"));
    if (!feedArgument.startsWith(QLatin1Char('/')) || !packageArgument.startsWith(QLatin1Char('/')))
        return fail(kUsage, QStringLiteral("the feed and the package must be given by absolute "
                                           "paths"));
    const std::optional<platform::InvokingUser> user = platform::ElevatedFor();

    const WorkFolder work;
    if (work.path().isEmpty())
        return fail(kFailed, work.error());
    // apt takes a file for a package only by its ending.
    const QString feed = work.file("feed");
    const QString package = work.file("package.deb");
    if (QString why = copyIn(user, feedArgument, feed, kFeedMaxBytes); !why.isEmpty())
        return refuse(QStringLiteral("the update information: %1").arg(why));
    if (QString why = copyIn(user, packageArgument, package, kPackageMaxBytes); !why.isEmpty())
        return refuse(QStringLiteral("the package: %1").arg(why));

    // From here on only the copies count.
    Manifest manifest;
    if (const int exit = readFeed(feed, feedArgument, manifest); exit != kInstalled)
        return exit;
    if (const int exit = checkPackageCopy(package, packageArgument, manifest); exit != kInstalled)
        return exit;
    return runApt(package);
}

} // namespace

int main(int argc, char** argv) {
    // The terminal's keys must not stop it between making its folder and removing it.
    for (int signal : {SIGINT, SIGQUIT, SIGHUP})
        std::signal(signal, SIG_IGN);
    // pkexec clears the environment; run by other means for a user, nothing of theirs stays.
    kestrune::platform::KeepOnlyKnownEnvironment();
    QCoreApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SIGNED-FEED PACKAGE\n", argv[0]);
        return kUsage;
    }
    return install(QFile::decodeName(argv[1]), QFile::decodeName(argv[2]));
}
