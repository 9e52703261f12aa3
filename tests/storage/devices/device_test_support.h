// Fixtures of the device-layer tests: a fake sysfs tree, an observer that
// records events and waits for them (bounded), a partitioned image, a loop
// device over it that can be detached in the middle of a test, and a mount
// of a block device.
#pragma once

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "storage/devices/disks_manager_platform.h"
#include "support/test_support.h"

namespace zvtest {

// A sysfs tree in a scratch folder: block/<name> links to the disk's
// folder under devices/, whose device link points at the folder above
// block/ (where device/type, vendor, model live).
class FakeSysfs {
public:
    FakeSysfs()
    {
        std::filesystem::create_directories(dir_ / "sys/block");
        std::filesystem::create_directories(dir_ / "sys/dev/block");
        std::filesystem::create_directories(dir_ / "dev");
    }
    std::string root() const { return dir_ / "sys"; }
    std::string devRoot() const { return dir_ / "dev"; }

    // folder: below devices/ ("virtual" for virtual disks); attributes:
    // path below the disk's folder -> content.
    void addDisk(const std::string &folder, const std::string &name, const std::map<std::string, std::string> &attributes,
                 const std::string &devnum = "")
    {
        namespace fs = std::filesystem;
        const std::string disk = "devices/" + folder + "/block/" + name;
        fs::create_directories(root() + "/" + disk);
        if (folder != "virtual")
            fs::create_symlink("../..", root() + "/" + disk + "/device");
        fs::create_symlink("../" + disk, root() + "/block/" + name);
        for (const auto &attribute : attributes)
            set(name, attribute.first, attribute.second);
        if (!devnum.empty())
            fs::create_symlink("../../" + disk, root() + "/dev/block/" + devnum);
    }
    void addPartition(const std::string &disk, const std::string &name, const std::string &devnum)
    {
        namespace fs = std::filesystem;
        const std::string folder = fs::canonical(root() + "/block/" + disk).string() + "/" + name;
        fs::create_directories(folder);
        writeFile(folder + "/partition", "1\n");
        writeFile(folder + "/dev", devnum + "\n");
        fs::create_symlink(folder, root() + "/dev/block/" + devnum);
    }
    void set(const std::string &disk, const std::string &attribute, const std::string &value)
    {
        const std::string path = root() + "/block/" + disk + "/" + attribute;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        writeFile(path, value + "\n");
    }
    // Any file below the root.
    void write(const std::string &relative, const std::string &value)
    {
        const std::string path = root() + "/" + relative;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        writeFile(path, value + "\n");
    }
    void remove(const std::string &disk) { std::filesystem::remove(root() + "/block/" + disk); }

private:
    TempDir tmp_;
    std::filesystem::path dir_{tmp_.path()};
};

// Records deliveries as ('A' or 'R', device path, display name).
class RecordingObserver : public ZV::DisksManagerObserver {
public:
    struct Event {
        char kind;
        std::string path;
        std::string name;
    };
    void deviceAdded(const ZV::DiskDescription &description) override { record('A', description); }
    void deviceRemoved(const ZV::DiskDescription &description) override { record('R', description); }

    size_t count(char kind, const std::string &path)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const Event &event : events_)
            n += event.kind == kind && event.path == path;
        return n;
    }
    std::vector<Event> events()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    // Waits until condition holds; false after bound_seconds (a guard
    // against a hang, not a measure of speed).
    bool waitFor(const std::function<bool()> &condition, int bound_seconds = 20)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(bound_seconds), [&] {
            lock.unlock();
            const bool done = condition();
            lock.lock();
            return done;
        });
    }
    bool waitForCount(char kind, const std::string &path, size_t at_least)
    {
        return waitFor([&] { return count(kind, path) >= at_least; });
    }

private:
    void record(char kind, const ZV::DiskDescription &description)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(Event{kind, description.devicePath(), description.displayName()});
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

// A 64 MiB sparse image with an MBR of two Linux partitions: partition 1 at
// sector 2048 (10 MiB), partition 2 from sector 22528 to the end. Returns
// path.
constexpr int64_t kImageSize = 64ll << 20;
constexpr int64_t kPart1Start = 2048ll * 512, kPart1End = 22528ll * 512;
constexpr int64_t kPart2Start = 22528ll * 512, kPart2End = kImageSize;

inline std::string makePartitionedImage(const std::string &path)
{
    requireTool("sfdisk");
    mustRun("truncate -s " + std::to_string(kImageSize) + " '" + path + "'");
    mustRun("printf 'label: dos\\nstart=2048, size=20480, type=83\\nstart=22528, type=83\\n' | sfdisk -q '" + path +
            "'");
    return path;
}

// A mount of a block device (root only), undone on destruction or by
// unmount() (lazily when still busy). Throws when the mount fails.
class BlockMount {
public:
    BlockMount(const std::string &device, const std::string &target, const char *type = "ext4",
               unsigned long flags = 0, const std::string &options = "")
        : target_(target)
    {
        if (::mount(device.c_str(), target.c_str(), type, flags, options.empty() ? nullptr : options.c_str()) != 0)
            throw std::runtime_error("mount failed: " + device + " on " + target + ": " + std::strerror(errno));
    }
    ~BlockMount() { unmount(); }
    BlockMount(const BlockMount &) = delete;
    BlockMount &operator=(const BlockMount &) = delete;
    void unmount()
    {
        if (!target_.empty() && ::umount2(target_.c_str(), 0) != 0)
            ::umount2(target_.c_str(), MNT_DETACH);
        target_.clear();
    }

private:
    std::string target_;
};

// A loop device over an image; detach() may be called by the test, after
// which the destructor leaves the (possibly reused) number alone.
class TestLoop {
public:
    explicit TestLoop(const std::string &image)
    {
        requireTool("losetup");
        requireTool("partx");
        std::string out = mustRun("losetup --find --show '" + image + "'");
        while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
            out.pop_back();
        path_ = out;
        name_ = path_.substr(path_.find_last_of('/') + 1);
    }
    ~TestLoop()
    {
        if (attached_)
            detach();
    }
    TestLoop(const TestLoop &) = delete;
    TestLoop &operator=(const TestLoop &) = delete;

    // partx -a (this kernel reads no partition tables itself); waits for the
    // nodes of both partitions.
    void addPartitions()
    {
        mustRun("partx -a '" + path_ + "'");
        for (int i = 0; i < 2000 && !(exists(partition(1)) && exists(partition(2))); ++i)
            usleep(5000);
    }
    void removePartitions() { run("partx -d '" + path_ + "' >/dev/null 2>&1"); }
    void detach()
    {
        removePartitions();
        run("losetup -d '" + path_ + "' 2>/dev/null");
        attached_ = false;
    }
    // Makes the kernel send a "change" event for the disk.
    void poke() const { writeFile("/sys/block/" + name_ + "/uevent", "change"); }

    const std::string &path() const { return path_; }
    const std::string &name() const { return name_; }
    std::string partition(int n) const { return path_ + "p" + std::to_string(n); }

private:
    static bool exists(const std::string &path)
    {
        struct stat info;
        return ::stat(path.c_str(), &info) == 0;
    }
    std::string path_;
    std::string name_;
    bool attached_ = true;
};

} // namespace zvtest
