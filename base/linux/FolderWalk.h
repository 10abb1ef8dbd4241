#pragma once

#include <string>
#include <sys/types.h>

namespace kestrune::platform::linux_impl {

// How a path is walked: one name at a time from "/", each opened relative to the folder
// before it, so what was checked is what is used.
struct WalkRules {
    // Follow every link (a process on its own), or only links that root alone could have
    // placed: root's own, in a folder no one else may change.
    bool followAnyLink = true;
    // Create missing folders (with this mode, before umask).
    bool create = false;
    mode_t mode = 0755;
    // Every step must belong to root and be unchangeable by anyone else.
    bool onlyRoots = false;
    // The last name may be a file rather than a folder.
    bool lastMayBeFile = false;
};

struct WalkEnd {
    int fd = -1; // O_PATH descriptor of what the path names; -1 on failure
    int error = 0;
    std::string problem; // what failed, and at which part of the path
    // With onlyRoots and without create: the path ends below a folder only root may change,
    // in parts that are not there yet (fd is -1, error ENOENT, nothing failed otherwise).
    bool missingBelowRootsOwn = false;
};

WalkEnd walkPath(const std::string& path, const WalkRules& rules);

} // namespace kestrune::platform::linux_impl
