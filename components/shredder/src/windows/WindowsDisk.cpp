#include "shredengine/WindowsDisk.h"

#include "shredengine/HandleBlockDevice.h"

#include "base/Win32Handle.h"
#include "base/Win32Volumes.h"

#include <winioctl.h>

#include <kestrune/disk_numbers.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

namespace kestrune::engine {

namespace {

using win32::kShareReadWrite;
// Unbuffered I/O wants its memory aligned to the sector; a page covers every sector size.
constexpr size_t kMemoryAlignment = 4096;
constexpr size_t kBounceBytes = 1u << 20;
// Beyond this no disk is measured by reading (2^50 bytes).
constexpr uint64_t kMostBytes = uint64_t{1} << 50;

using Handle = win32::Handle<Win32Calls>;
using win32::control;

// The device does not know the request (Wine's drive letters know few).
bool unsupported(DWORD error) {
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

bool isLetter(uint32_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The drive letter the program found on the disk still lies on a disk of that number: a
// stick swapped for another under the same number since is never written.
int32_t checkDriveLetter(const Win32Calls& calls, uint32_t driveLetter, uint32_t deviceNumber) {
    if (!isLetter(driveLetter))
        return 0;
    const wchar_t path[] = {L'\\', L'\\', L'.', L'\\', static_cast<wchar_t>(driveLetter),
                            L':',  L'\0'};
    Handle volume(calls,
                  calls.createFile(path, 0, kShareReadWrite, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!volume.valid())
        return 0; // the letter has gone with its volume; the number alone decides
    STORAGE_DEVICE_NUMBER number{};
    if (control(calls, volume.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, &number, sizeof number) != 0)
        return 0;
    return number.DeviceNumber == deviceNumber ? 0 : SHRED_STATUS_FAILED_MEDIA;
}

// 0 when the disk takes writes or cannot say, else the status of why it does not.
int32_t writableStatus(const Win32Calls& calls, HANDLE disk) {
    const DWORD error = control(calls, disk, IOCTL_DISK_IS_WRITABLE);
    return error == 0 || unsupported(error) ? 0 : statusFromWin32(error);
}

size_t sectorSize(const Win32Calls& calls, HANDLE disk) {
    DISK_GEOMETRY_EX geometry{};
    if (control(calls, disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, &geometry, sizeof geometry) == 0) {
        const DWORD bytes = geometry.Geometry.BytesPerSector;
        if (bytes >= 512 && bytes <= 65536 && (bytes & (bytes - 1)) == 0)
            return bytes;
    }
    return 512;
}

// Whether the sector at this index reads: 1 yes, 0 it lies past the end, else a status.
int32_t sectorReads(const Win32Calls& calls, HANDLE disk, AlignedBuffer& buffer, size_t sector,
                    uint64_t index) {
    OVERLAPPED at{};
    const uint64_t offset = index * sector;
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD done = 0;
    if (!calls.readFile(disk, buffer.data(), static_cast<DWORD>(sector), &done, &at)) {
        const DWORD error = calls.getLastError();
        return error == ERROR_HANDLE_EOF ? 0 : statusFromWin32(error);
    }
    return done == sector ? 1 : 0;
}

// Where a disk that does not tell its length ends: the last sector that reads.
int32_t lengthByReading(const Win32Calls& calls, HANDLE disk, size_t sector, uint64_t& size) {
    AlignedBuffer buffer(sector);
    if (!buffer)
        return ENGINE_STATUS_NO_RESOURCES;
    int32_t reads = sectorReads(calls, disk, buffer, sector, 0);
    if (reads != 1)
        return reads == 0 ? SHRED_STATUS_FAILED_MEDIA : reads;
    uint64_t low = 0;  // reads
    uint64_t high = 1; // not known yet
    while ((reads = sectorReads(calls, disk, buffer, sector, high)) == 1) {
        low = high;
        high *= 2;
        if (high * sector > kMostBytes)
            return SHRED_STATUS_FAILED_MEDIA;
    }
    if (reads != 0)
        return reads;
    while (high - low > 1) {
        const uint64_t middle = low + (high - low) / 2;
        reads = sectorReads(calls, disk, buffer, sector, middle);
        if (reads == 1)
            low = middle;
        else if (reads == 0)
            high = middle;
        else
            return reads;
    }
    size = (low + 1) * sector;
    return 0;
}

void closeAll(const Win32Calls& calls, std::vector<HANDLE>& handles) {
    for (HANDLE handle : handles)
        calls.closeHandle(handle);
    handles.clear();
}

} // namespace

// The disk's sectors through its handle. Whole aligned sectors from aligned memory go
// straight to the disk; anything else passes through a buffer of whole sectors, read
// first where a write covers a sector only in part.
class WindowsDisk::Raw final : public BlockDevice {
public:
    Raw(const Win32Calls& calls, HANDLE handle, uint64_t size, size_t sector)
        : calls_(calls), handle_(handle), size_(size), sector_(sector) {}

    uint64_t size() const override { return size_; }
    size_t alignment() const override { return sector_; }
    bool readOnly() const override { return false; }
    bool direct() const override { return true; }
    int writeAt(const void* data, size_t length, uint64_t offset) override {
        return transfer(true, static_cast<uint8_t*>(const_cast<void*>(data)), length, offset);
    }
    int readAt(void* data, size_t length, uint64_t offset) override {
        return transfer(false, static_cast<uint8_t*>(data), length, offset);
    }
    int sync() override {
        return calls_.flushFileBuffers(handle_) ? 0 : errnoFromWin32(calls_.getLastError());
    }

private:
    int transfer(bool write, uint8_t* data, size_t length, uint64_t offset) {
        if (offset > size_ || length > size_ - offset)
            return write ? ENOSPC : EIO;
        if (offset % sector_ == 0 && length % sector_ == 0 &&
            reinterpret_cast<uintptr_t>(data) % kMemoryAlignment == 0)
            return win32Transfer(calls_, handle_, write, data, length, offset);
        if (!bounce_) {
            bounce_ = std::make_unique<AlignedBuffer>(std::max(kBounceBytes, sector_));
            if (!*bounce_) {
                bounce_.reset();
                return ENOMEM;
            }
        }
        uint8_t* const buffer = bounce_->data();
        while (length > 0) {
            const uint64_t start = offset - offset % sector_;
            const size_t skip = static_cast<size_t>(offset - start);
            const size_t wanted = skip + length;
            const size_t span =
                std::min(bounce_->size(), (wanted + sector_ - 1) / sector_ * sector_);
            const size_t take = std::min(length, span - skip);
            if (!write || skip != 0 || take != span) {
                if (int rc = win32Transfer(calls_, handle_, false, buffer, span, start))
                    return rc;
            }
            if (write) {
                std::memcpy(buffer + skip, data, take);
                if (int rc = win32Transfer(calls_, handle_, true, buffer, span, start))
                    return rc;
            } else {
                std::memcpy(data, buffer + skip, take);
            }
            data += take;
            length -= take;
            offset += take;
        }
        return 0;
    }

    const Win32Calls& calls_;
    HANDLE handle_;
    uint64_t size_;
    size_t sector_;
    std::unique_ptr<AlignedBuffer> bounce_; // one call at a time: see concurrentReads()
};

int32_t statusFromWin32(DWORD error) {
    switch (errnoFromWin32(error)) {
    case EACCES:
        return SHRED_STATUS_FAILED_PERMISSION;
    case EROFS:
        return SHRED_STATUS_FAILED_WRITE_PROTECTED;
    case EBUSY:
        return SHRED_STATUS_FAILED_HELD; // another program has it open or locked
    case ENOMEM:
        return ENGINE_STATUS_NO_RESOURCES;
    default:
        return SHRED_STATUS_FAILED_MEDIA;
    }
}

int32_t WindowsDisk::open(const Win32Calls& calls, const std::wstring& path, uint32_t deviceNumber,
                          uint32_t driveLetter, const WindowsDiskOptions& options,
                          std::unique_ptr<WindowsDisk>& disk) {
    disk.reset();
    Handle handle(calls,
                  calls.createFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareReadWrite,
                                   nullptr, OPEN_EXISTING,
                                   FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!handle.valid())
        return statusFromWin32(calls.getLastError());
    if (options.requireRemovable) {
        if (!win32::isRemovableDisk(calls, handle.get()))
            return SHRED_STATUS_FAILED_MEDIA;
    }
    if (int32_t status = checkDriveLetter(calls, driveLetter, deviceNumber))
        return status;
    if (int32_t status = writableStatus(calls, handle.get()))
        return status;

    const size_t sector = sectorSize(calls, handle.get());
    uint64_t size = 0;
    GET_LENGTH_INFORMATION length{};
    const DWORD lengthError =
        control(calls, handle.get(), IOCTL_DISK_GET_LENGTH_INFO, &length, sizeof length);
    const bool sizeByLength = lengthError == 0;
    if (sizeByLength)
        size = static_cast<uint64_t>(std::max<LONGLONG>(length.Length.QuadPart, 0));
    else if (!unsupported(lengthError))
        return statusFromWin32(lengthError);
    else if (int32_t status = lengthByReading(calls, handle.get(), sector, size))
        return status;
    size -= size % sector;
    if (size == 0)
        return SHRED_STATUS_FAILED_MEDIA;

    std::vector<std::wstring> names;
    DWORD error = 0;
    switch (win32::volumesOnDisk(calls, deviceNumber, names, error)) {
    case win32::VolumeListing::Listed:
        break;
    case win32::VolumeListing::SystemDisk:
        return SHRED_STATUS_FAILED_SYSTEM_DISK;
    case win32::VolumeListing::SystemUnknown:
    case win32::VolumeListing::ListFailed:
        return SHRED_STATUS_FAILED_BUSY;
    }
    std::vector<HANDLE> volumes;
    const win32::VolumeLocking locking =
        win32::lockAndDismount(calls, names, options.lockWait, volumes, error);
    if (locking != win32::VolumeLocking::Locked) {
        closeAll(calls, volumes);
        return locking == win32::VolumeLocking::OpenFailed && error == ERROR_ACCESS_DENIED
                   ? SHRED_STATUS_FAILED_PERMISSION
                   : SHRED_STATUS_FAILED_BUSY;
    }
    disk.reset(
        new WindowsDisk(calls, handle.release(), std::move(volumes), size, sector, sizeByLength));
    return 0;
}

WindowsDisk::WindowsDisk(const Win32Calls& calls, HANDLE handle, std::vector<HANDLE> volumes,
                         uint64_t size, size_t sector, bool sizeByLength)
    : calls_(calls), handle_(handle), volumes_(std::move(volumes)),
      device_(std::make_unique<Raw>(calls, handle, size, sector)), sizeByLength_(sizeByLength) {}

WindowsDisk::~WindowsDisk() {
    device_.reset();
    calls_.closeHandle(handle_);
    closeAll(calls_, volumes_); // the volumes mount again when next used
}

BlockDevice& WindowsDisk::device() {
    return *device_;
}

int32_t WindowsDisk::mediumCheck() {
    if (int32_t status = writableStatus(calls_, handle_))
        return status;
    const uint64_t size = device_->size();
    if (sizeByLength_) {
        GET_LENGTH_INFORMATION length{};
        if (control(calls_, handle_, IOCTL_DISK_GET_LENGTH_INFO, &length, sizeof length) != 0 ||
            length.Length.QuadPart < static_cast<LONGLONG>(size))
            return SHRED_STATUS_FAILED_MEDIA;
        return 0;
    }
    AlignedBuffer buffer(device_->alignment());
    if (!buffer)
        return ENGINE_STATUS_NO_RESOURCES;
    const uint64_t last = size / device_->alignment() - 1;
    const int32_t reads = sectorReads(calls_, handle_, buffer, device_->alignment(), last);
    return reads == 1 ? 0 : reads == 0 ? SHRED_STATUS_FAILED_MEDIA : reads;
}

void WindowsDisk::jobEnded() {
    (void)control(calls_, handle_, IOCTL_DISK_UPDATE_PROPERTIES);
}

std::wstring physicalDrivePath(uint32_t deviceNumber) {
    return L"\\\\.\\PhysicalDrive" + std::to_wstring(deviceNumber);
}

int32_t shredWindowsDisk(const Win32Calls& calls, const std::wstring& path, uint32_t deviceNumber,
                         uint32_t driveLetter, int32_t algorithm, ShredStatusCallback callback,
                         void* context, const unsigned char* abortFlag,
                         const WindowsDiskOptions& options, const JobOptions& jobOptions) {
    std::vector<Pass> plan;
    if (!passPlan(algorithm, plan))
        return ENGINE_STATUS_BAD_REQUEST;
    std::unique_ptr<WindowsDisk> disk;
    if (int32_t status = WindowsDisk::open(calls, path, deviceNumber, driveLetter, options, disk))
        return status;
    return runDiskJob(*disk, plan, static_cast<int32_t>(deviceNumber), callback, context, abortFlag,
                      jobOptions);
}

namespace {

// A simulated disk: an image file the program lists in place of real disks.
class ImageJobDisk final : public JobDisk {
public:
    explicit ImageJobDisk(std::unique_ptr<HandleBlockDevice> image)
        : image_(std::move(image)), size_(image_->size()) {}
    BlockDevice& device() override { return *image_; }
    // A deleted or shrunk image is a pulled stick.
    int32_t mediumCheck() override {
        return image_->currentSize() < size_ ? SHRED_STATUS_FAILED_MEDIA : 0;
    }

private:
    std::unique_ptr<HandleBlockDevice> image_;
    uint64_t size_;
};

std::wstring widePath(const char* utf8) {
    const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (size <= 1)
        return {};
    std::wstring path(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, path.data(), size);
    path.resize(path.size() - 1);
    return path;
}

// N of "\\.\PhysicalDriveN", the only real disks the program lists.
std::optional<uint32_t> physicalDriveNumber(const std::wstring& path) {
    const std::wstring prefix = L"\\\\.\\PhysicalDrive";
    if (path.size() <= prefix.size() || path.size() > prefix.size() + 9 ||
        path.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    uint32_t number = 0;
    for (size_t i = prefix.size(); i < path.size(); ++i) {
        if (path[i] < L'0' || path[i] > L'9')
            return std::nullopt;
        number = number * 10 + static_cast<uint32_t>(path[i] - L'0');
    }
    return number;
}

} // namespace

int32_t shredListedDisk(uint32_t driveLetter, uint32_t deviceNumber, int32_t algorithm,
                        ShredStatusCallback callback, void* context,
                        const unsigned char* abortFlag) {
    std::vector<Pass> plan;
    if (!passPlan(algorithm, plan))
        return ENGINE_STATUS_BAD_REQUEST;
    // The number is the program's: the pool says which disk it stands for.
    KestruneDiskIdentity identity{};
    if (!kestrune_disk_number_resolve(deviceNumber, &identity))
        return SHRED_STATUS_FAILED_MEDIA;
    identity.path[sizeof identity.path - 1] = '\0';
    const std::wstring path = widePath(identity.path);
    if (identity.simulated) {
        int error = 0;
        std::unique_ptr<HandleBlockDevice> image = HandleBlockDevice::openImage(path, &error);
        if (!image)
            return error == EROFS ? SHRED_STATUS_FAILED_WRITE_PROTECTED : SHRED_STATUS_FAILED_MEDIA;
        if (image->readOnly())
            return SHRED_STATUS_FAILED_WRITE_PROTECTED;
        ImageJobDisk disk(std::move(image));
        return runDiskJob(disk, plan, static_cast<int32_t>(deviceNumber), callback, context,
                          abortFlag);
    }
    const std::optional<uint32_t> physical = physicalDriveNumber(path);
    if (!physical)
        return SHRED_STATUS_FAILED_MEDIA;
    std::unique_ptr<WindowsDisk> disk;
    if (int32_t status =
            WindowsDisk::open(systemWin32Calls(), path, *physical, driveLetter, {}, disk))
        return status;
    return runDiskJob(*disk, plan, static_cast<int32_t>(deviceNumber), callback, context,
                      abortFlag);
}

} // namespace kestrune::engine
