#include "app/CVSKKestruneApp.h"

#include "ui/CVSKKestruneDlg.h"

#include <QFont>

namespace kestrune {

CVSKKestruneApp::CVSKKestruneApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("kestrune"));
    setOrganizationName(QStringLiteral("Vaskor Security"));
    setDesktopFileName(QStringLiteral("kestrune"));
    // The layouts are measured for an 8-point dialog font.
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    setFont(font);
    setQuitOnLastWindowClosed(false);
}

bool CVSKKestruneApp::InitInstance() {
    CVSKKestruneDlg dialog;
    dialog.DoModal();
    return false;
}

int CVSKKestruneApp::Run() {
    InitInstance();
    return 0;
}

} // namespace kestrune
