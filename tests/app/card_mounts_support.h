// Mounts of a card for the tests of the `zorvant` program: a FAT image (or
// device) mounted by fusefat, an ext4 one by fuse2fs (read-write unless
// asked otherwise), a folder shown through a passthrough FUSE server, and
// the mkfs.ext4 command for a card the kernel mounts through a loop device
// (this kernel has no vfat). Each mount is undone on every path (declare it
// after the TempDir that holds its mount point).
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "scan/fat_image_support.h"
#include "support/test_support.h"

namespace zvcli {

// Unmounts point and waits (at most 20 s) until no fusefat or fuse2fs
// whose command line names point is left: a FUSE server may still write to its source
// (a FAT's clean flag) after its mount is gone, and a test reading the
// source to compare it must come after that.
inline void unmountAndWaitForTheServer(const std::string &point)
{
    zvtest::run("umount " + zvtest::shellQuote(point) + " 2>/dev/null || umount -l " + zvtest::shellQuote(point));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        bool serving = false;
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator("/proc", ec)) {
            const std::string line = zvtest::readFile(e.path().string() + "/cmdline");
            const std::string program = line.substr(0, line.find('\0'));
            const std::string name = program.substr(program.rfind('/') + 1);
            serving = serving || ((name == "fusefat" || name == "fuse2fs") && line.find(point) != std::string::npos);
        }
        if (!serving || std::chrono::steady_clock::now() > deadline)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// source mounted at point by a FUSE server, read-write: tool, its options
// before and after the two paths. Unmounted (and its server so ended) on
// destruction.
class FuseMount {
public:
    FuseMount(const std::string &tool, const std::string &before, const std::string &source,
              const std::string &point, const std::string &after)
        : point_(point)
    {
        zvtest::requireTool(tool);
        std::filesystem::create_directories(point);
        zvtest::mustRun(tool + before + " " + zvtest::shellQuote(source) + " " + zvtest::shellQuote(point) + after +
                        " >/dev/null");
    }
    ~FuseMount() { unmountAndWaitForTheServer(point_); }
    FuseMount(const FuseMount &) = delete;
    FuseMount &operator=(const FuseMount &) = delete;

private:
    std::string point_;
};

// A FAT image (or a device) mounted by fusefat; read-only when not
// writable (a read-write server writes the card, whose scans then no longer
// know it).
struct FuseFat : FuseMount {
    FuseFat(const std::string &source, const std::string &point, bool writable = true)
        : FuseMount("fusefat", writable ? " -o rw+" : " -o ro", source, point, "")
    {
    }
};

// An ext4 image (or a device) mounted by fuse2fs. Its mount entry names the
// source as given.
struct Fuse2fs : FuseMount {
    Fuse2fs(const std::string &source, const std::string &point, bool writable = true)
        : FuseMount("fuse2fs", "", source, point, writable ? " -o rw" : " -o ro")
    {
    }
};

// A folder shown by passthrough_fuse (tests/support/passthrough_fuse.cpp):
// a FUSE server that holds nothing open between requests and whose mount
// names nothing.
struct PassthroughFuse : FuseMount {
    PassthroughFuse(const std::string &folder, const std::string &point)
        : FuseMount(PASSTHROUGH_FUSE, "", folder, point, "")
    {
    }
};

// mkfs.ext4 with everything written at once: no lazy initialisation writing
// onto the card behind a test's back while it is mounted.
inline std::string mkfsExt4(const std::string &options)
{
    zvtest::requireTool("mkfs.ext4");
    return "mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0" + options;
}

} // namespace zvcli
