#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

namespace kestrune {

// Finding the version record that the build puts into the program's file: a 16-byte
// marker, the length of the fixed part, then major, minor, build and private part, each
// a little-endian 16-bit number.
struct ProgramVersionRecord {
    enum class Status {
        Found,
        Unreadable,  // the file cannot be opened or read
        NoRecord,    // read to the end without finding the marker
        OutOfMemory, // no buffer for reading
        Malformed,   // marker found, but the fixed part is cut short or too small
        Empty,       // marker found with a fixed part of length 0
    };
    Status status = Status::Unreadable;
    std::array<std::uint16_t, 4> parts{};
};

// The marker, assembled at run time so that the reader's file holds no copy of it.
QByteArray ProgramVersionMarker();
// Scans the file in chunks for the first marker.
ProgramVersionRecord ReadProgramVersionRecord(const QString& path);
// The file a program name refers to: a name with a "/" as it stands, a bare name the way
// the shell finds it through $PATH (unchanged when nothing there matches).
QString ResolveProgramFile(const QString& name);
// The first element of the process's own command line; nothing when it cannot be split.
std::optional<QString> CommandLineProgramName();
// The full path of the running program's file; empty when it cannot be had.
QString ExecutablePath();

} // namespace kestrune
