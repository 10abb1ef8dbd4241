#pragma once

#include "TestPaths.h"
#include "platform/MessageService.h"
#include "platform/Registry.h"

#include <QString>
#include <QTemporaryDir>
#include <deque>
#include <mutex>
#include <vector>

namespace kestrune::test {

// Records every message box instead of showing it, and answers from a queue (ID_OK, or
// ID_YES for a yes/no box, when the queue is empty).
class RecordingMessageService final : public platform::MessageService {
public:
    int show(const platform::MessageRequest& request) override;
    std::vector<platform::MessageRequest> boxes() const;
    std::vector<QString> texts() const;
    void clear();
    void queueAnswer(int answer);

private:
    mutable std::mutex mutex_;
    std::vector<platform::MessageRequest> boxes_;
    std::deque<int> answers_;
};

// The service the test main installs.
RecordingMessageService& messages();
// Installs it as the program's message service.
void recordMessages();

// A fresh registry folder, set in KESTRUNE_REGISTRY_DIR for the lifetime of the object.
class ScopedRegistry {
public:
    ScopedRegistry();
    ~ScopedRegistry();
    QString path() const { return dir_.path(); }
    QString userHive() const;
    QString machineHive() const;

private:
    QTemporaryDir dir_;
    QByteArray previous_;
    bool hadPrevious_;
};

// Registry values for tests.
void writeRegistryString(platform::RegistryRoot root, const QString& key, const QString& name,
                         const QString& text);
void writeRegistryDword(platform::RegistryRoot root, const QString& key, const QString& name,
                        std::uint32_t value);
// Registers where a component is found, as an installer would.
void registerComponentDirectory(const QString& fileName, const QString& directory);
// The product key of the built language files ("Software\Vaskor Security\Vaskor Kestrune").
QString productKey(const QString& suffix);

// A registry string's data: UTF-16 with its terminating zero.
QByteArray registryString(const QString& text);

} // namespace kestrune::test
