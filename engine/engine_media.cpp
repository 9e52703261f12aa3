// The engine's media: what the user names, the disk list and its reload,
// device events and slow reads.
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
#include "engine/engine_internal.h"
#include "engine/properties.h"
#include "foundation/engine_status.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/notify.h"
#include "foundation/prefs.h"
#include "storage/images/disk_image.h"
#include "storage/media.h"
#include "storage/raw_disk.h"

namespace {

constexpr const char *kAddedSection = "Global";
constexpr const char *kAddedCount = "added_media_count";
// Paths remembered at most; older ones give way.
constexpr int64_t kAddedMax = 64;
constexpr size_t kPathMax = 4096;

std::mutex g_filter_mutex;
std::shared_ptr<HV::EngineCallbacks> g_filter;

std::string added_key(int64_t n)
{
    return "added_media_" + std::to_string(n);
}

HV::DiskEntry entry_of(Media *m)
{
    HV::DiskEntry e;
    e.media_id = m->id;
    e.kind = m->kind;
    e.path = media_path(m) != nullptr ? media_path(m) : "";
    e.name = media_name(m) != nullptr ? media_name(m) : "";
    e.size = media_length(m);
    e.fs_code = media_fs_code(m);
    e.partition_scheme = m->partition_scheme;
    e.user_added = true;
    return e;
}

void on_device_added(const char *, std::uintptr_t, void *context)
{
    static_cast<HVEngine *>(context)->deviceAdded();
}

void on_device_removed(const char *, std::uintptr_t argument, void *context)
{
    static_cast<HVEngine *>(context)->deviceRemoved(reinterpret_cast<const char *>(argument));
}

void on_scans_changed(const char *, std::uintptr_t, void *)
{
    log_info("scans changed");
}

void on_workspace_changed(const char *, std::uintptr_t, void *) {}
void on_quitting(const char *, std::uintptr_t, void *) {}

} // namespace

// --- the device layer's seams ----------------------------------------------------------------

void engine_install_disk_filter(std::shared_ptr<HV::EngineCallbacks> callbacks)
{
    std::lock_guard<std::mutex> lock(g_filter_mutex);
    g_filter = std::move(callbacks);
}

bool engine_disk_hidden(const HV::DiskEntry &disk)
{
    std::shared_ptr<HV::EngineCallbacks> filter;
    {
        std::lock_guard<std::mutex> lock(g_filter_mutex);
        filter = g_filter;
    }
    return filter != nullptr && filter->filterDisk(disk);
}

std::vector<HV::DiskEntry> engine_reload_devices()
{
    // Device discovery (the disks manager) is not in this build: the disk
    // list holds the media the user named.
    return {};
}

void engine_register_drive_monitor_prefs(engine_slow_read_fn report)
{
    if (!report) {
        file_set_slow_read_callback(nullptr);
        return;
    }
    PropNode *node = prop_node("Drive Failure Detection", PROP_NODE_CREATE);
    const int64_t enabled = prop_get_ll(node, &prop_schema_slow_detection_enabled, 1, 0);
    const int64_t duration = prop_get_ll(node, &prop_schema_slow_duration_ms, 3000, 0);
    prop_get_ll(node, &prop_schema_slow_read_suppress_count, 3, 0);
    if (enabled == 0)
        return;
    file_set_slow_read_threshold(duration);
    file_set_slow_read_callback([report](const zorvant::u8string &name, int64_t position, int64_t ms) {
        report(name, position, ms < 0 ? 0u : ms > UINT32_MAX ? UINT32_MAX : (uint32_t)ms);
    });
}

// --- media the user names ----------------------------------------------------------------------

int HVEngine::addMediaPath(const std::string &path, uint32_t *media_id, std::string *reason)
{
    static const char *const fn = "HVEngine::addMediaPath";
    std::string why;
    struct stat st;
    Media *m = nullptr;
    if (path.empty() || path[0] != '/') {
        why = "the path must be absolute";
    } else if (stat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        why = "it is a folder, not a card, device or image file";
    } else if (S_ISBLK(st.st_mode)) {
        ZV::RawDisk disk(path);
        if (!disk.openRead())
            why = std::strerror(disk.error() == 0 ? EIO : disk.error());
        else if (disk.size() <= 0)
            why = "the device holds no medium";
        else
            m = media_attach_disk(path.c_str(), path.c_str(), 1, disk.size(), (int32_t)disk.blockSize());
    } else if (!S_ISREG(st.st_mode)) {
        why = "it is neither a regular file nor a block device";
    } else if (st.st_size == 0) {
        why = "the file is empty";
    } else {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            why = std::strerror(errno);
        } else {
            close(fd);
            m = ZV::DiskImage::open(zorvant::u8string(path)) != nullptr ? media_attach_image(path.c_str())
                                                                        : media_attach_file(path.c_str());
        }
    }
    if (m == nullptr && why.empty())
        why = "it cannot be read";
    if (m == nullptr) {
        log_error("%s: %s: %s", fn, path.c_str(), why.c_str());
        if (reason != nullptr)
            *reason = why;
        return ENGINE_NO_MEDIA;
    }
    rememberAddedPath(path);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto same = [&](const HV::DiskEntry &e) { return e.media_id == m->id; };
        if (std::none_of(disks_.begin(), disks_.end(), same))
            disks_.push_back(entry_of(m));
    }
    if (media_id != nullptr)
        *media_id = m->id;
    return 0;
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
    std::lock_guard<std::mutex> lock(added_mutex_);
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
    prefs_end_update();
}

void HVEngine::attachAddedMedia()
{
    for (const std::string &path : addedPaths()) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            continue; // a card not inserted now, a file moved away
        std::string why;
        if (addMediaPath(path, nullptr, &why) != 0)
            log_info("Added media %s not attached: %s", path.c_str(), why.c_str());
    }
}

std::vector<HV::DiskEntry> HVEngine::mediaList()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return disks_;
}

// The reload (state 3): the devices of the disks manager, then the media
// the user added; the list is kept under the engine mutex; the scans are
// matched again against what is attached now.
HV::CommandResult HVEngine::doReload()
{
    HVCommandFrame frame("ReloadMedia", 3, power_, depth_, __LINE__);
    std::vector<HV::DiskEntry> devices = engine_reload_devices();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        disks_ = devices;
    }
    attachAddedMedia();
    std::vector<HV::DiskEntry> list = devices;
    media_for_each([&](Media *m) {
        if (m->parent != nullptr || m->kind == MEDIA_ARCHIVED || !m->attached)
            return true;
        const char *path = media_path(m);
        for (const HV::DiskEntry &d : devices)
            if (path != nullptr && d.path == path)
                return true;
        list.push_back(entry_of(m));
        return true;
    });
    // Partitions of each listed medium, as its children.
    for (HV::DiskEntry &e : list) {
        Media *m = media_find_attached_by_id(e.media_id);
        if (m == nullptr)
            continue;
        const std::vector<uint32_t> ids = m->children;
        for (uint32_t id : ids) {
            Media *child = media_find_attached_by_id(id);
            if (child != nullptr)
                e.children.push_back(entry_of(child));
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        disks_ = list;
    }
    scx_rematch_media();
    HV::CommandResult result;
    result.status = frame.finish(0, __LINE__);
    return result;
}

// --- device events ----------------------------------------------------------------------------

void HVEngine::registerObservers()
{
    notification_add_observer("WorkspaceChanged", on_workspace_changed, this);
    notification_add_observer("EngineQuitting", on_quitting, this);
    notification_add_observer("kDeviceListDeviceAddedEvent", on_device_added, this);
    notification_add_observer("kDeviceListDeviceRemovedEvent", on_device_removed, this);
    notification_add_observer("scans_changed", on_scans_changed, this);
    observers_registered_ = true;
}

void HVEngine::removeObservers()
{
    notification_remove_observer("WorkspaceChanged", on_workspace_changed, this);
    notification_remove_observer("EngineQuitting", on_quitting, this);
    notification_remove_observer("kDeviceListDeviceAddedEvent", on_device_added, this);
    notification_remove_observer("kDeviceListDeviceRemovedEvent", on_device_removed, this);
    notification_remove_observer("scans_changed", on_scans_changed, this);
    observers_registered_ = false;
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
