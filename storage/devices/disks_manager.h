// HV::DisksManager: the engine's list of disks. One HV::Disk tree per
// present drive (from the platform's descriptions and mounted volumes) and
// one per disk-image or plain file the user added, each tied to its Media
// record. The platform's arrival and removal events become log lines and the
// notifications "kDeviceListDeviceAddedEvent" (argument 0) and
// "kDeviceListDeviceRemovedEvent" (argument: the address of the removed
// drive's device path, a C string that stays valid for the rest of the
// process, so a delivery queued behind another thread's can still read it).
//
// The engine's reload calls reload(), then addFileDisk/addImageDisk for the
// files it remembers, then disks(). A reload empties the list, so added
// files are listed again only because the engine adds them again.
//
// Threads: reload and the additions run on the engine's command thread under
// the manager's mutex; disks() takes it too. The observer slots run on the
// device monitor's thread and touch only the log and the notification
// centre. Lock order: the manager's mutex, then the platform's locks (taken
// inside the descriptions source), then the media list's.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/u8string.h"
#include "storage/devices/disk.h"
#include "storage/devices/disks_manager_platform.h"

struct Media;

namespace HV {

// Where a reload takes its drives and volumes from, and whom the manager
// registers with for device events. The default is the platform
// (ZV::DisksManagerPlatform, ZV::Volumes); tests give their own, so they
// start no device monitor.
class DisksSource {
public:
    virtual ~DisksSource() = default;
    virtual std::vector<ZV::DiskDescription> disks() = 0;
    virtual std::vector<ZV::VolumeInfo> volumes() = 0;
    virtual void addObserver(ZV::DisksManagerObserver *observer) = 0;
    // Returns only when no delivery to observer is running any more.
    virtual void removeObserver(ZV::DisksManagerObserver *observer) = 0;
};

class PlatformDisksSource : public DisksSource {
public:
    std::vector<ZV::DiskDescription> disks() override;
    std::vector<ZV::VolumeInfo> volumes() override;
    void addObserver(ZV::DisksManagerObserver *observer) override;
    void removeObserver(ZV::DisksManagerObserver *observer) override;
};

// A filter returning true drops the entry.
typedef bool (*DiskFilter)(Disk *disk, void *context);

class DisksManager : public ZV::DisksManagerObserver {
public:
    // Registers with the source's (the platform's) observers; the destructor
    // unregisters, waiting for a delivery to this manager that is running.
    DisksManager();
    explicit DisksManager(std::shared_ptr<DisksSource> source);
    ~DisksManager() override;
    DisksManager(const DisksManager &) = delete;
    DisksManager &operator=(const DisksManager &) = delete;

    // The device filter runs before the drive is attached as a Media, the
    // disk filter once its partitions and volumes are in place.
    void setDeviceFilter(DiskFilter filter, void *context);
    void setDiskFilter(DiskFilter filter, void *context);

    // Builds the list afresh from the source's drives and volumes.
    void reload();
    // Appends an entry for a plain file (size 0, logged, when it is gone).
    void addFileDisk(const zorvant::u8string &path);
    // Appends an entry for a disk-image file; false, with the list
    // unchanged, when the file is no readable disk image. *unsupported
    // (when given) gets the reason when the file is an image of a kind
    // that is not read (a stream-optimized VMDK), and is emptied otherwise.
    bool addImageDisk(const zorvant::u8string &path, std::string *unsupported = nullptr);
    // A copy of the list (the shared entries, not copies of them).
    std::vector<std::shared_ptr<Disk>> disks() const;

    // Whether a mounted volume is the one on entry: equal known starting
    // offsets; else equal device paths and names and capacities less than
    // 0.05 % apart.
    static bool volumeMatches(const ZV::VolumeInfo &volume, const Disk &entry);

    // Observer slots (device monitor thread).
    void deviceAdded(const ZV::DiskDescription &description) override;
    void deviceRemoved(const ZV::DiskDescription &description) override;

private:
    void buildDiskList();
    std::shared_ptr<Disk> makeDriveEntry(const ZV::DiskDescription &description, const std::string &name);
    // One child entry per attached partition medium of medium. Without
    // partitions and with no_fallback off, a medium holding a file system
    // names the parent instead.
    static void addPartitions(Media *medium, Disk &parent, bool no_fallback);
    static void attachVolumes(Disk &entry, const std::vector<ZV::VolumeInfo> &volumes);
    // The entry of an image or plain file before its Media is attached.
    static std::shared_ptr<Disk> makeFileEntry(const zorvant::u8string &path, int64_t size, int32_t block_size,
                                               int32_t bus);
    static void takeMedium(Media *medium, Disk &entry);

    std::shared_ptr<DisksSource> source_;
    std::vector<std::shared_ptr<Disk>> disks_;
    mutable std::mutex mutex_;
    DiskFilter deviceFilter_ = nullptr;
    DiskFilter diskFilter_ = nullptr;
    void *deviceFilterContext_ = nullptr;
    void *diskFilterContext_ = nullptr;
};

} // namespace HV
