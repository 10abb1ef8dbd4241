#include "base/FdBlockDevice.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::blockio {

std::unique_ptr<FdBlockDevice> FdBlockDevice::adopt(int fd, bool directIo, int* error) {
    std::unique_ptr<FdBlockDevice> device(new FdBlockDevice(fd, directIo));
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        *error = errno;
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    device->readOnly_ = flags < 0 || (flags & O_ACCMODE) == O_RDONLY;
    if (S_ISBLK(st.st_mode)) {
        device->blockDevice_ = true;
        uint64_t bytes = 0;
        if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
            *error = errno;
            return nullptr;
        }
        device->size_ = bytes;
        int sector = 0;
        if (ioctl(fd, BLKSSZGET, &sector) == 0 && sector >= 512)
            device->alignment_ = static_cast<size_t>(sector);
        else
            device->alignment_ = 512;
        int ro = 0;
        if (ioctl(fd, BLKROGET, &ro) == 0 && ro != 0)
            device->readOnly_ = true;
    } else if (S_ISREG(st.st_mode)) {
        device->size_ = static_cast<uint64_t>(st.st_size);
    } else {
        *error = ENODEV;
        return nullptr;
    }
    *error = 0;
    return device;
}

FdBlockDevice::FdBlockDevice(int fd, bool directIo) : fd_(fd), direct_(directIo) {}

FdBlockDevice::~FdBlockDevice() {
    if (buffered_ >= 0)
        close(buffered_.load());
    if (fd_ >= 0)
        close(fd_);
}

int FdBlockDevice::bufferedFd(int* error) {
    int fd = buffered_.load(std::memory_order_acquire);
    if (fd >= 0)
        return fd;
    std::lock_guard lock(bufferedOpen_);
    fd = buffered_.load(std::memory_order_relaxed);
    if (fd < 0) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd_);
        int flags = fcntl(fd_, F_GETFL);
        fd = open(path, (flags & O_ACCMODE) | O_CLOEXEC);
        if (fd < 0)
            *error = errno;
        else
            buffered_.store(fd, std::memory_order_release);
    }
    return fd;
}

static int loopTransfer(int fd, bool write, uint8_t* data, size_t length, uint64_t offset) {
    while (length > 0) {
        ssize_t n = write ? pwrite(fd, data, length, static_cast<off_t>(offset))
                          : pread(fd, data, length, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return write ? ENOSPC : EIO; // nothing more fits, or the medium ended early
        data += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return 0;
}

int FdBlockDevice::transfer(bool write, void* data, size_t length, uint64_t offset) {
    if (offset > size_ || length > size_ - offset)
        return write ? ENOSPC : EIO;
    auto* bytes = static_cast<uint8_t*>(data);
    if (!direct_ || (offset % alignment_ == 0 && length % alignment_ == 0))
        return loopTransfer(fd_, write, bytes, length, offset);
    // Only the end of an image file can be unaligned; its head still goes direct.
    size_t head = offset % alignment_ == 0 ? length - length % alignment_ : 0;
    if (head > 0) {
        if (int rc = loopTransfer(fd_, write, bytes, head, offset))
            return rc;
    }
    int error = 0;
    int fd = bufferedFd(&error);
    if (fd < 0)
        return error;
    return loopTransfer(fd, write, bytes + head, length - head, offset + head);
}

int FdBlockDevice::writeAt(const void* data, size_t length, uint64_t offset) {
    if (readOnly_)
        return EROFS;
    return transfer(true, const_cast<void*>(data), length, offset);
}

int FdBlockDevice::readAt(void* data, size_t length, uint64_t offset) {
    return transfer(false, data, length, offset);
}

int FdBlockDevice::sync() {
    if (int fd = buffered_.load(std::memory_order_acquire); fd >= 0 && fdatasync(fd) != 0)
        return errno;
    if (fdatasync(fd_) != 0)
        return errno;
    return 0;
}

void FdBlockDevice::dropCache() {
    if (direct_)
        return;
    (void)posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
    if (int fd = buffered_.load(std::memory_order_acquire); fd >= 0)
        (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

uint64_t FdBlockDevice::currentSize() const {
    struct stat st {};
    if (fstat(fd_, &st) != 0)
        return 0;
    if (!blockDevice_)
        return static_cast<uint64_t>(st.st_size);
    uint64_t bytes = 0;
    return ioctl(fd_, BLKGETSIZE64, &bytes) == 0 ? bytes : 0;
}

} // namespace kestrune::blockio
