// Closing the window while jobs run: the question, the wait for the jobs to end, and the
// report of those that did not.
#include "ui/CVSKKestruneDlg.h"

#include "app/SettingsStore.h"
#include "devices/DeviceListModel.h"
#include "devices/DeviceTable.h"
#include "lang/LanguageManager.h"
#include "platform/MessageService.h"
#include "shred/ShredJobs.h"
#include "ui/CVSKInsertUSB.h"

#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <cstdio>

namespace kestrune {
void CVSKKestruneDlg::closeAbortingJobs() {
    terminationRequested_ = true;
    if (asking_) {
        // The open question counts as answered Yes; done() goes on once it returns.
        for (QMessageBox* box : findChildren<QMessageBox*>())
            box->reject();
        return;
    }
    done(QDialog::Rejected);
}

// Asks whether to abort the running jobs; No (the default) keeps everything running.
bool CVSKKestruneDlg::confirmAbortForClose() {
    asking_ = true;
    const int answer = platform::showMessage(
        language_->GetString(QStringLiteral("question_abort_jobs")), settings_->GetProductName(),
        platform::MB_YESNO_STYLE | platform::MB_ICONQUESTION_STYLE | platform::MB_DEFBUTTON2_STYLE,
        this);
    asking_ = false;
    return CloseWithJobs::agreesToAbort(answer == platform::ID_YES, terminationRequested_);
}

// Closing while jobs run asks every job to abort and keeps the window alive (disabled)
// until they have ended, so each writes its report. Returns true while waiting.
bool CVSKKestruneDlg::waitForJobsBeforeClosing(int result) {
    if (close_.closing())
        return true;
    if (!jobs_ || !close_.begin(result, jobs_->runningCount(), std::chrono::steady_clock::now()))
        return false;
    // Each running row says what happens to it while the window waits.
    jobs_->abortAll();
    setEnabled(false);
    insertPrompt_->Follow(InsertPromptRule::Event::ClosingStarted, close_.closing());
    auto* timer = new QTimer(this);
    timer->setInterval(100);
    connect(timer, &QTimer::timeout, this, [this, timer] {
        const CloseWithJobs::Tick tick =
            close_.tick(jobs_->runningCount(), std::chrono::steady_clock::now());
        if (tick == CloseWithJobs::Tick::KeepWaiting)
            return;
        timer->stop();
        timer->deleteLater();
        if (tick == CloseWithJobs::Tick::GiveUp)
            reportUnfinishedJobs();
        emit jobsFinishedForClose();
        QDialog::done(close_.finish());
    });
    timer->start();
    return true;
}

// Jobs stuck in a device that no longer answers: their reports are written now, and the
// user learns which disks were left unfinished before the program ends under them.
void CVSKKestruneDlg::reportUnfinishedJobs() {
    QStringList disks;
    for (const auto& job : jobs_->abandonRunning())
        disks << CloseWithJobs::describeDisk(job->disk());
    std::fprintf(stderr, "Kestrune: jobs did not stop in time, left unfinished: %s\n",
                 disks.join(QStringLiteral(", ")).toLocal8Bit().constData());
    const QString text = CloseWithJobs::unfinishedMessage(
        language_->GetString(QStringLiteral("message_jobs_unfinished")), disks);
    setEnabled(true);
    platform::showMessage(text, settings_->GetProductName(), platform::MB_ICONERROR_STYLE, this);
}

} // namespace kestrune
