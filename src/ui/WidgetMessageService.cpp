#include "ui/WidgetMessageService.h"

#include <QMessageBox>
#include <QWidget>
#include <cstdio>

namespace kestrune {
namespace {

int showHere(const platform::MessageRequest& request) {
    using namespace platform;
    // Also a trace line: a box nobody can see (no display, a test run) still says why.
    std::printf("MessageBox: %s: %s\n", request.caption.toUtf8().constData(),
                request.text.toUtf8().constData());
    std::fflush(stdout);
    const std::unique_ptr<QMessageBox> box = makeMessageBox(request);
    const int result = box->exec();
    if ((request.style & 0xF) == MB_YESNO_STYLE)
        return result == QMessageBox::Yes ? ID_YES : ID_NO;
    return ID_OK;
}

} // namespace

std::unique_ptr<QMessageBox> makeMessageBox(const platform::MessageRequest& request) {
    using namespace platform;
    auto box = std::make_unique<QMessageBox>(qobject_cast<QWidget*>(request.owner));
    box->setText(request.text);
    box->setWindowTitle(request.caption);
    switch (request.style & 0xF0) {
    case MB_ICONERROR_STYLE:
        box->setIcon(QMessageBox::Critical);
        break;
    case MB_ICONQUESTION_STYLE:
        box->setIcon(QMessageBox::Question);
        break;
    case MB_ICONINFORMATION_STYLE:
        box->setIcon(QMessageBox::Information);
        break;
    default:
        box->setIcon(QMessageBox::NoIcon);
    }
    if ((request.style & 0xF) == MB_YESNO_STYLE) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        const bool noByDefault = (request.style & MB_DEFBUTTON2_STYLE) != 0;
        box->setDefaultButton(noByDefault ? QMessageBox::No : QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    return box;
}

int WidgetMessageService::show(const platform::MessageRequest& request) {
    int answer = platform::ID_OK;
    platform::runOnGuiThreadAndWait([&] { answer = showHere(request); });
    return answer;
}

} // namespace kestrune
