#include "storage/devices/device_monitor_linux.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "foundation/console_log.h"

namespace ZV {

namespace {

// Receive buffer of the netlink socket. A burst of events (a hub with many
// cards, or the monitor stalled behind a long unmount) must not overflow it;
// when it does all the same, the events are resynchronised from sysfs.
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;

std::string text(const char *value)
{
    return value != nullptr ? std::string(value) : std::string();
}

// The whole disk a partition belongs to: the component before the last of
// its devpath ("/devices/virtual/block/loop3/loop3p1" -> "loop3").
std::string parentName(const std::string &devpath)
{
    const std::string::size_type last = devpath.find_last_of('/');
    if (last == std::string::npos || last == 0)
        return std::string();
    const std::string::size_type before = devpath.find_last_of('/', last - 1);
    return devpath.substr(before == std::string::npos ? 0 : before + 1, last - (before == std::string::npos ? 0 : before + 1));
}

DiskDescription arrival(const std::string &name)
{
    // Observers use nothing from an arrival but its name in a log line.
    DiskDescription description;
    if (!name.empty())
        description.setDevicePath(sysfsDevicePath(name));
    return description;
}

} // namespace

DeviceMonitor::DeviceMonitor(const SysfsRoots &roots, DisksManagerObserver *sink) : roots_(roots), sink_(sink) {}

DeviceMonitor::~DeviceMonitor()
{
    stop();
}

std::vector<DiskDescription> DeviceMonitor::enumerate()
{
    bool wake = false;
    std::vector<DiskDescription> copy;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::vector<SysfsDisk> found = sysfsListDisks(roots_);
        descriptions_.clear();
        for (const SysfsDisk &disk : found) {
            const std::string path = disk.description.devicePath();
            auto it = known_.find(path);
            if (it != known_.end() && it->second.diskseq != 0 && disk.diskseq != 0 &&
                it->second.diskseq != disk.diskseq && listening_) {
                // The medium listed before has gone and another took its
                // place before the monitor saw the event.
                pending_.push_back(it->second.description);
                wake = true;
            }
            known_[path] = KnownDisk{disk.description, disk.diskseq};
            descriptions_.push_back(disk.description);
        }
        copy = descriptions_;
        if (wake && wakeFd_ >= 0) {
            const uint64_t one = 1;
            if (::write(wakeFd_, &one, sizeof one) < 0)
                ZV::log(2, "DeviceMonitor::enumerate: can't wake the monitor: %s", std::strerror(errno));
        }
    }
    return copy;
}

bool DeviceMonitor::listen()
{
    std::lock_guard<std::mutex> control(control_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (listening_)
        return true;
    udev_ = udev_new();
    if (udev_ == nullptr) {
        ZV::log(1, "DeviceMonitor::listen: udev_new failed");
        return false;
    }
    const char *source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    monitor_ = udev_monitor_new_from_netlink(udev_, source);
    if (monitor_ == nullptr || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        ZV::log(1, "DeviceMonitor::listen: can't monitor %s events: %s", source, std::strerror(errno));
        closeSources();
        return false;
    }
    if (udev_monitor_set_receive_buffer_size(monitor_, kReceiveBufferBytes) < 0)
        ZV::log(2, "DeviceMonitor::listen: can't enlarge the receive buffer: %s", std::strerror(errno));
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        ZV::log(1, "DeviceMonitor::listen: eventfd: %s", std::strerror(errno));
        closeSources();
        return false;
    }
    // Without it only device events arrive; a mount is also seen at the next reload.
    mountsFd_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (mountsFd_ < 0)
        ZV::log(2, "DeviceMonitor::listen: /proc/self/mountinfo: %s", std::strerror(errno));
    listening_ = true;
    // Events between an earlier stop and now are lost.
    resyncOnStart_ = !known_.empty();
    return true;
}

bool DeviceMonitor::start()
{
    // An observer on the monitor thread: it runs, and control_ may be held
    // by a stop that waits for this very thread.
    if (threadId_.load() == std::this_thread::get_id())
        return true;
    if (!listen())
        return false;
    std::lock_guard<std::mutex> control(control_);
    if (thread_.joinable())
        return true;
    stopping_ = false;
    try {
        thread_ = std::thread(&DeviceMonitor::run, this);
    } catch (const std::system_error &error) {
        ZV::log(1, "DeviceMonitor::start: can't start the monitor thread: %s", error.what());
        return false;
    }
    return true;
}

bool DeviceMonitor::stop()
{
    std::lock_guard<std::mutex> control(control_);
    if (thread_.joinable()) {
        if (std::this_thread::get_id() == threadId_.load()) {
            ZV::log(1, "DeviceMonitor::stop: called on the monitor thread");
            return false;
        }
        stopping_ = true;
        const uint64_t one = 1;
        if (::write(wakeFd_, &one, sizeof one) < 0)
            ZV::log(1, "DeviceMonitor::stop: can't wake the monitor: %s", std::strerror(errno));
        thread_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    closeSources();
    return true;
}

bool DeviceMonitor::running()
{
    std::lock_guard<std::mutex> control(control_);
    return thread_.joinable();
}

// Under both mutexes, with the thread stopped.
void DeviceMonitor::closeSources()
{
    if (monitor_ != nullptr)
        udev_monitor_unref(monitor_);
    if (udev_ != nullptr)
        udev_unref(udev_);
    monitor_ = nullptr;
    udev_ = nullptr;
    if (mountsFd_ >= 0)
        ::close(mountsFd_);
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
    mountsFd_ = wakeFd_ = -1;
    listening_ = false;
    pending_.clear();
}

void DeviceMonitor::added(const DiskDescription &description)
{
    if (sink_ != nullptr)
        sink_->deviceAdded(description);
    else
        DisksManagerPlatform::notifyAdded(description);
}

void DeviceMonitor::removed(const DiskDescription &description)
{
    if (sink_ != nullptr)
        sink_->deviceRemoved(description);
    else
        DisksManagerPlatform::notifyRemoved(description);
}

void DeviceMonitor::handleEvent(const DeviceEvent &event)
{
    if (event.subsystem != "block")
        return;
    const bool partition = event.devtype == "partition";
    const std::string disk = partition ? parentName(event.devpath) : event.sysname;
    if (event.action == "add") {
        added(arrival(disk));
        return;
    }
    if (partition || (event.action != "change" && event.action != "remove")) {
        // Like the removal of a volume interface: the disk's own events and
        // the next reload tell the rest.
        ZV::log(16, "device event: %s %s", event.action.c_str(), event.sysname.c_str());
        return;
    }

    bool gone = false, known = false;
    DiskDescription old;
    {
        // Sysfs is read under the mutex, so an enumeration cannot slip in
        // between the look at the drive and the look at the map.
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string path = sysfsDevicePath(disk);
        auto it = known_.find(path);
        known = it != known_.end();
        // An event about an older medium than the one last enumerated.
        const bool stale = known && event.diskseq != 0 && it->second.diskseq > event.diskseq;
        if (known && !stale) {
            int64_t size = 0;
            uint64_t diskseq = 0;
            const bool present = sysfsDiskState(roots_, disk, &size, &diskseq);
            gone = event.action == "remove" || !present || size == 0 ||
                   (diskseq != 0 && it->second.diskseq != 0 && diskseq != it->second.diskseq);
            if (gone) {
                old = it->second.description;
                known_.erase(it);
            }
        }
    }
    if (gone)
        removed(old);
    if (event.action == "change") {
        int64_t size = 0;
        uint64_t diskseq = 0;
        const bool filled = sysfsDiskState(roots_, disk, &size, &diskseq) && size != 0;
        if (filled || !gone)
            added(arrival(disk));
    } else if (!gone) {
        ZV::log(16, "device event: remove %s (not listed)", event.sysname.c_str());
    }
}

void DeviceMonitor::resync()
{
    std::vector<DiskDescription> lost;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = known_.begin(); it != known_.end();) {
            int64_t size = 0;
            uint64_t diskseq = 0;
            const std::string name = it->first.substr(5); // "/dev/"
            std::string kernel_name = name;
            std::replace(kernel_name.begin(), kernel_name.end(), '/', '!');
            const bool present = sysfsDiskState(roots_, kernel_name, &size, &diskseq);
            if (!present || size == 0 || (diskseq != 0 && it->second.diskseq != 0 && diskseq != it->second.diskseq)) {
                lost.push_back(it->second.description);
                it = known_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const DiskDescription &description : lost)
        removed(description);
    added(DiskDescription());
}

void DeviceMonitor::deliverPending()
{
    std::vector<DiskDescription> removals;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        removals.swap(pending_);
    }
    for (const DiskDescription &description : removals)
        removed(description);
}

void DeviceMonitor::receiveEvents()
{
    for (;;) {
        errno = 0;
        struct udev_device *device = udev_monitor_receive_device(monitor_);
        if (device == nullptr) {
            if (errno != ENOBUFS)
                return; // nothing more queued (or a message that passed no filter)
            ZV::log(2, "DeviceMonitor: device events were lost; checking the known drives");
            resync();
            continue;
        }
        DeviceEvent event;
        event.action = text(udev_device_get_action(device));
        event.subsystem = text(udev_device_get_subsystem(device));
        event.devtype = text(udev_device_get_devtype(device));
        event.sysname = text(udev_device_get_sysname(device));
        event.devpath = text(udev_device_get_devpath(device));
        const std::string seq = text(udev_device_get_property_value(device, "DISKSEQ"));
        event.diskseq = seq.empty() ? 0 : std::strtoull(seq.c_str(), nullptr, 10);
        udev_device_unref(device);
        handleEvent(event);
    }
}

void DeviceMonitor::run()
{
    threadId_ = std::this_thread::get_id();
    bool resync_now = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        resync_now = resyncOnStart_;
        resyncOnStart_ = false;
    }
    if (resync_now)
        resync();
    deliverPending();
    for (;;) {
        struct pollfd fds[3] = {
            {wakeFd_, POLLIN, 0},
            {udev_monitor_get_fd(monitor_), POLLIN, 0},
            {mountsFd_, POLLPRI, 0},
        };
        const nfds_t count = mountsFd_ >= 0 ? 3 : 2;
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            ZV::log(1, "DeviceMonitor: poll: %s", std::strerror(errno));
            break;
        }
        if (fds[0].revents != 0) {
            uint64_t value;
            if (::read(wakeFd_, &value, sizeof value) < 0 && errno != EAGAIN)
                ZV::log(1, "DeviceMonitor: eventfd: %s", std::strerror(errno));
            if (stopping_)
                break;
            deliverPending();
        }
        if (fds[1].revents != 0)
            receiveEvents();
        // The kernel flags a changed mount table with POLLERR | POLLPRI until
        // the next poll, which clears it.
        if (count == 3 && (fds[2].revents & (POLLPRI | POLLERR)) != 0)
            added(DiskDescription());
    }
    threadId_ = std::thread::id();
}

} // namespace ZV
