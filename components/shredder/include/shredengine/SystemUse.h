// Which disks the running system depends on through its mounts. The program leaves them out
// of its list and the engine refuses them, by the same rule.
#pragma once

#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrune::engine {

// A mount point where the running system keeps what it needs: the root, the system's own
// trees, the places live systems mount their boot medium. A user's mounts (below /media,
// /run/media, /mnt, a home folder, /tmp) are not.
bool isSystemMountTarget(const std::string& target);

struct MountEntry {
    dev_t devno = 0;
    std::string source;
    std::string target;
    std::string fsType;
    std::string superOptions;
};

// The mount table in mountinfo form; readable is false when it could not be read.
std::vector<MountEntry> readMountTable(const std::string& mountinfo, bool& readable);

// The devices behind system mounts: those mounted at a system place, the file systems that
// hold the layers of an overlay mounted at one, and, for each loop device among them, the
// device that holds its backing file, followed until nothing new is found.
std::set<dev_t> systemDevices(const std::vector<MountEntry>& mounts, const std::string& sysfsRoot);

} // namespace kestrune::engine
