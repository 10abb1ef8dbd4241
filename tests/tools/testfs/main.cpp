// kestrune-testfs: one image file on a FUSE mount, with the faults tests need
// (counterfeit controllers of several kinds, a bad block, a steady rate with a cost per
// scattered request, requests that hang while a flag file exists).
#define FUSE_USE_VERSION 312

#include "FakeController.h"
#include "TestFsOptions.h"
#include "Throttle.h"

#include <fuse.h>
#include <fuse_lowlevel.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestrune::testfs {
namespace {

struct FileSystem {
    FileSystem(const TestFsOptions& given)
        : options(given), imagePath("/" + given.fileName), controller(given), throttle(given.rate),
          size(given.size) {
        throttle.setScatteredCost(std::chrono::microseconds(given.scatteredWriteMicros),
                                  std::chrono::microseconds(given.scatteredReadMicros));
    }

    const TestFsOptions options;
    const std::string imagePath;
    const uid_t owner = ::getuid();
    const gid_t group = ::getgid();
    const timespec mounted = [] {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        return now;
    }();
    FakeController controller;
    Throttle throttle;
    std::atomic<bool> outOfMemoryReported{false};
    // A medium may shrink under a job (a card that fails, a loop device resized), never grow.
    std::atomic<std::uint64_t> size;
};

FileSystem& fileSystem() {
    return *static_cast<FileSystem*>(fuse_get_context()->private_data);
}

bool isImage(const char* path) {
    return fileSystem().imagePath == path;
}

// Polled rather than watched: the flag may live on any file system, and a hung device
// need not answer promptly when it comes back. The loop cannot cancel a request being
// served, so a stalled one gives up by itself once the file system is asked to end.
bool waitWhileStalled(bool writing) {
    const TestFsOptions& options = fileSystem().options;
    if (options.stallFlag.empty() ||
        options.stallWhat == (writing ? StallWhat::Reads : StallWhat::Writes))
        return true;
    fuse_session* session = fuse_get_session(fuse_get_context()->fuse);
    struct stat flag {};
    bool held = false;
    while (::stat(options.stallFlag.c_str(), &flag) == 0) {
        if (!held) {
            // Tells a test that a request really hangs now, not merely that it may soon.
            const std::string heldMark = options.stallFlag + ".held";
            if (FILE* mark = std::fopen(heldMark.c_str(), "w"))
                std::fclose(mark);
            held = true;
        }
        if (fuse_session_exited(session))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

int getAttributes(const char* path, struct stat* st, fuse_file_info*) {
    const FileSystem& fs = fileSystem();
    *st = {};
    st->st_uid = fs.owner;
    st->st_gid = fs.group;
    st->st_atim = st->st_mtim = st->st_ctim = fs.mounted;
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (!isImage(path))
        return -ENOENT;
    st->st_mode = S_IFREG | 0666;
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(fs.size.load());
    st->st_blksize = 4096;
    st->st_blocks = static_cast<blkcnt_t>(fs.controller.storedBytes() / 512);
    return 0;
}

int readDirectory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
                  fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0)
        return -ENOTDIR;
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
    fill(buffer, fileSystem().options.fileName.c_str(), nullptr, 0, fuse_fill_dir_flags{});
    return 0;
}

int openImage(const char* path, fuse_file_info* info) {
    if (!isImage(path))
        return -ENOENT;
    info->direct_io = fileSystem().options.directIo;
    return 0;
}

int refuseNewEntry(const char*, mode_t) {
    return -EPERM;
}

int refuseCreate(const char*, mode_t, fuse_file_info*) {
    return -EPERM;
}

int refuseNewNode(const char*, mode_t, dev_t) {
    return -EPERM;
}

// Truncating shrinks the modelled device; it cannot grow.
int truncateImage(const char* path, off_t size, fuse_file_info*) {
    if (!isImage(path))
        return -ENOENT;
    FileSystem& fs = fileSystem();
    const auto wanted = static_cast<std::uint64_t>(size);
    std::uint64_t current = fs.size.load();
    while (wanted < current && !fs.size.compare_exchange_weak(current, wanted)) {
    }
    return wanted <= current ? 0 : -EPERM;
}

int readImage(const char* path, char* buffer, size_t length, off_t offset, fuse_file_info*) {
    FileSystem& fs = fileSystem();
    if (!isImage(path))
        return -ENOENT;
    if (!waitWhileStalled(false))
        return -EIO;
    const auto start = static_cast<std::uint64_t>(offset);
    const std::uint64_t size = fs.size.load();
    if (start >= size)
        return 0;
    length = static_cast<size_t>(std::min<std::uint64_t>(length, size - start));
    fs.throttle.request(false, start, length);
    if (int rc = fs.controller.read(buffer, length, start))
        return -rc;
    return static_cast<int>(length);
}

int writeImage(const char* path, const char* data, size_t length, off_t offset, fuse_file_info*) {
    FileSystem& fs = fileSystem();
    if (!isImage(path))
        return -ENOENT;
    if (!waitWhileStalled(true))
        return -EIO;
    const auto start = static_cast<std::uint64_t>(offset);
    const std::uint64_t size = fs.size.load();
    if (start >= size)
        return -ENOSPC;
    length = static_cast<size_t>(std::min<std::uint64_t>(length, size - start));
    fs.throttle.request(true, start, length);
    try {
        if (int rc = fs.controller.write(data, length, start))
            return -rc;
    } catch (const std::bad_alloc&) {
        if (!fs.outOfMemoryReported.exchange(true))
            std::fprintf(stderr, "kestrune-testfs: out of memory for the image's data\n");
        return -ENOSPC;
    }
    return static_cast<int>(length);
}

int syncImage(const char*, int, fuse_file_info*) {
    return 0;
}

int fileSystemStatistics(const char*, struct statvfs* st) {
    const FileSystem& fs = fileSystem();
    *st = {};
    st->f_bsize = st->f_frsize = 4096;
    const std::uint64_t size = fs.size.load();
    st->f_blocks = size / 4096;
    st->f_bfree = st->f_bavail = (size - std::min(size, fs.controller.storedBytes())) / 4096;
    st->f_files = 1;
    st->f_namemax = 255;
    return 0;
}

// The stored size shows in st_blocks, which must not be served stale from the kernel.
void* initialise(fuse_conn_info*, fuse_config* config) {
    config->attr_timeout = 0;
    return fuse_get_context()->private_data;
}

fuse_operations operations() {
    fuse_operations ops{};
    ops.init = initialise;
    ops.getattr = getAttributes;
    ops.readdir = readDirectory;
    ops.open = openImage;
    ops.create = refuseCreate;
    ops.mknod = refuseNewNode;
    ops.mkdir = refuseNewEntry;
    ops.truncate = truncateImage;
    ops.read = readImage;
    ops.write = writeImage;
    ops.fsync = syncImage;
    ops.statfs = fileSystemStatistics;
    return ops;
}

int run(const TestFsOptions& options) {
    FileSystem fs(options);
    std::string mountOptions = "fsname=kestrune-testfs,subtype=kestrune-testfs";
    if (options.allowOther)
        mountOptions += ",allow_other";
    char program[] = "kestrune-testfs";
    char dashO[] = "-o";
    char* argv[] = {program, dashO, mountOptions.data(), nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    const fuse_operations ops = operations();
    fuse* session = fuse_new(&args, &ops, sizeof ops, &fs);
    if (!session) {
        std::fprintf(stderr, "kestrune-testfs: the FUSE session could not be set up\n");
        return 1;
    }
    int result = 1;
    if (fuse_set_signal_handlers(fuse_get_session(session)) != 0) {
        std::fprintf(stderr, "kestrune-testfs: cannot handle SIGTERM and SIGINT\n");
    } else {
        if (fuse_mount(session, options.mountPoint.c_str()) != 0) {
            std::fprintf(stderr, "kestrune-testfs: cannot mount on %s\n",
                         options.mountPoint.c_str());
        } else {
            std::fputs("ready\n", stdout);
            std::fflush(stdout);
            fuse_loop_config* loop = fuse_loop_cfg_create();
            // Stalled requests each hold a thread; the others must still be answered.
            fuse_loop_cfg_set_max_threads(loop, 64);
            const int loopResult = fuse_loop_mt(session, loop);
            fuse_loop_cfg_destroy(loop);
            // A signal ends the loop with its number; anything negative is a failure.
            if (loopResult < 0)
                std::fprintf(stderr, "kestrune-testfs: the request loop failed: %s\n",
                             std::strerror(-loopResult));
            result = loopResult < 0 ? 1 : 0;
            fuse_unmount(session);
        }
        fuse_remove_signal_handlers(fuse_get_session(session));
    }
    fuse_destroy(session);
    return result;
}

} // namespace
} // namespace kestrune::testfs

int main(int argc, char** argv) {
    using namespace kestrune::testfs;
    TestFsOptions options;
    const std::string error = parseOptions({argv + 1, argv + argc}, options);
    if (!error.empty()) {
        std::fprintf(stderr, "kestrune-testfs: %s\n%s", error.c_str(), usageText());
        return 2;
    }
    return run(options);
}
