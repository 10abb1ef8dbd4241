#include "CliTestSupport.h"

#include "cli/CliText.h"
#include "lang/LanguageManager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrune::test {

QString contentOf(std::FILE* stream) {
    std::fflush(stream);
    std::rewind(stream);
    QByteArray bytes;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stream)) > 0;)
        bytes.append(buffer, static_cast<qsizetype>(n));
    return QString::fromUtf8(bytes);
}

TerminalRun runOnTerminal(const QString& program, const QStringList& arguments,
                          const QProcessEnvironment& environment, const QByteArray& prompt,
                          const QByteArray& answer, int timeoutMs) {
    std::vector<QByteArray> argumentBytes{QFile::encodeName(program)};
    for (const QString& argument : arguments)
        argumentBytes.push_back(argument.toLocal8Bit());
    std::vector<QByteArray> environmentBytes;
    for (const QString& entry : environment.toStringList())
        environmentBytes.push_back(entry.toLocal8Bit());
    std::vector<char*> argv, envp;
    for (QByteArray& bytes : argumentBytes)
        argv.push_back(bytes.data());
    argv.push_back(nullptr);
    for (QByteArray& bytes : environmentBytes)
        envp.push_back(bytes.data());
    envp.push_back(nullptr);

    TerminalRun run;
    int master = -1;
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 160;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, &size);
    if (child < 0)
        return run;
    if (child == 0) {
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    bool answered = prompt.isEmpty();
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const int left = timeoutMs - static_cast<int>(timer.elapsed());
        if (left <= 0) {
            ::kill(child, SIGKILL);
            break;
        }
        pollfd watch{master, POLLIN, 0};
        const int ready = ::poll(&watch, 1, std::min(left, 200));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready > 0) {
            char buffer[4096];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                break; // EIO: every holder of the terminal's other side has gone
            run.transcript.append(buffer, n);
        }
        if (!answered && run.transcript.contains(prompt)) {
            answered = true;
            if (!answer.isEmpty()) [[maybe_unused]]
                const ssize_t written =
                    ::write(master, answer.constData(), static_cast<size_t>(answer.size()));
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(master);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

void CliTest::SetUp() {
    ASSERT_TRUE(home.isValid() && disks.isValid() && logs.isValid());
    configHome = std::make_unique<ScopedEnvironment>(
        "XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    // The test process reads the texts the program prints from the same language files.
    registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), binDir());
    registerComponentDirectory(QStringLiteral("VSKRemovableShredder.dll"), binDir());
    writeRegistryString(platform::RegistryRoot::LocalMachine, productKey("\\Settings"),
                        QStringLiteral("LogPath"), logs.path());
}

void CliTest::TearDown() {
    loops.clear();
    ReleaseLanguageManager();
    configHome.reset();
}

QProcessEnvironment CliTest::environment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("KESTRUNE_SIMULATED_DISKS"),
                       simulatedDisks.isEmpty() ? disks.path() : simulatedDisks);
    environment.insert(QStringLiteral("KESTRUNE_REGISTRY_DIR"), registry.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    return environment;
}

CliResult CliTest::run(const QStringList& arguments, int timeoutMs) const {
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(cli(), arguments);
    CliResult result;
    if (!process.waitForStarted())
        return result;
    process.closeWriteChannel(); // no terminal and nothing to read: no answer
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    result.output = QString::fromUtf8(process.readAllStandardOutput());
    result.errors = QString::fromUtf8(process.readAllStandardError());
    if (process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}

std::unique_ptr<QProcess> CliTest::start(const QStringList& arguments) const {
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment());
    process->start(cli(), arguments);
    EXPECT_TRUE(process->waitForStarted());
    process->closeWriteChannel();
    return process;
}

QString CliTest::makeImage(const QString& name, qint64 size) const {
    const QString path = QDir(disks.path()).filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(size));
    if (size >= 4096)
        for (qint64 at : {qint64(0), size / 3, size - 4096}) {
            file.seek(at);
            file.write(kSecret);
        }
    return path;
}

LoopDisk& CliTest::makeLoopDisk(const QString& name, qint64 size) {
    loops.push_back(std::make_unique<LoopDisk>(makeImage(name, size)));
    EXPECT_TRUE(loops.back()->attached()) << name.toStdString();
    return *loops.back();
}

void CliTest::setUser(const char* suffix, const char* name, std::uint32_t value) const {
    writeRegistryDword(platform::RegistryRoot::CurrentUser, productKey(suffix),
                       QString::fromLatin1(name), value);
}

QStringList CliTest::reports() const {
    QStringList found;
    for (const QString& name : QDir(logs.path()).entryList({QStringLiteral("*.xml")}, QDir::Files))
        found << QDir(logs.path()).filePath(name);
    return found;
}

QString CliTest::readText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool CliTest::holdsSecret(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.readAll().contains(kSecret);
}

QString CliTest::text(const char* key) {
    return GetLanguageManager()->GetString(QString::fromLatin1(key));
}

QString CliTest::filled(const char* key, const QStringList& arguments) {
    return FillPlaceholders(text(key), arguments);
}

} // namespace kestrune::test
