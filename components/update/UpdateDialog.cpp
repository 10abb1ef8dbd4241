#include "UpdateDialog.h"

#include "UpdateFeed.h"

#include "platform/InvokingUser.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

namespace kestrune::update {
namespace {

class UpdateDialog final : public QDialog {
public:
    UpdateDialog(const QString& productName, const QString& programVersion)
        : productName_(productName), programVersion_(programVersion) {
        setObjectName(QStringLiteral("updateDialog"));
        setWindowTitle(productName.isEmpty() ? QStringLiteral("Update")
                                             : productName + QStringLiteral(" Update"));
        setModal(true);
        setMinimumWidth(460);

        heading_ = new QLabel(this);
        heading_->setObjectName(QStringLiteral("headingLabel"));
        heading_->setWordWrap(true);
        QFont bold = heading_->font();
        bold.setBold(true);
        heading_->setFont(bold);
        versions_ = new QLabel(this);
        versions_->setObjectName(QStringLiteral("versionsLabel"));
        notes_ = new QPlainTextEdit(this);
        notes_->setObjectName(QStringLiteral("notesText"));
        notes_->setReadOnly(true);
        notes_->hide();
        progress_ = new QProgressBar(this);
        progress_->setObjectName(QStringLiteral("downloadProgress"));
        progress_->hide();
        status_ = new QLabel(this);
        status_->setObjectName(QStringLiteral("statusLabel"));
        status_->setWordWrap(true);
        status_->setTextInteractionFlags(Qt::TextSelectableByMouse);

        download_ = new QPushButton(QStringLiteral("Download"), this);
        download_->setObjectName(QStringLiteral("downloadButton"));
        install_ = new QPushButton(QStringLiteral("Download and install"), this);
        install_->setObjectName(QStringLiteral("installButton"));
        close_ = new QPushButton(QStringLiteral("Close"), this);
        close_->setObjectName(QStringLiteral("closeButton"));
        download_->setEnabled(false);
        install_->setEnabled(false);
        download_->setAutoDefault(false);
        install_->setAutoDefault(false);

        auto* buttons = new QHBoxLayout;
        buttons->addStretch();
        buttons->addWidget(download_);
        buttons->addWidget(install_);
        buttons->addWidget(close_);
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(heading_);
        layout->addWidget(versions_);
        layout->addWidget(notes_, 1);
        layout->addWidget(progress_);
        layout->addWidget(status_);
        layout->addLayout(buttons);

        connect(close_, &QPushButton::clicked, this, [this] { reject(); });
        connect(download_, &QPushButton::clicked, this, [this] { startDownload(false); });
        connect(install_, &QPushButton::clicked, this, [this] { startDownload(true); });
        poll_.setInterval(50);
        connect(&poll_, &QTimer::timeout, this, [this] { pollWork(); });
    }

    ~UpdateDialog() override { stopWork(); }

    void startCheck() {
        heading_->setText(QStringLiteral("Looking for updates..."));
        versions_->setText(QStringLiteral("Installed version: %1").arg(installedText()));
        const QString product = productName_;
        const QString version = programVersion_;
        check_ = std::async(std::launch::async,
                            [product, version] { return checkForUpdate(product, version); });
        poll_.start();
    }

    bool mustClose() const { return mustClose_; }

    void reject() override {
        stopWork();
        QDialog::reject();
    }

private:
    QString installedText() const {
        const auto parsed = parseVersion(programVersion_);
        return parsed && programVersion_.compare(QLatin1String("none"), Qt::CaseInsensitive) != 0
                   ? versionText(*parsed)
                   : QStringLiteral("unknown");
    }

    void stopWork() {
        cancel_ = true;
        if (check_.valid())
            check_.wait();
        if (download_thread_.joinable())
            download_thread_.join();
        poll_.stop();
    }

    void pollWork() {
        if (check_.valid() &&
            check_.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
            result_ = check_.get();
            showCheckResult();
        }
        if (downloading_) {
            const qint64 total = total_.load();
            if (total > 0) {
                progress_->setRange(0, 1000);
                progress_->setValue(int(received_.load() * 1000 / total));
            } else {
                progress_->setRange(0, 0);
            }
            if (downloadDone_.load())
                finishDownload();
        }
        if (!check_.valid() && !downloading_)
            poll_.stop();
    }

    void showCheckResult() {
        switch (result_.outcome) {
        case Outcome::Newer:
            heading_->setText(QStringLiteral("A new version is available."));
            versions_->setText(QStringLiteral("Installed version: %1\nNew version: %2")
                                   .arg(installedText(), versionText(result_.manifest.version)));
            notes_->setPlainText(result_.manifest.notes.isEmpty()
                                     ? QStringLiteral("No release notes were given.")
                                     : result_.manifest.notes);
            notes_->show();
            if (result_.manifest.url.isEmpty()) {
                status_->setText(
                    QStringLiteral("The update information names no package to download."));
            } else {
                download_->setEnabled(true);
                install_->setEnabled(true);
                install_->setDefault(true);
            }
            break;
        case Outcome::Current:
            heading_->setText(QStringLiteral("You have the latest version."));
            versions_->setText(QStringLiteral("Installed version: %1\nLatest version: %2")
                                   .arg(installedText(), versionText(result_.manifest.version)));
            break;
        case Outcome::NoFeed:
        case Outcome::Unreachable:
        case Outcome::Malformed:
            heading_->setText(QStringLiteral("No update information is available."));
            status_->setText(result_.message);
            break;
        }
    }

    void startDownload(bool install) {
        if (downloading_ || result_.outcome != Outcome::Newer || result_.manifest.url.isEmpty())
            return;
        QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        if (folder.isEmpty())
            folder = QDir::homePath();
        if (!kestrune::platform::CreateUserFolders(QFile::encodeName(folder).toStdString())) {
            status_->setText(
                QStringLiteral("The download folder %1 could not be created.").arg(folder));
            return;
        }
        target_ = downloadTargetFor(folder, result_.manifest.url, result_.manifest.version);
        install_requested_ = install;
        downloading_ = true;
        downloadDone_ = false;
        received_ = 0;
        total_ = -1;
        download_->setEnabled(false);
        install_->setEnabled(false);
        progress_->show();
        status_->setText(QStringLiteral("Downloading %1...").arg(result_.manifest.url));
        const QString address = result_.manifest.url;
        const QString target = target_;
        download_thread_ = std::thread([this, address, target] {
            QString error;
            const bool ok = downloadFile(
                address, target, cancel_,
                [this](qint64 received, qint64 total) {
                    received_ = received;
                    total_ = total;
                },
                &error);
            downloadOk_ = ok;
            downloadError_ = error;
            downloadDone_ = true;
        });
        poll_.start();
    }

    void finishDownload() {
        download_thread_.join();
        downloading_ = false;
        progress_->hide();
        bool ok = downloadOk_;
        QString message = downloadError_;
        if (ok && !result_.manifest.sha256.isEmpty() &&
            sha256OfFile(target_) != result_.manifest.sha256) {
            QFile::remove(target_);
            ok = false;
            message = QStringLiteral("The downloaded package does not match its checksum and "
                                     "was deleted.");
        }
        if (!ok) {
            status_->setText(message);
            download_->setEnabled(true);
            install_->setEnabled(true);
            return;
        }
        if (!openPackage(target_)) {
            status_->setText(QStringLiteral("The package was saved to %1 but could not be opened.")
                                 .arg(target_));
            download_->setEnabled(true);
            install_->setEnabled(true);
            return;
        }
        if (install_requested_) {
            mustClose_ = true;
            accept();
            return;
        }
        status_->setText(QStringLiteral("The package was saved to %1.").arg(target_));
        download_->setEnabled(true);
        install_->setEnabled(true);
    }

    QString productName_;
    QString programVersion_;
    QLabel* heading_ = nullptr;
    QLabel* versions_ = nullptr;
    QPlainTextEdit* notes_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* download_ = nullptr;
    QPushButton* install_ = nullptr;
    QPushButton* close_ = nullptr;
    QTimer poll_;

    std::future<CheckResult> check_;
    CheckResult result_;
    std::thread download_thread_;
    std::atomic<bool> cancel_{false};
    std::atomic<bool> downloadDone_{false};
    std::atomic<qint64> received_{0};
    std::atomic<qint64> total_{-1};
    bool downloadOk_ = false;
    QString downloadError_;
    QString target_;
    bool downloading_ = false;
    bool install_requested_ = false;
    bool mustClose_ = false;
};

} // namespace

bool openPackage(const QString& path) {
    if (QProcess::startDetached(QStringLiteral("xdg-open"), {path}))
        return true;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

bool runUpdateDialog(const QString& productName, const QString& programVersion) {
    UpdateDialog dialog(productName, programVersion);
    dialog.startCheck();
    dialog.exec();
    return dialog.mustClose();
}

} // namespace kestrune::update
