#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace kestrune::test {

// Starts a program file the way a desktop starts it from its menu entry (under a name of
// the launcher's, which names no file), offscreen, on one simulated disk, with folders of
// its own for settings, data and reports; watches its trace lines (--trace); ends it with
// SIGTERM.
class ProgramRun {
public:
    // registryDir: the folder with the hives the program is to use.
    ProgramRun(const QString& program, const QString& registryDir,
               const QString& launcherName = QStringLiteral("kestrune"));
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    bool started() const { return started_; }
    // Waits for a standard output line that starts with the text; false after timeoutMs
    // or when the program has ended.
    bool waitForLine(const QString& start, int timeoutMs);
    // Every file the process has mapped (the program, its libraries, loaded components).
    QStringList mappedFiles() const;
    QString output();
    QString errors();
    // SIGTERM, then SIGKILL if it does not end.
    void end();

    static QString diskSerial() { return QStringLiteral("menu-stick"); }

private:
    void collect();
    QTemporaryDir folders_;
    QProcess process_;
    QString output_;
    QString errors_;
    qint64 pid_ = 0;
    bool started_ = false;
};

} // namespace kestrune::test
