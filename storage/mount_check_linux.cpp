// rawdisk_is_mounted: whether the system is using a block device.
//
// Two checks, either of which is enough:
//
// 1. The mount table. Each line of /proc/self/mountinfo reads
//
//      36 35 8:17 / /media/card rw,noatime shared:1 - ext4 /dev/sdb1 rw
//      ^id ^parent ^major:minor of the mounted device (field 3)
//
//    and field 3 is compared with the device number of the device itself
//    and of each of its partitions. The partitions are found in sysfs:
//    /sys/dev/block/MAJ:MIN is the device's folder, and each partition is a
//    subfolder holding a "partition" file and a "dev" file ("MAJ:MIN\n").
//    Comparing numbers, not names, catches mounts made through any alias
//    of the device node (/dev/disk/by-id/..., a second node, a bind mount).
//
// 2. An exclusive open (O_EXCL on a block device): the kernel refuses it
//    with EBUSY while a mount, swap or the device mapper holds the device or
//    one of its partitions, or another process holds it open exclusively.
//    This also covers mounts in other mount namespaces and file systems that
//    report an anonymous device number (several-device file systems), which
//    the mount table of this process cannot show.
//
// Not promised: a device used through a plain (not exclusive) open by
// another program counts as free, and a mount made just after the answer is
// not seen.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/fileops.h"
#include "storage/raw_disk.h"

namespace {

// Bound on the sysfs entries looked at under one device (a disk has a few
// dozen attributes and at most a few hundred partitions).
constexpr int maxSysfsEntries = 4096;

// Parses "MAJ:MIN" at text (digits only, up to stop or the end). False for
// anything else.
bool parseDeviceNumber(const char *text, const char *stop, dev_t *out)
{
    unsigned long major = 0, minor = 0;
    const char *p = text;
    auto number = [&p, stop](unsigned long *value) {
        const char *start = p;
        while (p < stop && *p >= '0' && *p <= '9' && p - start < 10)
            *value = *value * 10 + static_cast<unsigned long>(*p++ - '0');
        return p != start && (p == stop || *p < '0' || *p > '9');
    };
    if (!number(&major) || p >= stop || *p != ':')
        return false;
    ++p;
    if (!number(&minor))
        return false;
    *out = makedev(major, minor);
    return true;
}

// Reads the "dev" file of a sysfs block folder.
bool readDevFile(const std::string &folder, dev_t *out)
{
    FILE *file = std::fopen((folder + "/dev").c_str(), "re");
    if (file == nullptr)
        return false;
    char text[32];
    const size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    size_t end = 0;
    while (end < got && text[end] != '\n' && text[end] != '\0')
        ++end;
    return parseDeviceNumber(text, text + end, out);
}

// The device number itself, then those of its partitions.
std::vector<dev_t> deviceAndPartitions(dev_t device)
{
    std::vector<dev_t> numbers{device};
    const std::string folder =
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr)
        return numbers; // no sysfs entry: the device alone is checked
    int seen = 0;
    while (const dirent *entry = readdir(dir)) {
        if (++seen > maxSysfsEntries)
            break;
        if (entry->d_name[0] == '.')
            continue;
        const std::string sub = folder + "/" + entry->d_name;
        dev_t number;
        if (access((sub + "/partition").c_str(), F_OK) == 0 && readDevFile(sub, &number))
            numbers.push_back(number);
    }
    closedir(dir);
    return numbers;
}

// True when field 3 of a line of /proc/self/mountinfo is one of numbers.
bool listedAsMountSource(const std::vector<dev_t> &numbers)
{
    FILE *file = std::fopen("/proc/self/mountinfo", "re");
    if (file == nullptr)
        return false;
    bool found = false;
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while (!found && (length = getline(&line, &capacity, file)) > 0) {
        const char *end = line + length;
        const char *field = line;
        for (int skip = 0; skip < 2 && field != nullptr; ++skip) {
            field = static_cast<const char *>(std::memchr(field, ' ', static_cast<size_t>(end - field)));
            if (field != nullptr)
                ++field;
        }
        if (field == nullptr)
            continue;
        const char *stop = static_cast<const char *>(std::memchr(field, ' ', static_cast<size_t>(end - field)));
        dev_t number;
        if (!parseDeviceNumber(field, stop != nullptr ? stop : end, &number))
            continue;
        for (dev_t candidate : numbers)
            found = found || candidate == number;
    }
    std::free(line);
    std::fclose(file);
    return found;
}

} // namespace

int rawdisk_is_mounted(const char *path)
{
    struct stat info;
    if (path == nullptr || utf8_stat(path, &info) != 0 || !S_ISBLK(info.st_mode))
        return -1;
    if (listedAsMountSource(deviceAndPartitions(info.st_rdev)))
        return 1;
    const int fd = utf8_open(path, O_RDONLY | O_EXCL | O_NONBLOCK, 0);
    if (fd >= 0) {
        close(fd);
        return 0;
    }
    // Any other failure (no permission, medium gone) tells nothing about use.
    return errno == EBUSY ? 1 : 0;
}
