// The window's jobs on simulated disks: the machine is kept awake from Start until the job
// ends or is aborted, a job that ends while the user is elsewhere is announced, and the
// notice brings the window back.
#include "DesktopServicesFixture.h"
#include "controls/CListCtrlEx.h"
#include "devices/DeviceListModel.h"
#include "shred/ShredJobs.h"
#include "ui/CVSKKestruneDlg.h"

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPushButton>
#include <QTest>

using namespace kestrune;
using namespace kestrune::test;

namespace {

class WindowServicesTest : public DesktopServicesTest {
protected:
    void SetUp() override {
        DesktopServicesTest::SetUp();
        if (IsSkipped())
            return;
        simulated = std::make_unique<ScopedEnvironment>("KESTRUNE_SIMULATED_DISKS",
                                                        QFile::encodeName(disks.path()));
        registerComponentDirectory(QStringLiteral("VSKRemovableShredder.dll"), binDir());
        writeRegistryString(platform::RegistryRoot::LocalMachine, productKey("\\Settings"),
                            QStringLiteral("LogPath"), logs.path());
        setUser("\\Settings", "FormatDrive", 0);
    }
    void TearDown() override {
        simulated.reset();
        DesktopServicesTest::TearDown();
    }
    void makeDisk(const char* name, qint64 size) {
        QFile file(disks.filePath(QString::fromLatin1(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(size));
    }
    static void setUser(const char* suffix, const char* name, std::uint32_t value) {
        writeRegistryDword(platform::RegistryRoot::CurrentUser, productKey(suffix),
                           QString::fromLatin1(name), value);
    }
    static void pressRowButton(CVSKKestruneDlg& window) {
        window.deviceList()->viewport()->repaint();
        QCoreApplication::processEvents();
        QPushButton* button = window.deviceList()->startButtonOfRow(0);
        ASSERT_NE(button, nullptr);
        QTest::mouseClick(button, Qt::LeftButton);
    }
    static void runToTheEnd(CVSKKestruneDlg& window) {
        pressRowButton(window);
        ASSERT_TRUE(QTest::qWaitFor([&] { return window.jobs().runningCount() == 1; }, 5000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return window.jobs().runningCount() == 0; }, 60000));
    }
    static QString status(const CVSKKestruneDlg& window) {
        return window.listModel()->cellText(0, DeviceListModel::StatusColumn);
    }
    // What the desktop tells the program when the user moves to another program and back.
    static void userLeaves() { emit qGuiApp->applicationStateChanged(Qt::ApplicationInactive); }
    static void userReturns() { emit qGuiApp->applicationStateChanged(Qt::ApplicationActive); }

    // tmpfs keeps a job of many passes quick.
    QTemporaryDir disks{QFileInfo::exists(QStringLiteral("/dev/shm"))
                            ? QStringLiteral("/dev/shm/kestrune-services-disks-XXXXXX")
                            : QString()};
    QTemporaryDir logs;
    std::unique_ptr<ScopedEnvironment> simulated;
};

TEST_F(WindowServicesTest, FromStartToAbortAndToItsEndTheMachineStaysAwake) {
    StandInLogind logind(systemBus);
    ASSERT_TRUE(logind.registered());
    // 35 passes: still running whenever the test looks.
    makeDisk("stick.img", 96 << 20);
    setUser("\\Shredding", "ShredAlgo", 103);
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.deviceList()->rowCount() == 1; }, 10000));

    pressRowButton(window);
    ASSERT_TRUE(QTest::qWaitFor([&] { return logind.heldCount() == 1; }, 10000));
    EXPECT_EQ(logind.inhibitions()[0].why,
              QStringLiteral("Erasing Kestrune Virtual Stick, 96.00 MB"));
    EXPECT_EQ(window.jobs().runningCount(), 1);

    pressRowButton(window);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.jobs().runningCount() == 0; }, 30000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return logind.heldCount() == 0; }, 5000));
    EXPECT_EQ(status(window), text("status_aborted"));

    // One pass of zeros, to its end.
    setUser("\\Shredding", "ShredAlgo", 100);
    QTest::qWait(600);
    runToTheEnd(window);
    EXPECT_EQ(status(window), text("status_shredded"));
    EXPECT_EQ(logind.inhibitions().size(), 2u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return logind.heldCount() == 0; }, 5000));
}

TEST_F(WindowServicesTest, AJobThatEndsUnseenIsAnnouncedAndItsNoticeBringsTheWindowBack) {
    StandInNotifications server(sessionBus);
    ASSERT_TRUE(server.registered());
    makeDisk("stick.img", 8 << 20);
    setUser("\\Shredding", "ShredAlgo", 100);
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.deviceList()->rowCount() == 1; }, 10000));

    userReturns();
    runToTheEnd(window);
    QTest::qWait(300);
    EXPECT_TRUE(server.notices().empty());

    userLeaves();
    QTest::qWait(600);
    runToTheEnd(window);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.notices().size() == 1; }, 5000));
    EXPECT_EQ(server.notices()[0].summary,
              QStringLiteral("Shredded: Kestrune Virtual Stick, 8.00 MB"));

    window.showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.isMinimized(); }, 5000));
    server.invoke(server.notices()[0].id, QStringLiteral("default"));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return !window.isMinimized() && window.isActiveWindow(); }, 5000));
    userReturns();
}

TEST_F(WindowServicesTest, TheLauncherFollowsTheWindowsJob) {
    LauncherListener listener(sessionBus);
    ASSERT_TRUE(listener.listening());
    makeDisk("stick.img", 8 << 20);
    setUser("\\Shredding", "ShredAlgo", 100);
    CVSKKestruneDlg window;
    ASSERT_TRUE(window.OnInitDialog());
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.deviceList()->rowCount() == 1; }, 10000));
    runToTheEnd(window);
    const auto& updates = listener.updates();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !updates.empty() && !updates.back().visible; }, 5000));
    EXPECT_TRUE(updates.front().visible);
    EXPECT_EQ(updates.front().progress, 0.0);
    // The bar went up to the end as the job went on.
    double highest = 0;
    for (std::size_t i = 0; i + 1 < updates.size(); ++i) {
        EXPECT_TRUE(updates[i].visible);
        EXPECT_GE(updates[i].progress, highest);
        highest = updates[i].progress;
    }
    EXPECT_GT(highest, 0.0);
}

} // namespace
