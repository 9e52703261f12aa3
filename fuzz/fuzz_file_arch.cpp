// The FileArch reader on arbitrary bytes: the input is the container (plain or
// gzip-compressed), held in a memfd and read through its /proc/self/fd path.
// Each input is looked up for its "ScanInfoList" member and extracted into a
// scratch target through a filter that rewrites the slot folder, as loading
// saved scans does. Checked besides memory safety: nothing is ever made or
// changed outside the target (a sentinel folder beside it must keep its one
// file, and the scratch folder must hold nothing but the two), a member comes
// back no larger than 10 MiB, and extraction gives 0 or -1 (the filter stops
// nothing).
//
// Seeds (corpus/file_arch/) are containers made by the writer; see
// tests/scan/test_file_arch.cpp, which checks them.
#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "foundation/buf.h"
#include "scan/file_arch.h"
#include "scratch_support.h"

namespace {

using fuzzsupport::require;

struct Scratch {
    fuzzsupport::ScratchDir folder;
    std::string root = folder.path();
    std::string target, sentinel_folder, sentinel;
    Scratch()
    {
        target = root + "/target";
        sentinel_folder = root + "/outside";
        sentinel = sentinel_folder + "/victim";
        require(mkdir(sentinel_folder.c_str(), 0700) == 0);
        fuzzsupport::write_sentinel(sentinel);
    }
};

Scratch &scratch()
{
    static Scratch s;
    return s;
}

// Rewrites "<target>/Scan.01" to "<target>/Scan.02" and asks to skip the data
// of files whose length is a multiple of 7, so both filter paths run.
int rewrite_filter(void *context, char *path, size_t path_size, int kind, int64_t length)
{
    const std::string &target = *static_cast<const std::string *>(context);
    const std::string slot = target + "/Scan.01";
    if (strncmp(path, slot.c_str(), slot.size()) == 0 && (path[slot.size()] == '/' || path[slot.size()] == '\0'))
        path[slot.size() - 1] = '2';
    require(strnlen(path, path_size) < path_size);
    if (kind == FAR_KIND_FILE && length % 7 == 0)
        return int(FAR_FILTER_SKIP_DATA);
    return 0;
}

void check_outside_untouched(const Scratch &s)
{
    DIR *dir = opendir(s.root.c_str());
    require(dir != nullptr);
    int entries = 0;
    while (struct dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        require(name == "target" || name == "outside");
        entries++;
    }
    closedir(dir);
    require(entries >= 1);
    dir = opendir(s.sentinel_folder.c_str());
    require(dir != nullptr);
    while (struct dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        require(name == "." || name == ".." || name == "victim");
    }
    closedir(dir);
    char bytes[16] = {};
    FILE *f = fopen(s.sentinel.c_str(), "rb");
    require(f != nullptr);
    require(fread(bytes, 1, sizeof bytes, f) == 8 && memcmp(bytes, "precious", 8) == 0);
    fclose(f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Scratch &s = scratch();
    int fd = memfd_create("far", MFD_CLOEXEC);
    require(fd >= 0);
    size_t done = 0;
    while (done < size) {
        ssize_t wrote = write(fd, data + done, size - done);
        require(wrote > 0);
        done += size_t(wrote);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    buf_t *member = far_get_member(path.c_str(), "ScanInfoList", nullptr);
    if (member != nullptr) {
        require(member->count >= 0 && uint64_t(member->count) <= FAR_MAX_MEMBER_SIZE);
        buf_free(member);
    }

    int result = far_extract(path.c_str(), s.target.c_str(), rewrite_filter, &s.target);
    require(result == 0 || result == -1);
    check_outside_untouched(s);
    std::error_code ec;
    std::filesystem::remove_all(s.target, ec);
    require(!ec);
    close(fd);
    return 0;
}
