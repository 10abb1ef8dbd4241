// The command-line program run as a subprocess on simulated disks, with folders of its own
// for settings, data and reports, and without any display.
#pragma once

#include "RealDisks.h"
#include "TestSupport.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace kestrune::test {

struct CliResult {
    int exitCode = -1; // -1: it crashed or did not end
    QString output;
    QString errors;
};

// What a program wrote on a pseudo-terminal that was its input and both outputs.
struct TerminalRun {
    int exitCode = -1;
    QByteArray transcript;
};
// Runs the program on a fresh pseudo-terminal; once its output contains prompt, types
// answer (nothing when the prompt never comes), and collects everything until it ends.
TerminalRun runOnTerminal(const QString& program, const QStringList& arguments,
                          const QProcessEnvironment& environment, const QByteArray& prompt,
                          const QByteArray& answer, int timeoutMs = 120000);

// All that was written to a temporary file standing in for an output.
QString contentOf(std::FILE* stream);

class CliTest : public ::testing::Test {
public:
    static QString readText(const QString& path);
    static bool holdsSecret(const QString& path);
    static QString text(const char* key);
    static QString filled(const char* key, const QStringList& arguments);

protected:
    void SetUp() override;
    void TearDown() override;

    static QString cli() { return QStringLiteral(KESTRUNE_CLI); }
    // The test's folders and no display at all: a server has none.
    QProcessEnvironment environment() const;
    CliResult run(const QStringList& arguments, int timeoutMs = 180000) const;
    // Started with its output read as it comes; the caller waits and ends it.
    std::unique_ptr<QProcess> start(const QStringList& arguments) const;

    // An image full of old data that a job must remove, in the simulated disks' folder.
    QString makeImage(const QString& name, qint64 size) const;
    LoopDisk& makeLoopDisk(const QString& name, qint64 size);
    void setUser(const char* suffix, const char* name, std::uint32_t value) const;
    QStringList reports() const;

    static inline const QByteArray kSecret = QByteArrayLiteral("secret customer data 0815");

    ScopedRegistry registry;
    QTemporaryDir home;
    // tmpfs keeps images and loop devices fast.
    QTemporaryDir disks{QFileInfo::exists(QStringLiteral("/dev/shm"))
                            ? QStringLiteral("/dev/shm/kestrune-cli-disks-XXXXXX")
                            : QString()};
    QTemporaryDir logs;
    QString simulatedDisks; // empty: the disks folder above
    std::unique_ptr<ScopedEnvironment> configHome;
    std::vector<std::unique_ptr<LoopDisk>> loops;
};

} // namespace kestrune::test
