#include <gtest/gtest.h>

#include "storage/devices/disk_description.h"

namespace {

TEST(DiskDescription, DefaultsAndVolumeRecordDefaults) {
    ZV::DiskDescription description;
    EXPECT_EQ(description.writeProtected(), 1);
    EXPECT_EQ(description.removable(), 0);
    EXPECT_EQ(description.ejectable(), 0);
    EXPECT_EQ(description.size(), 0);
    EXPECT_TRUE(description.devicePath().empty());
    EXPECT_EQ(description.displayName().rfind("Disk ", 0), 0u);

    ZV::VolumeInfo volume;
    EXPECT_EQ(volume.startingOffset(), -1);
    EXPECT_EQ(volume.readOnly(), 1);
    EXPECT_FALSE(volume.isValid());
    volume.setPath("/media/card");
    EXPECT_TRUE(volume.isValid());
}

TEST(DiskDescription, DisplayNames) {
    struct Case {
        const char *vendor, *product, *friendly, *path, *expected;
    } cases[] = {
        {"Generic-", "SD/MMC", "", "", "Generic- SD/MMC"},
        {"Generic- ", "", "Reader", "", "Generic-"},
        {"", "SD/MMC", "Reader", "", "SD/MMC"},
        {"", "", " card.img ", "/dev/loop3", "card.img"},
        {"", "", "", "/dev/loop3", "Disk loop3"},
    };
    for (const Case &c : cases) {
        ZV::DiskDescription description;
        description.setVendor(c.vendor);
        description.setProduct(c.product);
        description.setFriendlyName(c.friendly);
        description.setDevicePath(c.path);
        EXPECT_EQ(description.displayName(), c.expected) << c.vendor << "|" << c.product << "|" << c.friendly;
    }
    // A nameless drive keeps its name across copies (and so across
    // enumerations), so its medium record is found again.
    ZV::DiskDescription nameless;
    nameless.setDevicePath("/dev/sdb");
    ZV::DiskDescription copy = nameless;
    EXPECT_EQ(copy.displayName(), nameless.displayName());
}

TEST(DiskDescription, CopiesShareIconsAndTheLastReleasesEachOnce) {
    uint64_t before = ZV::iconsReleased();
    {
        ZV::DiskDescription first;
        first.setIcons(ZV::themeIcons("media-flash"));
        ZV::VolumeInfo volume;
        {
            ZV::DiskDescription copy = first;
            volume.setIcons(copy.icons());
            EXPECT_EQ(copy.icons().small.get(), first.icons().small.get());
            EXPECT_EQ(first.icons().small->pixelSize, 16);
            EXPECT_EQ(first.icons().large->pixelSize, 32);
            EXPECT_EQ(first.icons().large->themeName, "media-flash");
        }
        first = ZV::DiskDescription();
        EXPECT_EQ(ZV::iconsReleased(), before); // the volume still holds them
    }
    EXPECT_EQ(ZV::iconsReleased(), before + 2);
    EXPECT_FALSE(ZV::makeSharedIcon(nullptr));
}

} // namespace
