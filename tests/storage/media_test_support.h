// Shared by the media tests: the engine log of a test, distinct file contents and an empty media list
// around every test.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "foundation/file.h"
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

// A card under a path whose device reads go through a registered type: its positioned-read slot sits under
// every read of the block reader (and of a kind 6 medium's file object). 512-byte blocks listed in `bad` fail
// with EIO, everything from `gone` on with `gone_errno` (ENODEV: the card was pulled out; 0: its data ends
// there, as a card image cut short), and the first read that covers
// the byte `gate_at` is held until openGate(). A read stops short before a failing block, as a device does.
// Registered types live as long as the process, their argument does not: a card that goes opens its gate and
// frees every medium (and so every reader still reading through it).
struct FaultyCard {
    std::string path, content;
    std::vector<int64_t> bad; // block numbers
    int64_t gone = INT64_MAX;
    int gone_errno = ENODEV;
    int64_t gate_at = -1;
    std::atomic<bool> gate_taken{false};
    std::promise<void> entered_promise, open_promise;
    std::shared_future<void> entered = entered_promise.get_future().share();
    std::shared_future<void> opened = open_promise.get_future().share();
    std::atomic<bool> gate_open{false};

    FaultyCard(std::string file, std::string bytes) : path(std::move(file)), content(std::move(bytes))
    {
        zvtest::writeFile(path, content);
        static vf_ops ops{};
        ops.pread = &FaultyCard::pread;
        if (file_register_vf(path.c_str(), &ops, this) == nullptr)
            throw std::runtime_error("can't register " + path);
    }
    ~FaultyCard()
    {
        openGate();
        media_free_all();
    }
    FaultyCard(const FaultyCard &) = delete;
    FaultyCard &operator=(const FaultyCard &) = delete;

    void openGate()
    {
        if (!gate_open.exchange(true))
            open_promise.set_value();
    }
    // Whether the read holding the gate has begun (waits at most 20 s).
    bool gateEntered() const { return entered.wait_for(std::chrono::seconds(20)) == std::future_status::ready; }

    static ssize_t pread(file_t *f, void *buffer, size_t count, int64_t offset)
    {
        FaultyCard &c = *static_cast<FaultyCard *>(f->vf->arg);
        int64_t end = offset + (int64_t)count;
        if (c.gate_at >= offset && c.gate_at < end && !c.gate_taken.exchange(true)) {
            c.entered_promise.set_value();
            c.opened.wait_for(std::chrono::seconds(20));
        }
        if (offset >= c.gone)
            return c.gone_errno != 0 ? (errno = c.gone_errno, -1) : 0;
        end = std::min(end, c.gone);
        for (int64_t block : c.bad) {
            const int64_t from = block * 512, to = from + 512;
            if (from < end && to > offset) {
                if (from <= offset)
                    return errno = EIO, -1;
                end = from;
            }
        }
        return ::pread(f->fd, buffer, (size_t)(end - offset), offset);
    }
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
