// Measures how long the GUI thread goes without handling events while four jobs run at
// once on simulated disks: the longest gap between ticks of a 5 ms timer.
#include "controls/CListCtrlEx.h"
#include "kestrune/CVSKKestruneApp.h"
#include "platform/MessageService.h"
#include "platform/Registry.h"
#include "shred/ShredJobs.h"
#include "ui/CVSKKestruneDlg.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

using namespace kestrune;

namespace {

class SilentMessages final : public platform::MessageService {
public:
    int show(const platform::MessageRequest& request) override {
        std::fprintf(stderr, "bench: message box: %s\n", qPrintable(request.text));
        // Yes to the question before each job: the bench presses Start to run them.
        return (request.style & 0xF) == platform::MB_YESNO_STYLE ? platform::ID_YES
                                                                 : platform::ID_OK;
    }
};

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir work;
    const QString disks = work.filePath(QStringLiteral("disks"));
    QDir().mkpath(disks);
    qputenv("KESTRUNE_REGISTRY_DIR", work.path().toLocal8Bit());
    qputenv("KESTRUNE_SIMULATED_DISKS", disks.toLocal8Bit());
    qputenv("XDG_DATA_HOME", work.filePath(QStringLiteral("data")).toLocal8Bit());
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const qint64 size = (argc > 1 ? QByteArray(argv[1]).toLongLong() : 256) << 20;
    for (int i = 0; i < 4; ++i) {
        QFile image(QDir(disks).filePath(QStringLiteral("stick%1.img").arg(i)));
        if (!image.open(QIODevice::WriteOnly) || !image.resize(size))
            return 1;
    }
    CVSKKestruneApp app(argc, argv);
    SilentMessages messages;
    platform::setMessageService(&messages);
    int result = 1;
    {
        CVSKKestruneDlg window;
        if (!window.OnInitDialog())
            return 1;
        window.show();
        QElapsedTimer wait;
        wait.start();
        while (window.deviceList()->rowCount() < 4 && wait.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        window.deviceList()->viewport()->repaint();
        QCoreApplication::processEvents();
        for (int row = 0; row < 4; ++row)
            if (QPushButton* button = window.deviceList()->startButtonOfRow(row))
                button->click();

        QElapsedTimer clock;
        clock.start();
        qint64 last = 0, longest = 0, ticks = 0;
        QTimer timer;
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            longest = std::max(longest, now - last);
            last = now;
            ++ticks;
            if (window.jobs().runningCount() == 0 && now > 500)
                QCoreApplication::quit();
        });
        timer.start();
        QCoreApplication::exec();
        std::printf("bench: GUI thread with four jobs on simulated disks: longest stall %lld ms "
                    "over %.1f s (%lld ticks), limit 50 ms\n",
                    static_cast<long long>(longest), clock.elapsed() / 1000.0,
                    static_cast<long long>(ticks));
        result = longest < 50 ? 0 : 2;
    }
    platform::setMessageService(nullptr);
    return result;
}
