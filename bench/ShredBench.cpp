// kestrune_bench zero|random|verify|verify-random <path>: runs one engine pass (or a zero or
// random pass and its read-back) on a file or a disk and prints the speed of the measured
// part in MB/s.
// kestrune_bench job|passes <algorithm> <path>: runs a whole job with its capacity check, or
// only its passes and read-back, and prints "<seconds> <status> <usable bytes>".
#include "shredengine/DiskAccess.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

using namespace kestrune::engine;
using namespace kestrune::blockio;
using Clock = std::chrono::steady_clock;

namespace {

class Timer : public JobObserver {
public:
    void passStarted(size_t, const Pass&) override { start = Clock::now(); }
    void passFinished(size_t, const Pass&) override { passEnd = Clock::now(); }
    void verificationStarted() override { verifyStart = Clock::now(); }
    Clock::time_point start, passEnd, verifyStart;
};

class NoProgress : public ProgressSink {
public:
    void progress(int, int64_t, int64_t, double) override {}
};

std::unique_ptr<OpenDisk> openTarget(const char* path) {
    KestruneDiskIdentity id{};
    std::snprintf(id.path, sizeof id.path, "%s", path);
    struct stat st {};
    if (stat(id.path, &st) != 0) {
        std::perror(id.path);
        return nullptr;
    }
    if (S_ISBLK(st.st_mode)) {
        id.devt = st.st_rdev;
        id.diskseq = readDiskFacts("/sys", st.st_rdev).diskseq;
    } else {
        id.devt = st.st_dev;
        id.diskseq = st.st_ino;
        id.simulated = 1;
    }
    DiskAccessOptions access;
    access.requireRemovable = false; // a benchmark target is a file or a loop device
    std::unique_ptr<OpenDisk> disk;
    if (const DiskAccess opened = openDiskForWriting(id, access, true, disk);
        opened != DiskAccess::Granted) {
        std::fprintf(stderr, "cannot open %s: it %s\n", id.path, describe(opened));
        return nullptr;
    }
    return disk;
}

// A whole job with its capacity check, or its passes alone, timed from start to end.
int runJobMode(bool withCheck, int32_t algorithm, const char* path) {
    std::vector<Pass> plan;
    if (!passPlan(algorithm, plan)) {
        std::fprintf(stderr, "unknown algorithm %d\n", algorithm);
        return 2;
    }
    std::unique_ptr<OpenDisk> disk = openTarget(path);
    if (!disk)
        return 1;
    NoProgress sink;
    JobOptions options;
    JobOutcome outcome;
    const auto start = Clock::now();
    const int32_t status = withCheck
                               ? runJob(disk->device(), plan, sink, nullptr, options, outcome)
                               : runPasses(disk->device(), plan, sink, nullptr, options, &outcome);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const uint64_t usable = withCheck ? outcome.usableBytes.value_or(0) : disk->device().size();
    std::printf("%.3f %d %llu\n", seconds, status, static_cast<unsigned long long>(usable));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && (std::strcmp(argv[1], "job") == 0 || std::strcmp(argv[1], "passes") == 0))
        return runJobMode(std::strcmp(argv[1], "job") == 0, std::atoi(argv[2]), argv[3]);
    if (argc != 3 || (std::strcmp(argv[1], "zero") && std::strcmp(argv[1], "random") &&
                      std::strcmp(argv[1], "verify") && std::strcmp(argv[1], "verify-random"))) {
        std::fprintf(stderr,
                     "usage: %s zero|random|verify|verify-random <file or disk>\n"
                     "       %s job|passes <algorithm> <file or disk>\n",
                     argv[0], argv[0]);
        return 2;
    }
    std::unique_ptr<OpenDisk> disk = openTarget(argv[2]);
    if (!disk)
        return 1;
    const bool verify = std::strncmp(argv[1], "verify", 6) == 0;
    const bool randomData =
        std::strcmp(argv[1], "random") == 0 || std::strcmp(argv[1], "verify-random") == 0;
    Timer timer;
    JobOptions options;
    options.verify = verify;
    options.observer = &timer;
    NoProgress sink;
    std::vector<Pass> plan{randomData ? randomPass() : patternPass(0)};
    int32_t status = runPasses(disk->device(), plan, sink, nullptr, options);
    auto end = Clock::now();
    if (status != SHRED_STATUS_SHREDDED) {
        std::fprintf(stderr, "job failed: status %d\n", status);
        return 1;
    }
    auto from = verify ? timer.verifyStart : timer.start;
    auto to = verify ? end : timer.passEnd;
    double seconds = std::chrono::duration<double>(to - from).count();
    std::printf("%.1f\n", double(disk->device().size()) / seconds / 1e6);
    std::fprintf(stderr, "direct I/O: %s, buffers: %zu MiB\n",
                 disk->device().direct() ? "yes" : "no", jobBufferBytes(options) >> 20);
    return 0;
}
