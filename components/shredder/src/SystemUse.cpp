#include "shredengine/SystemUse.h"

#include <fstream>
#include <libmount.h>
#include <sys/sysmacros.h>

namespace kestrune::engine {

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

std::string loopBackingFile(const std::string& sysfsRoot, dev_t devt) {
    std::ifstream in(sysfsRoot + "/dev/block/" + std::to_string(major(devt)) + ":" +
                     std::to_string(minor(devt)) + "/loop/backing_file");
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    return line;
}

} // namespace

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

} // namespace kestrune::engine
