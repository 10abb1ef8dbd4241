#include "platform/DiskAuthorization.h"

#include <io.h>

namespace kestrune::platform {

// A descriptor of the C runtime, as the disk-number pool hands them on.
AuthorizedDisk::AuthorizedDisk(int descriptor) : descriptor_(descriptor) {}

AuthorizedDisk::~AuthorizedDisk() {
    if (descriptor_ >= 0)
        _close(descriptor_);
}

bool AuthorizedDisk::handOver(uint32_t deviceNumber) const {
    const int duplicate = _dup(descriptor_);
    if (duplicate < 0)
        return false;
    if (kestrune_disk_number_hand_over(deviceNumber, duplicate))
        return true;
    _close(duplicate);
    return false;
}

void AuthorizedDisk::reclaim(uint32_t deviceNumber) const {
    if (const int left = kestrune_disk_number_take(deviceNumber); left >= 0)
        _close(left);
}

// The program runs with administrator rights (its manifest asks for them), so it opens,
// locks and dismounts disks itself, as root does on other systems: no service is asked
// and every job writes through its own handle.
std::shared_ptr<DiskAuthorization> diskAuthorizationForThisProcess() {
    return nullptr;
}

} // namespace kestrune::platform
