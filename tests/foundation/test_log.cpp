// The engine log, the log-file object and the console log, on real files in a
// temporary folder with an injected clock.
#include "foundation/console_log.h"
#include "foundation/log.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

constexpr int64_t kJuly1 = 1719842709;   // 2024-07-01 14:05:09 UTC
constexpr int64_t kJanuary = 1705320000; // 2024-01-15 12:00:00 UTC
int64_t g_seconds = kJuly1;
int32_t g_micros = 0;

void fake_clock(int64_t *seconds, int32_t *micros)
{
    *seconds = g_seconds;
    *micros = g_micros;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

bool exists(const std::string &path)
{
    return std::filesystem::exists(std::filesystem::symlink_status(path));
}

// Sets TZ for its lifetime and restores the previous setting.
struct TimeZone {
    explicit TimeZone(const char *zone) : had(std::getenv("TZ")), old(had ? std::getenv("TZ") : "")
    {
        set(zone);
    }
    ~TimeZone() { had ? set(old.c_str()) : (void)(unsetenv("TZ"), tzset()); }
    static void set(const char *zone)
    {
        setenv("TZ", zone, 1);
        tzset();
    }
    bool had;
    std::string old;
};

class LogTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zv_log_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/ScanEngineLog.txt";
        g_seconds = kJuly1;
        g_micros = 0;
        log_set_time_source(fake_clock);
    }
    void TearDown() override
    {
        log_close();
        log_set_time_source(nullptr);
        std::filesystem::remove_all(dir_);
    }
    std::string copy(int n) const { return logfile_rotated_path(path_, n); }

    TimeZone utc_{"UTC0"};
    std::string dir_, path_;
};

using LogFormat = LogTest;
using LogHourHeader = LogTest;
using LogRotation = LogTest;
using LogEngine = LogTest;
using LogContext = LogTest;
using LogWrite = LogTest;

TEST_F(LogFormat, LineHeadTagsAndLineFeeds)
{
    LogFile *log = logfile_open(path_.c_str(), 0);
    ASSERT_NE(log, nullptr);
    logfile_printf(log, LOG_INFO, "%s", ""); // empty: not even a header
    EXPECT_EQ(read_file(path_), "");
    g_micros = 5000;
    logfile_printf(log, LOG_USER, "hello %d", 7);
    logfile_printf(log, 5, "dropped at threshold 4");
    logfile_printf(log, LOG_INFO, "ends\n");
    g_micros = 999999;
    logfile_printf(log, LOG_PATH, "%s", "the path level has no tag");
    EXPECT_EQ(read_file(path_), "2024-07-01 14:00:00 +000\n"
                                ":05:09.5  : [U] hello 7\n"
                                ":05:09.5  : [I] ends\n"
                                ":05:09.999: the path level has no tag\n");
    logfile_close(log);
}

TEST_F(LogFormat, EveryLevelsTagAndThreshold)
{
    LogFile *log = logfile_open(path_.c_str(), 0);
    ASSERT_NE(log, nullptr);
    logfile_set_level(log, 16);
    const char *tags[17] = {"[C] ", "[E] ", "[W] ", "[I] ", "[U] ", "", "", "", "", "",
                            "[V] ", "", "", "", "", "[D] ", "[T] "};
    std::string expected = "2024-07-01 14:00:00 +000\n:05:09.0  : [T] log level changed\n";
    for (uint32_t level = 0; level <= 17; ++level) {
        logfile_printf(log, level, "L%u", level);
        if (level <= 16)
            expected += std::string(":05:09.0  : ") + tags[level] + "L" + std::to_string(level) + "\n";
    }
    logfile_set_level(log, 17); // ignored: no line, threshold kept
    EXPECT_EQ(log->threshold, 16u);
    logfile_set_level(log, 0);
    logfile_printf(log, LOG_ERROR, "dropped");
    logfile_printf(log, LOG_PATH, "path");
    expected += ":05:09.0  : [C] log level changed\n:05:09.0  : path\n";
    EXPECT_EQ(read_file(path_), expected);
    logfile_close(log);
}

TEST_F(LogFormat, OffsetFollowsZoneAndSummerTime)
{
    struct Case {
        const char *zone;
        int64_t when;
        const char *text;
    } cases[] = {
        {"IST-5:30", kJuly1, "2024-07-01 19:00:00 +530\n:35:09.0  : [I] x\n"},
        {"PST8PDT", kJuly1, "2024-07-01 07:00:00 -700\n:05:09.0  : [I] x\n"}, // summer time
        {"PST8PDT", kJanuary, "2024-01-15 04:00:00 -800\n:00:00.0  : [I] x\n"},
        {"NST3:30", kJuly1, "2024-07-01 10:00:00 -330\n:35:09.0  : [I] x\n"},
    };
    for (const Case &c : cases) {
        TimeZone zone(c.zone);
        g_seconds = c.when;
        unlink(path_.c_str());
        LogFile *log = logfile_open(path_.c_str(), 0);
        ASSERT_NE(log, nullptr);
        logfile_printf(log, LOG_INFO, "x");
        logfile_close(log);
        EXPECT_EQ(read_file(path_), c.text) << c.zone;
    }
}

TEST_F(LogHourHeader, NewHeaderOnlyWhenHourDayOrOffsetChanges)
{
    LogFile *log = logfile_open(path_.c_str(), 0);
    ASSERT_NE(log, nullptr);
    g_seconds = 1719878340; // 23:59:00
    logfile_printf(log, LOG_INFO, "a");
    g_seconds += 59;
    logfile_printf(log, LOG_INFO, "b");
    g_seconds += 2; // past midnight
    logfile_printf(log, LOG_INFO, "c");
    {
        TimeZone nepal("<+0545>-5:45"); // 05:45:01 local
        logfile_printf(log, LOG_INFO, "d");
        TimeZone india("IST-5:30");     // 05:30:01: same hour, other offset
        logfile_printf(log, LOG_INFO, "e");
    }
    EXPECT_EQ(read_file(path_), "2024-07-01 23:00:00 +000\n:59:00.0  : [I] a\n:59:59.0  : [I] b\n"
                                "2024-07-02 00:00:00 +000\n:00:01.0  : [I] c\n"
                                "2024-07-02 05:00:00 +545\n:45:01.0  : [I] d\n"
                                "2024-07-02 05:00:00 +530\n:30:01.0  : [I] e\n");
    logfile_close(log);
}

TEST_F(LogRotation, AllCopiesPresentShiftsAndDropsTheOldest)
{
    write_file(path_, "log");
    for (int n = 0; n <= 4; ++n)
        write_file(copy(n), "c" + std::to_string(n));
    LogFile *log = logfile_open(path_.c_str(), LOGFILE_ROTATE);
    ASSERT_NE(log, nullptr);
    logfile_close(log);
    EXPECT_EQ(read_file(path_), "");
    EXPECT_EQ(read_file(copy(0)), "log");
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(read_file(copy(n)), "c" + std::to_string(n - 1));
}

TEST_F(LogRotation, NonePresentAndGap)
{
    LogFile *log = logfile_open(path_.c_str(), LOGFILE_ROTATE);
    ASSERT_NE(log, nullptr);
    logfile_close(log);
    EXPECT_TRUE(exists(path_));
    for (int n = 0; n <= 4; ++n)
        EXPECT_FALSE(exists(copy(n))) << n;

    write_file(path_, "log");
    write_file(copy(0), "c0");
    write_file(copy(2), "c2");
    log = logfile_open(path_.c_str(), LOGFILE_ROTATE);
    logfile_close(log);
    EXPECT_EQ(read_file(copy(0)), "log");
    EXPECT_EQ(read_file(copy(1)), "c0");
    EXPECT_FALSE(exists(copy(2)));
    EXPECT_EQ(read_file(copy(3)), "c2");
    EXPECT_FALSE(exists(copy(4)));
}

TEST_F(LogRotation, FailuresAreReportedAndRotationGoesOn)
{
    write_file(path_, "log");
    write_file(copy(3), "c3");
    ASSERT_EQ(mkdir(copy(4).c_str(), 0755), 0); // a non-empty folder where copy 4 belongs
    write_file(copy(4) + "/keep", "k");
    testing::internal::CaptureStderr();
    LogFile *log = logfile_open(path_.c_str(), LOGFILE_ROTATE);
    std::string errors = testing::internal::GetCapturedStderr();
    ASSERT_NE(log, nullptr);
    logfile_close(log);
    EXPECT_EQ(errors, "Can't unlink " + copy(4) + "\nCan't rename " + copy(3) + " to " + copy(4) + "\n");
    EXPECT_EQ(read_file(copy(0)), "log");
    EXPECT_EQ(read_file(copy(3)), "c3");
}

TEST_F(LogRotation, CopyNames)
{
    EXPECT_EQ(logfile_rotated_path("/w/ScanEngineLog.txt", 0), "/w/ScanEngineLog0.txt");
    EXPECT_EQ(logfile_rotated_path("/w/ScanEngineLog.txt", 4), "/w/ScanEngineLog4.txt");
    EXPECT_EQ(logfile_rotated_path("/w/ScanEngineLog.txt", -1), "/w/ScanEngineLog.txt");
    EXPECT_EQ(logfile_rotated_path("/w.d/log", 2), "/w.d/log2");
    EXPECT_EQ(logfile_rotated_path("/w/.log", 1), "/w/.log1");
    EXPECT_EQ(logfile_rotated_path("a.tar.gz", 3), "a.tar3.gz");
}

TEST_F(LogEngine, OpeningWritesHeaderPathAndLevelThenRotates)
{
    log_open(path_.c_str());
    std::string opening = "2024-07-01 14:00:00 +000\n:05:09.0  : " + path_ +
                          "\n:05:09.0  : [U] log level changed\n";
    EXPECT_EQ(read_file(path_), opening);
    log_error("e %d", 1);
    log_warning("w");
    log_info("i");
    log_message(LOG_USER, "Start Scan on %s"); // written as it is
    log_message(5, "dropped");
    std::string body = ":05:09.0  : [E] e 1\n:05:09.0  : [W] w\n:05:09.0  : [I] i\n"
                       ":05:09.0  : [U] Start Scan on %s\n";
    EXPECT_EQ(read_file(path_), opening + body);

    log_open(path_.c_str());
    EXPECT_EQ(read_file(copy(0)), opening + body);
    EXPECT_EQ(read_file(path_), opening);
    EXPECT_EQ(log_file_path(0), path_);
    EXPECT_EQ(log_file_path(1), dir_ + "/ScanEngineLog0.txt");
    EXPECT_EQ(log_file_path(5), dir_ + "/ScanEngineLog4.txt");

    log_close();
    log_info("after close");
    log_push_context("ignored");
    log_pop_context();
    EXPECT_EQ(read_file(path_), opening);
    EXPECT_EQ(log_file_path(0), path_);
}

TEST_F(LogEngine, ExistingFileWithoutRotationIsAppendedToAndNotInherited)
{
    write_file(path_, "old line\n");
    LogFile *log = logfile_open(path_.c_str(), LOGFILE_PATH_LINE);
    ASSERT_NE(log, nullptr);
    logfile_set_level(log, LOG_USER);
    int fd_flags = fcntl(log->fd, F_GETFD); // child processes must not inherit the log
    EXPECT_TRUE(fd_flags != -1 && (fd_flags & FD_CLOEXEC));
    logfile_close(log);
    EXPECT_EQ(read_file(path_), "old line\n2024-07-01 14:00:00 +000\n:05:09.0  : " + path_ +
                                    "\n:05:09.0  : [U] log level changed\n");
    EXPECT_FALSE(exists(copy(0)));
}

TEST_F(LogEngine, UnopenableLogLeavesFrontEndsSilent)
{
    write_file(dir_ + "/file", "x");
    std::string bad = dir_ + "/file/ScanEngineLog.txt"; // a file stands where a folder should
    EXPECT_EQ(logfile_open(bad.c_str(), 3), nullptr);
    EXPECT_EQ(logfile_open(dir_.c_str(), 0), nullptr); // a folder
    EXPECT_EQ(logfile_open(nullptr, 0), nullptr);
    log_open(bad.c_str());
    log_error("nowhere");
    log_push_context("nowhere");
    log_pop_context();
    EXPECT_EQ(log_file_path(0), bad);
    EXPECT_EQ(read_file(dir_ + "/file"), "x");
}

TEST_F(LogContext, PrefixOnTheOwnThreadOnly)
{
    log_open(path_.c_str());
    log_push_context("Scan");
    log_push_context("TS");
    log_info("a");
    std::thread([] { log_info("b"); }).join();
    log_info("%s", ""); // the contexts alone make a line
    log_pop_context();
    log_info("c");
    log_pop_context();
    log_pop_context(); // one too many: nothing happens
    log_info("d");
    std::string text = read_file(path_);
    EXPECT_NE(text.find("[U] log level changed\n:05:09.0  : [I] Scan TS a\n:05:09.0  : [I] b\n"
                        ":05:09.0  : [I] Scan TS \n:05:09.0  : [I] Scan c\n:05:09.0  : [I] d\n"),
              std::string::npos)
        << text;
}

TEST_F(LogContext, ContextsDoNotOutliveTheirLog)
{
    log_open(path_.c_str());
    std::promise<void> pushed, reopened;
    std::thread worker([&] {
        log_push_context("Old");
        pushed.set_value();
        reopened.get_future().wait();
        log_info("x"); // a new log object, perhaps at the old address
    });
    pushed.get_future().wait();
    log_close();
    log_open(path_.c_str());
    reopened.set_value();
    worker.join();
    std::string text = read_file(path_);
    EXPECT_NE(text.find("[I] x\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Old"), std::string::npos) << text;
}

void ignore_signal(int) {}

// A pipe of one page and a signal after every read make the writer's write(2)
// return early (short counts and EINTR); the line must still arrive whole.
TEST_F(LogWrite, ShortAndInterruptedWritesStillWriteEverything)
{
    LogFile *log = logfile_open(path_.c_str(), 0);
    ASSERT_NE(log, nullptr);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096);
    ASSERT_EQ(dup2(pipe_fds[1], log->fd), log->fd);
    close(pipe_fds[1]);

    struct sigaction action = {}, previous;
    action.sa_handler = ignore_signal; // no SA_RESTART: blocked writes return early
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    std::atomic<bool> done{false};
    pthread_t writer = pthread_self();
    std::string received;
    std::thread reader([&] {
        char chunk[4096];
        ssize_t n;
        while ((n = read(pipe_fds[0], chunk, sizeof chunk)) != 0) {
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
    std::string expected = "2024-07-01 14:00:00 +000\n:05:09.0  : [I] " + message + "\n";
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
}

TEST_F(LogWrite, WriteErrorDropsTheLine)
{
    LogFile *log = logfile_open("/dev/full", 0);
    ASSERT_NE(log, nullptr) << "/dev/full is needed for this test";
    logfile_printf(log, LOG_INFO, "no space"); // ENOSPC: returns, no hang
    logfile_close(log);
}

// Four threads log (some with a context) while the main thread reopens the log
// five times; every line must land whole, once, in one of the six files.
TEST(LogThreads, LoggingWhileReopening)
{
    char pattern[] = "/tmp/zv_log_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern, path = dir + "/ScanEngineLog.txt";
    constexpr int kThreads = 4, kLines = 5000, kReopens = 5;
    log_open(path.c_str());
    std::atomic<int> written{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::string context = "W" + std::to_string(t);
            for (int i = 0; i < kLines; ++i, ++written) {
                bool with_context = i % 3 == 0;
                if (with_context)
                    log_push_context(context.c_str());
                log_info("msg %d %d", t, i);
                if (with_context)
                    log_pop_context();
                if (i % 64 == 0) {
                    EXPECT_EQ(log_file_path(1), dir + "/ScanEngineLog0.txt");
                }
            }
        });
    }
    for (int k = 1; k <= kReopens; ++k) {
        while (written < k * kThreads * kLines / (kReopens + 1))
            std::this_thread::yield();
        log_push_context("Main");
        log_info("main %d", k);
        log_open(path.c_str());
        log_pop_context();
    }
    for (std::thread &worker : workers)
        worker.join();
    log_close();

    std::set<std::pair<int, int>> seen;
    for (int n = -1; n <= 4; ++n) {
        std::istringstream in(read_file(logfile_rotated_path(path, n)));
        for (std::string text; std::getline(in, text);) {
            if (text.size() > 13 && text.compare(13, 7, ":00:00 ") == 0)
                continue; // hour header
            // ":mm:ss.mmm: " then a known body
            ASSERT_TRUE(text.size() > 12 && text[0] == ':' && text.compare(10, 2, ": ") == 0) << text;
            std::string body = text.substr(12);
            if (body == path || body == "[U] log level changed" || body.rfind("[I] Main main ", 0) == 0)
                continue;
            int context = -1, t = -1, i = -1, end = 0;
            if (std::sscanf(body.c_str(), "[I] W%d msg %d %d%n", &context, &t, &i, &end) != 3)
                std::sscanf(body.c_str(), "[I] msg %d %d%n", &t, &i, &end);
            ASSERT_TRUE(end > 0 && body[end] == 0) << "mixed or broken line: " << text;
            EXPECT_TRUE(context == -1 || context == t) << "context of another thread: " << text;
            EXPECT_TRUE(seen.insert({t, i}).second) << "line written twice: " << text;
        }
    }
    EXPECT_EQ(seen.size(), size_t{kThreads * kLines});
    std::filesystem::remove_all(dir);
}

TEST(ConsoleLog, WritesLevelsUpToFour)
{
    testing::internal::CaptureStdout();
    ZV::log(3, "x %d", 5);
    ZV::log(6, "fat trace %d", 1);
    ZV::log(4, "plain");
    ZV::log<unsigned long>(2, "code %lu", 5ul);
    ZV::log<const char *, unsigned>(0, "%s=%u", "a", 7u);
    ZV::log<const char *, unsigned long>(-1, "%s %lu", "neg", 9ul);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[3] x 5\n[4] plain\n[2] code 5\n[0] a=7\n[-1] neg 9\n");
}

TEST(ConsoleLog, BadFormatIsReportedNotThrown)
{
    testing::internal::CaptureStdout();
    ZV::log(1, "%d %d", 1);
    ZV::log(1, "%d", "text");
    ZV::log(1, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[1] %d %d (bad log format: argument not found)\n"
              "[1] %d (bad log format: invalid type specifier)\n[1] \n");
}

} // namespace
