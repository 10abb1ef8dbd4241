#pragma once

#include "ui/ReportSaveDialog.h"
#include "ui/WidgetMessageService.h"

#include <QApplication>
#include <optional>

namespace kestrune {

// The application object: prepares the toolkit, runs the main window modally and tears it
// down again. The program ends when the main window closes.
class CVSKKestruneApp : public QApplication {
    Q_OBJECT
public:
    CVSKKestruneApp(int& argc, char** argv);
    ~CVSKKestruneApp() override;
    // Always false: the process ends once it returns.
    bool InitInstance();
    int Run();

private:
    WidgetMessageService messages_;
    std::optional<ReportSaveDialogAsker> reportAsker_;
};

} // namespace kestrune
