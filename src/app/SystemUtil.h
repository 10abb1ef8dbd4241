#pragma once

#include <QString>
#include <cstdint>
#include <memory>

namespace kestrune {

// Component locations, the program's own file and version, and the two registry routines.
// Keeps no state: every call reads anew.
class SystemUtil {
public:
    // Directory registered for a component under HKLM "Software\Vaskor Security\Paths\DLLs";
    // empty when none (or when the value is longer than 520 bytes).
    QString GetComponentDirectory(const QString& fileName) const;
    // The program's directory, ending in "/".
    QString GetExecutableDirectory() const;
    // "%d.%d.%d.%d" read from the file the command line names (the running program's own
    // file when that names none), or "none" after a message.
    QString GetProgramVersion() const;
    // The same for a given program name, as the first element of a command line names it.
    QString GetProgramVersion(const QString& programName) const;
    // The running program's version as GetProgramVersion() finds it, but without a message:
    // empty when the file holds no readable record. For documents written on a job's thread.
    QString FindProgramVersion() const;

    std::uint32_t ReadRegistryDword(const QString& subKey, const QString& valueName,
                                    bool machineWide) const;
    std::int32_t WriteRegistryDword(const QString& subKey, const QString& valueName,
                                    std::uint32_t value, bool machineWide) const;

    // The two rules that turn a component's file name into the path to load. Both take the
    // program's folder when no folder is registered; they differ in what the collapse of
    // doubled separators covers (the folder only, or the whole path).
    QString ComponentPathWithFallback(const QString& fileName) const;
    QString ComponentPathWithoutFallback(const QString& fileName) const;
    // Replaces each non-overlapping pair of consecutive separators by one (one pass).
    static QString CollapseDoubledSeparators(const QString& path);

    // Caption of the program's fixed-text message boxes.
    static QString ApplicationTitle() { return QStringLiteral("Kestrune"); }
};

// Process-wide instance: created on first use, released by the main window's teardown.
// Holders keep it alive with their own reference.
std::shared_ptr<SystemUtil> GetSystemUtil();
void ReleaseSystemUtil();

} // namespace kestrune
