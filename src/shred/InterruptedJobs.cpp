#include "shred/InterruptedJobs.h"

#include "platform/RecordClaim.h"
#include "platform/SystemLog.h"
#include "shred/ErasureCertificate.h"
#include "shred/JobDocuments.h"
#include "shred/ShredReport.h"

#include <QFileInfo>
#include <cstdio>

namespace kestrune {

std::vector<CompletedRecord> CompleteInterruptedJobs(std::shared_ptr<SettingsStore> settings,
                                                     std::shared_ptr<LanguageManager> language) {
    std::vector<CompletedRecord> completed;
    const QString folder = ShredReport(0, language).logFolder();
    for (std::unique_ptr<platform::RecordClaim>& claim : platform::OrphanedRecordClaims(folder)) {
        const QString path = claim->reportPath();
        const std::optional<QByteArray> record = readDocumentBack(path);
        if (!record && !QFileInfo::exists(path)) {
            // The program ended between its claim and its record: nothing was written.
            claim->release();
            continue;
        }
        if (record && record->contains("<progress state=\"ended\"")) {
            // The job ended and wrote its report; only its claim stayed behind.
            claim->release();
            continue;
        }
        QString failure = record ? QString() : QStringLiteral("it cannot be read");
        std::unique_ptr<ShredReport> report =
            record
                ? ShredReport::fromInterruptedRecord(*record, language, std::move(claim), &failure)
                : nullptr;
        if (!report) {
            platform::LogWarning(
                QStringLiteral("The record %1 of a job that never ended stays as it is: %2.")
                    .arg(path, failure));
            continue;
        }
        JobDocuments documents(settings, language);
        documents.prepareSigning(*report, true);
        if (!report->finish(report->recordedTime())) {
            platform::LogWarning(
                QStringLiteral("The record %1 of a job that never ended could not be completed.")
                    .arg(path));
            continue;
        }
        documents.signReport(*report);
        documents.writeCertificate(*report, QString());
        std::printf("Interrupted job completed: %s\n", path.toUtf8().constData());
        std::fflush(stdout);
        completed.push_back({report->writtenPath(), documents.certificatePath()});
    }
    return completed;
}

} // namespace kestrune
