// The engine object: start, the command queue and thread, shutdown.
#include "engine/engine.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/log.h"
#include "foundation/module_source.h"
#include "foundation/msgpack.h"
#include "foundation/notify.h"
#include "foundation/number_format.h"
#include "foundation/paths.h"
#include "foundation/prefs.h"
#include "foundation/strings.h"
#include "foundation/workdir.h"
#include "foundation/workspace.h"
#include "modules/gfm.h"
#include "modules/jpeg.h"
#include "scan/fat/fat_scan.h"
#include "scan/module.h"
#include "scan/recover/recover.h"
#include "scan/thorough/cbr_store.h"
#include "scan/thorough/nameseq.h"
#include "storage/devices/disks_manager_platform.h"
#include "storage/media.h"

namespace {

constexpr const char *kLogName = "ScanEngineLog.txt";
// The reload timer: one reload 1500 ms after the last of a burst of device events.
constexpr int32_t kReloadDelayMs = 1500;

std::string exec_path()
{
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return "";
    buffer[n] = '\0';
    return buffer;
}

} // namespace

const char *HV::command_name(Command command)
{
    switch (command) {
    case Command::ReloadMedia: return "ReloadMedia";
    case Command::Scan: return "Scan";
    case Command::RecoverNode: return "RecoverNode";
    case Command::RecoverMarked: return "RecoverMarked";
    case Command::SaveScan: return "SaveScan";
    case Command::LoadScan: return "LoadScan";
    case Command::Format: return "Format";
    case Command::Test: return "Test";
    case Command::Clone: return "Clone";
    case Command::BootDisk: return "CreateMacBootWell";
    }
    return "Unknown";
}

HVEngine::HVEngine(const HV::EngineConfig &config) : config_(config) {}

std::shared_ptr<HVEngine> HVEngine::create(const HV::EngineConfig &config, std::string *error)
{
    std::string why;
    if (config.callbacks == nullptr)
        why = "the engine needs a callback interface";
    else if (config.application_name.empty())
        why = "the engine needs an application name";
    else if (config.home_folder.empty() || config.home_folder[0] != '/')
        why = "the engine needs an absolute home folder";
    std::shared_ptr<HVEngine> engine;
    if (why.empty()) {
        engine.reset(new HVEngine(config));
        if (engine->start(&why) != 0)
            engine.reset();
    }
    if (error != nullptr)
        *error = why;
    return engine;
}

int HVEngine::start(std::string *error)
{
    // The workspace folder object.
    engine_set_workspace_name(config_.application_name.c_str());
    workspace_path_ = zorvant::path_join(config_.home_folder.c_str(), engine_workspace_name()).str();
    workspace_ = dir_new(nullptr, workspace_path_.c_str());
    if (workspace_ == nullptr) {
        *error = "can't create the workspace folder " + workspace_path_ + " " + error_list_str();
        return -1;
    }
    // The engine log.
    log_open(dir_file_path(workspace_, kLogName).c_str());
    log_info("exec path: %s", exec_path().c_str());
    log_info("workspace dir = %s", workspace_path_.c_str());
    // The settings store.
    prefs_set_dir(workspace_path_.c_str());
    prefs_load();
    restoreMediaIds();
    // Strings and unit names.
    if (!config_.strings_text.empty()) {
        if (config_.strings_text.size() > INT_MAX ||
            !load_strings(config_.strings_text.data(), (int)config_.strings_text.size())) {
            log_error("Failed to load strings");
            *error = "Failed to load strings";
            return -1;
        }
        ZV::NumberFormatter::loadUnitNames();
    }
    // Module source, name sequences, "cbr ", found-file-system preferences,
    // the built-in modules and their preferences.
    prop_use_builtin_source();
    nameseq_register_prefs();
    if (cbr_init() != 0) {
        *error = "can't start the thorough scan";
        return -1;
    }
    fs_prefs_init();
    if (fat_describe() == nullptr || jpeg_describe() == nullptr || gfm_describe() == nullptr) {
        log_error("%s: can't register the built-in modules", "HVEngine::start");
        *error = "can't register the built-in file modules";
        return -1;
    }
    fil_module_load_all_prefs();
    media_set_prescan_hook(scx_prescan_media);
    // The disks manager with the front end's filter as device and disk
    // filter, and the drive monitor's preferences with the slow-read report.
    disks_manager_ = config_.disks_source != nullptr ? std::make_unique<HV::DisksManager>(config_.disks_source)
                                                     : std::make_unique<HV::DisksManager>();
    disks_manager_->setDeviceFilter(&HVEngine::filterDisk, config_.callbacks.get());
    disks_manager_->setDiskFilter(&HVEngine::filterDisk, config_.callbacks.get());
    drive_monitor_ = std::make_unique<HV::DriveMonitor>();
    drive_monitor_->registerPrefs([this](const std::string &name, int64_t position, uint32_t ms) {
        reportSlowRead(zorvant::u8string(name), position, ms);
    });
    // A recovery's target folder, once open, to the front end.
    recover_set_target_listener(
        [](const char *folder, void *callbacks) {
            static_cast<HV::EngineCallbacks *>(callbacks)->recoveryTargetOpened(folder);
        },
        config_.callbacks.get());
    // The scans left in the workspace, the observers, the reload timer.
    scx_load_workspace_scans(workspace_);
    registerObservers();
    reload_timer_.set(kReloadDelayMs, [this] { reloadMedia(); }, false);
    try {
        thread_ = std::thread([this] { threadMain(); });
        thread_started_ = true;
    } catch (const std::system_error &e) {
        log_error("%s: can't start the engine thread: %s", "HVEngine::start", e.what());
        *error = "can't start the engine thread";
        return -1;
    }
    return 0;
}

// The thread is joined before "EngineQuitting" is posted: its observers
// free the scans, which a command still running must not lose under it.
HVEngine::~HVEngine()
{
    if (observers_registered_)
        removeObservers();
    reloads_ended_ = true;
    reload_timer_.stop();
    if (thread_started_) {
        queue_.postStop();
        thread_.join();
    }
    recover_set_target_listener(nullptr, nullptr);
    notification_post("EngineQuitting", 0);
    // The monitor stops the slow-read reports; the manager stops following
    // the device events (waiting for a delivery under way), and without
    // another follower the platform's monitor thread is stopped.
    drive_monitor_.reset();
    disks_manager_.reset();
    if (config_.disks_source == nullptr)
        ZV::DisksManagerPlatform::stop();
    media_set_prescan_hook(nullptr);
    media_free_all();
    if (workspace_ != nullptr) {
        prefs_save();
        log_close();
        dir_free(&workspace_);
    }
}

int HVEngine::saveSettings()
{
    errno = 0;
    if (prefs_save() == 0) {
        named_media_unsaved_ = false;
        return 0;
    }
    return errno != 0 ? errno : EIO;
}

// --- the queue ---------------------------------------------------------------------------

int HVEngine::queue(const ZV::Buffer &message)
{
    uint32_t number;
    {
        std::lock_guard<std::mutex> lock(messages_mutex_);
        number = next_message_++;
        messages_[number] = message;
    }
    queue_.post(number);
    return 0;
}

void HVEngine::threadMain()
{
    uint32_t number = 0;
    while (queue_.take(&number)) {
        ZV::Buffer message;
        {
            std::lock_guard<std::mutex> lock(messages_mutex_);
            auto found = messages_.find(number);
            if (found == messages_.end())
                continue;
            message = std::move(found->second);
            messages_.erase(found);
        }
        runMessage(message);
    }
}

void HVEngine::runMessage(const ZV::Buffer &message)
{
    ZV::Buffer copy(message);
    ZV::MsgPack pack(std::make_shared<ZV::ByteStreamBuffer>(&copy, 1));
    uint32_t code = 0;
    if (!pack.getUInt32(&code)) {
        log_error("%s: unreadable message", "HVEngine::runMessage");
        return;
    }
    const HV::Command command = static_cast<HV::Command>(code);
    if (command == HV::Command::ReloadMedia) {
        reload_queued_ = false; // an event from now on needs a reload of its own
        if (reloads_ended_) {
            log_info("%s: a queued media reload is dropped: the front end ends", "HVEngine::runMessage");
            return;
        }
    }
    config_.callbacks->operationWillStart(command);
    HV::CommandResult result = runCommand(command, pack);
    config_.callbacks->operationDidFinish(command, result);
}

bool HVEngine::busy() const
{
    return engine_is_busy() != 0 || queue_.size() != 0;
}

bool HVEngine::canCancel() const
{
    return engine_is_busy() != 0 && abort_enabled() != 0;
}

void HVEngine::abort()
{
    request_abort();
}

void HVEngine::stopEarly()
{
    request_stop();
}

void HVEngine::progress(EngineProgress &record)
{
    progress_get(record);
}

// --- queued operations ---------------------------------------------------------------------

// Each packs its message: the command number, then its arguments.
namespace {

struct Packer {
    ZV::Buffer buffer;
    ZV::MsgPack pack;
    Packer() : pack(std::make_shared<ZV::ByteStreamBuffer>(&buffer, 2)) {}
};

} // namespace

#define ENGINE_PACK(name, ...)                                                                             \
    do {                                                                                                   \
        Packer p;                                                                                          \
        if (!p.pack.add(__VA_ARGS__)) {                                                                    \
            log_error("%s: Didn't add to msgpack", name);                                                  \
            return -1;                                                                                     \
        }                                                                                                  \
        return queue(p.buffer);                                                                            \
    } while (0)

int HVEngine::reloadMedia()
{
    // One waiting reload serves every request made while it waits.
    if (reloads_ended_ || reload_queued_.exchange(true))
        return 0;
    Packer p;
    if (!p.pack.add(ZV::MsgPack::TagUInt32, (uint32_t)HV::Command::ReloadMedia)) {
        reload_queued_ = false;
        log_error("%s: Didn't add to msgpack", "ReloadMedia");
        return -1;
    }
    const int rc = queue(p.buffer);
    if (rc != 0)
        reload_queued_ = false;
    return rc;
}

void HVEngine::endReloads()
{
    reloads_ended_ = true;
}

int HVEngine::scanMedia(uint32_t media_id, int scan_type)
{
    ENGINE_PACK("Scan", ZV::MsgPack::TagUInt32, (uint32_t)HV::Command::Scan, ZV::MsgPack::TagUInt32, media_id,
                ZV::MsgPack::TagInt32, scan_type);
}

int HVEngine::recoverNode(uint64_t keyref, const std::string &target, uint32_t options)
{
    ENGINE_PACK("RecoverNode", ZV::MsgPack::TagUInt32, (uint32_t)HV::Command::RecoverNode, ZV::MsgPack::TagUInt64,
                keyref, ZV::MsgPack::TagString, target, ZV::MsgPack::TagUInt32, options);
}

int HVEngine::recoverMarked(uint64_t scan_keyref, const std::string &target)
{
    ENGINE_PACK("RecoverMarked", ZV::MsgPack::TagUInt32, (uint32_t)HV::Command::RecoverMarked,
                ZV::MsgPack::TagUInt64, scan_keyref, ZV::MsgPack::TagString, target);
}

int HVEngine::saveScans(const std::string &path, const std::vector<uint64_t> &scan_keyrefs)
{
    Packer p;
    bool ok = p.pack.add(ZV::MsgPack::TagUInt32, (uint32_t)HV::Command::SaveScan, ZV::MsgPack::TagString, path,
                         ZV::MsgPack::TagUInt32, (uint32_t)scan_keyrefs.size());
    for (uint64_t keyref : scan_keyrefs)
        ok = ok && p.pack.addUInt64(keyref);
    if (!ok) {
        log_error("%s: Didn't add to msgpack", "SaveScan");
        return -1;
    }
    return queue(p.buffer);
}

int HVEngine::loadScans(const std::string &path)
{
    ENGINE_PACK("LoadScan", ZV::MsgPack::TagUInt32, (uint32_t)HV::Command::LoadScan, ZV::MsgPack::TagString, path);
}

#undef ENGINE_PACK

int HVEngine::formatDisk(uint32_t)
{
    log_error("%s: not supported", "Format");
    return ENGINE_NOT_SUPPORTED;
}

int HVEngine::testDisk(uint32_t)
{
    log_error("%s: not supported", "Test");
    return ENGINE_NOT_SUPPORTED;
}

int HVEngine::cloneDisk(uint32_t, const std::string &)
{
    log_error("%s: not supported", "Clone");
    return ENGINE_NOT_SUPPORTED;
}

int HVEngine::writeBootDisk(uint32_t, const std::string &)
{
    log_error("%s: not supported", "CreateMacBootWell");
    return ENGINE_NOT_SUPPORTED;
}

// --- the command thread's dispatch ----------------------------------------------------------

HV::CommandResult HVEngine::runCommand(HV::Command command, ZV::MsgPack &pack)
{
    HV::CommandResult bad;
    bad.status = ENGINE_BAD_ARGUMENT;
    switch (command) {
    case HV::Command::ReloadMedia:
        return doReload();
    case HV::Command::Scan: {
        uint32_t media_id = 0;
        int32_t type = 0;
        if (!pack.get(ZV::MsgPack::TagUInt32, &media_id, ZV::MsgPack::TagInt32, &type))
            break;
        return doScan(media_id, type);
    }
    case HV::Command::RecoverNode: {
        uint64_t keyref = 0;
        std::string target;
        uint32_t options = 0;
        if (!pack.get(ZV::MsgPack::TagUInt64, &keyref, ZV::MsgPack::TagString, &target, ZV::MsgPack::TagUInt32,
                      &options))
            break;
        return doRecoverNode(keyref, target, options);
    }
    case HV::Command::RecoverMarked: {
        uint64_t keyref = 0;
        std::string target;
        if (!pack.get(ZV::MsgPack::TagUInt64, &keyref, ZV::MsgPack::TagString, &target))
            break;
        return doRecoverMarked(keyref, target);
    }
    case HV::Command::SaveScan: {
        std::string path;
        uint32_t count = 0;
        if (!pack.get(ZV::MsgPack::TagString, &path, ZV::MsgPack::TagUInt32, &count) || count > SCX_SLOTS)
            break;
        std::vector<uint64_t> keyrefs(count);
        bool ok = true;
        for (uint32_t i = 0; i < count && ok; i++)
            ok = pack.getUInt64(&keyrefs[i]);
        if (!ok)
            break;
        return doSaveScans(path, keyrefs);
    }
    case HV::Command::LoadScan: {
        std::string path;
        if (!pack.get(ZV::MsgPack::TagString, &path))
            break;
        return doLoadScans(path);
    }
    default:
        break;
    }
    log_error("%s: bad message for command %d", "HVEngine::runCommand", (int)command);
    return bad;
}
