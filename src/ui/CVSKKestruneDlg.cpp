#include "ui/CVSKKestruneDlg.h"

#include "app/SettingsStore.h"
#include "app/SystemUtil.h"
#include "controls/CListCtrlEx.h"
#include "controls/CPictureEx.h"
#include "controls/CVSKImageButton.h"
#include "controls/LanguagePicture.h"
#include "controls/ProgramBitmap.h"
#include "devices/CVSKListThread.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "platform/DeviceMonitor.h"
#include "platform/MessageService.h"
#include "shred/InterruptedJobs.h"
#include "shred/JobServices.h"
#include "shred/ShredJobs.h"
#include "shred/ShredMethod.h"
#include "shred/ShredStatusDisplay.h"
#include "ui/CVSKInfoDlg.h"
#include "ui/CVSKInsertUSB.h"
#include "ui/CVSKSettingsDlg.h"
#include "ui/DialogUnits.h"
#include "ui/PanelText.h"
#include "ui/ProgramLook.h"
#include "ui/RowDocumentsMenu.h"
#include "ui/RowTexts.h"
#include "update/UpdateManager.h"
#include "window/StartAbortButton.h"
#include "window/WindowMessages.h"
#include "window/WindowTexts.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QSessionManager>
#include <chrono>
#include <cstdio>

namespace kestrune {
namespace {

constexpr int kListId = 1000;

struct ColumnDefinition {
    const char* key;
    int width;
};
constexpr ColumnDefinition kColumns[] = {
    {"column_start", 80},     {"column_name", 140},   {"column_device", 175},
    {"column_progress", 125}, {"column_elapsed", 60}, {"column_time_left", 60},
    {"column_speed", 70},     {"column_size", 70},    {"column_status", 100},
};

// The widest text a column shows while jobs run, besides its heading: a column is never
// narrower than what it has to show.
QStringList columnSamples(int column, const LanguageManager& language) {
    switch (column) {
    case DeviceListModel::ElapsedColumn:
    case DeviceListModel::TimeLeftColumn:
        return {QStringLiteral("00:00:00")};
    case DeviceListModel::SpeedColumn:
        return {QStringLiteral("000.00 MB/s")};
    case DeviceListModel::SizeColumn:
        return {QStringLiteral("000.00 GB")};
    case DeviceListModel::StatusColumn: {
        QStringList texts;
        for (const char* key : {"status_processing", "status_aborting", "status_formating",
                                "status_shredded", "status_aborted"})
            texts << language.GetString(QString::fromLatin1(key));
        return texts;
    }
    default:
        return {};
    }
}

// The information panel (the "info_bkg" bitmap, drawn with its top at this height) and
// the two texts inside it: side by side, or the information alone across the panel.
constexpr int kPanelTop = 410;
const QRect kInfoArea(146, 422, 328, 136);
const QRect kWarningArea(494, 422, 336, 136);

class MainWindowScanNotifier final : public DeviceScanNotifier {
public:
    explicit MainWindowScanNotifier(CVSKKestruneDlg* window) : window_(window) {}
    void deviceListEmpty() override { post(UM_DEVICELIST_EMPTY); }
    void deviceListFilled() override { post(UM_DEVICELIST_FILLED); }

private:
    void post(unsigned message) {
        QMetaObject::invokeMethod(
            window_, [window = window_, message] { window->OnWndMsg(message, 0); },
            Qt::QueuedConnection);
    }
    QPointer<CVSKKestruneDlg> window_;
};

} // namespace

CVSKKestruneDlg::CVSKKestruneDlg(QWidget* parent) : QDialog(parent) {
    createControls();
    icon_ = QIcon(QStringLiteral(":/icons/kestrune.png"));
    settings_ = GetSettingsStore();
    util_ = GetSystemUtil();
    updates_ = GetUpdateManager();
    language_ = GetLanguageManager();
    table_ = std::make_shared<DeviceTable>();
    listModel_ = std::make_shared<DeviceListModel>();
    insertPrompt_ = std::make_unique<CVSKInsertUSB>();
    jobs_ = std::make_unique<ShredJobs>(table_, listModel_);
    // While jobs run the machine stays awake; one that ends unseen is announced, and its
    // notice brings this window up.
    jobs_->setJobServices(JobServices::forWindow());
    JobServices* jobServices = jobs_->jobServices();
    jobServices->setWindowActive(QGuiApplication::applicationState() == Qt::ApplicationActive);
    connect(qApp, &QGuiApplication::applicationStateChanged, jobServices,
            [jobServices](Qt::ApplicationState state) {
                jobServices->setWindowActive(state == Qt::ApplicationActive);
            });
    connect(jobServices, &JobServices::raiseWindowRequested, this, [this] {
        if (isMinimized())
            showNormal();
        raise();
        activateWindow();
    });
    scanNotifier_ = std::make_shared<MainWindowScanNotifier>(this);
    scanLauncher_ = std::make_unique<DeviceScanLauncher>(table_, listModel_, scanNotifier_);
}

CVSKKestruneDlg::~CVSKKestruneDlg() {
    // Jobs first: they may still tell the monitor about their partitioning.
    jobs_->setOnJobEnded({});
    jobs_.reset();
    monitor_.reset();
    // A scan still running keeps the table, the rows and the notifier alive by itself.
    scanLauncher_.reset();
    scanNotifier_.reset();
    list_->SetDeviceModel(nullptr);
    list_->SetRowNamer({});
    table_.reset();
    insertPrompt_.reset();
    settings_.reset();
    util_.reset();
    updates_.reset();
    language_.reset();
    ReleaseSettingsStore();
    ReleaseSystemUtil();
    ReleaseUpdateManager();
    ReleaseLanguageManager();
}

void CVSKKestruneDlg::createControls() {
    setWindowTitle(QStringLiteral("Kestrune"));
    setFixedSize(duX(648), duY(394));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    ApplyProgramLook(*this);

    list_ = new CListCtrlEx(this);
    list_->setObjectName(QStringLiteral("deviceList"));
    list_->SetAnnouncer(new StatusAnnouncer(this));
    list_->setGeometry(duRect(26, 104, 595, 133));
    welcome_ = new QLabel(this);
    welcome_->setObjectName(QStringLiteral("welcomeText"));
    welcome_->setGeometry(duRect(25, 77, 596, 24));
    welcome_->setWordWrap(true);
    welcome_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    welcome_->setText(QStringLiteral(
        "When you connect a selected memory to your computer it will automatically be "
        "displyed in the list below. Click the start button to start the shredding."));
    top_ = new CPictureEx(this);
    top_->setObjectName(QStringLiteral("topPicture"));
    top_->setGeometry(duRect(0, 0, 15, 13));

    settingsButton_ = new CVSKImageButton(this);
    settingsButton_->setObjectName(QStringLiteral("settingsButton"));
    settingsButton_->setGeometry(duRect(4, 361, 50, 33));
    settingsButton_->setText(QStringLiteral("Settings"));
    stripLeft_ = stripBitmap(132, duRect(0, 361, 4, 33));
    aboutButton_ = new CVSKImageButton(this);
    aboutButton_->setObjectName(QStringLiteral("aboutButton"));
    aboutButton_->setGeometry(duRect(34, 361, 43, 32));
    aboutButton_->setText(QStringLiteral("About"));
    updateButton_ = new CVSKImageButton(this);
    updateButton_->setObjectName(QStringLiteral("updateButton"));
    updateButton_->setGeometry(duRect(61, 361, 32, 32));
    updateButton_->setText(QStringLiteral("Update"));
    stripSeparator_ = stripBitmap(138, duRect(90, 361, 11, 33));
    middle_ = new CPictureEx(this);
    middle_->setObjectName(QStringLiteral("middlePicture"));
    middle_->setGeometry(duRect(101, 361, 15, 13));
    logo_ = new CPictureEx(this);
    logo_->setObjectName(QStringLiteral("logoPicture"));
    logo_->setGeometry(duRect(468, 361, 15, 13));

    // Both texts lie on the panel that the window paints: black on its light grey.
    info_ = new PanelText(PanelText::Kind::Information, this);
    info_->setObjectName(QStringLiteral("infoText"));
    info_->setGeometry(kInfoArea);
    warning_ = new PanelText(PanelText::Kind::Warning, this);
    warning_->setObjectName(QStringLiteral("warningText"));
    warning_->setGeometry(kWarningArea);

    connect(settingsButton_, &CVSKImageButton::clicked, this, &CVSKKestruneDlg::onSettings);
    connect(aboutButton_, &CVSKImageButton::clicked, this, &CVSKKestruneDlg::onAbout);
    connect(updateButton_, &CVSKImageButton::clicked, this, &CVSKKestruneDlg::onUpdate);
    for (CVSKImageButton* button : {settingsButton_, aboutButton_, updateButton_})
        connect(button, &CVSKImageButton::notify, this,
                [this](unsigned message) { OnWndMsg(message, 0); });
    connect(list_, &CListCtrlEx::commandForwarded, this, [this](int code, int id) {
        OnWndMsg(static_cast<unsigned>(code), static_cast<quintptr>(id));
    });
    connect(list_, &CListCtrlEx::rowMenuRequested, this, [this](int row, QPoint at) {
        const auto record = list_->recordOfRow(row);
        if (record && jobs_ && language_)
            ShowRowDocumentsMenu(this, jobs_->progressOf(*record), *language_, at);
    });
#ifndef QT_NO_SESSIONMANAGER
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(app, &QGuiApplication::commitDataRequest, this,
                &CVSKKestruneDlg::onSessionQuitRequest, Qt::DirectConnection);
#endif
}

// A fixed bitmap of the bottom strip, in the drawing for this screen, at the top of its
// rectangle like the buttons beside it.
QLabel* CVSKKestruneDlg::stripBitmap(int id, const QRect& area) {
    auto* label = new QLabel(this);
    label->setGeometry(area);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setPixmap(QPixmap::fromImage(LoadProgramBitmap(id, devicePixelRatioF())));
    return label;
}

int CVSKKestruneDlg::DoModal() {
    if (!OnInitDialog() || endRequested_)
        return QDialog::Accepted;
    return exec();
}

bool CVSKKestruneDlg::OnInitDialog() {
    initialised_ = true;
    if (!language_ || !language_->HasLanguages()) {
        endRequested_ = true;
        return false;
    }
    // Jobs a killed program or a power cut left without an end are recorded before any disk
    // is listed.
    CompleteInterruptedJobs(settings_, language_);
    setWindowIcon(icon_);
    infoBackground_ =
        language_->LoadBitmapForRatio(QStringLiteral("info_bkg"), -1, devicePixelRatioF());
    ShowLanguagePicture(*top_, *language_, QStringLiteral("top"), "JPG", -1);
    ShowLanguagePicture(*logo_, *language_, QStringLiteral("bott_logo"), "JPG", -1);
    showMiddlePicture(DefaultMiddlePicture());
    language_->SelectCurrentLanguage();
    setWindowTitle(settings_->GetProductName());
    welcome_->setText(language_->GetString(QStringLiteral("welcome_txt")));
    setSettingsButtonForm();
    aboutButton_->SetBitmaps(134, 135, 142);
    aboutButton_->SetNotifyMessages(MSG_ABOUT_NORMAL, MSG_ABOUT_HOVER, MSG_ABOUT_PRESSED, this);
    setUpUpdateButton();

    list_->SetParentWindow(this);
    list_->SetBackgroundImage(LoadProgramBitmap(144, devicePixelRatioF()), 98, 70);
    list_->SetProgressColumn(DeviceListModel::ProgressColumn);
    list_->SetStartColumn(DeviceListModel::StartColumn);
    list_->SetDeviceModel(listModel_.get());
    list_->SetRowNamer([language = language_](const RowFacts& row) {
        return AccessibleNamesOfRow(*language, row);
    });
    list_->setColumnCount(DeviceListModel::kColumnCount);
    QStringList headings;
    for (const ColumnDefinition& column : kColumns)
        headings << language_->GetString(QString::fromLatin1(column.key));
    list_->setHorizontalHeaderLabels(headings);
    QList<int> widths;
    for (int i = 0; i < DeviceListModel::kColumnCount; ++i)
        widths << std::max(kColumns[i].width,
                           list_->WidthToShow(headings[i], columnSamples(i, *language_)));
    list_->SetColumnWidths(widths);

    UpdateInfoTexts();
    // Over the empty list, below its header: the prompt covers no text of the window.
    insertPrompt_->Create(this, list_->viewport());
    monitor_ = std::make_unique<platform::DeviceMonitor>(
        monitorOptions_.value_or(platform::DeviceMonitorOptions::fromEnvironment()));
    connect(monitor_.get(), &platform::DeviceMonitor::volumeArrived, this,
            &CVSKKestruneDlg::OnVolumeArrival);
    connect(monitor_.get(), &platform::DeviceMonitor::volumeRemoved, this,
            &CVSKKestruneDlg::OnVolumeRemoval);
    jobs_->setDeviceMonitor(monitor_.get());
    // A shredded disk has lost its volumes: list it afresh once its job has ended.
    jobs_->setOnJobEnded([window = QPointer<CVSKKestruneDlg>(this)] {
        QMetaObject::invokeMethod(
            window,
            [window] {
                if (window)
                    window->startDeviceScan();
            },
            Qt::QueuedConnection);
    });
    startDeviceScan();
    return true;
}

void CVSKKestruneDlg::setSettingsButtonForm() {
    if (settings_->GetHideSettings()) {
        settingsButton_->SetBitmaps(169, 169, 169);
        settingsButton_->setEnabled(false);
    } else {
        settingsButton_->SetBitmaps(130, 131, 143);
        settingsButton_->SetNotifyMessages(MSG_SETTINGS_NORMAL, MSG_SETTINGS_HOVER,
                                           MSG_SETTINGS_PRESSED, this);
    }
}

void CVSKKestruneDlg::setUpUpdateButton() {
    if (!updates_ || !updates_->IsUpdateAvailable() || updates_->GetHideUpdate()) {
        updateButton_->SetBitmaps(168, 168, 168);
        updateButton_->setEnabled(false);
        return;
    }
    updateButton_->SetBitmaps(139, 140, 141);
    updateButton_->SetNotifyMessages(MSG_UPDATE_NORMAL, MSG_UPDATE_HOVER, MSG_UPDATE_PRESSED, this);
    const std::uint32_t schedule = updates_->GetUpdateSchedule();
    if (!updates_->IsUpdateDue(schedule) || updates_->RunUpdate(1) != 2)
        return;
    language_->SelectCurrentLanguage();
    const int answer =
        platform::showMessage(language_->GetString(QStringLiteral("question_install_update")),
                              settings_->GetProductName(),
                              platform::MB_YESNO_STYLE | platform::MB_ICONQUESTION_STYLE, this);
    if (answer == platform::ID_YES && updates_->RunUpdate(0) != 0)
        endRequested_ = true;
}

void CVSKKestruneDlg::UpdateInfoTexts() {
    const InfoTexts texts = ComposeInfoTexts(
        settings_->GetShredAlgo(), settings_->GetFormatDrive(), settings_->GetStartAuto(),
        [this](const QString& key) { return language_->GetString(key); });
    info_->setText(texts.information);
    info_->setTitle(texts.title);
    warning_->setText(texts.warning);
    layOutInfoTexts();
}

// Without a warning the information has the whole panel. The texts sit in the middle of
// the panel's height, the warning level with the information's first line; a text too
// long for the panel gets all of its height and ends in an ellipsis.
void CVSKKestruneDlg::layOutInfoTexts() {
    const bool warning = !warning_->text().isEmpty();
    const QRect infoArea = warning ? kInfoArea : kInfoArea.united(kWarningArea);
    int needed = info_->heightForText(infoArea.width());
    if (warning)
        needed = std::max(needed, warning_->heightForText(kWarningArea.width()));
    const int height = std::min(needed, infoArea.height());
    const int top = infoArea.top() + (infoArea.height() - height) / 2;
    info_->setGeometry(infoArea.left(), top, infoArea.width(), infoArea.bottom() + 1 - top);
    // The warning's text starts level with the information's first line.
    const int warningTop = top + PanelText::kInformationMargin - PanelText::kWarningMargin;
    warning_->setGeometry(kWarningArea.left(), warningTop, kWarningArea.width(),
                          kWarningArea.bottom() + 1 - warningTop);
    warning_->setVisible(warning);
}

void CVSKKestruneDlg::showMiddlePicture(const QString& name) {
    middleName_ = name;
    ShowLanguagePicture(*middle_, *language_, name, "JPG", -1);
}

void CVSKKestruneDlg::startDeviceScan() {
    scanLauncher_->startDeviceScan();
}

void CVSKKestruneDlg::OnVolumeArrival() {
    startDeviceScan();
    insertPrompt_->Follow(InsertPromptRule::Event::VolumeArrived);
}

void CVSKKestruneDlg::OnVolumeRemoval() {
    startDeviceScan();
}

void CVSKKestruneDlg::OnWndMsg(unsigned message, quintptr wParam) {
    if (const std::optional<QString> picture = MiddlePictureForMessage(message)) {
        showMiddlePicture(*picture);
        return;
    }
    switch (message) {
    case MSG_ROW_COMMAND:
        onStartButton(wParam, StartAbortButton::Press::Deliberate);
        break;
    case MSG_ROW_DOUBLECLICKED:
        onStartButton(wParam, StartAbortButton::Press::DoubleClickSecond);
        break;
    case UM_DEVICELIST_EMPTY:
        insertPrompt_->Follow(InsertPromptRule::Event::ListEmpty, close_.closing());
        break;
    case UM_DEVICELIST_FILLED:
        insertPrompt_->Follow(InsertPromptRule::Event::ListFilled, close_.closing());
        break;
    default:
        break;
    }
}

void CVSKKestruneDlg::onStartButton(quintptr controlId, StartAbortButton::Press kind) {
    const auto id = static_cast<std::uint32_t>(controlId);
    std::printf("msg click %d %d\n", static_cast<int>(id),
                static_cast<int>(id - StartAbortButton::kIdBase));
    std::fflush(stdout);
    const std::optional<std::uint32_t> number = StartAbortButton::deviceNumberOf(controlId);
    if (!number || close_.closing())
        return;
    const std::uint32_t deviceNumber = *number;
    DeviceTable::RecordPtr record = table_->findByDeviceNumber(deviceNumber);
    if (!record)
        return;
    const JobState state = record->state();
    const auto rowNow = [&record] {
        return StartAbortButton::Row{record->state(), record->hasMedium};
    };
    const StartAbortButton::Action action =
        StartAbortButton::press(rowNow(), settings_->GetAskBeforeStart(), kind);
    if (action == StartAbortButton::Action::ReportNoMedium) {
        // The row that shows this record now: a removal on the watcher thread may have moved it.
        const int row = listModel_->rowOfRecord(record.get());
        if (row >= 0)
            listModel_->setCellText(row, DeviceListModel::StatusColumn,
                                    language_->GetString(QStringLiteral("status_failed_media")));
    } else if (action == StartAbortButton::Action::Ask ||
               action == StartAbortButton::Action::Start) {
        const std::uint32_t algorithm = EffectiveShredAlgorithm(settings_->GetShredAlgo());
        const bool confirmed =
            action == StartAbortButton::Action::Start || confirmStart(*record, algorithm);
        if (terminationRequested_) {
            done(QDialog::Rejected);
            return;
        }
        if (!StartAbortButton::startStillWanted(confirmed, close_.closing(),
                                                table_->findByDeviceNumber(deviceNumber) == record,
                                                state, rowNow()))
            return;
        jobs_->start(record, static_cast<std::int32_t>(algorithm));
    } else if (action == StartAbortButton::Action::Abort) {
        jobs_->abort(record);
    }
}

void CVSKKestruneDlg::onSettings() {
    {
        CVSKSettingsDlg dialog(this);
        dialog.exec();
    }
    UpdateInfoTexts();
}

void CVSKKestruneDlg::onAbout() {
    {
        CVSKInfoDlg dialog(this);
        dialog.exec();
    }
    UpdateInfoTexts();
}

void CVSKKestruneDlg::onUpdate() {
    if (updates_)
        updates_->RunUpdate(0);
}

void CVSKKestruneDlg::onSessionQuitRequest(QSessionManager& manager) {
    std::printf("WM_QUERYENDSESSION\n");
    std::printf("ENDSESSION_CLOSEAPP\n");
    std::printf("WM_ENDSESSION\n");
    std::fflush(stdout);
#ifndef QT_NO_SESSIONMANAGER
    if (!jobs_ || jobs_->runningCount() == 0 || close_.closing())
        return;
    if (manager.allowsInteraction()) {
        const bool abort = confirmAbortForClose();
        manager.release();
        if (!abort) {
            manager.cancel();
            return;
        }
    }
    closeAbortingJobs();
#else
    Q_UNUSED(manager);
#endif
}

void CVSKKestruneDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    if (!infoBackground_.isNull())
        painter.drawImage(QRectF(infoPanelRect()), infoBackground_);
}

QRect CVSKKestruneDlg::infoPanelRect() const {
    if (infoBackground_.isNull())
        return {};
    const QSize size = infoBackground_.deviceIndependentSize().toSize();
    return QRect(QPoint((width() - size.width()) / 2, kPanelTop), size);
}

void CVSKKestruneDlg::closeEvent(QCloseEvent* event) {
    if (close_.closing()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

// Enter ends the window like Escape does, as the dialog's own OK would.
void CVSKKestruneDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CVSKKestruneDlg::done(int result) {
    if (close_.closing() || asking_)
        return;
    if (jobs_ && CloseWithJobs::mustAsk(jobs_->runningCount(), terminationRequested_) &&
        !confirmAbortForClose())
        return;
    if (waitForJobsBeforeClosing(result))
        return;
    QDialog::done(result);
}

// Asks before a job erases the disk; No is the default answer, and Enter and Escape
// keep the disk too.
bool CVSKKestruneDlg::confirmStart(const DeviceRecord& record, std::uint32_t algorithm) {
    asking_ = true;
    const int answer = platform::showMessage(
        StartQuestionText(*language_, listModel_->diskOfRecord(&record), algorithm,
                          settings_->GetFormatDrive()),
        settings_->GetProductName(),
        platform::MB_YESNO_STYLE | platform::MB_ICONQUESTION_STYLE | platform::MB_DEFBUTTON2_STYLE,
        this);
    asking_ = false;
    return answer == platform::ID_YES;
}

} // namespace kestrune
