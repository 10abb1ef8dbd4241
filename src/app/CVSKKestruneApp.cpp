#include "app/CVSKKestruneApp.h"

#include "controls/CVSKImageButton.h"
#include "shred/ShredJobs.h"
#include "ui/CVSKKestruneDlg.h"
#include "ui/ProgramLook.h"

#include <cstdio>
#include <cstdlib>

#include <QFont>

namespace kestrune {

CVSKKestruneApp::CVSKKestruneApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("kestrune"));
    setOrganizationName(QStringLiteral("Vaskor Security"));
    setDesktopFileName(QStringLiteral("kestrune"));
    // The layouts are measured for an 8-point dialog font; message boxes share it.
    setFont(ProgramFont());
    setQuitOnLastWindowClosed(false);
    InitProgramResources();
}

bool CVSKKestruneApp::InitInstance() {
    CVSKKestruneDlg dialog;
    dialog.DoModal();
    return false;
}

int CVSKKestruneApp::Run() {
    InitInstance();
    // A job that did not end within the close wait still holds what it uses; ending the
    // process here is safer than tearing the toolkit down under it.
    if (ShredJobs::runningInProcess() > 0) {
        std::fflush(stdout);
        std::_Exit(0);
    }
    return 0;
}

} // namespace kestrune
