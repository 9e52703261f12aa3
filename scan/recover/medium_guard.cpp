// The medium guard: whether a path, a folder or a file open lies on the
// bytes of the medium a recovery or a scan reads (see medium_guard.h).
//
// Implementation notes
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
//     /dev/fuse and one of the devices or files above, or a file or folder
//     stored on one of those devices (unionfs-fuse holds its branch folders
//     open); told by statx of the fd link: the kernel goes to the open file
//     without a lookup, and AT_STATX_DONT_SYNC asks no FUSE server, since a
//     stopped server's files would hang a stat. A server
//     holding /dev/loopN or the file behind it serves the card as surely as
//     one holding the image file. The kernel tells which mount each
//     /dev/fuse serves (/proc/PID/fdinfo/N, "fuse_connection": the mount's
//     device number): those devices join the medium's, and what shows their
//     files in turn, until nothing new turns up. Where the kernel does not
//     tell, a target on any FUSE mount whose source names nothing is
//     refused while such a server holds the medium.
//   - An overlay lies on every file system that holds its upper folder or
//     its work folder: the mount's super options name them ("upperdir=",
//     "workdir=", escaped as the kernel writes options: a blank or a comma
//     in them is "\040", "\054"; within that, the text given at mount
//     time, where "\," stands for a comma), and each is looked up as a
//     target is. Its lower folders are never written. An overlay's upper
//     folder may lie on another overlay; the kernel stacks at most two, the
//     guard looks through OVERLAYS_MAX.
//   - A FUSE server that holds nothing open between requests (one passing
//     each request through to a folder, opening the file behind a file only
//     while the kernel's file is open) is seen only while a file of it is
//     open: the FUSE servers are looked at again then
//     (medium_guard_open_file_on). Before anything is made on a FUSE mount,
//     a file of the nearest existing folder of the target is opened for
//     reading and asked about while it is open; only when that does not
//     tell (no file there, or one of a union's read-only branches) is an
//     empty file made there, asked about and removed (medium_guard_probe_on).
//     So no folder is made on the card on the way to the first file, and no
//     file either where one of the card's own shows the server holding it
//     (a file made there takes the directory entry of a deleted one).
#include "scan/recover/medium_guard.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "foundation/file.h"
#include "scan/recover/recover.h"
#include "scan/recover/recover_internal.h"
#include "storage/loop_devices_linux.h"
#include "storage/media.h"
#include "storage/mountinfo_linux.h"
#include "storage/sysfs_block_linux.h"

namespace {

constexpr size_t DEVICES_MAX = 1024;   // devices and files considered per medium
constexpr int64_t SPAN_END = INT64_MAX; // a span that runs to the end of its device or file
constexpr int PARENTS_MAX = 64;        // partition media above a medium
constexpr int OVERLAYS_MAX = 8;        // overlays looked through to their upper folders (the kernel stacks two)
constexpr int FILES_LOOKED = 4096;     // entries of a folder looked through for a file to open as a probe

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
// regular file or a folder by its st_dev and st_ino.
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

// The open file behind /proc/PID/fd/N, when it is a block device, a
// regular file or a folder (a union file system's server holds its branch
// folders open). The link is followed by the kernel to the open file itself
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
    if (!S_ISREG(st.stx_mode) && !S_ISDIR(st.stx_mode))
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
// or a file or folder stored in a file system on one of its devices (a disk
// image kept on the card, a union's branch on the card).
bool server_holds(const fuse_server &server, const medium_guard &guard)
{
    for (const held_file &held : server.held) {
        if (held.block ? guard.devices.count(held.device) != 0
                       : guard.files.count({held.device, held.inode}) != 0 || guard.devices.count(held.device) != 0)
            return true;
    }
    return false;
}

// The guard of the device or file at path, the span of it that holds the
// medium's bytes given.
medium_guard guard_of(const char *path, span window)
{
    medium_guard guard;
    struct stat st;
    if (path == nullptr || ::stat(path, &st) != 0)
        return guard;
    guard_builder builder(&guard);
    if (S_ISBLK(st.st_mode))
        builder.block(st.st_rdev, window);
    else if (S_ISREG(st.st_mode))
        builder.file(st.st_dev, st.st_ino, builder.mount_of(path), window);
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

bool on_devices(const std::string &path, const medium_guard &guard, int depth);

// A folder of an overlay's options as the overlay took it: the kernel shows
// the text given at mount time, in which a backslash makes the character
// after it plain ("\," a comma, "\\" a backslash).
std::string overlay_unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        out += text[i] == '\\' && i + 1 < text.size() ? text[++i] : text[i];
    return out;
}

// Whether the mount holding the canonical path is on the medium: its
// source names one of the medium's devices or files, or lies on a file
// system of the medium (a disk image kept on the card); or it is an overlay
// whose upper or work folder lies on the medium; or it is a FUSE file
// system whose source tells nothing (fusefat's is "fusefat") while a server
// of which the kernel does not tell the mounts holds the medium (where it
// tells, the served mount's device is one of the guard's already). depth:
// overlays looked through so far.
bool mount_on_medium(const std::string &canonical, const medium_guard &guard, int depth)
{
    std::vector<MountInfoEntry> mounts;
    if (mountinfo_read(nullptr, &mounts) != 0)
        return false;
    const MountInfoEntry *mount = mountinfo_mount_for_path(mounts, canonical);
    if (mount == nullptr)
        return false;
    if (mount->fs_type == "overlay") {
        // Whatever is written into an overlay goes into its upper folder
        // (by way of its work folder); its lower folders are never written.
        for (const char *option : {"upperdir", "workdir"}) {
            std::string folder;
            if (depth < OVERLAYS_MAX && mountinfo_option_value(mount->super_options_raw, option, &folder) &&
                !folder.empty() && folder[0] == '/' && on_devices(overlay_unescape(folder), guard, depth + 1))
                return true;
        }
        return false;
    }
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
// st_dev, or by the mount that holds it (depth: see mount_on_medium).
bool on_devices(const std::string &path, const medium_guard &guard, int depth)
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
    return mount_on_medium(canonical, guard, depth);
}

// Whether the open file is on a FUSE mount (fuseblk included).
bool on_fuse(int fd)
{
    struct statfs fs;
    return ::fstatfs(fd, &fs) == 0 && fs.f_type == FUSE_SUPER_MAGIC;
}

// A regular file of the folder, opened for reading (and never read), or -1
// when the first FILES_LOOKED entries hold none.
int open_existing_file(int folder)
{
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (dir == nullptr) {
        if (listing >= 0)
            ::close(listing);
        return -1;
    }
    int fd = -1;
    struct stat st;
    for (int looked = 0; fd < 0 && looked < FILES_LOOKED; ++looked) {
        const struct dirent *entry = ::readdir(dir);
        if (entry == nullptr)
            break;
        if ((entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) ||
            ::fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        fd = ::openat(folder, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd); // something else took the name since
            fd = -1;
        }
    }
    ::closedir(dir);
    return fd;
}

// Whether the nearest existing folder of path is on a FUSE mount and
// open_on(fd) says so of a file of it open: first of a file there already,
// opened for reading, so that nothing is made on a card the folder shows;
// else (none there, or a server that may put new files elsewhere than
// those it has: a union) of a file made in it, removed at once.
template <typename OpenOn>
bool probe_on(const std::string &path, OpenOn open_on)
{
    std::string at;
    struct stat st;
    if (!nearest_existing(path, &at, &st) || !S_ISDIR(st.st_mode))
        return false;
    const int folder = ::open(at.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return false;
    if (!on_fuse(folder)) {
        ::close(folder);
        return false;
    }
    int fd = open_existing_file(folder);
    bool on = fd >= 0 && open_on(fd);
    if (fd >= 0)
        ::close(fd);
    std::string name;
    if (!on && recover_host::create_temp_at(folder, &fd, &name) == 0) {
        on = open_on(fd);
        // Removed while still open: a FUSE server sees the removal before
        // the release, never racing it (a removal that meets a release in
        // flight may leave the file under a hidden name).
        ::unlinkat(folder, name.c_str(), 0);
        ::close(fd);
    }
    ::close(folder);
    return on;
}

} // namespace

medium_guard medium_guard_of(Media *media)
{
    return media != nullptr ? guard_of(media_path(media), medium_span(media)) : medium_guard();
}

medium_guard medium_guard_of_path(const char *path)
{
    return guard_of(path, span());
}

bool medium_guard_holds_path(const medium_guard &guard, const std::string &path)
{
    return on_devices(path, guard, 0);
}

bool medium_guard_holds_opened(const medium_guard &guard, int fd, const std::string &path)
{
    struct stat st;
    if (guard.empty())
        return false;
    return (::fstat(fd, &st) == 0 && guard.devices.count(st.st_dev) != 0) || on_devices(path, guard, 0);
}

bool medium_guard_holds_fd(const medium_guard &guard, int fd)
{
    struct stat st;
    if (guard.empty() || ::fstat(fd, &st) != 0)
        return false;
    if (guard.devices.count(st.st_dev) != 0)
        return true;
    // The mount is found by the path the kernel gives for the descriptor
    // (none past PATH_MAX: then its device alone tells).
    const std::string canonical = link_text("/proc/self/fd/" + std::to_string(fd));
    return !canonical.empty() && canonical[0] == '/' && mount_on_medium(canonical, guard, 0);
}

bool medium_guard_open_file_on(int fd, Media *media)
{
    return media != nullptr && on_fuse(fd) && medium_guard_holds_fd(medium_guard_of(media), fd);
}

bool medium_guard_probe_on(const std::string &path, Media *media)
{
    return media != nullptr && probe_on(path, [&](int fd) { return medium_guard_open_file_on(fd, media); });
}

bool medium_guard_probe_on_path(const std::string &path, const char *medium_path)
{
    return medium_path != nullptr &&
           probe_on(path, [&](int fd) { return medium_guard_holds_fd(medium_guard_of_path(medium_path), fd); });
}

int recover_path_on_medium(const char *path, Media *media)
{
    if (path == nullptr || media == nullptr)
        return 0;
    return medium_guard_holds_path(medium_guard_of(media), path) ? 1 : 0;
}
