// Describing whole disks from sysfs. See sysfs_disks_linux.h for the files
// read.
//
// Implementation notes:
// - Only read-only opens are made: under udevd a read-write open and close
//   of a disk makes a synthetic "change" event, which would feed an endless
//   loop of reloads.
// - Vendor and model are taken only where they are names: SCSI-class
//   devices (device/type present), NVMe (model), MMC (name). virtio's
//   device/vendor holds a PCI id and is left alone.
#include "storage/devices/sysfs_disks_linux.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "foundation/paths.h"
#include "foundation/text.h"

namespace ZV {

namespace {

// Bus codes of a description.
enum : uint32_t {
    kBusOther = 0,
    kBusUSB = 1,
    kBusFirewire = 2,
    kBusSATA = 3,
    kBusATA = 4,
    kBusSCSI = 5,
    kBusATAPI = 6,
    kBusSAS = 7,
    kBusSD = 8,
    kBusVirtual = 9,
};

// Size in bytes from the "size" attribute (512-byte sectors); 0 when absent
// or beyond what a signed 64-bit count of bytes holds.
int64_t sizeAttribute(const std::string &folder)
{
    uint64_t sectors = 0;
    if (!sysfsNumber(folder + "/size", &sectors) || sectors > static_cast<uint64_t>(INT64_MAX) / 512)
        return 0;
    return static_cast<int64_t>(sectors * 512);
}

bool startsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool contains(const std::string &text, const char *part)
{
    return text.find(part) != std::string::npos;
}

// Port number N of the first "/ataN/" component of folder; false when none.
bool ataPort(const std::string &folder, unsigned *port)
{
    for (std::string::size_type at = folder.find("/ata"); at != std::string::npos;
         at = folder.find("/ata", at + 1)) {
        std::string::size_type p = at + 4, start = p;
        unsigned value = 0;
        while (p < folder.size() && folder[p] >= '0' && folder[p] <= '9' && p - start < 6)
            value = value * 10 + static_cast<unsigned>(folder[p++] - '0');
        if (p != start && (p == folder.size() || folder[p] == '/')) {
            *port = value;
            return true;
        }
    }
    return false;
}

// Bus code from the disk's folder below the sysfs root ("/devices/...").
// USB is tested before SCSI and ATA: card readers are SCSI over USB.
uint32_t busCode(const std::string &sysfs_root, const std::string &folder, const std::string &name,
                 const std::string &device_type)
{
    if (startsWith(folder, "/devices/virtual/"))
        return kBusVirtual; // loop, dm, md, zram, nbd
    if (contains(folder, "/usb"))
        return kBusUSB;
    if (contains(folder, "/fw") || contains(folder, "/firewire"))
        return kBusFirewire;
    if (startsWith(name, "mmcblk"))
        return device_type == "SD" ? kBusSD : kBusOther; // eMMC is "MMC", which the table maps to 0
    unsigned port = 0;
    if (ataPort(folder, &port)) {
        if (device_type == "5")
            return kBusATAPI;
        struct stat info;
        const std::string spd = sysfs_root + "/class/ata_link/link" + std::to_string(port) + "/sata_spd";
        return ::stat(spd.c_str(), &info) == 0 ? kBusSATA : kBusATA;
    }
    if (contains(folder, "/end_device-") || contains(folder, "/sas_"))
        return kBusSAS;
    if (contains(folder, "/nvme") || contains(folder, "/virtio"))
        return kBusOther; // NVMe's own code lies outside the table
    if (!device_type.empty())
        return kBusSCSI;
    return kBusOther;
}

const char *iconName(uint32_t bus, bool optical, bool removable)
{
    if (optical)
        return "drive-optical";
    if (bus == kBusSD)
        return "media-flash";
    return removable ? "drive-removable-media" : "drive-harddisk";
}

// eMMC boot areas (mmcblkNbootM) are disks of their own in sysfs but hold
// no user data.
bool isMmcBootArea(const std::string &name)
{
    return startsWith(name, "mmcblk") && contains(name, "boot");
}

// Describes disk name once; false when it is hidden or holds no medium.
bool describeDiskOnce(const SysfsRoots &roots, const std::string &name, SysfsDisk *out)
{
    const std::string folder = roots.sysfs + "/block/" + name;
    if (sysfsAttribute(folder + "/hidden") == "1" || isMmcBootArea(name))
        return false;
    const std::string device_type = sysfsAttribute(folder + "/device/type");
    bool removable = sysfsAttribute(folder + "/removable") == "1";
    const bool mmc = startsWith(name, "mmcblk");
    // Built-in SD slots often report 0; SD cards are removable media all the same.
    if (mmc && device_type == "SD")
        removable = true;

    int64_t size = sizeAttribute(folder);
    if (size == 0 && removable) {
        // An open looks for a new medium, as the drive's own media check does.
        const int fd = ::open((roots.dev + "/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
        size = sizeAttribute(folder);
    }
    if (size == 0)
        return false;
    // A loop device without its file is being detached (the file goes
    // before the size). Read once: it may go between two reads.
    const bool loop = startsWith(name, "loop");
    const std::string backing_file = loop ? sysfsAttribute(folder + "/loop/backing_file") : std::string();
    if (loop && backing_file.empty())
        return false;

    const std::string root = sysfsRealPath(roots.sysfs);
    std::string real = sysfsRealPath(folder);
    if (!root.empty() && real.compare(0, root.size(), root) == 0)
        real.erase(0, root.size());

    DiskDescription description;
    description.setDevicePath(sysfsDevicePath(name));
    description.setSize(size);
    uint64_t block_size = 0;
    if (sysfsNumber(folder + "/queue/logical_block_size", &block_size) && block_size <= UINT32_MAX)
        description.setBlockSize(static_cast<uint32_t>(block_size));

    std::string vendor, product, friendly;
    if (mmc) {
        product = sysfsAttribute(folder + "/device/name");
    } else if (!device_type.empty()) {
        vendor = sysfsAttribute(folder + "/device/vendor");
        product = sysfsAttribute(folder + "/device/model");
    } else if (contains(real, "/nvme")) {
        product = sysfsAttribute(folder + "/device/model");
    }
    if (loop)
        friendly = path_basename(backing_file.c_str());
    else if (startsWith(name, "dm-"))
        friendly = sysfsAttribute(folder + "/dm/name");
    description.setVendor(vendor);
    description.setProduct(product);
    description.setFriendlyName(trim(friendly));

    // A drive whose state cannot be read counts as write-protected.
    description.setWriteProtected(sysfsAttribute(folder + "/ro") == "0" ? 0 : 1);
    description.setRemovable(removable ? 1 : 0);
    description.setEjectable(removable ? 1 : 0);
    const uint32_t bus = busCode(roots.sysfs, real, name, device_type);
    description.setBusCode(bus);
    description.setIcons(themeIcons(iconName(bus, device_type == "5" || startsWith(name, "sr"), removable)));

    out->description = description;
    return true;
}

// The attributes are read one by one while the medium may change: they
// describe one medium only when its sequence number is the same before and
// after. A drive whose medium keeps changing is left out this time.
bool describeDisk(const SysfsRoots &roots, const std::string &name, SysfsDisk *out)
{
    const std::string seq_path = roots.sysfs + "/block/" + name + "/diskseq";
    for (int attempt = 0; attempt < 3; ++attempt) {
        uint64_t before = 0, after = 0;
        sysfsNumber(seq_path, &before);
        if (!describeDiskOnce(roots, name, out))
            return false;
        sysfsNumber(seq_path, &after);
        if (before == after) {
            out->diskseq = after;
            return true;
        }
    }
    return false;
}

} // namespace

std::vector<SysfsDisk> sysfsListDisks(const SysfsRoots &roots)
{
    std::vector<std::string> names = sysfsFolderNames(roots.sysfs + "/block");
    std::sort(names.begin(), names.end());
    std::stable_partition(names.begin(), names.end(), [](const std::string &name) { return !startsWith(name, "sr"); });
    std::vector<SysfsDisk> disks;
    for (const std::string &name : names) {
        SysfsDisk disk;
        if (describeDisk(roots, name, &disk))
            disks.push_back(disk);
    }
    return disks;
}

bool sysfsDiskState(const SysfsRoots &roots, const std::string &name, int64_t *size, uint64_t *diskseq)
{
    const std::string folder = roots.sysfs + "/block/" + name;
    struct stat info;
    if (name.empty() || name.find('/') != std::string::npos || ::stat(folder.c_str(), &info) != 0)
        return false;
    *size = sizeAttribute(folder);
    *diskseq = 0;
    sysfsNumber(folder + "/diskseq", diskseq);
    return true;
}

} // namespace ZV
