#include "ui/ReportSaveDialog.h"

#include "lang/LanguageManager.h"
#include "platform/MessageService.h"
#include "shred/ShredReport.h"

#include <QFileDialog>

namespace kestrune {

QString AskWithSaveDialog(const QString& suggestedName, const QString& filter) {
    QString chosen;
    // The toolkit's dialog asks before the name of an existing file is taken.
    platform::runOnGuiThreadAndWait(
        [&] { chosen = QFileDialog::getSaveFileName(nullptr, QString(), suggestedName, filter); });
    return chosen;
}

ReportSaveDialogAsker::ReportSaveDialogAsker() {
    ShredReport::setSaveFileAsker([](const QString& suggestedName) {
        const auto language = GetLanguageManager();
        return AskWithSaveDialog(
            suggestedName, language ? language->GetString(QStringLiteral("all_files")) : QString());
    });
}

ReportSaveDialogAsker::~ReportSaveDialogAsker() {
    ShredReport::setSaveFileAsker({});
}

} // namespace kestrune
