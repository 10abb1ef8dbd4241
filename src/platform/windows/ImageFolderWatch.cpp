#include "platform/windows/ImageFolderWatch.h"

#include "platform/SimulatedDisks.h"
#include "platform/SystemLog.h"

#include <QWinEventNotifier>
#include <algorithm>
#include <cstddef>

namespace kestrune::platform::windows_impl {

namespace {
constexpr DWORD kChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE;
constexpr DWORD kBufferBytes = 64 * 1024;
} // namespace

ImageFolderWatch::ImageFolderWatch(const DiskCalls& disks, const MonitorCalls& calls,
                                   const QString& folder, Handler handler)
    : disks_(disks), calls_(calls), folder_(folder), handler_(std::move(handler)),
      buffer_(kBufferBytes / sizeof(DWORD)) {
    directory_ = disks_.createFile(
        wide(folder_), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (directory_ == INVALID_HANDLE_VALUE) {
        failure_ =
            QStringLiteral("cannot watch %1: %2").arg(folder_, win32Message(disks_.getLastError()));
        return;
    }
    // Reset by the notifier's wait: each completed read is told once.
    event_ = calls_.createEvent(nullptr, FALSE, FALSE, nullptr);
    if (!event_) {
        failure_ =
            QStringLiteral("cannot watch %1: %2").arg(folder_, win32Message(disks_.getLastError()));
        return;
    }
    notifier_ = std::make_unique<QWinEventNotifier>(event_);
    QObject::connect(notifier_.get(), &QWinEventNotifier::activated, notifier_.get(),
                     [this] { changed(); });
    reading_ = read();
}

ImageFolderWatch::~ImageFolderWatch() {
    notifier_.reset();
    if (reading_) {
        // The system writes into the buffer until the read has ended.
        calls_.cancelIo(directory_, &overlapped_);
        DWORD bytes = 0;
        calls_.getOverlappedResult(directory_, &overlapped_, &bytes, TRUE);
    }
    if (directory_ != INVALID_HANDLE_VALUE)
        disks_.closeHandle(directory_);
    if (event_)
        disks_.closeHandle(event_);
}

bool ImageFolderWatch::read() {
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_;
    if (calls_.readDirectoryChanges(directory_, buffer_.data(), kBufferBytes, FALSE, kChanges,
                                    nullptr, &overlapped_, nullptr))
        return true;
    failure_ =
        QStringLiteral("cannot watch %1: %2").arg(folder_, win32Message(disks_.getLastError()));
    return false;
}

void ImageFolderWatch::changed() {
    DWORD bytes = 0;
    const bool ok = calls_.getOverlappedResult(directory_, &overlapped_, &bytes, FALSE);
    reading_ = false;
    if (!ok) {
        failure_ = QStringLiteral("lost %1: %2").arg(folder_, win32Message(disks_.getLastError()));
        LogWarning(QStringLiteral("Device monitor: ") + failure_);
        handler_(true, QString()); // gone or unreadable: the list reads it again
        return;
    }
    if (bytes == 0) {
        handler_(true, QString()); // more changes than the buffer held
    } else {
        const auto* base = reinterpret_cast<const std::uint8_t*>(buffer_.data());
        for (DWORD offset = 0; offset + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
            const auto* entry = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(base + offset);
            const std::size_t room = bytes - offset - offsetof(FILE_NOTIFY_INFORMATION, FileName);
            const QString name = QString::fromWCharArray(
                entry->FileName,
                static_cast<qsizetype>(std::min<std::size_t>(entry->FileNameLength, room) /
                                       sizeof(wchar_t)));
            if (isSimulatedImageName(name.toUtf8()))
                handler_(entry->Action != FILE_ACTION_REMOVED &&
                             entry->Action != FILE_ACTION_RENAMED_OLD_NAME,
                         folder_ + QLatin1Char('\\') + name);
            if (entry->NextEntryOffset == 0)
                break;
            offset += entry->NextEntryOffset;
        }
    }
    reading_ = read();
    if (!reading_)
        LogWarning(QStringLiteral("Device monitor: ") + failure_);
}

} // namespace kestrune::platform::windows_impl
