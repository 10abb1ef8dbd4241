// The update component's workings: where the feed is, what the manifest says, and
// fetching the manifest and the package.
#pragma once

#include "base/Hive.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <optional>

namespace kestrune::update {

// The feed is UTF-8 text of "key=value" lines. Blank lines and lines starting with '#' are
// skipped, unknown keys are ignored. "version" (a Debian version), "url" (absolute, or
// relative to the feed), "sha256" and "size" (decimal bytes) of the package are required,
// each once; every "notes" line adds one line to the release notes, so an empty "notes="
// is a blank line.
struct Manifest {
    QString version;
    QString url;
    QString notes;
    QString sha256; // lower-case hex
    qint64 size = 0;
};
std::optional<Manifest> parseManifest(const QByteArray& body, QString* error);

// A signed feed ends with the line "signature=" and the base64 of an Ed25519 signature of
// every byte before that line; nothing but a line break may follow it.
struct SignedFeed {
    QByteArray body;
    QByteArray signature;
};
std::optional<SignedFeed> splitSignature(const QByteArray& bytes, QString* error);

// What the machine hive says below HKEY_LOCAL_MACHINE\Software\<company>\<product>
// \Settings\Update (key and value names compared without regard to case): "FeedUrl",
// "CaFile" (the authorities the HTTPS servers are checked against instead of the system's)
// and every string value of its subkey "TrustedKeys" (public keys besides the built-in one).
struct UpdateSettings {
    QString feedUrl;
    QString caFile;
    QStringList trustedKeys;
};
UpdateSettings updateSettingsFromHive(const platform::Hive& hive, const QString& productName);
// The same from the bytes of a hive file; nothing from one that does not parse.
UpdateSettings updateSettingsFromHive(const QByteArray& hive, const QString& productName);

#ifndef _WIN32
// The machine hive, as the program finds it (SettingsPlace); empty when refused.
QString machineHivePath();
#endif
// The same settings where the machine keeps them: the machine hive on Linux, the registry
// (HKEY_LOCAL_MACHINE, its 64-bit view) on Windows; empty when there are none.
UpdateSettings machineUpdateSettings(const QString& productName);

// Resolves a reference from the feed against the feed's own address.
QString resolveAddress(const QString& base, const QString& reference);
bool isHttpsAddress(const QString& address);

struct FetchResult {
    bool ok = false;
    bool refused = false; // the server or an address failed a check, not just the network
    QByteArray data;
    QString error;
};
// A small document (the feed) over https://, redirects only to https:// too. Gives up after
// 3 s without a connection and after 5 s in all.
// Running as root, a caFile that anyone but root could change is not used, and nothing is
// fetched: the refusal names the file and why (no fall back to the system's authorities).
FetchResult fetchSmall(const QString& address, qint64 maxBytes, const QString& caFile);

// Downloads address (https:// only) into targetPath (written beside it first, renamed when
// complete), exactly size bytes: a server that sends more is refused as soon as it does,
// fewer is a failed download. progress gets (received, total or -1); cancel stops it. False
// with a reason on failure; *refused then says whether a check failed rather than the
// network.
bool downloadFile(const QString& address, const QString& targetPath, qint64 size,
                  const QString& caFile, const std::atomic<bool>& cancel,
                  const std::function<void(qint64, qint64)>& progress, QString* error,
                  bool* refused = nullptr);
// The file's SHA-256 in lower-case hex, empty when it cannot be read.
QString sha256OfFile(const QString& path);
// A name in folder for the package from address that does not overwrite anything, nor the
// signed feed saved beside it (feedFileFor).
QString downloadTargetFor(const QString& folder, const QString& address, const QString& version);
// Where the signed feed a package was checked against is kept: the installer checks the
// package against it again.
QString feedFileFor(const QString& packagePath);

// The most a feed may weigh, and a package.
inline constexpr qint64 kFeedMaxBytes = 64 * 1024;
inline constexpr qint64 kPackageMaxBytes = qint64(4) * 1024 * 1024 * 1024;

// Where a package is downloaded to. Running as root for a user (sudo, pkexec): a fresh
// folder only root can enter, so that nobody can change the package between its checks and
// the installer; it goes again with the package. Otherwise the user's own cache.
struct DownloadFolder {
    QString path;       // empty when it could not be made
    bool fresh = false; // made for this download alone: removed afterwards
    QString error;
};
DownloadFolder prepareDownloadFolder();
// Removes a fresh folder and what is in it.
void removeDownloadFolder(const DownloadFolder& folder);

enum class Outcome { Newer, Current, NoFeed, Unreachable, Refused };
struct CheckResult {
    Outcome outcome = Outcome::NoFeed;
    Manifest manifest; // its url resolved against the feed
    QByteArray feed;   // the signed feed's bytes exactly as they were verified
    UpdateSettings settings;
    QString message; // what went wrong
};
// Fetches and checks the feed; a refused one has had its reason logged.
CheckResult checkForUpdate(const QString& productName, const QString& programVersion);

} // namespace kestrune::update
