// One process at a time on a workspace: every command holds an exclusive
// flock on "zorvant.lock" in the workspace folder from before the engine
// starts until after it has shut down.
#pragma once

#include <string>

namespace zvapp {

class WorkspaceLock {
public:
    WorkspaceLock() = default;
    WorkspaceLock(const WorkspaceLock &) = delete;
    WorkspaceLock &operator=(const WorkspaceLock &) = delete;
    ~WorkspaceLock();

    // Makes the workspace folder when it is missing and takes the lock
    // without waiting. The lock file is made when it is missing and the
    // process id written into it when the folder can be written; a
    // read-only workspace is locked through a descriptor opened for
    // reading (a read-only workspace that never had a lock file cannot get
    // one, and is used without). False with the reason in *why, saying
    // which process holds the lock when another one does.
    bool take(const std::string &folder, std::string *why);

private:
    int fd_ = -1;
};

// Drops the lock of the WorkspaceLock that holds one, now: its descriptor
// is closed (once, whoever comes first of this and the destructor). Only
// async-signal-safe calls: a second signal calls it before ending the
// process, which a thread stuck in the kernel may keep from ending.
void release_workspace_lock();

// Why the workspace folder refuses writes, as the system words it ("Read-only
// file system"), found by making and removing a file in it; "" when a file
// can be made there.
std::string write_refusal(const std::string &folder);

// The process holding an flock on the file with that descriptor, from
// /proc/locks by the file's device and inode; 0 when unknown.
int lock_holder(int fd);

} // namespace zvapp
