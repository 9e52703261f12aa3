// The instance behind ZV::DisksManagerPlatform on Linux: the enumerator's
// last descriptions, the known-devices map and the monitor thread.
// Internal to storage/devices; tests make private instances over a fake
// sysfs root and with an observer of their own as the sink.
//
// The monitor thread polls three descriptors:
// - a libudev netlink monitor on subsystem "block" (source "udev" when
//   udevd runs, else the kernel's own events), with a receive buffer of a
//   few MiB;
// - /proc/self/mountinfo for POLLPRI (mounts changed);
// - an eventfd that stops the thread or hands it removals found by an
//   enumeration.
//
// Event mapping:
//   add (disk or partition)       -> deviceAdded with the disk's path
//   change of a disk              -> deviceRemoved with the known description
//                                    when its medium is gone (size 0) or was
//                                    replaced (new diskseq), then deviceAdded
//                                    unless the disk is now empty and was known
//   remove of a disk              -> deviceRemoved with the known description
//   remove/change of a partition  -> nothing (a trace line)
//   mounts changed                -> deviceAdded with an empty description
//   lost events (ENOBUFS)         -> every known disk checked against sysfs,
//                                    then deviceAdded (a reload resyncs)
//
// Known devices: devnode -> the description of its last enumeration.
// Enumeration inserts or replaces entries; only a removal erases one, so
// each enumerated medium is reported removed exactly once, also when it
// vanished before an enumeration that no longer lists it. An enumeration
// that finds a new medium (another diskseq) in a known drive hands the old
// description to the monitor thread as a removal.
//
// Locks: the instance mutex guards the descriptions and the known devices,
// and is never held while observers run. The control mutex guards starting
// and stopping the thread; stop joins without holding anything the thread
// needs, so it may be called while observers are running on other threads
// (not from an observer on the monitor thread itself).
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "storage/devices/disks_manager_platform.h"
#include "storage/devices/sysfs_disks_linux.h"

struct udev;
struct udev_monitor;

namespace ZV {

// One kernel or udev event, as far as the mapping above needs it.
struct DeviceEvent {
    std::string action;    // "add", "remove", "change", ...
    std::string subsystem; // "block"
    std::string devtype;   // "disk" or "partition"
    std::string sysname;   // kernel name: "loop3", "loop3p1"
    std::string devpath;   // "/devices/virtual/block/loop3/loop3p1"
    uint64_t diskseq = 0;  // DISKSEQ of the event; 0 when absent
};

class DeviceMonitor {
public:
    // sink null: events go to the process-wide registry.
    explicit DeviceMonitor(const SysfsRoots &roots = SysfsRoots(), DisksManagerObserver *sink = nullptr);
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor &) = delete;
    DeviceMonitor &operator=(const DeviceMonitor &) = delete;

    // Enumerates afresh under the instance mutex and returns a copy.
    std::vector<DiskDescription> enumerate();

    // Opens the event sources without starting the thread: events queue up
    // in the socket until start. False when the netlink monitor cannot be
    // made. Calling it again is harmless.
    bool listen();
    // listen, then starts the thread unless it runs. False on failure.
    bool start();
    // Stops and joins the thread and closes the sources. Refused (false)
    // on the monitor thread itself.
    bool stop();
    bool running();

    // The mapping above, for one event (the monitor thread; tests).
    void handleEvent(const DeviceEvent &event);
    // Checks every known disk against sysfs after events were lost.
    void resync();
    // Reports the removals an enumeration found.
    void deliverPending();

private:
    struct KnownDisk {
        DiskDescription description;
        uint64_t diskseq;
    };

    void run();
    void receiveEvents();
    void added(const DiskDescription &description);
    void removed(const DiskDescription &description);
    void closeSources();

    const SysfsRoots roots_;
    DisksManagerObserver *const sink_;

    std::mutex mutex_; // the instance mutex
    std::vector<DiskDescription> descriptions_;
    std::map<std::string, KnownDisk> known_;
    std::vector<DiskDescription> pending_; // removals found by enumerations
    bool listening_ = false;
    bool resyncOnStart_ = false;

    std::mutex control_; // start and stop
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::thread::id> threadId_{}; // the monitor thread while it runs
    struct udev *udev_ = nullptr;
    struct udev_monitor *monitor_ = nullptr;
    int mountsFd_ = -1;
    int wakeFd_ = -1;
};

} // namespace ZV
