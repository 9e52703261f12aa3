#include "storage/devices/disks_manager.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <set>
#include <string>

#include "foundation/dirutil.h"
#include "foundation/log.h"
#include "foundation/notify.h"
#include "foundation/paths.h"
#include "foundation/progress.h"
#include "storage/devices/volumes.h"
#include "storage/images/image_file.h"
#include "storage/media.h"

namespace HV {

namespace {

// Partition media whose flags carry either bit are never shown write-protected.
constexpr uint32_t kChildWritableFlags = 0x6;

// Two sizes closer than this (percent of the larger) name the same volume.
constexpr double kVolumeSizeTolerancePercent = 0.05;

// Pops the reload's progress task on every way out.
class ProgressTask {
public:
    ProgressTask(int64_t total) { progress_push(0, total); }
    ~ProgressTask() { progress_pop(); }
    ProgressTask(const ProgressTask &) = delete;
    ProgressTask &operator=(const ProgressTask &) = delete;
};

// The removal notification carries the address of the device path. A post
// that meets another thread's delivery of the same name is queued and
// delivered after its poster returned, so the text must outlive the post:
// each distinct path is kept once for the rest of the process (there are as
// many as device nodes ever seen).
const char *lastingDevicePath(const std::string &path)
{
    static std::mutex mutex;
    static std::set<std::string> *paths = new std::set<std::string>(); // never freed: posts may still be queued
    std::lock_guard<std::mutex> lock(mutex);
    return paths->insert(path).first->c_str();
}

} // namespace

// --- the platform's drives and volumes ------------------------------------------

std::vector<ZV::DiskDescription> PlatformDisksSource::disks()
{
    return ZV::DisksManagerPlatform::disks();
}

std::vector<ZV::VolumeInfo> PlatformDisksSource::volumes()
{
    return ZV::Volumes();
}

void PlatformDisksSource::addObserver(ZV::DisksManagerObserver *observer)
{
    ZV::DisksManagerPlatform::addObserver(observer);
}

void PlatformDisksSource::removeObserver(ZV::DisksManagerObserver *observer)
{
    ZV::DisksManagerPlatform::removeObserver(observer);
}

// --- construction -----------------------------------------------------------------

DisksManager::DisksManager() : DisksManager(std::make_shared<PlatformDisksSource>()) {}

DisksManager::DisksManager(std::shared_ptr<DisksSource> source) : source_(std::move(source))
{
    source_->addObserver(this);
}

DisksManager::~DisksManager()
{
    // Waits for a delivery to this manager still running on the monitor
    // thread; afterwards no event reaches it.
    source_->removeObserver(this);
}

void DisksManager::setDeviceFilter(DiskFilter filter, void *context)
{
    std::lock_guard<std::mutex> lock(mutex_);
    deviceFilter_ = filter;
    deviceFilterContext_ = context;
}

void DisksManager::setDiskFilter(DiskFilter filter, void *context)
{
    std::lock_guard<std::mutex> lock(mutex_);
    diskFilter_ = filter;
    diskFilterContext_ = context;
}

std::vector<std::shared_ptr<Disk>> DisksManager::disks() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return disks_;
}

// --- the list build ---------------------------------------------------------------

void DisksManager::reload()
{
    std::lock_guard<std::mutex> lock(mutex_);
    buildDiskList();
}

void DisksManager::buildDiskList()
{
    const std::vector<ZV::DiskDescription> descriptions = source_->disks();
    const std::vector<ZV::VolumeInfo> volumes = source_->volumes();
    disks_.clear();

    ProgressTask task(static_cast<int64_t>(descriptions.size()));
    for (const ZV::DiskDescription &description : descriptions) {
        const std::string name = description.displayName();
        progress_increment();
        progress_set_text(progress_escape_name(name.c_str()).c_str());

        std::shared_ptr<Disk> entry = makeDriveEntry(description, name);
        if (deviceFilter_ != nullptr && deviceFilter_(entry.get(), deviceFilterContext_))
            continue;

        Media *medium = media_attach_disk(entry->path().c_str(), name.c_str(), description.writeProtected(),
                                          description.size(), static_cast<int32_t>(description.blockSize()));
        if (medium != nullptr) {
            entry->setId(static_cast<int32_t>(medium->id));
            entry->setPartitionScheme(static_cast<int32_t>(medium->partition_scheme));
            entry->setStartOffset(medium->start_pos);
            entry->setEndOffset(medium->stop_pos);
            takeMedium(medium, *entry);
            if (!medium->children.empty() && !volumes.empty() && entry->childCount() > 0)
                attachVolumes(*entry, volumes);
        }

        if (diskFilter_ != nullptr && diskFilter_(entry.get(), diskFilterContext_))
            continue;
        disks_.push_back(std::move(entry));
    }
}

std::shared_ptr<Disk> DisksManager::makeDriveEntry(const ZV::DiskDescription &description, const std::string &name)
{
    auto entry = std::make_shared<Disk>();
    entry->setSize(description.size());
    entry->setEndOffset(description.size());
    entry->setBlockSize(static_cast<int32_t>(description.blockSize()));
    entry->setName(name);
    if (description.busCode() <= static_cast<uint32_t>(kDiskBusESATA)) {
        entry->setBusType(static_cast<int32_t>(description.busCode()));
    } else {
        log_warning("Unknown bus: %d", static_cast<int>(description.busCode()));
        entry->setBusType(kDiskBusUnknown);
    }
    entry->setPath(description.devicePath());
    entry->setIcons(description.icons());
    entry->setWriteProtected(description.writeProtected());
    entry->setRemovable(description.removable());
    entry->setEjectable(description.ejectable());
    return entry;
}

// Partition entries, then the medium's file-system code and scheme.
void DisksManager::takeMedium(Media *medium, Disk &entry)
{
    addPartitions(medium, entry, false);
    entry.setFsType(static_cast<int32_t>(media_fs_code(medium)));
    entry.setPartitionScheme(static_cast<int32_t>(medium->partition_scheme));
}

void DisksManager::addPartitions(Media *medium, Disk &parent, bool no_fallback)
{
    const int count = static_cast<int>(medium->children.size());
    for (int i = 0; i < count; i++) {
        Media *child = media_find_attached_by_id(media_child_id(medium, i));
        if (child == nullptr)
            continue;
        auto entry = std::make_shared<Disk>();
        entry->setId(static_cast<int32_t>(child->id));
        entry->setBusType(parent.busType());
        entry->setSize(media_length(child));
        entry->setStartOffset(child->start_pos);
        entry->setEndOffset(child->stop_pos);
        const char *path = media_path(child);
        entry->setPath(path != nullptr ? path : "");
        entry->setBlockSize(child->block_size);
        entry->setName(media_name(child));
        entry->setFsType(static_cast<int32_t>(media_fs_code(child)));
        entry->setWriteProtected(child->write_protected == 1 && (child->flags & kChildWritableFlags) == 0 ? 1 : 0);
        parent.addChild(std::move(entry));
    }
    if (count == 0 && !no_fallback && medium->fs_type != 0) {
        parent.setPartitionScheme(0);
        parent.setName(media_name(medium));
        parent.setFsType(static_cast<int32_t>(media_fs_code(medium)));
    }
}

void DisksManager::attachVolumes(Disk &entry, const std::vector<ZV::VolumeInfo> &volumes)
{
    for (size_t i = 0; i < entry.childCount(); i++) {
        Disk &child = *entry.child(i);
        for (const ZV::VolumeInfo &volume : volumes) {
            if (volume.devicePath() != child.path() || !volumeMatches(volume, child))
                continue;
            // A later matching volume overwrites an earlier one.
            if (volume.icons().small || volume.icons().large)
                child.setIcons(volume.icons());
            child.setVolumeInfo(volume);
        }
    }
}

bool DisksManager::volumeMatches(const ZV::VolumeInfo &volume, const Disk &entry)
{
    if (volume.startingOffset() != -1 && volume.startingOffset() == entry.startOffset())
        return true;
    if (entry.path() != volume.devicePath() || entry.name() != volume.name())
        return false;
    if (volume.capacity() == entry.size())
        return true;
    const int64_t larger = std::max(volume.capacity(), entry.size());
    const int64_t smaller = std::min(volume.capacity(), entry.size());
    if (larger <= 0)
        return false; // no share of nothing: two unequal sizes of which the larger is 0 or less
    const double percent = (static_cast<double>(larger) - static_cast<double>(smaller)) / larger * 100.0;
    return percent < kVolumeSizeTolerancePercent;
}

// --- added files ---------------------------------------------------------------------

std::shared_ptr<Disk> DisksManager::makeFileEntry(const zorvant::u8string &path, int64_t size, int32_t block_size,
                                                  int32_t bus)
{
    auto entry = std::make_shared<Disk>();
    entry->setSize(size);
    entry->setBlockSize(block_size);
    entry->setBusType(bus);
    entry->setPath(path.str());
    entry->setFilePath(path);
    entry->setName(ZV::lastPathComponent(path).str());
    return entry;
}

bool DisksManager::addImageDisk(const zorvant::u8string &path, std::string *unsupported)
{
    if (unsupported != nullptr)
        unsupported->clear();
    // Registers the image file type under the path (an unchanged file keeps
    // the image opened at an earlier reload), so media_attach_image reads
    // the image's sectors.
    if (file_open_disk_image(path.c_str(), unsupported) != 0)
        return false;
    // The bytes the image presents: its sectors at their own size (the own
    // format may use 4096-byte sectors).
    const int64_t bytes = image_file_bytes(path.c_str());
    if (bytes < 0)
        return false;
    std::shared_ptr<Disk> entry = makeFileEntry(path, bytes, 512, kDiskBusDiskImage);
    if (Media *medium = media_attach_image(path.c_str())) {
        entry->setId(static_cast<int32_t>(medium->id));
        takeMedium(medium, *entry);
    }

    std::lock_guard<std::mutex> lock(mutex_);
    disks_.push_back(std::move(entry));
    return true;
}

void DisksManager::addFileDisk(const zorvant::u8string &path)
{
    const uint64_t size = utf8_file_size(path.c_str()); // logs "Can't get size for %s", 0
    std::shared_ptr<Disk> entry = makeFileEntry(
        path, static_cast<int64_t>(std::min<uint64_t>(size, std::numeric_limits<int64_t>::max())), 1, kDiskBusFile);
    if (Media *medium = media_attach_file(path.c_str())) {
        entry->setId(static_cast<int32_t>(medium->id));
        takeMedium(medium, *entry);
    }

    std::lock_guard<std::mutex> lock(mutex_);
    disks_.push_back(std::move(entry));
}

// --- device events (monitor thread) ----------------------------------------------

void DisksManager::deviceAdded(const ZV::DiskDescription &description)
{
    log_info("%s connected", description.displayName().c_str());
    notification_post("kDeviceListDeviceAddedEvent", 0);
}

void DisksManager::deviceRemoved(const ZV::DiskDescription &description)
{
    log_info("%s disconnected", description.displayName().c_str());
    notification_post("kDeviceListDeviceRemovedEvent",
                      reinterpret_cast<std::uintptr_t>(lastingDevicePath(description.devicePath())));
}

} // namespace HV
