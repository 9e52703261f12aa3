#include "foundation/error_list.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "foundation/log.h"

namespace {

// Opens the engine log in a fresh temporary folder; returns the log's path.
std::string open_temp_log()
{
    char pattern[] = "/tmp/zv_errlist_XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return "";
    std::string path = std::string(pattern) + "/ScanEngineLog.txt";
    log_open(path.c_str());
    return path;
}

std::string close_and_read_log(const std::string &path)
{
    log_close();
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::filesystem::remove_all(std::filesystem::path(path).parent_path());
    return text.str();
}

// The entries of "[a b c]".
std::vector<std::string> entries_of(const std::string &text)
{
    if (text.size() < 2 || text.front() != '[' || text.back() != ']')
        return {"<malformed: " + text + ">"};
    std::stringstream body(text.substr(1, text.size() - 2));
    std::vector<std::string> out;
    for (std::string entry; body >> entry;)
        out.push_back(entry);
    return out;
}

} // namespace

TEST(ErrorListText, RepeatsFoldOnlyWhenAdjacentAndTheListHoldsThirty)
{
    clear_errors();
    EXPECT_EQ(error_list_str(), "[]");
    for (int code : {283, 307, 307})
        add_error(code);
    EXPECT_EQ(n_errors(), 2);
    char *text = error_list_string();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "[283 2*307]");
    std::free(text);

    clear_errors();
    for (int code : {307, 283, 307})
        add_error(code);
    EXPECT_EQ(n_errors(), 3);

    clear_errors();
    for (int code = 1; code <= 31; code++) // the 31st distinct code is dropped
        add_error(code);
    add_error(30); // a repeat of the last still counts
    std::vector<std::string> entries = entries_of(error_list_str());
    ASSERT_EQ(entries.size(), 30u);
    EXPECT_EQ(entries.back(), "2*30");
    clear_errors();
}

TEST(ErrorListErrno, ErrnoIsTakenOnEntryAndKept)
{
    clear_errors();
    std::string path = open_temp_log();
    ASSERT_FALSE(path.empty());
    errno = ENOSPC; // 28
    add_error_errno(593);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(error_list_str(), "[28593]");

    // With the file-size limit below the log's size every log write fails
    // with EFBIG, so logging itself changes errno.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tight = saved;
    tight.rlim_cur = 1;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    errno = 0;
    log_error("probe");
    int after_probe = errno;
    errno = EIO; // 5
    add_error_errno(7);
    int after_add = errno;
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);

    std::string log = close_and_read_log(path);
    EXPECT_NE(log.find("[E] add_error_errno: 593 28\n"), std::string::npos) << log;
    ASSERT_EQ(after_probe, EFBIG) << "logging no longer changes errno here; provoke it another way";
    EXPECT_EQ(after_add, EIO);
    EXPECT_EQ(error_list_str(), "[28593 5007]");
    clear_errors();
}

TEST(ErrorListThreads, ConcurrentRecordingKeepsTotals)
{
    constexpr int kThreads = 4, kPerThread = 2000;
    auto run = [](auto body) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back(body, t);
        for (std::thread &th : threads)
            th.join();
    };

    // One shared code: no count may be lost.
    clear_errors();
    run([](int) {
        for (int i = 0; i < kPerThread; i++)
            add_error(7);
    });
    EXPECT_EQ(error_list_str(), "[" + std::to_string(kThreads * kPerThread) + "*7]");

    // A code per thread with readers alongside: at most 30 entries, only the
    // recorded codes, never two neighbours with one code.
    clear_errors();
    run([](int t) {
        for (int i = 0; i < kPerThread; i++) {
            add_error(100 + t);
            if (i % 256 == 0)
                std::free(error_list_string());
        }
    });
    std::vector<std::string> entries = entries_of(error_list_str());
    EXPECT_EQ(static_cast<int>(entries.size()), n_errors());
    EXPECT_LE(entries.size(), 30u);
    int previous = -1;
    for (const std::string &entry : entries) {
        size_t star = entry.find('*');
        int code = std::atoi(entry.c_str() + (star == std::string::npos ? 0 : star + 1));
        EXPECT_TRUE(code >= 100 && code < 100 + kThreads && code != previous) << entry;
        previous = code;
    }
    clear_errors();
}
