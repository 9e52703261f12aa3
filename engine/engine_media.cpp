// The engine's media: what the user names, the disk list and its reload
// through the disks manager, device events and slow reads.
//
// Media the user names (a plain file, a disk-image file or a block device)
// are kept in the settings store, section "Global", as "added_media_count"
// and "added_media_1" .. "added_media_<n>", so that a later run of the
// engine attaches them again at its reload and the scans of them, loaded
// from the workspace, find their medium.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/command_frame.h"
#include "engine/engine.h"
#include "foundation/engine_status.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/notify.h"
#include "foundation/prefs.h"
#include "foundation/properties.h"
#include "storage/media.h"
#include "storage/raw_disk.h"

namespace {

constexpr const char *kAddedSection = "Global";
constexpr const char *kAddedCount = "added_media_count";
// Paths remembered at most; older ones give way.
constexpr int64_t kAddedMax = 64;
constexpr size_t kPathMax = 4096;

std::string added_key(int64_t n)
{
    return "added_media_" + std::to_string(n);
}

void on_scans_changed(const char *, std::uintptr_t, void *)
{
    log_info("scans changed");
}

void on_workspace_changed(const char *, std::uintptr_t, void *) {}
void on_quitting(const char *, std::uintptr_t, void *) {}

} // namespace

const HVEngine::Observer HVEngine::kObservers[] = {
    {"WorkspaceChanged", on_workspace_changed},
    {"EngineQuitting", on_quitting},
    {"kDeviceListDeviceAddedEvent", HVEngine::onDeviceAdded},
    {"kDeviceListDeviceRemovedEvent", HVEngine::onDeviceRemoved},
    {"scans_changed", on_scans_changed},
};

// The front end's filter (callback slot 0), as the disks manager's device
// and disk filter.
bool HVEngine::filterDisk(HV::Disk *disk, void *context)
{
    return disk != nullptr && static_cast<HV::EngineCallbacks *>(context)->filterDisk(*disk);
}

// --- media the user names ----------------------------------------------------------------------

Media *HVEngine::attachListed(const char *fn, const std::string &path, bool remember, std::string *reason)
{
    std::string why;
    Media *m;
    {
        std::lock_guard<std::mutex> lock(media_mutex_);
        m = attachPath(path, &why);
        if (m != nullptr) {
            if (remember) {
                rememberAddedPath(path);
                keepMediaIds();
            }
            std::lock_guard<std::mutex> list_lock(mutex_);
            disks_ = disks_manager_->disks();
        }
    }
    if (m == nullptr) {
        log_error("%s: %s: %s", fn, path.c_str(), why.c_str());
        if (reason != nullptr)
            *reason = why;
    }
    return m;
}

int HVEngine::addMediaPath(const std::string &path, uint32_t *media_id, std::string *reason)
{
    Media *m = attachListed("HVEngine::addMediaPath", path, true, reason);
    if (m == nullptr)
        return ENGINE_NO_MEDIA;
    if (media_id != nullptr)
        *media_id = m->id;
    return 0;
}

int HVEngine::attachForScans(const std::string &path, std::vector<uint32_t> *slots, std::string *reason)
{
    return attachMatching(path, true, slots, reason);
}

int HVEngine::attachMatching(const std::string &path, bool named, std::vector<uint32_t> *slots, std::string *reason)
{
    static const char *const fn = "HVEngine::attachForScans";
    Media *m = attachListed(fn, path, false, reason);
    if (m == nullptr)
        return ENGINE_NO_MEDIA;
    scx_rematch_media();
    // Named by the user: a scan still without its medium takes it when it
    // holds the same contents, renamed or not.
    if (named)
        scx_take_named_media(m);
    std::vector<uint32_t> taken;
    for (uint32_t slot : scx_live_slots()) {
        std::shared_ptr<ScanContext> scan = scx_in_slot(slot);
        if (scan == nullptr || scan_info_of(scan.get(), false).media_status != SCX_MEDIA_ATTACHED)
            continue;
        const Media *own = scx_media(scan.get());
        if (own != nullptr && (own == m || own->parent == m))
            taken.push_back(slot);
    }
    if (!taken.empty()) {
        std::lock_guard<std::mutex> lock(media_mutex_);
        rememberAddedPath(path);
    } else {
        log_info("%s: %s is the medium of no scan", fn, path.c_str());
    }
    if (slots != nullptr)
        *slots = taken;
    return 0;
}

Media *HVEngine::attachPath(const std::string &path, std::string *why)
{
    struct stat st;
    Media *m = nullptr;
    if (path.empty() || path[0] != '/') {
        *why = "the path must be absolute";
    } else if (stat(path.c_str(), &st) != 0) {
        *why = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        *why = "it is a folder, not a card, device or image file";
    } else if (S_ISBLK(st.st_mode)) {
        ZV::RawDisk disk(path);
        if (!disk.openRead())
            *why = std::strerror(disk.error() == 0 ? EIO : disk.error());
        else if (disk.size() <= 0)
            *why = "the device holds no medium";
        else
            m = media_attach_disk(path.c_str(), path.c_str(), 1, disk.size(), (int32_t)disk.blockSize());
    } else if (!S_ISREG(st.st_mode)) {
        *why = "it is neither a regular file nor a block device";
    } else if (st.st_size == 0) {
        *why = "the file is empty";
    } else {
        // O_NONBLOCK: the name may have become a FIFO since the stat, and
        // an open of one without it waits for a writer.
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat opened;
        if (fd < 0)
            *why = std::strerror(errno);
        else if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode))
            *why = "it is neither a regular file nor a block device";
        if (fd >= 0)
            close(fd);
        if (why->empty())
            m = attachFile(path, why);
    }
    if (m == nullptr && why->empty())
        *why = "it cannot be read";
    return m;
}

// An image file or a plain file through the disks manager, which lists it;
// a file listed already keeps its entry. An image of a kind that is not
// read (a stream-optimized VMDK) is refused with the reason in *why: read
// as its own bytes it would scan as an empty card.
Media *HVEngine::attachFile(const std::string &path, std::string *why)
{
    auto listed = [&]() -> Media * {
        const std::vector<std::shared_ptr<HV::Disk>> disks = disks_manager_->disks();
        for (auto it = disks.rbegin(); it != disks.rend(); ++it)
            if ((*it)->hasFilePath() && (*it)->filePath().str() == path && (*it)->id() >= 0)
                return media_find_attached_by_id((uint32_t)(*it)->id());
        return nullptr;
    };
    if (Media *m = listed())
        return m;
    const zorvant::u8string name(path);
    std::string unsupported;
    if (!disks_manager_->addImageDisk(name, &unsupported)) {
        if (!unsupported.empty()) {
            *why = unsupported;
            return nullptr;
        }
        disks_manager_->addFileDisk(name);
    }
    return listed();
}

std::vector<std::string> HVEngine::addedPaths()
{
    std::vector<std::string> out;
    int64_t count = 0;
    if (prefs_get_int(kAddedSection, kAddedCount, &count) != 0)
        return out;
    char buffer[kPathMax];
    for (int64_t n = 1; n <= std::min(count, kAddedMax); n++)
        if (prefs_get_string(kAddedSection, added_key(n).c_str(), buffer, sizeof buffer) == 0 && buffer[0] != '\0')
            out.push_back(buffer);
    return out;
}

void HVEngine::rememberAddedPath(const std::string &path)
{
    std::vector<std::string> paths = addedPaths();
    if (std::find(paths.begin(), paths.end(), path) != paths.end())
        return;
    paths.push_back(path);
    if ((int64_t)paths.size() > kAddedMax)
        paths.erase(paths.begin());
    prefs_begin_update();
    for (size_t i = 0; i < paths.size(); i++)
        prefs_set_string(kAddedSection, added_key((int64_t)i + 1).c_str(), paths[i].c_str());
    prefs_set_int(kAddedSection, kAddedCount, (int64_t)paths.size());
    prefs_end_update(); // saves them
    // Whether that save was taken: a second save writes nothing when it was.
    named_media_unsaved_ = prefs_save() != 0;
}

std::vector<std::shared_ptr<HV::Disk>> HVEngine::mediaList()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return disks_;
}

// The reload (state 3): the disks manager's drives when the device list is
// enabled, then the media the user added; a copy of the list is kept under
// the engine mutex; the scans are matched again against what is attached now.
HV::CommandResult HVEngine::doReload()
{
    HVCommandFrame frame("ReloadMedia", ENGINE_STATE_RELOAD, power_, depth_, __LINE__);
    {
        std::lock_guard<std::mutex> lock(media_mutex_);
        if (config_.device_list)
            disks_manager_->reload();
        for (const std::string &path : addedPaths()) {
            struct stat st;
            if (stat(path.c_str(), &st) != 0)
                continue; // a card not inserted now, a file moved away
            std::string why;
            if (attachPath(path, &why) == nullptr)
                log_info("Added media %s not attached: %s", path.c_str(), why.c_str());
        }
        keepMediaIds();
        std::lock_guard<std::mutex> list_lock(mutex_);
        disks_ = disks_manager_->disks();
    }
    scx_rematch_media();
    HV::CommandResult result;
    result.status = frame.finish(0, __LINE__);
    return result;
}

// --- device events ----------------------------------------------------------------------------

void HVEngine::registerObservers()
{
    for (const Observer &o : kObservers)
        notification_add_observer(o.name, o.observer, this);
    observers_registered_ = true;
}

void HVEngine::removeObservers()
{
    for (const Observer &o : kObservers)
        notification_remove_observer(o.name, o.observer, this);
    observers_registered_ = false;
}

void HVEngine::onDeviceAdded(const char *, std::uintptr_t, void *context)
{
    static_cast<HVEngine *>(context)->deviceAdded();
}

// The argument is the address of the removed drive's device path.
void HVEngine::onDeviceRemoved(const char *, std::uintptr_t argument, void *context)
{
    static_cast<HVEngine *>(context)->deviceRemoved(reinterpret_cast<const char *>(argument));
}

void HVEngine::deviceAdded()
{
    reload_timer_.stop();
    reload_timer_.start();
}

// A running scan of the removed medium is told first (it ends with -30 and
// detaches its medium itself); otherwise every medium of the path is
// detached now, under the media list's mutex, so a recovery reading it on
// the engine thread ends with its medium gone.
void HVEngine::deviceRemoved(const char *path)
{
    if (path != nullptr) {
        const int state = get_engine_state();
        if (scx_media_removed(path, 0) == 1) {
            log_info("Device %s removed while state = %d.", path, state);
        } else {
            if (state != 0)
                log_info("Device %s removed while state = %d.", path, state);
            else
                log_info("Device removed: %s", path);
            media_detach_path(path);
        }
    }
    reload_timer_.stop();
    reload_timer_.start();
}

void HVEngine::reportSlowRead(const zorvant::u8string &name, int64_t position, uint32_t milliseconds)
{
    config_.callbacks->slowRead(name, position, milliseconds);
}
