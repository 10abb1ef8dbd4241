// Renders every window of the program offscreen into PNG files, in English and German,
// on simulated disks, so a change of look can be reviewed without a display.
#include "app/CVSKKestruneApp.h"
#include "app/SettingsStore.h"
#include "controls/CListCtrlEx.h"
#include "controls/CVSKImageButton.h"
#include "devices/CVSKListThread.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "platform/MessageService.h"
#include "platform/Registry.h"
#include "shred/ShredJobs.h"
#include "ui/CVSKInfoDlg.h"
#include "ui/CVSKInsertUSB.h"
#include "ui/CVSKKestruneDlg.h"
#include "ui/CVSKSettingsDlg.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <functional>

using namespace kestrune;

namespace {

QString outDir;

// Message boxes would wait for a click that never comes: answer them and say so.
class AnsweringMessages final : public platform::MessageService {
public:
    int show(const platform::MessageRequest& request) override {
        std::fprintf(stderr, "snapshots: message box: %s\n", qPrintable(request.text));
        return (request.style & 0xF) == platform::MB_YESNO_STYLE ? platform::ID_NO
                                                                 : platform::ID_OK;
    }
};

void pump(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

bool waitFor(const std::function<bool()>& condition, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        pump(20);
    }
    return true;
}

void save(QWidget* widget, const QString& name) {
    widget->repaint();
    pump(50);
    const QString path = QDir(outDir).filePath(name + QStringLiteral(".png"));
    if (!widget->grab().save(path))
        std::fprintf(stderr, "snapshots: could not write %s\n", qPrintable(path));
}

void makeImage(const QString& path, qint64 size, const char* label) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        return;
    file.close();
    if (label)
        QProcess::execute(QStringLiteral("mkfs.fat"),
                          {QStringLiteral("-n"), QString::fromLatin1(label), path});
}

void chooseLanguage(const QString& code) {
    auto language = GetLanguageManager();
    language->SetLanguage(language->IndexOfLanguageCode(code));
    language.reset();
    ReleaseLanguageManager();
}

void setMachineDword(const QString& suffix, const QString& name, std::uint32_t value) {
    QByteArray data(4, '\0');
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    platform::registry().write(platform::RegistryRoot::LocalMachine,
                               QStringLiteral("Software\\Vaskor Security\\Vaskor Kestrune") +
                                   suffix,
                               name, platform::RegistryValue{platform::REG_DWORD_TYPE, data});
}

void hover(QWidget* widget) {
    const QPointF inside(widget->width() / 2.0, widget->height() / 2.0);
    QMouseEvent move(QEvent::MouseMove, inside, widget->mapToGlobal(inside), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &move);
}

void renderLanguage(const QString& suffix, const QString& disks) {
    for (const QString& file : QDir(disks).entryList({QStringLiteral("*.img")}))
        QFile::remove(QDir(disks).filePath(file));
    CVSKKestruneDlg window;
    if (!window.OnInitDialog()) {
        std::fprintf(stderr, "snapshots: the main window did not initialise\n");
        return;
    }
    window.show();
    waitFor([&] { return !window.scanLauncher()->isScanning(); }, 5000);
    pump(300);
    save(&window, QStringLiteral("main-window-empty-") + suffix);
    if (window.insertPrompt() && window.insertPrompt()->isVisible())
        save(window.insertPrompt(), QStringLiteral("insert-media-prompt-") + suffix);

    makeImage(QDir(disks).filePath(QStringLiteral("holiday-stick.img")), 64 << 20, "HOLIDAY");
    makeImage(QDir(disks).filePath(QStringLiteral("camera-card.img")), 256 << 20, nullptr);
    waitFor([&] { return window.deviceList()->rowCount() == 2; }, 8000);
    pump(500);
    save(&window, QStringLiteral("main-window-two-disks-") + suffix);

    hover(window.settingsButton());
    pump(100);
    save(&window, QStringLiteral("main-window-hover-settings-") + suffix);
    hover(window.aboutButton());
    pump(100);
    save(&window, QStringLiteral("main-window-hover-about-") + suffix);
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(window.aboutButton(), &leave);

    {
        CVSKInfoDlg about(&window);
        about.show();
        pump(200);
        save(&about, QStringLiteral("about-") + suffix);
    }
    {
        CVSKSettingsDlg settings(&window);
        settings.show();
        pump(200);
        save(&settings, QStringLiteral("settings-") + suffix);
    }
    setMachineDword(QStringLiteral("\\Settings\\Update"), QStringLiteral("HideUpdate"), 1);
    {
        CVSKSettingsDlg settings(&window);
        settings.show();
        pump(200);
        save(&settings, QStringLiteral("settings-updates-hidden-") + suffix);
    }
    setMachineDword(QStringLiteral("\\Settings\\Update"), QStringLiteral("HideUpdate"), 0);

    // One job that finishes and one still running when the picture is taken.
    auto clickStart = [&](int row) {
        if (QPushButton* button = window.deviceList()->startButtonOfRow(row))
            button->click();
    };
    clickStart(1);
    waitFor([&] { return window.jobs().runningCount() == 0; }, 60000);
    // The long sequence keeps the other job running while the picture is taken.
    QByteArray data(4, '\0');
    data[0] = char(103);
    platform::registry().write(
        platform::RegistryRoot::CurrentUser,
        QStringLiteral("Software\\Vaskor Security\\Vaskor Kestrune\\Shredding"),
        QStringLiteral("ShredAlgo"), platform::RegistryValue{platform::REG_DWORD_TYPE, data});
    clickStart(0);
    // Taken as soon as the running row shows its first progress: a fast disk is done
    // within seconds.
    waitFor(
        [&] { return !window.listModel()->cellText(0, DeviceListModel::ElapsedColumn).isEmpty(); },
        3000);
    pump(30);
    save(&window, QStringLiteral("main-window-jobs-") + suffix);
    window.jobs().abortAll();
    window.jobs().waitForAll(10000);
    pump(300);
    data[0] = char(100);
    platform::registry().write(
        platform::RegistryRoot::CurrentUser,
        QStringLiteral("Software\\Vaskor Security\\Vaskor Kestrune\\Shredding"),
        QStringLiteral("ShredAlgo"), platform::RegistryValue{platform::REG_DWORD_TYPE, data});
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kestrune-snapshots DIR\n");
        return 2;
    }
    outDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outDir);
    QByteArray work = qgetenv("KESTRUNE_SNAPSHOT_WORK");
    QTemporaryDir fallback;
    if (work.isEmpty())
        work = fallback.path().toLocal8Bit();
    const QString base = QString::fromLocal8Bit(work);
    const QString disks = base + QStringLiteral("/disks");
    QDir().mkpath(base + QStringLiteral("/registry"));
    QDir().mkpath(disks);
    QDir().mkpath(base + QStringLiteral("/data"));
    qputenv("KESTRUNE_REGISTRY_DIR", (base + QStringLiteral("/registry")).toLocal8Bit());
    qputenv("KESTRUNE_SIMULATED_DISKS", disks.toLocal8Bit());
    qputenv("XDG_DATA_HOME", (base + QStringLiteral("/data")).toLocal8Bit());
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    CVSKKestruneApp app(argc, argv);
    AnsweringMessages messages;
    platform::setMessageService(&messages);
    for (const auto& [code, suffix] : {std::pair{"NTV", "en"}, std::pair{"DE", "de"}}) {
        chooseLanguage(QString::fromLatin1(code));
        renderLanguage(QString::fromLatin1(suffix), disks);
    }
    platform::setMessageService(nullptr);
    return 0;
}
