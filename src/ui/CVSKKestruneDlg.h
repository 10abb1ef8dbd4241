#pragma once

#include "devices/DeviceRecord.h"
#include "platform/DeviceMonitor.h"
#include "ui/PanelText.h"
#include "window/CloseWithJobs.h"
#include "window/StartAbortButton.h"

#include <QDialog>
#include <QIcon>
#include <QImage>
#include <chrono>
#include <memory>
#include <optional>

class QLabel;
class QSessionManager;

namespace kestrune {

class CListCtrlEx;
class CPictureEx;
class CVSKImageButton;
class CVSKInsertUSB;
class DeviceListModel;
class DeviceTable;
class LanguageManager;
class SettingsStore;
class ShredJobs;
class SystemUtil;
class UpdateManager;
class DeviceScanLauncher;
class DeviceScanNotifier;

// The program's main window: banner, welcome text, the device list, the information
// texts and the bottom strip with Settings, About and Update.
class CVSKKestruneDlg : public QDialog {
    Q_OBJECT
public:
    explicit CVSKKestruneDlg(QWidget* parent = nullptr);
    ~CVSKKestruneDlg() override;

    // Initialises the window and runs it modally; returns the dialog result.
    int DoModal();
    // Builds the window; false when the run must end at once (no language available).
    bool OnInitDialog();
    void UpdateInfoTexts();
    void startDeviceScan();
    // The program's own messages (row clicks, bottom-strip notifications, prompt).
    void OnWndMsg(unsigned message, quintptr wParam);
    void OnVolumeArrival();
    void OnVolumeRemoval();
    // Whether initialisation decided to end the modal run (no language, accepted update).
    bool endRequested() const { return endRequested_; }
    // How long closing waits for aborted jobs before it gives up on them.
    void setCloseWait(std::chrono::milliseconds wait) { close_.setWait(wait); }
    // Replaces the device monitor's options taken from the environment (before
    // OnInitDialog).
    void setDeviceMonitorOptions(const platform::DeviceMonitorOptions& options) {
        monitorOptions_ = options;
    }

    CListCtrlEx* deviceList() const { return list_; }
    QLabel* welcomeText() const { return welcome_; }
    PanelText* infoText() const { return info_; }
    PanelText* warningText() const { return warning_; }
    CVSKImageButton* settingsButton() const { return settingsButton_; }
    CVSKImageButton* aboutButton() const { return aboutButton_; }
    CVSKImageButton* updateButton() const { return updateButton_; }
    CPictureEx* middlePicture() const { return middle_; }
    CVSKInsertUSB* insertPrompt() const { return insertPrompt_.get(); }
    const std::shared_ptr<DeviceTable>& table() const { return table_; }
    const std::shared_ptr<DeviceListModel>& listModel() const { return listModel_; }
    ShredJobs& jobs() const { return *jobs_; }
    DeviceScanLauncher* scanLauncher() const { return scanLauncher_.get(); }
    // The middle picture's last name, for tests and snapshots.
    QString middlePictureName() const { return middleName_; }
    // The information panel as drawn, in window coordinates.
    QRect infoPanelRect() const;

public slots:
    void done(int result) override;
    // Closing as if the user had agreed to abort every job: for a terminating signal or a
    // session that ends without asking.
    void closeAbortingJobs();

signals:
    void jobsFinishedForClose();

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void createControls();
    QLabel* stripBitmap(int id, const QRect& area);
    void layOutInfoTexts();
    void setSettingsButtonForm();
    void setUpUpdateButton();
    void showMiddlePicture(const QString& name);
    void onStartButton(quintptr controlId, StartAbortButton::Press kind);
    void onSettings();
    void onAbout();
    void onUpdate();
    void onSessionQuitRequest(QSessionManager& manager);
    bool confirmAbortForClose();
    bool confirmStart(const DeviceRecord& record, std::uint32_t algorithm);
    bool waitForJobsBeforeClosing(int result);
    void reportUnfinishedJobs();

    QIcon icon_;
    QImage infoBackground_;
    std::shared_ptr<SettingsStore> settings_;
    std::shared_ptr<SystemUtil> util_;
    std::shared_ptr<UpdateManager> updates_;
    std::shared_ptr<LanguageManager> language_;
    std::shared_ptr<DeviceTable> table_;
    std::shared_ptr<DeviceListModel> listModel_;
    std::unique_ptr<CVSKInsertUSB> insertPrompt_;
    std::unique_ptr<ShredJobs> jobs_;
    std::shared_ptr<DeviceScanNotifier> scanNotifier_;
    std::unique_ptr<DeviceScanLauncher> scanLauncher_;
    std::unique_ptr<platform::DeviceMonitor> monitor_;

    CListCtrlEx* list_ = nullptr;
    QLabel* welcome_ = nullptr;
    CVSKImageButton* settingsButton_ = nullptr;
    CVSKImageButton* aboutButton_ = nullptr;
    CVSKImageButton* updateButton_ = nullptr;
    PanelText* info_ = nullptr;
    PanelText* warning_ = nullptr;
    CPictureEx* middle_ = nullptr;
    CPictureEx* top_ = nullptr;
    CPictureEx* logo_ = nullptr;
    QLabel* stripLeft_ = nullptr;
    QLabel* stripSeparator_ = nullptr;
    QString middleName_;
    bool endRequested_ = false;
    bool initialised_ = false;
    bool asking_ = false;
    bool terminationRequested_ = false;
    CloseWithJobs close_;
    std::optional<platform::DeviceMonitorOptions> monitorOptions_;
};

} // namespace kestrune
