// Renders every window of the program offscreen into PNG files, in English and German,
// on simulated disks, so a change of look can be reviewed without a display.
#include "DocumentSnapshots.h"
#include "app/SettingsStore.h"
#include "controls/CListCtrlEx.h"
#include "controls/CVSKImageButton.h"
#include "controls/LanguagePicture.h"
#include "devices/CVSKListThread.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "kestrune/CVSKKestruneApp.h"
#include "lang/LanguageManager.h"
#include "platform/MessageService.h"
#include "platform/Registry.h"
#include "shred/CVSKRMShredThread.h"
#include "shred/JobRows.h"
#include "shred/ShredJobs.h"
#include "shred/ShredMethod.h"
#include "shred/ShredStatusDisplay.h"
#include "ui/CVSKInfoDlg.h"
#include "ui/CVSKInsertUSB.h"
#include "ui/CVSKKestruneDlg.h"
#include "ui/CVSKSettingsDlg.h"
#include "ui/WidgetMessageService.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <map>

using namespace kestrune;

namespace {

QString outDir;

void save(QWidget* widget, const QString& name);
void pump(int ms);

// Message boxes would wait for a click that never comes: answer them and say so. The
// question before a job is rendered once per language, then answered Yes.
class AnsweringMessages final : public platform::MessageService {
public:
    int show(const platform::MessageRequest& request) override {
        std::fprintf(stderr, "snapshots: message box: %s\n", qPrintable(request.text));
        if (!saveStartQuestionAs.isEmpty()) {
            const std::unique_ptr<QMessageBox> box = makeMessageBox(request);
            box->show();
            pump(200);
            save(box.get(), saveStartQuestionAs);
            saveStartQuestionAs.clear();
        }
        if ((request.style & 0xF) != platform::MB_YESNO_STYLE)
            return platform::ID_OK;
        return answerYes ? platform::ID_YES : platform::ID_NO;
    }
    QString saveStartQuestionAs;
    bool answerYes = false;
};
AnsweringMessages answering;

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
    if (!label)
        return;
    // In /usr/sbin, which a normal user's PATH lacks.
    QString mkfs = QStandardPaths::findExecutable(QStringLiteral("mkfs.fat"));
    if (mkfs.isEmpty())
        mkfs = QStandardPaths::findExecutable(
            QStringLiteral("mkfs.fat"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    QProcess::execute(mkfs.isEmpty() ? QStringLiteral("mkfs.fat") : mkfs,
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

const QString kProductKey = QStringLiteral("Software\\Vaskor Security\\Vaskor Kestrune");

// The organisation and location an administrator gives every certificate.
void setMachineText(const QString& name, const QString& text) {
    QByteArray data(reinterpret_cast<const char*>(text.utf16()), (text.size() + 1) * 2);
    platform::registry().write(platform::RegistryRoot::LocalMachine,
                               kProductKey + QStringLiteral("\\Settings"), name,
                               platform::RegistryValue{platform::REG_SZ_TYPE, data});
}

void setUserDword(const QString& suffix, const QString& name, std::uint32_t value) {
    QByteArray data(4, '\0');
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    platform::registry().write(platform::RegistryRoot::CurrentUser, kProductKey + suffix, name,
                               platform::RegistryValue{platform::REG_DWORD_TYPE, data});
}

void setMachineString(const QString& suffix, const QString& name, const QString& value) {
    QByteArray data(reinterpret_cast<const char*>(value.utf16()), value.size() * 2);
    data.append(2, '\0');
    platform::registry().write(platform::RegistryRoot::LocalMachine, kProductKey + suffix, name,
                               platform::RegistryValue{platform::REG_SZ_TYPE, data});
}

void sendMove(QWidget* widget, QPointF at) {
    QMouseEvent move(QEvent::MouseMove, at, widget->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &move);
}

// Saves the window while the pointer rests on button, then takes the pointer away again,
// so the next picture shows no hover look.
void saveHovered(QWidget* window, QWidget* button, const QString& name) {
    sendMove(button, QPointF(button->width() / 2.0, button->height() / 2.0));
    pump(100);
    save(window, name);
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(button, &leave);
    pump(50);
}

// The window as a keyboard user sees it with the focus on a control.
void saveFocused(CVSKKestruneDlg& window, QWidget* control, const QString& name) {
    if (!control)
        return;
    QApplication::setActiveWindow(&window);
    control->setFocus(Qt::TabFocusReason);
    pump(100);
    save(&window, name);
    window.deviceList()->setFocus(Qt::OtherFocusReason);
}

void removeDisks(const QString& disks) {
    for (const QString& file : QDir(disks).entryList({QStringLiteral("*.img")}))
        QFile::remove(QDir(disks).filePath(file));
}

// The main window with the prompt where it shows, as a person sees them together.
void saveWithPrompt(CVSKKestruneDlg& window, const QString& name) {
    QImage picture = window.grab().toImage();
    CVSKInsertUSB* prompt = window.insertPrompt();
    QPainter painter(&picture);
    const QPoint at = prompt->geometry().topLeft() - window.mapToGlobal(QPoint(0, 0));
    painter.drawImage(at, prompt->grab().toImage());
    painter.end();
    picture.save(QDir(outDir).filePath(name + QStringLiteral(".png")));
}

// The prompt's picture plays from its first frame again; the stick is half-way in after
// the first frame's pause and half of the sliding frames.
void saveMiddleFrame(CVSKInsertUSB& prompt, const QString& name) {
    ShowLanguagePicture(*prompt.picture(), *GetLanguageManager(), QStringLiteral("insert_usb"),
                        "JPG", -1);
    pump(900 + 4 * 80 + 40);
    save(&prompt, name);
}

// script/snapshots publishes a feed signed with a throwaway key on a local HTTPS server; the
// dialog takes only such a feed.
void saveUpdateDialog(CVSKKestruneDlg& window, const QString& name) {
    const QString feed = qEnvironmentVariable("KESTRUNE_SNAPSHOT_FEED");
    if (feed.isEmpty()) {
        std::fprintf(stderr, "snapshots: no update feed published (KESTRUNE_SNAPSHOT_FEED), so "
                             "no update dialog\n");
        return;
    }
    setMachineString(QStringLiteral("\\Settings\\Update"), QStringLiteral("FeedUrl"), feed);
    setMachineString(QStringLiteral("\\Settings\\Update"), QStringLiteral("CaFile"),
                     qEnvironmentVariable("KESTRUNE_SNAPSHOT_CA"));
    setMachineString(QStringLiteral("\\Settings\\Update\\TrustedKeys"), QStringLiteral("snapshots"),
                     qEnvironmentVariable("KESTRUNE_SNAPSHOT_KEY"));
    bool saved = false;
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (saved || !dialog || dialog->objectName() != QLatin1String("updateDialog"))
            return;
        auto* install = dialog->findChild<QPushButton*>(QStringLiteral("installButton"));
        if (!install || !install->isEnabled())
            return;
        saved = true;
        save(dialog, name);
        dialog->reject();
    });
    poll.start();
    if (window.updateButton()->isEnabled())
        window.updateButton()->click();
    poll.stop();
    setMachineString(QStringLiteral("\\Settings\\Update"), QStringLiteral("FeedUrl"), QString());
    if (!saved)
        std::fprintf(stderr, "snapshots: the update dialog did not offer the new version\n");
}

void setShredMethod(const ShredMethod& method) {
    setUserDword(QStringLiteral("\\Shredding"), QStringLiteral("ShredAlgo"),
                 std::uint32_t(method.number));
}

// The panel with the longest description and every setting that adds to it switched on.
void saveEverySettingOn(CVSKKestruneDlg& window, const QString& name) {
    auto language = GetLanguageManager();
    const auto length = [&language](const ShredMethod& method) {
        return language->GetString(QString::fromLatin1(method.descriptionKey)).size();
    };
    const ShredMethod* longest = &kDefaultShredMethod;
    for (const ShredMethod& method : kShredMethods)
        if (length(method) > length(*longest))
            longest = &method;
    setShredMethod(*longest);
    auto settings = GetSettingsStore();
    settings->SetFormatDrive(true);
    settings->SetStartAuto(true);
    window.UpdateInfoTexts();
    pump(100);
    save(&window, name);
    setShredMethod(kDefaultShredMethod);
    settings->SetFormatDrive(false);
    settings->SetStartAuto(false);
    window.UpdateInfoTexts();
}

QPalette darkPalette() {
    QPalette dark;
    const QColor window(0x2B, 0x2D, 0x30), base(0x1E, 0x1F, 0x22), text(0xE8, 0xE8, 0xE8);
    dark.setColor(QPalette::Window, window);
    dark.setColor(QPalette::WindowText, text);
    dark.setColor(QPalette::Base, base);
    dark.setColor(QPalette::AlternateBase, window);
    dark.setColor(QPalette::Text, text);
    dark.setColor(QPalette::Button, window);
    dark.setColor(QPalette::ButtonText, text);
    dark.setColor(QPalette::Highlight, QColor(0x3D, 0x7E, 0xD6));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    return dark;
}

bool openWindow(CVSKKestruneDlg& window) {
    if (!window.OnInitDialog()) {
        std::fprintf(stderr, "snapshots: the main window did not initialise\n");
        return false;
    }
    window.show();
    waitFor([&] { return !window.scanLauncher()->isScanning(); }, 5000);
    pump(300);
    return true;
}

// Two finished jobs as their reports leave the rows, fed to the progress display the way
// the engine and the worker send them: a counterfeit stick that claims 64 GB and holds 8,
// and 35 passes over a large stick that took three and a half days.
void saveReportedJobs(CVSKKestruneDlg& window, const QString& disks, const QString& name) {
    const QString bargain = QDir(disks).filePath(QStringLiteral("bargain-stick.img"));
    const QString archive = QDir(disks).filePath(QStringLiteral("archive-stick.img"));
    makeImage(bargain, 64LL << 30, nullptr);
    makeImage(archive, 256LL << 30, nullptr);
    waitFor([&] { return window.deviceList()->rowCount() == 4; }, 8000);
    pump(300);
    auto recordAt = [&](const QString& path) {
        for (int row = 0; row < window.listModel()->rowCount(); ++row) {
            auto record = window.listModel()->recordOfRow(row);
            if (record && record->devicePath == path)
                return record;
        }
        return std::shared_ptr<DeviceRecord>();
    };
    const auto counterfeit = recordAt(bargain);
    const auto longJob = recordAt(archive);
    // The jobs' clock is moved by hand; the rows hold the jobs after this returns.
    const auto now = std::make_shared<std::int64_t>(1'700'000'000);
    if (counterfeit && longJob) {
        const auto rows =
            std::make_shared<JobRows>(window.table(), window.listModel(), GetLanguageManager());
        std::map<const DeviceRecord*, std::shared_ptr<CVSKRMShredThread>> jobs;
        for (const auto& record : {counterfeit, longJob}) {
            record->setState(JobState::Running);
            auto job = std::make_shared<CVSKRMShredThread>(record, 103,
                                                           JobClock{[now] { return *now; }, {}});
            job->addObserver(rows);
            rows->jobStarting(job);
            jobs[record.get()] = job;
        }
        auto report = [&](const std::shared_ptr<DeviceRecord>& record, const EngineEvent& event) {
            jobs.at(record.get())->take(event);
        };
        const std::int64_t usable = 8'000'000'000;
        report(counterfeit, ProgressEvent{0, 2 * usable, 0, 0.0});
        report(longJob, ProgressEvent{0, 36 * (256LL << 30), 0, 0.0});
        *now += 7 * 60 + 41;
        report(counterfeit, ProgressEvent{100, 0, 2 * usable, 17.3});
        report(counterfeit, EndedEvent{JobStatus::FailedCounterfeit, usable});
        *now += 83 * 3600 + 4 * 60 + 24;
        report(longJob, ProgressEvent{100, 0, 36 * (256LL << 30), 31.4});
        report(longJob, EndedEvent{JobStatus::Shredded});
    } else {
        std::fprintf(stderr, "snapshots: the two large sticks were not listed\n");
    }
    pump(300);
    save(&window, name);
    QFile::remove(bargain);
    QFile::remove(archive);
    waitFor([&] { return window.deviceList()->rowCount() == 2; }, 8000);
}

// The certificates the jobs leave beside their reports, in the default folder of reports.
QStringList certificates(const QString& base) {
    const QDir logs(base + QStringLiteral("/data/Vaskor Security/Vaskor Kestrune/Logs"));
    QStringList paths;
    for (const QString& name : logs.entryList({QStringLiteral("*.pdf")}, QDir::Files))
        paths << logs.filePath(name);
    return paths;
}

// The one certificate a job added since `before`, as the PNG a person would look at.
void saveNewCertificate(const QString& base, const QStringList& before, const QString& name) {
    QStringList added = certificates(base);
    for (const QString& path : before)
        added.removeAll(path);
    if (added.size() != 1) {
        std::fprintf(stderr, "snapshots: %lld new certificates instead of one for %s\n",
                     static_cast<long long>(added.size()), qPrintable(name));
        return;
    }
    const QString target = QDir(outDir).filePath(name);
    const int status =
        QProcess::execute(QStringLiteral("pdftoppm"),
                          {QStringLiteral("-png"), QStringLiteral("-r"), QStringLiteral("80"),
                           QStringLiteral("-singlefile"), added.front(), target});
    if (status != 0)
        std::fprintf(stderr, "snapshots: pdftoppm could not turn %s into %s.png\n",
                     qPrintable(added.front()), qPrintable(target));
}

// The finished row offering its documents, the certificate of a job signed with the key
// script/snapshots made (KESTRUNE_SNAPSHOT_SIGNER names its files without .pem and .key),
// and the certificate of a job whose program died.
void saveDocumentSnapshots(CVSKKestruneDlg& window, const QString& base, const QString& suffix,
                           const std::function<void()>& runJob) {
    const QImage offered = snapshots::windowWithRowMenu(window, 1);
    if (offered.isNull())
        std::fprintf(stderr, "snapshots: the finished row offered no documents menu\n");
    else
        offered.save(QDir(outDir).filePath(QStringLiteral("main-window-row-documents-") + suffix +
                                           QStringLiteral(".png")));
    const QString signer = qEnvironmentVariable("KESTRUNE_SNAPSHOT_SIGNER");
    QStringList before = certificates(base);
    if (signer.isEmpty()) {
        std::fprintf(stderr, "snapshots: no signing key made (KESTRUNE_SNAPSHOT_SIGNER)\n");
    } else {
        snapshots::setSigning(signer + QStringLiteral(".pem"), signer + QStringLiteral(".key"));
        runJob();
        snapshots::setSigning(QString(), QString());
        saveNewCertificate(base, before, QStringLiteral("certificate-signed-") + suffix);
    }
    before = certificates(base);
    if (snapshots::leaveAndCompleteInterruptedJob())
        saveNewCertificate(base, before, QStringLiteral("certificate-interrupted-") + suffix);
    else
        std::fprintf(stderr, "snapshots: no interrupted job was completed\n");
}

void saveEmptyWindow(CVSKKestruneDlg& window, const QString& suffix) {
    save(&window, QStringLiteral("main-window-empty-") + suffix);
    if (!window.insertPrompt() || !window.insertPrompt()->isVisible()) {
        std::fprintf(stderr, "snapshots: no insert-media prompt over the empty list\n");
        return;
    }
    save(window.insertPrompt(), QStringLiteral("insert-media-prompt-") + suffix);
    saveWithPrompt(window, QStringLiteral("main-window-with-prompt-") + suffix);
    saveMiddleFrame(*window.insertPrompt(), QStringLiteral("insert-media-prompt-middle-") + suffix);
}

void saveTwoDisks(CVSKKestruneDlg& window, const QString& disks, const QString& suffix) {
    makeImage(QDir(disks).filePath(QStringLiteral("holiday-stick.img")), 64 << 20, "HOLIDAY");
    makeImage(QDir(disks).filePath(QStringLiteral("camera-card.img")), 256 << 20, nullptr);
    waitFor([&] { return window.deviceList()->rowCount() == 2; }, 8000);
    pump(500);
    save(&window, QStringLiteral("main-window-two-disks-") + suffix);
    saveHovered(&window, window.settingsButton(),
                QStringLiteral("main-window-hover-settings-") + suffix);
    saveHovered(&window, window.aboutButton(), QStringLiteral("main-window-hover-about-") + suffix);
    saveEverySettingOn(window, QStringLiteral("main-window-every-setting-") + suffix);
    saveFocused(window, window.deviceList()->startButtonOfRow(1),
                QStringLiteral("main-window-focus-row-") + suffix);
    saveFocused(window, window.aboutButton(), QStringLiteral("main-window-focus-about-") + suffix);
}

void saveDialog(QDialog&& dialog, const QString& name) {
    dialog.show();
    pump(200);
    save(&dialog, name);
}

void saveDialogs(CVSKKestruneDlg& window, const QString& suffix) {
    saveDialog(CVSKInfoDlg(&window), QStringLiteral("about-") + suffix);
    saveDialog(CVSKSettingsDlg(&window), QStringLiteral("settings-no-feed-") + suffix);
    // The schedule is offered once an administrator named a feed.
    setMachineString(QStringLiteral("\\Settings\\Update"), QStringLiteral("FeedUrl"),
                     QStringLiteral("https://updates.example.org/kestrune/feed.txt"));
    saveDialog(CVSKSettingsDlg(&window), QStringLiteral("settings-") + suffix);
    setMachineString(QStringLiteral("\\Settings\\Update"), QStringLiteral("FeedUrl"), QString());
    setMachineDword(QStringLiteral("\\Settings\\Update"), QStringLiteral("HideUpdate"), 1);
    saveDialog(CVSKSettingsDlg(&window), QStringLiteral("settings-updates-hidden-") + suffix);
    setMachineDword(QStringLiteral("\\Settings\\Update"), QStringLiteral("HideUpdate"), 0);
    saveUpdateDialog(window, QStringLiteral("update-dialog-") + suffix);
}

// One job that finishes and one still running when the picture is taken.
void saveJobs(CVSKKestruneDlg& window, const QString& base, const QString& suffix) {
    auto clickStart = [&](int row) {
        answering.answerYes = true;
        if (QPushButton* button = window.deviceList()->startButtonOfRow(row))
            button->click();
        answering.answerYes = false;
    };
    answering.saveStartQuestionAs = QStringLiteral("start-question-") + suffix;
    setMachineText(QStringLiteral("Organisation"), QStringLiteral("Example Ltd, IT Services"));
    setMachineText(QStringLiteral("Location"), QStringLiteral("Building 3, Room 2.14"));
    QStringList before = certificates(base);
    clickStart(1);
    waitFor([&] { return window.jobs().runningCount() == 0; }, 60000);
    saveNewCertificate(base, before, QStringLiteral("certificate-") + suffix);
    saveDocumentSnapshots(window, base, suffix, [&] {
        clickStart(1);
        waitFor([&] { return window.jobs().runningCount() == 0; }, 60000);
    });
    before = certificates(base);
    // The long sequence keeps the other job running while the picture is taken.
    setShredMethod(*findShredMethod(SHRED_METHOD_35_PASSES));
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
    saveNewCertificate(base, before, QStringLiteral("certificate-aborted-") + suffix);
    setShredMethod(kDefaultShredMethod);
}

// A dark desktop theme must not reach the window.
void saveDarkDesktop(const QString& suffix) {
    const QPalette desktop = QApplication::palette();
    QApplication::setPalette(darkPalette());
    {
        CVSKKestruneDlg window;
        if (openWindow(window)) {
            waitFor([&] { return window.deviceList()->rowCount() == 2; }, 8000);
            pump(300);
            save(&window, QStringLiteral("main-window-dark-desktop-") + suffix);
        }
    }
    QApplication::setPalette(desktop);
}

void renderLanguage(const QString& suffix, const QString& disks, const QString& base) {
    removeDisks(disks);
    {
        CVSKKestruneDlg window;
        if (!openWindow(window))
            return;
        saveEmptyWindow(window, suffix);
        saveTwoDisks(window, disks, suffix);
        saveDialogs(window, suffix);
        saveJobs(window, base, suffix);
        saveReportedJobs(window, disks,
                         QStringLiteral("main-window-counterfeit-and-long-job-") + suffix);
    }
    saveDarkDesktop(suffix);
}

// Run in a second process with QT_SCALE_FACTOR=2: the windows on a screen with twice the
// pixels.
void renderScaleTwo(const QString& suffix, const QString& disks) {
    makeImage(QDir(disks).filePath(QStringLiteral("holiday-stick.img")), 64 << 20, "HOLIDAY");
    CVSKKestruneDlg window;
    if (!openWindow(window))
        return;
    waitFor([&] { return window.deviceList()->rowCount() >= 1; }, 8000);
    pump(300);
    save(&window, QStringLiteral("main-window-scale2-") + suffix);
    CVSKInfoDlg about(&window);
    about.show();
    pump(200);
    save(&about, QStringLiteral("about-scale2-") + suffix);
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

    const bool scaleTwo = argc > 2 && qstrcmp(argv[2], "--scale-2") == 0;
    if (scaleTwo)
        qputenv("QT_SCALE_FACTOR", "2");

    CVSKKestruneApp app(argc, argv);
    platform::setMessageService(&answering);
    for (const auto& [code, suffix] : {std::pair{"NTV", "en"}, std::pair{"DE", "de"}}) {
        chooseLanguage(QString::fromLatin1(code));
        if (scaleTwo)
            renderScaleTwo(QString::fromLatin1(suffix), disks);
        else
            renderLanguage(QString::fromLatin1(suffix), disks, base);
    }
    platform::setMessageService(nullptr);
    if (scaleTwo)
        return 0;
    removeDisks(disks);
    // The scale is fixed when the toolkit starts: a second process renders at scale 2.
    return QProcess::execute(QCoreApplication::applicationFilePath(),
                             {outDir, QStringLiteral("--scale-2")}) == 0
               ? 0
               : 1;
}
