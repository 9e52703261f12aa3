// Reading a medium: the block loop's reads through the block reader (with and without read-ahead), large reads,
// a failing card and its report, stops and aborts racing the reader, reads bounded by the window and the file,
// the reader's set-up, the byte search and the media stream.
#include <cerrno>
#include <future>
#include <thread>

#include "foundation/buf.h"
#include "foundation/engine_status.h"
#include "foundation/file.h"
#include "storage/block_reader.h"
#include "storage/media_stream.h"
#include "tests/storage/media_test_support.h"

using namespace mediatest;

namespace {

// The block loop: the whole medium through media_get_max_bytes(n) with the reader's errors checked per block,
// as the thorough scan does. Returns the valid bytes of each request in order; *end is the code that ended the
// loop (1 when a request offered nothing or more than the medium holds, so a broken end never loops).
std::string readAll(Media *m, int32_t n, int *end)
{
    std::string out;
    const uint8_t *p = nullptr;
    while ((*end = media_get_max_bytes(m, &p, n)) == 0) {
        if (m->available <= 0 || (int64_t)out.size() > media_length(m))
            return *end = 1, out;
        const int32_t valid = n < 1 ? m->available : std::min(n, m->available);
        const size_t pad = n > valid ? (size_t)(n - valid) : 0; // the last request is zero-padded
        out.append((const char *)p, (size_t)valid);
        EXPECT_EQ(std::string((const char *)p + valid, pad), std::string(pad, '\0'));
        media_check_reader_errors(m);
    }
    media_check_reader_errors(m);
    return out;
}

// Reads on from byte_pos with media_get_max_bytes(n) (or media_get_bytes) until a call fails or offers
// nothing; appends the valid bytes and publishes the position after each call. Returns the code that ended it.
int readOn(Media *m, int32_t n, bool max_bytes, std::string *out, std::atomic<int64_t> *at)
{
    for (;;) {
        const uint8_t *p = nullptr;
        int32_t count = 0;
        const int rc = max_bytes ? media_get_max_bytes(m, &p, n) : media_get_bytes(m, &p, n, &count);
        if (rc != 0)
            return rc;
        const int32_t valid = max_bytes ? std::min(n, m->available) : count;
        if (valid <= 0 || (int64_t)out->size() > media_length(m))
            return 1;
        out->append((const char *)p, (size_t)valid);
        at->store(m->byte_pos);
    }
}

// Waits for work on another thread; a hang is broken by an abort (and reported by the caller's expectation).
template <class T> bool finishes(std::future<T> &work)
{
    if (work.wait_for(std::chrono::seconds(20)) == std::future_status::ready)
        return true;
    request_abort();
    return false;
}

// Waits until the consumer has published position `at` (or has ended).
template <class T> void waitFor(const std::atomic<int64_t> &at, int64_t position, std::future<T> &work)
{
    while (at.load() < position && work.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        std::this_thread::yield();
}

using MediaReaderThreads = MediaFixture;
using MediaWindow = MediaFixture;
using MediaReaderSetup = MediaFixture;
using MediaSearch = MediaFixture;
using MediaStream = MediaFixture;
using MediaRetainThreads = MediaFixture;

} // namespace

// Fault guard for media_get_max_bytes at the end: every byte once, in order, then -18 with the position left at
// the end (never stale ring bytes handed out as a block).
TEST_F(MediaReaderThreads, MaxBytesThroughAFileWithAPartialLastBlock)
{
    const std::string path = dir / "tail.bin", bytes = pattern(512 * 300 + 123);
    zvtest::writeFile(path, bytes);
    const std::pair<bool, int32_t> cases[] = {{true, 512}, {false, 512}, {true, 0}, {true, 3 * 4096}};
    for (const auto &[read_ahead, n] : cases) {
        SCOPED_TRACE(testing::Message() << "read_ahead " << read_ahead << " n " << n);
        Media *m = fileMedium(path);
        ASSERT_EQ(setup_reader(m, read_ahead, nullptr), 0);
        int end = 0;
        EXPECT_TRUE(readAll(m, n, &end) == bytes);
        EXPECT_EQ(end, -18);
        EXPECT_EQ(media_get_max_bytes(m, nullptr, 512), -18);
        EXPECT_EQ(m->byte_pos, (int64_t)bytes.size());
        media_free(&m);
    }
}

// One read larger than the reader's biggest request, then a read past the end (-34, position kept).
TEST_F(MediaReaderThreads, LargeReadInPiecesAndShortReadFails)
{
    const std::string path = dir / "big.bin", bytes = pattern(3 * 1024 * 1024 + 512, 7);
    zvtest::writeFile(path, bytes);
    Media *m = fileMedium(path);
    ASSERT_EQ(setup_reader(m, true, nullptr), 0);
    std::string got(bytes.size(), '\0');
    ASSERT_EQ(media_read(m, got.data(), (int64_t)got.size()), (int64_t)bytes.size());
    EXPECT_TRUE(got == bytes);
    const int64_t start = (int64_t)bytes.size() - 100;
    ASSERT_EQ(media_seek(m, start), 0);
    EXPECT_EQ(media_read(m, got.data(), 200), -34);
    EXPECT_EQ(m->byte_pos, start);
    EXPECT_EQ(media_read(m, got.data(), 100), 100);
    EXPECT_EQ(got.substr(0, 100), bytes.substr((size_t)start));
}

// Fault guard for media_get_max_bytes on failure: bad blocks come back zero-filled and every one of them is
// reported (two lone blocks and a run of two in one buffer), and a card pulled out mid-read ends the loop with
// -34 after the bytes before it: never stale bytes, never a hang. The medium's error report gives every range.
TEST_F(MediaReaderThreads, FailingCardReachesTheBlockLoop)
{
    LogCapture log;
    const std::string path = dir / "card.img";
    FaultyCard card(path, pattern(4 << 20, 3));
    card.bad = {10, 20, 300, 301};
    card.gone = 3 << 20; // past the 2 MiB ring: the bad blocks are reported first
    Media *m = media_attach_image(path.c_str()); // kind 6: every read goes through the registered type
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(setup_reader(m, true, nullptr), 0);
    begin_run_flags(); // so that a hang can be broken below
    int end = 0;
    auto loop = std::async(std::launch::async, [m, &end] { return readAll(m, 4096, &end); });
    const bool done = finishes(loop);
    const std::string got = loop.get();
    clear_run_flags();
    EXPECT_TRUE(done) << "the block loop hung";
    EXPECT_EQ(end, MEDIA_READ_FAILED);
    EXPECT_EQ(m->byte_pos, card.gone);
    std::string want = card.content.substr(0, card.gone);
    for (int64_t block : card.bad)
        want.replace(block * 512, 512, 512, '\0');
    EXPECT_TRUE(got == want);
    for (int64_t block : {10, 20, 300, 6144})
        EXPECT_TRUE(log.has("Error reading " + path + " near block " + std::to_string(block) + "\n")) << block;
    EXPECT_FALSE(log.has("near block 301\n")); // inside the range that starts at 300

    rd_bad_report report;
    EXPECT_EQ(media_read_errors(m, &report), 4);
    EXPECT_EQ(report.ranges, 3);
    EXPECT_EQ(report.ranges_not_kept, 0);
    EXPECT_EQ(report.block_size, 512);
    ASSERT_EQ(report.list.size(), 3u);
    const int64_t ranges[3][2] = {{10, 1}, {20, 1}, {300, 2}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(report.list[i].first_block, ranges[i][0]);
        EXPECT_EQ(report.list[i].blocks, ranges[i][1]);
        EXPECT_EQ(report.list[i].errnum, EIO);
    }
    EXPECT_EQ(media_log_read_errors(m), 4);
    EXPECT_TRUE(log.has("Unreadable parts of " + path + ": 4 blocks of 512 bytes in 3 ranges"));
    EXPECT_TRUE(log.has("  blocks 300 to 301: Input/output error"));
    media_free(&m);
}

// What ends the reading, as the medium reports it to a caller that reads on demand (the spans being measured):
// a bad block read as zeros does not; a card that answers as a pulled card does, and goes on doing so after a
// seek elsewhere has restarted the ring; so does data that ends early, which is the card's own failure.
TEST_F(MediaReaderThreads, ReaderErrorsTellWhatEndsTheReading)
{
    for (int errnum : {ENODEV, 0}) {
        SCOPED_TRACE(errnum);
        const std::string path = dir / ("card" + std::to_string(errnum) + ".img");
        FaultyCard card(path, pattern(2 << 20, 5));
        card.bad = {10};
        card.gone = 1 << 20;
        card.gone_errno = errnum;
        Media *m = fileMedium(path);
        m->attached = 1;
        ASSERT_EQ(setup_reader(m, false, nullptr), 0);
        std::string bytes(4096, 'x');
        EXPECT_EQ(media_read(m, bytes.data(), 4096), 4096);
        EXPECT_EQ(media_check_reader_errors(m), 0);
        ASSERT_EQ(media_seek(m, (1 << 20) + 512), 0);
        EXPECT_EQ(media_read(m, bytes.data(), 4096), MEDIA_READ_FAILED);
        if (errnum != 0) {
            ASSERT_EQ(media_seek(m, 0), 0); // the ring starts again: the failure itself is cleared
        }
        const int fatal = media_check_reader_errors(m);
        EXPECT_EQ(fatal, errnum != 0 ? errnum : ENODATA);
        EXPECT_EQ(media_gone(m, fatal), errnum != 0);
        if (errnum != 0) {
            EXPECT_EQ(media_check_reader_errors(m), 0); // reported once
        }
        EXPECT_FALSE(media_gone(m, EIO));
        m->attached = 0;
        EXPECT_TRUE(media_gone(m, 0));
        media_rd_close(m);
    }
}

// A stop is not the end of the card: media_rd_stop from another thread, or an early stop, while the consumer
// waits for the bytes at 2 MiB of a 4 MiB medium ends the read with MEDIA_STOPPED (never -18) and the position
// where it was; the same read made again reads on, every byte once, to the real end.
TEST_F(MediaReaderThreads, StopRacingTheConsumerIsNotTheEnd)
{
    const int64_t size = 4 << 20, held = 2 << 20;
    for (bool early_stop : {false, true}) {
        for (bool max_bytes : {true, false}) {
            SCOPED_TRACE(testing::Message() << (early_stop ? "early stop" : "media_rd_stop")
                                            << (max_bytes ? ", media_get_max_bytes" : ", media_get_bytes"));
            FaultyCard card(dir / "stop.img", pattern(size, 21));
            card.gate_at = held; // the filler's read of the bytes at 2 MiB waits
            Media *m = fileMedium(card.path);
            ASSERT_EQ(setup_reader(m, true, nullptr), 0);
            begin_run_flags();
            const int stop_was_enabled = set_stop_enabled(1);
            std::atomic<int64_t> at{0};
            std::string got;
            auto first = std::async(std::launch::async, [&] { return readOn(m, 4096, max_bytes, &got, &at); });
            ASSERT_TRUE(card.gateEntered());
            waitFor(at, held, first); // everything before the held bytes is taken: the consumer waits
            std::thread stopper;
            if (early_stop)
                EXPECT_EQ(request_stop(), 0);
            else
                stopper = std::thread([m] { media_rd_stop(m); }); // joins the held filler: returns after the gate
            const bool ended = finishes(first);
            card.openGate();
            if (stopper.joinable())
                stopper.join();
            EXPECT_TRUE(ended) << "the stop did not end the wait";
            EXPECT_EQ(first.get(), MEDIA_STOPPED);
            EXPECT_EQ(m->byte_pos, held);
            EXPECT_TRUE(got == card.content.substr(0, held));

            clear_stop_request();
            auto rest = std::async(std::launch::async, [&] { return readOn(m, 4096, max_bytes, &got, &at); });
            EXPECT_TRUE(finishes(rest));
            EXPECT_EQ(rest.get(), MEDIA_END);
            EXPECT_EQ(m->byte_pos, size);
            EXPECT_TRUE(got == card.content);
            clear_run_flags();
            set_stop_enabled(stop_was_enabled);
            media_free(&m);
        }
    }
}

// An abort in the middle of a request (its first 1152 bytes are there, the rest is held) ends it with -5; once
// the abort is over the next read returns the bytes at byte_pos, never bytes shifted by the cut request, and so
// does a read after a restart elsewhere.
TEST_F(MediaReaderThreads, AbortMidRequestThenTheNextReadIsNotShifted)
{
    const int64_t size = 4 << 20, held = 2 << 20;
    const int32_t n = 4000;
    const int64_t cut_at = held / n * n; // the request there spans the held byte
    enum Way { MaxBytes, BytesFull, Read };
    // One read of n bytes the given way: the code and the bytes.
    auto readOne = [n](Media *m, Way way, std::string *bytes) -> int64_t {
        const uint8_t *p = nullptr;
        int32_t count = 0;
        bytes->assign((size_t)n, '\0');
        int64_t rc;
        if (way == MaxBytes)
            rc = media_get_max_bytes(m, &p, n);
        else if (way == BytesFull)
            rc = media_get_bytes_full(m, &p, n, &count);
        else
            return rc = media_read(m, bytes->data(), n), rc == n ? 0 : rc;
        if (rc == 0)
            bytes->assign((const char *)p, (size_t)n);
        return rc;
    };
    for (Way way : {MaxBytes, BytesFull, Read}) {
        SCOPED_TRACE(way);
        FaultyCard card(dir / "abort.img", pattern(size, 22));
        card.gate_at = held;
        Media *m = fileMedium(card.path);
        ASSERT_EQ(setup_reader(m, true, nullptr), 0);
        begin_run_flags();
        std::atomic<int64_t> at{0};
        auto reading = std::async(std::launch::async, [&]() -> int64_t {
            std::string bytes;
            for (;;) {
                const int64_t rc = readOne(m, way, &bytes);
                if (rc != 0)
                    return rc;
                if (bytes != card.content.substr((size_t)m->byte_pos - n, (size_t)n))
                    return 1;
                at.store(m->byte_pos);
            }
        });
        ASSERT_TRUE(card.gateEntered());
        waitFor(at, cut_at, reading);
        request_abort();
        const bool ended = finishes(reading);
        card.openGate();
        EXPECT_TRUE(ended);
        EXPECT_EQ(reading.get(), MEDIA_ABORTED);
        // media_get_bytes_full advances by what it got; the others leave the position where the request began.
        const int64_t position = way == BytesFull ? held : cut_at;
        EXPECT_EQ(m->byte_pos, position);
        clear_run_flags();

        begin_run_flags();
        std::string bytes;
        EXPECT_EQ(readOne(m, way, &bytes), 0);
        EXPECT_TRUE(bytes == card.content.substr((size_t)position, (size_t)n));
        ASSERT_EQ(media_seek(m, 1000), 0);
        EXPECT_EQ(readOne(m, way, &bytes), 0);
        EXPECT_TRUE(bytes == card.content.substr(1000, (size_t)n));
        clear_run_flags();
        media_free(&m);
    }
}

// A partition [4096, 8192) of a 16 KiB file, 100 bytes before its end: media_read_append and media_rd_read take
// those 100 bytes, never the next partition's, and then nothing. media_read_append reads at byte_pos also when
// a block reader positioned the medium.
TEST_F(MediaWindow, ReadsStopAtThePartitionsEnd)
{
    const std::string path = dir / "disk.bin", bytes = pattern(16384, 31);
    zvtest::writeFile(path, bytes);
    Media *m = fileMedium(path);
    m->start_pos = 4096;
    m->stop_pos = 8192;
    ASSERT_EQ(media_retain(m), 0);
    buf_t *buffer = buf_new(0, 0);
    ASSERT_NE(buffer, nullptr);
    ASSERT_EQ(media_io_seek(m, 4096 - 100), 0);
    EXPECT_EQ(media_read_append(m, buffer, 1000), 100);
    EXPECT_TRUE(std::string((const char *)buffer->data, (size_t)buffer->count) == bytes.substr(8192 - 100, 100));
    EXPECT_EQ(m->byte_pos, 4096);
    EXPECT_EQ(media_read_append(m, buffer, 1000), 0);
    EXPECT_EQ(m->byte_pos, 4096);

    ASSERT_EQ(setup_reader(m, false, nullptr), 0);
    std::string out(1000, '\0');
    ASSERT_EQ(media_rd_seek(m, 4096 - 100), 0);
    EXPECT_EQ(media_rd_read(m, out.data(), 1000), 100);
    EXPECT_TRUE(out.substr(0, 100) == bytes.substr(8192 - 100, 100));
    EXPECT_EQ(media_rd_read(m, out.data(), 1000), 0);
    EXPECT_EQ(media_rd_seek(m, 4097), MEDIA_END);
    EXPECT_EQ(media_rd_seek(m, -1), MEDIA_END);

    ASSERT_EQ(media_seek(m, 5000 - 4096), 0); // through the reader: the file object is not moved
    buffer->count = 0;
    EXPECT_EQ(media_read_append(m, buffer, 100), 100);
    EXPECT_TRUE(std::string((const char *)buffer->data, 100) == bytes.substr(5000, 100));
    EXPECT_EQ(m->byte_pos, 5000 - 4096 + 100);
    buf_free(buffer);
    media_release(m);
}

// A 1000-byte file: the file object pads its last block to 1024 bytes with zeros, which are not data. Reads
// count only the file's own bytes, with a window that ends at the file's end and with one that claims more.
TEST_F(MediaWindow, ReadsCountOnlyTheFilesOwnBytes)
{
    const std::string path = dir / "short.bin", bytes = pattern(1000, 32);
    zvtest::writeFile(path, bytes);
    for (int64_t stop : {1000, 4096}) {
        SCOPED_TRACE(stop);
        Media *m = fileMedium(path);
        m->stop_pos = stop;
        ASSERT_EQ(media_retain(m), 0);
        buf_t *buffer = buf_new(0, 0);
        EXPECT_EQ(media_read_append(m, buffer, 2000), 1000);
        EXPECT_TRUE(std::string((const char *)buffer->data, (size_t)buffer->count) == bytes);
        EXPECT_EQ(m->byte_pos, 1000);
        buf_free(buffer);
        std::string out(2000, '\0');
        ASSERT_EQ(media_io_seek(m, 900), 0);
        EXPECT_EQ(media_read(m, out.data(), 2000), 100);
        EXPECT_TRUE(out.substr(0, 100) == bytes.substr(900));

        ASSERT_EQ(setup_reader(m, false, nullptr), 0);
        ASSERT_EQ(media_rd_seek(m, 900), 0);
        EXPECT_EQ(media_rd_read(m, out.data(), 1000), 100);
        EXPECT_TRUE(out.substr(0, 100) == bytes.substr(900));
        EXPECT_EQ(media_rd_read(m, out.data(), 1000), 0);
        media_release(m);
        media_free(&m);
    }
}

// setup_reader's guard: a block size that is not a power of two from 512 to 65536 is logged and read as 512
// (0 would make no reader at all, 1000 a reader whose buffers do not fit the device's blocks); a usable one is
// kept. A window that starts inside a block is read from its first byte.
TEST_F(MediaReaderSetup, UnusableBlockSizeIsReadAs512)
{
    const std::string path = dir / "blocks.bin", bytes = pattern(64 * 1024 + 300, 33);
    zvtest::writeFile(path, bytes);
    const struct {
        int32_t block_size, used;
        int64_t start;
    } cases[] = {{0, 512, 0}, {1000, 512, 0}, {256, 512, 0}, {131072, 512, 0}, {-4096, 512, 0},
                 {4096, 4096, 0}, {512, 512, 1000}, {4096, 4096, 5000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "block size " << c.block_size << ", start " << c.start);
        LogCapture log;
        Media *m = fileMedium(path, c.block_size);
        m->start_pos = c.start;
        ASSERT_EQ(setup_reader(m, true, nullptr), 0);
        EXPECT_EQ(rd_block_size(m->reader), c.used);
        const std::string line = "setup_reader: block size " + std::to_string(c.block_size) + " of " + path +
                                 " is not usable, using 512";
        EXPECT_EQ(log.has(line), c.used != c.block_size);
        int end = 0;
        EXPECT_TRUE(readAll(m, 4096, &end) == bytes.substr((size_t)c.start));
        EXPECT_EQ(end, MEDIA_END);
        media_free(&m);
    }
}

// A match across the 16 KiB piece boundary, and the `to` limit (fault guard: no match that starts at or past
// `to`), with and without a reader.
TEST_F(MediaSearch, AcrossPiecesAndNotPastTo)
{
    const std::string path = dir / "hay.bin", needle = "needle-XYZ";
    const std::string bytes =
        pattern(64 * 1024, 9).replace(16380, needle.size(), needle).replace(40000, needle.size(), needle);
    zvtest::writeFile(path, bytes);
    const struct {
        int64_t from, to, expected;
    } cases[] = {{0, 65536, 16380}, {16381, 65536, 40000}, {16381, 40000, -17}, {16381, 40001, 40000}, {70000, 1, -1}};
    for (bool reader : {false, true}) {
        Media *m = fileMedium(path);
        ASSERT_EQ(media_retain(m), 0);
        ASSERT_TRUE(!reader || setup_reader(m, false, nullptr) == 0);
        for (const auto &c : cases)
            EXPECT_EQ(media_byte_search(m, c.from, c.to, needle.data(), (int)needle.size()), c.expected)
                << c.from << ".." << c.to << (reader ? " with reader" : "");
        EXPECT_EQ(media_byte_search(m, 0, 100, needle.data(), 0), -1);
        media_release(m);
    }
}

// A window of 1000 bytes: seek to 1000 works, a read there gives 0 and one across the end the bytes up to it;
// a window at 1 MiB reads the bytes there.
TEST_F(MediaStream, WindowEdgesAndReference)
{
    LogCapture log;
    const std::string path = dir / "disk.bin", bytes = pattern((2 << 20) + 4096, 11);
    zvtest::writeFile(path, bytes);
    Media *m = fileMedium(path, 4096);
    {
        HV::ByteStreamMedia stream(m, 0, 1000), at1m(m, 1 << 20, 4096);
        ASSERT_TRUE(stream.isOpen() && at1m.isOpen());
        char buf[1000];
        EXPECT_TRUE(stream.seek(1000));
        EXPECT_EQ(stream.read(buf, 1), 0);
        EXPECT_TRUE(stream.seek(0));
        EXPECT_EQ(stream.read(buf, 1000), 1000);
        EXPECT_EQ(std::string(buf, 1000), bytes.substr(0, 1000));
        // Fixed 300-byte pieces: the fourth is short, then the end.
        EXPECT_TRUE(stream.seek(900));
        EXPECT_EQ(stream.read(buf, 300), 100);
        EXPECT_EQ(std::string(buf, 100), bytes.substr(900, 100));
        EXPECT_EQ(stream.read(buf, 300), 0);
        EXPECT_EQ(at1m.readAt(100, buf, 512), 512);
        EXPECT_EQ(std::string(buf, 512), bytes.substr((1 << 20) + 100, 512));
        EXPECT_EQ(at1m.readAt(4000, buf, 512), 96);
        EXPECT_EQ(std::string(buf, 96), bytes.substr((1 << 20) + 4000, 96));
    }
    EXPECT_EQ(m->open_count, 0);
    // A stream held after its medium was freed fails its reads instead of
    // touching the freed record.
    {
        Media *gone = fileMedium(path, 4096);
        HV::ByteStreamMedia held(gone, 0, 4096);
        ASSERT_TRUE(held.isOpen());
        media_free(&gone);
        char buf[16];
        EXPECT_EQ(held.readAt(0, buf, sizeof buf), -1);
        EXPECT_EQ(held.media(), nullptr);
        EXPECT_TRUE(log.has("HV::ByteStreamMedia::_read: medium"));
    }
    Media *empty = media_new(path.c_str(), "empty", MEDIA_FILE, 0);
    EXPECT_FALSE(HV::ByteStreamMedia(empty).isOpen()); // cannot be positioned at its start: closed, no reference
    EXPECT_EQ(empty->open_count, 0);
}

// Two readers of one card, as the scan and a checksum or a recovery: each retains the medium, finds its file
// open, and releases it, many times over on four threads. The open count is kept under the list lock, so the
// file is never closed under a reader that holds it, and closed once the last one lets go. The sanitizers
// judge this test too.
TEST_F(MediaRetainThreads, ReadersRetainingOneMediumNeverCloseItUnderEachOther)
{
    const std::string path = dir / "card.bin";
    zvtest::writeFile(path, pattern(8192, 5));
    Media *m = fileMedium(path);
    constexpr int kThreads = 4, kRounds = 2000;
    std::atomic<int> refused{0}, closed{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < kThreads; t++)
        readers.emplace_back([&] {
            for (int round = 0; round < kRounds; round++) {
                if (media_retain(m) != 0) {
                    ++refused;
                    continue;
                }
                if (!file_is_open(m->io))
                    ++closed;
                media_release(m);
            }
        });
    for (std::thread &reader : readers)
        reader.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(closed.load(), 0) << "the file was closed under a reader that held it";
    EXPECT_EQ(m->open_count, 0);
    EXPECT_FALSE(file_is_open(m->io));
    ASSERT_EQ(media_retain(m), 0); // and it opens again
    EXPECT_TRUE(file_is_open(m->io));
    media_release(m);
}

// Fault guarded: the sectors a copy's reads took as unreadable without
// reading them (a long bad range passed) stayed with the medium record, so
// the card put back in its reader (another card, or this one answering
// again) gave zeros there without being asked. A card read again is read
// afresh.
TEST_F(MediaReaderThreads, CopyOfACardPutBackReadsItAfresh)
{
    const std::string path = dir / "card.img";
    FaultyCard card(path, pattern(4 << 20, 5));
    for (int64_t block = 1000; block < 3000; ++block)
        card.bad.push_back(block);
    Media *m = media_attach_image(path.c_str());
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(media_retain(m), 0);
    char sector[512];
    int errnum = 0;
    rd_run_verdict verdict = RD_RUN_READ_ON;
    for (int64_t block = 1000; block < 1300 && verdict != RD_RUN_SKIPPED; ++block)
        media_copy_read(m, sector, block * 512, 512, &errnum, &verdict);
    ASSERT_EQ(verdict, RD_RUN_SKIPPED) << "the long bad range was not passed";
    card.bad.clear();
    media_detach_path(path.c_str());
    ASSERT_EQ(media_attach_image(path.c_str()), m);
    EXPECT_EQ(media_copy_read(m, sector, 2000 * 512, 512, &errnum, &verdict), 512);
    EXPECT_EQ(verdict, RD_RUN_READ_ON);
    EXPECT_EQ(std::string(sector, 512), card.content.substr(2000 * 512, 512));
    media_release(m);
}
