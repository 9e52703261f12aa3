// The front end's disk filter over the disks manager's entries.
#include <gtest/gtest.h>

#include "app/front_end.h"

namespace {

// Hidden: a virtual bus (loop devices, device-mapper), more than 256 GiB,
// or no file behind the entry and not removable (a fixed disk).
TEST(DiskFilter, HidesVirtualHugeAndFixedDisks)
{
    const int64_t limit = int64_t(1) << 38;
    struct Case {
        const char *what;
        int32_t bus;
        int64_t size;
        const char *file;
        uint8_t removable;
        bool hidden;
    };
    const Case cases[] = {
        {"card in a USB reader", HV::kDiskBusUSB, 32ll << 30, "", 1, false},
        {"SD slot", HV::kDiskBusSD, limit, "", 1, false},
        {"card of more than 256 GiB", HV::kDiskBusSD, limit + 1, "", 1, true},
        {"loop device", HV::kDiskBusVirtual, 64ll << 20, "", 0, true},
        {"removable virtual disk", HV::kDiskBusVirtual, 64ll << 20, "", 1, true},
        {"fixed SATA disk", HV::kDiskBusSATA, 100ll << 30, "", 0, true},
        {"image file", HV::kDiskBusDiskImage, 1ll << 30, "/tmp/card.dmg", 0, false},
        {"plain file", HV::kDiskBusFile, 1ll << 30, "/tmp/card.img", 0, false},
        {"image file above 256 GiB", HV::kDiskBusDiskImage, limit * 2, "/tmp/big.img", 0, true},
    };
    for (const Case &c : cases) {
        HV::Disk disk;
        disk.setBusType(c.bus);
        disk.setSize(c.size);
        disk.setFilePath(zorvant::u8string(c.file));
        disk.setRemovable(c.removable);
        EXPECT_EQ(zvapp::disk_hidden(disk), c.hidden) << c.what;
    }
}

} // namespace
