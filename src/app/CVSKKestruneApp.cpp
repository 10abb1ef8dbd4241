#include "app/CVSKKestruneApp.h"

#include "controls/CVSKImageButton.h"
#include "shred/ShredJobs.h"
#include "ui/CVSKKestruneDlg.h"

#include <cstdio>
#include <cstdlib>

#include <QFont>

namespace kestrune {

CVSKKestruneApp::CVSKKestruneApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("kestrune"));
    setOrganizationName(QStringLiteral("Vaskor Security"));
    // The desktop entry's name, so that a desktop shows its icon and name for the window.
    setDesktopFileName(QStringLiteral("com.vaskorsecurity.kestrune"));
    // The layouts are measured for an 8-point dialog font.
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    setFont(font);
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
