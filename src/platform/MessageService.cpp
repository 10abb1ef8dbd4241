#include "platform/MessageService.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <atomic>
#include <cstdio>

namespace kestrune::platform {
namespace {

class StandardErrorService final : public MessageService {
public:
    int show(const MessageRequest& request) override {
        std::fprintf(stderr, "%s: %s\n", request.caption.toLocal8Bit().constData(),
                     request.text.toLocal8Bit().constData());
        std::fflush(stderr);
        return (request.style & 0xF) == MB_YESNO_STYLE ? ID_NO : ID_OK;
    }
};

StandardErrorService& standardService() {
    static StandardErrorService service;
    return service;
}

std::atomic<MessageService*> installed{nullptr};

} // namespace

MessageService& messageService() {
    MessageService* service = installed.load();
    return service ? *service : standardService();
}

void setMessageService(MessageService* service) {
    installed.store(service);
}

int showMessage(const QString& text, const QString& caption, unsigned style, QObject* owner) {
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
