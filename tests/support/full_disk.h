// A file system with no room left, for tests of lost writes: a small tmpfs
// mounted on a fresh folder and filled to the last page (root only). The
// file layer opens regular files only (a character device such as
// /dev/full is refused), so a real full file system takes its place: files
// can still be made in it, and every write into them fails with ENOSPC.
#pragma once

#include <string>

#include "support/test_support.h"

namespace zvtest {

class FullDisk {
public:
    FullDisk() : mount_(Mount::tmpfs(dir_.path(), "size=64k,mode=0700"))
    {
        // dd ends with "No space left on device" once the last page is taken.
        run("dd if=/dev/zero of='" + dir_.path() + "/filler' bs=4096 2>/dev/null");
        if (run("echo x > '" + dir_.path() + "/probe' 2>/dev/null") == 0)
            throw std::runtime_error("the file system at " + dir_.path() + " is not full");
        run("rm -f '" + dir_.path() + "/probe'");
    }
    FullDisk(const FullDisk &) = delete;
    FullDisk &operator=(const FullDisk &) = delete;

    const std::string &path() const { return dir_.path(); }
    std::string operator/(const std::string &name) const { return dir_ / name; }

private:
    TempDir dir_; // made first, removed after the unmount
    Mount mount_;
};

} // namespace zvtest
