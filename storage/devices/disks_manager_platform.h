// The platform side of device discovery, on Linux.
//
// ZV::DisksManagerPlatform lists the present whole disks (from sysfs) as
// ZV::DiskDescription records, follows arrival and removal of disks and
// partitions on a monitor thread of its own (kernel uevents through libudev,
// mount changes through /proc/self/mountinfo), tells the registered
// observers about them, and unmounts a drive's volumes before the engine
// formats or tests it.
//
// Lock order: the registry mutex, then the instance mutex. Observers are
// called on the monitor thread with the registry mutex held. Calls an
// observer makes back into the registry on that thread (addObserver,
// removeObserver, disks, unmountVolumes) run under the lock it already
// holds; stop() is refused there. An observer must not wait for another
// thread that calls into this class.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "storage/devices/disk_description.h"

namespace ZV {

class DisksManagerObserver {
public:
    virtual ~DisksManagerObserver() = default;
    virtual void deviceAdded(const DiskDescription &description) = 0;
    virtual void deviceRemoved(const DiskDescription &description) = 0;
};

class DisksManagerPlatform {
public:
    // The process's instance, made on first use; its monitor thread starts
    // with the first observer.
    static DisksManagerPlatform &shared();

    // Observers are called in the order they were added. removeObserver
    // returns only when no delivery to the observer is running any more.
    static void addObserver(DisksManagerObserver *observer);
    static void removeObserver(DisksManagerObserver *observer);

    // Enumerates the drives afresh and returns a copy of the descriptions.
    static std::vector<DiskDescription> disks();

    // Unmounts every mount of the drive and its partitions, children first;
    // false at the first failure, or when the path is no block device.
    static bool unmountVolumes(const DiskDescription &description);

    static void notifyAdded(const DiskDescription &description);
    static void notifyRemoved(const DiskDescription &description);

    // Stops and joins the monitor thread (engine shutdown, tests). The next
    // addObserver starts it again.
    static void stop();
};

// "/dev/<kernel name of the whole disk>" of a block device number (a
// partition gives its disk); empty when the number is no block device.
std::string devicePathForDevNum(dev_t device);

// The same for an open descriptor (fstat's st_rdev); empty on failure.
std::string devicePathForHandle(int fd);

} // namespace ZV
