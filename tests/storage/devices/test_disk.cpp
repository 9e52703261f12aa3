#include <gtest/gtest.h>

#include <stdexcept>

#include "foundation/fileops.h"
#include "storage/devices/disk.h"
#include "storage/devices/volumes.h"
#include "storage/media_test_support.h"
#include "support/test_support.h"

namespace {

TEST(Disk, DefaultsOfANewEntry) {
    HV::Disk disk;
    EXPECT_EQ(disk.id(), -1);
    EXPECT_EQ(disk.writeProtected(), 1);
    EXPECT_EQ(disk.isRemovable(), 0);
    EXPECT_EQ(disk.ejectable(), 0);
    EXPECT_EQ(disk.bootDisk(), 0);
    EXPECT_EQ(disk.busType(), 0);
    EXPECT_EQ(disk.fsType(), 0);
    EXPECT_EQ(disk.partitionScheme(), 0);
    EXPECT_EQ(disk.size(), 0);
    EXPECT_EQ(disk.startOffset(), 0);
    EXPECT_EQ(disk.endOffset(), 0);
    EXPECT_FALSE(disk.volumeInfo().isValid());
    EXPECT_EQ(disk.smallIcon(), nullptr);
    EXPECT_EQ(disk.largeIcon(), nullptr);
    EXPECT_FALSE(disk.hasFilePath());
    EXPECT_EQ(disk.childCount(), 0u);
    EXPECT_THROW(disk.child(0), std::out_of_range);

    disk.addChild(std::make_shared<HV::Disk>());
    EXPECT_NO_THROW(disk.child(0));
    EXPECT_THROW(disk.child(disk.childCount()), std::out_of_range);

    disk.setIcons(ZV::themeIcons("drive-harddisk"));
    ZV::VolumeInfo volume;
    volume.setPath("/media/card");
    volume.setName("CARD");
    disk.setVolumeInfo(volume);
    disk.setFilePath(zorvant::u8string("/tmp/card.img"));
    EXPECT_EQ(disk.smallIcon()->pixelSize, 16);
    EXPECT_EQ(disk.largeIcon()->pixelSize, 32);
    EXPECT_EQ(disk.volumeName().str(), "CARD");
    EXPECT_EQ(disk.volumePath().str(), "/media/card");
    EXPECT_TRUE(disk.hasFilePath());
}

TEST(Disk, BusTypeStringsWithTheWarningForUnknownCodes) {
    mediatest::LogCapture log;
    const char *texts[] = {"Unknown", "USB",  "FireWire", "SATA",        "ATA",  "SCSI",
                           "ATAPI",   "SAS",  "SD",       "Virtual",     "Thunderbolt",
                           "eSATA",   "File", "Disk Image", "Striped RAID", "Mirrored RAID",
                           "Concatenated RAID"};
    HV::Disk disk;
    for (int code = 0; code <= 16; code++) {
        disk.setBusType(code);
        EXPECT_EQ(disk.busTypeString(), texts[code]) << code;
    }
    EXPECT_FALSE(log.has("Unknown bus"));
    for (int code : {17, -1}) {
        disk.setBusType(code);
        EXPECT_EQ(disk.busTypeString(), "") << code;
        EXPECT_TRUE(log.has("[W] Unknown bus: " + std::to_string(code))) << code;
    }
}

TEST(Disk, FsAndTypeStrings) {
    mediatest::LogCapture log;
    struct {
        int code;
        const char *text;
    } fs[] = {{0, ""},      {48, "HFS"},   {49, "HFS"},   {50, "HFS+"},  {64, "FAT"},  {65, "FAT12"},
              {66, "FAT16"}, {67, "FAT32"}, {68, "ExFAT"}, {81, "NTFS"}, {96, "MFS"}};
    HV::Disk disk;
    for (const auto &c : fs) {
        disk.setFsType(c.code);
        EXPECT_EQ(disk.fsTypeString(), c.text) << c.code;
        EXPECT_EQ(disk.typeString(), c.text) << c.code; // no children: always the file system
    }
    EXPECT_FALSE(log.has("Unknown fs type"));
    disk.setFsType(51);
    EXPECT_EQ(disk.fsTypeString(), "");
    EXPECT_TRUE(log.has("[W] HV::Disk::fsTypeString: Unknown fs type 51"));

    // With children the partition scheme names the entry.
    disk.setFsType(67);
    disk.addChild(std::make_shared<HV::Disk>());
    struct {
        int scheme;
        const char *text;
    } schemes[] = {{0, "Unknown"}, {1, "APM"}, {2, "GPT"}, {3, "MBR"}, {4, "FAT32"}, {5, "Unknown"}};
    for (const auto &c : schemes) {
        disk.setPartitionScheme(c.scheme);
        EXPECT_EQ(disk.typeString(), c.text) << c.scheme;
    }
}

// The disk holding the home folder is the boot disk, so are entries on it;
// a loop device and an entry without a path are not.
TEST(Disk, BootFlagFollowsTheDiskOfTheHomeFolder) {
    ZV::VolumeInfo home = ZV::volumeInfoForPath(ZV::homeDirectory());
    if (!home.isValid() || home.devicePath().empty())
        GTEST_SKIP() << "the home folder is on no block device here";
    HV::Disk disk;
    disk.setPath(home.devicePath());
    EXPECT_EQ(disk.bootDisk(), 1) << home.devicePath();
    disk.setPath("");
    EXPECT_EQ(disk.bootDisk(), 0);

    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    zvtest::TempDir dir;
    zvtest::mustRun("truncate -s 1M '" + (dir / "card.img") + "'");
    zvtest::LoopDevice loop(dir / "card.img");
    disk.setPath(loop.path());
    EXPECT_EQ(disk.bootDisk(), 0);
}

} // namespace
