// HVEngine: the recovery engine behind one interface, for a front end.
//
// Long operations (media-list reload, scan, recovery of a node or of the
// ticked nodes, saving and loading scans) are packed into one message each
// with the tagged packing (foundation/msgpack.h) and queued; the engine's
// one command thread runs them strictly in the order they were queued and
// reports each through the callbacks (will start, did finish). The queuing
// call returns at once. Short requests (disk list, scans, node information
// and children, selection, progress, abort) run on the caller's thread.
//
// Every queued operation runs inside the command frame (engine/command_frame.h):
// power held, "CMD Started" ... "CMD Succeeded" / "CMD Aborted" /
// "CMD Failed (%d) line %d" in the engine log under the command's name as
// log context, the engine state set while it runs, and the abort and stop
// requests cleared at its end.
//
// Start (HVEngine::create), in this order: the workspace folder
// "<home>/<application name>Workspace"; the engine log "ScanEngineLog.txt"
// in it ("exec path: %s", "workspace dir = %s"); the settings store; the
// strings table and unit names ("Failed to load strings"); the built-in
// module source, the name sequences, "cbr ", the found-file-system
// preferences, the built-in modules and their preferences; the disks
// manager with the front end's disk filter as device and disk filter; the
// drive monitor's preferences with the slow-read report; the scans left
// in the workspace; the observers; the 1500 ms reload timer; the command
// thread.
//
// Shutdown (destructor): the queue stopped behind what is queued and the
// thread joined (the queued commands run, but a queued media reload is
// dropped, as after endReloads: nothing waits for it, and it could read a
// dying card again for minutes), then "EngineQuitting" posted (the scans are freed), the drive
// monitor and the disks manager gone, the media freed, the settings saved,
// the log closed.
//
// Device events reach the engine as the disks manager's notifications
// "kDeviceListDeviceAddedEvent" and "kDeviceListDeviceRemovedEvent" (on the
// device monitor's thread): a removal of the medium a scan reads ends the
// scan, any other removal detaches the media of that path, and each event
// restarts the reload timer, so a burst of events gives one reload. At most
// one reload waits in the queue: a reload asked for while one waits is
// served by it. A card that stopped answering is not read by a reload again
// until it has been taken out (media_note_not_answering).
//
// One engine per process: the engine-wide state it drives (media list, scan
// slots, progress, log) is process-wide.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_callbacks.h"
#include "foundation/buffer.h"
#include "foundation/msgpack.h"
#include "foundation/notify.h"
#include "foundation/power.h"
#include "foundation/progress.h"
#include "foundation/timer.h"
#include "scan/catalog/fs_record.h"
#include "scan/catalog/work_queue.h"
#include "scan/scan_context.h"
#include "storage/devices/disks_manager.h"
#include "storage/devices/drive_monitor.h"

struct Media;
struct work_dir;

// Status codes of the engine's own requests (besides those of the layers
// below, passed through).
enum : int {
    ENGINE_FAILED = -1,
    ENGINE_ABORTED = -5,
    ENGINE_NO_MEDIA = -7,
    ENGINE_BAD_ARGUMENT = -12,
    ENGINE_NOT_SUPPORTED = -15,
    ENGINE_NOT_KEPT = -41, // a scan ended, but its end could not be saved in the workspace
};

class HVEngine {
public:
    // Makes and starts the engine. Empty, with *error set, when the
    // configuration lacks callbacks, application name or home folder, or a
    // start step fails.
    static std::shared_ptr<HVEngine> create(const HV::EngineConfig &config, std::string *error);
    ~HVEngine();
    HVEngine(const HVEngine &) = delete;
    HVEngine &operator=(const HVEngine &) = delete;

    // --- queued operations: 0 when queued, else the packing failure (-1) --------

    int reloadMedia();
    // The front end ends once the commands it has queued and is about to
    // queue are done (a command-line run): from now on no media reload is
    // queued or run, as at shutdown. Device events still end a scan of a
    // card taken out and detach its media.
    void endReloads();
    // scan_type 1 quick, 2 deleted, 3 thorough.
    int scanMedia(uint32_t media_id, int scan_type);
    // Recovers the node with everything under it into the folder target.
    // options bit 0: name files by number.
    int recoverNode(uint64_t keyref, const std::string &target, uint32_t options = 0);
    // Recovers the ticked nodes of one scan (its keyref) into target.
    int recoverMarked(uint64_t scan_keyref, const std::string &target);
    // Saves the scans (all for an empty list) into the file path.
    int saveScans(const std::string &path, const std::vector<uint64_t> &scan_keyrefs);
    // Loads every scan of a saved scan file into free slots.
    int loadScans(const std::string &path);
    // Formatting, card test, cloning and boot disks are not part of this
    // engine: each answers at once with ENGINE_NOT_SUPPORTED, queues nothing.
    int formatDisk(uint32_t media_id);
    int testDisk(uint32_t media_id);
    int cloneDisk(uint32_t media_id, const std::string &target);
    int writeBootDisk(uint32_t media_id, const std::string &image);

    // --- short requests, on the caller's thread -------------------------------------

    // Attaches a file, an image file or a block device named by the user
    // and keeps it in the list the reload adds back. A file or image file
    // joins the disk list; a device named by path is attached without
    // passing the disk filter, and is listed only when the disks manager
    // lists it. 0 with the medium's id, or ENGINE_NO_MEDIA when it cannot be
    // opened (missing, a folder, a FIFO, no permission, empty).
    int addMediaPath(const std::string &path, uint32_t *media_id, std::string *reason = nullptr);
    // Attaches a file, an image file or a block device (as addMediaPath)
    // and matches every scan against the media again, the way a card
    // plugged in again is matched; as the user named it, a scan still
    // without its medium also takes it (or one of its partitions) when it
    // holds the same contents (size and content checksum), whatever its
    // name: an image file renamed since. The slots of the scans whose medium
    // it is now go into slots. Only a path some scan took is kept in the
    // list the reload adds back. 0, or ENGINE_NO_MEDIA when it cannot be
    // opened (reason set).
    int attachForScans(const std::string &path, std::vector<uint32_t> *slots, std::string *reason = nullptr);
    // The disk list: the drives of the last reload that passed the disk
    // filter, then the files and image files the user added.
    std::vector<std::shared_ptr<HV::Disk>> mediaList();
    std::vector<ScanInfo> scans();
    // Deletes a scan and its folder (not while an operation runs).
    int deleteScan(uint64_t scan_keyref);
    int nodeInfo(uint64_t keyref, NodeInfo *out, int flags = 0);
    // Whether the found file system of a keyref (its root or a node) has a
    // catalog that can't be read (listed with NODE_DAMAGED_CATALOG); *file
    // gets the catalog's file in the workspace folder ("Scan.01/FAT.1/cat.db").
    bool damagedCatalog(uint64_t keyref, std::string *file);
    // Children of the none keyref (the scans), of a scan (its file systems)
    // or of any node.
    int children(uint64_t keyref, std::vector<NodeInfo> *out);
    // Ticks (true) or unticks a node with everything under it; a scan
    // keyref ticks each of its file systems.
    int selectNode(uint64_t keyref, bool selected);
    // Saves the ticks of every file system of the scan of the keyref now
    // (selectNode saves them in the background): 0, or the errno of the
    // write the workspace refused.
    int saveSelection(uint64_t keyref);
    void progress(EngineProgress &record);
    bool busy() const;
    bool canCancel() const;
    // The front end's Cancel: the running operation stops (-5).
    void abort();
    // Ends a thorough scan early, keeping what was found.
    void stopEarly();
    const std::string &workspacePath() const { return workspace_path_; }
    // Whether path (made or still to be made) lies inside the workspace
    // folder, by real path and by device and inode of each folder above it
    // (engine_workspace_guard.cpp).
    bool insideWorkspace(const std::string &path) const;
    // The path of the attached medium with that id, or of the medium the
    // scan of the keyref reads (when it is not attached, the device or file
    // at the path it was scanned from), when the workspace folder lies on
    // its bytes (a scan or a recovery of it would write onto what it
    // reads); "" when it does not, or there is no such medium.
    std::string workspaceOnMedium(uint32_t media_id);
    std::string workspaceOnScanMedium(uint64_t scan_keyref);
    // Before any engine is made: whether the folder (or, when it does not
    // exist yet, its nearest existing parent) lies on the card or image
    // file named by medium, counted whole, also as seen through a probe
    // file there when it lies on a FUSE mount (medium_guard_probe_on).
    static bool folderOnMediumPath(const std::string &folder, const std::string &medium);
    // Saves the settings ("settings.ini") now, as the shutdown does: 0, or
    // the errno of the write the workspace refused.
    int saveSettings();
    // Whether the media the user named (the paths the reload attaches
    // again) changed since the settings were last saved: when a save is
    // refused and they did not, the media ids are all it could not keep.
    bool namedMediaUnsaved() const { return named_media_unsaved_; }
    work_dir *workspace() const { return workspace_; }

private:
    // The engine's reaction to the disks manager's device notifications
    // (on the device monitor's thread).
    static void onDeviceAdded(const char *name, std::uintptr_t argument, void *context);
    static void onDeviceRemoved(const char *name, std::uintptr_t argument, void *context);
    void deviceAdded();
    void deviceRemoved(const char *path);
    static bool filterDisk(HV::Disk *disk, void *context);
    explicit HVEngine(const HV::EngineConfig &config);
    int start(std::string *error);
    int queue(const ZV::Buffer &message);
    void threadMain();
    void runMessage(const ZV::Buffer &message);
    HV::CommandResult runCommand(HV::Command command, ZV::MsgPack &pack);
    HV::CommandResult doReload();
    HV::CommandResult doScan(uint32_t media_id, int scan_type);
    HV::CommandResult doRecoverNode(uint64_t keyref, const std::string &target, uint32_t options);
    HV::CommandResult doRecoverMarked(uint64_t keyref, const std::string &target);
    HV::CommandResult doSaveScans(const std::string &path, const std::vector<uint64_t> &keyrefs);
    // Why a save must not replace what stands at path, in words; "" when it
    // may (engine_save_target.cpp).
    std::string saveTargetRefusal(const std::string &path);
    HV::CommandResult doLoadScans(const std::string &path);
    // After a load: attaches the images of the loaded scans (the slots not
    // in before) found at the paths they were saved with.
    void attachSavedImages(const std::vector<uint32_t> &before);
    // attachForScans; named: the user named the path (see there), else it
    // is matched only the way a card plugged in again is.
    int attachMatching(const std::string &path, bool named, std::vector<uint32_t> *slots, std::string *reason);
    // The slow-read report function: calls callback slot 18.
    void reportSlowRead(const zorvant::u8string &name, int64_t position, uint32_t milliseconds);
    // Attaches one path (see addMediaPath) without remembering it; under
    // media_mutex_.
    Media *attachPath(const std::string &path, std::string *why);
    // attachPath under media_mutex_, then the disk list copied again; with
    // remember, the path joins the added paths and the media ids are kept.
    // Null when the path can't be attached: the failure logged under the
    // caller's name fn, its reason in *reason.
    Media *attachListed(const char *fn, const std::string &path, bool remember, std::string *reason);
    Media *attachFile(const std::string &path, std::string *why);
    void rememberAddedPath(const std::string &path);
    std::vector<std::string> addedPaths();
    // The media ids kept in the workspace (engine_media_ids.cpp): read back
    // at the start, before anything is attached; written after attaching
    // when they changed (under media_mutex_).
    void restoreMediaIds();
    void keepMediaIds();
    void registerObservers();
    void removeObservers();
    // The notifications the engine follows, each with its observer.
    struct Observer {
        const char *name;
        notification_callback observer;
    };
    static const Observer kObservers[];

    HV::EngineConfig config_;
    std::string workspace_path_;
    work_dir *workspace_ = nullptr;
    ZV::Power power_;
    ZV::Timer reload_timer_;
    WorkQueue queue_;
    std::mutex messages_mutex_;
    std::map<uint32_t, ZV::Buffer> messages_; // queued messages by number
    uint32_t next_message_ = 1;
    std::thread thread_;
    bool thread_started_ = false;
    bool observers_registered_ = false;
    std::unique_ptr<HV::DisksManager> disks_manager_;
    std::unique_ptr<HV::DriveMonitor> drive_monitor_;
    mutable std::mutex mutex_;            // guards disks_
    std::mutex media_mutex_;              // one change of the disk list and the added paths at a time
    std::vector<std::shared_ptr<HV::Disk>> disks_;
    std::string kept_media_ids_;          // the media ids as last read or written (under media_mutex_)
    std::atomic<bool> named_media_unsaved_{false}; // rememberAddedPath changed the list since the last save
    std::atomic<bool> reload_queued_{false}; // a reload waits in the queue (not started yet)
    std::atomic<bool> reloads_ended_{false}; // endReloads or the destructor: no reload is queued or run any more
    std::atomic<int> depth_{0};           // command depth of the engine thread
    friend class HVCommandFrame;
};
