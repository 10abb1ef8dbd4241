// Simulated disks and device changes under Wine itself: image files in a real folder, the
// folder's changes, and the monitor's window receiving WM_DEVICECHANGE (which Wine never
// sends for its drives, so the tests send what Windows documents). Only the disk numbers
// behind an event come from the call table.
#include "FakeDisks.h"
#include "platform/DeviceMonitor.h"
#include "platform/DiskEnumerator.h"
#include "platform/windows/DeviceChangeWindow.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using kestrune::platform::DeviceMonitor;
using kestrune::platform::DeviceMonitorOptions;
using kestrune::platform::DiskInfo;
using kestrune::platform::windows_impl::DeviceChangeWindow;

namespace {

void put16(QByteArray& bytes, int at, unsigned value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

// A FAT16 file system of 4 MiB as Windows formats it: the label in the root folder, the
// boot sector's saying "NO NAME".
QByteArray fat16(const char* label) {
    QByteArray bytes(4 << 20, '\0');
    bytes.replace(0, 11, "\xEB\x3C\x90MSDOS5.0");
    put16(bytes, 11, 512);
    bytes[13] = 4;          // sectors per cluster
    put16(bytes, 14, 1);    // reserved sectors
    bytes[16] = 2;          // FATs
    put16(bytes, 17, 512);  // root entries
    put16(bytes, 19, 8192); // sectors
    bytes[21] = static_cast<char>(0xF8);
    put16(bytes, 22, 8); // sectors per FAT
    bytes[38] = 0x29;
    put16(bytes, 39, 0xABCD);
    put16(bytes, 41, 0x1234);
    bytes.replace(43, 11, "NO NAME    ");
    bytes.replace(54, 8, "FAT16   ");
    put16(bytes, 510, 0xAA55);
    const int root = (1 + 2 * 8) * 512;
    bytes.replace(root, 11, QByteArray(label).leftJustified(11, ' '));
    bytes[root + 11] = 0x08; // the volume label's entry
    return bytes;
}

// An MBR with one FAT16 partition from sector 2048.
QByteArray partitioned(const char* label) {
    QByteArray bytes(2048 * 512, '\0');
    bytes[446 + 4] = 0x0E;
    put16(bytes, 446 + 8, 2048);
    put16(bytes, 446 + 12, 8192);
    put16(bytes, 510, 0xAA55);
    return bytes + fat16(label);
}

bool write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

class SimulatedFolder : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("KESTRUNE_SIMULATED_DISKS", QDir::toNativeSeparators(dir.path()).toUtf8());
    }
    void TearDown() override { qunsetenv("KESTRUNE_SIMULATED_DISKS"); }
    QString file(const QString& name) const { return QDir::toNativeSeparators(dir.filePath(name)); }

    QTemporaryDir dir;
};

TEST_F(SimulatedFolder, ImagesAreUsbSticksWithTheirVolumesAndNothingElseIsListed) {
    ASSERT_TRUE(write(file("blank.img"), QByteArray(1 << 20, '\0')));
    ASSERT_TRUE(write(file("data.img"), fat16("DATA")));
    ASSERT_TRUE(write(file("parted.img"), partitioned("PART1")));
    ASSERT_TRUE(write(file(QStringLiteral("gr\u00fcn.img")), QByteArray(4096, '\0')));
    ASSERT_TRUE(write(file("notes.txt"), "not a disk"));
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder.img"));
    // A file with a second name may be anyone's: neither name is a disk.
    ASSERT_TRUE(write(file("linked.img"), QByteArray(4096, 'K')));
    ASSERT_TRUE(::CreateHardLinkW(reinterpret_cast<const wchar_t*>(file("other.img").utf16()),
                                  reinterpret_cast<const wchar_t*>(file("linked.img").utf16()),
                                  nullptr));

    const auto disks = kestrune::platform::createDiskEnumerator()->enumerate();
    ASSERT_TRUE(disks);
    QStringList names;
    for (const DiskInfo& disk : *disks)
        names << disk.name;
    ASSERT_EQ(names.join(' ').toStdString(), "blank data gr\u00fcn parted");

    const DiskInfo& blank = (*disks)[0];
    EXPECT_EQ(blank.identity.path, file("blank.img"));
    EXPECT_TRUE(blank.identity.simulated);
    EXPECT_NE(blank.identity.diskseq, (*disks)[1].identity.diskseq);
    EXPECT_EQ(blank.imageFile.compare(file("blank.img"), Qt::CaseInsensitive), 0);
    EXPECT_EQ(blank.vendor, "Kestrune");
    EXPECT_EQ(blank.serial, "blank");
    EXPECT_EQ(blank.bus, "USB");
    EXPECT_EQ(blank.sizeBytes, 1u << 20);
    EXPECT_TRUE(blank.hasMedium);
    EXPECT_TRUE(blank.volumes.empty());

    ASSERT_EQ((*disks)[1].volumes.size(), 1u);
    EXPECT_EQ((*disks)[1].volumes[0].name, "data");
    EXPECT_EQ((*disks)[1].volumes[0].label, "DATA");
    EXPECT_EQ((*disks)[1].volumes[0].fsUuid, "1234-ABCD");
    // The engine takes the path from the pool as UTF-8, whatever the system's code page.
    EXPECT_EQ((*disks)[2].identity.nativePath, file(QStringLiteral("gr\u00fcn.img")).toUtf8());
    ASSERT_EQ((*disks)[3].volumes.size(), 1u);
    EXPECT_EQ((*disks)[3].volumes[0].name, "partedp1");
    EXPECT_EQ((*disks)[3].volumes[0].label, "PART1");
    EXPECT_EQ((*disks)[3].volumes[0].fsType, "vfat");

    EXPECT_EQ(kestrune::platform::explainUnlistedDisk(file("other.img")).reason,
              kestrune::platform::UnlistedReason::NotADisk);
    EXPECT_EQ(kestrune::platform::explainUnlistedDisk(file("data.img")).reason,
              kestrune::platform::UnlistedReason::Listable);
}

TEST_F(SimulatedFolder, AFolderThatIsMissingOrNotAbsoluteListsNothing) {
    ASSERT_TRUE(write(file("here.img"), QByteArray(4096, '\0')));
    for (const QString& folder : {file("missing"), QString("sticks"), QString()}) {
        SCOPED_TRACE(folder.toStdString());
        qputenv("KESTRUNE_SIMULATED_DISKS", folder.toUtf8());
        const QString previous = QDir::currentPath();
        QDir::setCurrent(dir.path()); // a relative folder would be read from here
        const auto disks = kestrune::platform::createDiskEnumerator()->enumerate();
        QDir::setCurrent(previous);
        ASSERT_TRUE(disks);
        EXPECT_TRUE(disks->empty());
    }
}

TEST_F(SimulatedFolder, ImagesComingAndGoingAreDeviceChanges) {
    DeviceMonitorOptions options = DeviceMonitorOptions::fromEnvironment();
    EXPECT_FALSE(options.watchBlockDevices); // nothing but images counts then
    options.debounceMs = 50;
    options.suppressGraceMs = 100;
    DeviceMonitor monitor(options);
    ASSERT_TRUE(monitor.isWatching());
    QSignalSpy arrived(&monitor, &DeviceMonitor::volumeArrived);
    QSignalSpy removed(&monitor, &DeviceMonitor::volumeRemoved);

    for (int i = 0; i < 3; ++i) // a burst of new images is one arrival
        ASSERT_TRUE(write(file(QString("s%1.img").arg(i)), QByteArray(4096, '\0')));
    ASSERT_TRUE(arrived.wait(3000));
    QTest::qWait(200);
    EXPECT_EQ(arrived.count(), 1);
    ASSERT_TRUE(QFile::remove(file("s0.img")));
    ASSERT_TRUE(removed.wait(3000));

    // A job's own image is not news until its grace has passed; another image still is.
    monitor.suppressDisk(dir.filePath("s1.img"), true);
    arrived.clear();
    ASSERT_TRUE(write(file("s1.img"), QByteArray(8192, '\0')));
    ASSERT_TRUE(write(file("notes.txt"), "not a disk"));
    QTest::qWait(300);
    EXPECT_EQ(arrived.count(), 0);
    ASSERT_TRUE(write(file("other.img"), QByteArray(4096, '\0')));
    ASSERT_TRUE(arrived.wait(3000));
    monitor.suppressDisk(file("s1.img"), false);
    QTest::qWait(300);
    arrived.clear();
    ASSERT_TRUE(write(file("s1.img"), QByteArray(4096, '\0')));
    EXPECT_TRUE(arrived.wait(3000));
}

// What Windows sends: a disk's or volume's interface, or a volume's drive letters.
struct Broadcast {
    explicit Broadcast(const GUID& interfaceClass, const std::wstring& name) {
        bytes.resize(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + name.size() * sizeof(wchar_t));
        auto* device = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
        device->dbcc_size = static_cast<DWORD>(bytes.size());
        device->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        device->dbcc_classguid = interfaceClass;
        std::wmemcpy(device->dbcc_name, name.c_str(), name.size() + 1);
    }
    explicit Broadcast(DWORD unitMask, DWORD type = DBT_DEVTYP_VOLUME) {
        bytes.resize(sizeof(DEV_BROADCAST_VOLUME));
        auto* volume = reinterpret_cast<DEV_BROADCAST_VOLUME*>(bytes.data());
        volume->dbcv_size = sizeof(DEV_BROADCAST_VOLUME);
        volume->dbcv_devicetype = type;
        volume->dbcv_unitmask = unitMask;
    }
    void send(HWND window, WPARAM event) {
        EXPECT_EQ(
            ::SendMessageW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(bytes.data())),
            TRUE);
    }
    std::vector<std::uint8_t> bytes;
};

TEST(DeviceChangeWindow, EventsNameTheDisksTheyLieOnEvenOnceGone) {
    fakedisks::Windows windows;
    windows.addDisk(1, "SanDisk", "Cruzer");
    windows.addVolume(L"E:\\", {1});
    std::vector<std::pair<bool, QStringList>> events;
    DeviceChangeWindow window(
        windows.calls(), kestrune::platform::windows_impl::systemMonitorCalls(),
        [&](bool arrival, const QStringList& disks) { events.emplace_back(arrival, disks); });
    ASSERT_TRUE(window.window()) << window.failure().toStdString();
    const QStringList stick{"\\\\.\\PhysicalDrive1"};
    using kestrune::platform::windows_impl::kDiskInterface;
    using kestrune::platform::windows_impl::kVolumeInterface;
    Broadcast disk(kDiskInterface, windows.disks[0].interfacePath);
    Broadcast volume(kVolumeInterface, L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}");
    Broadcast letter(DWORD{1} << ('E' - 'A'));

    disk.send(window.window(), DBT_DEVICEARRIVAL);
    volume.send(window.window(), DBT_DEVICEARRIVAL);
    letter.send(window.window(), DBT_DEVICEARRIVAL);
    // Gone: the system cannot be asked any more, what they lay on is remembered.
    windows.disks.clear();
    windows.volumes.clear();
    letter.send(window.window(), DBT_DEVICEREMOVECOMPLETE);
    volume.send(window.window(), DBT_DEVICEREMOVECOMPLETE);
    disk.send(window.window(), DBT_DEVICEREMOVECOMPLETE);
    disk.send(window.window(), DBT_DEVICEREMOVECOMPLETE); // told twice: nothing known
    const std::vector<std::pair<bool, QStringList>> expected = {
        {true, stick},  {true, stick},  {true, stick},         {false, stick},
        {false, stick}, {false, stick}, {false, QStringList()}};
    EXPECT_EQ(events, expected);

    // Other devices, and other kinds of events, are no news.
    events.clear();
    Broadcast(kVolumeInterface, L"x").send(window.window(), DBT_DEVICEQUERYREMOVE);
    Broadcast(DWORD{1}, DBT_DEVTYP_PORT).send(window.window(), DBT_DEVICEARRIVAL);
    Broadcast(GUID{}, L"\\\\?\\HID#VID_046D").send(window.window(), DBT_DEVICEARRIVAL);
    EXPECT_EQ(::SendMessageW(window.window(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0), TRUE);
    EXPECT_TRUE(events.empty());
}

// The monitor's own window, as Windows would reach it.
TEST(DeviceChangeWindow, AVolumeEventReachesTheMonitorAsOneArrival) {
    DeviceMonitorOptions options;
    options.debounceMs = 50;
    DeviceMonitor monitor(options);
    const HWND window = ::FindWindowExW(HWND_MESSAGE, nullptr, L"KestruneDeviceChanges", nullptr);
    ASSERT_TRUE(window);
    QSignalSpy arrived(&monitor, &DeviceMonitor::volumeArrived);
    QSignalSpy removed(&monitor, &DeviceMonitor::volumeRemoved);
    Broadcast letter(DWORD{1} << ('Z' - 'A')); // Wine's Z: tells no disk: it still counts
    for (int i = 0; i < 3; ++i)
        letter.send(window, DBT_DEVICEARRIVAL);
    ASSERT_TRUE(arrived.wait(3000));
    QTest::qWait(200);
    EXPECT_EQ(arrived.count(), 1);
    EXPECT_EQ(removed.count(), 0);
}

} // namespace
