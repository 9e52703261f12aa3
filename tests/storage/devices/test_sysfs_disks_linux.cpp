#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "storage/devices/disks_manager_platform.h"
#include "storage/devices/sysfs_disks_linux.h"
#include "storage/devices/device_test_support.h"

namespace {

const std::string kPci = "pci0000:00/";

TEST(SysfsDisks, DescriptionsFromAFakeTree)
{
    zvtest::FakeSysfs sys;
    auto disk = [](const char *size, const char *removable, const char *ro) {
        return std::map<std::string, std::string>{
            {"size", size}, {"removable", removable}, {"ro", ro}, {"queue/logical_block_size", "512"}};
    };
    auto with = [](std::map<std::string, std::string> base, const std::map<std::string, std::string> &more) {
        base.insert(more.begin(), more.end());
        return base;
    };
    sys.addDisk(kPci + "0000:00:14.0/usb1/1-1/1-1:1.0/host2/target2:0:0/2:0:0:0", "sdb",
                with(disk("3000", "1", "0"), {{"device/type", "0"}, {"device/vendor", "Generic- "}, {"device/model", "SD/MMC  "}}));
    sys.addDisk(kPci + "0000:00:14.0/usb1/1-2/1-2:1.0/host3/target3:0:0/3:0:0:0", "sdc",
                with(disk("0", "1", "0"), {{"device/type", "0"}}));
    sys.addDisk(kPci + "0000:00:1c.0/0000:02:00.0/mmc_host/mmc0/mmc0:aaaa", "mmcblk0",
                with(disk("2000", "0", "1"), {{"device/type", "SD"}, {"device/name", "SL32G"}}));
    sys.addDisk(kPci + "0000:00:1c.1/mmc_host/mmc1/mmc1:0001", "mmcblk1",
                with(disk("2000", "0", "0"), {{"device/type", "MMC"}, {"device/name", "8GTF4"}}));
    sys.addDisk(kPci + "0000:00:1c.1/mmc_host/mmc1/mmc1:0001", "mmcblk1boot0", with(disk("8", "0", "1"), {{"device/type", "MMC"}}));
    sys.addDisk(kPci + "0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0", "sda",
                with(disk("1000", "0", "0"), {{"device/type", "0"}, {"device/vendor", "ATA     "}, {"device/model", "WDC WD10"}}));
    sys.write("class/ata_link/link1/sata_spd", "6.0 Gbps");
    sys.addDisk(kPci + "0000:00:1f.1/ata3/host2/target2:0:0/2:0:0:0", "sdd", with(disk("1000", "0", "0"), {{"device/type", "0"}}));
    sys.addDisk(kPci + "0000:00:1f.2/ata2/host1/target1:0:0/1:0:0:0", "sr0", with(disk("100", "1", "1"), {{"device/type", "5"}}));
    sys.addDisk(kPci + "0000:00:1d.0/0000:03:00.0/nvme/nvme0", "nvme0n1",
                with(disk("5000", "0", "0"), {{"device/model", "Samsung SSD 970 "}}));
    sys.addDisk(kPci + "0000:00:04.0/virtio1", "vda", with(disk("4000", "0", "0"), {{"device/vendor", "0x1af4"}}));
    sys.addDisk(kPci + "0000:00:05.0/host4/port-4:0/end_device-4:0/target4:0:0/4:0:0:0", "sde",
                with(disk("100", "0", "0"), {{"device/type", "0"}}));
    sys.addDisk(kPci + "0000:00:06.0/host5/target5:0:0/5:0:0:0", "sdf", with(disk("100", "0", "0"), {{"device/type", "0"}}));
    sys.addDisk(kPci + "0000:00:07.0/fw1/fw1.0/host6/target6:0:0/6:0:0:0", "sdg",
                with(disk("100", "1", "0"), {{"device/type", "0"}}));
    sys.addDisk("virtual", "loop0", with(disk("128", "0", "0"), {{"loop/backing_file", "/srv/images/card.img"}}));
    sys.addDisk("virtual", "loop1", disk("0", "0", "0"));
    sys.addDisk("virtual", "dm-0", with(disk("64", "0", "0"), {{"dm/name", "vg-root"}}));
    sys.addDisk("virtual", "zram0", with(disk("64", "0", "0"), {{"hidden", "1"}}));

    struct Expected {
        const char *path;
        const char *name;
        uint32_t bus;
        int removable, writeProtected;
        int64_t size;
        const char *icon;
    } expected[] = {
        // sysfs order by name, optical drives last; empty, hidden and boot areas left out
        {"/dev/dm-0", "vg-root", 9, 0, 0, 64 * 512, "drive-harddisk"},
        {"/dev/loop0", "card.img", 9, 0, 0, 128 * 512, "drive-harddisk"},
        {"/dev/mmcblk0", "SL32G", 8, 1, 1, 2000 * 512, "media-flash"},
        {"/dev/mmcblk1", "8GTF4", 0, 0, 0, 2000 * 512, "drive-harddisk"},
        {"/dev/nvme0n1", "Samsung SSD 970", 0, 0, 0, 5000 * 512, "drive-harddisk"},
        {"/dev/sda", "ATA WDC WD10", 3, 0, 0, 1000 * 512, "drive-harddisk"},
        {"/dev/sdb", "Generic- SD/MMC", 1, 1, 0, 3000 * 512, "drive-removable-media"},
        {"/dev/sdd", "Disk sdd", 4, 0, 0, 1000 * 512, "drive-harddisk"},
        {"/dev/sde", "Disk sde", 7, 0, 0, 100 * 512, "drive-harddisk"},
        {"/dev/sdf", "Disk sdf", 5, 0, 0, 100 * 512, "drive-harddisk"},
        {"/dev/sdg", "Disk sdg", 2, 1, 0, 100 * 512, "drive-removable-media"},
        {"/dev/vda", "Disk vda", 0, 0, 0, 4000 * 512, "drive-harddisk"},
        {"/dev/sr0", "Disk sr0", 6, 1, 1, 100 * 512, "drive-optical"},
    };
    const std::vector<ZV::SysfsDisk> disks = ZV::sysfsListDisks(ZV::SysfsRoots{sys.root(), sys.devRoot()});
    ASSERT_EQ(disks.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < disks.size(); ++i) {
        const ZV::DiskDescription &d = disks[i].description;
        const Expected &e = expected[i];
        SCOPED_TRACE(e.path);
        EXPECT_EQ(d.devicePath(), e.path);
        EXPECT_EQ(d.displayName(), e.name);
        EXPECT_EQ(d.busCode(), e.bus);
        EXPECT_EQ(d.removable(), e.removable);
        EXPECT_EQ(d.ejectable(), e.removable);
        EXPECT_EQ(d.writeProtected(), e.writeProtected);
        EXPECT_EQ(d.size(), e.size);
        EXPECT_EQ(d.blockSize(), 512u);
        ASSERT_TRUE(d.icons().small);
        EXPECT_EQ(d.icons().small->themeName, e.icon);
    }
    // The virtio PCI id is no vendor name; blank padding is trimmed.
    EXPECT_TRUE(disks[11].description.vendor().empty());
    EXPECT_EQ(disks[6].description.vendor(), "Generic-");

    // A card goes into the empty reader: the next enumeration lists it.
    sys.set("sdc", "size", "64");
    EXPECT_EQ(ZV::sysfsListDisks(ZV::SysfsRoots{sys.root(), sys.devRoot()}).size(), disks.size() + 1);
}

TEST(SysfsDisks, DevicePathsOfNumbersAndHandles)
{
    zvtest::FakeSysfs sys;
    sys.addDisk("virtual", "loop4", {{"size", "10"}}, "7:4");
    sys.addPartition("loop4", "loop4p2", "259:9");
    sys.addDisk(kPci + "0000:00:08.0/host7/target7:0:0/7:0:0:0", "cciss!c0d0", {{"size", "10"}}, "104:0");
    EXPECT_EQ(ZV::sysfsDevicePathForDevNum(sys.root(), makedev(7, 4)), "/dev/loop4");
    EXPECT_EQ(ZV::sysfsDevicePathForDevNum(sys.root(), makedev(259, 9)), "/dev/loop4");
    EXPECT_EQ(ZV::sysfsDevicePathForDevNum(sys.root(), makedev(104, 0)), "/dev/cciss/c0d0");
    EXPECT_EQ(ZV::sysfsDevicePathForDevNum(sys.root(), makedev(1, 99)), "");
    const std::vector<ZV::BlockNode> nodes = ZV::sysfsDiskAndPartitions(sys.root(), makedev(7, 4));
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].path, "/dev/loop4");
    EXPECT_EQ(nodes[1].path, "/dev/loop4p2");
    EXPECT_EQ(nodes[1].number, makedev(259, 9));

    // Real: a partition's handle names its whole disk; a regular file none.
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "needs root for loop devices";
    zvtest::TempDir dir;
    zvtest::makePartitionedImage(dir / "card.img");
    zvtest::TestLoop loop(dir / "card.img");
    loop.addPartitions();
    const int fd = ::open(loop.partition(2).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ZV::devicePathForHandle(fd), loop.path());
    ::close(fd);
    const int file = ::open((dir / "card.img").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(ZV::devicePathForHandle(file), "");
    ::close(file);
    EXPECT_EQ(ZV::devicePathForHandle(-1), "");
}

} // namespace
