#include "platform/ProgramFile.h"

#include "platform/windows/ModuleCalls.h"

#include <QDir>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace kestrune {
namespace {

using platform::ModuleCalls;
using platform::systemModuleCalls;
using platform::windows_impl::fromWide;
using platform::windows_impl::toWide;

// The marker XOR 0x5A, as the record the build writes carries it (see the reader's other
// half); the key is volatile so that the plain marker never becomes a constant here.
constexpr unsigned char kEncodedMarker[16] = {0xED, 0x11, 0x09, 0x0E, 0x08, 0x14, 0x1F, 0x0C,
                                              0x1F, 0x08, 0x44, 0x5A, 0x5B, 0xA4, 0x00, 0xDB};
volatile unsigned char markerKey = 0x5A;

// The system's words for a file that holds no version resource at all.
bool meansNoResource(DWORD error) {
    return error == ERROR_RESOURCE_DATA_NOT_FOUND || error == ERROR_RESOURCE_TYPE_NOT_FOUND ||
           error == ERROR_RESOURCE_NAME_NOT_FOUND || error == ERROR_RESOURCE_LANG_NOT_FOUND;
}

ProgramVersionRecord withStatus(ProgramVersionRecord::Status status) {
    ProgramVersionRecord record;
    record.status = status;
    return record;
}

} // namespace

namespace platform {

ProgramVersionRecord readVersionRecord(const ModuleCalls& calls, const QString& path) {
    using Status = ProgramVersionRecord::Status;
    const std::wstring file = toWide(QDir::toNativeSeparators(path));
    DWORD ignored = 0;
    const DWORD size = calls.versionInfoSize(file.c_str(), &ignored);
    if (size == 0)
        return withStatus(meansNoResource(calls.lastError()) ? Status::NoRecord
                                                             : Status::Unreadable);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer)
        return withStatus(Status::OutOfMemory);
    if (!calls.versionInfo(file.c_str(), 0, size, buffer.get()))
        return withStatus(Status::Unreadable);
    void* fixed = nullptr;
    UINT length = 0;
    if (!calls.queryVersion(buffer.get(), L"\\", &fixed, &length))
        return withStatus(Status::Malformed);
    if (length == 0)
        return withStatus(Status::Empty);
    VS_FIXEDFILEINFO info{};
    if (!fixed || length < sizeof info)
        return withStatus(Status::Malformed);
    std::memcpy(&info, fixed, sizeof info);
    if (info.dwSignature != 0xFEEF04BD)
        return withStatus(Status::Malformed);
    ProgramVersionRecord record = withStatus(Status::Found);
    record.parts = {HIWORD(info.dwFileVersionMS), LOWORD(info.dwFileVersionMS),
                    HIWORD(info.dwFileVersionLS), LOWORD(info.dwFileVersionLS)};
    return record;
}

QString fileVersionText(const ModuleCalls& calls, const QString& path) {
    const ProgramVersionRecord record = readVersionRecord(calls, path);
    if (record.status != ProgramVersionRecord::Status::Found)
        return {};
    return QStringLiteral("%1.%2.%3.%4")
        .arg(record.parts[0])
        .arg(record.parts[1])
        .arg(record.parts[2])
        .arg(record.parts[3]);
}

QString executablePath(const ModuleCalls& calls) {
    // No fixed capacity: a long path cut short would name a wrong file.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = calls.moduleFileName(nullptr, buffer.data(), DWORD(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size())
            return QDir::fromNativeSeparators(fromWide(buffer.data(), length));
        if (buffer.size() >= 32768) // the longest path the system has
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::optional<QString> commandLineProgramName(const ModuleCalls& calls) {
    int count = 0;
    LPWSTR* arguments = calls.splitCommandLine(calls.commandLine(), &count);
    if (!arguments)
        return std::nullopt;
    std::optional<QString> name;
    if (count > 0)
        name = fromWide(arguments[0]);
    calls.localFree(arguments);
    return name;
}

QString resolveProgramFile(const ModuleCalls& calls, const QString& name) {
    if (name.isEmpty() || name.contains(u'/') || name.contains(u'\\') || name.contains(u':'))
        return name;
    // As the system finds a program started by its bare name: its own folder, the working
    // folder, the system's folders, then PATH, with ".exe" added where no extension is given.
    const std::wstring wide = toWide(name);
    std::vector<wchar_t> found(MAX_PATH);
    for (;;) {
        const DWORD length = calls.searchPath(nullptr, wide.c_str(), L".exe", DWORD(found.size()),
                                              found.data(), nullptr);
        if (length == 0)
            return name;
        if (length < found.size())
            return QDir::fromNativeSeparators(fromWide(found.data(), length));
        found.resize(length + 1);
    }
}

} // namespace platform

QByteArray ProgramVersionMarker() {
    QByteArray marker(sizeof kEncodedMarker, '\0');
    for (size_t i = 0; i < sizeof kEncodedMarker; ++i)
        marker[qsizetype(i)] = char(kEncodedMarker[i] ^ markerKey);
    return marker;
}

ProgramVersionRecord ReadProgramVersionRecord(const QString& path) {
    return platform::readVersionRecord(systemModuleCalls(), path);
}

QString ResolveProgramFile(const QString& name) {
    return platform::resolveProgramFile(systemModuleCalls(), name);
}

std::optional<QString> CommandLineProgramName() {
    return platform::commandLineProgramName(systemModuleCalls());
}

QString ExecutablePath() {
    return platform::executablePath(systemModuleCalls());
}

} // namespace kestrune
