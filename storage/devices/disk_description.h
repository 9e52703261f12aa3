// Plain value records that carry what the platform knows about drives and
// mounted volumes up to the disks manager: ZV::DiskDescription (one drive as
// the device monitor found it), ZV::VolumeInfo (one mounted volume) and
// ZV::IconPair (their small and large icons). Lists of them are returned by
// value and copied freely.
//
// Icons: the platform supplies no pixels here. An icon is a freedesktop
// icon-theme name with its size (16 px small, 32 px large); the front end
// resolves the name through its theme. Every copy of a record shares the
// same icon objects; the last owner frees them through ZV::IconDeleter.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace ZV {

struct Icon {
    std::string themeName; // "drive-harddisk", "drive-removable-media", "media-flash", ...
    int pixelSize = 0;
};

struct IconDeleter {
    void operator()(const Icon *icon) const;
};

typedef std::shared_ptr<const Icon> SharedIcon;

// Wraps an icon made with new; null gives an empty handle. When the shared
// count cannot be allocated the icon is freed at once and std::bad_alloc
// passes on.
SharedIcon makeSharedIcon(const Icon *icon);

// Icons released so far by IconDeleter (tests count releases with it).
uint64_t iconsReleased();

struct IconPair {
    IconPair() = default;
    IconPair(SharedIcon small_icon, SharedIcon large_icon)
        : small(std::move(small_icon)), large(std::move(large_icon)) {}
    SharedIcon small;
    SharedIcon large;
};

// The icon pair of a theme name at the small (16) and large (32) sizes.
IconPair themeIcons(const char *theme_name);

class DiskDescription {
public:
    DiskDescription() = default;

    int64_t size() const { return size_; }
    void setSize(int64_t size) { size_ = size; }
    uint32_t blockSize() const { return blockSize_; }
    void setBlockSize(uint32_t block_size) { blockSize_ = block_size; }
    // The drive's node, "/dev/<kernel name>"; empty means no drive.
    std::string devicePath() const { return devicePath_; }
    void setDevicePath(const std::string &path) { devicePath_ = path; }
    const std::string &vendor() const { return vendor_; }
    void setVendor(const std::string &vendor) { vendor_ = vendor; }
    const std::string &product() const { return product_; }
    void setProduct(const std::string &product) { product_ = product; }
    const std::string &friendlyName() const { return friendlyName_; }
    void setFriendlyName(const std::string &name) { friendlyName_ = name; }
    uint32_t busCode() const { return busCode_; }
    void setBusCode(uint32_t code) { busCode_ = code; }
    uint8_t writeProtected() const { return writeProtected_; }
    void setWriteProtected(uint8_t flag) { writeProtected_ = flag; }
    uint8_t removable() const { return removable_; }
    void setRemovable(uint8_t flag) { removable_ = flag; }
    uint8_t ejectable() const { return ejectable_; }
    void setEjectable(uint8_t flag) { ejectable_ = flag; }
    const IconPair &icons() const { return icons_; }
    void setIcons(const IconPair &icons) { icons_ = icons; }

    // "vendor product", else the friendly name, else "Disk <last component
    // of the device path>", else "Disk %p" of this record; trimmed.
    std::string displayName() const;

private:
    int64_t size_ = 0;
    uint32_t blockSize_ = 0;
    std::string devicePath_;
    std::string vendor_;
    std::string product_;
    std::string friendlyName_;
    uint32_t busCode_ = 0;
    uint8_t writeProtected_ = 1;
    uint8_t removable_ = 0;
    uint8_t ejectable_ = 0;
    IconPair icons_;
};

// File-system codes of a volume.
enum : int32_t {
    kVolumeFsUnknown = 0,
    kVolumeFsNTFS = 1,
    kVolumeFsFAT32 = 2,
    kVolumeFsFAT = 3,
    kVolumeFsExFAT = 4,
    kVolumeFsHFS = 5,
    kVolumeFsCDFS = 6,
};

class VolumeInfo {
public:
    VolumeInfo() = default;

    // The mount point (no trailing slash except for "/"); empty: no volume.
    const std::string &path() const { return path_; }
    void setPath(const std::string &path) { path_ = path; }
    const std::string &name() const { return name_; }
    void setName(const std::string &name) { name_ = name; }
    int32_t fsCode() const { return fsCode_; }
    void setFsCode(int32_t code) { fsCode_ = code; }
    uint8_t readOnly() const { return readOnly_; }
    void setReadOnly(uint8_t flag) { readOnly_ = flag; }
    int64_t capacity() const { return capacity_; }
    void setCapacity(int64_t bytes) { capacity_ = bytes; }
    int64_t used() const { return used_; }
    void setUsed(int64_t bytes) { used_ = bytes; }
    // "/dev/<kernel name of the whole disk>"; empty when unknown.
    const std::string &devicePath() const { return devicePath_; }
    void setDevicePath(const std::string &path) { devicePath_ = path; }
    // Byte offset of the volume on its disk; -1 when unknown.
    int64_t startingOffset() const { return startingOffset_; }
    void setStartingOffset(int64_t offset) { startingOffset_ = offset; }
    const IconPair &icons() const { return icons_; }
    void setIcons(const IconPair &icons) { icons_ = icons; }

    bool isValid() const { return !path_.empty(); }

private:
    std::string path_;
    std::string name_;
    int32_t fsCode_ = kVolumeFsUnknown;
    uint8_t readOnly_ = 1;
    int64_t capacity_ = 0;
    int64_t used_ = 0;
    std::string devicePath_;
    int64_t startingOffset_ = -1;
    IconPair icons_;
};

} // namespace ZV
