#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "foundation/fileops.h"
#include "storage/devices/device_test_support.h"
#include "storage/devices/volumes.h"
#include "storage/devices/volumes_linux.h"
#include "support/test_support.h"

namespace {

// A machine made up for the rules: block devices by number, nodes by path.
class FakeSystem : public ZV::VolumeSystem {
public:
    std::map<dev_t, ZV::VolumeDevice> devices;
    std::map<std::string, dev_t> nodes;
    std::map<dev_t, std::string> labels;
    std::map<std::string, std::vector<uint8_t>> sectors; // by node
    std::set<std::string> askedForFreeSpace;

    void add(unsigned major, unsigned minor, const std::string &name, const std::string &disk, int64_t start,
             int64_t size)
    {
        ZV::VolumeDevice device;
        device.node = "/dev/" + name;
        device.diskPath = "/dev/" + disk;
        device.startingOffset = start;
        device.size = size;
        device.flash = disk.rfind("mmcblk", 0) == 0;
        devices[makedev(major, minor)] = device;
        nodes[device.node] = makedev(major, minor);
    }
    bool describe(dev_t number, ZV::VolumeDevice *device) override
    {
        auto found = devices.find(number);
        if (found == devices.end())
            return false;
        *device = found->second;
        return true;
    }
    bool blockNode(const std::string &path, dev_t *number) override
    {
        auto found = nodes.find(path);
        if (found == nodes.end())
            return false;
        *number = found->second;
        return true;
    }
    std::string label(dev_t number, const ZV::VolumeDevice &) override { return labels[number]; }
    bool bootSector(const ZV::VolumeDevice &device, uint8_t sector[512]) override
    {
        auto found = sectors.find(device.node);
        if (found == sectors.end())
            return false;
        std::memcpy(sector, found->second.data(), 512);
        return true;
    }
    bool totalFreeBytes(const std::string &mountPoint, int64_t *bytes) override
    {
        askedForFreeSpace.insert(mountPoint);
        *bytes = 1000;
        return true;
    }
};

std::vector<MountInfoEntry> mounts(const std::string &text)
{
    std::vector<MountInfoEntry> entries;
    mountinfo_parse(text.data(), text.size(), &entries);
    return entries;
}

// A boot sector: an OEM name at 3, the FAT BPB, the 16-bit FAT size at 22.
std::vector<uint8_t> bootSector(const char *oem, uint16_t fat16Sectors, bool bpb = true)
{
    std::vector<uint8_t> sector(512, 0);
    std::memcpy(sector.data() + 3, oem, 8);
    if (bpb) {
        sector[0] = 0xEB;
        sector[11] = 0x00, sector[12] = 0x02; // 512 bytes per sector
        sector[13] = 8;                       // sectors per cluster
        sector[14] = 32;                      // reserved sectors
        sector[16] = 2;                       // FATs
        sector[510] = 0x55, sector[511] = 0xAA;
    }
    sector[22] = static_cast<uint8_t>(fat16Sectors), sector[23] = static_cast<uint8_t>(fat16Sectors >> 8);
    return sector;
}

TEST(VolumeRules, OneRecordPerBlockDeviceWithItsFields)
{
    FakeSystem system;
    system.add(8, 1, "sda1", "sda", 1048576, 500000000);
    system.add(8, 17, "sdb1", "sdb", 8192 * 512, 4000000);
    system.add(8, 32, "sdc", "sdc", 0, 7000000);
    system.add(8, 33, "sdd1", "sdd", 512, 5000);
    system.add(8, 34, "sdd2", "sdd", 10240, 6000);
    system.add(8, 65, "sde1", "sde", 2048, 9000);
    system.add(8, 81, "sdf1", "sdf", 2048, 0); // no medium: dropped
    system.add(179, 1, "mmcblk0p1", "mmcblk0", 4194304, 8000);
    system.labels[makedev(8, 17)] = "MY CARD";
    system.sectors["/dev/sdb1"] = bootSector("mkfs.fat", 0);
    const std::vector<ZV::VolumeInfo> volumes = ZV::volumesFromMounts(
        mounts("22 27 0:21 / /proc rw,relatime - proc proc rw\n"
               "27 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
               "40 27 8:17 / /media/my\\040card\\011x rw,nosuid shared:5 master:2 - vfat /dev/sdb1 rw,fmask=0022\n"
               "41 27 8:17 /DCIM /srv/dcim rw - vfat /dev/sdb1 rw\n" // bind mount of a subfolder
               "42 27 8:17 / /mnt/again ro - vfat /dev/sdb1 rw\n"    // the same device again
               "43 27 0:45 / /mnt/btrfs rw - btrfs /dev/sdc rw,ssd\n" // anonymous number, block source
               "44 27 0:46 / /tmp rw - tmpfs tmpfs rw\n"
               "45 27 0:47 / /merged rw - overlay overlay rw,lowerdir=/a,upperdir=/b\n"
               "46 27 0:48 / /mnt/nfs rw - nfs4 server:/export rw\n"
               "47 27 0:49 / /mnt/img rw - fuse.fuse2fs /srv/card.img rw\n"
               "48 27 8:33 / /mnt/ro ro,relatime - ext4 /dev/sdd1 rw\n"
               "49 27 8:34 / /mnt/sro/ rw - ext4 /dev/sdd2 ro\n"
               "50 27 8:65 /sub /mnt/onlybind rw - xfs /dev/sde1 rw\n" // only a subfolder is mounted
               "51 27 8:81 / /mnt/empty rw - ext4 /dev/sdf1 rw\n"
               "52 27 179:1 / /media/sd rw - exfat /dev/mmcblk0p1 rw\n"),
        system);

    const struct {
        const char *path, *disk, *icon;
        int64_t offset, capacity;
        int32_t fs;
        uint8_t readOnly;
    } expected[] = {
        {"/", "/dev/sda", "drive-harddisk", 1048576, 500000000, ZV::kVolumeFsUnknown, 0},
        {"/media/my card\tx", "/dev/sdb", "drive-harddisk", 8192 * 512, 4000000, ZV::kVolumeFsFAT32, 0},
        {"/mnt/btrfs", "/dev/sdc", "drive-harddisk", 0, 7000000, ZV::kVolumeFsUnknown, 0},
        {"/mnt/ro", "/dev/sdd", "drive-harddisk", 512, 5000, ZV::kVolumeFsUnknown, 1},
        {"/mnt/sro", "/dev/sdd", "drive-harddisk", 10240, 6000, ZV::kVolumeFsUnknown, 1},
        {"/mnt/onlybind", "/dev/sde", "drive-harddisk", 2048, 9000, ZV::kVolumeFsUnknown, 0},
        {"/media/sd", "/dev/mmcblk0", "media-flash", 4194304, 8000, ZV::kVolumeFsExFAT, 0},
    };
    ASSERT_EQ(volumes.size(), std::size(expected));
    for (size_t i = 0; i < volumes.size(); ++i) {
        const ZV::VolumeInfo &volume = volumes[i];
        EXPECT_EQ(volume.path(), expected[i].path);
        EXPECT_EQ(volume.devicePath(), expected[i].disk) << volume.path();
        EXPECT_EQ(volume.startingOffset(), expected[i].offset) << volume.path();
        EXPECT_EQ(volume.capacity(), expected[i].capacity) << volume.path();
        EXPECT_EQ(volume.used(), expected[i].capacity - 1000) << volume.path();
        EXPECT_EQ(volume.fsCode(), expected[i].fs) << volume.path();
        EXPECT_EQ(volume.readOnly(), expected[i].readOnly) << volume.path();
        ASSERT_TRUE(volume.icons().small && volume.icons().large);
        EXPECT_EQ(volume.icons().small->themeName, expected[i].icon) << volume.path();
    }
    EXPECT_EQ(volumes[1].name(), "MY CARD");
    // Free space is asked of block-device mounts only (a dead network mount
    // would hang statvfs).
    for (const char *other : {"/proc", "/tmp", "/merged", "/mnt/nfs", "/mnt/img", "/srv/dcim", "/mnt/again"})
        EXPECT_EQ(system.askedForFreeSpace.count(other), 0u) << other;
}

TEST(VolumeRules, FileSystemCodes)
{
    const std::vector<uint8_t> fat32 = bootSector("mkfs.fat", 0), fat16 = bootSector("MSDOS5.0", 200),
                               ntfs = bootSector("NTFS    ", 0, false), exfat = bootSector("EXFAT   ", 0, false),
                               junk = bootSector("whatever", 0, false);
    const struct {
        const char *type;
        const std::vector<uint8_t> *sector;
        int32_t expected;
    } cases[] = {
        {"ntfs", nullptr, ZV::kVolumeFsNTFS},         {"ntfs3", nullptr, ZV::kVolumeFsNTFS},
        {"vfat", &fat32, ZV::kVolumeFsFAT32},         {"vfat", &fat16, ZV::kVolumeFsFAT},
        {"msdos", &fat16, ZV::kVolumeFsFAT},          {"vfat", nullptr, ZV::kVolumeFsFAT},
        {"exfat", nullptr, ZV::kVolumeFsExFAT},       {"hfs", nullptr, ZV::kVolumeFsHFS},
        {"hfsplus", nullptr, ZV::kVolumeFsHFS},       {"iso9660", nullptr, ZV::kVolumeFsCDFS},
        {"fuseblk", &ntfs, ZV::kVolumeFsNTFS},        {"fuseblk", &exfat, ZV::kVolumeFsExFAT},
        {"fuseblk", &fat32, ZV::kVolumeFsFAT32},      {"fuseblk.fusefat", &fat16, ZV::kVolumeFsFAT},
        {"fuseblk", &junk, ZV::kVolumeFsUnknown},     {"fuseblk", nullptr, ZV::kVolumeFsUnknown},
        {"ext4", &fat32, ZV::kVolumeFsUnknown},       {"NTFS", nullptr, ZV::kVolumeFsUnknown},
        {"", nullptr, ZV::kVolumeFsUnknown},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ZV::volumeFsCode(c.type, c.sector ? c.sector->data() : nullptr), c.expected) << c.type;
}

TEST(VolumeRules, MountPointOfAPath)
{
    const std::vector<MountInfoEntry> table = mounts("1 0 254:0 / / rw - ext4 /dev/vda rw\n"
                                                     "2 1 0:20 / /media rw - tmpfs tmpfs rw\n"
                                                     "3 2 8:17 / /media/card rw - vfat /dev/sdb1 rw\n"
                                                     "4 2 8:33 / /media/card\\040two rw - vfat /dev/sdc1 rw\n"
                                                     "5 2 0:21 / /media/card rw - tmpfs tmpfs rw\n");
    const struct {
        const char *path, *expected;
    } cases[] = {
        {"/", "/"},
        {"/home/user", "/"},
        {"/media", "/media"},
        {"/media/card/DCIM/x.jpg", "/media/card"},
        {"/media/cardigan", "/media"}, // whole components only
        {"/media/card two/x", "/media/card two"},
        {"/mediax", "/"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ZV::mountPointForPath(table, c.path), c.expected) << c.path;
    EXPECT_EQ(ZV::mountPointForPath(table, ""), "");

    // The record of a path is that of the device behind its mount.
    FakeSystem system;
    system.add(254, 0, "vda", "vda", 0, 1 << 30);
    system.add(8, 17, "sdb1", "sdb", 1 << 20, 1 << 25);
    system.add(8, 33, "sdc1", "sdc", 1 << 20, 1 << 26);
    const std::vector<MountInfoEntry> more = mounts("1 0 254:0 / / rw - ext4 /dev/vda rw\n"
                                                    "2 1 8:17 / /media/card rw - vfat /dev/sdb1 rw\n"
                                                    "3 1 8:17 /DCIM /srv/photos rw - vfat /dev/sdb1 rw\n"
                                                    "4 1 8:33 / /mnt/x rw - ext4 /dev/sdc1 rw\n"
                                                    "5 1 0:30 / /mnt/x rw - tmpfs tmpfs rw\n"
                                                    "6 1 0:31 / /run rw - tmpfs tmpfs rw\n");
    const struct {
        const char *path, *root, *disk;
    } records[] = {
        {"/home/a", "/", "/dev/vda"},
        {"/media/card/x", "/media/card", "/dev/sdb"},
        {"/srv/photos/y", "/media/card", "/dev/sdb"}, // a bind mount of the card's folder
        {"/mnt/x/z", "", ""},                         // tmpfs covers the volume there
        {"/run/user", "", ""},
    };
    for (const auto &r : records) {
        system.askedForFreeSpace.clear();
        const ZV::VolumeInfo volume = ZV::volumeInfoForMounts(more, system, r.path);
        EXPECT_EQ(volume.path(), r.root) << r.path;
        EXPECT_EQ(volume.devicePath(), r.disk) << r.path;
        // Only the volume asked for is measured (and probed for its label).
        EXPECT_EQ(system.askedForFreeSpace,
                  *r.root != '\0' ? std::set<std::string>{r.root} : std::set<std::string>())
            << r.path;
    }
    EXPECT_EQ(ZV::mountPointForPath(std::vector<MountInfoEntry>(), "/x"), "");

    EXPECT_EQ(ZV::udevUnescape("My\\x20Card\\x5c"), "My Card\\");
    EXPECT_EQ(ZV::udevUnescape("\\x2"), "\\x2");
    EXPECT_EQ(ZV::udevUnescape("\\xzz"), "\\xzz");
}

TEST(VolumeRules, CanonicalPaths)
{
    zvtest::TempDir dir;
    ASSERT_EQ(::mkdir((dir / "real").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    char *real = ::realpath(dir.path().c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    const std::string base = real;
    free(real);
    EXPECT_EQ(ZV::canonicalVolumePath(dir / "link/"), base + "/real");
    EXPECT_EQ(ZV::canonicalVolumePath(dir / "link/missing/../gone/x"), base + "/real/gone/x");
    EXPECT_EQ(ZV::canonicalVolumePath("/"), "/");
    EXPECT_EQ(ZV::canonicalVolumePath("/nonexistent-zv/a"), "/nonexistent-zv/a");
    EXPECT_EQ(ZV::canonicalVolumePath(""), "");
}

TEST(VolumeRules, PathsOutsideAnyVolume)
{
    EXPECT_FALSE(ZV::volumeInfoForPath("/proc/self").isValid());
    EXPECT_EQ(ZV::volumePathForPath("/proc/self/status"), "/proc");
    EXPECT_EQ(ZV::volumePathForPath(""), "");
    EXPECT_FALSE(ZV::volumeInfoForPath("").isValid());

    // The home folder, when it lies on a block device, is on a volume whose
    // disk is named like the drives are.
    const std::string home = ZV::homeDirectory().str();
    struct stat info;
    ASSERT_EQ(::stat(home.c_str(), &info), 0);
    if (major(info.st_dev) != 0) {
        const ZV::VolumeInfo volume = ZV::volumeInfoForPath(home);
        ASSERT_TRUE(volume.isValid()) << home;
        EXPECT_EQ(volume.devicePath().rfind("/dev/", 0), 0u);
        EXPECT_GT(volume.capacity(), 0);
        EXPECT_EQ(volume.readOnly(), 0);
    }
}

const ZV::VolumeInfo *findVolume(const std::vector<ZV::VolumeInfo> &volumes, const std::string &path)
{
    for (const ZV::VolumeInfo &volume : volumes)
        if (volume.path() == path)
            return &volume;
    return nullptr;
}

// A 64 MiB card image with two MBR partitions on a loop device; ext4 on the
// second, mounted at a folder whose name holds blanks.
TEST(VolumesLoop, MountedPartitionIsListed)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    for (const char *tool : {"sfdisk", "partx", "mkfs.ext4", "losetup"})
        zvtest::requireTool(tool);
    zvtest::TempDir dir;
    const std::string image = zvtest::makePartitionedImage(dir / "card.img");
    zvtest::TestLoop loop(image);
    loop.addPartitions();
    const std::string partition = loop.partition(2);
    zvtest::mustRun("mkfs.ext4 -q -F -L 'Card Vol' '" + partition + "'");
    const std::string target = dir / "dir with space";
    const std::string other = dir / "other";
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(other.c_str(), 0755), 0);
    char *real = ::realpath(target.c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    const std::string root = real;
    free(real);

    {
        zvtest::BlockMount mount(partition, target);
        ASSERT_EQ(::mkdir((target + "/DCIM").c_str(), 0755), 0);
        zvtest::writeFile(target + "/DCIM/a.jpg", std::string(100000, 'x'));
        // A bind mount of a subfolder of the same volume is no second volume.
        zvtest::Mount bind = zvtest::Mount::bind(target + "/DCIM", other);

        const std::vector<ZV::VolumeInfo> volumes = ZV::Volumes();
        const ZV::VolumeInfo *volume = findVolume(volumes, root);
        ASSERT_NE(volume, nullptr) << root;
        EXPECT_EQ(findVolume(volumes, other), nullptr);
        EXPECT_EQ(volume->name(), "Card Vol");
        EXPECT_EQ(volume->fsCode(), ZV::kVolumeFsUnknown);
        EXPECT_EQ(volume->readOnly(), 0);
        EXPECT_EQ(volume->startingOffset(), zvtest::kPart2Start);
        EXPECT_EQ(volume->capacity(), zvtest::kPart2End - zvtest::kPart2Start);
        EXPECT_GT(volume->used(), 0);
        EXPECT_LT(volume->used(), volume->capacity());
        EXPECT_EQ(volume->devicePath(), loop.path());
        ASSERT_TRUE(volume->icons().large);
        EXPECT_EQ(volume->icons().large->themeName, "drive-harddisk");

        // Paths inside the volume, existing or not, and through the bind mount.
        for (const std::string &path : {root, target + "/DCIM/a.jpg", target + "/DCIM/../none/x"}) {
            EXPECT_EQ(ZV::volumePathForPath(path), root) << path;
            const ZV::VolumeInfo found = ZV::volumeInfoForPath(path);
            EXPECT_EQ(found.path(), root) << path;
            EXPECT_EQ(found.startingOffset(), volume->startingOffset()) << path;
        }
        // Through the bind mount: its own mount point, the volume's record.
        EXPECT_EQ(ZV::volumePathForPath(other + "/a.jpg"), other);
        EXPECT_EQ(ZV::volumeInfoForPath(other + "/a.jpg").path(), root);
    }
    {
        zvtest::BlockMount mount(partition, target, "ext4", MS_RDONLY);
        const ZV::VolumeInfo volume = ZV::volumeInfoForPath(target);
        ASSERT_TRUE(volume.isValid());
        EXPECT_EQ(volume.readOnly(), 1);
        EXPECT_EQ(volume.devicePath(), loop.path());
    }
    // Unmounted: gone from the list.
    EXPECT_EQ(findVolume(ZV::Volumes(), root), nullptr);
}

} // namespace
