// Shared by the disks manager tests: a descriptions-and-volumes source the
// test fills, the device tests' partitioned image, and a recorder of the
// manager's notifications.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/notify.h"
#include "storage/devices/device_test_support.h"
#include "storage/devices/disks_manager.h"
#include "storage/media.h"
#include "support/test_support.h"

namespace diskstest {

class FakeSource : public HV::DisksSource {
public:
    std::vector<ZV::DiskDescription> disks() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        return descriptions;
    }
    std::vector<ZV::VolumeInfo> volumes() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        return mounted;
    }
    // A registry like the platform's: observers are called under its mutex.
    void addObserver(ZV::DisksManagerObserver *observer) override
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        observers.push_back(observer);
    }
    void removeObserver(ZV::DisksManagerObserver *observer) override
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        observers.erase(std::remove(observers.begin(), observers.end(), observer), observers.end());
    }
    void notifyAdded(const ZV::DiskDescription &description)
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        for (ZV::DisksManagerObserver *observer : observers)
            observer->deviceAdded(description);
    }
    void notifyRemoved(const ZV::DiskDescription &description)
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        for (ZV::DisksManagerObserver *observer : observers)
            observer->deviceRemoved(description);
    }
    std::mutex mutex;
    std::vector<ZV::DiskDescription> descriptions;
    std::vector<ZV::VolumeInfo> mounted;
    std::mutex registryMutex;
    std::vector<ZV::DisksManagerObserver *> observers;
};

// The partitioned image of the device tests and its layout.
using zvtest::kImageSize;
using zvtest::kPart1End;
using zvtest::kPart1Start;
using zvtest::kPart2End;
using zvtest::kPart2Start;
using zvtest::makePartitionedImage;

inline ZV::DiskDescription description(const std::string &path, const char *vendor, const char *product,
                                       uint32_t bus, int64_t size = kImageSize)
{
    ZV::DiskDescription d;
    d.setDevicePath(path);
    d.setVendor(vendor);
    d.setProduct(product);
    d.setBusCode(bus);
    d.setSize(size);
    d.setBlockSize(512);
    return d;
}

// The notifications the manager posts, with the removed path read during the
// delivery and again through the same address afterwards.
struct Notifications {
    struct Post {
        std::string name;
        std::uintptr_t argument;
        std::string path; // read during the delivery ("" for argument 0)
    };
    Notifications()
    {
        notification_add_observer("kDeviceListDeviceAddedEvent", &record, this);
        notification_add_observer("kDeviceListDeviceRemovedEvent", &record, this);
    }
    ~Notifications()
    {
        notification_remove_observer("kDeviceListDeviceAddedEvent", &record, this);
        notification_remove_observer("kDeviceListDeviceRemovedEvent", &record, this);
    }
    static void record(const char *name, std::uintptr_t argument, void *context)
    {
        auto *self = static_cast<Notifications *>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->posts.push_back(
            {name, argument, argument != 0 ? std::string(reinterpret_cast<const char *>(argument)) : std::string()});
    }
    // Removal posts of path (the monitor may post removals of other devices meanwhile).
    std::vector<Post> removalsOf(const std::string &path)
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Post> found;
        for (const Post &p : posts)
            if (p.name == "kDeviceListDeviceRemovedEvent" && p.path == path)
                found.push_back(p);
        return found;
    }
    std::mutex mutex;
    std::vector<Post> posts;
};

} // namespace diskstest
