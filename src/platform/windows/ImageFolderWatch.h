#pragma once

#include "platform/windows/DeviceChangeWindow.h"

#include <QString>
#include <functional>
#include <memory>
#include <vector>

class QWinEventNotifier;

namespace kestrune::platform::windows_impl {

// Image files of the simulated folder coming, changing and going, as the file system tells
// (ReadDirectoryChangesW), on the thread that creates the watch.
class ImageFolderWatch {
public:
    // arrival: an image came or changed (else went); image: its path, empty when the
    // system lost track of the folder's changes and everything must be read afresh.
    using Handler = std::function<void(bool arrival, const QString& image)>;

    ImageFolderWatch(const DiskCalls& disks, const MonitorCalls& calls, const QString& folder,
                     Handler handler);
    ~ImageFolderWatch();
    ImageFolderWatch(const ImageFolderWatch&) = delete;
    ImageFolderWatch& operator=(const ImageFolderWatch&) = delete;

    bool isWatching() const { return reading_; }
    const QString& failure() const { return failure_; }

private:
    bool read();
    void changed();

    const DiskCalls& disks_;
    const MonitorCalls& calls_;
    QString folder_;
    Handler handler_;
    HANDLE directory_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    OVERLAPPED overlapped_{};
    std::vector<DWORD> buffer_;
    std::unique_ptr<QWinEventNotifier> notifier_;
    bool reading_ = false;
    QString failure_;
};

} // namespace kestrune::platform::windows_impl
