// What a test puts under the name of a temporary file that
// foundation/atomic_file made (the settings store's, a scan folder's, the
// saved scan container's): a link to a victim file, or a FIFO, put there
// right after the temporary is made (through atomic_file's test hook) or
// later. The writer must neither write through it nor wait on it, and must
// leave it as it was.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "foundation/atomic_file.h"

namespace zvtest {

// What a test puts in place of the temporary file: a link to victim, or a
// FIFO.
struct Plant {
    bool link = false;
    std::string victim;
};

// (A plant that fails shows as a name not left as planted.)
inline void plant_at(int dir_fd, const char *name, const Plant &plant)
{
    unlinkat(dir_fd, name, 0);
    if (plant.link)
        (void)symlinkat(plant.victim.c_str(), dir_fd, name);
    else
        (void)mkfifoat(dir_fd, name, 0600);
}

// An atomic_file test hook: plants *arg (a Plant) at every temporary right
// after it is made.
inline void plant_when_created(int stage, int dir_fd, const char *name, void *arg)
{
    if (stage == ATOMIC_FILE_CREATED)
        plant_at(dir_fd, name, *static_cast<const Plant *>(arg));
}

} // namespace zvtest
