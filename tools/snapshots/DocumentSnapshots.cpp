#include "DocumentSnapshots.h"

#include "app/SettingsStore.h"
#include "app/SystemUtil.h"
#include "controls/CListCtrlEx.h"
#include "devices/DeviceListModel.h"
#include "lang/LanguageManager.h"
#include "platform/Registry.h"
#include "shred/InterruptedJobs.h"
#include "shred/ShredReport.h"
#include "ui/CVSKKestruneDlg.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QPainter>
#include <QThread>
#include <cstdio>

namespace kestrune::snapshots {
namespace {

void pumpFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

void writeMachineText(const QString& name, const QString& text) {
    QByteArray data(reinterpret_cast<const char*>(text.utf16()), (text.size() + 1) * 2);
    platform::registry().write(
        platform::RegistryRoot::LocalMachine,
        QStringLiteral("Software\\Vaskor Security\\Vaskor Kestrune\\Settings\\Signing"), name,
        platform::RegistryValue{platform::REG_SZ_TYPE, data});
}

} // namespace

QImage windowWithRowMenu(CVSKKestruneDlg& window, int row) {
    CListCtrlEx* list = window.deviceList();
    // Opened below the status, as under a pointer resting there: the row stays readable.
    const QRect cells = list->visualRect(list->model()->index(row, DeviceListModel::StatusColumn));
    const QPoint at = list->viewport()->mapToGlobal(cells.bottomLeft());
    emit list->rowMenuRequested(row, at);
    pumpFor(200);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu)
        return {};
    QImage picture = window.grab().toImage();
    QPainter painter(&picture);
    const QPoint inWindow = menu->geometry().topLeft() - window.mapToGlobal(QPoint(0, 0));
    painter.drawImage(inWindow, menu->grab().toImage());
    painter.end();
    menu->close();
    pumpFor(100);
    return picture;
}

void setSigning(const QString& certificateFile, const QString& keyFile) {
    writeMachineText(QStringLiteral("CertificateFile"), certificateFile);
    writeMachineText(QStringLiteral("KeyFile"), keyFile);
}

bool leaveAndCompleteInterruptedJob() {
    auto language = GetLanguageManager();
    {
        ShredReport running(102, language);
        running.addHardwareItems(QStringLiteral("07A3B1C9E2F4"), QStringLiteral("SanStick"),
                                 QStringLiteral("Ultra Fit"), QStringLiteral("0.06"),
                                 QStringLiteral("USB"));
        JobProvenance who;
        who.toolName = language->GetString(QStringLiteral("product_name"));
        who.toolVersion = GetSettingsStore()->util()->FindProgramVersion();
        who.mediumType = platform::MediumType::UsbFlashDrive;
        who.operatorLogin = QStringLiteral("jdoe");
        who.operatorName = QStringLiteral("Jane Doe");
        who.host = QStringLiteral("records-station-2");
        running.setProvenance(who);
        constexpr std::uint64_t pass = std::uint64_t{64} << 20;
        running.setOutcome(JobStatus::None, pass);
        if (const QString failure = running.openRecord(); !failure.isEmpty()) {
            std::fprintf(stderr, "snapshots: no record: %s\n", qPrintable(failure));
            return false;
        }
        // Three passes and the read-back over 64 MiB; a third of the second pass written.
        const std::uint64_t done = pass + pass / 3;
        running.setProgress(JobRecordProgress::fromBytes(3, done, 4 * pass - done));
        running.updateRecord();
        // The job's program ends here without a word, as when it is killed.
    }
    return !CompleteInterruptedJobs(GetSettingsStore(), language).empty();
}

} // namespace kestrune::snapshots
