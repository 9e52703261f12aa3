// The observer registry and the process's instance of the device layer.
//
// Implementation notes:
// - The registry mutex is held for the whole of every call, deliveries
//   included, so removeObserver returns only once no delivery to the
//   observer runs. A thread that delivers already holds it: calls it makes
//   from inside an observer (removing itself or another observer, adding
//   one, disks, unmountVolumes) run without locking again instead of
//   deadlocking. A removal during a delivery moves the delivery's cursor,
//   so no removed observer is called afterwards.
// - The instance lives in a function-local static made on first use, with
//   the registry beside it; the monitor thread is stopped and joined before
//   the registry goes at exit.
#include "storage/devices/disks_manager_platform.h"

#include <sys/stat.h>

#include <algorithm>
#include <mutex>

#include "foundation/console_log.h"
#include "storage/devices/device_monitor_linux.h"
#include "storage/devices/unmount_linux.h"

namespace ZV {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<DisksManagerObserver *> observers; // in the order of registration
    std::vector<size_t *> cursors;                 // next observer of each delivery under way
};

struct Platform {
    Registry registry;
    DeviceMonitor monitor; // after the registry, so destroyed (and joined) first
};

Platform &platform()
{
    static Platform instance;
    return instance;
}

// Deliveries under way on this thread (it holds the registry mutex).
thread_local int deliveringHere = 0;

class RegistryLock {
public:
    RegistryLock() : owned_(deliveringHere == 0)
    {
        if (owned_)
            platform().registry.mutex.lock();
    }
    ~RegistryLock()
    {
        if (owned_)
            platform().registry.mutex.unlock();
    }
    RegistryLock(const RegistryLock &) = delete;
    RegistryLock &operator=(const RegistryLock &) = delete;

private:
    bool owned_;
};

// One delivery to every observer; slot picks the operation.
void deliver(const DiskDescription &description, bool removal)
{
    RegistryLock lock;
    Registry &registry = platform().registry;
    size_t next = 0;
    struct Guard {
        Registry &registry;
        size_t *cursor;
        Guard(Registry &r, size_t *c) : registry(r), cursor(c)
        {
            registry.cursors.push_back(cursor);
            ++deliveringHere;
        }
        ~Guard()
        {
            --deliveringHere;
            registry.cursors.erase(std::find(registry.cursors.begin(), registry.cursors.end(), cursor));
        }
    } guard(registry, &next);
    while (next < registry.observers.size()) {
        DisksManagerObserver *observer = registry.observers[next++];
        if (removal)
            observer->deviceRemoved(description);
        else
            observer->deviceAdded(description);
    }
}

} // namespace

DisksManagerPlatform &DisksManagerPlatform::shared()
{
    platform();
    static DisksManagerPlatform instance;
    return instance;
}

void DisksManagerPlatform::addObserver(DisksManagerObserver *observer)
{
    if (observer == nullptr)
        return;
    {
        RegistryLock lock;
        std::vector<DisksManagerObserver *> &observers = platform().registry.observers;
        if (std::find(observers.begin(), observers.end(), observer) == observers.end())
            observers.push_back(observer);
    }
    // Outside the registry mutex: the thread may be waiting for it to
    // deliver, and start waits for a stop that joins the thread.
    platform().monitor.start();
}

void DisksManagerPlatform::removeObserver(DisksManagerObserver *observer)
{
    RegistryLock lock;
    Registry &registry = platform().registry;
    auto it = std::find(registry.observers.begin(), registry.observers.end(), observer);
    if (it == registry.observers.end())
        return;
    const size_t index = static_cast<size_t>(it - registry.observers.begin());
    registry.observers.erase(it);
    for (size_t *cursor : registry.cursors)
        if (index < *cursor)
            --*cursor;
}

std::vector<DiskDescription> DisksManagerPlatform::disks()
{
    RegistryLock lock;
    return platform().monitor.enumerate();
}

bool DisksManagerPlatform::unmountVolumes(const DiskDescription &description)
{
    RegistryLock lock;
    return unmountDiskVolumes("/sys", description.devicePath());
}

void DisksManagerPlatform::notifyAdded(const DiskDescription &description)
{
    deliver(description, false);
}

void DisksManagerPlatform::notifyRemoved(const DiskDescription &description)
{
    deliver(description, true);
}

void DisksManagerPlatform::stop()
{
    if (deliveringHere != 0) {
        // Joining would wait for a delivery that waits for this one.
        ZV::log(1, "DisksManagerPlatform::stop: called from an observer");
        return;
    }
    platform().monitor.stop();
}

std::string devicePathForDevNum(dev_t device)
{
    return sysfsDevicePathForDevNum("/sys", device);
}

std::string devicePathForHandle(int fd)
{
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISBLK(info.st_mode))
        return std::string();
    return devicePathForDevNum(info.st_rdev);
}

} // namespace ZV
