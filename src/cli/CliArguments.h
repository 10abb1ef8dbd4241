#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace kestrune::cli {

struct CliArguments {
    enum class Command { Help, Version, List, Shred, Verify };
    Command command = Command::Help;
    bool json = false;
    // Unset: the user's settings, as the window uses them.
    std::optional<std::int32_t> algorithm;
    std::optional<bool> format;
    // The medium's asset number for its report and certificate; empty: none.
    QString asset;
    // Where the media came from, for every job's report and certificate; empty: not given.
    QString source;
    bool yes = false;
    bool trace = false;
    QStringList disks;
    QString file; // verify: a certificate or a report
};

struct ParsedArguments {
    std::optional<CliArguments> arguments;
    QString error; // why the command line was not understood
};

// The arguments after the program's name.
ParsedArguments parseArguments(const QStringList& arguments);
// The help: synopsis, commands, options and exit codes.
QString helpText(const QString& programName);

} // namespace kestrune::cli
