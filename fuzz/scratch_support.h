// Shared by the fuzzers that work in folders of their own (a ScratchDir
// each): the check that stops the run on a broken rule, and the sentinel file
// a fuzzer keeps beside its target so that a write outside the target shows.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/workdir.h"
#include "foundation/workspace.h"
#include "fuzz_support.h"
#include "tests/support/test_support.h"

namespace fuzzsupport {

// Writes the sentinel file: the 8 bytes "precious".
inline void write_sentinel(const std::string &path)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    require(f != nullptr);
    require(std::fwrite("precious", 1, 8, f) == 8);
    std::fclose(f);
}

// Writes size bytes of data as the whole file at path.
inline void write_file(const std::string &path, const void *data, size_t size)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    require(f != nullptr);
    require(size == 0 || std::fwrite(data, 1, size, f) == size);
    require(std::fclose(f) == 0);
}

// The names directly inside a folder, "." and ".." left out.
inline std::vector<std::string> entries(const std::string &path)
{
    std::vector<std::string> out;
    DIR *d = opendir(path.c_str());
    if (d == nullptr)
        return out;
    while (dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            out.push_back(e->d_name);
    closedir(d);
    return out;
}

// Where the fuzzers keep their scratch files: /dev/shm where the machine has
// it. They write, sync and delete files on every run, which on a disk costs
// about ten times the run itself.
inline std::string scratch_base()
{
    struct stat info;
    if (stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && access("/dev/shm", W_OK | X_OK) == 0)
        return "/dev/shm";
    return "";
}

// A temporary folder under scratch_base(), removed with its contents.
class ScratchDir : public zvtest::TempDir {
public:
    ScratchDir() : zvtest::TempDir(scratch_base()) {}
};

// A temporary folder holding the engine's global workspace "ZorvantWorkspace"
// and the sentinel file "victim" beside it, made once per fuzzing process.
struct WorkspaceScratch {
    ScratchDir folder;
    std::string root = folder.path();
    std::string ws = root + "/ZorvantWorkspace";
    std::string sentinel = root + "/victim";
    work_dir *workspace = nullptr;
    WorkspaceScratch()
    {
        write_sentinel(sentinel);
        engine_set_workspace_name("Zorvant");
        workspace = dir_new(nullptr, ws.c_str());
        require(workspace != nullptr && dir_global_root() == workspace);
    }
};

} // namespace fuzzsupport
