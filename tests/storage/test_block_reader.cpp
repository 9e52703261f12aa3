// The block reader on real files and loop devices: parameter errors, the end
// of a range inside a block, request limits, requests spanning buffers and
// the ring's end, a random consumer checked against the file, seeking, read
// errors, a device that goes away, slow reads, and stopping or aborting
// while the consumer waits. Faults and delays come from a virtual-file type
// registered under the file's path: its positioned-read slot sits under
// every device read.
#include "storage/block_reader.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/engine_status.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "support/test_support.h"

using zvtest::TempDir;

namespace {

using ReaderPtr = std::unique_ptr<rd_reader, decltype(&rd_close)>;

std::string randomBytes(size_t size, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen());
    return s;
}

std::string str(const uint8_t *data, int64_t count)
{
    return std::string(reinterpret_cast<const char *>(data), static_cast<size_t>(count));
}

testing::AssertionResult sameBytes(const std::string &got, const std::string &want)
{
    if (got == want)
        return testing::AssertionSuccess();
    const size_t n = std::min(got.size(), want.size());
    return testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size() << ", first difference at "
                                       << std::mismatch(got.begin(), got.begin() + n, want.begin()).first - got.begin();
}

struct LogCapture {
    TempDir dir;
    LogCapture() { log_open((dir / "log.txt").c_str()); }
    ~LogCapture() { log_close(); }
    bool has(const std::string &text) const { return zvtest::readFile(dir / "log.txt").find(text) != std::string::npos; }
    int count(const std::string &text) const
    {
        const std::string log = zvtest::readFile(dir / "log.txt");
        int n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size()))
            ++n;
        return n;
    }
};

// The clock seam's fake microseconds, advanced by delayed reads.
std::atomic<int64_t> g_fake_now{0};
int64_t fakeNow() { return g_fake_now.load(); }
// The reader's clock is the fake one while this lives.
struct FakeClock {
    FakeClock() { rd_set_time_source(fakeNow); }
    ~FakeClock() { rd_set_time_source(nullptr); }
};

// A file with its faults: failing byte ranges (a read stops before one and
// the next read fails), delays by read offset, and a gate holding the read
// at one offset until opened.
struct Source {
    struct Bad {
        int64_t from, to;
        int errnum;
    };
    TempDir dir;
    std::string path = dir / "card.img", content;
    std::vector<Bad> bad;
    std::map<int64_t, int64_t> delays;
    std::atomic<int> reads{0};
    int64_t gate_at = -1;
    int64_t fail_us = 0;          // fake microseconds every failed read takes
    int64_t failed_from = 0;      // failed counts the failed reads at or past this offset
    std::atomic<int> failed{0};
    std::promise<void> gate_entered, gate_open;
    std::shared_future<void> opened = gate_open.get_future().share();

    // Reads of the blocks in [from, to) (to the end when to is past it) fail
    // with EIO, each after us fake microseconds.
    void slowBad(int64_t from, int64_t to, int64_t us)
    {
        bad.push_back({from, to, EIO});
        for (int64_t at = from; at < std::min<int64_t>(to, content.size()); at += 512)
            delays[at] = us;
    }
    // size bytes of content; the file holds the first stored bytes (all when < 0).
    explicit Source(int64_t size, unsigned seed = 1, int64_t stored = -1) : content(randomBytes(size, seed))
    {
        zvtest::writeFile(path, stored < 0 ? content : content.substr(0, stored));
        static vf_ops ops{};
        ops.pread = &Source::pread;
        file_register_vf(path.c_str(), &ops, this);
    }
    static ssize_t pread(file_t *f, void *buffer, size_t count, int64_t offset)
    {
        Source &s = *static_cast<Source *>(f->vf->arg);
        ++s.reads;
        if (offset == s.gate_at && s.opened.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            s.gate_entered.set_value();
            s.opened.wait_for(std::chrono::seconds(20));
        }
        if (auto it = s.delays.find(offset); it != s.delays.end())
            g_fake_now += it->second;
        int64_t end = offset + static_cast<int64_t>(count);
        for (const auto &b : s.bad) {
            if (b.from < end && b.to > offset) {
                if (b.from <= offset) {
                    g_fake_now += s.fail_us;
                    s.failed += offset >= s.failed_from ? 1 : 0;
                    errno = b.errnum;
                    return -1;
                }
                end = b.from;
            }
        }
        return ::pread(f->fd, buffer, static_cast<size_t>(end - offset), offset);
    }
    // The content as read around the bad ranges: their bytes as zeros.
    std::string readAround() const
    {
        std::string want = content;
        const int64_t size = static_cast<int64_t>(content.size());
        for (const auto &b : bad)
            if (b.from < size)
                want.replace(b.from, std::min(b.to, size) - b.from, std::min(b.to, size) - b.from, '\0');
        return want;
    }
    // The device reads that reading the whole content around its bad
    // ranges takes with 4096-byte buffers of 512-byte blocks, and no read
    // further on: one a buffer, and one a block from where a failing one
    // stopped.
    int64_t readsAround() const
    {
        const int64_t size = static_cast<int64_t>(content.size());
        int64_t reads = 0;
        for (int64_t at = 0; at < size; at += 4096) {
            const int64_t end = std::min(at + 4096, size);
            int64_t good = end;
            for (const auto &b : bad)
                if (b.from < end && b.to > at)
                    good = std::min(good, std::max(b.from, at));
            reads += 1 + (good < end ? (end - good / 512 * 512 + 511) / 512 : 0);
        }
        return reads;
    }
    rd_params params(bool read_ahead, int32_t buffer_size = 4096, int32_t buffers = 4, int32_t block_size = 512) const
    {
        const int64_t size = static_cast<int64_t>(content.size());
        return rd_params{path.c_str(), block_size, 0, (size + block_size - 1) / block_size, size,
                         buffer_size * (buffers - 1), buffer_size, buffers, read_ahead, nullptr};
    }
    ReaderPtr open(const rd_params &p) const { return ReaderPtr(rd_new(&p), &rd_close); }
    ReaderPtr open(bool read_ahead, int32_t buffer_size = 4096, int32_t buffers = 4) const
    {
        return open(params(read_ahead, buffer_size, buffers));
    }
};

// Reads with rd_get(step) until a request gets 0 bytes.
std::string readAll(rd_reader *r, int32_t step)
{
    std::string out;
    for (int32_t count = 1; count > 0;) {
        const uint8_t *data = rd_get(r, step, &count);
        out += str(data, count);
    }
    return out;
}

// Runs fn on its own thread; a hang ends the whole run after 20 s.
void withinLimit(const std::function<void()> &fn)
{
    std::promise<void> done;
    std::thread worker([&] {
        fn();
        done.set_value();
    });
    if (done.get_future().wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fprintf(stderr, "block reader hung\n");
        std::abort();
    }
    worker.join();
}

// A reader of source without read-ahead and without the pause after a slow
// read, read through in 4096-byte requests (withinLimit): what it delivered.
// *r is the reader (null, with a failure, when none could be made).
std::string readThroughUnpaused(const Source &source, ReaderPtr *r)
{
    *r = source.open(false);
    if (!*r) {
        ADD_FAILURE() << "no reader";
        return "";
    }
    rd_set_slow_pause(r->get(), 0);
    std::string got;
    withinLimit([&] { got = readAll(r->get(), 4096); });
    return got;
}

} // namespace

TEST(BlockReader, ParameterErrorsAreRefusedWithTheirMessage)
{
    Source source(8192);
    const std::string missing = source.dir / "missing.img";
    const struct {
        std::function<void(rd_params &)> change;
        std::string message;
    } cases[] = {
        {[](rd_params &p) { p.buffer_size = 1000; }, "bufsize must be multiple of blocksize"},
        {[](rd_params &p) { p.block_size = 0; }, "bufsize must be multiple of blocksize"},
        {[](rd_params &p) { p.num_buffers = 1; }, "There must be at least 2 buffers"},
        {[](rd_params &p) { p.stop_block = 0; }, "Missing rd stop_block param."},
        {[](rd_params &p) { p.max_request = 0; }, "rd_new: bad maximum request 0"},
        {[&](rd_params &p) { p.path = missing.c_str(); }, "rd_open: open(" + missing + "): No such file or directory"},
    };
    for (const auto &c : cases) {
        LogCapture log;
        rd_params p = source.params(true);
        c.change(p);
        EXPECT_EQ(rd_new(&p), nullptr) << c.message;
        EXPECT_TRUE(log.has(c.message)) << c.message;
    }
}

// The last block is partial, or the range ends on a block or buffer boundary:
// every byte arrives once, the tail is zero-padded, the next request gets 0.
TEST(BlockReader, RangeEndsInsideTheLastBlock)
{
    for (bool read_ahead : {false, true}) {
        for (int64_t size : {5 * 4096 + 300, 700, 3 * 4096, 4 * 4096 + 512}) {
            SCOPED_TRACE(std::to_string(size) + (read_ahead ? " read-ahead" : ""));
            Source source(size);
            ReaderPtr r = source.open(read_ahead);
            ASSERT_TRUE(r);
            std::string got;
            int32_t count = 0;
            for (const uint8_t *data; (data = rd_get(r.get(), 512, &count)), count > 0;) {
                got += str(data, count);
                EXPECT_EQ(str(data + count, 512 - count), std::string(512 - count, '\0'));
            }
            EXPECT_TRUE(sameBytes(got, source.content));
            EXPECT_TRUE(rd_at_end(r.get()));
            EXPECT_EQ(rd_last_outcome(r.get()), RD_OUTCOME_END);
            rd_get(r.get(), 512, &count);
            EXPECT_EQ(count, 0);
            EXPECT_EQ(rd_last_outcome(r.get()), RD_OUTCOME_END);
            EXPECT_EQ(rd_failed(r.get()) + rd_error_number(r.get()), 0);
        }
    }
}

TEST(BlockReader, RequestOfExactlyTheMaximumAndOneMore)
{
    Source source(64 * 1024);
    LogCapture log;
    rd_params p = source.params(true);
    p.max_request = 100000; // above (buffers - 1) x buffer size: capped
    ReaderPtr r = source.open(p);
    ASSERT_TRUE(r);
    const int32_t max = rd_max_request(r.get());
    EXPECT_EQ(max, 3 * 4096);
    EXPECT_TRUE(log.has("capped"));
    int32_t count = -1;
    const uint8_t *data = rd_get(r.get(), max, &count);
    ASSERT_EQ(count, max);
    EXPECT_EQ(str(data, max), source.content.substr(0, max));

    EXPECT_EQ(rd_get(r.get(), max + 1, &count), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(log.has("Maximum read request is 12288, got 12289"));
    EXPECT_EQ(rd_request(r.get(), max + 1), 0);
    EXPECT_TRUE(log.has("Maximum request length exceeded, reqlen=12288, n=12289"));
    EXPECT_EQ(rd_get_offered(r.get(), max + 1, &count), nullptr);
    // The refusals changed nothing: the next request starts after the first.
    data = rd_get(r.get(), 100, &count);
    EXPECT_EQ(str(data, count), source.content.substr(max, 100));
}

// Requests of 3.5 buffers under read-ahead, sequential (wrapping the ring
// many times) and after seeks, compared with the file.
TEST(BlockReader, RequestsSpanningSeveralBuffersMatchTheFile)
{
    const int64_t size = 200 * 1024 + 77;
    Source source(size, 4);
    ReaderPtr r = source.open(true, 4096, 5);
    ASSERT_TRUE(r);
    const int32_t n = 4096 * 3 + 2048;
    int32_t count = 0;
    for (int64_t pos = 0; pos < size; pos += count) {
        const uint8_t *data = rd_get(r.get(), n, &count);
        ASSERT_EQ(count, std::min<int64_t>(n, size - pos)) << pos;
        ASSERT_EQ(str(data, count), source.content.substr(pos, count)) << pos;
    }
    for (int64_t pos : {int64_t(1000), int64_t(4 * 4096 + 17), int64_t(9 * 4096 - 1), size - 5000}) {
        ASSERT_EQ(rd_seek(r.get(), pos), 0);
        const uint8_t *data = rd_get(r.get(), n, &count);
        EXPECT_EQ(str(data, count), source.content.substr(pos, n)) << pos;
    }
}

// Differential: random gets, offers, shortenings, growths, seeks and
// random-access reads, each checked against the file.
TEST(BlockReader, RandomConsumerMatchesTheFile)
{
    for (bool read_ahead : {false, true}) {
        for (unsigned seed = 1; seed <= 4; ++seed) {
            SCOPED_TRACE("seed " + std::to_string(seed) + (read_ahead ? " read-ahead" : ""));
            std::mt19937 gen(seed);
            auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(gen); };
            const int64_t size = 300 * 1024 + pick(0, 511);
            Source source(size, seed);
            rd_params p = source.params(read_ahead, 2048 * static_cast<int32_t>(pick(1, 3)), static_cast<int>(pick(2, 6)));
            p.max_request = static_cast<int32_t>(pick(1, p.max_request));
            p.start_block = pick(0, 9);
            ReaderPtr r = source.open(p);
            ASSERT_TRUE(r);
            const int32_t max = rd_max_request(r.get());
            int64_t pos = p.start_block * 512, pending = 0;
            const uint8_t *data = nullptr;
            for (int step = 0; step < 400; ++step) {
                int32_t count = 0;
                const int op = static_cast<int>(pick(0, 4));
                if (op <= 1) { // get n, or at least n offered (then maybe shortened)
                    const int32_t n = static_cast<int32_t>(pick(op, max));
                    data = op == 0 ? rd_get(r.get(), n, &count) : rd_get_offered(r.get(), n, &count);
                    pos += pending;
                    ASSERT_GE(count, std::min<int64_t>(n, size - pos)) << op << " at " << pos;
                    ASSERT_LE(count, std::min<int64_t>(op == 0 ? n : max, size - pos));
                    pending = count;
                    if (op == 1 && pick(0, 1)) {
                        pending = pick(0, count);
                        ASSERT_EQ(rd_request(r.get(), static_cast<int32_t>(pending)), pending);
                    }
                } else if (op == 2 && data != nullptr) { // grow the current request
                    const int32_t n = static_cast<int32_t>(pick(pending, max));
                    pending = rd_request(r.get(), n);
                    ASSERT_EQ(pending, std::min<int64_t>(n, size - pos)) << "grow at " << pos;
                } else if (op == 3) { // near (often inside the current buffer) or anywhere
                    pos = pick(0, 1) ? std::clamp<int64_t>(pos + pick(-3000, 3000), 0, size) : pick(0, size);
                    ASSERT_EQ(rd_seek(r.get(), pos), 0);
                    pending = 0;
                    data = nullptr;
                } else if (op == 4) { // random access, independent of the position
                    const int64_t at = pick(0, size - 1), n = pick(1, std::min<int64_t>(20000, size - at));
                    std::string out(n, '\0');
                    ASSERT_EQ(rd_set_pos(r.get(), at), 0);
                    ASSERT_EQ(rd_read(r.get(), out.data(), n), n);
                    ASSERT_EQ(out, source.content.substr(at, n)) << "rd_read at " << at;
                }
                if (data != nullptr) {
                    ASSERT_EQ(str(data, pending), source.content.substr(pos, pending)) << op << " at " << pos;
                }
            }
            EXPECT_EQ(rd_failed(r.get()), 0);
        }
    }
}

// Inside the current buffer a seek moves only the offset; elsewhere the
// ring restarts, also with a full ring, behind the end marker and after a
// fatal failure.
TEST(BlockReaderThreads, SeekingBackRestartsWithoutHanging)
{
    const int64_t size = 256 * 1024;
    Source source(size, 5);
    const std::string &content = source.content;
    {
        ReaderPtr r = source.open(false);
        int32_t count = 0;
        ASSERT_EQ(rd_seek(r.get(), 1000), 0);
        rd_get(r.get(), 100, &count);
        const int reads = source.reads.load();
        ASSERT_EQ(rd_seek(r.get(), 900), 0);
        const uint8_t *data = rd_get(r.get(), 50, &count);
        EXPECT_EQ(source.reads.load(), reads);
        EXPECT_EQ(str(data, count), content.substr(900, 50));
    }
    source.reads = 0;
    withinLimit([&] {
        ReaderPtr r = source.open(true);
        int32_t count = 0;
        rd_get(r.get(), 5000, &count);
        rd_get(r.get(), 100, &count); // buffer 0 is released
        while (source.reads.load() < 5) // then the ring is full and the filler waits for room
            std::this_thread::yield();
        ASSERT_EQ(rd_seek(r.get(), 10), 0);
        EXPECT_TRUE(sameBytes(readAll(r.get(), 3000), content.substr(10)));
        ASSERT_EQ(rd_seek(r.get(), 512), 0); // the filler has ended behind its end marker
        EXPECT_TRUE(sameBytes(readAll(r.get(), 4096), content.substr(512)));
    });
    source.bad = {{100 * 1024, INT64_MAX, ENODEV}};
    withinLimit([&] {
        ReaderPtr r = source.open(true);
        EXPECT_EQ(readAll(r.get(), 4096).size(), 100u * 1024);
        EXPECT_EQ(rd_failed(r.get()), ENODEV);
        ASSERT_EQ(rd_seek(r.get(), 2048), 0);
        EXPECT_EQ(rd_failed(r.get()), 0);
        EXPECT_TRUE(sameBytes(readAll(r.get(), 1000), content.substr(2048, 100 * 1024 - 2048)));
        EXPECT_EQ(rd_failed(r.get()), ENODEV);
    });
}

// Unreadable blocks (sector 0 among them) arrive as zeros and are recorded;
// reading goes on, also after a restart and with read-ahead switched off.
TEST(BlockReader, ReadErrorsDeliverZerosAndRecordTheBlock)
{
    for (bool read_ahead : {false, true}) {
        SCOPED_TRACE(read_ahead ? "read-ahead" : "consumer fills");
        Source source(64 * 1024, 6);
        source.bad = {{0, 512, EIO}, {9 * 512, 11 * 512, EIO}};
        LogCapture log;
        ReaderPtr r = source.open(read_ahead);
        ASSERT_TRUE(r) << "an unreadable sector 0 must not refuse the reader";
        std::string want = source.content, got;
        want.replace(0, 512, 512, '\0');
        want.replace(9 * 512, 1024, 1024, '\0');
        withinLimit([&] { got = readAll(r.get(), 512); });
        EXPECT_TRUE(sameBytes(got, want));
        EXPECT_EQ(rd_failed(r.get()), 0);
        EXPECT_EQ(rd_error_number(r.get()), EIO);
        EXPECT_EQ(rd_error_block(r.get()), 10);
        rd_clear_error(r.get());
        EXPECT_EQ(rd_error_number(r.get()), 0);
        EXPECT_TRUE(log.has("delivered as zeros"));
        ASSERT_EQ(rd_seek(r.get(), 4096), 0);
        withinLimit([&] { got = readAll(r.get(), 700); });
        EXPECT_TRUE(sameBytes(got, want.substr(4096)));
        rd_stop(r.get());
        ASSERT_EQ(rd_seek(r.get(), 0), 0);
        withinLimit([&] { got = readAll(r.get(), 512); });
        EXPECT_TRUE(sameBytes(got, want));
        EXPECT_EQ(rd_error_block(r.get()), 10);
    }
}

// Every unreadable block is kept: lone blocks in one buffer each get their
// range, neighbours merge (also a run found from its end first, after a
// restart), and reading a range again counts nothing twice. Each range is
// handed out once for logging; one that swallowed a new part again.
TEST(BlockReader, EveryBadBlockIsKeptInMergedRanges)
{
    for (bool read_ahead : {false, true}) {
        SCOPED_TRACE(read_ahead ? "read-ahead" : "consumer fills");
        Source source(64 * 1024, 14);
        source.bad = {{10 * 512, 11 * 512, EIO}, {20 * 512, 21 * 512, EIO}, {40 * 512, 46 * 512, EIO}};
        LogCapture log;
        ReaderPtr r = source.open(source.params(read_ahead, 16384, 3)); // 32 blocks a buffer: 10 and 20 share one
        ASSERT_TRUE(r);
        std::vector<rd_bad_range> taken;
        auto ranges = [](const std::vector<rd_bad_range> &list) {
            std::string text;
            for (const auto &range : list)
                text += std::to_string(range.first_block) + "+" + std::to_string(range.blocks) + " ";
            return text;
        };
        // With read-ahead the filler starts reading at block 0 as soon as
        // the reader opens, so which ranges it meets before the seek below
        // is up to the scheduler: the order of discovery (and so what each
        // take hands out) is checked without it; the merged report is
        // checked in both modes.
        ASSERT_EQ(rd_seek(r.get(), 44 * 512), 0);
        withinLimit([&] { readAll(r.get(), 4096); });
        if (!read_ahead) {
            EXPECT_EQ(rd_take_new_bad_ranges(r.get(), &taken), 1);
            EXPECT_EQ(ranges(taken), "44+2 ");
        }
        for (int pass = 0; pass < 2; ++pass) {
            SCOPED_TRACE(pass);
            ASSERT_EQ(rd_seek(r.get(), 0), 0);
            std::string got;
            withinLimit([&] { got = readAll(r.get(), 1000); });
            EXPECT_EQ(got.substr(10 * 512, 512), std::string(512, '\0'));
            rd_bad_report report;
            rd_bad_blocks(r.get(), &report);
            EXPECT_EQ(ranges(report.list), "10+1 20+1 40+6 ");
            EXPECT_EQ(report.blocks, 8);
            EXPECT_EQ(report.ranges, 3);
            EXPECT_EQ(report.ranges_not_kept, 0);
            EXPECT_EQ(report.block_size, 512);
            ASSERT_EQ(report.list.size(), 3u);
            EXPECT_EQ(report.list[2].errnum, EIO);
            taken.clear();
            rd_take_new_bad_ranges(r.get(), &taken);
            if (!read_ahead || pass == 1) {
                EXPECT_EQ(ranges(taken), pass == 0 ? "10+1 20+1 40+6 " : "");
            }
        }
    }
}

// Past RD_BAD_RANGES_MAX ranges the list stops growing; the ranges and the
// blocks that did not fit are still counted (a run of them as one range).
TEST(BlockReader, BadRangesBeyondTheCapAreCounted)
{
    const int64_t lone = RD_BAD_RANGES_MAX + 6;
    Source source(3100 * 512, 15);
    for (int64_t i = 0; i < lone; ++i)
        source.bad.push_back({2 * i * 512, (2 * i + 1) * 512, EIO});
    source.bad.push_back({3000 * 512, 3003 * 512, EIO});
    LogCapture log; // one line per buffer with bad blocks
    ReaderPtr r = source.open(false);
    ASSERT_TRUE(r);
    withinLimit([&] { readAll(r.get(), 4096); });
    rd_bad_report report;
    rd_bad_blocks(r.get(), &report);
    ASSERT_EQ(report.list.size(), static_cast<size_t>(RD_BAD_RANGES_MAX));
    EXPECT_EQ(report.list.back().first_block, 2 * (RD_BAD_RANGES_MAX - 1));
    EXPECT_EQ(report.ranges, lone + 1);
    EXPECT_EQ(report.ranges_not_kept, 7);
    EXPECT_EQ(report.blocks, lone + 3);
    EXPECT_EQ(rd_take_new_bad_ranges(r.get(), nullptr), RD_BAD_RANGES_MAX);
}

// Random-access reads end at the range's end inside the file, and at the
// file's own end when the range claims more (never the handle's padding).
TEST(BlockReader, RandomAccessReadStopsAtTheRangeAndTheFileEnd)
{
    const struct {
        int64_t size, stored, stop_byte, at;
    } cases[] = {{8492, -1, 6000, 5900}, {8192, 1000, 8192, 900}, {1000, -1, 1000, 900}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stop_byte);
        Source source(c.size, 16, c.stored);
        rd_params p = source.params(false);
        p.stop_byte = c.stop_byte;
        p.stop_block = (c.stop_byte + 511) / 512;
        ReaderPtr r = source.open(p);
        ASSERT_TRUE(r);
        std::string out(1000, '\0');
        ASSERT_EQ(rd_set_pos(r.get(), c.at), 0);
        ASSERT_EQ(rd_read(r.get(), out.data(), 1000), 100);
        EXPECT_EQ(out.substr(0, 100), source.content.substr(c.at, 100));
        EXPECT_EQ(rd_read(r.get(), out.data(), 1000), 0);
        EXPECT_EQ(rd_set_pos(r.get(), -1), -1);
    }
}

// A medium removed mid-read, a device whose connection was cut (ENOTCONN,
// or ECONNABORTED for the read under way), or a file ending before the
// range does: the bytes before arrive, then 0 bytes with the failure, never
// a hang. A device gone is where it stopped answering.
TEST(BlockReaderThreads, DeviceGoneOrShortFileEndsWithAFailure)
{
    const int64_t size = 128 * 1024, cut = 50 * 1024 + 512;
    for (bool read_ahead : {false, true}) {
        for (int errnum : {ENODEV, ENOTCONN, ECONNABORTED, ENODATA}) {
            SCOPED_TRACE(std::to_string(errnum) + (read_ahead ? " read-ahead" : ""));
            Source source(size, 7, errnum == ENODATA ? cut : -1); // the range claims the whole size
            if (errnum != ENODATA)
                source.bad = {{cut, INT64_MAX, errnum}};
            LogCapture log;
            ReaderPtr r = source.open(read_ahead);
            ASSERT_TRUE(r);
            withinLimit([&] {
                EXPECT_TRUE(sameBytes(readAll(r.get(), 1000), source.content.substr(0, cut)));
                int32_t count = -1;
                rd_get_offered(r.get(), 1, &count);
                EXPECT_EQ(count, 0);
                EXPECT_EQ(rd_last_outcome(r.get()), RD_OUTCOME_FAILED); // never taken for the end
            });
            EXPECT_EQ(rd_failed(r.get()), errnum);
            EXPECT_FALSE(rd_at_end(r.get()));
            EXPECT_TRUE(log.has(errnum != ENODATA ? "fill_buffer: read(" : "fill_buffer: short read("));
            int stopped_errno = 0;
            EXPECT_EQ(rd_stopped_block(r.get(), &stopped_errno), errnum != ENODATA ? cut / 512 : -1);
            EXPECT_EQ(stopped_errno, errnum != ENODATA ? errnum : 0);
            EXPECT_LT(source.reads.load(), 20) << "nothing is read block by block";
        }
    }
}

// A card that stops answering: every read from 256 KiB of 8 MiB on fails.
// After a run of failed reads (the blocks of which arrive as zeros and are
// kept as bad) and a few reads further on that fail too, the reading ends
// as for a device gone (0 bytes, FAILED, never taken for the end) with
// where it stopped, instead of failing through the 15,872 blocks left. Until
// a read delivers again, a restart further on fails at once; one before the
// failure reads as before.
TEST(BlockReaderThreads, CardThatStopsAnsweringIsNotReadToItsEnd)
{
    const int64_t size = 8 << 20, failing = 256 * 1024;
    for (bool read_ahead : {false, true}) {
        SCOPED_TRACE(read_ahead ? "read-ahead" : "consumer fills");
        Source source(size, 17);
        source.bad = {{failing, INT64_MAX, EIO}};
        LogCapture log;
        ReaderPtr r = source.open(read_ahead);
        ASSERT_TRUE(r);
        std::string got;
        withinLimit([&] { got = readAll(r.get(), 4096); });
        ASSERT_GE(got.size(), static_cast<size_t>(failing));
        EXPECT_TRUE(sameBytes(got.substr(0, failing), source.content.substr(0, failing)));
        EXPECT_EQ(got.substr(failing), std::string(got.size() - failing, '\0'));
        EXPECT_LT(got.size(), static_cast<size_t>(failing + 256 * 512)); // the run, no more
        EXPECT_EQ(rd_last_outcome(r.get()), RD_OUTCOME_FAILED);
        EXPECT_EQ(rd_failed(r.get()), EIO);
        int errnum = 0;
        EXPECT_EQ(rd_stopped_block(r.get(), &errnum), failing / 512);
        EXPECT_EQ(errnum, EIO);
        rd_bad_report report;
        rd_bad_blocks(r.get(), &report);
        EXPECT_EQ(report.ranges, 1);
        EXPECT_EQ(report.blocks * 512, static_cast<int64_t>(got.size()) - failing);
        const int reads = source.reads.load();
        EXPECT_LT(reads, 400) << "64 good reads, a run of 256 failed ones and a few further on";
        EXPECT_TRUE(log.has("the device stopped answering"));

        rd_stop(r.get());
        ASSERT_EQ(rd_seek(r.get(), 1 << 20), 0);
        int32_t count = -1;
        withinLimit([&] { rd_get(r.get(), 512, &count); });
        EXPECT_EQ(count, 0);
        EXPECT_EQ(rd_last_outcome(r.get()), RD_OUTCOME_FAILED);
        EXPECT_EQ(source.reads.load(), reads + 1) << "a card that stopped answering is not read around again";
        ASSERT_EQ(rd_seek(r.get(), 4096), 0);
        withinLimit([&] { got = readAll(r.get(), 4096).substr(0, failing - 4096); });
        EXPECT_TRUE(sameBytes(got, source.content.substr(4096, failing - 4096)));
        EXPECT_EQ(rd_stopped_block(r.get()), failing / 512); // kept for the reader's life
    }
}

// A long bad range (600 blocks, past the run that makes the reader look
// further on) of a card that still answers after it is read around as any
// bad range: its blocks as zeros and kept, everything after it delivered.
TEST(BlockReader, LongBadRangeOfACardThatAnswersIsReadAround)
{
    const int64_t size = 1 << 20, from = 128 * 1024, to = from + 600 * 512;
    Source source(size, 18);
    source.bad = {{from, to, EIO}};
    ReaderPtr r = source.open(false);
    ASSERT_TRUE(r);
    std::string got, want = source.content;
    want.replace(from, to - from, to - from, '\0');
    withinLimit([&] { got = readAll(r.get(), 4096); });
    EXPECT_TRUE(sameBytes(got, want));
    EXPECT_EQ(rd_last_outcome(r.get()), RD_OUTCOME_END);
    EXPECT_EQ(rd_failed(r.get()), 0);
    EXPECT_EQ(rd_stopped_block(r.get()), -1);
    rd_bad_report report;
    rd_bad_blocks(r.get(), &report);
    EXPECT_EQ(report.blocks, 600);
    EXPECT_EQ(report.ranges, 1);
}

// A long bad range skipped: the log line each.
const char kSkipped[] = "a long bad range, blocks ";

// A card that still answers, with many long bad ranges: every other stripe
// unreadable (as a card with one of two flash dies gone bad in large
// interleave units), of several sizes, from the first stripe or the second,
// its failed reads quick or (through the clock seam) taking 1 to 4 s each.
// Every good stripe is read, the bad ones are delivered as zeros and kept,
// and it is never taken for a card that stopped answering, however many of
// the reads further on fall on bad stripes. A long bad range is skipped
// after a few reads (from 128 KiB on when reads fail at once, from 64 KiB
// when slowly): far fewer reads than block by block. Only a card whose last
// stripe is bad, which no read can tell from one that stopped answering
// there, ends at that stripe.
TEST(BlockReader, StripedBadRangesOfACardThatAnswersAreReadAround)
{
    FakeClock seam;
    const int64_t KiB = 1024, MiB = 1024 * KiB;
    const struct {
        int64_t stripe, first_bad, size;
    } cases[] = {
        {256 * KiB, 256 * KiB, 16 * MiB},             // the last stripe bad
        {256 * KiB, 256 * KiB, 16 * MiB + 256 * KiB}, // the last stripe good
        {256 * KiB, 256 * KiB, 64 * MiB + 256 * KiB},
        {256 * KiB, 0, 16 * MiB},
        {64 * KiB, 0, 16 * MiB},
        {64 * KiB, 64 * KiB, 16 * MiB + 64 * KiB},
        {128 * KiB, 128 * KiB, 16 * MiB},
        {1 * MiB, 0, 16 * MiB + 1 * MiB},
        {1 * MiB, 1 * MiB, 16 * MiB},
        {2 * MiB, 2 * MiB, 24 * MiB},
        {300 * KiB, 300 * KiB, 20 * MiB}, // not on a power of two
    };
    int n = 0;
    for (const auto &c : cases) {
        // Good stripes under 128 KiB may be taken as unreadable once runs are long by time.
        for (const int64_t seconds : {int64_t(0), c.stripe >= 128 * KiB ? int64_t(1 + n++ % 4) : int64_t(0)}) {
            SCOPED_TRACE("stripes of " + std::to_string(c.stripe) + " from " + std::to_string(c.first_bad) + " of " +
                         std::to_string(c.size) + ", " + std::to_string(seconds) + " s per failure");
            Source source(c.size, 21);
            source.fail_us = seconds * 1000000;
            for (int64_t at = c.first_bad; at < c.size; at += 2 * c.stripe)
                source.bad.push_back({at, at + c.stripe, EIO});
            const int64_t last_bad = source.bad.back().to >= c.size ? source.bad.back().from : -1;
            LogCapture log;
            ReaderPtr r(nullptr, &rd_close);
            const std::string got = readThroughUnpaused(source, &r);
            ASSERT_TRUE(r);
            EXPECT_EQ(rd_stopped_block(r.get()), last_bad < 0 ? -1 : last_bad / 512);
            if (last_bad < 0) {
                EXPECT_TRUE(sameBytes(got, source.readAround()));
                EXPECT_EQ(rd_last_outcome(r.get()), RD_OUTCOME_END);
                EXPECT_EQ(rd_failed(r.get()), 0);
            } else {
                ASSERT_GE(got.size(), static_cast<size_t>(last_bad));
                EXPECT_TRUE(sameBytes(got.substr(0, last_bad), source.readAround().substr(0, last_bad)));
            }
            EXPECT_EQ(log.count(kSkipped) > 0, c.stripe >= 128 * KiB);
            if (seconds > 0) {
                EXPECT_LT(source.reads.load(), source.readsAround() / 2) << "read block by block";
            }
        }
    }
}

// A long bad range near the end of a card that still answers after it: up
// to its last block, or to its last 64 KiB. Every read further on but the
// last ones falls inside it: it is skipped to the end, its blocks kept.
TEST(BlockReader, LongBadRangeNearTheEndBeforeGoodBlocksIsReadAround)
{
    const int64_t size = 16 << 20, from = 4 << 20;
    for (int64_t good_tail : {int64_t(512), int64_t(64 * 1024)}) {
        SCOPED_TRACE(good_tail);
        Source source(size, 22);
        source.bad = {{from, size - good_tail, EIO}};
        LogCapture log;
        ReaderPtr r = source.open(false);
        ASSERT_TRUE(r);
        std::string got;
        withinLimit([&] { got = readAll(r.get(), 4096); });
        EXPECT_EQ(rd_stopped_block(r.get()), -1);
        EXPECT_TRUE(sameBytes(got, source.readAround()));
        EXPECT_EQ(rd_last_outcome(r.get()), RD_OUTCOME_END);
        EXPECT_EQ(log.count(kSkipped), 1);
        rd_bad_report report;
        rd_bad_blocks(r.get(), &report);
        EXPECT_EQ(report.blocks * 512, size - good_tail - from);
        // 24,000 bad blocks: the run, the reads further on and the sweep.
        EXPECT_LT(source.failed.load(), 256 + 40 + 64) << "read block by block";
    }
}

// A card that still answers before byte N and fails every read from there
// to its end (the last 4 MiB of 16), alone, after a short bad patch, or
// after long bad stripes that were skipped; its failed reads quick, or
// (through the clock seam) taking 1 to 4 s each: the reading ends there as
// for a card that stopped answering, with the bytes before delivered (the
// patch read block by block, the stripes' good parts all read), after the
// run and the reads further on instead of failing through the blocks left.
TEST(BlockReader, BadFinalRegionEndsTheReadingAlsoAfterLongBadRanges)
{
    FakeClock seam;
    const int64_t MiB = 1 << 20, size = 16 * MiB, failing = 12 * MiB;
    for (const char *before : {"alone", "patch", "stripes"}) {
        for (int64_t seconds = 0; seconds <= 4; ++seconds) {
            SCOPED_TRACE(std::string(before) + ", " + std::to_string(seconds) + " s per failure");
            Source source(size, 23);
            source.fail_us = seconds * 1000000;
            source.failed_from = failing;
            if (before[0] == 'p')
                source.bad.push_back({4 * MiB, 4 * MiB + 8 * 512, EIO});
            for (int64_t at = 1 * MiB; before[0] == 's' && at < 8 * MiB; at += 2 * MiB)
                source.bad.push_back({at, at + MiB, EIO});
            source.bad.push_back({failing, INT64_MAX, EIO});
            LogCapture log;
            ReaderPtr r(nullptr, &rd_close);
            const std::string got = readThroughUnpaused(source, &r);
            ASSERT_TRUE(r);
            EXPECT_EQ(rd_stopped_block(r.get()), failing / 512);
            EXPECT_EQ(rd_last_outcome(r.get()), RD_OUTCOME_FAILED);
            EXPECT_EQ(rd_failed(r.get()), EIO);
            ASSERT_GE(got.size(), static_cast<size_t>(failing));
            EXPECT_LT(got.size(), static_cast<size_t>(failing + 128 * 1024)) << "read on into the failing end";
            EXPECT_TRUE(sameBytes(got, source.readAround().substr(0, got.size())));
            EXPECT_TRUE(log.has("the device stopped answering"));
            EXPECT_EQ(log.count(kSkipped) > 0, before[0] == 's' || (before[0] == 'p' && seconds > 1));
            // The run (by count, or by time: 11 failures of 1 s), and the
            // reads further on: log2(8,192 blocks left) + 18.
            EXPECT_LE(source.failed.load(), (seconds == 0 ? 256 : 11) + 1 + 31) << "the run and the reads further on";
        }
    }
}

// A long bad range of a card that answers after it, with slow failing reads
// (through the clock seam: 3 s each; 200 blocks, 600 s block by block): it
// is skipped after a run of five and a few reads further on, then read to
// the end.
TEST(BlockReader, SlowBadRangeOfACardThatAnswersIsSkipped)
{
    FakeClock seam;
    const int64_t size = 1 << 20, from = 256 * 1024, to = from + 200 * 512;
    Source source(size, 24);
    source.slowBad(from, to, 3000000);
    LogCapture log;
    ReaderPtr r(nullptr, &rd_close);
    const std::string got = readThroughUnpaused(source, &r);
    ASSERT_TRUE(r);
    EXPECT_EQ(rd_stopped_block(r.get()), -1);
    EXPECT_TRUE(sameBytes(got, source.readAround()));
    EXPECT_EQ(log.count(kSkipped), 1);
    EXPECT_LE(source.failed.load(), 20) << "failed reads";
}

// A card that stopped answering whose failed reads take 15 s each (through
// the clock seam): every read further on is made however long they take (a
// verdict never depends on their time), one per octave and part of what is
// left of the 1 MiB, and then the reading ends.
TEST(BlockReader, ReadsFurtherOnAreMadeWhateverTheirTime)
{
    FakeClock seam;
    const int64_t size = 1 << 20, failing = 256 * 1024;
    Source source(size, 25);
    source.slowBad(failing, INT64_MAX, 15000000);
    LogCapture log;
    ReaderPtr r(nullptr, &rd_close);
    readThroughUnpaused(source, &r);
    ASSERT_TRUE(r);
    EXPECT_EQ(rd_failed(r.get()), EIO);
    EXPECT_EQ(rd_stopped_block(r.get()), failing / 512);
    // 64 good reads, the failed buffer and 3 of its blocks (4 failures
    // lasting 10 s or more), then eleven octaves (the last at the last
    // block) and 16 parts.
    EXPECT_GE(source.reads.load(), failing / 4096 + 4 + 25);
    EXPECT_LE(source.reads.load(), failing / 4096 + 4 + 27);
    EXPECT_TRUE(log.has(" read(s) further on: the device stopped answering"));
}

// A long run from block F of a 64 GB card (2^27 blocks) failing everywhere
// but at its last block and in a good area of 56,000 blocks 216,000 blocks
// after F, which the reads further on (seeded by F) all miss: the sweep
// back from the last block finds the area (a quarter of its distance long),
// and the skip ends before it instead of taking it as unreadable.
TEST(BlockReader, LongRunSkipStopsBeforeAGoodAreaAQuarterOfItsDistanceLong)
{
    const int64_t last = (int64_t(1) << 27) - 1, F = 1000, good = F + 216000, good_end = good + 56000;
    rd_run_device device;
    device.last_block = last;
    device.chunk_blocks = 256;
    device.read = [&](int64_t at, int64_t blocks, int *errnum) {
        const bool delivers = at == last || (at >= good && at + blocks <= good_end);
        *errnum = delivers ? 0 : EIO;
        return delivers;
    };
    device.halted = [] { return false; };
    rd_run run;
    run.reads = 255; // the next failure makes the run long
    int64_t skip_last = F;
    LogCapture log;
    ASSERT_EQ(rd_run_failed(&run, device, F, EIO, &skip_last), RD_RUN_SKIPPED);
    EXPECT_EQ(skip_last, good - 1);
}

// A reader that takes seconds per failed read (through the clock seam: 3 s
// each from 256 KiB on) is taken to have stopped answering after a few of
// them lasting 10 s, not after 256.
TEST(BlockReader, SlowFailingReadsStopByTime)
{
    FakeClock seam;
    const int64_t size = 1 << 20, failing = 256 * 1024;
    Source source(size, 19);
    source.slowBad(failing, INT64_MAX, 3000000);
    ReaderPtr r = source.open(false);
    ASSERT_TRUE(r);
    rd_set_slow_pause(r.get(), 1);
    std::string got;
    withinLimit([&] { got = readAll(r.get(), 4096); });
    EXPECT_EQ(rd_failed(r.get()), EIO);
    EXPECT_EQ(rd_stopped_block(r.get()), failing / 512);
    EXPECT_LT(got.size(), static_cast<size_t>(failing + 8 * 512));
    EXPECT_LE(source.reads.load(), failing / 4096 + 5 + 27) << "a few slow failures and the reads further on";
}

// Through the clock seam: exactly 1,000,000 us is not slow, 1.2 s is; the
// first slow block is kept until cleared.
TEST(BlockReader, SlowReadsKeepTheFirstSlowBlock)
{
    FakeClock seam;
    Source source(8 * 4096, 8);
    source.delays = {{1 * 4096, 1000000}, {3 * 4096, 1200000}, {5 * 4096, 1200000}};
    ReaderPtr r = source.open(false);
    ASSERT_TRUE(r);
    rd_set_slow_pause(r.get(), 1);
    const struct {
        int buffers; // read through this many buffers in all
        bool slow;
        int64_t block;
    } steps[] = {{2, false, 0}, {4, true, 24}, {6, true, 24}};
    int done = 0, count = 0;
    for (const auto &s : steps) {
        for (; done < s.buffers; ++done) {
            rd_get(r.get(), 4096, &count);
            ASSERT_EQ(count, 4096);
        }
        EXPECT_EQ(rd_slow(r.get()), s.slow) << s.buffers;
        EXPECT_EQ(rd_slow_block(r.get()), s.block) << s.buffers;
    }
    rd_clear_slow(r.get());
    EXPECT_FALSE(rd_slow(r.get()));
    ASSERT_EQ(rd_seek(r.get(), 3 * 4096), 0); // outside the current buffer: read again
    rd_get(r.get(), 4096, &count);
    EXPECT_EQ(rd_slow_block(r.get()), 24);
}

// rd_stop from another thread ends the consumer's wait, and the consumer
// then reads on by itself; an abort or an early stop ends it too, and
// reading resumes after. The short request says why: never the end.
TEST(BlockReaderThreads, StopOrAbortEndsTheConsumersWait)
{
    enum Cut { Stop, Abort, EarlyStop };
    for (Cut cut : {Stop, Abort, EarlyStop}) {
        SCOPED_TRACE(cut == Stop ? "rd_stop" : cut == Abort ? "abort" : "early stop");
        Source source(64 * 1024, 9);
        source.gate_at = 2 * 4096;
        begin_run_flags();
        const int stop_was_enabled = set_stop_enabled(1);
        ReaderPtr r = source.open(true);
        ASSERT_TRUE(r);
        int32_t count = 0;
        std::string got;
        for (int i = 0; i < 2; ++i) {
            const uint8_t *data = rd_get(r.get(), 4096, &count);
            got += str(data, count);
        }
        auto waiting = std::async(std::launch::async, [&] {
            int32_t n = -1;
            rd_get(r.get(), 4096, &n);
            return std::make_pair(n, rd_last_outcome(r.get()));
        });
        // The filler is held inside the read of buffer 2.
        ASSERT_EQ(source.gate_entered.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
        std::thread stopper;
        if (cut == Abort)
            request_abort();
        else if (cut == EarlyStop)
            request_stop();
        else
            stopper = std::thread([&] { rd_stop(r.get()); });
        ASSERT_EQ(waiting.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        const auto [n, outcome] = waiting.get();
        EXPECT_EQ(n, 0);
        EXPECT_EQ(outcome, cut == Abort ? RD_OUTCOME_ABORTED : RD_OUTCOME_STOPPED);
        source.gate_open.set_value();
        if (stopper.joinable())
            stopper.join();
        clear_run_flags();
        set_stop_enabled(stop_was_enabled);
        withinLimit([&] { got += readAll(r.get(), 4096); });
        EXPECT_TRUE(sameBytes(got, source.content));
        EXPECT_EQ(rd_last_outcome(r.get()), RD_OUTCOME_END);
    }
}

// rd_stop between an offer and the shortening of it (the block loop's two
// calls): the offered bytes stay where the pointer shows them, and reading
// goes on after the shortened request.
TEST(BlockReader, StopBetweenOfferAndShorteningKeepsTheBytes)
{
    Source source(64 * 1024, 11);
    ReaderPtr r = source.open(true);
    ASSERT_TRUE(r);
    int32_t count = 0;
    for (int32_t n : {3 * 4096, 100}) // into the ring's last buffer
        rd_get(r.get(), n, &count);
    const uint8_t *data = rd_get_offered(r.get(), rd_max_request(r.get()), &count);
    ASSERT_EQ(count, 3 * 4096);
    rd_stop(r.get());
    ASSERT_EQ(rd_request(r.get(), 3 * 4096 - 1), 3 * 4096 - 1);
    EXPECT_TRUE(sameBytes(str(data, 3 * 4096 - 1), source.content.substr(3 * 4096 + 100, 3 * 4096 - 1)));
    data = rd_get(r.get(), 100, &count);
    EXPECT_TRUE(sameBytes(str(data, count), source.content.substr(6 * 4096 + 99, 100)));
}

TEST(BlockReader, LoopDevicesWith512And4096ByteSectors)
{
    if (!zvtest::LoopDevice::available())
        GTEST_SKIP() << "loop devices need root";
    for (int sector : {512, 4096}) {
        SCOPED_TRACE(sector);
        Source source(4 * 1024 * 1024, 10 + sector);
        zvtest::LoopDevice loop(source.path, sector);
        rd_params p = source.params(true, sector * 64, 8, sector);
        p.path = loop.path().c_str();
        ReaderPtr r = source.open(p);
        ASSERT_TRUE(r);
        std::string got;
        withinLimit([&] {
            for (int32_t count = 1; count > 0;) {
                const uint8_t *data = rd_get_offered(r.get(), sector, &count);
                got += str(data, count);
            }
        });
        EXPECT_TRUE(sameBytes(got, source.content));
        std::string out(10000, '\0');
        ASSERT_EQ(rd_set_pos(r.get(), 1234567), 0);
        ASSERT_EQ(rd_read(r.get(), out.data(), 10000), 10000);
        EXPECT_EQ(out, source.content.substr(1234567, 10000));
    }
}
