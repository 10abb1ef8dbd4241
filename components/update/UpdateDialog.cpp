#include "UpdateDialog.h"

#include "DebianVersion.h"
#include "UpdateFeed.h"
#include "UpdateLook.h"
#include "UpdateTrust.h"

#include "base/InvokingUser.h"

#include <kestrune/update_abi.h>

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
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
        // The product's own dialogs have no caption: a banner, a white body and a band
        // with the buttons.
        setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
        setModal(true);
        setPalette(productPalette());
        setAutoFillBackground(true);
        setFixedWidth(520);

        auto* banner =
            new Banner(productName.isEmpty() ? QStringLiteral("Kestrune") : productName, this);
        createTexts();
        auto* band = createButtons();
        arrange(banner, band);
        fit();

        connect(close_, &QPushButton::clicked, this, [this] { reject(); });
        connect(download_, &QPushButton::clicked, this, [this] { startDownload(false); });
        connect(install_, &QPushButton::clicked, this, [this] { startDownload(true); });
        poll_.setInterval(50);
        connect(&poll_, &QTimer::timeout, this, [this] { pollWork(); });
    }

    ~UpdateDialog() override {
        stopWork();
        removeDownloadFolder(folder_);
    }

    void startCheck() {
        heading_->setText(QStringLiteral("Looking for updates..."));
        versions_->setText(QStringLiteral("Installed version: %1").arg(installedText()));
        const QString product = productName_;
        const QString version = programVersion_;
        fit();
        check_ = std::async(std::launch::async,
                            [product, version] { return checkForUpdate(product, version); });
        poll_.start();
    }

    bool mustClose() const { return mustClose_; }
    bool refused() const { return refused_; }

    // The width is the product's; the height follows what the dialog shows now.
    void fit() {
        layout()->activate();
        // A layout without height-for-width answers -1, which no widget can be given.
        const int forWidth =
            layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(width()) : -1;
        setFixedHeight(forWidth > 0 ? forWidth : layout()->totalSizeHint().height());
    }

    void reject() override {
        stopWork();
        QDialog::reject();
    }

private:
    void createTexts() {
        heading_ = new QLabel(this);
        heading_->setObjectName(QStringLiteral("headingLabel"));
        heading_->setWordWrap(true);
        QFont bold = heading_->font();
        bold.setBold(true);
        bold.setPixelSize(14);
        heading_->setFont(bold);
        heading_->setStyleSheet(QStringLiteral("color: #0e2742;"));
        versions_ = new QLabel(this);
        versions_->setObjectName(QStringLiteral("versionsLabel"));
        notes_ = new QPlainTextEdit(this);
        notes_->setObjectName(QStringLiteral("notesText"));
        notes_->setReadOnly(true);
        notes_->setFixedHeight(96);
        notes_->hide();
        progress_ = new QProgressBar(this);
        progress_->setObjectName(QStringLiteral("downloadProgress"));
        progress_->setTextVisible(false);
        progress_->setFixedHeight(14);
        progress_->hide();
        status_ = new QLabel(this);
        status_->setObjectName(QStringLiteral("statusLabel"));
        status_->setWordWrap(true);
        status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }

    // The band with the buttons, which stay off until there is something to download.
    Band* createButtons() {
        auto* band = new Band(this);
        download_ = new QPushButton(QStringLiteral("Download"), band);
        download_->setObjectName(QStringLiteral("downloadButton"));
        install_ = new QPushButton(QStringLiteral("Download and install"), band);
        install_->setObjectName(QStringLiteral("installButton"));
        close_ = new QPushButton(QStringLiteral("Close"), band);
        close_->setObjectName(QStringLiteral("closeButton"));
        download_->setEnabled(false);
        install_->setEnabled(false);
        // Root for a user keeps a package only in a folder of its own that goes with the
        // dialog; there is nothing to hand to the desktop's opener.
        download_->setVisible(!platform::ElevatedFor());
        download_->setAutoDefault(false);
        install_->setAutoDefault(false);
        for (QPushButton* button : {download_, install_, close_})
            button->setMinimumWidth(std::max(75, button->sizeHint().width()));
        return band;
    }

    void arrange(Banner* banner, Band* band) {
        auto* buttons = new QHBoxLayout(band);
        buttons->setContentsMargins(0, 1, Band::kInset, Band::kBarHeight);
        buttons->setSpacing(8);
        buttons->addStretch();
        buttons->addWidget(download_);
        buttons->addWidget(install_);
        buttons->addWidget(close_);

        auto* body = new QVBoxLayout;
        body->setContentsMargins(24, 16, 24, 16);
        body->setSpacing(8);
        body->addWidget(heading_);
        body->addWidget(versions_);
        body->addWidget(notes_);
        body->addWidget(progress_);
        body->addWidget(status_);
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        layout->addWidget(banner);
        layout->addLayout(body);
        layout->addStretch();
        layout->addWidget(band);
    }

    QString installedText() const {
        return isDebianVersion(programVersion_) ? programVersion_ : QStringLiteral("unknown");
    }

    // A feed or package that failed a check ends the dialog: the program tells the user in
    // their language, and the reason is already logged.
    void refuse() {
        refused_ = true;
        reject();
    }

    void stopWork() {
        cancel_ = true;
        if (installer_ && installer_->state() != QProcess::NotRunning) {
            // Closing the dialog does not cancel an installation that is under way.
            installer_->disconnect(this);
            installer_->waitForFinished(-1);
        }
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
                                   .arg(installedText(), result_.manifest.version));
            notes_->setPlainText(result_.manifest.notes.isEmpty()
                                     ? QStringLiteral("No release notes were given.")
                                     : result_.manifest.notes);
            notes_->show();
            download_->setEnabled(true);
            install_->setEnabled(true);
            install_->setDefault(true);
            break;
        case Outcome::Current:
            heading_->setText(QStringLiteral("You have the latest version."));
            versions_->setText(QStringLiteral("Installed version: %1\nLatest version: %2")
                                   .arg(installedText(), result_.manifest.version));
            break;
        case Outcome::Refused:
            refuse();
            return;
        case Outcome::NoFeed:
        case Outcome::Unreachable:
            heading_->setText(QStringLiteral("No update information is available."));
            status_->setText(result_.message);
            break;
        }
        fit();
    }

    void startDownload(bool install) {
        if (downloading_ || result_.outcome != Outcome::Newer)
            return;
        if (folder_.path.isEmpty()) {
            folder_ = prepareDownloadFolder();
            if (folder_.path.isEmpty()) {
                status_->setText(folder_.error);
                fit();
                return;
            }
        }
        target_ = downloadTargetFor(folder_.path, result_.manifest.url, result_.manifest.version);
        install_requested_ = install;
        downloading_ = true;
        downloadDone_ = false;
        received_ = 0;
        total_ = -1;
        download_->setEnabled(false);
        install_->setEnabled(false);
        progress_->show();
        status_->setText(QStringLiteral("Downloading %1...").arg(result_.manifest.url));
        fit();
        const Manifest manifest = result_.manifest;
        const QString caFile = result_.settings.caFile;
        const QString running = programVersion_;
        const QString target = target_;
        const QByteArray signedFeed = result_.feed;
        download_thread_ = std::thread([this, manifest, caFile, running, target, signedFeed] {
            QString error;
            bool refused = false;
            bool ok = downloadFile(
                manifest.url, target, manifest.size, caFile, cancel_,
                [this](qint64 received, qint64 total) {
                    received_ = received;
                    total_ = total;
                },
                &error, &refused);
            // Checked here, where it was written: what goes to the installer is this file.
            if (ok) {
                error = checkPackage(target, manifest.sha256, manifest.version, running);
                if (!error.isEmpty()) {
                    QFile::remove(target);
                    ok = false;
                    refused = true;
                }
            }
            // The installer checks the package again against the very feed checked here.
            if (ok) {
                QFile feed(feedFileFor(target));
                if (!feed.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
                    feed.write(signedFeed) != signedFeed.size() || !feed.flush()) {
                    error = QStringLiteral("%1 could not be saved: %2")
                                .arg(feed.fileName(), feed.errorString());
                    feed.close();
                    feed.remove();
                    QFile::remove(target);
                    ok = false;
                }
            }
            downloadOk_ = ok;
            downloadRefused_ = refused;
            downloadError_ = error;
            downloadDone_ = true;
        });
        poll_.start();
    }

    void finishDownload() {
        download_thread_.join();
        downloading_ = false;
        progress_->hide();
        if (downloadRefused_) {
            logRefusal(QStringLiteral("the package from %1: %2")
                           .arg(result_.manifest.url, downloadError_));
            refuse();
            return;
        }
        if (!downloadOk_) {
            offerAgain(downloadError_);
            return;
        }
        if (install_requested_) {
            startInstall();
            return;
        }
        if (!openPackage(target_)) {
            status_->setText(QStringLiteral("The package was saved to %1 but could not be opened.")
                                 .arg(target_));
        } else {
            status_->setText(QStringLiteral("The package was saved to %1.").arg(target_));
        }
        download_->setEnabled(true);
        install_->setEnabled(true);
        fit();
    }

    // Hands the package to the installer and waits for its verdict: only an installer
    // that installed the package ends the program.
    void startInstall() {
        QString why;
        const QStringList command = installerCommand(feedFileFor(target_), target_, &why);
        if (command.isEmpty()) {
            offerAgain(QStringLiteral("The package was saved to %1. %2").arg(target_, why));
            return;
        }
        installer_ = new QProcess(this);
        installer_->setProcessChannelMode(QProcess::MergedChannels);
        if (const auto environment = installerEnvironment())
            installer_->setProcessEnvironment(*environment);
        connect(installer_, &QProcess::finished, this,
                [this](int code, QProcess::ExitStatus how) { installerFinished(code, how); });
        connect(installer_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return;
            const QString program = installer_->program();
            installer_->deleteLater();
            installer_ = nullptr;
            offerAgain(QStringLiteral("The installer (%1) could not be started. The package was "
                                      "saved to %2.")
                           .arg(program, target_));
        });
        progress_->setRange(0, 0);
        progress_->show();
        status_->setText(QStringLiteral("Installing %1... Your system may ask for your password.")
                             .arg(QFileInfo(target_).fileName()));
        fit();
        installer_->start(command.first(), command.mid(1));
    }

    void installerFinished(int code, QProcess::ExitStatus how) {
        const QString output = QString::fromLocal8Bit(installer_->readAll()).trimmed();
        installer_->deleteLater();
        installer_ = nullptr;
        if (how == QProcess::NormalExit && code == 0) {
            mustClose_ = true;
            accept();
            return;
        }
        const QString last = output.section(QLatin1Char('\n'), -1).trimmed();
        QString reason = how == QProcess::NormalExit
                             ? QStringLiteral("the installer ended with code %1").arg(code)
                             : QStringLiteral("the installer stopped unexpectedly");
        if (!last.isEmpty())
            reason += QStringLiteral(": ") + last;
        offerAgain(QStringLiteral("The package was not installed (%1). It stays saved at %2.")
                       .arg(reason, target_));
    }

    void offerAgain(const QString& message) {
        progress_->hide();
        status_->setText(message);
        download_->setEnabled(true);
        install_->setEnabled(true);
        fit();
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
    bool downloadRefused_ = false;
    QString downloadError_;
    DownloadFolder folder_;
    QString target_;
    bool downloading_ = false;
    bool install_requested_ = false;
    bool mustClose_ = false;
    bool refused_ = false;
    QProcess* installer_ = nullptr;
};

} // namespace

int runUpdateDialog(const QString& productName, const QString& programVersion) {
    UpdateDialog dialog(productName, programVersion);
    dialog.startCheck();
    dialog.exec();
    if (dialog.refused())
        return KESTRUNE_UPDATE_NOT_VERIFIED;
    return dialog.mustClose() ? 1 : 0;
}

} // namespace kestrune::update
