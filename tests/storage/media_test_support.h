// Shared by the media tests: the engine log of a test, distinct file contents and an empty media list
// around every test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "foundation/log.h"
#include "storage/media.h"
#include "support/test_support.h"

namespace mediatest {

struct LogCapture {
    zvtest::TempDir dir;
    LogCapture() { log_open((dir / "log.txt").c_str()); }
    ~LogCapture() { log_close(); }
    bool has(const std::string &s) const { return zvtest::readFile(dir / "log.txt").find(s) != std::string::npos; }
};

// n pseudo-random bytes: a shifted or stale block never compares equal.
inline std::string pattern(size_t n, uint32_t seed = 1)
{
    std::string out(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char &c : out)
        c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
    return out;
}

class MediaFixture : public testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() { media_free_all(); media_set_prescan_hook(nullptr); }
    zvtest::TempDir dir;
};

// A listed plain-file medium over the whole file.
inline Media *fileMedium(const std::string &path, int32_t block_size = 512)
{
    Media *m = media_new(path.c_str(), "file", MEDIA_FILE, 0);
    if (m == nullptr)
        throw std::runtime_error("media_new failed for " + path);
    m->stop_pos = m->orig_stop_pos = (int64_t)zvtest::readFile(path).size();
    m->block_size = block_size;
    return m;
}

} // namespace mediatest
