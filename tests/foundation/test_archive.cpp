#include "foundation/archive.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/workdir.h"
#include "support/test_support.h"

#include <sys/stat.h>

#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using zvtest::readFile;

// Every suite runs with the engine log in its own folder, so the fixed
// "error on line" texts can be checked.
class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override { log_open(logPath().c_str()); }
    void TearDown() override { log_close(); }
    std::string logPath() const { return dir_ / "ScanEngineLog.txt"; }
    bool logged(const std::string &text) const { return readFile(logPath()).find(text) != std::string::npos; }

    // Writes an archive with fill and returns its bytes.
    std::string write(const std::function<void(archive *)> &fill, const char *name = "a.arc")
    {
        archive *a = archive_new((dir_ / name).c_str(), ARCHIVE_WRITE, 0);
        EXPECT_NE(a, nullptr);
        fill(a);
        EXPECT_EQ(archive_free(&a), 0);
        EXPECT_EQ(a, nullptr);
        return readFile(dir_ / name);
    }

    zvtest::TempDir dir_;
};

struct Reader {
    archive *a = nullptr;
    int status;
    explicit Reader(const std::string &bytes) { status = archive_load_memory(bytes.data(), bytes.size(), &a); }
    ~Reader() { archive_free(&a); }
    int32_t l(const char *name, int expect = 0)
    {
        int32_t v = 0x5A5A;
        EXPECT_EQ(unarchive_long(a, name, &v), expect) << name;
        return v;
    }
};

// A folder object freed at the end of the scope (the first one becomes the
// process's global root, which must not outlive the test).
struct Folder {
    work_dir *dir;
    explicit Folder(const std::string &path) : dir(dir_new(nullptr, path.c_str())) {}
    ~Folder() { dir_free(&dir); }
};

void put32(std::string &s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        s[at + i] = (char)(v >> (8 * i));
}

// ---- Round trips --------------------------------------------------------------

using ArchiveRoundTrip = ArchiveTest;

TEST_F(ArchiveRoundTrip, LayoutIsLittleEndianWithTableAndTrailer)
{
    std::string bytes = write([](archive *a) {
        archive_start_block(a, "b", 1);
        archive_long(a, "a", 5);
        archive_end_block(a, "b");
    });
    const std::string expected = std::string("arch\x01\x00\x33\x11", 8) +                  // header
                                 std::string("n\x02\0\0\0a\0l\x05\0\0\0", 12) +            // item 0
                                 std::string("blk0\0\0\0\0\x01\0\0\0\x01\0\0\0b", 17) +   // entry
                                 std::string(15, '\0') + std::string("\0\0\0\0\x01\0\0\0", 8) +
                                 std::string(8, '\0') +                                    // entry end
                                 std::string("\xb1\xac\xb1\xac\x01\0\0\0\x14\0\0\0\0\0\0\0", 16) +
                                 std::string("\0\0\0\0\xb1\xac\xb1\xac", 8);               // trailer
    EXPECT_EQ(bytes, expected);
}

TEST_F(ArchiveRoundTrip, EveryTagComesBack)
{
    const int16_t h = -300;
    const float f = 1.5f;
    const double d = -2.25;
    const uint8_t blob[3] = {0, 0xFF, 7};
    int freed = 0;
    std::string bytes = write([&](archive *a) {
        EXPECT_EQ(archive_char(a, "c", 0xFE), 0);
        EXPECT_EQ(archive_value(a, "h", 'h', &h, 2), 0);
        EXPECT_EQ(archive_long(a, "l", -7), 0);
        EXPECT_EQ(archive_value(a, "f", 'f', &f, 4), 0);
        EXPECT_EQ(archive_quad(a, "q", INT64_MIN), 0);
        EXPECT_EQ(archive_value(a, "d", 'd', &d, 8), 0);
        EXPECT_EQ(archive_bytes(a, "b", blob, 3), 0);
        EXPECT_EQ(archive_bytes(a, "empty", nullptr, 0), 0);
        EXPECT_EQ(archive_string(a, "s", "text"), 0);
        EXPECT_EQ(archive_string(a, "null", nullptr), 0);
        archive_add_free_callback(a, [](archive *, void *n) { ++*(int *)n; }, &freed);
    });
    EXPECT_EQ(freed, 1);
    Reader r(bytes);
    ASSERT_EQ(r.status, 0);
    uint8_t c = 0;
    EXPECT_EQ(unarchive_char(r.a, "c", &c), 0);
    EXPECT_EQ(c, 0xFE);
    EXPECT_EQ(r.l("h"), -300);
    EXPECT_EQ(r.l("l"), -7);
    float f2 = 0;
    double d2 = 0;
    EXPECT_EQ(unarchive_bytes_copy(r.a, "f", &f2, 4), 4);
    EXPECT_EQ(unarchive_bytes_copy(r.a, "d", &d2, 8), 8);
    EXPECT_EQ(f2, f);
    EXPECT_EQ(d2, d);
    int64_t q = 0;
    EXPECT_EQ(unarchive_quad(r.a, "q", &q), 0);
    EXPECT_EQ(q, INT64_MIN);
    ASSERT_EQ(unarchive_bytes(r.a, "b"), 3);
    EXPECT_EQ(std::memcmp(archive_scratch_data(r.a), blob, 3), 0);
    EXPECT_EQ(unarchive_bytes(r.a, "empty"), 0);
    EXPECT_EQ(unarchive_string(r.a, "s"), 5);
    EXPECT_STREQ(archive_scratch_text(r.a), "text");
    EXPECT_EQ(unarchive_string(r.a, "null"), 1); // a NULL text reads back as ""
    EXPECT_STREQ(archive_scratch_text(r.a), "");
    EXPECT_EQ(unarchive_string(r.a, "s"), -1);   // each item is read once
}

TEST_F(ArchiveRoundTrip, NestedBlocksHideTheirItemsFromTheEnclosingBlock)
{
    std::string bytes = write([](archive *a) {
        archive_long(a, "x", 0);
        archive_start_block(a, "outer", 1);
        archive_long(a, "x", 1);
        archive_start_block(a, "a_block_name_longer_than_15", 1);
        archive_long(a, "x", 2);
        EXPECT_EQ(archive_end_block(a, "a_block_name_longer_than_15"), 0);
        archive_long(a, "x", 3);
        archive_end_block(a, "outer");
        archive_start_block(a, "other", 1);
        archive_long(a, "x", 4);
        archive_end_block(a, "other");
    });
    Reader r(bytes);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.l("x"), 0);
    r.l("x", -1); // the rest lie in blocks
    ASSERT_EQ(archive_start_block(r.a, "outer", 1), 0);
    EXPECT_EQ(r.l("x"), 1);
    EXPECT_EQ(r.l("x"), 3);
    ASSERT_EQ(archive_start_block(r.a, "a_block_name_longer_than_15", 1), 0);
    EXPECT_EQ(r.l("x"), 2);
    EXPECT_EQ(archive_end_block(r.a, "a_block_name_longer_than_15"), 0);
    EXPECT_EQ(archive_end_block(r.a, "outer"), 0);
    ASSERT_EQ(archive_start_block(r.a, "other", 1), 0);
    EXPECT_EQ(r.l("x"), 4);
}

TEST_F(ArchiveRoundTrip, OutOfOrderReadsAndDuplicatesInFileOrder)
{
    std::string bytes = write([](archive *a) {
        archive_start_block(a, "blk", 1);
        for (int32_t v : {1, 2, 3})
            archive_long(a, "dup", v);
        archive_long(a, "a", 10);
        archive_long(a, "b", 20);
        archive_end_block(a, "blk");
    });
    Reader r(bytes);
    ASSERT_EQ(archive_start_block(r.a, "blk", 1), 0);
    EXPECT_EQ(r.l("b"), 20);
    EXPECT_EQ(r.l("dup"), 1);
    EXPECT_EQ(r.l("a"), 10);
    EXPECT_EQ(r.l("dup"), 2);
    EXPECT_EQ(r.l("dup"), 3);
    r.l("dup", -1);
}

TEST_F(ArchiveRoundTrip, ABlockIsFoundOnlyUnderItsOwnParent)
{
    std::string bytes = write([](archive *a) {
        for (int32_t v : {1, 2}) {
            archive_start_block(a, v == 1 ? "cbr" : "other", 1);
            archive_start_block(a, "fp", 1);
            archive_long(a, "v", v);
            archive_end_block(a, "fp");
            archive_end_block(a, v == 1 ? "cbr" : "other");
        }
    });
    Reader r(bytes);
    EXPECT_EQ(archive_start_block(r.a, "fp", 1), -1); // no "fp" at top level
    EXPECT_TRUE(logged("archive_start_block: error on line 1342"));
    ASSERT_EQ(archive_start_block(r.a, "other", 1), 0); // "cbr" skipped
    ASSERT_EQ(archive_start_block(r.a, "fp", 1), 0);
    EXPECT_EQ(r.l("v"), 2);
}

TEST_F(ArchiveRoundTrip, ABlockLeftOpenIsClosedAtFreeAndLogged)
{
    std::string bytes = write([](archive *a) {
        archive_start_block(a, "open", 1);
        archive_long(a, "v", 9);
    });
    EXPECT_TRUE(logged("block \"open\" was not ended"));
    Reader r(bytes);
    ASSERT_EQ(archive_start_block(r.a, "open", 1), 0);
    EXPECT_EQ(r.l("v"), 9);
}

// ---- Widening -------------------------------------------------------------------

using ArchiveWidening = ArchiveTest;

TEST_F(ArchiveWidening, IntegerReadersAcceptOnlyValuesThatFit)
{
    enum Read { LONG, QUAD, CHAR };
    struct Case {
        char tag;
        int64_t stored;
        Read read;
        int status;
        int64_t expected;
    } cases[] = {
        {'q', 4294967295LL, LONG, 0, -1},  {'q', 4294967296LL, LONG, -1, 0},
        {'q', INT32_MIN, LONG, 0, INT32_MIN}, {'q', INT32_MIN - 1LL, LONG, -1, 0},
        {'c', 0xFF, LONG, 0, -1},          {'h', -300, LONG, 0, -300},
        {'l', -5, QUAD, 0, -5},            {'c', 0x80, QUAD, 0, -128},
        {'h', 255, CHAR, 0, 255},          {'h', -128, CHAR, 0, 0x80},
        {'l', 256, CHAR, -1, 0},           {'q', -129, CHAR, -1, 0},
        {'s', 0, QUAD, -1, 0},             {'f', 0, LONG, -1, 0},
    };
    std::string bytes = write([&](archive *a) {
        for (const Case &c : cases) {
            uint8_t v[8];
            for (int i = 0; i < 8; i++)
                v[i] = (uint8_t)((uint64_t)c.stored >> (8 * i));
            const uint32_t size = c.tag == 'c' ? 1 : c.tag == 'h' ? 2 : c.tag == 'q' ? 8 : c.tag == 's' ? 1 : 4;
            ASSERT_EQ(archive_value(a, "v", (uint8_t)c.tag, v, size), 0);
        }
    });
    Reader r(bytes);
    for (const Case &c : cases) {
        int64_t got = 0;
        int status;
        if (c.read == LONG) {
            int32_t v = 0;
            status = unarchive_long(r.a, "v", &v);
            got = v;
        } else if (c.read == QUAD) {
            status = unarchive_quad(r.a, "v", &got);
        } else {
            uint8_t v = 0;
            status = unarchive_char(r.a, "v", &v);
            got = v;
        }
        EXPECT_EQ(status, c.status) << c.tag << " " << c.stored;
        if (status == 0) {
            EXPECT_EQ(got, c.expected) << c.tag << " " << c.stored;
        } else { // a value that does not fit is not consumed
            EXPECT_GE(unarchive_bytes(r.a, "v"), 0);
        }
    }
}

// ---- Misuse ---------------------------------------------------------------------

using ArchiveMisuse = ArchiveTest;

TEST_F(ArchiveMisuse, BlockNestingErrorsAndWrongModes)
{
    archive *w = archive_new((dir_ / "w.arc").c_str(), ARCHIVE_WRITE, 0);
    EXPECT_EQ(archive_end_block(w, "none"), -15);
    EXPECT_TRUE(logged("archive_end_block: error on line 1404"));
    archive_start_block(w, "right", 1);
    EXPECT_EQ(archive_end_block(w, "wrong"), -15);
    EXPECT_TRUE(logged("archive_end_block: error on line 1420"));
    EXPECT_EQ(unarchive_long(w, "x", nullptr), -15);
    EXPECT_EQ(unarchive_peek_name(w), -15);
    EXPECT_EQ(archive_end_block(nullptr, "x"), -12);
    EXPECT_EQ(archive_free(&w), 0);

    archive *r = archive_new((dir_ / "w.arc").c_str(), ARCHIVE_READ, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(archive_long(r, "x", 1), -15);
    EXPECT_EQ(archive_string(r, "x", "y"), -15);
    EXPECT_EQ(archive_free(&r), 0);
    EXPECT_EQ(archive_new((dir_ / "missing").c_str(), ARCHIVE_READ, 0), nullptr);
    EXPECT_TRUE(logged("archive_new: error on line 151"));
}

TEST_F(ArchiveMisuse, ByteAndStringReadersOfOtherTags)
{
    std::string bytes = write([](archive *a) {
        archive_long(a, "l", 0x64636261);
        archive_long(a, "m", 0x04030201);
        EXPECT_EQ(archive_value(a, "bad", 's', "ab", 2), -12); // no NUL: refused
    });
    Reader r(bytes);
    EXPECT_EQ(unarchive_string(r.a, "l"), 4);
    EXPECT_STREQ(archive_scratch_text(r.a), "abcd"); // NUL-terminated copy
    EXPECT_EQ(unarchive_peek_name(r.a), 2);
    EXPECT_STREQ(archive_scratch_text(r.a), "m");
    uint8_t out[6];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(unarchive_bytes_copy(r.a, "m", out, 6), 4);
    EXPECT_EQ(std::string((char *)out, 6), std::string("\x01\x02\x03\x04\0\0", 6));
    EXPECT_TRUE(logged("unarchive_bytes_copy: count=6 n=4"));
}

// ---- Damaged input ----------------------------------------------------------------

using ArchiveDamage = ArchiveTest;

TEST_F(ArchiveDamage, MalformedItemsFailTheLoadCleanly)
{
    const std::string good = write([](archive *a) {
        archive_start_block(a, "blk", 1);
        archive_string(a, "name", "abc");
        archive_long(a, "n", 7);
        archive_end_block(a, "blk");
    });
    // Item 0: 'n' @8, name length @9, "name\0" @13, 's' @18, length @19, "abc\0" @23.
    struct Case {
        const char *what;
        std::function<void(std::string &)> poke;
        int status;
    } cases[] = {
        {"name length 0", [](std::string &s) { put32(s, 9, 0); }, -1},
        {"name without NUL", [](std::string &s) { s[17] = 'x'; }, -1},
        {"NUL inside name", [](std::string &s) { s[14] = 0; }, -1},
        {"name length 8 MiB + 1", [](std::string &s) { put32(s, 9, 0x800001); }, -16},
        {"name length past the end", [](std::string &s) { put32(s, 9, 0x7FFFFF); }, -1},
        {"no name tag", [](std::string &s) { s[8] = 'x'; }, -1},
        {"unknown tag", [](std::string &s) { s[18] = 'z'; }, -1},
        {"text length 8 MiB + 1", [](std::string &s) { put32(s, 19, 0x800001); }, -16},
        {"text without NUL", [](std::string &s) { s[26] = 'd'; }, -1},
        {"text length 0", [](std::string &s) { put32(s, 19, 0); }, -1},
        {"block ends past the items", [](std::string &s) { put32(s, s.size() - 24 - 12, 3); }, -1},
    };
    for (const Case &c : cases) {
        std::string bad = good;
        c.poke(bad);
        Reader r(bad);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.a, nullptr) << c.what;
    }
    EXPECT_TRUE(logged("archive_new: error on line 177"));
    EXPECT_TRUE(logged("Couldn't unarchive item 0"));

    for (const char *header : {"arck\x01\x00\x33\x11", "arch\x02\x00\x33\x11", "arch\x01\x00\x34\x11"}) {
        std::string bad = good;
        bad.replace(0, 8, header, 8);
        EXPECT_EQ(Reader(bad).status, -1);
    }
    EXPECT_TRUE(logged("line 160") && logged("line 166"));

    // Every prefix loads or fails cleanly (ASan checks that nothing reads past it).
    for (size_t n = 0; n < good.size(); n++)
        Reader(good.substr(0, n));
}

// A FIFO or a device named as an archive is refused instead of blocking the
// open or reading a whole disk.
TEST_F(ArchiveDamage, OnlyRegularFilesAreLoaded)
{
    const std::string fifo = dir_ / "pipe.arc";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {fifo, std::string("/dev/null"), dir_.path()}) {
        EXPECT_EQ(archive_new(path.c_str(), ARCHIVE_READ, 0), nullptr) << path;
    }
    EXPECT_TRUE(logged("archive_new: error on line 151"));
}

TEST_F(ArchiveDamage, ABadTrailerFallsBackToTheForwardSearch)
{
    const std::string good = write([](archive *a) {
        archive_start_block(a, "blk", 1);
        archive_long(a, "a", 1);
        archive_end_block(a, "blk");
        archive_long(a, "b", 2);
    });
    const size_t trailer = good.size() - 24;
    struct Case {
        const char *what;
        std::function<void(std::string &)> poke;
        const char *log;
    } cases[] = {
        {"magic", [&](std::string &s) { s[trailer] = 0; }, nullptr},
        {"huge count", [&](std::string &s) { put32(s, trailer + 4, 0x7FFFFFFF); }, "line 105"},
        {"negative count", [&](std::string &s) { put32(s, trailer + 4, 0x80000000u); }, "line 101"},
        {"offset past the end", [&](std::string &s) { put32(s, trailer + 12, 1); }, "line 101"},
        {"truncated trailer", [&](std::string &s) { s.resize(s.size() - 10); }, nullptr},
        {"no table or trailer", [&](std::string &s) { s.resize(trailer - 48); }, nullptr},
    };
    for (const Case &c : cases) {
        std::string bad = good;
        c.poke(bad);
        Reader r(bad);
        ASSERT_EQ(r.status, 0) << c.what;
        EXPECT_FALSE(r.a->has_table) << c.what;
        EXPECT_EQ(archive_start_block(r.a, "blk", 1), 0) << c.what;
        EXPECT_EQ(r.l("a"), 1) << c.what;
        EXPECT_EQ(archive_end_block(r.a, "blk"), 0) << c.what;
        EXPECT_EQ(r.l("b"), 2) << c.what;
        if (c.log) {
            EXPECT_TRUE(logged(std::string("archive_new: error on ") + c.log)) << c.what;
        }
    }
}

// ---- Saved files --------------------------------------------------------------------

using ArchiveFp = ArchiveTest;

TEST_F(ArchiveFp, AFileInsideTheBaseReopensInPlace)
{
    Folder folder(dir_.path());
    const work_dir *base = folder.dir;
    ASSERT_NE(base, nullptr);
    file_t *f = file_open((dir_ / "spans").c_str(), "wb", 2);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(file_write_full(f, "hello", 5), 0);
    ASSERT_EQ(file_seek(f, 3), 0);
    std::string bytes = write([&](archive *a) {
        EXPECT_EQ(archive_fp(a, f, base), 0);
        EXPECT_EQ(archive_fp(a, nullptr, base), 0);
    });
    ASSERT_EQ(file_free(&f), 0);
    EXPECT_NE(bytes.find(std::string("spans\0", 6)), std::string::npos); // stored relative

    Reader r(bytes);
    file_t *g = nullptr;
    ASSERT_EQ(unarchive_fp(r.a, &g, base), 0);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(file_tell(g), 3);
    EXPECT_EQ(std::string(g->mode_given), "Wb");
    EXPECT_EQ(file_free(&g), 0);
    EXPECT_EQ(readFile(dir_ / "spans"), "hello"); // not truncated
    EXPECT_EQ(unarchive_fp(r.a, &g, base), 0);     // the second was saved without a file
    EXPECT_EQ(g, nullptr);
}

// A gzip stream cannot be continued: reopening a saved gzip writer would start a new
// stream over the old one, so it is refused and the file keeps what it held.
TEST_F(ArchiveFp, AGzipWriterIsNotReopenedOverItsData)
{
    Folder folder(dir_.path());
    const work_dir *base = folder.dir;
    ASSERT_NE(base, nullptr);
    const std::string path = dir_ / "names.gz";
    file_t *f = file_open(path.c_str(), "wb", 4);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(file_write_full(f, "hello", 5), 0);
    std::string bytes = write([&](archive *a) { EXPECT_EQ(archive_fp(a, f, base), 0); });
    ASSERT_EQ(file_free(&f), 0);
    const std::string saved = readFile(path);

    Reader r(bytes);
    file_t *g = nullptr;
    EXPECT_EQ(unarchive_fp(r.a, &g, base), -1);
    EXPECT_EQ(g, nullptr);
    file_free(&g);
    EXPECT_EQ(readFile(path), saved);
    EXPECT_TRUE(logged("unarchive_fp: refused"));
}

TEST_F(ArchiveFp, NamesThatLeaveTheBaseAreRefused)
{
    zvtest::TempDir other;
    zvtest::writeFile(other / "x", "outside");
    Folder folder(dir_ / "base");
    const work_dir *base = folder.dir;
    ASSERT_NE(base, nullptr);
    struct Case {
        std::string name, mode;
        int status;
    } cases[] = {
        {"../x", "rb", -1},
        {"a/../../x", "rb", -1},
        {other / "x", "wb", -1},
        {other / "x", "r+b", -1},
        {other / "x", "a", -1},
        {other / "x", "rb", 0}, // reading outside is allowed
        {"sub", "x", -1},       // unknown mode
        {std::string(5000, 'n'), "rb", -1},
    };
    std::string bytes = write([&](archive *a) {
        for (const Case &c : cases) {
            archive_start_block(a, "fp", 1);
            archive_char(a, "fp_exist", 1);
            archive_string(a, "mode", c.mode.c_str());
            archive_long(a, "io_type", 2);
            archive_quad(a, "pos", 0);
            archive_string(a, "name", c.name.c_str());
            archive_end_block(a, "fp");
        }
    });
    Reader r(bytes);
    for (const Case &c : cases) {
        file_t *g = nullptr;
        EXPECT_EQ(unarchive_fp(r.a, &g, base), c.status) << c.name << " " << c.mode;
        EXPECT_EQ(g != nullptr, c.status == 0);
        file_free(&g);
    }
    EXPECT_EQ(readFile(other / "x"), "outside");
    EXPECT_TRUE(logged("unarchive_fp: refused"));
}

// ---- Short writes -----------------------------------------------------------------------

using ArchiveShortWrite = ArchiveTest;

TEST_F(ArchiveShortWrite, AFullDiskIsReportedByFree)
{
    struct stat st;
    ASSERT_EQ(stat("/dev/full", &st), 0) << "/dev/full is needed for this test";
    // Small items stay in the stdio buffer: the failure shows at close.
    archive *a = archive_new("/dev/full", ARCHIVE_WRITE, 0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(archive_long(a, "x", 1), 0);
    EXPECT_EQ(archive_bytes(a, "huge", &st, ARCHIVE_MAX_LENGTH + 1), -16); // refused, nothing written
    EXPECT_EQ(archive_finish(a), -3);
    EXPECT_EQ(archive_free(&a), -3);

    // A large item fails at once; the error sticks.
    a = archive_new("/dev/full", ARCHIVE_WRITE, 0);
    ASSERT_NE(a, nullptr);
    std::vector<uint8_t> big(1 << 20);
    EXPECT_EQ(archive_bytes(a, "big", big.data(), (uint32_t)big.size()), -3);
    EXPECT_EQ(archive_long(a, "x", 1), -3);
    EXPECT_EQ(archive_free(&a), -3);
}

// ---- Fuzz seeds ---------------------------------------------------------------------------

// The seeds in fuzz/corpus/archive are made by this writer, and cut;
// ZV_WRITE_ARCHIVE_SEEDS=1 writes them anew.
using ArchiveSeeds = ArchiveTest;

TEST_F(ArchiveSeeds, CorpusIsWhatTheWriterMakes)
{
    const std::string flat = write([](archive *a) {
        archive_long(a, "compat_version", 1);
        archive_string(a, "name", "x");
    });
    const double d = 0.5;
    const std::string nested = write([&](archive *a) {
        archive_start_block(a, "media", 1);
        archive_char(a, "c", 200);
        archive_value(a, "h", 'h', "\x01\x80", 2);
        archive_value(a, "d", 'd', &d, 8);
        archive_start_block(a, "ctx", 1);
        archive_quad(a, "start_pos", 1LL << 40);
        archive_bytes(a, "b", "\0\1\2", 3);
        archive_end_block(a, "ctx");
        archive_fp(a, nullptr, nullptr);
        archive_end_block(a, "media");
        archive_string(a, "tail", nullptr);
    });
    const std::map<std::string, std::string> seeds = {
        {"flat", flat},
        {"nested", nested},
        {"cut-in-trailer", nested.substr(0, nested.size() - 10)},
        {"cut-in-table", nested.substr(0, nested.size() - 24 - 20)},
        {"cut-in-item", nested.substr(0, 30)},
    };
    const std::filesystem::path folder = std::filesystem::path(__FILE__).parent_path() / "../../fuzz/corpus/archive";
    for (const auto &[name, bytes] : seeds) {
        if (std::getenv("ZV_WRITE_ARCHIVE_SEEDS"))
            zvtest::writeFile(folder / name, bytes);
        EXPECT_EQ(readFile(folder / name), bytes) << name;
    }
}

} // namespace
