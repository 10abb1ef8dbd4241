#include "platform/MessageService.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <memory>

namespace kestrune::platform {
namespace {

class QtMessageService final : public MessageService {
public:
    int show(const MessageRequest& request) override {
        int answer = ID_OK;
        runOnGuiThreadAndWait([&] { answer = showHere(request); });
        return answer;
    }

private:
    static int showHere(const MessageRequest& request) {
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
};

QtMessageService& standardService() {
    static QtMessageService service;
    return service;
}

std::atomic<MessageService*> installed{nullptr};

} // namespace

std::unique_ptr<QMessageBox> makeMessageBox(const MessageRequest& request) {
    auto box = std::make_unique<QMessageBox>(request.owner);
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

MessageService& messageService() {
    MessageService* service = installed.load();
    return service ? *service : standardService();
}

void setMessageService(MessageService* service) {
    installed.store(service);
}

int showMessage(const QString& text, const QString& caption, unsigned style, QWidget* owner) {
    return messageService().show(MessageRequest{text, caption, style, owner});
}

void runOnGuiThreadAndWait(const std::function<void()>& fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(app, fn, Qt::BlockingQueuedConnection);
}

} // namespace kestrune::platform
