// Disks the running system depends on, made for real in a private mount namespace: a
// loop-backed disk mounted where a live system mounts its boot medium, or holding the layers
// of an overlay mounted at a system path, is never listed and never written.
#include "RealDiskWindow.h"

#include "shredengine/DiskAccess.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace kestrune;
using namespace kestrune::test;

namespace {

class SystemDisk : public RealDiskWindowTest {
protected:
    void SetUp() override {
        RealDiskWindowTest::SetUp();
        if (IsSkipped())
            return;
        if (!kernelHasFileSystem("ext4"))
            GTEST_SKIP() << "this kernel cannot mount ext4";
        // Everything mounted from here on stays inside this process.
        if (const QString reason = enterPrivateMountNamespace(); !reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        ASSERT_EQ(::mount("kestrune-run", "/run", "tmpfs", 0, "mode=0755"), 0);
        image = makeImage("live.img", 16 << 20);
        ASSERT_TRUE(makeExt4(image));
        loops.push_back(std::make_unique<LoopDisk>(image));
        ASSERT_TRUE(loops.back()->attached());
        device = loops.back()->device();
    }
    void TearDown() override {
        window.reset();
        for (auto it = mounted.rbegin(); it != mounted.rend(); ++it)
            ::umount2(QFile::encodeName(*it).constData(), MNT_DETACH);
        RealDiskWindowTest::TearDown();
    }
    void mountAt(const QString& source, const QString& target, const char* type,
                 const QByteArray& options = {}) {
        ASSERT_TRUE(QDir().mkpath(target));
        ASSERT_EQ(::mount(QFile::encodeName(source).constData(),
                          QFile::encodeName(target).constData(), type, 0,
                          options.isEmpty() ? nullptr : options.constData()),
                  0)
            << target.toStdString() << ": " << std::strerror(errno);
        mounted << target;
    }
    // Listed before; gone from the list once the system uses it; refused by the engine.
    void expectLeftAloneOnceTheSystemUsesIt(const std::function<void()>& makeItASystemDisk) {
        openWindow();
        const int row = waitForRowOf(device);
        ASSERT_GE(row, 0);
        const std::uint32_t number = window->listModel()->recordOfRow(row)->deviceNumber;
        makeItASystemDisk();
        ASSERT_TRUE(QTest::qWaitFor([&] { return rowOf(device) < 0; }, 10000));

        // A Start for the number the disk had finds nothing to start.
        window->OnWndMsg(0, 1124 + number);
        QTest::qWait(300);
        EXPECT_EQ(window->jobs().runningCount(), 0);
        // And the engine refuses the disk itself, before it unmounts anything.
        const QByteArray before = readBytes(image, 0, 1 << 20);
        EXPECT_EQ(engine::shredDisk(diskIdentityOf(device), 0, 100, nullptr, nullptr, nullptr),
                  SHRED_STATUS_FAILED_SYSTEM_DISK);
        EXPECT_TRUE(isMounted(device));
        EXPECT_EQ(readBytes(image, 0, 1 << 20), before);
        EXPECT_TRUE(reports().isEmpty());
    }

    QString image;
    QString device;
    QStringList mounted;
};

} // namespace

TEST_F(SystemDisk, TheBootMediumOfALiveSystemIsNeverListedNorWritten) {
    expectLeftAloneOnceTheSystemUsesIt(
        [&] { mountAt(device, QStringLiteral("/run/live/medium"), "ext4"); });
}

TEST_F(SystemDisk, TheLayersOfAnOverlayAtASystemPathAreNeverListedNorWritten) {
    if (!kernelHasFileSystem("overlay"))
        GTEST_SKIP() << "this kernel has no overlay file system";
    expectLeftAloneOnceTheSystemUsesIt([&] {
        // Mounted where a user mounts a stick, but an overlay at /opt is built on it.
        const QString user = QStringLiteral("/run/media/user/LIVE");
        mountAt(device, user, "ext4");
        for (const char* dir : {"lower", "upper", "work"})
            ASSERT_TRUE(QDir().mkpath(user + QLatin1Char('/') + QLatin1String(dir)));
        mountAt(QStringLiteral("overlay"), QStringLiteral("/opt"), "overlay",
                QStringLiteral("lowerdir=%1/lower,upperdir=%1/upper,workdir=%1/work")
                    .arg(user)
                    .toUtf8());
    });
}

TEST_F(SystemDisk, AStickTheUserMountedIsListedAndUnmountedForItsJob) {
    mountAt(device, QStringLiteral("/run/media/user/STICK"), "ext4");
    setAlgorithm(100);
    setFormat(false);
    openWindow();
    start(device);
    ASSERT_TRUE(waitUntilNoJobRuns());
    EXPECT_EQ(status(device), text("status_shredded"));
    EXPECT_FALSE(isMounted(device));
}
