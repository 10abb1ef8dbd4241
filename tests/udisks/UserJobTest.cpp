// A whole job from the window as a normal user, on loop-backed disks: the disk is unmounted
// and opened by udisks2, which asks polkit. The tests run as root; they add a user and a
// polkit rule for it alone, run the window as that user and check the disk as root.
#include "RealDisks.h"
#include "TestSupport.h"
#include "lang/LanguageManager.h"

#include <QCryptographicHash>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>
#include <kestrune/shred_abi.h>

#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrune;
using namespace kestrune::test;

namespace {

const QString kUserName = QStringLiteral("kestrune-test");
// What a job needs from udisks2 on a loop device, which counts as a system device.
const QStringList kGrantedActions{
    QStringLiteral("org.freedesktop.udisks2.open-device-system"),
    QStringLiteral("org.freedesktop.udisks2.filesystem-unmount-others"),
    QStringLiteral("org.freedesktop.udisks2.rescan")};

QString program(const char* name) {
    return QStandardPaths::findExecutable(QString::fromLatin1(name),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                           QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
}

// Running, or started by the bus now (as on first use).
bool serviceAvailable(const QString& name) {
    QDBusConnection bus = QDBusConnection::systemBus();
    QDBusMessage start = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("StartServiceByName"));
    start << name << 0u;
    const QDBusMessage reply = bus.call(start, QDBus::Block, 30000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

// Why the job as a normal user cannot be tried here; empty when it can.
QString diskServiceUnavailable() {
    if (const QString reason = loopDevicesUnavailable(); !reason.isEmpty())
        return reason;
    for (const char* tool : {"setpriv", "useradd", "userdel", "pkcheck", "mkfs.fat", "udevadm"})
        if (program(tool).isEmpty())
            return QStringLiteral("needs %1").arg(QString::fromLatin1(tool));
    if (!QFileInfo(QStringLiteral("/etc/polkit-1/rules.d")).isDir())
        return QStringLiteral("needs polkit's rules folder");
    if (!QDBusConnection::systemBus().isConnected())
        return QStringLiteral("no system bus (start it as .ci/disk-services does)");
    for (const QString& name :
         {QStringLiteral("org.freedesktop.UDisks2"), QStringLiteral("org.freedesktop.PolicyKit1")})
        if (!serviceAvailable(name))
            return QStringLiteral("%1 is not running and cannot be started").arg(name);
    return {};
}

// An unprivileged user of its own; removed again when the test made it.
class TestUser {
public:
    TestUser() {
        if (!getpwnam(kUserName.toLocal8Bit().constData())) {
            created_ = runProgram(program("useradd"),
                                  {QStringLiteral("--system"), QStringLiteral("-M"),
                                   QStringLiteral("-U"), QStringLiteral("-s"),
                                   QStringLiteral("/usr/sbin/nologin"), kUserName}) == 0;
        }
        if (const passwd* entry = getpwnam(kUserName.toLocal8Bit().constData())) {
            uid_ = entry->pw_uid;
            gid_ = entry->pw_gid;
        }
    }
    ~TestUser() {
        if (created_)
            runProgram(program("userdel"), {kUserName});
    }
    bool exists() const { return uid_ != 0; }
    uid_t uid() const { return uid_; }
    gid_t gid() const { return gid_; }
    bool chown(const QString& path) const {
        return ::chown(QFile::encodeName(path), uid_, gid_) == 0;
    }
    // setpriv's arguments for a command run as this user.
    QStringList as(const QStringList& command) const {
        return QStringList{QStringLiteral("--reuid=%1").arg(uid_),
                           QStringLiteral("--regid=%1").arg(gid_), QStringLiteral("--init-groups"),
                           QStringLiteral("--")} +
               command;
    }

private:
    bool created_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

// Does polkit grant the action to a process of the user, now?
bool polkitGrants(const TestUser& user, const QString& action) {
    QProcess sleeper;
    sleeper.start(program("setpriv"), user.as({program("sleep"), QStringLiteral("60")}));
    if (!sleeper.waitForStarted())
        return false;
    QThread::msleep(100); // setpriv has become sleep
    const int rc = runProgram(program("pkcheck"),
                              {QStringLiteral("--action-id"), action, QStringLiteral("--process"),
                               QString::number(sleeper.processId())});
    sleeper.kill();
    sleeper.waitForFinished();
    return rc == 0;
}

// A polkit rule that grants the test user exactly the job's actions, for its lifetime.
class PolkitGrant {
public:
    explicit PolkitGrant(const TestUser& user)
        : user_(user), path_(QStringLiteral("/etc/polkit-1/rules.d/49-kestrune-test-%1.rules")
                                 .arg(QCoreApplication::applicationPid())) {
        QFile rule(path_);
        if (!rule.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return;
        rule.write(QStringLiteral("// Written by Kestrune's tests for their own user; removed when "
                                  "they end.\npolkit.addRule(function(action, subject) {\n"
                                  "    if (subject.user == \"%1\" &&\n"
                                  "        [\"%2\"].indexOf(action.id) >= 0)\n"
                                  "        return polkit.Result.YES;\n});\n")
                       .arg(kUserName, kGrantedActions.join(QStringLiteral("\", \"")))
                       .toUtf8());
        rule.close();
        written_ = QTest::qWaitFor([&] { return polkitGrants(user_, kGrantedActions[0]); }, 10000);
    }
    ~PolkitGrant() {
        QFile::remove(path_);
        (void)QTest::qWaitFor([&] { return !polkitGrants(user_, kGrantedActions[0]); }, 10000);
    }
    bool inForce() const { return written_; }

private:
    const TestUser& user_;
    QString path_;
    bool written_ = false;
};

// A file system mounted by root for the object's lifetime (udisksd, outside the test, must
// see it: no mount namespace of the test's own here).
class Mount {
public:
    Mount(const QString& device, bool readOnly)
        : mount_(device, point_.path(),
                 readOnly ? QStringList{QStringLiteral("ro")} : QStringList{}) {}
    bool mounted() const { return point_.isValid() && mount_.mounted(); }
    QString path() const { return point_.path(); }

private:
    QTemporaryDir point_;
    ScopedMount mount_;
};

// What udisks2 says about a block device: known at all, and mounted.
struct UdisksView {
    bool known = false;
    bool mounted = false;
};
UdisksView udisksView(const QString& device) {
    UdisksView view;
    QDBusConnection bus = QDBusConnection::systemBus();
    QDBusMessage resolve = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.UDisks2"),
        QStringLiteral("/org/freedesktop/UDisks2/Manager"),
        QStringLiteral("org.freedesktop.UDisks2.Manager"), QStringLiteral("ResolveDevice"));
    resolve << QVariantMap{{QStringLiteral("path"), device}} << QVariantMap();
    const QDBusMessage found = bus.call(resolve, QDBus::Block, 5000);
    if (found.type() != QDBusMessage::ReplyMessage || found.arguments().isEmpty())
        return view;
    const auto paths = qdbus_cast<QList<QDBusObjectPath>>(found.arguments().constFirst());
    if (paths.isEmpty())
        return view;
    view.known = true;
    QDBusMessage get = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.UDisks2"), paths.constFirst().path(),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.UDisks2.Filesystem") << QStringLiteral("MountPoints");
    const QDBusMessage points = bus.call(get, QDBus::Block, 5000);
    if (points.type() == QDBusMessage::ReplyMessage && !points.arguments().isEmpty()) {
        const QDBusArgument list = qvariant_cast<QDBusVariant>(points.arguments().constFirst())
                                       .variant()
                                       .value<QDBusArgument>();
        list.beginArray();
        view.mounted = !list.atEnd();
        list.endArray();
    }
    return view;
}

QByteArray digestOf(const QString& path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

// What the test user's window printed about each job.
struct Session {
    int exitCode = -1;
    QStringList lines;
    QString output;
    QStringList values(const QString& device, const char* key) const {
        QStringList found;
        const QString prefix = QStringLiteral("session: %1 %2=").arg(device, QLatin1String(key));
        for (const QString& line : lines)
            if (line.startsWith(prefix))
                found << line.mid(prefix.size());
        return found;
    }
    QStringList boxes() const {
        QStringList found;
        for (const QString& line : lines)
            if (line.startsWith(QLatin1String("session: box=")))
                found << line.mid(13);
        return found;
    }
};

class UserJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const QString reason = diskServiceUnavailable(); !reason.isEmpty()) {
            // CI starts the services; there a missing one is a failure, not a reason.
            if (qEnvironmentVariableIntValue("KESTRUNE_REQUIRE_DISK_SERVICE") == 1)
                FAIL() << reason.toStdString();
            GTEST_SKIP() << reason.toStdString();
        }
        user = std::make_unique<TestUser>();
        ASSERT_TRUE(user->exists()) << "cannot add the user " << kUserName.toStdString();
        ASSERT_TRUE(disks.isValid() && home.isValid());
        // The user reaches the images' folder (to match its loop devices) and owns a home.
        ASSERT_EQ(::chmod(QFile::encodeName(disks.path()), 0755), 0);
        for (const char* folder : {"data", "config", "runtime"})
            ASSERT_TRUE(QDir(home.path()).mkpath(QString::fromLatin1(folder)));
        ASSERT_EQ(::chmod(QFile::encodeName(home.filePath(QStringLiteral("runtime"))), 0700), 0);

        registerComponentDirectory(QStringLiteral("VSKLanguage.dll"), binDir());
        registerComponentDirectory(QStringLiteral("VSKRemovableShredder.dll"), binDir());
        writeRegistryDword(platform::RegistryRoot::CurrentUser, productKey("\\Shredding"),
                           QStringLiteral("ShredAlgo"), 100);
        writeRegistryDword(platform::RegistryRoot::CurrentUser, productKey("\\Settings"),
                           QStringLiteral("FormatDrive"), 1);
        // Start erases at once: the session's boxes are the jobs' own.
        writeRegistryDword(platform::RegistryRoot::LocalMachine, productKey("\\Settings"),
                           QStringLiteral("NoStartQuestion"), 1);
        // The user's programs get a copy of the hives in a folder of theirs; root, in this
        // test, honours only the hive in root's own folder.
        const QString userRegistry = home.filePath(QStringLiteral("registry"));
        ASSERT_TRUE(QDir().mkpath(userRegistry));
        for (const QString& hive : {registry.userHive(), registry.machineHive()})
            ASSERT_TRUE(QFile::copy(hive, userRegistry + "/" + QFileInfo(hive).fileName()));
        for (const QString& path :
             {home.path(), home.filePath(QStringLiteral("data")),
              home.filePath(QStringLiteral("config")), home.filePath(QStringLiteral("runtime")),
              userRegistry, userRegistry + "/user.reg", userRegistry + "/machine.reg"})
            ASSERT_TRUE(user->chown(path)) << path.toStdString();
    }
    void TearDown() override {
        mounts.clear();
        loops.clear();
        user.reset();
    }

    // A disk with an ext4 file system holding a secret; attached to a loop device that
    // udisks2 knows.
    LoopDisk& makeDisk(const char* name) {
        const QString image = disks.filePath(QString::fromLatin1(name));
        QFile file(image);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(32 << 20));
        file.seek(20 << 20);
        file.write(kSecret); // where ext4 leaves it alone
        file.close();
        EXPECT_EQ(runProgram(program("mke2fs"),
                             {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-t"),
                              QStringLiteral("ext4"), QStringLiteral("-E"),
                              QStringLiteral("lazy_itable_init=0,lazy_journal_init=0,nodiscard"),
                              QStringLiteral("-L"), QStringLiteral("PHOTOS"), image}),
                  0);
        loops.push_back(std::make_unique<LoopDisk>(image));
        LoopDisk& disk = *loops.back();
        EXPECT_TRUE(disk.attached()) << name;
        runProgram(program("udevadm"), {QStringLiteral("settle")});
        EXPECT_TRUE(QTest::qWaitFor([&] { return udisksView(disk.device()).known; }, 10000))
            << "udisks2 never saw " << disk.device().toStdString();
        return disk;
    }
    Mount& mount(const LoopDisk& disk, bool readOnly) {
        mounts.push_back(std::make_unique<Mount>(disk.device(), readOnly));
        Mount& mounted = *mounts.back();
        EXPECT_TRUE(mounted.mounted());
        if (!readOnly) {
            QFile data(QDir(mounted.path()).filePath(QStringLiteral("holiday.txt")));
            EXPECT_TRUE(data.open(QIODevice::WriteOnly) && data.write(kSecret) > 0);
        }
        ::sync();
        EXPECT_TRUE(QTest::qWaitFor([&] { return udisksView(disk.device()).mounted; }, 10000));
        return mounted;
    }
    QString image(const char* name) const { return disks.filePath(QString::fromLatin1(name)); }

    // What the test user's programs see: their own home and folders, the test's registry
    // and disks.
    QProcessEnvironment userEnvironment(const QString& systemBus) const {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"),
                           QStringLiteral("/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"));
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           home.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"),
                           home.filePath(QStringLiteral("runtime")));
        environment.insert(QStringLiteral("KESTRUNE_REGISTRY_DIR"),
                           home.filePath(QStringLiteral("registry")));
        environment.insert(QStringLiteral("KESTRUNE_SIMULATED_DISKS"), disks.path());
        environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"})
            if (qEnvironmentVariableIsSet(name))
                environment.insert(QString::fromLatin1(name), qEnvironmentVariable(name));
        if (!systemBus.isEmpty())
            environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), systemBus);
        return environment;
    }
    // Runs a program as the test user; what it printed on both outputs, and how it ended.
    Session runProgramAsUser(const QStringList& command, const QProcessEnvironment& environment) {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program("setpriv"), user->as(command));
        process.closeWriteChannel();
        Session session;
        if (!process.waitForFinished(15 * 60 * 1000))
            process.kill();
        process.waitForFinished();
        session.output = QString::fromLocal8Bit(process.readAll());
        session.lines = session.output.split(u'\n');
        session.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return session;
    }
    // Runs the window as the test user and starts the devices' jobs one after another.
    Session runAsUser(const QStringList& devices, const QString& systemBus = QString()) {
        QProcessEnvironment environment = userEnvironment(systemBus);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return runProgramAsUser(QStringList{QStringLiteral(KESTRUNE_USER_SESSION)} + devices,
                                environment);
    }
    // kestrune-cli as the test user, without a display.
    Session runCliAsUser(const QStringList& arguments, const QString& systemBus = QString()) {
        return runProgramAsUser(QStringList{QStringLiteral(KESTRUNE_CLI)} + arguments,
                                userEnvironment(systemBus));
    }
    QStringList reports() const {
        const QDir logs(home.filePath(QStringLiteral("data/Vaskor Security/Vaskor Kestrune/Logs")));
        QStringList found;
        for (const QString& name : logs.entryList({QStringLiteral("*.xml")}, QDir::Files))
            found << logs.filePath(name);
        return found;
    }
    static QString readText(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    static QString text(const char* key) {
        return GetLanguageManager()->GetString(QString::fromLatin1(key));
    }
    // Nobody keeps the disk open: the job closed every descriptor udisks2 gave it.
    static bool openedExclusively(const QString& device) {
        const int fd = ::open(QFile::encodeName(device), O_RDWR | O_EXCL | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
        return fd >= 0;
    }

    static inline const QByteArray kSecret = QByteArrayLiteral("secret customer data 0815");

    ScopedRegistry registry;
    QTemporaryDir home;
    QTemporaryDir disks{QFileInfo::exists(QStringLiteral("/dev/shm"))
                            ? QStringLiteral("/dev/shm/kestrune-user-disks-XXXXXX")
                            : QString()};
    std::unique_ptr<TestUser> user;
    std::vector<std::unique_ptr<LoopDisk>> loops;
    std::vector<std::unique_ptr<Mount>> mounts;
};

bool holdsSecret(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) &&
           file.readAll().contains(QByteArrayLiteral("secret customer data 0815"));
}

} // namespace

TEST_F(UserJobTest, AGrantedUserGetsTheMountedDiskUnmountedShreddedAndFormatted) {
    PolkitGrant grant(*user);
    ASSERT_TRUE(grant.inForce()) << "polkit did not take the test's rule";
    LoopDisk& disk = makeDisk("stick.img");
    mount(disk, false);
    ASSERT_TRUE(holdsSecret(image("stick.img")));

    const Session session = runAsUser({disk.device()});
    ASSERT_EQ(session.exitCode, 0) << session.output.toStdString();
    EXPECT_EQ(session.values(disk.device(), "status"), QStringList{text("status_shredded")})
        << session.output.toStdString();
    EXPECT_EQ(session.values(disk.device(), "enabled"), QStringList{QStringLiteral("1")});
    EXPECT_TRUE(session.boxes().isEmpty()) << session.output.toStdString();

    EXPECT_FALSE(isMounted(disk.device()));
    EXPECT_TRUE(openedExclusively(disk.device()));
    EXPECT_FALSE(holdsSecret(image("stick.img")));
    const auto partition = firstPartition(image("stick.img"));
    ASSERT_TRUE(partition.has_value());
    EXPECT_EQ(partition->label, "dos");
    EXPECT_EQ(partition->type, 0x0e);
    EXPECT_EQ(partition->start, 1 << 20);
    EXPECT_EQ(partition->start + partition->size, 32 << 20);
    const FileSystemCheck fat =
        checkFileSystemAt(image("stick.img"), partition->start, partition->size);
    EXPECT_EQ(fat.fsck, 0);
    EXPECT_EQ(fat.type, "vfat");
    EXPECT_EQ(fat.version, "FAT16");
    EXPECT_EQ(fat.label, "SHREDDED");

    // The report lies in the user's own folder, and it is the user's.
    const QStringList written = reports();
    ASSERT_EQ(written.size(), 1);
    EXPECT_EQ(QFileInfo(written[0]).ownerId(), user->uid());
    const QString body = readText(written[0]);
    EXPECT_TRUE(body.contains(QStringLiteral("iscleaned=\"1\" isformatted=\"1\"")))
        << body.toStdString();
    EXPECT_TRUE(body.contains(QStringLiteral("<result status=\"400\""))) << body.toStdString();
    EXPECT_EQ(runProgram(program("xmllint"), {QStringLiteral("--noout"), written[0]}), 0);
}

TEST_F(UserJobTest, WithoutTheGrantNothingIsWrittenAndTheRowCanStartAgain) {
    LoopDisk& mounted = makeDisk("mounted.img");
    const Mount& volume = mount(mounted, true); // read-only: not even the kernel writes
    LoopDisk& plain = makeDisk("plain.img");
    const QByteArray mountedBefore = digestOf(image("mounted.img"));
    const QByteArray plainBefore = digestOf(image("plain.img"));

    // The mounted disk is refused at the unmount, the other at the open; the first twice.
    const Session session = runAsUser({mounted.device(), mounted.device(), plain.device()});
    ASSERT_EQ(session.exitCode, 0) << session.output.toStdString();
    const QString refused = text("status_failed_not_authorized");
    EXPECT_EQ(session.values(mounted.device(), "status"), (QStringList{refused, refused}))
        << session.output.toStdString();
    EXPECT_EQ(session.values(plain.device(), "status"), QStringList{refused});
    EXPECT_EQ(session.values(mounted.device(), "button"),
              (QStringList{text("status_start"), text("status_start")}));
    EXPECT_EQ(session.values(plain.device(), "enabled"), QStringList{QStringLiteral("1")});
    EXPECT_NE(refused, text("status_failed_permission"));

    EXPECT_TRUE(isMounted(mounted.device()));
    EXPECT_TRUE(QFileInfo(volume.path()).isDir());
    EXPECT_EQ(digestOf(image("mounted.img")), mountedBefore);
    EXPECT_EQ(digestOf(image("plain.img")), plainBefore);
    EXPECT_TRUE(openedExclusively(plain.device()));

    const QStringList written = reports();
    ASSERT_EQ(written.size(), 3);
    for (const QString& report : written) {
        EXPECT_EQ(QFileInfo(report).ownerId(), user->uid());
        const QString body = readText(report);
        EXPECT_TRUE(body.contains(
            QStringLiteral("<result status=\"%1\"").arg(SHRED_STATUS_FAILED_NOT_AUTHORIZED)))
            << body.toStdString();
        EXPECT_TRUE(body.contains(QStringLiteral("iscleaned=\"0\""))) << body.toStdString();
    }
}

TEST_F(UserJobTest, WithoutTheDiskServiceTheRowSaysSoAndNothingIsWritten) {
    LoopDisk& disk = makeDisk("stick.img");
    const QByteArray before = digestOf(image("stick.img"));
    const QString nowhere = home.filePath(QStringLiteral("runtime/no-bus-here"));

    const Session session = runAsUser({disk.device()}, QStringLiteral("unix:path=") + nowhere);
    ASSERT_EQ(session.exitCode, 0) << session.output.toStdString();
    EXPECT_EQ(session.values(disk.device(), "status"),
              QStringList{text("status_failed_no_disk_service")})
        << session.output.toStdString();
    EXPECT_EQ(digestOf(image("stick.img")), before);
    const QStringList written = reports();
    ASSERT_EQ(written.size(), 1);
    EXPECT_TRUE(
        readText(written[0])
            .contains(
                QStringLiteral("<result status=\"%1\"").arg(SHRED_STATUS_FAILED_NO_DISK_SERVICE)));
}

TEST_F(UserJobTest, TheCommandLineTakesTheSamePathForAGrantedUser) {
    PolkitGrant grant(*user);
    ASSERT_TRUE(grant.inForce()) << "polkit did not take the test's rule";
    LoopDisk& disk = makeDisk("stick.img");
    mount(disk, false);
    ASSERT_TRUE(holdsSecret(image("stick.img")));

    const Session session = runCliAsUser({QStringLiteral("shred"), QStringLiteral("--yes"),
                                          QStringLiteral("--format"), disk.device()});
    ASSERT_EQ(session.exitCode, 0) << session.output.toStdString();
    EXPECT_FALSE(isMounted(disk.device()));
    EXPECT_TRUE(openedExclusively(disk.device()));
    EXPECT_FALSE(holdsSecret(image("stick.img")));
    const QStringList written = reports();
    ASSERT_EQ(written.size(), 1);
    EXPECT_EQ(QFileInfo(written[0]).ownerId(), user->uid());
    EXPECT_TRUE(readText(written[0]).contains(QStringLiteral("<result status=\"400\"")));
    EXPECT_TRUE(session.output.contains(written[0])) << session.output.toStdString();
}

TEST_F(UserJobTest, TheCommandLineSaysWhyTheSystemRefusedTheDiskInItsExitStatus) {
    LoopDisk& disk = makeDisk("stick.img");
    const QByteArray before = digestOf(image("stick.img"));
    const QStringList shred{QStringLiteral("shred"), QStringLiteral("--yes"), disk.device()};

    // Without the grant polkit says no; without the bus there is nobody to ask.
    Session session = runCliAsUser(shred);
    EXPECT_EQ(session.exitCode, 12) << session.output.toStdString();
    EXPECT_TRUE(session.output.contains(text("status_failed_not_authorized")))
        << session.output.toStdString();
    session = runCliAsUser(shred, QStringLiteral("unix:path=") +
                                      home.filePath(QStringLiteral("runtime/no-bus-here")));
    EXPECT_EQ(session.exitCode, 13) << session.output.toStdString();
    EXPECT_TRUE(session.output.contains(text("status_failed_no_disk_service")))
        << session.output.toStdString();

    EXPECT_EQ(digestOf(image("stick.img")), before);
    EXPECT_EQ(reports().size(), 2);
}
