#include <kestrune/disk_numbers.h>

#include <cstring>
#include <mutex>
#ifdef _WIN32
#include <io.h>
#define close _close
// Only the pool's entries leave the library, not the runtime linked into it.
#define KESTRUNE_POOL_EXPORT __declspec(dllexport)
#else
#include <unistd.h>
#define KESTRUNE_POOL_EXPORT
#endif

namespace {

struct Slot {
    bool used = false;
    KestruneDiskIdentity identity{};
    int handedFd = -1;
};

std::mutex poolMutex;
Slot pool[KESTRUNE_DISK_NUMBER_COUNT];

bool sameDisk(const KestruneDiskIdentity& a, const KestruneDiskIdentity& b) {
    return a.devt == b.devt && a.diskseq == b.diskseq && (a.simulated != 0) == (b.simulated != 0);
}

// The path may come from anywhere; never trust it to be terminated.
void copyIdentity(KestruneDiskIdentity& to, const KestruneDiskIdentity& from) {
    const size_t length = strnlen(from.path, KESTRUNE_DISK_PATH_SIZE - 1);
    std::memset(to.path, 0, sizeof to.path);
    std::memcpy(to.path, from.path, length);
    to.devt = from.devt;
    to.diskseq = from.diskseq;
    to.simulated = from.simulated != 0 ? 1 : 0;
}

} // namespace

extern "C" {

KESTRUNE_POOL_EXPORT int32_t kestrune_disk_number_acquire(const KestruneDiskIdentity* identity) {
    if (!identity)
        return -1;
    std::lock_guard guard(poolMutex);
    for (int32_t n = 0; n < KESTRUNE_DISK_NUMBER_COUNT; ++n) {
        if (pool[n].used && sameDisk(pool[n].identity, *identity)) {
            // A simulated disk keeps its inode across a rename; follow the new name.
            copyIdentity(pool[n].identity, *identity);
            return n;
        }
    }
    for (int32_t n = 0; n < KESTRUNE_DISK_NUMBER_COUNT; ++n) {
        if (!pool[n].used) {
            pool[n].used = true;
            copyIdentity(pool[n].identity, *identity);
            return n;
        }
    }
    return -1;
}

KESTRUNE_POOL_EXPORT void kestrune_disk_number_release(int32_t number) {
    if (number < 0 || number >= KESTRUNE_DISK_NUMBER_COUNT)
        return;
    std::lock_guard guard(poolMutex);
    if (pool[number].handedFd >= 0)
        close(pool[number].handedFd);
    pool[number] = Slot{};
}

KESTRUNE_POOL_EXPORT int32_t kestrune_disk_number_resolve(uint32_t number,
                                                          KestruneDiskIdentity* identity) {
    if (number >= KESTRUNE_DISK_NUMBER_COUNT)
        return 0;
    std::lock_guard guard(poolMutex);
    if (!pool[number].used)
        return 0;
    if (identity)
        copyIdentity(*identity, pool[number].identity);
    return 1;
}

KESTRUNE_POOL_EXPORT int32_t kestrune_disk_number_hand_over(uint32_t number, int32_t fd) {
    if (number >= KESTRUNE_DISK_NUMBER_COUNT || fd < 0)
        return 0;
    std::lock_guard guard(poolMutex);
    Slot& slot = pool[number];
    if (!slot.used)
        return 0;
    if (slot.handedFd >= 0 && slot.handedFd != fd)
        close(slot.handedFd);
    slot.handedFd = fd;
    return 1;
}

KESTRUNE_POOL_EXPORT int32_t kestrune_disk_number_take(uint32_t number) {
    if (number >= KESTRUNE_DISK_NUMBER_COUNT)
        return -1;
    std::lock_guard guard(poolMutex);
    const int fd = pool[number].handedFd;
    pool[number].handedFd = -1;
    return fd;
}

} // extern "C"
