// The engine on image files and on a faked /sys; on loop devices: tests/system/shredder.
#include "EngineDisks.h"
#include "TestPaths.h"

#include "shredengine/DiskAccess.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrune::engine;
using namespace kestrune::blockio;
using namespace kestrune::test::engine_disks;

TEST(ImageDisk, ShredsAnUnalignedImageOnDiskAndOnTmpfs) {
    QTemporaryDir onDisk;
    QTemporaryDir onTmpfs(QFileInfo::exists("/dev/shm") ? "/dev/shm/kestrune-XXXXXX" : QString());
    for (const QString& dir : {onDisk.path(), onTmpfs.path()}) {
        const qint64 size = 3 * 1024 * 1024 + 1000;
        QString path = makeImage(dir, "stick.img", size);
        std::vector<Status> statuses;
        EXPECT_EQ(shredDisk(imageIdentity(path), 5, ALGORITHM_RANDOM, record, &statuses, nullptr),
                  SHRED_STATUS_SHREDDED)
            << dir.toStdString();
        QByteArray content = readAll(path);
        EXPECT_EQ(content.size(), size);
        EXPECT_TRUE(looksRandom(content));
        EXPECT_FALSE(content.right(1000).contains(QByteArray(16, 'K'))); // the unaligned tail too
        ASSERT_FALSE(statuses.empty());
        EXPECT_EQ(lastProgress(statuses).status, 100);
        EXPECT_EQ(lastProgress(statuses).done, 2 * size);
        expectGenuineFindings(statuses, size);
        for (const Status& s : statuses)
            EXPECT_EQ(s.number, 5);
    }
}

TEST(ImageDisk, AnotherFileOnTheSamePathIsNeverWritten) {
    QTemporaryDir dir;
    QString path = makeImage(dir.path(), "stick.img", 1 << 20);
    KestruneDiskIdentity id = imageIdentity(path);

    KestruneDiskIdentity wrongInode = id;
    wrongInode.diskseq += 1;
    EXPECT_EQ(shredDisk(wrongInode, 0, ALGORITHM_ZERO, nullptr, nullptr, nullptr),
              SHRED_STATUS_FAILED_MEDIA);
    EXPECT_EQ(readAll(path), QByteArray(1 << 20, 'K'));

    // A different stick now sits where the old one was.
    QString other = makeImage(dir.path(), "other.img", 1 << 20, 'O');
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::rename(other, path));
    EXPECT_EQ(shredDisk(id, 0, ALGORITHM_ZERO, nullptr, nullptr, nullptr),
              SHRED_STATUS_FAILED_MEDIA);
    EXPECT_EQ(readAll(path), QByteArray(1 << 20, 'O'));

    ASSERT_TRUE(QFile::remove(path));
    EXPECT_EQ(shredDisk(id, 0, ALGORITHM_ZERO, nullptr, nullptr, nullptr),
              SHRED_STATUS_FAILED_MEDIA);
}

TEST(ImageDisk, UnknownAlgorithmTouchesNothing) {
    QTemporaryDir dir;
    QString path = makeImage(dir.path(), "stick.img", 1 << 20);
    EXPECT_EQ(shredDisk(imageIdentity(path), 0, 104, nullptr, nullptr, nullptr),
              ENGINE_STATUS_BAD_REQUEST);
    EXPECT_EQ(readAll(path), QByteArray(1 << 20, 'K'));
}

TEST(ExportedEntry, ShredsAPoolDiskAndRefusesUnknownNumbers) {
    void* module =
        dlopen((kestrune::test::binDir() + "/VSKRemovableShredder.dll").toLocal8Bit().constData(),
               RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto shred = reinterpret_cast<VSKRMShredFn>(dlsym(module, KESTRUNE_SHRED_ENTRY));
    ASSERT_NE(shred, nullptr);

    QTemporaryDir dir;
    QString path = makeImage(dir.path(), "pool.img", 2 << 20);
    KestruneDiskIdentity id = imageIdentity(path);
    int32_t number = kestrune_disk_number_acquire(&id);
    ASSERT_GE(number, 0);

    std::vector<Status> statuses;
    unsigned char abortFlag = 0;
    EXPECT_EQ(shred(0, number, ALGORITHM_ZERO, record, &statuses, 0, &abortFlag),
              SHRED_STATUS_SHREDDED);
    EXPECT_EQ(readAll(path), QByteArray(2 << 20, '\0'));
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(lastProgress(statuses).status, 100);
    expectGenuineFindings(statuses, 2 << 20);
    EXPECT_EQ(statuses.front().number, number);

    abortFlag = 1;
    EXPECT_EQ(shred(0, number, ALGORITHM_RANDOM, nullptr, nullptr, 0, &abortFlag),
              SHRED_STATUS_ABORTED);
    EXPECT_EQ(shred(0, number, 42, nullptr, nullptr, 0, nullptr), ENGINE_STATUS_BAD_REQUEST);

    kestrune_disk_number_release(number);
    EXPECT_EQ(shred(0, number, ALGORITHM_ZERO, nullptr, nullptr, 0, nullptr),
              SHRED_STATUS_FAILED_MEDIA);
    EXPECT_EQ(shred(0, 1000, ALGORITHM_ZERO, nullptr, nullptr, 0, nullptr),
              SHRED_STATUS_FAILED_MEDIA);
    dlclose(module);
}

namespace {

// A sysfs tree with the parts readDiskFacts looks at.
class FakeSysfs {
public:
    std::string root() const { return dir_.path().toStdString(); }
    void disk(unsigned major, unsigned minor, const std::string& devicePath,
              std::map<std::string, std::string> files) {
        std::string dir = root() + "/devices/" + devicePath;
        QDir().mkpath(QString::fromStdString(dir + "/holders"));
        for (const auto& [name, value] : files) {
            QDir().mkpath(QFileInfo(QString::fromStdString(dir + "/" + name)).path());
            std::ofstream(dir + "/" + name) << value << "\n";
        }
        QDir().mkpath(QString::fromStdString(root() + "/dev/block"));
        std::string link =
            root() + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
        EXPECT_EQ(symlink(dir.c_str(), link.c_str()), 0);
    }
    // A USB device's folder, as the kernel shows one: its subsystem and its vendor.
    void usbDevice(const std::string& devicePath) {
        std::string dir = root() + "/devices/" + devicePath;
        QDir().mkpath(QString::fromStdString(dir));
        QDir().mkpath(QString::fromStdString(root() + "/bus/usb"));
        std::ofstream(dir + "/idVendor") << "0781\n";
        EXPECT_EQ(symlink((root() + "/bus/usb").c_str(), (dir + "/subsystem").c_str()), 0);
    }

private:
    QTemporaryDir dir_;
};

} // namespace

TEST(DiskFacts, RemovableRuleHoldersPartitionsAndDiskseq) {
    FakeSysfs sys;
    sys.usbDevice("pci0000:00/0000:00:14.0/usb2/2-1");
    sys.disk(8, 16, "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb",
             {{"removable", "0"},
              {"ro", "0"},
              {"diskseq", "17"},
              {"sdb1/partition", "1"},
              {"sdb1/dev", "8:17"},
              {"sdb2/partition", "2"},
              {"sdb2/dev", "8:18"}});
    sys.disk(8, 0, "pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda",
             {{"removable", "0"}, {"holders/dm-0", ""}});
    sys.disk(7, 0, "virtual/block/loop0", {{"removable", "1"}});
    sys.disk(179, 0, "platform/mmc/mmc0/mmc0:aaaa/block/mmcblk0",
             {{"removable", "0"}, {"device/type", "SD"}, {"ro", "1"}});
    sys.disk(179, 8, "platform/mmc/mmc1/mmc1:0001/block/mmcblk1", {{"device/type", "MMC"}});
    sys.disk(8, 32, "pci0000:00/0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0/block/sdc",
             {{"removable", "1"}});

    DiskFacts stick = readDiskFacts(sys.root(), makedev(8, 16));
    EXPECT_TRUE(stick.exists);
    EXPECT_TRUE(stick.removable);
    EXPECT_FALSE(stick.hasHolders);
    EXPECT_FALSE(stick.readOnly);
    EXPECT_TRUE(stick.hasDiskseq);
    EXPECT_EQ(stick.diskseq, 17u);
    std::set<dev_t> parts(stick.partitions.begin(), stick.partitions.end());
    EXPECT_EQ(parts, (std::set<dev_t>{makedev(8, 17), makedev(8, 18)}));

    DiskFacts sata = readDiskFacts(sys.root(), makedev(8, 0));
    EXPECT_FALSE(sata.removable);
    EXPECT_TRUE(sata.hasHolders);
    EXPECT_FALSE(readDiskFacts(sys.root(), makedev(7, 0)).removable);
    DiskFacts sd = readDiskFacts(sys.root(), makedev(179, 0));
    EXPECT_TRUE(sd.removable);
    EXPECT_TRUE(sd.readOnly);
    EXPECT_FALSE(readDiskFacts(sys.root(), makedev(179, 8)).removable);
    EXPECT_TRUE(readDiskFacts(sys.root(), makedev(8, 32)).removable);
    EXPECT_FALSE(readDiskFacts(sys.root(), makedev(8, 48)).exists);
}

// A job that cannot start the threads it needs: the failure comes back as a status, and no
// exception ends the caller, which knows only C.
TEST(ExportedEntry, NoExceptionLeavesTheEntry) {
    void* module =
        dlopen((kestrune::test::binDir() + "/VSKRemovableShredder.dll").toLocal8Bit().constData(),
               RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto shred = reinterpret_cast<VSKRMShredFn>(dlsym(module, KESTRUNE_SHRED_ENTRY));
    QTemporaryDir dir;
    QString path = makeImage(dir.path(), "pool.img", 8 << 20);
    // Another user than the administrator is held to the limit of threads below.
    ASSERT_EQ(chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    ASSERT_EQ(chmod(QFile::encodeName(path).constData(), 0666), 0);
    KestruneDiskIdentity id = imageIdentity(path);
    int32_t number = kestrune_disk_number_acquire(&id);
    ASSERT_GE(number, 0);
    fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(100);
        struct rlimit none {};
        if (setrlimit(RLIMIT_NPROC, &none) != 0)
            _exit(100);
        const int32_t result = shred(0, number, ALGORITHM_RANDOM, nullptr, nullptr, 0, nullptr);
        _exit(result == ENGINE_STATUS_NO_RESOURCES ? 0 : 1 + (-result & 0x7f));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    kestrune_disk_number_release(number);
    dlclose(module);
    ASSERT_TRUE(WIFEXITED(status))
        << "the job ended the process (signal " << WTERMSIG(status) << ")";
    ASSERT_NE(WEXITSTATUS(status), 100) << "cannot limit the threads here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "status -" << WEXITSTATUS(status) - 1 << " instead";
}
