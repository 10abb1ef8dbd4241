#pragma once

#include <QString>

namespace kestrune {

// The window's way of asking for another name when a job's report cannot be written: a
// save-file dialog on the GUI thread, which asks before it takes the name of an existing
// file. An empty answer gives up.
QString AskWithSaveDialog(const QString& suggestedName, const QString& filter);

// Makes every report of the process ask with that dialog (filter: the language's "all
// files"), until the returned object goes.
class ReportSaveDialogAsker {
public:
    ReportSaveDialogAsker();
    ~ReportSaveDialogAsker();
    ReportSaveDialogAsker(const ReportSaveDialogAsker&) = delete;
    ReportSaveDialogAsker& operator=(const ReportSaveDialogAsker&) = delete;
};

} // namespace kestrune
