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

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "foundation/text.h"

namespace ZV {

namespace {

// Bound on the entries read from one sysfs folder (a machine has a few
// dozen disks, a disk at most a few hundred partitions).
constexpr int kMaxFolderEntries = 4096;

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

// A sysfs attribute, trimmed; "" when absent.
std::string attribute(const std::string &path)
{
    std::string text = readTextFile(path);
    return trim(text);
}

// A decimal attribute; false when absent or not a plain number.
bool numberAttribute(const std::string &path, uint64_t *value)
{
    const std::string text = attribute(path);
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0)
        return false;
    *value = parsed;
    return true;
}

// Size in bytes from the "size" attribute (512-byte sectors); 0 when absent
// or beyond what a signed 64-bit count of bytes holds.
int64_t sizeAttribute(const std::string &folder)
{
    uint64_t sectors = 0;
    if (!numberAttribute(folder + "/size", &sectors) || sectors > static_cast<uint64_t>(INT64_MAX) / 512)
        return 0;
    return static_cast<int64_t>(sectors * 512);
}

std::string realPath(const std::string &path)
{
    char *resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return std::string();
    std::string out(resolved);
    std::free(resolved);
    return out;
}

std::string lastComponent(const std::string &path)
{
    const std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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

// Describes disk name; false when it is hidden or holds no medium.
bool describeDisk(const SysfsRoots &roots, const std::string &name, SysfsDisk *out)
{
    const std::string folder = roots.sysfs + "/block/" + name;
    if (attribute(folder + "/hidden") == "1" || isMmcBootArea(name))
        return false;
    const std::string device_type = attribute(folder + "/device/type");
    bool removable = attribute(folder + "/removable") == "1";
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

    const std::string root = realPath(roots.sysfs);
    std::string real = realPath(folder);
    if (!root.empty() && real.compare(0, root.size(), root) == 0)
        real.erase(0, root.size());

    DiskDescription description;
    description.setDevicePath(sysfsDevicePath(name));
    description.setSize(size);
    uint64_t block_size = 0;
    if (numberAttribute(folder + "/queue/logical_block_size", &block_size) && block_size <= UINT32_MAX)
        description.setBlockSize(static_cast<uint32_t>(block_size));

    std::string vendor, product, friendly;
    if (mmc) {
        product = attribute(folder + "/device/name");
    } else if (!device_type.empty()) {
        vendor = attribute(folder + "/device/vendor");
        product = attribute(folder + "/device/model");
    } else if (contains(real, "/nvme")) {
        product = attribute(folder + "/device/model");
    }
    if (startsWith(name, "loop"))
        friendly = lastComponent(attribute(folder + "/loop/backing_file"));
    else if (startsWith(name, "dm-"))
        friendly = attribute(folder + "/dm/name");
    description.setVendor(vendor);
    description.setProduct(product);
    description.setFriendlyName(trim(friendly));

    // A drive whose state cannot be read counts as write-protected.
    description.setWriteProtected(attribute(folder + "/ro") == "0" ? 0 : 1);
    description.setRemovable(removable ? 1 : 0);
    description.setEjectable(removable ? 1 : 0);
    const uint32_t bus = busCode(roots.sysfs, real, name, device_type);
    description.setBusCode(bus);
    description.setIcons(themeIcons(iconName(bus, device_type == "5" || startsWith(name, "sr"), removable)));

    out->description = description;
    out->diskseq = 0;
    numberAttribute(folder + "/diskseq", &out->diskseq);
    return true;
}

// Names in folder (dot entries left out), at most kMaxFolderEntries.
std::vector<std::string> folderNames(const std::string &folder)
{
    std::vector<std::string> names;
    DIR *dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        if (names.size() >= static_cast<size_t>(kMaxFolderEntries))
            break;
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

// "MAJ:MIN" of a "dev" attribute.
bool devAttribute(const std::string &folder, dev_t *number)
{
    const std::string text = attribute(folder + "/dev");
    const std::string::size_type colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || colon > 10 ||
        text.size() - colon > 11 || text.find_first_not_of("0123456789:") != std::string::npos ||
        text.find(':', colon + 1) != std::string::npos)
        return false;
    *number = makedev(std::strtoul(text.c_str(), nullptr, 10), std::strtoul(text.c_str() + colon + 1, nullptr, 10));
    return true;
}

std::string devFolder(const std::string &sysfs_root, dev_t device)
{
    return sysfs_root + "/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

} // namespace

std::string sysfsDevicePath(const std::string &kernel_name)
{
    std::string path = "/dev/" + kernel_name;
    std::replace(path.begin() + 5, path.end(), '!', '/');
    return path;
}

std::vector<SysfsDisk> sysfsListDisks(const SysfsRoots &roots)
{
    std::vector<std::string> names = folderNames(roots.sysfs + "/block");
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
    numberAttribute(folder + "/diskseq", diskseq);
    return true;
}

std::string sysfsDevicePathForDevNum(const std::string &sysfs_root, dev_t device)
{
    const std::string folder = realPath(devFolder(sysfs_root, device));
    if (folder.empty())
        return std::string();
    struct stat info;
    const bool partition = ::stat((folder + "/partition").c_str(), &info) == 0;
    const std::string disk = partition ? folder.substr(0, folder.find_last_of('/')) : folder;
    const std::string name = lastComponent(disk);
    return name.empty() ? std::string() : sysfsDevicePath(name);
}

std::vector<BlockNode> sysfsDiskAndPartitions(const std::string &sysfs_root, dev_t disk)
{
    std::vector<BlockNode> nodes;
    const std::string folder = realPath(devFolder(sysfs_root, disk));
    nodes.push_back(BlockNode{disk, folder.empty() ? std::string() : sysfsDevicePath(lastComponent(folder))});
    if (folder.empty())
        return nodes;
    for (const std::string &name : folderNames(folder)) {
        const std::string sub = folder + "/" + name;
        struct stat info;
        dev_t number;
        if (::stat((sub + "/partition").c_str(), &info) == 0 && devAttribute(sub, &number))
            nodes.push_back(BlockNode{number, sysfsDevicePath(name)});
    }
    return nodes;
}

} // namespace ZV
