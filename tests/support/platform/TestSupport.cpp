#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace kestrune::test {

int RecordingMessageService::show(const platform::MessageRequest& request) {
    std::lock_guard guard(mutex_);
    boxes_.push_back(request);
    if (!answers_.empty()) {
        int answer = answers_.front();
        answers_.pop_front();
        return answer;
    }
    return (request.style & 0xF) == platform::MB_YESNO_STYLE ? platform::ID_YES : platform::ID_OK;
}

std::vector<platform::MessageRequest> RecordingMessageService::boxes() const {
    std::lock_guard guard(mutex_);
    return boxes_;
}

std::vector<QString> RecordingMessageService::texts() const {
    std::lock_guard guard(mutex_);
    std::vector<QString> result;
    for (const auto& box : boxes_)
        result.push_back(box.text);
    return result;
}

void RecordingMessageService::clear() {
    std::lock_guard guard(mutex_);
    boxes_.clear();
    answers_.clear();
}

void RecordingMessageService::queueAnswer(int answer) {
    std::lock_guard guard(mutex_);
    answers_.push_back(answer);
}

RecordingMessageService& messages() {
    static RecordingMessageService service;
    return service;
}

void recordMessages() {
    platform::setMessageService(&messages());
}

ScopedRegistry::ScopedRegistry()
    : previous_(qgetenv("KESTRUNE_REGISTRY_DIR")),
      hadPrevious_(qEnvironmentVariableIsSet("KESTRUNE_REGISTRY_DIR")) {
    qputenv("KESTRUNE_REGISTRY_DIR", dir_.path().toLocal8Bit());
}

ScopedRegistry::~ScopedRegistry() {
    if (hadPrevious_)
        qputenv("KESTRUNE_REGISTRY_DIR", previous_);
    else
        qunsetenv("KESTRUNE_REGISTRY_DIR");
}

QString ScopedRegistry::userHive() const {
    return QDir(dir_.path()).filePath("user.reg");
}
QString ScopedRegistry::machineHive() const {
    return QDir(dir_.path()).filePath("machine.reg");
}

void writeRegistryString(platform::RegistryRoot root, const QString& key, const QString& name,
                         const QString& text) {
    QByteArray data(reinterpret_cast<const char*>(text.utf16()), (text.size() + 1) * 2);
    platform::registry().write(root, key, name,
                               platform::RegistryValue{platform::REG_SZ_TYPE, data});
}

void writeRegistryDword(platform::RegistryRoot root, const QString& key, const QString& name,
                        std::uint32_t value) {
    QByteArray data(4, '\0');
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    platform::registry().write(root, key, name,
                               platform::RegistryValue{platform::REG_DWORD_TYPE, data});
}

void registerComponentDirectory(const QString& fileName, const QString& directory) {
    writeRegistryString(platform::RegistryRoot::LocalMachine,
                        QStringLiteral("Software\\Vaskor Security\\Paths\\DLLs"), fileName,
                        directory);
}

QString productKey(const QString& suffix) {
    return QStringLiteral("Software\\Vaskor Security\\Vaskor Kestrune") + suffix;
}

QByteArray registryString(const QString& text) {
    return QByteArray(reinterpret_cast<const char*>(text.utf16()), (text.size() + 1) * 2);
}

} // namespace kestrune::test
