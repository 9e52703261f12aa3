// Child processes, run for real: /bin/sh, /bin/true, /bin/false, ls, seq, sleep.
// A missing tool fails the test instead of skipping it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/fileops.h"
#include "foundation/process.h"
#include "support/test_support.h"

namespace {

using Args = std::vector<zorvant::u8string>;
using ZV::runProcess;
using ZV::runProcessOutput;

void requireTools(std::initializer_list<const char *> paths)
{
    for (const char *path : paths)
        ASSERT_EQ(access(path, X_OK), 0) << "tool missing: " << path;
}

TEST(ProcessExit, ExitCodesAndStartFailures)
{
    requireTools({"/bin/sh", "/bin/true", "/bin/false"});
    zvtest::TempDir dir;
    zvtest::writeFile(dir / "plain", "#!/bin/sh\nexit 0\n"); // not executable
    const struct { std::string program; Args args; int expected; } cases[] = {
        {"/bin/true", {}, 0}, {"/bin/false", {}, 1},
        {"/bin/sh", {"-c", "exit 3"}, 3}, {"/bin/sh", {"-c", "exit 255"}, 255},
        // Ended by a signal: 128 + the signal number, never 0.
        {"/bin/sh", {"-c", "kill -9 $$"}, 128 + SIGKILL}, {"/bin/sh", {"-c", "kill -TERM $$"}, 128 + SIGTERM},
        // Cannot be started: the distinct failure value, never success (0).
        {"/nonexistent/zv-no-such-program", {}, ZV::kProcessNotStarted},
        {dir / "plain", {}, ZV::kProcessNotStarted},
        {dir.path(), {}, ZV::kProcessNotStarted},
        {"sh", {"-c", "exit 0"}, ZV::kProcessNotStarted}, // no PATH search
    };
    for (const auto &c : cases) {
        std::string out;
        EXPECT_EQ(runProcessOutput(c.program.c_str(), c.args, out), c.expected) << c.program;
    }
}

TEST(ProcessOutput, CapturesBothStreamsAndKeepsArguments)
{
    requireTools({"/bin/sh"});
    std::string out;
    // An argument with blanks stays one argument; nothing reaches a shell.
    EXPECT_EQ(runProcessOutput("/bin/sh", {"-c", "printf '%s|' \"$@\"", "sh", "a b", "", "$HOME;x"}, out), 0);
    EXPECT_EQ(out, "a b||$HOME;x|");
    EXPECT_EQ(runProcessOutput("/bin/sh", {"-c", "echo out; echo err >&2; exit 4"}, out), 4);
    EXPECT_EQ(out, "out\nerr\n");
    EXPECT_EQ(runProcessOutput("/bin/sh", {"-c", "cat; echo end"}, out), 0); // standard input is empty
    EXPECT_EQ(out, "end\n");
    zorvant::u8string text = "stale";
    EXPECT_EQ(runProcessOutput("/bin/sh", {"-c", "printf 'caf\\303\\251 \\377'"}, text), 0);
    EXPECT_EQ(text.str(), "caf\xC3\xA9 \xEF\xBF\xBD"); // invalid byte replaced, not thrown
}

TEST(ProcessOutput, LargeOutputArrivesInOrderInSmallChunks)
{
    requireTools({"/usr/bin/seq", "/bin/true"});
    std::string expected, out;
    for (int i = 1; i <= 60000; i++)
        expected += std::to_string(i) + "\n"; // about 350 KB, far over a pipe's 64 KiB
    size_t finals = 0, biggest = 0;
    bool dataAfterEnd = false;
    EXPECT_EQ(runProcess("/usr/bin/seq", {"1", "60000"}, [&](const char *data, size_t n) {
        if (data == nullptr) { finals++; return true; }
        dataAfterEnd |= finals > 0;
        biggest = std::max(biggest, n);
        out.append(data, n);
        return true;
    }), 0);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(finals, 1u);
    EXPECT_FALSE(dataAfterEnd);
    EXPECT_LE(biggest, 1024u);
    std::vector<size_t> calls; // a silent child: only the final (NULL, 0) call
    EXPECT_EQ(runProcess("/bin/true", {}, [&](const char *data, size_t n) {
        calls.push_back(data == nullptr ? 0 : n + 1);
        return true;
    }), 0);
    EXPECT_EQ(calls, std::vector<size_t>{0});
}

TEST(ProcessStop, CallbackStopsChildAndGrandchildDoesNotHang)
{
    requireTools({"/bin/sh", "/usr/bin/sleep"});
    int dataCalls = 0, finals = 0;
    EXPECT_EQ(runProcess("/bin/sh", {"-c", "while :; do echo y; done"}, [&](const char *data, size_t) {
        (data == nullptr ? finals : dataCalls)++;
        return false;
    }), 1);
    EXPECT_EQ(dataCalls, 1);
    EXPECT_EQ(finals, 1);
    // Stopped at the final call (its output closed, the child still running): 1.
    EXPECT_EQ(runProcess("/bin/sh", {"-c", "exec >/dev/null 2>&1; exec /usr/bin/sleep 60"},
                         [](const char *, size_t) { return false; }), 1);
    // The background sleep keeps the write end open long after sh has gone: no unbounded wait.
    std::string out;
    EXPECT_EQ(runProcessOutput("/bin/sh", {"-c", "/usr/bin/sleep 60 & echo $!; exit 5"}, out), 5);
    const long grandchild = std::strtol(out.c_str(), nullptr, 10);
    ASSERT_GT(grandchild, 1) << out;
    ::kill(static_cast<pid_t>(grandchild), SIGKILL);
}

// Every engine descriptor is close-on-exec, and even one opened without it stays in the parent.
TEST(ProcessDescriptors, ChildInheritsNoEngineDescriptor)
{
    requireTools({"/usr/bin/ls"});
    zvtest::TempDir dir;
    const int fd = ZV::open(dir / "through-open", O_RDWR | O_CREAT);
    FILE *file = ZV::fopen(dir / "through-fopen", "w");
    const int raw = ::open((dir / "raw-open").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_TRUE(fd >= 0 && file != nullptr && raw >= 0);
    std::string out;
    EXPECT_EQ(runProcessOutput("/usr/bin/ls", {"-l", "/proc/self/fd"}, out), 0);
    ::close(fd);
    std::fclose(file);
    ::close(raw);
    EXPECT_NE(out.find("/dev/null"), std::string::npos) << out; // the listing worked
    EXPECT_EQ(out.find(dir.path()), std::string::npos) << out;
}

TEST(ProcessPath, ExecutablePathNamesThisProgram)
{
    const std::string path = ZV::executablePath().str();
    EXPECT_EQ(path.rfind('/', 0), 0u) << path;
    EXPECT_NE(path.find("zv_foundation_tests"), std::string::npos) << path;
}

} // namespace
