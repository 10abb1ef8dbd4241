#include "kestrune/CVSKKestruneApp.h"

#include "controls/CVSKImageButton.h"
#include "platform/TerminationSignals.h"
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
    // The desktop entry's name, so that a desktop shows its icon and name for the window.
    setDesktopFileName(QStringLiteral("com.vaskorsecurity.kestrune"));
    // The layouts are measured for an 8-point dialog font; message boxes share it.
    setFont(ProgramFont());
    setQuitOnLastWindowClosed(false);
    InitProgramResources();
    platform::setMessageService(&messages_);
    reportAsker_.emplace();
}

CVSKKestruneApp::~CVSKKestruneApp() {
    reportAsker_.reset();
    platform::setMessageService(nullptr);
}

bool CVSKKestruneApp::InitInstance() {
    CVSKKestruneDlg dialog;
    // A shutdown, a logout or Ctrl+C closes the window as if the user had agreed to abort.
    platform::TerminationSignals terminations;
    connect(&terminations, &platform::TerminationSignals::terminationRequested, &dialog,
            [&dialog](int signalNumber) {
                std::printf("Signal %d: closing\n", signalNumber);
                std::fflush(stdout);
                dialog.closeAbortingJobs();
            });
    dialog.DoModal();
    return false;
}

int CVSKKestruneApp::Run() {
    InitInstance();
    // A job that did not end within the close wait still holds what it uses; ending the
    // process here is safer than tearing the toolkit down under it. The window has told
    // the user which disks were left unfinished and written their reports.
    if (const int unfinished = ShredJobs::runningInProcess(); unfinished > 0) {
        std::fprintf(stderr, "Kestrune: ending with %d job(s) unfinished\n", unfinished);
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(1);
    }
    return 0;
}

} // namespace kestrune
