#include "foundation/error_list.h"
#include "foundation/log.h"
#include "support/test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <string>
#include <vector>
#include <sys/resource.h>

#include <gtest/gtest.h>

namespace {

TEST(ErrorListText, RepeatsFoldOnlyWhenAdjacentAndTheListHoldsThirty)
{
    struct Row { std::vector<int> codes; const char *text; int entries; };
    const Row rows[] = {{{}, "[]", 0}, {{283, 307, 307}, "[283 2*307]", 2}, {{307, 283, 307}, "[307 283 307]", 3}};
    for (const Row &row : rows) {
        clear_errors();
        for (int code : row.codes)
            add_error(code);
        char *text = error_list_string();
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, row.text);
        std::free(text);
        EXPECT_EQ(n_errors(), row.entries) << row.text;
    }
    clear_errors();
    std::string thirty = "[";
    for (int code = 1; code <= 31; code++) { // the 31st distinct code is dropped
        add_error(code);
        thirty += code < 30 ? std::to_string(code) + " " : "";
    }
    add_error(30); // a repeat of the last still counts
    EXPECT_EQ(error_list_str(), thirty + "2*30]");
    EXPECT_EQ(n_errors(), 30);
    clear_errors();
}

// errno must be read on entry and kept, also when the log line written in between fails (EFBIG here):
// a failing step logs before it hands its errno on, so logging keeps errno too.
TEST(ErrorListErrno, ErrnoIsTakenOnEntryAndKept)
{
    zvtest::TempDir dir;
    std::string path = dir / "ScanEngineLog.txt";
    clear_errors();
    log_open(path.c_str());
    errno = ENOSPC; // 28
    add_error_errno(593);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(error_list_str(), "[28593]");

    // With the file-size limit below the log's size every log write fails with EFBIG.
    struct rlimit saved, tight;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    tight = saved;
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
    log_close();

    std::string log = zvtest::readFile(path);
    EXPECT_NE(log.find("[E] add_error_errno: 593 28\n"), std::string::npos) << log;
    ASSERT_EQ(log.find("probe"), std::string::npos) << "the log write did not fail; provoke it another way";
    EXPECT_EQ(after_probe, 0) << "a failed log write changed errno";
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
    std::string text = error_list_str();
    ASSERT_TRUE(text.size() >= 2 && text.front() == '[' && text.back() == ']') << text;
    std::istringstream body(text.substr(1, text.size() - 2));
    int entries = 0, previous = -1;
    for (std::string entry; body >> entry; ++entries) {
        size_t star = entry.find('*');
        int code = std::atoi(entry.c_str() + (star == std::string::npos ? 0 : star + 1));
        EXPECT_TRUE(code >= 100 && code < 100 + kThreads && code != previous) << entry;
        previous = code;
    }
    EXPECT_EQ(entries, n_errors());
    EXPECT_LE(entries, 30);
    clear_errors();
}

} // namespace
