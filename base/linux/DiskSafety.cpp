#include "base/DiskSafety.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <libmount.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kestrune::platform {

namespace {

bool isAtOrBelow(const std::string& path, const std::string& tree) {
    return path == tree || (path.size() > tree.size() && path.compare(0, tree.size(), tree) == 0 &&
                            path[tree.size()] == '/');
}

// The mount whose target holds path: the longest target that is path or above it.
const MountEntry* mountHolding(const std::vector<MountEntry>& mounts, const std::string& path) {
    const MountEntry* best = nullptr;
    for (const MountEntry& mount : mounts) {
        if (mount.devno == 0)
            continue;
        if ((mount.target == "/" || isAtOrBelow(path, mount.target)) &&
            (!best || mount.target.size() >= best->target.size()))
            best = &mount;
    }
    return best;
}

// lowerdir=a:b,upperdir=c,workdir=d; a colon or comma inside a path is escaped with '\'.
std::vector<std::string> overlayLayers(const std::string& options) {
    std::vector<std::string> layers;
    std::string key, value;
    bool inValue = false;
    auto finishValue = [&] {
        if (key == "lowerdir" || key == "upperdir" || key == "workdir")
            if (!value.empty())
                layers.push_back(value);
        value.clear();
    };
    for (size_t i = 0; i <= options.size(); ++i) {
        const char c = i < options.size() ? options[i] : ',';
        if (c == '\\' && i + 1 < options.size()) {
            (inValue ? value : key) += options[++i];
        } else if (c == ',') {
            if (inValue)
                finishValue();
            key.clear();
            inValue = false;
        } else if (c == '=' && !inValue) {
            inValue = true;
        } else if (c == ':' && inValue) {
            finishValue();
        } else {
            (inValue ? value : key) += c;
        }
    }
    return layers;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Digits from at to the end, at least one.
bool onlyDigitsFrom(const std::string& text, std::size_t at) {
    if (at >= text.size())
        return false;
    for (std::size_t i = at; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The kernel name of the device a mount or swap names by its node ("/dev/sdb1" -> "sdb1"),
// found in devRoot; empty for anything that is no device node.
std::string kernelNameOf(const std::string& source, const std::string& devRoot) {
    if (!startsWith(source, "/dev/"))
        return {};
    const std::string inTree = resolved(devRoot + source.substr(4));
    return baseName(inTree.empty() ? source : inTree);
}

// /proc/swaps writes a space in a path as \040.
std::string unescapeOctal(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 3 < value.size() && value[i + 1] >= '0' &&
            value[i + 1] <= '3' && value[i + 2] >= '0' && value[i + 2] <= '7' &&
            value[i + 3] >= '0' && value[i + 3] <= '7') {
            out += static_cast<char>((value[i + 1] - '0') * 64 + (value[i + 2] - '0') * 8 +
                                     (value[i + 3] - '0'));
            i += 3;
            continue;
        }
        out += value[i];
    }
    return out;
}

std::string loopBackingFile(const std::string& sysfsRoot, dev_t devt) {
    std::ifstream in(sysfsRoot + "/dev/block/" + std::to_string(major(devt)) + ":" +
                     std::to_string(minor(devt)) + "/loop/backing_file");
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    return line;
}

} // namespace

bool isNeverWrittenName(const std::string& name) {
    for (const char* prefix : {"loop", "ram", "zram", "dm-", "md", "sr", "nbd", "zd", "fd"})
        if (startsWith(name, prefix))
            return true;
    if (!startsWith(name, "mmcblk"))
        return false;
    std::size_t at = 6;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9')
        ++at;
    if (at == 6)
        return false;
    const std::string area = name.substr(at);
    return area == "rpmb" || (startsWith(area, "boot") && onlyDigitsFrom(area, 4));
}

bool isNeverWritten(const std::string& kernelName, const std::string& sysfsDevice) {
    return isNeverWrittenName(kernelName) ||
           sysfsDevice.find("/devices/virtual/") != std::string::npos;
}

std::string usbDeviceAbove(const std::string& sysfsDevice, const std::string& devicesRoot) {
    if (devicesRoot.empty())
        return {};
    for (std::string dir = sysfsDevice; startsWith(dir, (devicesRoot + "/").c_str());
         dir = parentOf(dir)) {
        char target[PATH_MAX];
        const ssize_t length = ::readlink((dir + "/subsystem").c_str(), target, sizeof target - 1);
        if (length <= 0)
            continue;
        target[length] = '\0';
        if (baseName(target) == "usb" && exists(dir + "/idVendor"))
            return dir;
    }
    return {};
}

bool isRemovableMedium(bool removableFlag, const std::string& mmcType,
                       const std::string& usbDevice) {
    return !usbDevice.empty() || mmcType == "SD" || removableFlag;
}

bool isSystemMountTarget(const std::string& target) {
    static const char* const exact[] = {"/", "/home"};
    static const char* const trees[] = {
        "/boot",        "/usr",           "/var",           "/opt",           "/srv",
        "/etc",         "/root",          "/bin",           "/sbin",          "/lib",
        "/lib32",       "/lib64",         "/libx32",        "/nix",           "/gnu",
        "/snap",        "/sysroot",       "/cdrom",         "/isodevice",     "/live",
        "/run/live",    "/run/initramfs", "/run/archiso",   "/run/miso",      "/run/rootfsbase",
        "/run/overlay", "/run/os-root",   "/media/root-ro", "/media/root-rw", "/lib/live"};
    for (const char* path : exact)
        if (target == path)
            return true;
    for (const char* tree : trees)
        if (isAtOrBelow(target, tree))
            return true;
    return false;
}

std::vector<MountEntry> readMountTable(const std::string& mountinfo, bool& readable) {
    std::vector<MountEntry> mounts;
    readable = false;
    libmnt_table* table = mnt_new_table();
    if (table && mnt_table_parse_file(table, mountinfo.c_str()) == 0) {
        readable = true;
        libmnt_iter* iter = mnt_new_iter(MNT_ITER_FORWARD);
        libmnt_fs* fs = nullptr;
        while (iter && mnt_table_next_fs(table, iter, &fs) == 0) {
            MountEntry entry;
            entry.devno = mnt_fs_get_devno(fs);
            if (const char* source = mnt_fs_get_srcpath(fs))
                entry.source = source;
            else if (const char* other = mnt_fs_get_source(fs))
                entry.source = other;
            if (const char* target = mnt_fs_get_target(fs))
                entry.target = target;
            if (const char* type = mnt_fs_get_fstype(fs))
                entry.fsType = type;
            if (const char* options = mnt_fs_get_fs_options(fs))
                entry.superOptions = options;
            mounts.push_back(std::move(entry));
        }
        mnt_free_iter(iter);
    }
    mnt_unref_table(table);
    return mounts;
}

std::set<dev_t> systemDevices(const std::vector<MountEntry>& mounts, const std::string& sysfsRoot) {
    std::set<dev_t> devices;
    std::vector<std::string> needed; // paths the system needs: their holders are protected
    for (const MountEntry& mount : mounts) {
        if (!isSystemMountTarget(mount.target))
            continue;
        if (major(mount.devno) != 0)
            devices.insert(mount.devno);
        if (mount.fsType == "overlay")
            for (const std::string& layer : overlayLayers(mount.superOptions))
                needed.push_back(layer);
    }
    std::set<dev_t> followed;
    while (true) {
        for (const std::string& path : needed)
            if (const MountEntry* holder = mountHolding(mounts, path);
                holder && major(holder->devno) != 0)
                devices.insert(holder->devno);
        needed.clear();
        // A loop device's backing file lives on another device, which the system needs too.
        for (dev_t device : devices)
            if (followed.insert(device).second)
                if (std::string backing = loopBackingFile(sysfsRoot, device); !backing.empty())
                    needed.push_back(std::move(backing));
        if (needed.empty())
            return devices;
    }
}

SystemUse readSystemUse(const SystemPaths& paths) {
    SystemUse use;
    const std::vector<MountEntry> table = readMountTable(paths.mountinfo, use.known);
    for (const MountEntry& entry : table) {
        SystemUse::Mount mount{entry.devno, kernelNameOf(entry.source, paths.devRoot),
                               entry.target};
        if (isSystemMountTarget(entry.target) && !mount.sourceName.empty())
            use.names.insert(mount.sourceName);
        use.mounts.push_back(std::move(mount));
    }
    use.devices = systemDevices(table, paths.sysfsRoot);

    std::ifstream swaps(paths.swaps);
    std::string line;
    // The first line names the columns.
    for (bool heading = true; std::getline(swaps, line); heading = false) {
        std::istringstream fields(line);
        std::string field;
        if (heading || !(fields >> field))
            continue;
        const std::string entry = unescapeOctal(field);
        if (const std::string name = kernelNameOf(entry, paths.devRoot); !name.empty()) {
            use.names.insert(name);
            continue;
        }
        // A swap file: its file system's disk is in use by the system.
        struct stat st {};
        if (::stat(entry.c_str(), &st) == 0)
            use.devices.insert(st.st_dev);
    }
    return use;
}

} // namespace kestrune::platform
