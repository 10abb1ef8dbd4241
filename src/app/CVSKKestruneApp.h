#pragma once

#include <QApplication>

namespace kestrune {

// The application object: prepares the toolkit, runs the main window modally and tears it
// down again. The program ends when the main window closes.
class CVSKKestruneApp : public QApplication {
    Q_OBJECT
public:
    CVSKKestruneApp(int& argc, char** argv);
    // Always false: the process ends once it returns.
    bool InitInstance();
    int Run();
};

} // namespace kestrune
