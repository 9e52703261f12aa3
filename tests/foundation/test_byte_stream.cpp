// Byte streams over aligned media, buffers, files, a 5 GiB sparse file, /dev/full and a loop device.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/byte_stream.h"
#include "support/hang_guard.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using S = ZV::ByteStream;

// Each byte depends on its offset, so a read from the wrong offset shows.
Bytes pattern(uint64_t from, size_t count)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = uint8_t((from + i) * 7 + ((from + i) >> 8) * 13 + 1);
    return bytes;
}

// A buffer posing as a medium of 512-byte blocks: records its calls, can fail its seeks or its block reads
// after a number of them (a failing read still moves the buffer offset, as a device may).
struct Medium { ZV::Buffer storage; };
struct AlignedMedium : Medium, ZV::ByteStreamBuffer {
    explicit AlignedMedium(size_t size) : ZV::ByteStreamBuffer(&storage)
    {
        const Bytes bytes = pattern(0, size);
        storage.append(bytes.data(), bytes.size());
        EXPECT_TRUE(open(modeRead));
    }
    uint32_t blockSize() override { return 512; }
    uint32_t alignment() override { return 512; }
    bool _seek(uint64_t at) override { return seeks.push_back(at), !failSeeks && ZV::ByteStreamBuffer::_seek(at); }
    int _read(void *destination, uint32_t count) override
    {
        const int got = (reads.push_back(count), ZV::ByteStreamBuffer::_read(destination, count));
        return failReadsAfter >= 0 && int(reads.size()) > failReadsAfter ? -1 : got;
    }
    std::vector<uint64_t> seeks; // medium calls made
    std::vector<uint32_t> reads;
    int failReadsAfter = -1; // -1: never fail
    bool failSeeks = false;
};

} // namespace

TEST(ByteStreamAligned, UnalignedReadsGoThroughWholeBlocks)
{
    const struct { const char *what; size_t size, at, count, expected; std::vector<uint64_t> seeks;
                   std::vector<uint32_t> reads; } cases[] = {
        {"10 bytes across the edge at 512", 2048, 510, 10, 10, {0}, {512, 512}},
        {"at the very end of the medium", 1024, 1024, 10, 0, {1024}, {512}},
        {"end of the medium inside a block", 1000, 950, 100, 50, {512}, {512}},
        {"aligned start, odd count", 2048, 512, 700, 700, {512}, {512, 512}},
        {"one block after a seek: direct", 2048, 1024, 512, 512, {1024}, {512}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        AlignedMedium m(c.size);
        ASSERT_TRUE(m.seek(c.at));
        Bytes got(c.count);
        EXPECT_EQ(int(c.expected), m.read(got.data(), uint32_t(c.count)));
        EXPECT_EQ(c.seeks, m.seeks);
        EXPECT_EQ(c.reads, m.reads);
        EXPECT_EQ(c.at + c.expected, m.position());
        EXPECT_EQ(pattern(c.at, c.expected), Bytes(got.begin(), got.begin() + long(c.expected)));
    }
}

// Fault guarded: a block read failing after some blocks must leave the position just past the bytes handed
// out, and the next read must position the medium afresh. A failed seek is -1, not the end of the data.
TEST(ByteStreamAligned, MediumFailures)
{
    AlignedMedium m(4096);
    uint8_t next[512];
    ASSERT_EQ(10, m.read(next, 10)); // leaves no seek pending
    m.failReadsAfter = 3;
    Bytes got(1500);
    ASSERT_EQ(1014, m.read(got.data(), 1500)); // 502 + 512 bytes
    EXPECT_EQ(1024u, m.position());
    EXPECT_EQ(pattern(10, 1014), Bytes(got.begin(), got.begin() + 1014));
    m.failReadsAfter = -1;
    ASSERT_EQ(512, m.read(next, 512));
    EXPECT_EQ(pattern(1024, 512), Bytes(next, next + 512));
    m.failReadsAfter = int(m.reads.size());
    ASSERT_TRUE(m.seek(700));
    EXPECT_EQ(-1, m.read(next, 10)); // the first block fails
    EXPECT_EQ(700u, m.position());
    m.failReadsAfter = -1, m.failSeeks = true;
    ASSERT_TRUE(m.seek(1024));
    EXPECT_EQ(-1, m.read(next, 512)); // pending seek, direct path
    EXPECT_EQ(-1, m.read(next, 10));  // block seek, bounce path
    m.failSeeks = false;
    ASSERT_EQ(512, m.read(next, 512)); // the seek stayed pending
    EXPECT_EQ(pattern(1024, 512), Bytes(next, next + 512));
}

// A real file read as a medium of 4096-byte blocks, across block boundaries and in a row.
TEST(ByteStreamAligned, FileWith4096ByteBlocks)
{
    struct File4096 : ZV::ByteStreamFile {
        using ZV::ByteStreamFile::ByteStreamFile;
        uint32_t blockSize() override { return 4096; }
        uint32_t alignment() override { return 4096; }
    };
    zvtest::TempDir dir;
    const Bytes bytes = pattern(0, 3 * 4096);
    zvtest::writeFile(dir / "img", std::string(bytes.begin(), bytes.end()));
    File4096 stream(zorvant::u8string(dir / "img"));
    ASSERT_TRUE(stream.open(S::modeRead));
    uint8_t got[5000];
    for (auto [at, count] : {std::pair<uint64_t, int>{4000, 5000}, {9000, 100}, {10, 300}}) {
        const int read = at == 9000 ? stream.read(got, count) : stream.readAt(at, got, count); // 9000: in a row
        ASSERT_EQ(count, read) << at;
        EXPECT_EQ(pattern(at, size_t(count)), Bytes(got, got + count)) << at;
    }
}

// Refused operations, the length as the last seek target, peek, and writes into a buffer.
TEST(ByteStreamBuffer, ModesPeekAndWrites)
{
    ZV::Buffer buffer(16);
    uint8_t byte = 0;
    EXPECT_EQ(-1, ZV::ByteStreamBuffer(&buffer, S::modeWrite).read(&byte, 1));
    EXPECT_EQ(-1, ZV::ByteStreamBuffer(&buffer, S::modeAppend).read(&byte, 1));
    EXPECT_FALSE(ZV::ByteStreamBuffer(&buffer, S::modeAppend).seek(1));
    EXPECT_EQ(-1, ZV::ByteStreamBuffer(&buffer, S::modeReadWrite).write(&byte, 0));
    EXPECT_EQ(512u, ZV::ByteStreamBuffer(&buffer).currentBlockSize()); // never opened
    ZV::ByteStreamBuffer reader(&buffer, S::modeRead);
    EXPECT_EQ(-1, reader.write(&byte, 1));
    EXPECT_FALSE(reader.open(S::modeReadWrite)); // opened once, first mode kept
    EXPECT_EQ(S::modeRead, reader.mode());
    EXPECT_TRUE(reader.seek(16)); // the length itself
    EXPECT_FALSE(reader.seek(17));
    EXPECT_TRUE(reader.seek(3));
    EXPECT_EQ(1, reader.peek(&byte, 1));
    EXPECT_EQ(3u, reader.position());
    ZV::ByteStream bare; // a medium that overrides nothing
    EXPECT_THROW(bare.length(), std::runtime_error);
    EXPECT_THROW(bare.open(S::modeRead), std::runtime_error);

    ZV::Buffer hundred(100); // a write cuts the buffer to its end; fault guarded: append mode wrote over the data
    ZV::ByteStreamBuffer stream(&hundred, S::modeReadWrite);
    ASSERT_TRUE(stream.writeU32(0x04030201));
    EXPECT_EQ(std::string("\x01\x02\x03\x04", 4), std::string(hundred.data(), hundred.data() + hundred.length()));
    EXPECT_FALSE(stream.seek(5)); // the cached length followed the write
    uint32_t word = 0;
    ASSERT_TRUE(stream.seek(0) && stream.readU32(&word));
    EXPECT_EQ(0x04030201u, word);
    ASSERT_TRUE(stream.writeU32(0x08070605)); // right after a read
    uint64_t both = 0;
    EXPECT_FALSE(stream.seek(2) && stream.readU64(&both)); // 6 bytes left
    EXPECT_EQ(8u, stream.position());
    ASSERT_EQ(2, ZV::ByteStreamBuffer(&hundred, S::modeAppend).write("xy", 2));
    EXPECT_EQ(std::string("\x01\x02\x03\x04\x05\x06\x07\x08xy", 10),
              std::string(hundred.data(), hundred.data() + hundred.length()));
}

// Fault guarded: on "r+b" a read right after a write must see the file at the logical position; a full disk
// must be reported, at the latest on close.
TEST(ByteStreamFile, ReadWriteAndModes)
{
    zvtest::TempDir dir;
    const zorvant::u8string path(dir / "f.bin");
    auto session = [&](int mode, auto body) {
        ZV::ByteStreamFile stream(path);
        ASSERT_TRUE(stream.open(mode));
        body(stream);
        EXPECT_TRUE(stream._close());
    };
    session(S::modeWrite, [](ZV::ByteStreamFile &s) {
        EXPECT_TRUE(s.write("abcdef", 6) == 6 && s.length() == 6); // bytes still in the stdio buffer count
    });
    session(S::modeReadWrite, [](ZV::ByteStreamFile &s) {
        char got[4] = {};
        ASSERT_TRUE(s.seek(1));
        ASSERT_EQ(2, s.write("XY", 2));
        ASSERT_EQ(3, s.read(got, 3));
        EXPECT_STREQ("def", got);
        ASSERT_EQ(2, s.write("gh", 2)); // past the old end
        EXPECT_TRUE(s.seek(8));
    });
    session(S::modeAppend, [](ZV::ByteStreamFile &s) { ASSERT_EQ(1, s.write("!", 1)); });
    EXPECT_EQ("aXYdefgh!", zvtest::readFile(dir / "f.bin"));
    ZV::ByteStreamFile missing(zorvant::u8string(dir / "missing"));
    EXPECT_FALSE(missing.open(S::modeRead) || missing.isOpen());
    ASSERT_TRUE(missing.lastError());
    EXPECT_EQ("ZV::SYSTEM " + std::to_string(ENOENT),
              missing.lastError()->domain() + " " + std::to_string(missing.lastError()->code()));
    EXPECT_FALSE(ZV::ByteStreamFile(path).open(7));

    ZV::ByteStreamFile full(zorvant::u8string("/dev/full"));
    ASSERT_TRUE(full.open(S::modeWrite));
    const int written = full.write("0123456789", 10);
    EXPECT_TRUE(written == -1 || !full._close()) << "written " << written;
}

// Lengths from a 5 GiB sparse file and, fault guarded, from a block device (st_size 0: ask the device).
TEST(ByteStreamFile, SparseFileOf5GiBAndBlockDevice)
{
    zvtest::TempDir dir;
    const uint64_t size = 5ull << 30;
    zvtest::writeFile(dir / "sparse", "");
    ASSERT_EQ(0, truncate((dir / "sparse").c_str(), off_t(size)));
    ZV::ByteStreamFile stream(zorvant::u8string(dir / "sparse"));
    ASSERT_TRUE(stream.open(S::modeReadWrite));
    ASSERT_TRUE(stream.seek(size - 4));
    ASSERT_EQ(4, stream.write("tail", 4));
    EXPECT_EQ(size, stream.length());
    char got[9] = {};
    ASSERT_EQ(4, stream.readAt(size - 4, got, 8)); // short at the end
    EXPECT_STREQ("tail", got);
    EXPECT_EQ(0, stream.read(got, 1));
    EXPECT_FALSE(stream.seek(size + 1));

    zvtest::writeFile(dir / "disk.img", std::string(3 << 20, '\0'));
    zvtest::LoopDevice loop(dir / "disk.img");
    ZV::ByteStreamFile device{zorvant::u8string(loop.path())};
    ASSERT_TRUE(device.open(S::modeRead));
    EXPECT_EQ(uint64_t(3) << 20, device.length());
}

// A FIFO or a folder where a file was expected is refused at once, with the reason; the open of a FIFO without a writer
// never waits (run in a child, so a wait would fail the test, not hang it).
TEST(ByteStreamFile, SpecialFilesAreRefusedWithoutWaiting)
{
    zvtest::TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const zvtest::ChildOutcome outcome = zvtest::runInChild(
        [&](const zvtest::ChildNotes &note) {
            for (const std::string &path : {fifo, dir.path()}) {
                for (int mode : {S::modeRead, S::modeReadWrite}) {
                    ZV::ByteStreamFile stream{zorvant::u8string(path)};
                    if (stream.open(mode) || stream.lastError() == nullptr) {
                        note(path + " opened in mode " + std::to_string(mode));
                        return 1;
                    }
                }
            }
            return 0;
        },
        30);
    EXPECT_TRUE(outcome.finished) << "the open waited";
    EXPECT_EQ(outcome.status, 0) << outcome.notes;
}
