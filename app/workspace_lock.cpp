#include "app/workspace_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "foundation/fileops.h"
#include "foundation/sysutil.h"

namespace zvapp {

namespace {

constexpr const char *kLockName = "zorvant.lock";

// The descriptor of the lock taken, -1 when none (or closed already).
std::atomic<int> g_held{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the lock's descriptor is taken in a signal handler");

std::string cause(int errnum)
{
    return ZV::errorString(errnum).str();
}

// The pid written into the lock file by its holder; 0 when there is none.
int written_pid(int fd)
{
    char text[32] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return 0;
    char *end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return end != text && (*end == '\n' || *end == '\0') && pid > 0 && pid < (1L << 30) ? (int)pid : 0;
}

// What the process runs, as its command line with blanks between the
// arguments; "" when it cannot be read.
std::string command_line(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::string text = bytes.str();
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    for (char &c : text)
        if (c == '\0')
            c = ' ';
    if (text.size() > 200)
        text = text.substr(0, 200) + "...";
    return text;
}

} // namespace

int lock_holder(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0)
        return 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; blocked waiters
    // ("1: -> FLOCK ...") are not holders.
    std::ifstream in("/proc/locks");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        fields >> number >> kind;
        if (kind != "FLOCK")
            continue;
        fields >> mode >> access >> pid >> where;
        unsigned major_number = 0, minor_number = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major_number, &minor_number, &inode) != 3)
            continue;
        if (inode == (unsigned long long)info.st_ino && major_number == major(info.st_dev) &&
            minor_number == minor(info.st_dev))
            return std::atoi(pid.c_str());
    }
    return 0;
}

std::string write_refusal(const std::string &folder)
{
    const std::string probe = folder + "/.zv-write-check-" + std::to_string(getpid());
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return cause(errno);
    close(fd);
    unlink(probe.c_str());
    return "";
}

WorkspaceLock::~WorkspaceLock()
{
    int held = fd_;
    if (fd_ >= 0 && g_held.compare_exchange_strong(held, -1))
        close(fd_); // the lock goes with the last descriptor
}

void release_workspace_lock()
{
    const int fd = g_held.exchange(-1);
    if (fd >= 0)
        close(fd);
}

bool WorkspaceLock::take(const std::string &folder, std::string *why)
{
    struct stat info;
    if (stat(folder.c_str(), &info) != 0 && ZV::makeDirectories(zorvant::u8string(folder)) != 0) {
        *why = "can't create the workspace folder " + folder + ": " + cause(errno);
        return false;
    }
    const std::string path = folder + "/" + kLockName;
    // Never through a link, never into a FIFO or device standing at the name.
    const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    bool writable = true;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | flags, 0644);
    if (fd < 0 && (errno == EROFS || errno == EACCES || errno == EPERM)) {
        writable = false;
        fd = open(path.c_str(), O_RDONLY | flags);
        if (fd < 0 && errno == ENOENT)
            return true;
    }
    if (fd < 0) {
        *why = "can't open the workspace lock file " + path + ": " + cause(errno);
        return false;
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        *why = "the workspace lock file " + path + " is not a regular file: remove it and try again";
        return false;
    }
    // A file of other names too (a hard link) is someone's file, which the
    // pid written below would replace.
    if (writable && info.st_nlink > 1) {
        close(fd);
        *why = "the workspace lock file " + path + " is a hard link to another file: remove it and try again";
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        int pid = err == EWOULDBLOCK ? lock_holder(fd) : 0;
        if (pid == 0 && err == EWOULDBLOCK)
            pid = written_pid(fd);
        close(fd);
        if (err != EWOULDBLOCK) {
            *why = "can't lock the workspace " + folder + ": " + cause(err);
            return false;
        }
        std::string holder = "another process";
        if (pid > 0) {
            holder = "process " + std::to_string(pid);
            const std::string command = command_line(pid);
            if (!command.empty())
                holder += " (" + command + ")";
        }
        *why = "the workspace " + folder + " is in use by " + holder +
               ": only one command at a time can work on it; wait for that one to end, then try again";
        return false;
    }
    if (writable) {
        // Who holds it, for the message of a second command; the lock
        // itself does not depend on it.
        // (A write that fails leaves /proc/locks to tell.)
        const std::string text = std::to_string(getpid()) + "\n";
        const bool noted = ftruncate(fd, 0) == 0 && pwrite(fd, text.data(), text.size(), 0) == (ssize_t)text.size();
        (void)noted;
    }
    fd_ = fd;
    g_held = fd;
    return true;
}

} // namespace zvapp
