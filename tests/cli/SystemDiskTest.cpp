// A disk the running system uses, made for real in a private mount namespace that the
// program inherits: a loop-backed disk mounted where a live system mounts its boot medium is
// neither listed nor erased, by its device nor by its image; a stick the user mounted is.
#include "CliTestSupport.h"

#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace kestrune;
using namespace kestrune::test;

namespace {

class CliSystemDisk : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (const QString reason = loopDevicesUnavailable(); !reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        if (!kernelHasFileSystem("ext4"))
            GTEST_SKIP() << "this kernel cannot mount ext4";
        // Everything mounted from here on stays inside this process and its children.
        if (const QString reason = enterPrivateMountNamespace(); !reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        ASSERT_EQ(::mount("kestrune-run", "/run", "tmpfs", 0, "mode=0755"), 0);
        image = makeImage(QStringLiteral("live.img"), 16 << 20);
        ASSERT_TRUE(makeExt4(image));
        loops.push_back(std::make_unique<LoopDisk>(image));
        ASSERT_TRUE(loops.back()->attached());
        device = loops.back()->device();
    }
    void TearDown() override {
        for (auto it = mounted.rbegin(); it != mounted.rend(); ++it)
            ::umount2(QFile::encodeName(*it).constData(), MNT_DETACH);
        CliTest::TearDown();
    }
    void mountAt(const QString& target) {
        ASSERT_TRUE(QDir().mkpath(target));
        ASSERT_EQ(::mount(QFile::encodeName(device).constData(),
                          QFile::encodeName(target).constData(), "ext4", 0, nullptr),
                  0)
            << target.toStdString() << ": " << std::strerror(errno);
        mounted << target;
    }
    bool listed() const {
        const CliResult result = run({QStringLiteral("list"), QStringLiteral("--json")});
        EXPECT_EQ(result.exitCode, 0) << result.errors.toStdString();
        return result.output.contains(QStringLiteral("\"%1\"").arg(device));
    }

    QString image;
    QString device;
    QStringList mounted;
};

} // namespace

TEST_F(CliSystemDisk, TheBootMediumOfALiveSystemIsRefusedByDeviceAndByImage) {
    ASSERT_TRUE(listed());
    mountAt(QStringLiteral("/run/live/medium"));
    EXPECT_FALSE(listed());
    const QByteArray before = readBytes(image, 0, 1 << 20);

    for (const QString& disk : {device, image}) {
        const CliResult result = run({QStringLiteral("shred"), QStringLiteral("--yes"), disk});
        EXPECT_EQ(result.exitCode, 3) << result.errors.toStdString();
        EXPECT_TRUE(result.errors.contains(filled("cli_refused_system_disk", {disk})))
            << result.errors.toStdString();
    }
    EXPECT_TRUE(isMounted(device));
    EXPECT_EQ(readBytes(image, 0, 1 << 20), before);
    EXPECT_TRUE(reports().isEmpty());
}

TEST_F(CliSystemDisk, AStickTheUserMountedIsUnmountedAndErased) {
    mountAt(QStringLiteral("/run/media/user/STICK"));
    QFile data(QStringLiteral("/run/media/user/STICK/holiday.txt"));
    ASSERT_TRUE(data.open(QIODevice::WriteOnly) && data.write(kSecret) > 0);
    data.close();
    ::sync();
    ASSERT_TRUE(holdsSecret(image));
    ASSERT_TRUE(listed());
    const CliResult result = run(
        {QStringLiteral("shred"), QStringLiteral("--yes"), QStringLiteral("--no-format"), device});
    EXPECT_EQ(result.exitCode, 0) << result.output.toStdString() << result.errors.toStdString();
    EXPECT_FALSE(isMounted(device));
    EXPECT_FALSE(holdsSecret(image));
    EXPECT_EQ(reports().size(), 1);
}
