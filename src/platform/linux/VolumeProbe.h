#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

namespace kestrune::platform::linux_impl {

struct FileSystemProbe {
    bool found = false;
    bool timedOut = false; // the medium did not answer in time: nothing is known
    QString type;
    QByteArray label; // raw bytes, as stored on the medium
    QByteArray uuid;
};

struct PartitionProbe {
    int number = 0;
    std::uint64_t offset = 0; // bytes
    std::uint64_t size = 0;   // bytes
    FileSystemProbe fileSystem;
};

// The file system at [offset, offset + size) of a file or device (size 0: to its end), by
// its path as the file system spells it.
FileSystemProbe probeFileSystem(const QByteArray& path, std::uint64_t offset = 0,
                                std::uint64_t size = 0);
// The partitions of a partition table inside a file or device, each with its file system;
// empty when there is no table. Extended-partition containers are left out.
std::vector<PartitionProbe> probePartitions(const QByteArray& path, bool* timedOut = nullptr);
// Each probe gives up after a second and a half, so a dying stick never stalls a scan; a
// device whose probe is still stuck is not probed again until that probe has returned.

} // namespace kestrune::platform::linux_impl
