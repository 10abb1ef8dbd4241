#include "ProgramRun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QThread>
#include <csignal>
#include <sys/stat.h>

namespace kestrune::test {

ProgramRun::ProgramRun(const QString& program, const QString& registryDir,
                       const QString& launcherName) {
    QDir root(folders_.path());
    for (const char* name : {"disks", "config", "data", "runtime"})
        root.mkpath(QString::fromLatin1(name));
    ::chmod(QFile::encodeName(root.filePath("runtime")).constData(), 0700);
    QFile disk(root.filePath(QStringLiteral("disks/%1.img").arg(diskSerial())));
    if (!disk.open(QIODevice::WriteOnly) || !disk.resize(16 << 20))
        return;
    disk.close();

    // Only what a desktop session hands a program started from its menu.
    QProcessEnvironment env;
    env.insert("PATH", "/usr/bin:/bin");
    env.insert("HOME", root.filePath("config"));
    env.insert("LANG", "C.UTF-8");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", root.filePath("runtime"));
    env.insert("XDG_CONFIG_HOME", root.filePath("config"));
    env.insert("XDG_DATA_HOME", root.filePath("data"));
    env.insert("KESTRUNE_REGISTRY_DIR", registryDir);
    env.insert("KESTRUNE_SIMULATED_DISKS", root.filePath("disks"));
    process_.setProcessEnvironment(env);
    process_.setWorkingDirectory(root.path());
    process_.start(QStringLiteral("/bin/bash"),
                   {QStringLiteral("-c"), QStringLiteral("exec -a \"$0\" \"$1\" --trace"),
                    launcherName, program});
    started_ = process_.waitForStarted(10000);
    pid_ = process_.processId();
}

ProgramRun::~ProgramRun() {
    end();
}

void ProgramRun::collect() {
    output_ += QString::fromUtf8(process_.readAllStandardOutput());
    errors_ += QString::fromUtf8(process_.readAllStandardError());
}

bool ProgramRun::waitForLine(const QString& start, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (started_) {
        collect();
        for (const QString& line : output_.split(QLatin1Char('\n')))
            if (line.startsWith(start))
                return true;
        if (process_.state() == QProcess::NotRunning || timer.elapsed() > timeoutMs)
            return false;
        process_.waitForReadyRead(100);
    }
    return false;
}

QStringList ProgramRun::mappedFiles() const {
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid_));
    if (!maps.open(QIODevice::ReadOnly))
        return {};
    QSet<QString> files;
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const qsizetype slash = line.indexOf(" /");
        if (slash > 0)
            files.insert(QString::fromUtf8(line.mid(slash + 1)));
    }
    return QStringList(files.begin(), files.end());
}

QString ProgramRun::output() {
    collect();
    return output_;
}

QString ProgramRun::errors() {
    collect();
    return errors_;
}

void ProgramRun::end() {
    if (!started_ || process_.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(pid_), SIGTERM);
    if (!process_.waitForFinished(10000)) {
        process_.kill();
        process_.waitForFinished(10000);
    }
    collect();
}

} // namespace kestrune::test
