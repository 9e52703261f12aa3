// The medium guard: whether a path, a folder or a file open lies on the
// bytes of the card or image a recovery or a scan reads, so that nothing is
// written there (medium_guard.cpp tells how the relation is found).
//
// A medium is taken either as an open medium (a Media, with the window of
// its device or file it reads) or, before any medium is open, as the block
// device or file a path names, counted whole (the card or image named on
// the command line).
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <utility>

struct Media;

// What holds a medium's bytes: the block devices whose file systems lie on
// them (and the FUSE mounts served from them), and the files (by device and
// inode) they are read from.
struct medium_guard {
    std::set<dev_t> devices;
    std::set<std::pair<dev_t, ino_t>> files;
    // A FUSE server holds the medium and the kernel does not tell which
    // mounts it serves: every FUSE mount that names nothing may be it.
    bool fuse_unknown = false;
    bool empty() const { return devices.empty() && files.empty(); }
};

// The guard of an open medium (its device or file and its window); empty
// when the medium has neither.
medium_guard medium_guard_of(Media *media);
// The guard of the block device or file at path, counted whole; empty when
// path names neither.
medium_guard medium_guard_of_path(const char *path);

// Whether path (or, when it does not exist yet, its nearest existing parent)
// lies on the guarded medium.
bool medium_guard_holds_path(const medium_guard &guard, const std::string &path);
// medium_guard_holds_path for a folder just opened at path, its descriptor
// checked too.
bool medium_guard_holds_opened(const medium_guard &guard, int fd, const std::string &path);
// Whether the folder or file open at fd lies on the guarded medium: by its
// device, or by the mount of the path the kernel gives for the descriptor.
bool medium_guard_holds_fd(const medium_guard &guard, int fd);

// Whether the file open at fd, when it lies on a FUSE mount, is seen now to
// lie on the medium: the FUSE servers are looked at again while it is open,
// so a server that opens what backs a file only while the kernel's file is
// open (a passthrough server) is seen holding the medium. False at once for
// a file on any other file system: that guard has been asked before the
// file was made.
bool medium_guard_open_file_on(int fd, Media *media);

// Whether the nearest existing folder of path, when it lies on a FUSE
// mount, is seen to lie on the medium while a file of it is open
// (medium_guard_open_file_on): one there already, opened for reading, else
// one made in it and removed at once. A server that holds the medium only
// while a file of it is open is seen before anything else is made there.
// False at once off FUSE mounts, and when the folder has no file to open
// and takes no new one.
bool medium_guard_probe_on(const std::string &path, Media *media);
// The same for the device or file at medium_path, counted whole.
bool medium_guard_probe_on_path(const std::string &path, const char *medium_path);
