// The main window run by whoever starts this program: the unprivileged half of the tests
// in the folder above, which run as root and start it as a test user through setpriv.
//   kestrune_user_session DEVICE...
// Presses Start on each device's row in turn (a device named twice is started twice) and
// waits for its job. Prints "session: DEVICE status=TEXT", "session: DEVICE button=TEXT",
// "session: DEVICE enabled=0|1" per job and "session: box=TEXT" per message box. Exits 0
// when every job ran and ended.
#include "TestSupport.h"
#include "WindowDriving.h"
#include "controls/CListCtrlEx.h"
#include "devices/DeviceListModel.h"
#include "shred/ShredJobs.h"
#include "ui/CVSKKestruneDlg.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <memory>

using namespace kestrune;

namespace {

constexpr int kJobTimeoutMs = 10 * 60 * 1000;

void say(const QString& line) {
    std::printf("session: %s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

// 0 when the job on the device ran and ended.
int runJob(CVSKKestruneDlg& window, const QString& device) {
    const int row = test::waitForRowOfDevice(window, device, 20000);
    if (row < 0) {
        say(QStringLiteral("%1 failure=no row").arg(device));
        return 3;
    }
    // A row just ended takes a moment to offer Start again.
    (void)QTest::qWaitFor(
        [&] {
            const QPushButton* button = window.deviceList()->startButtonOfRow(row);
            return button && button->isEnabled();
        },
        2000);
    const int before = window.jobs().runningCount();
    if (!test::clickRowButton(window, row) ||
        !QTest::qWaitFor([&] { return window.jobs().runningCount() > before; }, 5000)) {
        say(QStringLiteral("%1 failure=no job started").arg(device));
        return 4;
    }
    if (!QTest::qWaitFor([&] { return window.jobs().runningCount() == 0; }, kJobTimeoutMs)) {
        say(QStringLiteral("%1 failure=the job did not end").arg(device));
        return 5;
    }
    QTest::qWait(300); // the last status reports reach the row
    const int now = test::rowOfDevice(window, device);
    const QPushButton* button = now < 0 ? nullptr : window.deviceList()->startButtonOfRow(now);
    say(QStringLiteral("%1 status=%2")
            .arg(device, now < 0
                             ? QString()
                             : window.listModel()->cellText(now, DeviceListModel::StatusColumn)));
    say(QStringLiteral("%1 button=%2").arg(device, button ? button->text() : QString()));
    say(QStringLiteral("%1 enabled=%2").arg(device).arg(button && button->isEnabled() ? 1 : 0));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    platform::setMessageService(&test::messages());
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DEVICE...\n", argv[0]);
        return 2;
    }
    auto window = std::make_unique<CVSKKestruneDlg>();
    if (!window->OnInitDialog()) {
        say(QStringLiteral("failure=the window did not open"));
        return 3;
    }
    window->show();
    int result = 0;
    for (int i = 1; i < argc && result == 0; ++i)
        result = runJob(*window, QString::fromLocal8Bit(argv[i]));
    for (const QString& text : test::messages().texts())
        say(QStringLiteral("box=%1").arg(text));
    window.reset();
    return result;
}
