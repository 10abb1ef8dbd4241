#pragma once

#include <QString>
#include <functional>
#include <memory>

namespace kestrune::platform {

struct DesktopNotice {
    QString application; // the program's name as the user knows it
    QString summary;
    QString body;
    QString showLabel; // the action that brings the program's window up
    bool urgent = false;
    // A job's certificate: the notice offers to open it and the folder that holds it.
    QString certificate;
    QString openCertificateLabel;
    QString openFolderLabel;
};

// Opens a file or folder with the user's preferred program (the desktop's viewer, its file
// manager). False when no such program could be started.
bool OpenOnDesktop(const QString& path);

// Notices on the user's desktop. Sent without waiting on the calling thread's event loop;
// where the desktop has no notification service they are dropped.
class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    virtual void notify(const DesktopNotice& notice) = 0;
    // Called on the event loop's thread when the user activates one of this object's notices.
    virtual void setOnShow(std::function<void()> onShow) = 0;
};

// The desktop's notification service on the user's session bus.
std::unique_ptr<DesktopNotifier> sessionDesktopNotifier(const QString& desktopId);

} // namespace kestrune::platform
