// The kernel's table of mounts, /proc/<pid>/mountinfo, read into records.
//
// One line per mount, fields separated by single blanks:
//
//   36 35 8:17 /sub /media/my\040card rw,noatime shared:1 - ext4 /dev/sdb1 rw,errors=remount-ro
//   |  |  |    |    |                 |          |        | |    |         super options
//   |  |  |    |    |                 |          |        | |    source ("none" when there is none)
//   |  |  |    |    |                 |          |        | file-system type
//   |  |  |    |    |                 |          |        separator
//   |  |  |    |    |                 |          optional fields (zero or more "tag[:value]")
//   |  |  |    |    |                 per-mount options
//   |  |  |    |    mount point, relative to the process's root
//   |  |  |    root of the mount within its file system ("/" unless a bind
//   |  |  |    mount of a subfolder or a btrfs subvolume)
//   |  |  major:minor of the device (0:N for file systems without a block
//   |  |  device, and for btrfs, which hands out anonymous numbers)
//   |  parent mount id
//   mount id
//
// The kernel writes blank, tab, newline and backslash inside the root,
// mount point, type, source and super options as three octal digits after a
// backslash ("\040", "\011", "\012", "\134"); mountinfo_unescape undoes that.
//
// Lines come in mount order: a mount is listed after the mounts beneath it,
// and of two mounts on one mount point the later covers the earlier.
//
// Threads: the functions keep no state; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct MountInfoEntry {
    int mount_id = 0;             // field 1
    int parent_id = 0;            // field 2
    unsigned int major = 0;       // field 3, before the colon
    unsigned int minor = 0;       // field 3, after the colon
    std::string root;             // field 4, unescaped
    std::string mount_point;      // field 5, unescaped
    std::string mount_options;    // field 6 (per-mount: "rw", "ro", "nosuid", ...)
    std::string fs_type;          // after "-", unescaped ("ext4", "fuseblk", ...)
    std::string source;           // after the type, unescaped; may be empty
    std::string super_options;    // after the source, unescaped; may be empty
    std::string super_options_raw; // the same as the kernel writes it: a comma inside an option's value
                                   // stays escaped ("\054"), so the options can be told apart
};

// Undoes the kernel's octal escapes: a backslash followed by three octal
// digits (the first 0 to 3) is one byte; any other backslash stays as it is.
std::string mountinfo_unescape(const char *text, size_t size);

// Parses one line (without its newline). 0 on success; -1 when the line is
// not a mountinfo line (too few fields, bad numbers, no "-" separator);
// entry is then left in an unspecified state.
int mountinfo_parse_line(const char *line, size_t size, MountInfoEntry *entry);

// Parses a whole table. Lines that do not parse are skipped (they are logged
// at debug level); entries receives the others in order. Returns the number
// of lines skipped. At most MOUNTINFO_MAX_ENTRIES entries are kept.
size_t mountinfo_parse(const char *text, size_t size, std::vector<MountInfoEntry> *entries);

// Reads and parses a mountinfo file (NULL: /proc/self/mountinfo). 0 on
// success; -1 when the file cannot be read or is larger than
// MOUNTINFO_MAX_BYTES (logged as "mountinfo_read: ...").
int mountinfo_read(const char *path, std::vector<MountInfoEntry> *entries);

// Whether options (a comma-separated list) holds option exactly.
bool mountinfo_has_option(const std::string &options, const char *option);

// The value of the option name=VALUE among the super options as the kernel
// writes them (MountInfoEntry::super_options_raw), unescaped: an overlay's
// "upperdir" and "workdir", whose folders may hold blanks and commas. False
// when the options hold no such option.
bool mountinfo_option_value(const std::string &raw_options, const char *name, std::string *value);

// The mount that holds path (absolute and canonical): the entry whose mount
// point, without trailing "/", is the longest whole-component prefix of it;
// of several entries on that mount point the last listed (the later covers
// the earlier). NULL when none does. Symbolic links are not followed: the
// caller resolves the path first.
const MountInfoEntry *mountinfo_mount_for_path(const std::vector<MountInfoEntry> &entries, const std::string &path);

enum : size_t {
    // A line holds at most two paths of PATH_MAX (4096) bytes, each escaped
    // to at most four times its size, plus a few short fields; a table of
    // 64 MiB is tens of thousands of mounts, more than any real machine or
    // container host has.
    MOUNTINFO_MAX_BYTES = 64u << 20,
    MOUNTINFO_MAX_ENTRIES = 1u << 20,
};
