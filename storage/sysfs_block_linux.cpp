// Block devices and their partitions from sysfs. See sysfs_block_linux.h
// for the files read.
#include "storage/sysfs_block_linux.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "foundation/paths.h"
#include "foundation/text.h"

namespace ZV {

namespace {

std::string devFolder(const std::string &sysfs_root, dev_t device)
{
    return sysfs_root + "/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

bool isPartitionFolder(const std::string &folder)
{
    struct stat info;
    return ::stat((folder + "/partition").c_str(), &info) == 0;
}

} // namespace

std::string sysfsAttribute(const std::string &path)
{
    std::string text = readTextFile(path);
    return trim(text);
}

bool sysfsNumber(const std::string &path, uint64_t *value)
{
    const std::string text = sysfsAttribute(path);
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0)
        return false;
    *value = parsed;
    return true;
}

bool sysfsDevNumber(const std::string &folder, dev_t *number)
{
    const std::string text = sysfsAttribute(folder + "/dev");
    const std::string::size_type colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || colon > 10 ||
        text.size() - colon > 11 || text.find_first_not_of("0123456789:") != std::string::npos ||
        text.find(':', colon + 1) != std::string::npos)
        return false;
    *number = makedev(std::strtoul(text.c_str(), nullptr, 10), std::strtoul(text.c_str() + colon + 1, nullptr, 10));
    return true;
}

std::vector<std::string> sysfsFolderNames(const std::string &folder)
{
    std::vector<std::string> names;
    DIR *dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        if (names.size() >= static_cast<size_t>(kSysfsMaxFolderEntries))
            break;
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

std::string sysfsRealPath(const std::string &path)
{
    char *resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return std::string();
    std::string out(resolved);
    std::free(resolved);
    return out;
}

std::string sysfsDevicePath(const std::string &kernel_name)
{
    std::string path = "/dev/" + kernel_name;
    std::replace(path.begin() + 5, path.end(), '!', '/');
    return path;
}

bool sysfsBlockFolders(const std::string &sysfs_root, dev_t device, std::string *folder, std::string *disk_folder)
{
    const std::string real = sysfsRealPath(devFolder(sysfs_root, device));
    if (real.empty())
        return false;
    *folder = real;
    *disk_folder = isPartitionFolder(real) ? real.substr(0, real.find_last_of('/')) : real;
    return true;
}

std::string sysfsDevicePathForDevNum(const std::string &sysfs_root, dev_t device)
{
    std::string folder, disk;
    if (!sysfsBlockFolders(sysfs_root, device, &folder, &disk))
        return std::string();
    const std::string name = path_basename(disk.c_str());
    return name.empty() ? std::string() : sysfsDevicePath(name);
}

std::vector<BlockNode> sysfsDiskAndPartitions(const std::string &sysfs_root, dev_t disk)
{
    std::vector<BlockNode> nodes;
    const std::string folder = sysfsRealPath(devFolder(sysfs_root, disk));
    nodes.push_back(
        BlockNode{disk, folder.empty() ? std::string() : sysfsDevicePath(path_basename(folder.c_str())), folder});
    if (folder.empty())
        return nodes;
    for (const std::string &name : sysfsFolderNames(folder)) {
        const std::string sub = folder + "/" + name;
        dev_t number;
        if (isPartitionFolder(sub) && sysfsDevNumber(sub, &number))
            nodes.push_back(BlockNode{number, sysfsDevicePath(name), sub});
    }
    return nodes;
}

} // namespace ZV
