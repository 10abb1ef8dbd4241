#pragma once

#include "base/UserFiles.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrune::platform {

// Value types keep their Windows numbers, so stored files read the same everywhere.
enum RegistryType : std::uint32_t {
    REG_NONE_TYPE = 0,
    REG_SZ_TYPE = 1,
    REG_EXPAND_SZ_TYPE = 2,
    REG_BINARY_TYPE = 3,
    REG_DWORD_TYPE = 4,
    REG_MULTI_SZ_TYPE = 7,
    REG_QWORD_TYPE = 11,
};

// A value as stored: its type and its raw bytes (REG_SZ: UTF-16LE with terminator;
// REG_DWORD: 4 bytes little-endian).
struct RegistryValue {
    std::uint32_t type = REG_NONE_TYPE;
    QByteArray data;
};

// The text of a REG_SZ or REG_EXPAND_SZ value up to its terminator; nothing for any other type.
inline std::optional<QString> registryText(const RegistryValue& value) {
    if (value.type != REG_SZ_TYPE && value.type != REG_EXPAND_SZ_TYPE)
        return std::nullopt;
    const auto* units = reinterpret_cast<const char16_t*>(value.data.constData());
    qsizetype length = 0;
    while (length < value.data.size() / 2 && units[length] != 0)
        ++length;
    return QString::fromUtf16(units, length);
}

// One hive file in the registry editor's text format, as parsed into memory: the one reader
// of the program and the components. Comment lines (";...") are kept with what follows
// them, so a write leaves them in place. Key and value names compare without regard to case.
struct HiveValue {
    QString name; // empty: the key's default value ("@")
    RegistryValue value;
    QStringList comments;
};

struct HiveKey {
    QString path; // full path including the root name, "HKEY_CURRENT_USER\Software\..."
    std::vector<HiveValue> values;
    QStringList comments;
};

struct Hive {
    std::vector<HiveKey> keys;
    QStringList leadingComments;  // before the header line
    QStringList trailingComments; // after the last value

    HiveKey* findKey(const QString& path);
    const HiveKey* findKey(const QString& path) const;
    // True when the key or any key below it is present.
    bool hasKeyOrDescendant(const QString& path) const;
    const HiveValue* findValue(const QString& path, const QString& name) const;
    void setValue(const QString& path, const QString& name, const RegistryValue& value);
};

// Null when the text is not a well-formed hive (an empty file is an empty hive).
std::optional<Hive> parseHive(const QByteArray& bytes, QString* error = nullptr);
// UTF-8 text that parseHive reads back to the same keys, values, types and bytes.
QByteArray serializeHive(const Hive& hive);
// The text form has no way to carry a line break in a key or value name.
bool HiveHasLineBreak(const QString& text);

enum class HiveState { Missing, Loaded, Damaged, Unreadable };
struct HiveFile {
    HiveState state;
    std::shared_ptr<const Hive> hive; // set when Loaded
    mode_t mode = 0;
};

// The hive file at path, read with the rights its folder calls for (see FileFolder) and
// without blocking: a FIFO or anything else that is no regular file is unreadable. A damaged
// or unreadable hive is not used at all; the system log hears of it once per file and
// process. The bytes of the last parse of each file are remembered, so an unchanged hive
// is not parsed again.
HiveFile ReadHiveFile(const QString& path);
// The same in a folder already opened (for writing, say).
HiveFile ReadHiveFile(const QString& path, const FileFolder& folder);

// For writers of hive files: the folder and the name as the system spells them, and the
// words for an errno, for a refused link among them.
std::string HiveFolderOf(const QString& path);
std::string HiveNameOf(const QString& path);
QString HiveErrnoText(int error);
QString HiveOpenFailureText(int error);

} // namespace kestrune::platform
