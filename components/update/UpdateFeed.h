// The update component's workings: where the feed is, what the manifest says, and
// fetching the manifest and the package.
#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

namespace kestrune::update {

struct Version {
    std::array<std::uint32_t, 4> parts{};
    auto operator<=>(const Version&) const = default;
};

// One to four decimal numbers separated by dots; "none" is 0.0.0.0.
std::optional<Version> parseVersion(const QString& text);
QString versionText(const Version& version);

// The manifest is UTF-8 text of "key=value" lines. Blank lines and lines starting with
// '#' are skipped, unknown keys are ignored. "version" is required and appears once;
// "url" (absolute, or relative to the manifest) and "sha256" at most once; every
// "notes" line adds one line to the release notes, so an empty "notes=" is a blank line.
struct Manifest {
    Version version;
    QString url;
    QString notes;
    QString sha256; // lower-case hex, empty when not given
};
std::optional<Manifest> parseManifest(const QByteArray& bytes, QString* error);

// The machine hive: $KESTRUNE_REGISTRY_DIR/machine.reg, else /etc/kestrune/machine.reg.
QString machineHivePath();
// "FeedUrl" of HKEY_LOCAL_MACHINE\Software\<company>\<product>\Settings\Update in a hive
// text (key and value names compared without regard to case); the first key that has it.
std::optional<QString> feedUrlFromHive(const QByteArray& hive, const QString& productName);

// Resolves a reference from the manifest against the manifest's own address.
QString resolveAddress(const QString& base, const QString& reference);
// A local file path for a plain path or a file:// address; empty for anything else.
QString localPathOf(const QString& address);
bool isNetworkAddress(const QString& address);

struct FetchResult {
    bool ok = false;
    QByteArray data;
    QString error;
};
// A small document (the manifest) from a local path, file://, http:// or https://.
// Network fetches give up after 3 s without a connection and after 5 s in all.
FetchResult fetchSmall(const QString& address, qint64 maxBytes);

// Downloads address into targetPath (written beside it first, renamed when complete).
// progress gets (received, total or -1); cancel stops it. False with a reason on failure.
bool downloadFile(const QString& address, const QString& targetPath,
                  const std::atomic<bool>& cancel,
                  const std::function<void(qint64, qint64)>& progress, QString* error);
// The file's SHA-256 in lower-case hex, empty when it cannot be read.
QString sha256OfFile(const QString& path);
// A name in folder for the package from address that does not overwrite anything.
QString downloadTargetFor(const QString& folder, const QString& address, const Version& version);

enum class Outcome { Newer, Current, NoFeed, Unreachable, Malformed };
struct CheckResult {
    Outcome outcome = Outcome::NoFeed;
    Manifest manifest;
    QString feedAddress;
    QString message; // what went wrong, for the user
};
CheckResult checkForUpdate(const QString& productName, const QString& programVersion);

} // namespace kestrune::update
