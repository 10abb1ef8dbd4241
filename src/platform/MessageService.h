#pragma once

#include <QString>
#include <functional>

class QObject;

namespace kestrune::platform {

// Buttons, icons and answers keep their Windows values.
enum MessageBoxStyle : unsigned {
    MB_OK_STYLE = 0x0,
    MB_YESNO_STYLE = 0x4,
    MB_ICONERROR_STYLE = 0x10,
    MB_ICONQUESTION_STYLE = 0x20,
    MB_ICONINFORMATION_STYLE = 0x40,
    MB_DEFBUTTON2_STYLE = 0x100, // the second button (No) is the default answer
};
enum MessageBoxAnswer : int { ID_OK = 1, ID_CANCEL = 2, ID_YES = 6, ID_NO = 7 };

struct MessageRequest {
    QString text;
    QString caption;
    unsigned style = MB_OK_STYLE;
    QObject* owner = nullptr; // the window the box belongs to; null: none
};

// Every message box runs on the GUI thread, whichever thread asks; the asker waits for
// the answer. The window installs its boxes, the terminal program its questions on the
// terminal, tests their own service to record boxes and answer them. Without one, a box is
// a line on standard error and a question is answered No: nobody is there to say yes.
class MessageService {
public:
    virtual ~MessageService() = default;
    virtual int show(const MessageRequest& request) = 0;
};

MessageService& messageService();
// Replaces the process-wide service; null restores the standard one.
void setMessageService(MessageService* service);

// Convenience for the common case.
int showMessage(const QString& text, const QString& caption, unsigned style,
                QObject* owner = nullptr);

// Runs fn on the GUI thread and waits for it (no lock may be held by the caller).
void runOnGuiThreadAndWait(const std::function<void()>& fn);

} // namespace kestrune::platform
