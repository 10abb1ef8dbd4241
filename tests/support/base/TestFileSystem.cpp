#include "TestFileSystem.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libmount.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace kestrune::test {

namespace {

constexpr int readyTimeoutMs = 10000;
constexpr int exitTimeoutMs = 10000;

QString toolPath() {
    return QStringLiteral(KESTRUNE_TESTFS);
}

} // namespace

QString TestFileSystem::unavailableReason() {
    if (::geteuid() != 0)
        return QStringLiteral("mounting the test file system needs root");
    if (toolPath().isEmpty())
        return QStringLiteral("kestrune-testfs was not built (libfuse3 was not found)");
    if (!QFileInfo(toolPath()).isExecutable())
        return QStringLiteral("kestrune-testfs is missing at ") + toolPath();
    QFile filesystems(QStringLiteral("/proc/filesystems"));
    if (!filesystems.open(QIODevice::ReadOnly) || !filesystems.readAll().contains("\tfuse\n"))
        return QStringLiteral("the kernel has no FUSE");
    const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0)
        return QStringLiteral("cannot open /dev/fuse: ") +
               QString::fromLocal8Bit(std::strerror(errno));
    ::close(fuse);
    return {};
}

bool TestFileSystem::isMountPoint(const QString& directory) {
    libmnt_table* table = mnt_new_table_from_file("/proc/self/mountinfo");
    if (!table)
        return false;
    // Without a path cache only the exact path matches: nothing below the mount is touched.
    const QByteArray path = QDir::cleanPath(directory).toLocal8Bit();
    const bool found = mnt_table_find_target(table, path.constData(), MNT_ITER_BACKWARD);
    mnt_unref_table(table);
    return found;
}

TestFileSystem::TestFileSystem(const TestFileSystemOptions& options) : fileName_(options.fileName) {
    mount(options);
}

TestFileSystem::~TestFileSystem() {
    unmount();
}

void TestFileSystem::mount(const TestFileSystemOptions& options) {
    const QString reason = unavailableReason();
    if (!reason.isEmpty()) {
        error_ = reason;
        return;
    }
    if (!work_.isValid()) {
        error_ = QStringLiteral("no temporary folder: ") + work_.errorString();
        return;
    }
    mountDir_ = work_.filePath(QStringLiteral("mnt"));
    stallFlag_ =
        options.stallFlag.isEmpty() ? work_.filePath(QStringLiteral("stall")) : options.stallFlag;
    if (!QDir().mkpath(mountDir_)) {
        error_ = QStringLiteral("cannot create ") + mountDir_;
        return;
    }

    QStringList args{mountDir_,
                     QStringLiteral("--file"),
                     options.fileName,
                     QStringLiteral("--size"),
                     QString::number(options.size),
                     QStringLiteral("--stall-flag"),
                     stallFlag_,
                     QStringLiteral("--stall-what")};
    using StallWhat = TestFileSystemOptions::StallWhat;
    args << (options.stallWhat == StallWhat::Reads    ? QStringLiteral("reads")
             : options.stallWhat == StallWhat::Writes ? QStringLiteral("writes")
                                                      : QStringLiteral("all"));
    if (options.usable != 0) {
        args << QStringLiteral("--usable") << QString::number(options.usable)
             << QStringLiteral("--past-usable")
             << (options.pastUsable == TestFileSystemOptions::PastUsable::Wrap
                     ? QStringLiteral("wrap")
                 : options.pastUsable == TestFileSystemOptions::PastUsable::Drop
                     ? QStringLiteral("drop")
                     : QStringLiteral("end"))
             << QStringLiteral("--wrap-offset") << QString::number(options.wrapOffset);
        if (options.flashOrder != TestFileSystemOptions::FlashOrder::ByAddress)
            args << QStringLiteral("--flash-order")
                 << (options.flashOrder == TestFileSystemOptions::FlashOrder::Drop
                         ? QStringLiteral("drop")
                         : QStringLiteral("reuse"));
    }
    if (options.smallWriteLog != 0)
        args << QStringLiteral("--small-write-log") << QString::number(options.smallWriteLog);
    if (options.readProtect)
        args << QStringLiteral("--read-protect");
    if (options.badBlock != TestFileSystemOptions::BadBlock::None)
        args << QStringLiteral("--bad-block") << QString::number(options.badBlockAt)
             << QStringLiteral("--bad-block-kind")
             << (options.badBlock == TestFileSystemOptions::BadBlock::Fails
                     ? QStringLiteral("fails")
                     : QStringLiteral("lies"));
    if (options.keepsNothing)
        args << QStringLiteral("--keep-nothing");
    if (options.cache != 0)
        args << QStringLiteral("--cache") << QString::number(options.cache);
    if (options.rate != 0)
        args << QStringLiteral("--rate") << QString::number(options.rate);
    if (options.directIo)
        args << QStringLiteral("--direct-io");
    if (options.allowOther)
        args << QStringLiteral("--allow-other");

    // Should the test program be killed (a timeout, a sanitizer's abort), the tool still
    // unmounts: it is told when the thread that started it ends.
    const pid_t parent = ::getpid();
    process_.setChildProcessModifier([parent] {
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)
            ::_exit(127);
    });
    process_.start(toolPath(), args);
    if (!process_.waitForStarted()) {
        error_ = QStringLiteral("kestrune-testfs did not start: ") + process_.errorString();
        return;
    }
    QByteArray output;
    const QDeadlineTimer deadline(readyTimeoutMs);
    while (!output.contains("ready\n")) {
        const bool more = process_.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        output += process_.readAllStandardOutput();
        if (more || output.contains("ready\n"))
            continue;
        if (process_.state() == QProcess::NotRunning)
            error_ = QStringLiteral("kestrune-testfs %1 ended before it was ready: %2")
                         .arg(args.join(' '),
                              QString::fromLocal8Bit(process_.readAllStandardError()).trimmed());
        else
            error_ = QStringLiteral("kestrune-testfs %1 was not ready within %2 s")
                         .arg(args.join(' '))
                         .arg(readyTimeoutMs / 1000);
        unmount();
        return;
    }
    if (!isMountPoint(mountDir_)) {
        error_ = QStringLiteral("kestrune-testfs said it was ready, but nothing is mounted on ") +
                 mountDir_;
        unmount();
    }
}

bool TestFileSystem::stall(bool on) {
    const QString held = stallFlag_ + QStringLiteral(".held");
    if (QFileInfo::exists(held) && !QFile::remove(held))
        return false;
    if (!on)
        return !QFileInfo::exists(stallFlag_) || QFile::remove(stallFlag_);
    QFile flag(stallFlag_);
    return flag.open(QIODevice::WriteOnly);
}

bool TestFileSystem::holdsARequest() const {
    return QFileInfo::exists(stallFlag_ + QStringLiteral(".held"));
}

// The process is asked to end first, so its own unmount runs; a lazy unmount catches a
// process that died without one.
void TestFileSystem::unmount() {
    if (!stallFlag_.isEmpty())
        stall(false);
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(exitTimeoutMs)) {
            process_.kill();
            process_.waitForFinished(exitTimeoutMs);
        }
    }
    if (mountDir_.isEmpty() || !isMountPoint(mountDir_))
        return;
    QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), mountDir_});
    if (isMountPoint(mountDir_)) {
        // Removing the folder would reach into whatever is still mounted there.
        work_.setAutoRemove(false);
        ADD_FAILURE() << "the test file system stays mounted on " << mountDir_.toStdString();
    }
}

} // namespace kestrune::test
