// HV::Disk: one entry of the list of media the engine offers the front end.
// An entry is a drive, one partition of a drive, a disk-image file or a plain
// file the user added. A drive (or image, or file) owns its partition entries
// as children, so the list is a two-level tree; a mounted volume found on a
// partition is kept with that partition as a ZV::VolumeInfo.
//
//   entry      path         bus            block size   size / start / end             file path
//   drive      /dev/<disk>  0..9           sector size  platform size, Media window    empty
//   partition  Media path   the drive's    Media's      Media length, start, stop      empty
//   image      file path    13             512          image bytes, 0, 0              file path
//   plain file file path    12             1            file size, 0, 0                file path
//
// Entries are made and filled only by the disks manager, always held by
// shared pointers, and never changed once the manager has published them:
// readers on other threads only read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/u8string.h"
#include "storage/devices/disk_description.h"

namespace HV {

// Bus codes of an entry. Drives get 0..9 from the platform; partitions take
// their drive's code.
enum : int32_t {
    kDiskBusUnknown = 0,
    kDiskBusUSB = 1,
    kDiskBusFireWire = 2,
    kDiskBusSATA = 3,
    kDiskBusATA = 4,
    kDiskBusSCSI = 5,
    kDiskBusATAPI = 6,
    kDiskBusSAS = 7,
    kDiskBusSD = 8,
    kDiskBusVirtual = 9,
    kDiskBusThunderbolt = 10,
    kDiskBusESATA = 11,
    kDiskBusFile = 12,
    kDiskBusDiskImage = 13,
    kDiskBusStripedRAID = 14,
    kDiskBusMirroredRAID = 15,
    kDiskBusConcatenatedRAID = 16,
};

class Disk {
public:
    // No path, id -1, codes 0, no children, no icons, no volume,
    // write-protected 1, removable and ejectable 0, sizes 0, boot disk 0.
    Disk() = default;

    // --- filled by the disks manager before the entry is published -----------

    // Stores the path and recomputes the boot-disk flag (updateBootFlag).
    void setPath(const std::string &path);
    void setName(const std::string &name) { name_ = name; }
    void setFilePath(const zorvant::u8string &path) { filePath_ = path; }
    void setBusType(int32_t bus) { busType_ = bus; }
    void setBlockSize(int32_t size) { blockSize_ = size; }
    void setId(int32_t id) { id_ = id; }
    void setFsType(int32_t packed) { fsType_ = packed; }
    void setPartitionScheme(int32_t scheme) { partitionScheme_ = scheme; }
    void setSize(int64_t size) { size_ = size; }
    void setStartOffset(int64_t offset) { startOffset_ = offset; }
    void setEndOffset(int64_t offset) { endOffset_ = offset; }
    void setWriteProtected(uint8_t flag) { writeProtected_ = flag; }
    void setRemovable(uint8_t flag) { removable_ = flag; }
    void setEjectable(uint8_t flag) { ejectable_ = flag; }
    void setIcons(const ZV::IconPair &icons) { icons_ = icons; }
    void setVolumeInfo(const ZV::VolumeInfo &volume) { volume_ = volume; }
    void addChild(std::shared_ptr<Disk> child) { children_.push_back(std::move(child)); }

    // Sets the boot-disk flag from isOnSystemVolume.
    void updateBootFlag();
    // True when the volume holding the user's home folder, or the root file
    // system, lies on the disk this entry's path names (byte-wise equal
    // device paths). An entry without a path never matches.
    bool isOnSystemVolume() const;

    // --- read by the engine and the front end --------------------------------

    std::string name() const { return name_; }
    const std::string &path() const { return path_; }
    int32_t id() const { return id_; }
    int32_t busType() const { return busType_; }
    // "USB", "SD", ... ; 0 and 12..16 translated. Any other code logs
    // "Unknown bus: %d" (warning) and gives "".
    std::string busTypeString() const;
    int32_t fsType() const { return fsType_; }
    // "HFS", "FAT32", ... ; "" for 0. An unknown code logs
    // "HV::Disk::fsTypeString: Unknown fs type %d" (warning) and gives "".
    std::string fsTypeString() const;
    // Without children the file-system text; with children the partition
    // scheme: "APM", "GPT", "MBR", the file-system text for a whole-medium
    // file system, else "Unknown".
    std::string typeString() const;
    int32_t blockSize() const { return blockSize_; }
    int32_t partitionScheme() const { return partitionScheme_; }

    size_t childCount() const { return children_.size(); }
    // Throws std::out_of_range for an index at or past the end.
    std::shared_ptr<Disk> child(size_t index) const { return children_.at(index); }

    int64_t size() const { return size_; }
    int64_t startOffset() const { return startOffset_; }
    int64_t endOffset() const { return endOffset_; }
    zorvant::u8string filePath() const { return filePath_; }
    bool hasFilePath() const { return !filePath_.str().empty(); }
    uint8_t writeProtected() const { return writeProtected_; }
    uint8_t isRemovable() const { return removable_; }
    uint8_t ejectable() const { return ejectable_; }
    uint8_t bootDisk() const { return bootDisk_; }

    const ZV::IconPair &icons() const { return icons_; }
    // The icon objects (null when none); the entry keeps them alive.
    const ZV::Icon *smallIcon() const { return icons_.small.get(); }
    const ZV::Icon *largeIcon() const { return icons_.large.get(); }

    const ZV::VolumeInfo &volumeInfo() const { return volume_; }
    zorvant::u8string volumeName() const { return zorvant::u8string(volume_.name()); }
    zorvant::u8string volumePath() const { return zorvant::u8string(volume_.path()); }

private:
    std::string path_;
    int32_t busType_ = kDiskBusUnknown;
    int32_t blockSize_ = 0;
    int32_t id_ = -1;
    int32_t fsType_ = 0;          // file-system type x 16 + subtype, as the Media gives it
    int32_t partitionScheme_ = 0; // 1 APM, 2 GPT, 3 MBR, 4 whole medium, 0 none
    std::vector<std::shared_ptr<Disk>> children_;
    zorvant::u8string filePath_;  // the image or plain file behind the entry
    ZV::IconPair icons_;
    ZV::VolumeInfo volume_;       // empty record when no volume was found on the entry
    uint8_t writeProtected_ = 1;
    uint8_t removable_ = 0;
    uint8_t ejectable_ = 0;
    int64_t size_ = 0;
    int64_t startOffset_ = 0;     // bytes on the drive
    int64_t endOffset_ = 0;       // bytes on the drive
    std::string name_;
    uint8_t bootDisk_ = 0;
};

} // namespace HV
