#include "base/DiskSafety.h"

#include <QDir>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace kestrune::platform;

namespace {

struct NameCase {
    const char* name;
    bool neverWritten;
};

// The enumerator and the engine both decide by this rule, so a name missing here would be
// listed by one and refused by the other, or written by both.
TEST(DiskSafety, KernelNamesThatAreNeverWritten) {
    const NameCase cases[] = {
        {"sda", false},        {"sdb1", false},         {"nvme0n1", false},
        {"mmcblk0", false},    {"mmcblk0p1", false},    {"mmcblk12", false},
        {"vda", false},        {"loop0", true},         {"loop12", true},
        {"ram0", true},        {"zram0", true},         {"dm-0", true},
        {"md0", true},         {"md127", true},         {"sr0", true},
        {"nbd3", true},        {"zd0", true},           {"zd16", true},
        {"fd0", true},         {"mmcblk0boot0", true},  {"mmcblk0boot1", true},
        {"mmcblk1rpmb", true}, {"mmcblk0bootx", false}, {"mmcblkboot0", false},
        {"", false},
    };
    for (const NameCase& c : cases)
        EXPECT_EQ(isNeverWrittenName(c.name), c.neverWritten) << "kernel name '" << c.name << "'";
}

TEST(DiskSafety, AnythingBelowTheVirtualDevicesIsNeverWritten) {
    EXPECT_TRUE(isNeverWritten("sdz", "/sys/devices/virtual/block/sdz"));
    EXPECT_FALSE(isNeverWritten("sdb", "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/"
                                       "host6/target6:0:0/6:0:0:0/block/sdb"));
    EXPECT_TRUE(isNeverWritten("loop3", "/sys/devices/pci0000:00/block/loop3"));
}

TEST(DiskSafety, RemovableMediaAreUsbDisksSdCardsAndFlaggedDisks) {
    struct Case {
        bool flag;
        const char* mmcType;
        const char* usb;
        bool removable;
    };
    const Case cases[] = {
        {false, "", "", false},
        {true, "", "", true},
        {false, "SD", "", true},
        {false, "MMC", "", false},
        {false, "", "/sys/devices/usb2/2-1", true},
        {true, "MMC", "/sys/devices/usb2/2-1", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isRemovableMedium(c.flag, c.mmcType, c.usb), c.removable)
            << "flag " << c.flag << ", type '" << c.mmcType << "', usb '" << c.usb << "'";
}

TEST(DiskSafety, SystemMountTargetsAreTheSystemsOwnTreesNotAUsersMounts) {
    struct Case {
        const char* target;
        bool system;
    };
    const Case cases[] = {
        {"/", true},
        {"/home", true},
        {"/home/ann", false},
        {"/boot", true},
        {"/boot/efi", true},
        {"/bootstrap", false},
        {"/usr", true},
        {"/var/lib/docker", true},
        {"/run/live/medium", true},
        {"/run/media/ann/STICK", false},
        {"/media/ann/STICK", false},
        {"/media/root-ro", true},
        {"/mnt", false},
        {"/tmp/x", false},
        {"/cdrom", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isSystemMountTarget(c.target), c.system) << c.target;
}

// A tree of sysfs folders: the USB device is known by its subsystem and vendor, not by
// the name of a folder on the way.
class SysfsTree : public ::testing::Test {
protected:
    std::string root() const { return dir_.path().toStdString(); }
    std::string folder(const std::string& path) {
        const std::string full = root() + "/devices/" + path;
        QDir().mkpath(QString::fromStdString(full));
        return full;
    }
    void subsystem(const std::string& folderPath, const std::string& bus) {
        QDir().mkpath(QString::fromStdString(root() + "/bus/" + bus));
        ASSERT_EQ(::symlink((root() + "/bus/" + bus).c_str(), (folderPath + "/subsystem").c_str()),
                  0);
    }
    QTemporaryDir dir_;
};

TEST_F(SysfsTree, TheUsbDeviceAboveADiskIsTheNearestUsbFolderWithAVendor) {
    const std::string hub = folder("pci0000:00/0000:00:14.0/usb2");
    subsystem(hub, "usb");
    std::ofstream(hub + "/idVendor") << "1d6b\n";
    const std::string stick = folder("pci0000:00/0000:00:14.0/usb2/2-1");
    subsystem(stick, "usb");
    std::ofstream(stick + "/idVendor") << "0781\n";
    const std::string iface = folder("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0");
    subsystem(iface, "usb"); // an interface: no vendor of its own
    const std::string disk = folder("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/block/sdb");

    EXPECT_EQ(usbDeviceAbove(disk, root() + "/devices"), stick);
}

TEST_F(SysfsTree, AFolderNamedLikeUsbIsNoUsbDevice) {
    const std::string sata = folder("pci0000:00/0000:00:1f.2/usb3/ata1/host0/block/sda");
    EXPECT_EQ(usbDeviceAbove(sata, root() + "/devices"), "");
    // Nothing outside the devices tree is looked at, whatever it holds.
    const std::string outside = folder("usb9");
    subsystem(outside, "usb");
    std::ofstream(outside + "/idVendor") << "0781\n";
    EXPECT_EQ(usbDeviceAbove(outside + "/block/sdc", root() + "/devices/pci0000:00"), "");
    EXPECT_EQ(usbDeviceAbove(sata, ""), "");
}

TEST_F(SysfsTree, SystemUseNamesSystemMountsSwapsAndAnUnreadableTable) {
    const std::string mountinfo = root() + "/mountinfo";
    std::ofstream(mountinfo)
        << "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
           "23 22 8:17 / /media/ann/STICK rw,relatime shared:2 - vfat /dev/sdb1 rw\n"
           "24 22 8:1 / /boot/efi rw,relatime shared:3 - vfat /dev/sda1 rw\n";
    const std::string swaps = root() + "/swaps";
    std::ofstream(swaps) << "Filename\tType\tSize\tUsed\tPriority\n"
                            "/dev/nvme0n1p3                          partition\t8388604\t0\t-2\n";
    SystemPaths paths;
    paths.mountinfo = mountinfo;
    paths.swaps = swaps;
    paths.sysfsRoot = root();
    paths.devRoot = root() + "/dev"; // no nodes there: names are taken as written

    const SystemUse use = readSystemUse(paths);
    ASSERT_TRUE(use.known);
    EXPECT_TRUE(use.uses(makedev(8, 2), "sda2"));
    EXPECT_TRUE(use.uses(makedev(8, 1), "sda1"));
    EXPECT_TRUE(use.uses(makedev(259, 3), "nvme0n1p3"));
    EXPECT_FALSE(use.uses(makedev(8, 17), "sdb1"));
    EXPECT_EQ(use.mounts.size(), 3u);

    paths.mountinfo = root() + "/missing";
    EXPECT_FALSE(readSystemUse(paths).known);
}

} // namespace
