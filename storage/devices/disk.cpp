#include "storage/devices/disk.h"

#include "foundation/fileops.h"
#include "foundation/log.h"
#include "foundation/strings.h"
#include "storage/devices/volumes.h"
#include "storage/media.h"

namespace HV {

namespace {

// Whether the volume holding folder lies on the disk named by device_path.
bool volumeOnDisk(const zorvant::u8string &folder, const std::string &device_path)
{
    if (folder.str().empty())
        return false;
    ZV::VolumeInfo volume = ZV::volumeInfoForPath(folder);
    return volume.isValid() && volume.devicePath() == device_path;
}

} // namespace

void Disk::setPath(const std::string &path)
{
    path_ = path;
    updateBootFlag();
}

void Disk::updateBootFlag()
{
    bootDisk_ = isOnSystemVolume() ? 1 : 0;
}

bool Disk::isOnSystemVolume() const
{
    // A volume whose disk is unknown has an empty device path: an entry
    // without a path must not match it.
    if (path_.empty())
        return false;
    if (volumeOnDisk(ZV::homeDirectory(), path_))
        return true;
    // The system folder's counterpart here is the root file system.
    return volumeOnDisk(zorvant::u8string("/"), path_);
}

std::string Disk::busTypeString() const
{
    switch (busType_) {
    case kDiskBusUnknown: return localize_cstring("Unknown");
    case kDiskBusUSB: return "USB";
    case kDiskBusFireWire: return "FireWire";
    case kDiskBusSATA: return "SATA";
    case kDiskBusATA: return "ATA";
    case kDiskBusSCSI: return "SCSI";
    case kDiskBusATAPI: return "ATAPI";
    case kDiskBusSAS: return "SAS";
    case kDiskBusSD: return "SD";
    case kDiskBusVirtual: return "Virtual";
    case kDiskBusThunderbolt: return "Thunderbolt";
    case kDiskBusESATA: return "eSATA";
    case kDiskBusFile: return localize_cstring("File");
    case kDiskBusDiskImage: return localize_cstring("Disk Image");
    case kDiskBusStripedRAID: return localize_cstring("Striped RAID");
    case kDiskBusMirroredRAID: return localize_cstring("Mirrored RAID");
    case kDiskBusConcatenatedRAID: return localize_cstring("Concatenated RAID");
    default:
        log_warning("Unknown bus: %d", busType_);
        return "";
    }
}

std::string Disk::fsTypeString() const
{
    switch (fsType_) {
    case 0: return "";
    case 48:
    case 49: return "HFS";
    case 50: return "HFS+";
    case 64: return "FAT";
    case 65: return "FAT12";
    case 66: return "FAT16";
    case 67: return "FAT32";
    case 68: return "ExFAT";
    case 81: return "NTFS";
    case 96: return "MFS";
    default:
        log_warning("%s: Unknown fs type %d", "HV::Disk::fsTypeString", fsType_);
        return "";
    }
}

std::string Disk::typeString() const
{
    if (children_.empty())
        return fsTypeString();
    switch (partitionScheme_) {
    case PARTITION_MAP_APPLE: return "APM";
    case PARTITION_MAP_GPT: return "GPT";
    case PARTITION_MAP_MBR: return "MBR";
    case PARTITION_SCHEME_WHOLE: return fsTypeString();
    default: return "Unknown";
    }
}

} // namespace HV
