// The host side of recovery: the target folder, safe creation of folders
// and files under free names, length, times, and the guard that keeps a
// recovery from writing onto the medium it reads.
//
// Implementation notes
//   - Creation is relative to directory descriptors. A folder is made with
//     mkdirat and then opened with O_DIRECTORY | O_NOFOLLOW: when a link, a
//     file or anything else holds the name the open fails (ELOOP, ENOTDIR)
//     and the next free name is tried; the user's thing is never renamed or
//     followed. A file is created with O_CREAT | O_EXCL | O_NOFOLLOW: an
//     existing name, a dangling link included, gives EEXIST.
//   - The medium guard works on device and inode numbers, never on path
//     texts (a file reached through a bind mount, or deleted since a loop
//     device was bound to it, has another path or none). It gathers
//     everything that shows the medium's bytes, each with the span of it
//     that holds them, starting from the medium's own block device or file
//     and its window (a partition medium reading the bytes of its path; a
//     disk-image format read through the file counts the whole file):
//       * a block device: its sysfs folder /sys/dev/block/MAJ:MIN lists its
//         partitions (sub-folders with a "partition" file, their "start"
//         and "size" in 512-byte sectors, and "dev" = "MAJ:MIN") and the
//         devices stacked on it ("holders/", counted whole). Of a disk, the
//         partitions that overlap the span count; of a partition, its disk.
//       * a loop device (storage/loop_devices_linux.h): the file or device
//         it maps, from its offset on. A scan of /dev/loopN is a scan of
//         its backing file.
//       * a file, or a block device: every loop device bound to it (same
//         st_dev and st_ino, or st_rdev for a device) whose window
//         [offset, offset + size) overlaps the span, with its partitions in
//         turn (losetup -P), and whatever is stacked on them.
//       * a block device whose file system holds files: every loop device
//         over one of those files (a disk image kept on the card), counted
//         whole, told by the mount of the loop's file (below).
//     So an image file, the loop devices over it, their partitions and the
//     loop devices over those are one card whichever of them was scanned.
//     A loop device is asked what it maps only when it may show those
//     bytes as far as texts tell (the path sysfs gives for its file, and
//     the mount of /proc/self/mountinfo that holds that path): its file
//     lies on the file system of a file found so far (the mount's MAJ:MIN
//     is that file's st_dev, or that of the mount holding the file: btrfs,
//     FUSE and overlay files carry numbers of their own), or it is a device
//     node's (below /dev, or on devtmpfs), or the texts tell nothing. The
//     kernel answers the ask with a getattr of the loop's file, which on a
//     FUSE mount waits on its server: a loop over a file of an unrelated,
//     stopped FUSE server would hold every recovery for good, and a loop
//     over another file system's file is never over the medium's.
//     A target lies on the medium when its st_dev is one of these devices
//     (a kernel mount of /dev/loopN or /dev/loopNpM gives its files that
//     device's number), or when the mount that holds it names one of them
//     as its source, or a source that lies on a file system of one of them
//     (fuse2fs naming an image kept on the card): btrfs gives its files an
//     anonymous device number of its own (one per subvolume), and so does a
//     FUSE file system (fuse2fs, or ntfs-3g and exfat-fuse mounted as
//     "fuse"), so st_dev alone misses them. The mount is the entry of
//     /proc/self/mountinfo whose mount point is the longest leading part of
//     the target's canonical path (the last such entry: a later mount on the
//     same point covers an earlier one); its source counts when it names a
//     block device or a file (a source on a FUSE mount is not looked up: it
//     is no device node, and its server may not answer). A FUSE mount whose
//     source names a device or file that is not the medium's is not the
//     medium.
//   - Some FUSE file systems name no device in their mount entry (fusefat's
//     source is "fusefat"). A FUSE server holding the medium open serves
//     it: a process other than this one whose /proc/PID/fd lists both
//     /dev/fuse and one of the devices or files above, or a file stored on
//     one of those devices (told by statx of the fd link: the kernel goes to
//     the open file without a lookup, and AT_STATX_DONT_SYNC asks no FUSE
//     server, since a stopped server's files would hang a stat). A server
//     holding /dev/loopN or the file behind it serves the card as surely as
//     one holding the image file. The kernel tells which mount each
//     /dev/fuse serves (/proc/PID/fdinfo/N, "fuse_connection": the mount's
//     device number): those devices join the medium's, and what shows their
//     files in turn, until nothing new turns up. Where the kernel does not
//     tell, a target on any FUSE mount whose source names nothing is
//     refused while such a server holds the medium.
//   - A folder the walk makes or reuses inside the target on another file
//     system than its parent's (a mount point: a folder of the card may be
//     mounted there) is checked the same way before anything goes into it.
//   - The guard is asked before anything is made in the target: a target
//     on the card ends with -12 with no folder made, not even its parents.
//   - The target folder is checked before anything is copied: its parents
//     made, the folder made or reused, and its write permission asked of
//     the system (faccessat: a read-only mount answers EROFS even to root).
//     A host refusal is noted with the path it concerns and the system's
//     reason (a target that is a file names that file), and ends with -3.
//   - A file is written under a temporary name in its folder,
//     ".zv-partial-<pid>-<n>" (RECOVER_TEMP_PREFIX), and given its final name
//     only once it is complete: renameat2 with RENAME_NOREPLACE; where the
//     file system refuses the flag (EINVAL; FUSE file systems do), a hard
//     link to the final name and the unlink of the temporary; where it has
//     no hard links either (exfat-fuse), an empty file made under the final
//     name with O_EXCL and replaced by the rename, so the only thing ever
//     replaced is that placeholder of ours. A name taken at that moment
//     gives the next free name. A killed run leaves at most its temporary,
//     which no later run takes for a recovered file.
#include "scan/recover/recover_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/sysutil.h"
#include "scan/recover/recover.h"
#include "storage/loop_devices_linux.h"
#include "storage/media.h"
#include "storage/mountinfo_linux.h"
#include "storage/sysfs_block_linux.h"

namespace {

constexpr size_t DEVICES_MAX = 1024;   // devices and files considered per medium
constexpr int TEMP_TRIES = 1000;       // temporary names tried in one folder (each is new but for leftovers)
constexpr int64_t SPAN_END = INT64_MAX; // a span that runs to the end of its device or file
constexpr int PARENTS_MAX = 64;        // partition media above a medium

// A byte range [from, to) of a device or file.
struct span {
    int64_t from = 0, to = SPAN_END;
};

// a + b, held at SPAN_END.
int64_t span_add(int64_t a, int64_t b)
{
    return b > SPAN_END - a ? SPAN_END : a + b;
}

// The part of s inside the window [start, start + size) (size 0: to the
// end), counted from start. False when s is empty or misses the window.
bool span_within(span s, int64_t start, int64_t size, span *out)
{
    const int64_t end = size <= 0 ? SPAN_END : span_add(start, size);
    if (s.from >= s.to || s.from >= end || s.to <= start)
        return false;
    out->from = std::max(s.from, start) - start;
    const int64_t to = std::min(s.to, end);
    out->to = to == SPAN_END ? SPAN_END : to - start;
    return true;
}

// s counted from start instead of from the window [start, start + size) it
// lies in (size 0: to the end).
span span_outside(span s, int64_t start, int64_t size)
{
    span out;
    out.from = span_add(start, s.from);
    out.to = std::max(out.from, span_add(start, size <= 0 ? s.to : std::min(s.to, size)));
    return out;
}

// A byte count or position of the kernel's, held at SPAN_END.
int64_t clamped(uint64_t value)
{
    return (int64_t)std::min<uint64_t>(value, (uint64_t)INT64_MAX);
}

// A sysfs attribute in 512-byte sectors, in bytes; -1 when absent or too large.
int64_t sysfs_sector_bytes(const std::string &path)
{
    uint64_t sectors = 0;
    if (!ZV::sysfsNumber(path, &sectors) || sectors > (uint64_t)INT64_MAX / 512)
        return -1;
    return (int64_t)sectors * 512;
}

// What holds the medium's bytes: the block devices whose file systems lie on
// them, and the files (by device and inode) they are read from.
struct medium_guard {
    std::set<dev_t> devices;
    std::set<std::pair<dev_t, ino_t>> files;
    // A FUSE server holds the medium and the kernel does not tell which
    // mounts it serves: every FUSE mount that names nothing may be it.
    bool fuse_unknown = false;
    bool empty() const { return devices.empty() && files.empty(); }
};

// Gathers a medium_guard from the medium's own device or file outwards (see
// the top of this file): each device or file is visited with the span of it
// that holds the medium's bytes, and what else shows those bytes is visited
// in turn, until nothing new turns up (at most DEVICES_MAX visits).
class guard_builder {
public:
    explicit guard_builder(medium_guard *guard) : guard_(guard)
    {
        if (mountinfo_read(nullptr, &mounts_) != 0)
            mounts_.clear();
        for (const ZV::LoopListing &listing : ZV::loopListings("/sys")) {
            loop_entry entry;
            entry.listing = listing;
            entry.place = ZV::loopBackingPlace(listing, mounts_);
            loops_.push_back(entry);
        }
    }

    // The device of the mount that holds path (0 when no mount is found):
    // for a file of a btrfs, FUSE or overlay mount, not its st_dev.
    dev_t mount_of(const char *path) const
    {
        char *resolved = ::realpath(path, nullptr);
        if (resolved == nullptr)
            return 0;
        const MountInfoEntry *mount = mountinfo_mount_for_path(mounts_, resolved);
        std::free(resolved);
        return mount != nullptr ? makedev(mount->major, mount->minor) : 0;
    }

    void block(dev_t device, span window) { push({false, device, 0, 0, window}); }
    // A file by its st_dev and st_ino, and the device of the mount that
    // holds it (0 when unknown).
    void file(dev_t device, ino_t inode, dev_t mount, span window) { push({true, device, inode, mount, window}); }

    void run()
    {
        while (!todo_.empty()) {
            const item next = todo_.back();
            todo_.pop_back();
            if (next.file)
                visit_file(next);
            else
                visit_block(next);
        }
    }

private:
    struct item {
        bool file;
        dev_t device;
        ino_t inode;
        dev_t mount;
        span window;
    };

    // A bound loop device, asked what it maps only once it may show the
    // medium's bytes (see the top of this file).
    struct loop_entry {
        ZV::LoopListing listing;
        ZV::LoopBackingPlace place;
        int asked = 0; // 0 not yet, 1 binding holds the answer, -1 no answer
        ZV::LoopBinding binding;
    };

    void push(const item &it)
    {
        if (seen_.size() >= DEVICES_MAX)
            return;
        if (seen_.insert(std::make_tuple(it.file, (uint64_t)it.device, (uint64_t)it.inode, (uint64_t)it.mount,
                                         it.window.from, it.window.to))
                .second)
            todo_.push_back(it);
    }

    // What the loop maps, asked once; NULL when it does not tell.
    const ZV::LoopBinding *answer(loop_entry &loop)
    {
        if (loop.asked == 0)
            loop.asked = ZV::loopAsk(loop.listing, &loop.binding) ? 1 : -1;
        return loop.asked > 0 ? &loop.binding : nullptr;
    }

    // The loops that may lie over it (`may`, told from texts) and, asked,
    // show the span of what they map: each with the part of it they show.
    template <typename May, typename Maps>
    void loops_over(span window, May may, Maps maps)
    {
        for (loop_entry &loop : loops_) {
            if (!may(loop))
                continue;
            const ZV::LoopBinding *mapped = answer(loop);
            span shown;
            if (mapped != nullptr && maps(*mapped) &&
                span_within(window, clamped(mapped->offset), clamped(mapped->size), &shown))
                block(mapped->loop, shown);
        }
    }

    void visit_file(const item &it)
    {
        guard_->files.insert({it.device, it.inode});
        // Only a loop whose file lies on the file system of this one can
        // be over it; the others are never asked (a stopped FUSE server
        // behind one of them would hold the ask for good).
        loops_over(
            it.window,
            [&](const loop_entry &loop) {
                return !loop.place.known || loop.place.mount_device == it.device ||
                       (it.mount != 0 && loop.place.mount_device == it.mount);
            },
            [&](const ZV::LoopBinding &loop) {
                return loop.file_rdev == 0 && ZV::loopMapsFile(loop, it.device, it.inode);
            });
    }

    void visit_block(const item &it)
    {
        guard_->devices.insert(it.device);
        loops_over(
            it.window, [](const loop_entry &loop) { return !loop.place.known || loop.place.device_node; },
            [&](const ZV::LoopBinding &loop) { return ZV::loopMapsDevice(loop, it.device); });
        // A loop over a file stored in the file system on this device (a
        // disk image kept on the card) writes onto the medium whatever
        // bytes of it it shows: counted whole. The mount table tells where
        // its file lies; a loop it does not place is asked.
        for (loop_entry &loop : loops_) {
            bool inside = false;
            if (loop.place.known) {
                inside = !loop.place.device_node && loop.place.mount_device == it.device;
            } else {
                const ZV::LoopBinding *mapped = answer(loop);
                inside = mapped != nullptr && mapped->file_rdev == 0 && mapped->file_device == it.device;
            }
            if (inside)
                block(loop.listing.loop, span());
        }
        std::string folder, disk_folder;
        if (!ZV::sysfsBlockFolders("/sys", it.device, &folder, &disk_folder))
            return;
        // Devices stacked on it (device mapper and the like) may map any of it.
        for (const std::string &name : ZV::sysfsFolderNames(folder + "/holders")) {
            dev_t holder;
            if (ZV::sysfsDevNumber("/sys/class/block/" + name, &holder))
                block(holder, span());
        }
        if (folder != disk_folder) {
            // A partition: its disk holds its bytes too.
            dev_t disk;
            const int64_t start = sysfs_sector_bytes(folder + "/start");
            const int64_t size = sysfs_sector_bytes(folder + "/size");
            if (ZV::sysfsDevNumber(disk_folder, &disk))
                block(disk, start < 0 || size < 0 ? span() : span_outside(it.window, start, size));
            return;
        }
        const std::vector<ZV::BlockNode> nodes = ZV::sysfsDiskAndPartitions("/sys", it.device);
        for (size_t i = 1; i < nodes.size(); ++i) {
            const int64_t start = sysfs_sector_bytes(nodes[i].folder + "/start");
            const int64_t size = sysfs_sector_bytes(nodes[i].folder + "/size");
            span part;
            if (start < 0 || size <= 0)
                block(nodes[i].number, span()); // unknown window: counted whole
            else if (span_within(it.window, start, size, &part))
                block(nodes[i].number, part);   // else another partition: not the bytes being read
        }
        for (loop_entry &entry : loops_) {
            if (entry.listing.loop != it.device)
                continue;
            // A loop device's bytes are those of what it maps.
            const ZV::LoopBinding *loop = answer(entry);
            if (loop == nullptr)
                continue;
            const span mapped = span_outside(it.window, clamped(loop->offset), clamped(loop->size));
            if (loop->file_rdev != 0)
                block(loop->file_rdev, mapped);
            else
                file(loop->file_device, loop->file_inode, entry.place.known ? entry.place.mount_device : 0, mapped);
        }
    }

    medium_guard *guard_;
    std::vector<MountInfoEntry> mounts_;
    std::vector<loop_entry> loops_;
    std::vector<item> todo_;
    std::set<std::tuple<bool, uint64_t, uint64_t, uint64_t, int64_t, int64_t>> seen_;
};

// The span of its device or file the medium reads: a partition medium's
// window when it reads the bytes of its path (not those of a disk-image
// format read through it), else all of it.
span medium_span(const Media *media)
{
    const Media *top = media;
    for (int i = 0; i < PARENTS_MAX && top->kind == MEDIA_PARTITION && top->parent != nullptr; ++i)
        top = top->parent;
    const bool raw = media->io != nullptr && media->io->vf == nullptr && top->kind != MEDIA_IMAGE &&
                     top->kind != MEDIA_PARTITION;
    span window;
    if (raw && media->kind == MEDIA_PARTITION && media->start_pos >= 0 && media->stop_pos > media->start_pos) {
        window.from = media->start_pos;
        window.to = media->stop_pos;
    }
    return window;
}

// The target of the link at path ("" when it is none).
std::string link_text(const std::string &path)
{
    char text[4096];
    const ssize_t n = ::readlink(path.c_str(), text, sizeof text);
    return n > 0 && (size_t)n < sizeof text ? std::string(text, (size_t)n) : std::string();
}

// An open file of a FUSE server: a block device by its number, or a
// regular file by its st_dev and st_ino.
struct held_file {
    bool block = false;
    dev_t device = 0; // st_rdev of a block device, st_dev of a file
    ino_t inode = 0;
};

// A FUSE server (a process other than this one holding /dev/fuse open):
// the file systems it serves, as the kernel tells them, and what it holds
// open.
struct fuse_server {
    std::vector<dev_t> serves; // the devices of its mounts
    bool serves_known = true;  // every /dev/fuse of it told its mount
    std::vector<held_file> held;
};

// The device of the FUSE mount that the /dev/fuse open at fd N of process
// pid serves, from /proc/PID/fdinfo/N ("fuse_connection:", the mount's
// device number in the kernel's encoding: major above bit 20). False when
// the kernel does not tell it.
bool fuse_connection(const std::string &pid, const std::string &fd, dev_t *device)
{
    const std::string path = "/proc/" + pid + "/fdinfo/" + fd;
    std::FILE *f = std::fopen(path.c_str(), "re");
    if (f == nullptr)
        return false;
    char line[256];
    bool found = false;
    unsigned long value = 0;
    while (!found && std::fgets(line, sizeof line, f) != nullptr)
        found = std::sscanf(line, "fuse_connection: %lu", &value) == 1;
    std::fclose(f);
    if (found)
        *device = makedev((unsigned int)(value >> 20), (unsigned int)(value & 0xfffff));
    return found;
}

// The open file behind /proc/PID/fd/N, when it is a block device or a
// regular file. The link is followed by the kernel to the open file itself
// (no lookup in its file system), and the stat asks no FUSE server.
bool held_file_of(const std::string &link, held_file *out)
{
    struct statx st;
    if (::statx(AT_FDCWD, link.c_str(), AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO, &st) != 0)
        return false;
    if (S_ISBLK(st.stx_mode)) {
        out->block = true;
        out->device = makedev(st.stx_rdev_major, st.stx_rdev_minor);
        return true;
    }
    if (!S_ISREG(st.stx_mode))
        return false;
    out->device = makedev(st.stx_dev_major, st.stx_dev_minor);
    out->inode = (ino_t)st.stx_ino;
    return true;
}

// Every FUSE server of the machine that this process may look at.
std::vector<fuse_server> fuse_servers()
{
    std::vector<fuse_server> out;
    DIR *proc = ::opendir("/proc");
    if (proc == nullptr)
        return out;
    const std::string self = std::to_string((long)::getpid());
    while (const struct dirent *entry = ::readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        const std::string folder = "/proc/" + pid + "/fd";
        DIR *fds = ::opendir(folder.c_str());
        if (fds == nullptr)
            continue; // gone, or not ours to see
        fuse_server server;
        bool fuse = false;
        std::vector<std::string> files;
        while (const struct dirent *fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.')
                continue;
            const std::string link = folder + "/" + fd->d_name;
            const std::string text = link_text(link);
            if (text == "/dev/fuse") {
                fuse = true;
                dev_t served;
                if (fuse_connection(pid, fd->d_name, &served))
                    server.serves.push_back(served);
                else
                    server.serves_known = false;
            } else if (!text.empty() && text[0] == '/' && files.size() < DEVICES_MAX) {
                files.push_back(link); // sockets, pipes and the like are never the medium
            }
        }
        ::closedir(fds);
        if (!fuse)
            continue;
        for (const std::string &link : files) {
            held_file held;
            if (held_file_of(link, &held))
                server.held.push_back(held);
        }
        out.push_back(server);
    }
    ::closedir(proc);
    return out;
}

// Whether the server holds one of the guard's devices, one of its files,
// or a file stored in a file system on one of its devices (a disk image
// kept on the card).
bool server_holds(const fuse_server &server, const medium_guard &guard)
{
    for (const held_file &held : server.held) {
        if (held.block ? guard.devices.count(held.device) != 0
                       : guard.files.count({held.device, held.inode}) != 0 || guard.devices.count(held.device) != 0)
            return true;
    }
    return false;
}

medium_guard guard_of(Media *media)
{
    medium_guard guard;
    const char *path = media != nullptr ? media_path(media) : nullptr;
    struct stat st;
    if (path == nullptr || ::stat(path, &st) != 0)
        return guard;
    guard_builder builder(&guard);
    if (S_ISBLK(st.st_mode))
        builder.block(st.st_rdev, medium_span(media));
    else if (S_ISREG(st.st_mode))
        builder.file(st.st_dev, st.st_ino, builder.mount_of(path), medium_span(media));
    else
        return guard;
    builder.run();
    // The file systems a FUSE server holding the medium serves are the
    // medium's too, and so is whatever shows their files in turn (a loop
    // over an image kept on them, a server holding such a file).
    const std::vector<fuse_server> servers = fuse_servers();
    std::vector<bool> taken(servers.size(), false);
    for (bool grew = true; grew;) {
        grew = false;
        for (size_t i = 0; i < servers.size(); ++i) {
            if (taken[i] || !server_holds(servers[i], guard))
                continue;
            taken[i] = grew = true;
            if (!servers[i].serves_known)
                guard.fuse_unknown = true;
            for (dev_t served : servers[i].serves)
                builder.block(served, span());
        }
        builder.run();
    }
    return guard;
}

bool is_fuse_type(const std::string &type)
{
    return type == "fuse" || type == "fuseblk" || type.rfind("fuse.", 0) == 0;
}

// Path itself, or its nearest existing parent ("." or "/" at worst), with
// its stat.
bool nearest_existing(const std::string &path, std::string *at_out, struct stat *st)
{
    std::string at = path.empty() ? "." : path;
    for (int guard = 0; guard < 4096; ++guard) {
        if (::stat(at.c_str(), st) == 0) {
            *at_out = at;
            return true;
        }
        if (errno != ENOENT && errno != ENOTDIR)
            return false;
        while (at.size() > 1 && at.back() == '/')
            at.pop_back();
        const size_t slash = at.rfind('/');
        if (slash == std::string::npos)
            at = ".";
        else if (slash == 0)
            at = "/";
        else
            at.resize(slash);
    }
    return false;
}

// Whether the mount holding the canonical path is on the medium: its
// source names one of the medium's devices or files, or lies on a file
// system of the medium (a disk image kept on the card); or it is a FUSE file
// system whose source tells nothing (fusefat's is "fusefat") while a server
// of which the kernel does not tell the mounts holds the medium (where it
// tells, the served mount's device is one of the guard's already).
bool mount_on_medium(const std::string &canonical, const medium_guard &guard)
{
    std::vector<MountInfoEntry> mounts;
    if (mountinfo_read(nullptr, &mounts) != 0)
        return false;
    const MountInfoEntry *mount = mountinfo_mount_for_path(mounts, canonical);
    if (mount == nullptr)
        return false;
    const std::string &source = mount->source;
    const MountInfoEntry *source_mount =
        !source.empty() && source[0] == '/' ? mountinfo_mount_for_path(mounts, source) : nullptr;
    if (source_mount != nullptr) {
        if (guard.devices.count(makedev(source_mount->major, source_mount->minor)) != 0)
            return true;
        // A source on a FUSE mount (fuse2fs names its image file) is not
        // looked up: its server may not answer.
        struct stat st;
        if (!is_fuse_type(source_mount->fs_type) && ::stat(source.c_str(), &st) == 0) {
            if (S_ISBLK(st.st_mode))
                return guard.devices.count(st.st_rdev) != 0;
            if (S_ISREG(st.st_mode))
                return guard.files.count({st.st_dev, st.st_ino}) != 0 || guard.devices.count(st.st_dev) != 0;
        }
    }
    return is_fuse_type(mount->fs_type) && guard.fuse_unknown;
}

// Whether path (or its nearest existing parent) lies on the medium: by its
// st_dev, or by the mount that holds it.
bool on_devices(const std::string &path, const medium_guard &guard)
{
    if (guard.empty())
        return false;
    std::string at;
    struct stat st;
    if (!nearest_existing(path, &at, &st))
        return false;
    if (guard.devices.count(st.st_dev) != 0)
        return true;
    char *resolved = ::realpath(at.c_str(), nullptr);
    if (resolved == nullptr)
        return false;
    const std::string canonical = resolved;
    std::free(resolved);
    return mount_on_medium(canonical, guard);
}

// on_devices for a folder just opened at path, its descriptor checked too.
bool opened_on_devices(int fd, const std::string &path, const medium_guard &guard)
{
    struct stat st;
    if (guard.empty())
        return false;
    return (::fstat(fd, &st) == 0 && guard.devices.count(st.st_dev) != 0) || on_devices(path, guard);
}

// Notes the target refused by the host: the path concerned and why.
void note_target(const std::string &path, int errnum)
{
    recover_note note;
    note.path = path;
    note.errnum = errnum;
    note.host = 1;
    recover_note_add(note);
}

// The first leading part of path that exists and is not a folder ("" when
// none): what a mkdir failing with ENOTDIR ran into.
std::string first_non_folder(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        const std::string prefix = path.substr(0, i);
        struct stat st;
        if (::stat(prefix.c_str(), &st) != 0)
            return "";
        if (!S_ISDIR(st.st_mode))
            return prefix;
    }
    return "";
}

bool refuses_name(int errnum)
{
    return errnum == EINVAL;
}

// mkdir -p on the path's bytes as given (the user's folder: links followed).
// -1 with errno and *failed = the folder that could not be made (or the
// file in its way).
int make_parents(const std::string &path, std::string *failed)
{
    *failed = path;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        if (path[i - 1] == '/')
            continue;
        const std::string prefix = path.substr(0, i);
        if (::mkdir(prefix.c_str(), 0777) == 0 || errno == EEXIST)
            continue;
        const int e = errno;
        const std::string in_the_way = e == ENOTDIR ? first_non_folder(prefix) : "";
        *failed = in_the_way.empty() ? prefix : in_the_way;
        errno = e;
        return -1;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        const std::string in_the_way = first_non_folder(path);
        *failed = in_the_way.empty() ? path : in_the_way;
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

} // namespace

std::string recover_errno_text(int errnum)
{
    char buffer[256];
    zv_strerror_r(errnum, buffer, sizeof buffer);
    return buffer;
}

int recover_path_on_medium(const char *path, Media *media)
{
    if (path == nullptr || media == nullptr)
        return 0;
    return on_devices(path, guard_of(media)) ? 1 : 0;
}

namespace recover_host {

bool is_target_full(int errnum)
{
    return errnum == ENOSPC || errnum == EDQUOT || errnum == EFBIG || errnum == EROFS || errnum == EIO;
}

// Walks the free-name series of a name: the name itself (from `first` on),
// then "name-01" .. "name-4998". `attempt` is given each candidate and
// returns 0 when it is done, 1 when the name is taken (next one), or -1 with
// errno set; a name the target file system refuses (a FAT or NTFS target)
// is tried once more in its Windows-safe form, from the start. -37 when the
// series runs out.
template <typename Attempt>
static int walk_free_names(const std::string &name, int first, const char *who, Attempt attempt)
{
    std::string base = name;
    bool retried = false;
    for (int n = first; n <= RECOVER_MAX_SUFFIX; ++n) {
        const std::string candidate = n == 0 ? base : recover_numbered_variant(base, n);
        const int rc = attempt(candidate, n, retried);
        if (rc == 0)
            return 0;
        if (rc > 0)
            continue;
        if (refuses_name(errno) && !retried) {
            retried = true;
            base = recover_windows_safe_name(base);
            n = -1;
            continue;
        }
        return -1;
    }
    log_error("%s: too many renames for %s", who, name.c_str());
    return -37;
}

int make_folder_at(int parent_fd, const std::string &name, int *fd, std::string *made, bool *created)
{
    return walk_free_names(name, 0, "make_folder_at", [&](const std::string &candidate, int, bool) {
        bool made_here = false;
        if (::mkdirat(parent_fd, candidate.c_str(), 0777) == 0)
            made_here = true;
        else if (errno != EEXIST)
            return -1;
        const int opened = ::openat(parent_fd, candidate.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (opened >= 0) {
            *fd = opened;
            *made = candidate;
            *created = made_here;
            return 0;
        }
        if (errno != ELOOP && errno != ENOTDIR)
            return -1;
        // A file, a link or something else holds the name (or took it
        // since): the folder goes under the next free name.
        return 1;
    });
}

// Where the free-name series of a name in a folder went on last time, so
// that a card folder holding thousands of entries of one name costs one
// try per file rather than thousands (the names before it were taken when
// it was given out). Kept per thread and bounded; a miss only means
// starting from the name itself again.
static int *free_name_hint(int parent_fd, const std::string &name)
{
    constexpr size_t kMaxHints = 65536;
    thread_local std::unordered_map<std::string, int> hints;
    struct stat folder;
    if (::fstat(parent_fd, &folder) != 0)
        return nullptr;
    if (hints.size() >= kMaxHints)
        hints.clear();
    const std::string key = std::to_string(folder.st_dev) + ":" + std::to_string(folder.st_ino) + ":" + name;
    return &hints[key];
}

int create_temp_at(int parent_fd, int *fd, std::string *temp)
{
    static std::atomic<uint32_t> sequence{0};
    char name[64];
    for (int tries = 0; tries < TEMP_TRIES; ++tries) {
        std::snprintf(name, sizeof name, "%s%ld-%u", RECOVER_TEMP_PREFIX, (long)::getpid(), sequence.fetch_add(1) + 1);
        const int opened =
            ::openat(parent_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (opened >= 0) {
            *fd = opened;
            *temp = name;
            return 0;
        }
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

// Gives the complete file at temp the name final when nothing holds it (see
// the top of this file). 0 when done, 1 when the name is taken, or -1 with
// errno (EINVAL when the file system refuses the name itself).
static int publish_at(int parent_fd, const std::string &temp, const std::string &final_name)
{
    if (::renameat2(parent_fd, temp.c_str(), parent_fd, final_name.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno == EEXIST)
        return 1;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    // The flag refused (or the name: the link and the create below tell).
    if (::linkat(parent_fd, temp.c_str(), parent_fd, final_name.c_str(), 0) == 0) {
        ::unlinkat(parent_fd, temp.c_str(), 0);
        return 0;
    }
    if (errno == EEXIST)
        return 1;
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK)
        return -1;
    // No hard links either: an empty placeholder of ours takes the name,
    // and only it is replaced.
    const int placeholder =
        ::openat(parent_fd, final_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (placeholder < 0)
        return errno == EEXIST ? 1 : -1;
    ::close(placeholder);
    if (::renameat(parent_fd, temp.c_str(), parent_fd, final_name.c_str()) == 0)
        return 0;
    const int e = errno;
    ::unlinkat(parent_fd, final_name.c_str(), 0);
    errno = e;
    return -1;
}

int commit_file_at(int parent_fd, const std::string &temp, const std::string &name, std::string *made)
{
    int *hint = free_name_hint(parent_fd, name);
    int first = 0;
    if (hint != nullptr && *hint > 0) {
        // Only while the name given out last is still there (the folder may
        // be a new one that reuses an old folder's inode number).
        struct stat taken;
        const std::string last = *hint == 1 ? name : recover_numbered_variant(name, *hint - 1);
        if (::fstatat(parent_fd, last.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0)
            first = *hint;
    }
    return walk_free_names(name, first, "recover_file", [&](const std::string &candidate, int n, bool retried) {
        const int rc = publish_at(parent_fd, temp, candidate);
        if (rc == 0) {
            *made = candidate;
            if (hint != nullptr && !retried)
                *hint = n + 1;
        }
        return rc;
    });
}

int reserve(int fd, uint64_t size)
{
    if (size == 0)
        return 0;
    if (size > (uint64_t)INT64_MAX) {
        errno = EFBIG;
        return -1;
    }
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, (off_t)size) == 0)
        return 0;
    // A file system without it (exFAT, many FUSE file systems) is written
    // as it comes.
    return errno == EOPNOTSUPP || errno == ENOSYS ? 0 : -1;
}

bool folder_on_medium(int parent_fd, int fd, Media *media)
{
    struct stat parent, folder;
    if (::fstat(parent_fd, &parent) != 0 || ::fstat(fd, &folder) != 0 || parent.st_dev == folder.st_dev)
        return false;
    const medium_guard guard = guard_of(media);
    if (guard.empty())
        return false;
    if (guard.devices.count(folder.st_dev) != 0)
        return true;
    // The mount is found by the folder's path as the kernel gives it for the
    // descriptor (none past PATH_MAX: then its device alone tells).
    const std::string canonical = link_text("/proc/self/fd/" + std::to_string(fd));
    return !canonical.empty() && canonical[0] == '/' && mount_on_medium(canonical, guard);
}

int open_target(const char *caller, const char *target, int named, Media *media, int *fd, std::string *path)
{
    if (target == nullptr || *target == '\0') {
        log_error("%s: no target folder", caller);
        errno = EINVAL;
        return -1;
    }
    std::string full = target;
    while (full.size() > 1 && full.back() == '/')
        full.pop_back();
    if (full.size() >= RECOVER_PATH_MAX) {
        log_error("%s: target folder path too long: %s", caller, full.c_str());
        errno = ENAMETOOLONG;
        return -1;
    }
    const medium_guard guard = guard_of(media);
    if (on_devices(full, guard)) {
        log_error("%s: target folder %s is on the medium being recovered (%s)", caller, full.c_str(),
                  media_path(media));
        return -12;
    }
    // The user's folder (parent), and the names the program gives below it
    // (outermost first).
    std::string parent = full;
    std::vector<std::string> names;
    while ((int)names.size() < named && parent != "/" && parent != ".") {
        const size_t slash = parent.rfind('/');
        names.insert(names.begin(), slash == std::string::npos ? parent : parent.substr(slash + 1));
        parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
        while (parent.size() > 1 && parent.back() == '/')
            parent.pop_back();
    }
    std::string failed;
    if (make_parents(parent, &failed) != 0) {
        const int e = errno;
        log_error("%s: Can't make folder \"%s\": %s", caller, failed.c_str(), recover_errno_text(e).c_str());
        note_target(failed, e);
        errno = e;
        return -3;
    }
    const int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent_fd < 0) {
        const int e = errno;
        log_error("%s: Can't open folder \"%s\": %s", caller, parent.c_str(), recover_errno_text(e).c_str());
        note_target(parent, e);
        errno = e;
        return -3;
    }
    if (opened_on_devices(parent_fd, parent, guard)) {
        ::close(parent_fd);
        log_error("%s: target folder %s is on the medium being recovered (%s)", caller, full.c_str(),
                  media_path(media));
        return -12;
    }
    std::string opened = parent, front = parent;
    *fd = parent_fd;
    for (const std::string &name : names) {
        std::string made;
        bool created = false;
        const int outer = *fd;
        const int rc = make_folder_at(outer, name, fd, &made, &created);
        const int e = errno;
        ::close(outer);
        const std::string wanted = (opened == "/" ? "" : opened) + "/" + name;
        if (rc != 0) {
            *fd = -1;
            if (rc != -1)
                return rc;
            log_error("%s: Can't mkdir \"%s\": %s", caller, wanted.c_str(), recover_errno_text(e).c_str());
            note_target(wanted, e);
            errno = e;
            return -3;
        }
        opened = (opened == "/" ? "" : opened) + "/" + made;
        if (&name == &names.front())
            front = opened;
        if (opened_on_devices(*fd, opened, guard)) {
            // The folder was there already, as a mount point of the medium.
            ::close(*fd);
            *fd = -1;
            log_error("%s: target folder %s is on the medium being recovered (%s)", caller, full.c_str(),
                      media_path(media));
            return -12;
        }
    }
    // A folder that exists already (or "/") may still refuse new files.
    if (::faccessat(*fd, ".", W_OK | X_OK, 0) != 0) {
        const int e = errno;
        ::close(*fd);
        *fd = -1;
        log_error("%s: Can't write in folder \"%s\": %s", caller, opened.c_str(), recover_errno_text(e).c_str());
        note_target(opened, e);
        errno = e;
        return -3;
    }
    *path = opened;
    recover_target_opened(front.c_str());
    return 0;
}

int write_all(int fd, const void *data, size_t n, uint64_t offset)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (n > 0) {
        const ssize_t wrote = ::pwrite(fd, p, n, (off_t)offset);
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (wrote == 0) {
            errno = ENOSPC;
            return -1;
        }
        p += wrote;
        n -= (size_t)wrote;
        offset += (uint64_t)wrote;
    }
    return 0;
}

int set_times(int fd, int64_t seconds)
{
    if (seconds <= 0)
        return 0;
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = (time_t)seconds;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    return ::futimens(fd, times);
}

int close_checked(int fd)
{
    if (::close(fd) == 0)
        return 0;
    // Linux releases the descriptor even when close reports an error; the
    // error (EIO, ENOSPC, EDQUOT on network and some local file systems)
    // means written data may be lost.
    return errno == EINTR ? 0 : -1;
}

} // namespace recover_host
