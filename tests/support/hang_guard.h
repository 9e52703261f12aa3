// Runs a piece of a test in a child process, so that a call that would wait
// forever (an open of a FIFO without a writer) fails the test instead of
// hanging the whole suite. The child reports through its exit code and
// through notes it writes on a pipe (what it was doing, what went wrong).
// The bound is a guard against a hang, far above what the work needs; it
// is not a measure of speed.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

namespace zvtest {

struct ChildOutcome {
    bool finished = false; // false: still running at the bound, killed
    int status = -1;       // the child's exit code, or minus the signal that ended it
    std::string notes;     // everything the child wrote with note()
};

class ChildNotes {
public:
    explicit ChildNotes(int fd) : fd_(fd) {}
    void operator()(const std::string &line) const
    {
        const std::string text = line + "\n";
        const ssize_t wrote = write(fd_, text.data(), text.size());
        (void)wrote;
    }

private:
    int fd_;
};

// Runs body(note) in a forked child; its result is the child's exit code
// (an exception gives 125). Waits at most `bound_seconds`, then kills it.
inline ChildOutcome runInChild(const std::function<int(const ChildNotes &)> &body, int bound_seconds = 120)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        throw std::runtime_error("pipe failed");
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(pipe_fds[0]);
        const ChildNotes note(pipe_fds[1]);
        int code = 125;
        try {
            code = body(note);
        } catch (const std::exception &e) {
            note(std::string("exception: ") + e.what());
        } catch (...) {
        }
        _exit(code);
    }
    close(pipe_fds[1]);
    ChildOutcome outcome;
    int status = 0;
    for (long waited = 0; waited < bound_seconds * 100L; ++waited) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            outcome.finished = true;
            break;
        }
        usleep(10000);
    }
    if (!outcome.finished) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : -1;
    char chunk[4096];
    ssize_t got;
    while ((got = read(pipe_fds[0], chunk, sizeof chunk)) > 0)
        outcome.notes.append(chunk, static_cast<size_t>(got));
    close(pipe_fds[0]);
    return outcome;
}

} // namespace zvtest
