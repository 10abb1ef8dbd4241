#include "DevicesTestSupport.h"

#include "platform/linux/BlockDiskEnumerator.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

using kestrune::platform::DiskInfo;
using kestrune::platform::linux_impl::BlockDiskEnumerator;
using kestrune::test::FakeBlockSystem;

namespace {

const DiskInfo* findDisk(const std::vector<DiskInfo>& disks, const QString& name) {
    for (const DiskInfo& disk : disks)
        if (disk.name == name)
            return &disk;
    return nullptr;
}

QStringList names(const std::vector<DiskInfo>& disks) {
    QStringList out;
    for (const DiskInfo& disk : disks)
        out << disk.name;
    return out;
}

// A stick (sdb) with a mounted DATA partition and an unmounted BACKUP partition, beside
// a fixed SATA disk (sda) that holds the system.
class BlockEnumeration : public ::testing::Test {
protected:
    void SetUp() override {
        fake.addDisk({"sda", "pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0", 8, 0,
                      500118192, 1, false, false});
        fake.addPartition("sda", "sda1", 8, 1, 500000000);
        fake.addMount(8, 1, "/dev/sda1", "/");

        stickDir = fake.addUsbDisk({"sdb", "", 8, 16, 15633408, 42, true, false}, "SanDisk ",
                                   "Cruzer Blade    ", "4C530001");
        fake.addPartition("sdb", "sdb1", 8, 17, 8388608);
        fake.addPartition("sdb", "sdb2", 8, 18, 7200000);
        fake.addMount(8, 17, "/dev/sdb1", "/media/u/DATA");
        fake.setUdev(8, 17, {{"ID_FS_TYPE", "vfat"}, {"ID_FS_LABEL", "DATA"}});
    }

    FakeBlockSystem fake;
    QString stickDir;
};

TEST_F(BlockEnumeration, UsbStickIsListedWithItsVolumesAndTheSystemDiskIsNot) {
    // sdb2 carries a real FAT file system, found by probing since udev knows nothing of it.
    const QString backup = fake.path("backup.img");
    const bool haveMkfs = kestrune::test::makeFatImage(backup, 1024, "BACKUP");
    if (haveMkfs) {
        QFile::remove(fake.path("dev/sdb2"));
        QFile::copy(backup, fake.path("dev/sdb2"));
    }

    const BlockDiskEnumerator enumerator(fake.paths());
    const auto disks = enumerator.removableDisks();
    ASSERT_EQ(names(disks), QStringList{"sdb"});
    const DiskInfo& stick = disks[0];
    EXPECT_EQ(stick.identity.path, fake.path("dev/sdb"));
    EXPECT_EQ(stick.identity.devt, makedev(8, 16));
    EXPECT_EQ(stick.identity.diskseq, 42u);
    EXPECT_FALSE(stick.identity.simulated);
    EXPECT_EQ(stick.vendor, "SanDisk");
    EXPECT_EQ(stick.product, "Cruzer Blade");
    EXPECT_EQ(stick.serial, "4C530001");
    EXPECT_EQ(stick.bus, "USB");
    EXPECT_EQ(stick.sizeBytes, 15633408ull * 512);
    EXPECT_TRUE(stick.hasMedium);
    EXPECT_FALSE(stick.readOnly);

    ASSERT_EQ(stick.volumes.size(), 2u);
    EXPECT_EQ(stick.volumes[0].name, "sdb1");
    EXPECT_EQ(stick.volumes[0].devicePath, fake.path("dev/sdb1"));
    EXPECT_EQ(stick.volumes[0].label, "DATA");
    EXPECT_EQ(stick.volumes[0].mountPoint, "/media/u/DATA");
    EXPECT_EQ(stick.volumes[1].name, "sdb2");
    EXPECT_TRUE(stick.volumes[1].mountPoint.isEmpty());
    if (haveMkfs) {
        EXPECT_EQ(stick.volumes[1].label, "BACKUP");
        EXPECT_EQ(stick.volumes[1].fsType, "vfat");
    }

    EXPECT_EQ(enumerator.judge("sda").reason, "holds a system mount or swap");
    const auto sda = enumerator.readDisk("sda");
    ASSERT_TRUE(sda.has_value());
    EXPECT_EQ(sda->bus, "ATA");
}

TEST_F(BlockEnumeration, UdevNamesWinOverSysfsAndAreDecoded) {
    fake.setUdev(8, 16,
                 {{"ID_VENDOR", "Kingston"},
                  {"ID_VENDOR_ENC", "King\\x20ston\\x20\\x20"},
                  {"ID_MODEL", "DataTraveler_3.0"},
                  {"ID_MODEL_ENC", "DataTraveler\\x203.0"},
                  {"ID_SERIAL_SHORT", "60A44C4138"}});
    const auto disks = BlockDiskEnumerator(fake.paths()).removableDisks();
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].vendor, "King ston");
    EXPECT_EQ(disks[0].product, "DataTraveler 3.0");
    EXPECT_EQ(disks[0].serial, "60A44C4138");
}

TEST_F(BlockEnumeration, DevicesThatMustNeverBeWrittenAreLeftOut) {
    // A removable flag never overrides an exclusion.
    fake.addDisk({"loop0", "virtual", 7, 0, 2048, 3, true, false});
    fake.addDisk({"zram0", "virtual", 252, 0, 2048, 0, true, false});
    fake.addDisk({"sr0", "pci0000:00/0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0", 11, 0, 2048, 0,
                  true, false});
    fake.addUsbDisk({"sdc", "", 8, 32, 2048000, 5, true, false}, "A", "Root", "1");
    fake.addPartition("sdc", "sdc2", 8, 34, 2000000);
    fake.addMount(8, 34, "/dev/sdc2", "/boot/efi");
    fake.addUsbDisk({"sdd", "", 8, 48, 2048000, 6, true, false}, "B", "Swap", "2");
    fake.addPartition("sdd", "sdd1", 8, 49, 2000000);
    fake.addSwap("/dev/sdd1");
    fake.addUsbDisk({"sde", "", 8, 64, 2048000, 7, true, false}, "C", "Lvm", "3");
    const QString sde1 = fake.addPartition("sde", "sde1", 8, 65, 2000000);
    fake.addHolder(sde1, "dm-0");
    fake.addUsbDisk({"sdf", "", 8, 80, 2048000, 8, true, false}, "D", "Raid", "4");
    fake.addHolder("sys/block/sdf", "md0");
    // A root on btrfs shows an anonymous device number; the source still names the disk.
    fake.addUsbDisk({"sdg", "", 8, 96, 2048000, 9, true, false}, "E", "Btrfs", "5");
    fake.addPartition("sdg", "sdg1", 8, 97, 2000000);
    fake.addMount(0, 31, "/dev/sdg1", "/");
    fake.addDisk({"mmcblk1boot0", "platform/mmc1/mmc1:0001", 179, 8, 8192, 0, true, false});

    const BlockDiskEnumerator enumerator(fake.paths());
    EXPECT_EQ(names(enumerator.removableDisks()), QStringList{"sdb"});
    EXPECT_EQ(enumerator.judge("loop0").reason, "virtual or system device");
    EXPECT_EQ(enumerator.judge("sr0").reason, "virtual or system device");
    EXPECT_EQ(enumerator.judge("sdc").reason, "holds a system mount or swap");
    EXPECT_EQ(enumerator.judge("sdd").reason, "holds a system mount or swap");
    EXPECT_EQ(enumerator.judge("sde").reason, "in use by another device");
    EXPECT_EQ(enumerator.judge("sdf").reason, "in use by another device");
    EXPECT_EQ(enumerator.judge("sdg").reason, "holds a system mount or swap");
    EXPECT_FALSE(enumerator.judge("mmcblk1boot0").listed);
}

// The disks a running live system or an overlay root depends on, and members of pools in
// use, which no mount names by their own device.
TEST_F(BlockEnumeration, DisksTheRunningSystemNeedsAreLeftOut) {
    // A live system booted from sdc: medium at /run/live/medium, its squashfs on loop0, the
    // root an overlay over it.
    fake.addUsbDisk({"sdc", "", 8, 32, 2048000, 5, true, false}, "Live", "Boot", "1");
    fake.addPartition("sdc", "sdc1", 8, 33, 2000000);
    fake.addMount(8, 33, "/dev/sdc1", "/run/live/medium", "iso9660", "ro");
    // The same system without the medium mount (toram over an unmounted copy is not the
    // case here): the overlay's lower layer sits on sdd through a loop device.
    fake.addUsbDisk({"sdd", "", 8, 48, 2048000, 6, true, false}, "Overlay", "Root", "2");
    fake.addPartition("sdd", "sdd1", 8, 49, 2000000);
    fake.addMount(8, 49, "/dev/sdd1", "/media/u/carrier", "ext4", "rw");
    fake.addDisk({"loop0", "virtual", 7, 0, 400000, 3, false, false});
    fake.writeFile("sys/block/loop0/loop/backing_file",
                   "/media/u/carrier/live/filesystem.squashfs\n");
    fake.addMount(7, 0, "/dev/loop0", "/run/rootfs/squash", "squashfs", "ro");
    fake.addMount(0, 40, "overlay", "/", "overlay",
                  "rw,lowerdir=/run/rootfs/squash,upperdir=/run/cow/upper,workdir=/run/cow/work");
    // Something of the system's own trees, and a user's mounts that stay listed.
    fake.addUsbDisk({"sde", "", 8, 64, 2048000, 7, true, false}, "Var", "Disk", "3");
    fake.addMount(8, 64, "/dev/sde", "/var/lib/containers", "ext4", "rw");
    fake.addUsbDisk({"sdf", "", 8, 80, 2048000, 8, true, false}, "User", "Stick", "4");
    fake.addMount(8, 80, "/dev/sdf", "/home/u/stick", "vfat", "rw");
    fake.addUsbDisk({"sdg", "", 8, 96, 2048000, 9, true, false}, "Run", "Media", "5");
    fake.addMount(8, 96, "/dev/sdg", "/run/media/u/PHOTOS", "vfat", "rw");
    // Pool members: a btrfs over two sticks, an imported ZFS pool, a bcachefs in use, and
    // a ZFS member whose pool is not imported (a stick to wipe).
    fake.addUsbDisk({"sdh", "", 8, 112, 2048000, 10, true, false}, "Btrfs", "Member", "6");
    fake.setUdev(8, 112, {{"ID_FS_TYPE", "btrfs"}, {"ID_FS_UUID", "b7e1"}});
    fake.writeFile("sys/fs/btrfs/b7e1/devices/sdh", {});
    fake.writeFile("sys/fs/btrfs/b7e1/devices/sdz", {});
    fake.addUsbDisk({"sdi", "", 8, 128, 2048000, 11, true, false}, "Zfs", "Member", "7");
    fake.addPartition("sdi", "sdi1", 8, 129, 2000000);
    fake.setUdev(8, 129, {{"ID_FS_TYPE", "zfs_member"}, {"ID_FS_LABEL", "tank"}});
    fake.writeFile("proc/spl/kstat/zfs/tank/state", "ONLINE\n");
    fake.addUsbDisk({"sdj", "", 8, 144, 2048000, 12, true, false}, "Bcachefs", "Member", "8");
    fake.setUdev(8, 144, {{"ID_FS_TYPE", "bcachefs"}, {"ID_FS_UUID", "c4a2"}});
    fake.writeFile("sys/fs/bcachefs/c4a2/options/version", {});
    fake.addUsbDisk({"sdk", "", 8, 160, 2048000, 13, true, false}, "Old", "Pool", "9");
    fake.setUdev(8, 160, {{"ID_FS_TYPE", "zfs_member"}, {"ID_FS_LABEL", "exported"}});

    const BlockDiskEnumerator enumerator(fake.paths());
    EXPECT_EQ(names(enumerator.removableDisks()), (QStringList{"sdb", "sdf", "sdg", "sdk"}));
    for (const char* disk : {"sdc", "sdd", "sde"})
        EXPECT_EQ(enumerator.judge(disk).reason, "holds a system mount or swap") << disk;
}

// One USB reader with four slots is four disks; the empty slots are listed without medium.
TEST_F(BlockEnumeration, EverySlotOfACardReaderIsADisk) {
    fake.addUsbDisk({"sdc", "", 8, 32, 0, 5, true, false}, "Generic", "CF", "0815");
    fake.addUsbDisk({"sdd", "", 8, 48, 3911680, 6, true, false}, "Generic", "SD/MMC", "0815");
    fake.addUsbDisk({"sde", "", 8, 64, 0, 7, true, false}, "Generic", "MS", "0815");
    fake.addUsbDisk({"sdf", "", 8, 80, 0, 8, true, false}, "Generic", "xD", "0815");
    const auto disks = BlockDiskEnumerator(fake.paths()).removableDisks();
    EXPECT_EQ(names(disks), (QStringList{"sdb", "sdc", "sdd", "sde", "sdf"}));
    for (const char* slot : {"sdc", "sde", "sdf"})
        EXPECT_FALSE(findDisk(disks, slot)->hasMedium) << slot;
    EXPECT_TRUE(findDisk(disks, "sdd")->hasMedium);
    EXPECT_EQ(findDisk(disks, "sdd")->product, "SD/MMC");
}

// What kind of medium each disk is, for its certificate: a USB disk whose medium is
// removable is a stick, one that says it is fixed a disk unless udev or its name calls it a
// stick; a card in a slot, or in a reader that udev or its name marks as one, a memory card.
TEST_F(BlockEnumeration, EachDiskIsAStickACardOrADiskAsItsBusAndDeviceTell) {
    fake.addUsbDisk({"sdc", "", 8, 32, 976773168, 5, false, false}, "WD", "Elements 25A2", "57");
    fake.addUsbDisk({"sdg", "", 8, 96, 30031872, 9, false, false}, "SanDisk", "Ultra Flair", "9");
    fake.setUdev(8, 96, {{"ID_DRIVE_THUMB", "1"}});
    fake.addUsbDisk({"sdh", "", 8, 112, 30031872, 10, false, false}, "Generic", "Flash Disk", "1");
    fake.addUsbDisk({"sdd", "", 8, 48, 3911680, 6, true, false}, "Generic", "SD/MMC", "0815");
    fake.addUsbDisk({"sde", "", 8, 64, 3911680, 7, true, false}, "Generic", "MS/MS-Pro", "0815");
    fake.addUsbDisk({"sdf", "", 8, 80, 3911680, 8, true, false}, "Realtek", "RTS5129", "2012");
    fake.setUdev(8, 80, {{"ID_DRIVE_FLASH_SD", "1"}});
    fake.writeFile("sys/devices/platform/mmc0/mmc0:aaaa/type", "SD\n");
    fake.addDisk({"mmcblk0", "platform/mmc0/mmc0:aaaa", 179, 0, 62333952, 11, false, false});
    const auto disks = BlockDiskEnumerator(fake.paths()).removableDisks();
    using kestrune::platform::MediumType;
    const std::map<QString, MediumType> expected = {
        {"sdb", MediumType::UsbFlashDrive}, {"sdc", MediumType::Disk},
        {"sdd", MediumType::MemoryCard},    {"sde", MediumType::MemoryCard},
        {"sdf", MediumType::MemoryCard},    {"mmcblk0", MediumType::MemoryCard},
        {"sdg", MediumType::UsbFlashDrive}, {"sdh", MediumType::UsbFlashDrive}};
    for (const auto& [name, type] : expected) {
        const DiskInfo* disk = findDisk(disks, name);
        ASSERT_NE(disk, nullptr) << name.toStdString();
        EXPECT_EQ(disk->mediumType, type) << name.toStdString();
    }
}

TEST_F(BlockEnumeration, CardReadersAndSdCards) {
    // An SD card in a built-in reader is removable although its flag says 0; eMMC is not.
    fake.writeFile("sys/devices/platform/mmc0/mmc0:aaaa/type", "SD\n");
    fake.writeFile("sys/devices/platform/mmc0/mmc0:aaaa/name", "SD32G\n");
    fake.writeFile("sys/devices/platform/mmc0/mmc0:aaaa/serial", "0x1234abcd\n");
    fake.addDisk({"mmcblk0", "platform/mmc0/mmc0:aaaa", 179, 0, 62333952, 11, false, false});
    fake.addPartition("mmcblk0", "mmcblk0p1", 179, 1, 62300000);
    fake.writeFile("sys/devices/platform/mmc1/mmc1:0001/type", "MMC\n");
    fake.addDisk({"mmcblk1", "platform/mmc1/mmc1:0001", 179, 256, 30000000, 12, false, false});
    // A USB card reader without a card: size 0.
    fake.addUsbDisk({"sdh", "", 8, 112, 0, 13, true, false}, "Generic-", "SD/MMC", "058F63666433");
    // A write-protected stick.
    fake.addUsbDisk({"sdi", "", 8, 128, 4096, 14, true, true}, "Lock", "Stick", "6");

    const auto disks = BlockDiskEnumerator(fake.paths()).removableDisks();
    EXPECT_EQ(names(disks), (QStringList{"mmcblk0", "sdb", "sdh", "sdi"}));

    const DiskInfo* card = findDisk(disks, "mmcblk0");
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->bus, "SD");
    EXPECT_EQ(card->product, "SD32G");
    EXPECT_EQ(card->serial, "0x1234abcd");
    ASSERT_EQ(card->volumes.size(), 1u);
    EXPECT_EQ(card->volumes[0].name, "mmcblk0p1");

    const DiskInfo* reader = findDisk(disks, "sdh");
    ASSERT_NE(reader, nullptr);
    EXPECT_FALSE(reader->hasMedium);
    EXPECT_EQ(reader->sizeBytes, 0u);
    EXPECT_TRUE(reader->volumes.empty());
    EXPECT_EQ(reader->vendor, "Generic-");

    const DiskInfo* locked = findDisk(disks, "sdi");
    ASSERT_NE(locked, nullptr);
    EXPECT_TRUE(locked->readOnly);
}

TEST_F(BlockEnumeration, HostileTextsAreCleanedBeforeTheyAreShown) {
    fake.addUsbDisk({"sdj", "", 8, 144, 4096, 15, true, false}, "\x1b[31mEvil\x07 ",
                    "Stick\xe2\x80\xae"
                    "exe.txt\xe2\x81\xa6\r\n",
                    "S\tN");
    const auto disks = BlockDiskEnumerator(fake.paths()).removableDisks();
    const DiskInfo* disk = findDisk(disks, "sdj");
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->vendor, "[31mEvil");
    EXPECT_EQ(disk->product, "Stickexe.txt");
    EXPECT_EQ(disk->serial, "SN");
    EXPECT_EQ(kestrune::platform::cleanDeviceText("  \xe2\x80\xaa\xe2\x80\xac  "), "");
}

TEST_F(BlockEnumeration, VanishedDisksAndAnUnreadableMountTableListNothingWrong) {
    // A class link whose device has gone, and a disk whose dev file is missing.
    fake.symlink("sys/devices/gone/block/sdx", "sys/block/sdx");
    const QString half =
        fake.addUsbDisk({"sdy", "", 8, 160, 4096, 16, true, false}, "H", "Half", "7");
    QFile::remove(fake.path(half + "/dev"));
    EXPECT_EQ(names(BlockDiskEnumerator(fake.paths()).removableDisks()), QStringList{"sdb"});

    // Without the mount table nobody can tell which disk holds the system.
    auto paths = fake.paths();
    paths.mountinfo = fake.path("no-such-mountinfo");
    EXPECT_FALSE(BlockDiskEnumerator(paths).enumerate().has_value());
    // Nor which disks are there without the disks' folder.
    paths = fake.paths();
    paths.sysfsRoot = fake.path("no-such-sys");
    EXPECT_FALSE(BlockDiskEnumerator(paths).enumerate().has_value());
}

TEST_F(BlockEnumeration, WholeDiskFileSystemIsOneVolume) {
    fake.addUsbDisk({"sdk", "", 8, 176, 4096, 17, true, false}, "F", "Superfloppy", "8");
    fake.setUdev(8, 176, {{"ID_FS_TYPE", "exfat"}, {"ID_FS_LABEL_ENC", "MY\\x20FILES"}});
    fake.addMount(8, 176, "/dev/sdk", "/media/u/MY FILES");
    fake.addUsbDisk({"sdl", "", 8, 192, 4096, 18, true, false}, "G", "Blank", "9");
    const auto disks = BlockDiskEnumerator(fake.paths()).removableDisks();
    const DiskInfo* whole = findDisk(disks, "sdk");
    ASSERT_NE(whole, nullptr);
    ASSERT_EQ(whole->volumes.size(), 1u);
    EXPECT_EQ(whole->volumes[0].name, "sdk");
    EXPECT_EQ(whole->volumes[0].label, "MY FILES");
    EXPECT_EQ(whole->volumes[0].mountPoint, "/media/u/MY FILES");
    const DiskInfo* blank = findDisk(disks, "sdl");
    ASSERT_NE(blank, nullptr);
    EXPECT_TRUE(blank->volumes.empty());
}

} // namespace
