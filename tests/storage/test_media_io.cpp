// Reading a medium: the block loop's reads through the block reader (with and without read-ahead), large reads,
// a failing card, the byte search and the media stream.
#include <cerrno>
#include <future>

#include "foundation/engine_status.h"
#include "foundation/file.h"
#include "storage/media_stream.h"
#include "tests/storage/media_test_support.h"

using namespace mediatest;

namespace {

// A failing card under a path (registered types live as long as the process, so each Card is static): the
// 512-byte block at `bad` fails with EIO, everything from `gone` on with ENODEV (the card was pulled out).
struct Card {
    int64_t bad, gone;
};

void registerCard(const std::string &path, Card *card)
{
    static vf_ops ops{};
    ops.pread = [](file_t *f, void *buffer, size_t count, int64_t offset) -> ssize_t {
        const Card *c = static_cast<const Card *>(f->vf->arg);
        const int64_t end = offset + (int64_t)count;
        if (end > c->gone || (offset < c->bad + 512 && end > c->bad))
            return errno = end > c->gone ? ENODEV : EIO, -1;
        return pread(f->fd, buffer, count, offset);
    };
    ASSERT_NE(file_register_vf(path.c_str(), &ops, card), nullptr);
}

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

using MediaReaderThreads = MediaFixture;
using MediaSearch = MediaFixture;
using MediaStream = MediaFixture;

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

// Fault guard for media_get_max_bytes on failure: a bad block comes back zero-filled and reported, and a card
// pulled out mid-read ends the loop with -34 after the bytes before it: never stale bytes, never a hang.
TEST_F(MediaReaderThreads, FailingCardReachesTheBlockLoop)
{
    LogCapture log;
    static Card card{100 * 512, 3 << 20}; // pulled out past the 2 MiB ring: the bad block is reported first
    const std::string path = dir / "card.img", bytes = pattern(4 << 20, 3);
    zvtest::writeFile(path, bytes);
    registerCard(path, &card);
    Media *m = media_attach_image(path.c_str()); // kind 6: every read goes through the registered type
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(setup_reader(m, true, nullptr), 0);
    begin_run_flags(); // so that a hang can be broken below
    int end = 0;
    auto loop = std::async(std::launch::async, [m, &end] { return readAll(m, 4096, &end); });
    const bool done = loop.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!done)
        request_abort();
    const std::string got = loop.get();
    clear_run_flags();
    EXPECT_TRUE(done) << "the block loop hung";
    EXPECT_EQ(end, -34);
    EXPECT_EQ(m->byte_pos, card.gone);
    EXPECT_TRUE(got == bytes.substr(0, card.gone).replace(card.bad, 512, 512, '\0'));
    EXPECT_TRUE(log.has("Error reading " + path + " near block 100"));
    EXPECT_TRUE(log.has("Error reading " + path + " near block 6144"));
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

// A window of 1000 bytes: seek to 1000 works, a read there fails whole; a window at 1 MiB reads the bytes there.
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
        EXPECT_EQ(stream.read(buf, 1), -1);
        EXPECT_TRUE(log.has("HV::ByteStreamMedia::_read: Invalid length 1 for start=0, len=1000, relative_pos=1000"));
        EXPECT_TRUE(stream.seek(0));
        EXPECT_EQ(stream.read(buf, 1000), 1000);
        EXPECT_EQ(std::string(buf, 1000), bytes.substr(0, 1000));
        EXPECT_EQ(at1m.readAt(100, buf, 512), 512);
        EXPECT_EQ(std::string(buf, 512), bytes.substr((1 << 20) + 100, 512));
    }
    EXPECT_EQ(m->open_count, 0);
    Media *empty = media_new(path.c_str(), "empty", MEDIA_FILE, 0);
    EXPECT_FALSE(HV::ByteStreamMedia(empty).isOpen()); // cannot be positioned at its start: closed, no reference
    EXPECT_EQ(empty->open_count, 0);
}
