// Child processes on Linux: posix_spawn with one close-on-exec pipe for
// standard output and standard error, read with poll until end of file.
//
// Reading and waiting:
// - The read end is polled with a short time-out. A readable pipe gives a
//   chunk of at most 1024 bytes for the callback; end of file (every writer
//   gone) ends the loop.
// - Between reads the child is checked with waitid(WNOWAIT), which leaves it
//   a zombie, so its pid (and process group) cannot be reused before the final
//   waitpid. When it has ended but the pipe is still open (a grandchild holds
//   the write end), what the pipe holds is drained, bounded by the pipe's
//   capacity, and the loop ends: the engine's command thread never hangs on a
//   grandchild.
// - Stopping the child sends SIGKILL to its process group.
#include "foundation/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "foundation/console_log.h"

extern char **environ;

namespace ZV {
namespace {

constexpr size_t kChunkSize = 1024;
constexpr int kPollMilliseconds = 100;

// Closes a descriptor once, keeping errno as it was.
void closeQuietly(int &fd)
{
    if (fd >= 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        fd = -1;
    }
}

// Starts the child with out as its standard output and error. Returns 0 or an
// errno value (posix_spawn reports a failed exec, such as a missing program,
// through its result).
int spawnChild(pid_t &pid, const char *path, char *const argv[], int out)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int rc = posix_spawn_file_actions_init(&actions);
    if (rc != 0)
        return rc;
    rc = posix_spawnattr_init(&attributes);
    if (rc != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return rc;
    }
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t none;
    sigemptyset(&none);
    rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0)
        rc = posix_spawn_file_actions_adddup2(&actions, out, 1);
    if (rc == 0)
        rc = posix_spawn_file_actions_adddup2(&actions, out, 2);
    // The pipe itself is close-on-exec; everything from 3 up goes as well.
    if (rc == 0)
        rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // Own process group; SIGPIPE back to its default and no blocked signals,
    // whatever the calling thread had set up.
    if (rc == 0)
        rc = posix_spawnattr_setpgroup(&attributes, 0);
    if (rc == 0)
        rc = posix_spawnattr_setsigdefault(&attributes, &defaults);
    if (rc == 0)
        rc = posix_spawnattr_setsigmask(&attributes, &none);
    if (rc == 0)
        rc = posix_spawnattr_setflags(&attributes,
                                      POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    if (rc == 0)
        rc = posix_spawn(&pid, path, &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

void terminateChild(pid_t pid)
{
    if (::kill(-pid, SIGKILL) != 0 && ::kill(pid, SIGKILL) != 0)
        log(6, "Can't terminate process: %lu", static_cast<unsigned long>(errno));
}

// True once the child has ended; it stays waitable.
bool childEnded(pid_t pid)
{
    siginfo_t info;
    memset(&info, 0, sizeof info);
    int rc;
    do
        rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    while (rc != 0 && errno == EINTR);
    return rc != 0 || info.si_pid == pid; // a failed wait counts as ended, to leave the loop
}

enum class ReadResult { Data, EndOfFile, Again, Error };

ReadResult readChunk(int fd, char *buffer, size_t &count)
{
    ssize_t n;
    do
        n = ::read(fd, buffer, kChunkSize);
    while (n < 0 && errno == EINTR);
    if (n > 0) {
        count = static_cast<size_t>(n);
        return ReadResult::Data;
    }
    if (n == 0)
        return ReadResult::EndOfFile;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return ReadResult::Again;
    log(2, "ReadFile failed: %lu", static_cast<unsigned long>(errno));
    return ReadResult::Error;
}

// Hands the child's output to the callback until end of file, the callback
// stops, or the child ends while someone else keeps the pipe open. Returns
// false when the callback asked to stop.
bool pumpOutput(int fd, pid_t pid, const ProcessOutputCallback &callback)
{
    char buffer[kChunkSize];
    for (;;) {
        struct pollfd entry = {fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, kPollMilliseconds);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            log(2, "WaitForSingleObject failed");
            return true;
        }
        if (!childEnded(pid)) {
            if (ready == 0)
                continue;
            size_t count = 0;
            const ReadResult result = readChunk(fd, buffer, count);
            if (result == ReadResult::EndOfFile || result == ReadResult::Error)
                return true;
            if (result == ReadResult::Data && !callback(buffer, count))
                return false;
            continue;
        }
        // The child has ended. Whatever it wrote is in the pipe (at most its
        // capacity); take that without waiting for end of file, which a
        // grandchild holding the write end could put off indefinitely.
        int capacity = ::fcntl(fd, F_GETPIPE_SZ);
        if (capacity <= 0)
            capacity = 65536;
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0)
            ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        for (size_t taken = 0; taken < static_cast<size_t>(capacity);) {
            size_t count = 0;
            if (readChunk(fd, buffer, count) != ReadResult::Data)
                return true;
            taken += count;
            if (!callback(buffer, count))
                return false;
        }
        return true;
    }
}

} // namespace

int runProcess(const zorvant::u8string &program, const std::vector<zorvant::u8string> &arguments,
               const ProcessOutputCallback &callback)
{
    std::vector<char *> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const zorvant::u8string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        log(2, "MyCreatePipeEx failed: %lu", static_cast<unsigned long>(errno));
        return kProcessNotStarted;
    }
    int readEnd = pipeFds[0];
    int writeEnd = pipeFds[1];

    pid_t pid = -1;
    const int spawnError = spawnChild(pid, program.c_str(), argv.data(), writeEnd);
    // The parent's copy of the write end goes, so the pipe reports end of
    // file once the child (and anything it started) has closed its own.
    closeQuietly(writeEnd);
    if (spawnError != 0) {
        log(2, "CreateProcess failed: %lu", static_cast<unsigned long>(spawnError));
        closeQuietly(readEnd);
        return kProcessNotStarted;
    }

    bool stopped = !pumpOutput(readEnd, pid, callback);
    if (stopped)
        terminateChild(pid);
    if (!callback(nullptr, 0) && !stopped) {
        stopped = true;
        terminateChild(pid);
    }
    closeQuietly(readEnd);

    int status = 0;
    pid_t waited;
    do
        waited = ::waitpid(pid, &status, 0);
    while (waited < 0 && errno == EINTR);
    if (waited != pid) {
        log(2, "WaitForSingleObject failed: %lu", static_cast<unsigned long>(errno));
        terminateChild(pid);
        log(2, "GetExitCodeProcess failed: %lu", static_cast<unsigned long>(errno));
        return 1;
    }
    if (stopped)
        return 1; // stopped on the caller's request, as if it had exited with 1
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        log(2, "Process %s ended by signal %d (%s)", program.c_str(), signal, strsignal(signal));
        return 128 + signal;
    }
    log(2, "GetExitCodeProcess failed: %lu", static_cast<unsigned long>(status));
    return 1;
}

int runProcessOutput(const zorvant::u8string &program, const std::vector<zorvant::u8string> &arguments,
                     std::string &output)
{
    output.clear();
    return runProcess(program, arguments, [&output](const char *data, size_t length) {
        if (data != nullptr)
            output.append(data, length);
        return true;
    });
}

int runProcessOutput(const zorvant::u8string &program, const std::vector<zorvant::u8string> &arguments,
                     zorvant::u8string &output)
{
    std::string bytes;
    const int result = runProcessOutput(program, arguments, bytes);
    // Chunks may split a character, so the text is checked once at the end;
    // bytes that are not UTF-8 become U+FFFD rather than losing the output.
    std::string text;
    utf8::replace_invalid(bytes.begin(), bytes.end(), std::back_inserter(text));
    output = zorvant::u8string(text);
    return result;
}

zorvant::u8string executablePath()
{
    char buffer[PATH_MAX + 1];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0 || n >= PATH_MAX) // failed, or possibly cut short
        return zorvant::u8string();
    buffer[n] = '\0';
    std::string path(buffer, static_cast<size_t>(n));
    std::string text;
    utf8::replace_invalid(path.begin(), path.end(), std::back_inserter(text));
    return zorvant::u8string(text);
}

} // namespace ZV
