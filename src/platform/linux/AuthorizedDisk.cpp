#include "platform/DiskAuthorization.h"

#include <fcntl.h>
#include <unistd.h>

namespace kestrune::platform {

AuthorizedDisk::AuthorizedDisk(int descriptor) : descriptor_(descriptor) {}

AuthorizedDisk::~AuthorizedDisk() {
    if (descriptor_ >= 0)
        close(descriptor_);
}

bool AuthorizedDisk::handOver(uint32_t deviceNumber) const {
    const int duplicate = fcntl(descriptor_, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0)
        return false;
    if (kestrune_disk_number_hand_over(deviceNumber, duplicate))
        return true;
    close(duplicate);
    return false;
}

void AuthorizedDisk::reclaim(uint32_t deviceNumber) const {
    if (const int left = kestrune_disk_number_take(deviceNumber); left >= 0)
        close(left);
}

} // namespace kestrune::platform
