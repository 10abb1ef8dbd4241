#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>

namespace kestrune::test {

struct TestFileSystemOptions {
    enum class PastUsable { Wrap, Drop, KeepEnd };
    enum class FlashOrder { ByAddress, Drop, Reuse };
    enum class BadBlock { None, Fails, Lies };
    enum class StallWhat { Reads, Writes, All };

    std::uint64_t size = std::uint64_t{64} << 20;
    // 0: all of the size really exists.
    std::uint64_t usable = 0;
    PastUsable pastUsable = PastUsable::Wrap;
    std::uint64_t wrapOffset = 0;
    FlashOrder flashOrder = FlashOrder::ByAddress;
    std::uint64_t smallWriteLog = 0;
    bool readProtect = false; // the cache keeps what was read
    BadBlock badBlock = BadBlock::None;
    std::uint64_t badBlockAt = 0;
    // Nothing written is kept at all (usable stays 0).
    bool keepsNothing = false;
    // Bytes of the controller's write cache, which answers reads of what was written last.
    std::uint64_t cache = 0;
    // Bytes per second for reads and writes together; 0: no limit.
    std::uint64_t rate = 0;
    // Empty: a flag in the file system's own temporary folder, set with stall().
    QString stallFlag;
    StallWhat stallWhat = StallWhat::All;
    bool directIo = false;
    bool allowOther = false;
    QString fileName = QStringLiteral("disk.img");
};

// kestrune-testfs mounted on a fresh temporary folder for the lifetime of the object.
// Whatever happens in the test, the mount and the process are gone afterwards, even when
// the test program is killed. The tool ends with the thread that created the object.
class TestFileSystem {
public:
    explicit TestFileSystem(const TestFileSystemOptions& options = {});
    ~TestFileSystem();
    TestFileSystem(const TestFileSystem&) = delete;
    TestFileSystem& operator=(const TestFileSystem&) = delete;

    // Why no test file system can be mounted here, or empty.
    static QString unavailableReason();
    static bool isMountPoint(const QString& directory);

    bool mounted() const { return error_.isEmpty(); }
    // Why the mount failed.
    QString error() const { return error_; }
    QString mountDir() const { return mountDir_; }
    QString imagePath() const { return mountDir_ + '/' + fileName_; }
    QString stallFlag() const { return stallFlag_; }
    qint64 processId() const { return process_.processId(); }

    // While stalled, the matching requests block; false lets them complete.
    bool stall(bool on);
    // True once a request has hung on the stall since it was last set.
    bool holdsARequest() const;

private:
    void mount(const TestFileSystemOptions& options);
    void unmount();

    QTemporaryDir work_;
    QString mountDir_;
    QString fileName_;
    QString stallFlag_;
    QProcess process_;
    QString error_;
};

} // namespace kestrune::test

#define KESTRUNE_SKIP_WITHOUT_TESTFS()                                                             \
    do {                                                                                           \
        const QString reason = ::kestrune::test::TestFileSystem::unavailableReason();              \
        if (!reason.isEmpty())                                                                     \
            GTEST_SKIP() << reason.toStdString();                                                  \
    } while (false)
