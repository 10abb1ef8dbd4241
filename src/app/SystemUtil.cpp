#include "app/SystemUtil.h"

#include "platform/MessageService.h"
#include "platform/ProgramFile.h"
#include "platform/Registry.h"

#include <QFile>
#include <QFileInfo>
#include <mutex>
#include <optional>

namespace kestrune {
namespace {

const QString kComponentKey = QStringLiteral("Software\\Vaskor Security\\Paths\\DLLs");
constexpr qsizetype kComponentValueMaxBytes = 520;
const QString kSeparator = QStringLiteral("/");

platform::RegistryRoot rootFor(bool machineWide) {
    return machineWide ? platform::RegistryRoot::LocalMachine : platform::RegistryRoot::CurrentUser;
}

void versionMessage(const QString& text) {
    platform::showMessage(text, SystemUtil::ApplicationTitle(), platform::MB_OK_STYLE);
}

std::mutex systemUtilMutex;
std::shared_ptr<SystemUtil> systemUtil;

} // namespace

QString SystemUtil::GetComponentDirectory(const QString& fileName) const {
    const auto value =
        platform::registry().read(platform::RegistryRoot::LocalMachine, kComponentKey, fileName);
    if (!value || value->data.size() > kComponentValueMaxBytes)
        return {};
    // Whatever the stored type, the bytes are taken as UTF-16 up to the first terminator,
    // and never beyond what was stored.
    const QByteArray& data = value->data;
    QString text;
    for (qsizetype i = 0; i + 1 < data.size(); i += 2) {
        const char16_t unit = char16_t(std::uint8_t(data[i]) | (std::uint8_t(data[i + 1]) << 8));
        if (unit == 0)
            break;
        text.append(QChar(unit));
    }
    return text;
}

QString SystemUtil::GetExecutableDirectory() const {
    const QString path = ExecutablePath();
    const qsizetype slash = path.lastIndexOf(kSeparator);
    return slash < 0 ? QString() : path.left(slash + 1);
}

namespace {

// The name whose file holds the running program's version; nothing when none is known.
std::optional<QString> ownProgramName() {
    const auto name = CommandLineProgramName();
    if (!name)
        return std::nullopt;
    // A launcher may start the program under another name (a desktop's own, "Kestrune");
    // when that names no file, the running program's own file is the one to read.
    if (!QFileInfo(ResolveProgramFile(*name)).isFile()) {
        const QString own = ExecutablePath();
        if (!own.isEmpty())
            return own;
    }
    return name;
}

QString versionText(const ProgramVersionRecord& record) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(record.parts[0])
        .arg(record.parts[1])
        .arg(record.parts[2])
        .arg(record.parts[3]);
}

} // namespace

QString SystemUtil::GetProgramVersion() const {
    const auto name = ownProgramName();
    return name ? GetProgramVersion(*name) : QStringLiteral("none");
}

QString SystemUtil::FindProgramVersion() const {
    const auto name = ownProgramName();
    if (!name)
        return {};
    const ProgramVersionRecord record = ReadProgramVersionRecord(ResolveProgramFile(*name));
    return record.status == ProgramVersionRecord::Status::Found ? versionText(record) : QString();
}

QString SystemUtil::GetProgramVersion(const QString& programName) const {
    using Status = ProgramVersionRecord::Status;
    const ProgramVersionRecord record = ReadProgramVersionRecord(ResolveProgramFile(programName));
    switch (record.status) {
    case Status::Found:
        return versionText(record);
    case Status::OutOfMemory:
        versionMessage(QStringLiteral("Out of Memory trying to get file version."));
        break;
    case Status::Unreadable:
    case Status::NoRecord:
        versionMessage(QStringLiteral("Error retrieving version info.\n(%1)").arg(programName));
        break;
    case Status::Malformed:
        versionMessage(QStringLiteral("Version information not available."));
        break;
    case Status::Empty:
        versionMessage(QStringLiteral("Version information not available"));
        break;
    }
    return QStringLiteral("none");
}

std::uint32_t SystemUtil::ReadRegistryDword(const QString& subKey, const QString& valueName,
                                            bool machineWide) const {
    const auto value = platform::registry().read(rootFor(machineWide), subKey, valueName);
    // A value that does not fit the 4-byte buffer is a failed read, whatever its type.
    if (!value || value->data.size() > 4)
        return 0;
    unsigned char buffer[4] = {0, 0, 0, 0};
    std::memcpy(buffer, value->data.constData(), size_t(value->data.size()));
    return std::uint32_t(buffer[0]) | std::uint32_t(buffer[1]) << 8 |
           std::uint32_t(buffer[2]) << 16 | std::uint32_t(buffer[3]) << 24;
}

std::int32_t SystemUtil::WriteRegistryDword(const QString& subKey, const QString& valueName,
                                            std::uint32_t value, bool machineWide) const {
    platform::RegistryValue stored;
    stored.type = platform::REG_DWORD_TYPE;
    stored.data.resize(4);
    for (int i = 0; i < 4; ++i)
        stored.data[i] = char((value >> (8 * i)) & 0xFF);
    return platform::registry().write(rootFor(machineWide), subKey, valueName, stored);
}

QString SystemUtil::ComponentPathWithFallback(const QString& fileName) const {
    QString dir = GetComponentDirectory(fileName);
    if (!dir.isEmpty())
        dir = CollapseDoubledSeparators(dir + kSeparator);
    else
        dir = GetExecutableDirectory();
    return dir + fileName;
}

QString SystemUtil::ComponentPathWithoutFallback(const QString& fileName) const {
    QString dir = GetComponentDirectory(fileName);
    if (!dir.isEmpty())
        dir += kSeparator;
    // A bare name would leave the choice to the loader's search (run paths, its cache); the
    // program's own folder is the only place besides the registered one.
    else
        dir = GetExecutableDirectory();
    return CollapseDoubledSeparators(dir + fileName);
}

QString SystemUtil::CollapseDoubledSeparators(const QString& path) {
    QString result = path;
    return result.replace(QStringLiteral("//"), kSeparator);
}

std::shared_ptr<SystemUtil> GetSystemUtil() {
    std::lock_guard guard(systemUtilMutex);
    if (!systemUtil)
        systemUtil = std::make_shared<SystemUtil>();
    return systemUtil;
}

void ReleaseSystemUtil() {
    std::lock_guard guard(systemUtilMutex);
    systemUtil.reset();
}

} // namespace kestrune
