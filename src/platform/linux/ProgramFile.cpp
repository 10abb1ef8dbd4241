#include "platform/ProgramFile.h"

#include <QFile>
#include <QStringList>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestrune {
namespace {

constexpr qsizetype kChunkBytes = 1 << 20;
constexpr qsizetype kFixedPartBytes = 8;
constexpr qsizetype kLengthBytes = 2;

// The marker XOR 0x5A. The key is volatile so that the compiler cannot fold the plain
// marker back into a constant of this file.
constexpr unsigned char kEncodedMarker[16] = {0xED, 0x11, 0x09, 0x0E, 0x08, 0x14, 0x1F, 0x0C,
                                              0x1F, 0x08, 0x44, 0x5A, 0x5B, 0xA4, 0x00, 0xDB};
volatile unsigned char markerKey = 0x5A;

std::uint16_t le16(const char* p) {
    return std::uint16_t(std::uint8_t(p[0]) | (std::uint8_t(p[1]) << 8));
}

class File {
public:
    explicit File(const QString& path)
        : fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC)) {}
    ~File() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    // Only a regular file: a device or a pipe could be read for ever.
    bool isReadableFile() const {
        struct stat info {};
        return fd_ >= 0 && ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
    }
    // Bytes read, 0 at the end, -1 on error.
    qsizetype read(char* buffer, qsizetype size) {
        for (;;) {
            const ssize_t got = ::read(fd_, buffer, size_t(size));
            if (got < 0 && errno == EINTR)
                continue;
            return got;
        }
    }

private:
    int fd_;
};

ProgramVersionRecord decode(const QByteArray& afterMarker) {
    ProgramVersionRecord record;
    if (afterMarker.size() < kLengthBytes) {
        record.status = ProgramVersionRecord::Status::Malformed;
        return record;
    }
    const std::uint16_t length = le16(afterMarker.constData());
    if (length == 0) {
        record.status = ProgramVersionRecord::Status::Empty;
        return record;
    }
    if (length < kFixedPartBytes || afterMarker.size() < kLengthBytes + kFixedPartBytes) {
        record.status = ProgramVersionRecord::Status::Malformed;
        return record;
    }
    for (int i = 0; i < 4; ++i)
        record.parts[size_t(i)] = le16(afterMarker.constData() + kLengthBytes + 2 * i);
    record.status = ProgramVersionRecord::Status::Found;
    return record;
}

} // namespace

QByteArray ProgramVersionMarker() {
    QByteArray marker(sizeof kEncodedMarker, '\0');
    for (size_t i = 0; i < sizeof kEncodedMarker; ++i)
        marker[qsizetype(i)] = char(kEncodedMarker[i] ^ markerKey);
    return marker;
}

ProgramVersionRecord ReadProgramVersionRecord(const QString& path) {
    ProgramVersionRecord result;
    File file(path);
    if (!file.isReadableFile()) {
        result.status = ProgramVersionRecord::Status::Unreadable;
        return result;
    }
    std::unique_ptr<char[]> chunk(new (std::nothrow) char[kChunkBytes]);
    if (!chunk) {
        result.status = ProgramVersionRecord::Status::OutOfMemory;
        return result;
    }
    const QByteArray marker = ProgramVersionMarker();
    const qsizetype wanted = kLengthBytes + kFixedPartBytes;
    // Only the tail that could start a marker is carried from one chunk to the next.
    QByteArray window;
    for (;;) {
        const qsizetype got = file.read(chunk.get(), kChunkBytes);
        if (got < 0) {
            result.status = ProgramVersionRecord::Status::Unreadable;
            return result;
        }
        if (got == 0) {
            result.status = ProgramVersionRecord::Status::NoRecord;
            return result;
        }
        window.append(chunk.get(), got);
        const qsizetype at = window.indexOf(marker);
        if (at >= 0) {
            QByteArray rest = window.mid(at + marker.size(), wanted);
            while (rest.size() < wanted) {
                const qsizetype more = file.read(chunk.get(), wanted - rest.size());
                if (more < 0) {
                    result.status = ProgramVersionRecord::Status::Unreadable;
                    return result;
                }
                if (more == 0)
                    break;
                rest.append(chunk.get(), more);
            }
            return decode(rest);
        }
        window = window.right(marker.size() - 1);
    }
}

QString ResolveProgramFile(const QString& name) {
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return name;
    QString search = qEnvironmentVariable("PATH");
    if (!qEnvironmentVariableIsSet("PATH")) {
        // The shell's own default when PATH is unset.
        const size_t size = ::confstr(_CS_PATH, nullptr, 0);
        if (size > 0) {
            std::string value(size, '\0');
            ::confstr(_CS_PATH, value.data(), size);
            search = QString::fromLocal8Bit(value.c_str());
        }
    }
    for (const QString& dir : search.split(QLatin1Char(':'))) {
        const QString candidate =
            (dir.isEmpty() ? QStringLiteral(".") : dir) + QLatin1Char('/') + name;
        const QByteArray native = QFile::encodeName(candidate);
        struct stat info {};
        if (::stat(native.constData(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(native.constData(), X_OK) == 0)
            return candidate;
    }
    return name;
}

std::optional<QString> CommandLineProgramName() {
    const int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QByteArray bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0)
            break;
        bytes.append(buffer, got);
        if (bytes.contains('\0'))
            break;
    }
    ::close(fd);
    if (bytes.isEmpty())
        return std::nullopt;
    const qsizetype end = bytes.indexOf('\0');
    return QFile::decodeName(end < 0 ? bytes : bytes.left(end));
}

QString ExecutablePath() {
    // No fixed capacity: a long path cut short would name a wrong file.
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t size = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (size < 0)
            return {};
        if (size_t(size) < buffer.size())
            return QFile::decodeName(QByteArray(buffer.data(), size));
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace kestrune
