// Mounts of a card for the tests of the `zorvant` program: a FAT image (or
// device) mounted read-write by fusefat, an ext4 one by fuse2fs, and the
// mkfs.ext4 command for a card the kernel mounts through a loop device
// (this kernel has no vfat). Each mount is undone on every path (declare it
// after the TempDir that holds its mount point).
#pragma once

#include <filesystem>
#include <string>

#include "scan/fat_image_support.h"
#include "support/test_support.h"

namespace zvcli {

// A FAT image (or a device) mounted by fusefat, read-write; unmounted (and
// its server so ended) on destruction.
class FuseFat {
public:
    FuseFat(const std::string &source, const std::string &point) : point_(point)
    {
        zvtest::requireTool("fusefat");
        std::filesystem::create_directories(point);
        zvtest::mustRun("fusefat -o rw+ " + zvtest::shellQuote(source) + " " + zvtest::shellQuote(point) +
                        " >/dev/null");
    }
    ~FuseFat()
    {
        zvtest::run("umount " + zvtest::shellQuote(point_) + " 2>/dev/null || umount -l " + zvtest::shellQuote(point_));
    }
    FuseFat(const FuseFat &) = delete;
    FuseFat &operator=(const FuseFat &) = delete;

private:
    std::string point_;
};

// An ext4 image (or a device) mounted read-write by fuse2fs; unmounted (and
// its server so ended) on destruction. Its mount entry names the source as
// given.
class Fuse2fs {
public:
    Fuse2fs(const std::string &source, const std::string &point) : point_(point)
    {
        zvtest::requireTool("fuse2fs");
        std::filesystem::create_directories(point);
        zvtest::mustRun("fuse2fs " + zvtest::shellQuote(source) + " " + zvtest::shellQuote(point) +
                        " -o rw >/dev/null");
    }
    ~Fuse2fs()
    {
        zvtest::run("umount " + zvtest::shellQuote(point_) + " 2>/dev/null || umount -l " + zvtest::shellQuote(point_));
    }
    Fuse2fs(const Fuse2fs &) = delete;
    Fuse2fs &operator=(const Fuse2fs &) = delete;

private:
    std::string point_;
};

// mkfs.ext4 with everything written at once: no lazy initialisation writing
// onto the card behind a test's back while it is mounted.
inline std::string mkfsExt4(const std::string &options)
{
    zvtest::requireTool("mkfs.ext4");
    return "mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0" + options;
}

} // namespace zvcli
