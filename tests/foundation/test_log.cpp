// The engine log, the log-file object and the console log, on real files with an injected clock.
#include "foundation/console_log.h"
#include "foundation/log.h"
#include "support/hang_guard.h"
#include "support/test_support.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <future>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using zvtest::readFile;
using zvtest::writeFile;

constexpr int64_t kJuly1 = 1719842709;   // 2024-07-01 14:05:09 UTC
constexpr int64_t kJanuary = 1705320000; // 2024-01-15 12:00:00 UTC
const std::string kHour = "2024-07-01 14:00:00 +000\n", kHead = ":05:09.0  : ";
int64_t g_seconds;
int32_t g_micros;

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

class LogTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_seconds = kJuly1;
        g_micros = 0;
        log_set_time_source([](int64_t *seconds, int32_t *micros) { *seconds = g_seconds; *micros = g_micros; });
    }
    void TearDown() override { log_close(); log_set_time_source(nullptr); }
    std::string copy(int n) const { return logfile_rotated_path(path_, n); }
    std::string opening() const { return kHour + kHead + path_ + "\n" + kHead + "[U] log level changed\n"; }

    zvtest::ScopedEnv utc_{"TZ", "UTC0"};
    zvtest::TempDir dir_;
    std::string path_ = dir_ / "ScanEngineLog.txt";
};

using LogFormat = LogTest;
using LogEngine = LogTest;

TEST_F(LogFormat, TagsThresholdMillisecondsAndLineFeeds)
{
    LogFile *log = logfile_open(path_.c_str(), 0);
    ASSERT_NE(log, nullptr);
    logfile_printf(log, LOG_INFO, "%s", ""); // empty: not even a header
    EXPECT_EQ(readFile(path_), "");
    g_micros = 5000;
    logfile_printf(log, LOG_USER, "hello %d", 7);
    logfile_printf(log, 5, "dropped at threshold 4");
    logfile_printf(log, LOG_INFO, "ends\n"); // no second line feed
    g_micros = 999999;
    logfile_printf(log, LOG_PATH, "%s", "no tag");
    std::string expected = kHour + ":05:09.5  : [U] hello 7\n:05:09.5  : [I] ends\n:05:09.999: no tag\n";
    g_micros = 0;
    logfile_set_level(log, 16);
    expected += kHead + "[T] log level changed\n";
    const char *tags[17] = {"[C] ", "[E] ", "[W] ", "[I] ", "[U] ", "", "", "", "", "",
                            "[V] ", "", "", "", "", "[D] ", "[T] "};
    for (uint32_t level = 0; level <= 17; ++level) {
        logfile_printf(log, level, "L%u", level);
        if (level <= 16)
            expected += kHead + tags[level] + "L" + std::to_string(level) + "\n";
    }
    logfile_set_level(log, 17); // ignored: no line, threshold kept
    logfile_set_level(log, 0);
    logfile_printf(log, LOG_ERROR, "dropped");
    logfile_printf(log, LOG_PATH, "path");
    expected += kHead + "[C] log level changed\n" + kHead + "path\n";
    EXPECT_EQ(readFile(path_), expected);
    logfile_close(log);
}

// A header comes with the first line, a new hour or day, or another offset (fault: summer time was ignored).
TEST_F(LogFormat, HourHeaders)
{
    constexpr int64_t k2359 = 1719878340; // 2024-07-01 23:59:00 UTC
    const struct { const char *zone; int64_t when; const char *added; } steps[] = {
        {"UTC0", k2359, "2024-07-01 23:00:00 +000\n:59:00.0  : [I] x\n"},
        {"UTC0", k2359 + 59, ":59:59.0  : [I] x\n"},
        {"UTC0", k2359 + 61, "2024-07-02 00:00:00 +000\n:00:01.0  : [I] x\n"},
        {"<+0545>-5:45", k2359 + 61, "2024-07-02 05:00:00 +545\n:45:01.0  : [I] x\n"},
        {"IST-5:30", k2359 + 61, "2024-07-02 05:00:00 +530\n:30:01.0  : [I] x\n"}, // same hour
        {"IST-5:30", kJuly1, "2024-07-01 19:00:00 +530\n:35:09.0  : [I] x\n"},
        {"PST8PDT", kJuly1, "2024-07-01 07:00:00 -700\n:05:09.0  : [I] x\n"}, // summer time
        {"PST8PDT", kJanuary, "2024-01-15 04:00:00 -800\n:00:00.0  : [I] x\n"},
        {"NST3:30", kJuly1, "2024-07-01 10:00:00 -330\n:35:09.0  : [I] x\n"},
    };
    LogFile *log = logfile_open(path_.c_str(), 0);
    ASSERT_NE(log, nullptr);
    std::string expected;
    for (const auto &step : steps) {
        zvtest::ScopedEnv zone("TZ", step.zone);
        g_seconds = step.when;
        logfile_printf(log, LOG_INFO, "x");
        expected += step.added;
        EXPECT_EQ(readFile(path_), expected) << step.zone << " at " << step.when;
    }
    logfile_close(log);
}

// Each present file moves up one copy, copy 4 is deleted, the log starts empty; a copy that cannot be
// removed or renamed is reported and the rotation goes on.
TEST_F(LogEngine, RotationShiftsCopiesAndReportsFailures)
{
    for (const std::set<int> &present : {std::set<int>{-1, 0, 1, 2, 3, 4}, std::set<int>{}, std::set<int>{-1, 0, 2}}) {
        SCOPED_TRACE("present files: " + std::to_string(present.size()));
        for (int n = -1; n <= 4; ++n) {
            unlink(copy(n).c_str());
            if (present.count(n))
                writeFile(copy(n), "c" + std::to_string(n));
        }
        logfile_close(logfile_open(path_.c_str(), LOGFILE_ROTATE));
        EXPECT_TRUE(exists(path_) && readFile(path_).empty());
        for (int n = 0; n <= 4; ++n) {
            const std::string want = present.count(n - 1) ? "c" + std::to_string(n - 1) : "(none)";
            EXPECT_EQ(exists(copy(n)) ? readFile(copy(n)) : "(none)", want) << n;
        }
    }
    EXPECT_EQ(logfile_rotated_path("/w/ScanEngineLog.txt", -1), "/w/ScanEngineLog.txt");
    EXPECT_EQ(logfile_rotated_path("/w.d/log", 2), "/w.d/log2");
    EXPECT_EQ(logfile_rotated_path("/w/.log", 1), "/w/.log1");
    EXPECT_EQ(logfile_rotated_path("a.tar.gz", 3), "a.tar3.gz");

    writeFile(path_, "log");
    writeFile(copy(3), "c3");
    unlink(copy(4).c_str());
    ASSERT_EQ(mkdir(copy(4).c_str(), 0755), 0); // a non-empty folder where copy 4 belongs
    writeFile(copy(4) + "/keep", "k");
    testing::internal::CaptureStderr();
    LogFile *log = logfile_open(path_.c_str(), LOGFILE_ROTATE);
    std::string errors = testing::internal::GetCapturedStderr();
    ASSERT_NE(log, nullptr);
    logfile_close(log);
    EXPECT_EQ(errors, "Can't unlink " + copy(4) + "\nCan't rename " + copy(3) + " to " + copy(4) + "\n");
    EXPECT_EQ(readFile(copy(0)), "log");
    EXPECT_EQ(readFile(copy(3)), "c3");
}

// Fault guarded: the log was set aside at every opening, and the program opens it at every command, so a
// scan's lines were gone five commands later. It is set aside only when over 1 MiB or begun on another day
// (by its first line, the hour header), keeping five copies; a log whose first line is no header, or that
// is no regular file, is set aside too.
TEST_F(LogEngine, RotatesOnlyWhenLargeOrBegunOnAnotherDay)
{
    log_open(path_.c_str());
    log_info("the scan");
    for (int command = 0; command < 7; ++command) { // a day's commands
        g_seconds += 3600;
        log_open(path_.c_str());
        log_info("command %d", command);
    }
    log_close();
    const std::string day = readFile(path_);
    EXPECT_NE(day.find("[I] the scan\n"), std::string::npos) << day;
    EXPECT_NE(day.find("2024-07-01 21:00:00 +000\n"), std::string::npos) << day;
    EXPECT_FALSE(exists(copy(0)));

    // Begun the day before, seen in another zone: the local date decides. Each opening of a log begun on an
    // earlier day rotates, five copies kept.
    const std::string yesterday = "2024-06-30 23:00:00 +000\n:59:59.0  : [I] late\n";
    for (int n = 0; n < 6; ++n) {
        writeFile(path_, yesterday + std::to_string(n));
        log_close(), log_open(path_.c_str()), log_close();
    }
    for (int n = 0; n <= 4; ++n)
        EXPECT_EQ(readFile(copy(n)), yesterday + std::to_string(5 - n)) << n;
    EXPECT_EQ(readFile(path_).rfind("2024-07-01 21:00:00 +000\n", 0), 0u);
    {
        zvtest::ScopedEnv zone("TZ", "<-05>5"); // 2024-07-01 16:05 there, still July 1st
        writeFile(path_, "2024-07-01 02:00:00 -500\nx");
        log_open(path_.c_str()), log_close();
        EXPECT_EQ(readFile(copy(0)), yesterday + "5") << "rotated on the same local day";
        zvtest::ScopedEnv east("TZ", "<+10>-10"); // 2024-07-02 07:05 there
        log_open(path_.c_str()), log_close();
        EXPECT_EQ(readFile(copy(0)).rfind("2024-07-01 02:00:00 -500\nx", 0), 0u);
    }

    // Size: exactly 1 MiB stays, one byte more is set aside.
    const std::string today = "2024-07-01 21:00:00 +000\n";
    writeFile(path_, today + std::string((1 << 20) - today.size(), 'x'));
    log_open(path_.c_str()), log_close();
    EXPECT_EQ(readFile(copy(0)).rfind("2024-07-01 02:00:00 -500", 0), 0u) << "rotated at 1 MiB";
    EXPECT_GT(readFile(path_).size(), size_t{1} << 20);
    log_open(path_.c_str()), log_close();
    EXPECT_EQ(readFile(copy(0)).size(), (size_t{1} << 20) + opening().size());
    EXPECT_EQ(readFile(path_).rfind(today, 0), 0u);

    // Empty: nothing to keep. No header first: set aside. A folder in its place: moved aside as before.
    for (int n = -1; n <= 4; ++n)
        unlink(copy(n).c_str());
    writeFile(path_, "");
    log_open(path_.c_str()), log_close();
    EXPECT_FALSE(exists(copy(0)));
    writeFile(path_, "not a log\n");
    log_open(path_.c_str()), log_close();
    EXPECT_EQ(readFile(copy(0)), "not a log\n");
    unlink(path_.c_str());
    ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
    log_open(path_.c_str()), log_close();
    struct stat info;
    EXPECT_TRUE(lstat(copy(0).c_str(), &info) == 0 && S_ISDIR(info.st_mode));
    EXPECT_EQ(readFile(copy(1)), "not a log\n");
    EXPECT_EQ(readFile(path_).rfind(today, 0), 0u);
}

TEST_F(LogEngine, OpenWriteReopenCloseAndAppend)
{
    log_open(path_.c_str());
    const std::string opening = this->opening();
    EXPECT_EQ(readFile(path_), opening);
    log_error("e %d", 1), log_warning("w"), log_info("i");
    log_message(LOG_USER, "Start Scan on %s"); // written as it is
    log_message(5, "dropped");
    std::string body = kHead + "[E] e 1\n" + kHead + "[W] w\n" + kHead + "[I] i\n" + kHead + "[U] Start Scan on %s\n";
    EXPECT_EQ(readFile(path_), opening + body);

    log_open(path_.c_str()); // the same day and small: appended to
    EXPECT_EQ(readFile(path_), opening + body + opening);
    EXPECT_FALSE(exists(copy(0)));
    g_seconds += 86400; // the next day: rotates
    log_open(path_.c_str());
    const std::string next_day = "2024-07-02 14:00:00 +000\n" + opening.substr(kHour.size());
    EXPECT_EQ(readFile(copy(0)), opening + body + opening);
    EXPECT_EQ(readFile(path_), next_day);
    EXPECT_EQ(log_file_path(0), path_);
    EXPECT_EQ(log_file_path(1), dir_ / "ScanEngineLog0.txt");
    EXPECT_EQ(log_file_path(5), dir_ / "ScanEngineLog4.txt");
    log_close();
    log_info("after close"), log_push_context("ignored"), log_pop_context();
    EXPECT_EQ(readFile(path_), next_day);

    // Without rotation an existing log is appended to; children must not inherit its descriptor.
    LogFile *log = logfile_open(path_.c_str(), LOGFILE_PATH_LINE);
    ASSERT_NE(log, nullptr);
    logfile_set_level(log, LOG_USER);
    int fd_flags = fcntl(log->fd, F_GETFD);
    EXPECT_TRUE(fd_flags != -1 && (fd_flags & FD_CLOEXEC));
    logfile_close(log);
    EXPECT_EQ(readFile(path_), next_day + next_day);
    EXPECT_FALSE(exists(copy(1)));

    // A log that cannot be opened leaves the front ends silent.
    writeFile(dir_ / "file", "x");
    std::string bad = dir_ / "file/ScanEngineLog.txt"; // a file stands where a folder should
    EXPECT_EQ(logfile_open(dir_.path().c_str(), 0), nullptr); // a folder
    EXPECT_EQ(logfile_open(nullptr, 0), nullptr);
    log_open(bad.c_str());
    log_error("nowhere"), log_push_context("nowhere"), log_pop_context();
    EXPECT_EQ(log_file_path(0), bad);
    EXPECT_EQ(readFile(dir_ / "file"), "x");
}

// Contexts prefix the pushing thread's lines only, and a new log object (perhaps at
// the old address) must not inherit another thread's stale contexts.
TEST_F(LogEngine, ContextsPerThreadAndNotAfterReopen)
{
    log_open(path_.c_str());
    log_push_context("Scan"), log_push_context("TS");
    log_info("a");
    std::thread([] { log_info("b"); }).join();
    log_info("%s", ""); // the contexts alone make a line
    log_pop_context(), log_info("c");
    log_pop_context(), log_pop_context(); // one too many: nothing happens
    log_info("d");
    std::string text = readFile(path_);
    EXPECT_NE(text.find("changed\n" + kHead + "[I] Scan TS a\n" + kHead + "[I] b\n" + kHead + "[I] Scan TS \n" +
                        kHead + "[I] Scan c\n" + kHead + "[I] d\n"),
              std::string::npos) << text;

    std::promise<void> pushed, reopened;
    std::thread worker([&] {
        log_push_context("Old");
        pushed.set_value();
        reopened.get_future().wait();
        log_info("x");
    });
    pushed.get_future().wait();
    log_close();
    const std::string before = readFile(path_);
    log_open(path_.c_str());
    reopened.set_value();
    worker.join();
    EXPECT_EQ(readFile(path_), before + opening() + kHead + "[I] x\n");
}

// Fault guarded: partial writes cut lines. A one-page pipe and a signal after every read make write(2) return
// short counts and EINTR; the line must still arrive whole.
TEST_F(LogEngine, ShortAndInterruptedWritesStillWriteEverything)
{
    LogFile *log = logfile_open(path_.c_str(), 0);
    ASSERT_NE(log, nullptr);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096);
    ASSERT_EQ(dup2(pipe_fds[1], log->fd), log->fd);
    close(pipe_fds[1]);
    struct sigaction action = {}, previous;
    action.sa_handler = [](int) {}; // no SA_RESTART: blocked writes return early
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    std::atomic<bool> done{false};
    pthread_t writer = pthread_self();
    std::string received;
    std::thread reader([&] {
        char chunk[4096];
        for (ssize_t n; (n = read(pipe_fds[0], chunk, sizeof chunk)) != 0;) {
            if (n > 0)
                received.append(chunk, static_cast<size_t>(n));
            if (!done)
                pthread_kill(writer, SIGUSR1);
        }
    });
    std::string message(256 * 1024, 'x');
    logfile_printf(log, LOG_INFO, "%s", message.c_str());
    done = true;
    logfile_close(log); // the reader sees the end of the pipe
    reader.join();
    sigaction(SIGUSR1, &previous, nullptr);
    close(pipe_fds[0]);
    EXPECT_EQ(received.size(), (kHour + kHead + "[I] \n").size() + message.size());
    EXPECT_TRUE(received == kHour + kHead + "[I] " + message + "\n");

    log = logfile_open("/dev/full", 0); // ENOSPC: the line is dropped, no hang
    ASSERT_NE(log, nullptr) << "/dev/full is needed for this test";
    logfile_printf(log, LOG_INFO, "no space");
    logfile_close(log);
}

// Four threads log (some with a context) while the main thread reopens the log five times (fault: the object
// was replaced without the lock); every line must land whole, once, in one of the six files.
TEST(LogThreads, LoggingWhileReopening)
{
    zvtest::TempDir dir;
    std::string path = dir / "ScanEngineLog.txt";
    constexpr int kThreads = 4, kLines = 5000, kReopens = 5;
    log_open(path.c_str());
    std::atomic<int> written{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::string context = "W" + std::to_string(t);
            for (int i = 0; i < kLines; ++i, ++written) {
                if (i % 3 == 0)
                    log_push_context(context.c_str());
                log_info("msg %d %d", t, i);
                if (i % 3 == 0)
                    log_pop_context();
                EXPECT_TRUE(i % 64 != 0 || log_file_path(1) == dir / "ScanEngineLog0.txt");
            }
        });
    }
    for (int k = 1; k <= kReopens; ++k) {
        while (written < k * kThreads * kLines / (kReopens + 1))
            std::this_thread::yield();
        log_push_context("Main"), log_info("main %d", k);
        log_open(path.c_str());
        log_pop_context();
    }
    for (std::thread &worker : workers)
        worker.join();
    log_close();

    const std::regex other(R"(\d{4}-\d\d-\d\d \d\d:00:00 [+-]\d+|:\d\d:\d\d\.[\d ]{3}: )"
                           R"((/[\w./-]*/ScanEngineLog\.txt|\[U\] log level changed|\[I\] Main main \d))");
    const std::regex worker(R"(:\d\d:\d\d\.[\d ]{3}: \[I\] (?:W(\d) )?msg (\d) (\d+))");
    std::set<std::pair<int, int>> seen;
    for (int n = -1; n <= 4; ++n) {
        std::istringstream in(readFile(logfile_rotated_path(path, n)));
        for (std::string text; std::getline(in, text);) {
            std::smatch m;
            if (std::regex_match(text, other))
                continue;
            ASSERT_TRUE(std::regex_match(text, m, worker)) << "mixed or broken line: " << text;
            EXPECT_TRUE(!m[1].matched || m[1] == m[2]) << "context of another thread: " << text;
            EXPECT_TRUE(seen.insert({std::stoi(m[2]), std::stoi(m[3])}).second) << "line written twice: " << text;
        }
    }
    EXPECT_EQ(seen.size(), size_t{kThreads * kLines});
}

// Levels up to 4 are printed; a format that does not match its arguments is reported, not thrown.
TEST(ConsoleLog, LevelsUpToFourAndBadFormats)
{
    testing::internal::CaptureStdout();
    ZV::log(3, "x %d", 5);
    ZV::log(6, "fat trace %d", 1);
    ZV::log(4, "plain");
    ZV::log<unsigned long>(2, "code %lu", 5ul);
    ZV::log<const char *, unsigned>(0, "%s=%u", "a", 7u);
    ZV::log<const char *, unsigned long>(-1, "%s %lu", "neg", 9ul);
    ZV::log(1, "%d %d", 1);
    ZV::log(1, "%d", "text");
    ZV::log(1, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[3] x 5\n[4] plain\n[2] code 5\n[0] a=7\n[-1] neg 9\n"
              "[1] %d %d (bad log format: argument not found)\n"
              "[1] %d (bad log format: invalid type specifier)\n[1] \n");
}

} // namespace

// A link or a FIFO where the log was expected is refused: the link is not followed (its target stays as it was),
// and the open of a FIFO without a reader does not wait (run in a child, so a wait fails the test, not hangs it).
TEST_F(LogEngine, LinksAndFifosAreRefused)
{
    const std::string target = dir_ / "target";
    writeFile(target, "kept");
    const std::string link = dir_ / "link.txt";
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
    LogFile *log = logfile_open(link.c_str(), 0);
    EXPECT_EQ(log, nullptr);
    logfile_close(log);
    EXPECT_EQ(readFile(target), "kept");

    const std::string fifo = dir_ / "fifo.txt";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const zvtest::ChildOutcome outcome = zvtest::runInChild(
        [&](const zvtest::ChildNotes &note) {
            LogFile *opened = logfile_open(fifo.c_str(), 0);
            if (opened != nullptr) {
                note("the FIFO was opened as a log");
                logfile_close(opened);
                return 1;
            }
            return 0;
        },
        30);
    EXPECT_TRUE(outcome.finished) << "the open waited";
    EXPECT_EQ(outcome.status, 0) << outcome.notes;
}

// A FIFO whose reader is already there opens for writing at once: it is still refused, and nothing reaches the
// reader (with the path line asked for, a log taken would write one at once).
TEST_F(LogEngine, FifoWithAReaderIsRefused)
{
    const std::string fifo = dir_ / "fifo.txt";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0) << strerror(errno);
    LogFile *log = logfile_open(fifo.c_str(), LOGFILE_PATH_LINE);
    EXPECT_EQ(log, nullptr);
    logfile_close(log);
    // No writer left and nothing written: the reader sees the end at once.
    char byte = 0;
    EXPECT_EQ(read(reader, &byte, 1), 0) << "the log wrote into the FIFO";
    close(reader);
}
