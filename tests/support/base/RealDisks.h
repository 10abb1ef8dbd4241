// Real block devices for tests: loop devices attached to image files, and checks of what a
// job left on a disk, read from its byte ranges (this kernel may parse no partition table).
#pragma once

#include <kestrune/disk_numbers.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace kestrune::test {

// Why loop devices cannot be used here (not root, no loop-control); empty when they can.
QString loopDevicesUnavailable();

// Where Debian puts a system tool (mkfs.fat, losetup, blkid): on PATH, else in the system's
// sbin folders, which a normal user's PATH lacks; empty when it is nowhere.
QString systemProgram(const QString& name);

// A loop device attached to a file for the object's lifetime. It goes away with the last
// one who holds it open, this object being one: whatever ends the test, even a kill, leaves
// no loop device behind (a mount of it must go too: ScopedMount).
class LoopDisk {
public:
    struct Options {
        bool readOnly = false;
        qint64 offset = 0;
        qint64 sizeLimit = 0;
        int sectorSize = 0; // 0: the kernel's 512
        bool partitionScan = false;
    };
    explicit LoopDisk(const QString& backingFile);
    LoopDisk(const QString& backingFile, const Options& options);
    ~LoopDisk();
    LoopDisk(const LoopDisk&) = delete;
    LoopDisk& operator=(const LoopDisk&) = delete;

    bool attached() const { return !device_.isEmpty(); }
    QString device() const { return device_; } // "/dev/loop3"
    QString name() const;                      // "loop3"
    // Why it could not be attached.
    QString error() const { return error_; }
    // Detaches now, or as soon as whoever still holds the device lets it go; true when
    // the kernel took the request.
    bool detach();

private:
    QString device_;
    QString error_;
    int fd_ = -1;
};

// A file system mounted for the object's lifetime (by mount(8), which knows the type), and
// unmounted when it ends, lazily when still busy. A test that can must also mount in a
// mount namespace of its own (enterPrivateMountNamespace), whose mounts end with it even
// when it is killed.
class ScopedMount {
public:
    ScopedMount(const QString& device, const QString& mountPoint, const QStringList& options = {});
    ~ScopedMount();
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;

    bool mounted() const { return mounted_; }
    // Unmounts now; true when nothing is mounted there any more.
    bool unmount();

private:
    QString point_;
    bool mounted_ = false;
};

// The identity the engine is given for a block device: its node, dev_t and diskseq.
KestruneDiskIdentity diskIdentityOf(const QString& device);

// Sets an environment variable for the object's lifetime.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const QByteArray& value);
    ~ScopedEnvironment();

private:
    const char* name_;
    bool had_;
    QByteArray previous_;
};

// Runs a program (a bare name found as systemProgram finds it); its exit code, or -1 when it
// did not run or crashed.
int runProgram(const QString& program, const QStringList& arguments, QByteArray* output = nullptr,
               int timeoutMs = 120000);

// The first entry of the disk's MBR as sfdisk reads it, in bytes.
struct PartitionEntry {
    QString label; // "dos" or "gpt"
    qint64 start = 0;
    qint64 size = 0;
    int type = 0;     // an MBR's type byte
    QString typeText; // as sfdisk writes it: "c", or a GPT's type GUID
    qint64 sectorSize = 512;
};
std::optional<PartitionEntry> firstPartition(const QString& disk);

// A FAT file system in a byte range of a disk, checked through a read-only loop device:
// fsck.fat -n's exit code and what blkid reads.
struct FileSystemCheck {
    int fsck = -1;
    QString type;
    QString version;
    QString label;
};
FileSystemCheck checkFileSystemAt(const QString& disk, qint64 offset, qint64 size);

QByteArray readBytes(const QString& path, qint64 offset, qint64 length);

// What a FAT boot sector says of its file system, and the FAT width its count of clusters
// makes it (the rule every FAT driver follows: below 4085 FAT12, below 65525 FAT16).
struct FatBootSector {
    int bytesPerSector = 0;
    int sectorsPerCluster = 0;
    quint64 totalSectors = 0;
    quint64 hiddenSectors = 0;
    quint64 clusters = 0;
    int fatBitsByCount = 0;
};
// Nothing when the bytes hold no FAT boot sector.
std::optional<FatBootSector> readFatBootSector(const QString& path, qint64 offset);

// Whether this kernel knows the file system (/proc/filesystems).
bool kernelHasFileSystem(const QByteArray& type);
// An ext4 file system over the whole image (optionally labelled); false when mke2fs fails.
bool makeExt4(const QString& image, const QString& label = {});
// Moves this process into a mount namespace of its own, whose mounts no other process sees
// (children inherit it); empty, or why it cannot be done here.
QString enterPrivateMountNamespace();
// True when the mount table lists the device (or one of its partitions) as a source.
bool isMounted(const QString& device);

} // namespace kestrune::test
