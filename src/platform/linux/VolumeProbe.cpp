#include "platform/linux/VolumeProbe.h"

#include <QFile>
#include <atomic>
#include <blkid/blkid.h>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <unistd.h>

namespace kestrune::platform::linux_impl {

namespace {

struct ProbeHandle {
    blkid_probe probe = nullptr;
    int fd = -1;
    ~ProbeHandle() {
        if (probe)
            blkid_free_probe(probe);
        if (fd >= 0)
            ::close(fd);
    }
};

bool openProbe(ProbeHandle& handle, const QByteArray& path, std::uint64_t offset,
               std::uint64_t size) {
    // O_NONBLOCK: an empty card reader must not stall the scan.
    handle.fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (handle.fd < 0)
        return false;
    handle.probe = blkid_new_probe();
    if (!handle.probe)
        return false;
    return blkid_probe_set_device(handle.probe, handle.fd, static_cast<blkid_loff_t>(offset),
                                  static_cast<blkid_loff_t>(size)) == 0;
}

QByteArray lookup(blkid_probe probe, const char* name) {
    const char* value = nullptr;
    size_t length = 0;
    if (blkid_probe_lookup_value(probe, name, &value, &length) != 0 || !value)
        return {};
    // The length counts the terminating NUL.
    return QByteArray(value, static_cast<qsizetype>(length > 0 ? length - 1 : 0));
}

constexpr int kTimeLimitMs = 1500;
std::mutex hangingMutex;
std::set<QByteArray> hanging; // devices whose probe has not returned yet

// Runs probe on a thread of its own and waits a bounded time for it. A probe that outlives
// the wait is left to finish on its own; until it has, its device is not probed again.
template <typename Result, typename Probe>
std::optional<Result> withinTimeLimit(const QByteArray& device, Probe probe) {
    {
        std::lock_guard guard(hangingMutex);
        if (hanging.count(device))
            return std::nullopt;
    }
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Result> result;
        bool abandoned = false;
    };
    auto state = std::make_shared<State>();
    try {
        std::thread([state, device, probe] {
            Result result = probe();
            std::lock_guard guard(state->mutex);
            state->result = std::move(result);
            if (state->abandoned) {
                std::lock_guard hangingGuard(hangingMutex);
                hanging.erase(device);
            }
            state->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return probe(); // no thread to spare: probe here
    }
    std::unique_lock guard(state->mutex);
    if (!state->done.wait_for(guard, std::chrono::milliseconds(kTimeLimitMs),
                              [&] { return state->result.has_value(); })) {
        state->abandoned = true;
        std::lock_guard hangingGuard(hangingMutex);
        hanging.insert(device);
        return std::nullopt;
    }
    return std::move(state->result);
}

FileSystemProbe probeFileSystemNow(const QByteArray& path, std::uint64_t offset,
                                   std::uint64_t size) {
    FileSystemProbe result;
    ProbeHandle handle;
    if (!openProbe(handle, path, offset, size))
        return result;
    blkid_probe_enable_partitions(handle.probe, 0);
    blkid_probe_enable_superblocks(handle.probe, 1);
    blkid_probe_set_superblocks_flags(handle.probe,
                                      BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_UUID);
    if (blkid_do_safeprobe(handle.probe) != 0)
        return result;
    const QByteArray type = lookup(handle.probe, "TYPE");
    if (type.isEmpty())
        return result;
    result.found = true;
    result.type = QString::fromLatin1(type);
    result.label = lookup(handle.probe, "LABEL");
    result.uuid = lookup(handle.probe, "UUID");
    return result;
}

std::vector<PartitionProbe> probePartitionsNow(const QByteArray& path) {
    std::vector<PartitionProbe> result;
    ProbeHandle handle;
    if (!openProbe(handle, path, 0, 0))
        return result;
    blkid_probe_enable_superblocks(handle.probe, 0);
    blkid_probe_enable_partitions(handle.probe, 1);
    if (blkid_do_safeprobe(handle.probe) != 0)
        return result;
    blkid_partlist list = blkid_probe_get_partitions(handle.probe);
    if (!list)
        return result;
    const int count = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < count; ++i) {
        blkid_partition partition = blkid_partlist_get_partition(list, i);
        if (!partition || blkid_partition_is_extended(partition))
            continue;
        const blkid_loff_t start = blkid_partition_get_start(partition);
        const blkid_loff_t length = blkid_partition_get_size(partition);
        if (start < 0 || length <= 0)
            continue;
        PartitionProbe entry;
        entry.number = blkid_partition_get_partno(partition);
        // libblkid counts partitions in 512-byte units whatever the device's sector size.
        entry.offset = static_cast<std::uint64_t>(start) * 512;
        entry.size = static_cast<std::uint64_t>(length) * 512;
        entry.fileSystem = probeFileSystemNow(path, entry.offset, entry.size);
        result.push_back(std::move(entry));
    }
    return result;
}

} // namespace

FileSystemProbe probeFileSystem(const QByteArray& path, std::uint64_t offset, std::uint64_t size) {
    auto result = withinTimeLimit<FileSystemProbe>(
        path, [path, offset, size] { return probeFileSystemNow(path, offset, size); });
    if (result)
        return *result;
    FileSystemProbe timedOut;
    timedOut.timedOut = true;
    return timedOut;
}

std::vector<PartitionProbe> probePartitions(const QByteArray& path, bool* timedOut) {
    auto result = withinTimeLimit<std::vector<PartitionProbe>>(
        path, [path] { return probePartitionsNow(path); });
    if (timedOut)
        *timedOut = !result;
    return result.value_or(std::vector<PartitionProbe>{});
}

} // namespace kestrune::platform::linux_impl
