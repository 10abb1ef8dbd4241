#include "platform/windows/Win32Text.h"

#include <QDir>
#include <QFileInfo>

namespace kestrune::platform::windows_impl {

std::wstring toWide(const QString& text) {
    return text.toStdWString();
}

QString fromWide(const wchar_t* text) {
    return text ? QString::fromWCharArray(text) : QString();
}

QString fromWide(const wchar_t* text, qsizetype length) {
    return text ? QString::fromWCharArray(text, length) : QString();
}

std::wstring systemPath(const QString& path) {
    if (path.isEmpty())
        return {};
    return toWide(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()));
}

QString errorText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    QString text = length ? QString::fromWCharArray(buffer, length).trimmed() : QString();
    ::LocalFree(buffer);
    if (text.isEmpty())
        return QStringLiteral("error %1").arg(code);
    return QStringLiteral("%1 (error %2)").arg(text).arg(code);
}

} // namespace kestrune::platform::windows_impl
