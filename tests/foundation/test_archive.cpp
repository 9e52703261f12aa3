#include "foundation/archive.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/workdir.h"
#include "support/full_disk.h"
#include "support/hang_guard.h"
#include "support/test_support.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <thread>
#include <tuple>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using zvtest::readFile;

// The engine log lives in the test's folder, so the fixed "error on line" texts can be checked.
class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override { log_open(logPath().c_str()); }
    void TearDown() override { log_close(); }
    std::string logPath() const { return dir_ / "ScanEngineLog.txt"; }
    bool logged(const std::string &text) const { return readFile(logPath()).find(text) != std::string::npos; }

    std::string write(const std::function<void(archive *)> &fill)
    {
        archive *a = archive_new((dir_ / "a.arc").c_str(), ARCHIVE_WRITE, 0);
        EXPECT_NE(a, nullptr);
        fill(a);
        EXPECT_EQ(archive_free(&a), 0);
        EXPECT_EQ(a, nullptr);
        return readFile(dir_ / "a.arc");
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

// A folder object freed at the end of the scope (the first one becomes the process's global root).
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

void block(archive *a, const char *name, const char *item, int32_t v)
{
    archive_start_block(a, name, 1);
    archive_long(a, item, v);
    EXPECT_EQ(archive_end_block(a, name), 0); // long names compare by their 15-byte cut
}

using ArchiveRoundTrip = ArchiveTest;

TEST_F(ArchiveRoundTrip, LayoutIsLittleEndianWithTableAndTrailer)
{
    std::string bytes = write([](archive *a) { block(a, "b", "a", 5); });
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
        EXPECT_EQ(archive_value(a, "bad", 's', "ab", 2), -12); // no NUL: refused
        archive_long(a, "l4", 0x64636261);
        archive_long(a, "m", 0x04030201);
        archive_add_free_callback(a, [](archive *, void *n) { ++*(int *)n; }, &freed);
    });
    EXPECT_EQ(freed, 1);
    Reader r(bytes);
    ASSERT_EQ(r.status, 0);
    uint8_t c = 0, out[6];
    float f2 = 0;
    double d2 = 0;
    int64_t q = 0;
    EXPECT_TRUE(unarchive_char(r.a, "c", &c) == 0 && c == 0xFE);
    EXPECT_EQ(r.l("h"), -300);
    EXPECT_EQ(r.l("l"), -7);
    EXPECT_EQ(unarchive_bytes_copy(r.a, "f", &f2, 4), 4);
    EXPECT_EQ(unarchive_bytes_copy(r.a, "d", &d2, 8), 8);
    EXPECT_TRUE(f2 == f && d2 == d);
    EXPECT_TRUE(unarchive_quad(r.a, "q", &q) == 0 && q == INT64_MIN);
    ASSERT_EQ(unarchive_bytes(r.a, "b"), 3);
    EXPECT_EQ(std::memcmp(archive_scratch_data(r.a), blob, 3), 0);
    EXPECT_EQ(unarchive_bytes(r.a, "empty"), 0);
    EXPECT_EQ(unarchive_string(r.a, "s"), 5);
    EXPECT_STREQ(archive_scratch_text(r.a), "text");
    EXPECT_EQ(unarchive_string(r.a, "null"), 1); // a NULL text reads back as ""
    EXPECT_STREQ(archive_scratch_text(r.a), "");
    EXPECT_EQ(unarchive_string(r.a, "s"), -1);   // each item is read once
    // Fault guarded: the string reader of another tag read past its bytes; it always NUL-terminates.
    EXPECT_EQ(unarchive_string(r.a, "l4"), 4);
    EXPECT_STREQ(archive_scratch_text(r.a), "abcd");
    EXPECT_EQ(unarchive_peek_name(r.a), 2);
    EXPECT_STREQ(archive_scratch_text(r.a), "m");
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(unarchive_bytes_copy(r.a, "m", out, 6), 4);
    EXPECT_EQ(std::string((char *)out, 6), std::string("\x01\x02\x03\x04\0\0", 6));
    EXPECT_TRUE(logged("unarchive_bytes_copy: count=6 n=4"));
}

// An item read as exactly so many bytes: copied only at its own length; another length leaves the
// destination alone but still consumes the item; no destination for bytes is refused before the lookup.
TEST_F(ArchiveRoundTrip, ExactBytesOnlyAtTheirOwnLength)
{
    const uint8_t key[4] = {1, 2, 3, 4};
    std::string bytes = write([&](archive *a) {
        archive_bytes(a, "key", key, 4);
        archive_bytes(a, "short", key, 3);
        archive_bytes(a, "empty", nullptr, 0);
    });
    Reader r(bytes);
    ASSERT_EQ(r.status, 0);
    uint8_t out[4];
    EXPECT_EQ(unarchive_bytes_exact(r.a, "key", nullptr, 4), ARCHIVE_BAD_ARGUMENT);
    EXPECT_EQ(unarchive_bytes_exact(r.a, "key", out, 4), 0);
    EXPECT_EQ(std::memcmp(out, key, 4), 0);
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(unarchive_bytes_exact(r.a, "short", out, 4), -1);
    EXPECT_EQ(std::string((char *)out, 4), std::string(4, '\xEE'));
    EXPECT_EQ(unarchive_bytes(r.a, "short"), ARCHIVE_NOT_FOUND); // consumed all the same
    EXPECT_EQ(unarchive_bytes_exact(r.a, "empty", nullptr, 0), 0);
    EXPECT_EQ(unarchive_bytes_exact(r.a, "missing", out, 4), ARCHIVE_NOT_FOUND);
}

// Nested blocks hide their items; duplicates come back in file order; a block is searched only under its own
// parent (fault: another parent's "fp" was taken); a block left open is closed at free and logged.
TEST_F(ArchiveRoundTrip, BlocksNestingOrderAndParents)
{
    std::string bytes = write([](archive *a) {
        archive_long(a, "x", 0);
        archive_start_block(a, "outer", 1);
        archive_long(a, "x", 1);
        block(a, "a_block_name_longer_than_15", "x", 2);
        archive_long(a, "x", 3);
        block(a, "fp", "v", 1);
        archive_end_block(a, "outer");
        archive_start_block(a, "other", 1);
        for (int32_t v : {1, 2, 3})
            archive_long(a, "dup", v);
        archive_long(a, "a", 10);
        archive_long(a, "b", 20);
        block(a, "fp", "v", 2);
        archive_end_block(a, "other");
        archive_start_block(a, "open", 1);
        archive_long(a, "v", 9);
    });
    EXPECT_TRUE(logged("block \"open\" was not ended"));
    Reader r(bytes);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.l("x"), 0);
    r.l("x", -1); // the rest lie in blocks
    EXPECT_EQ(archive_start_block(r.a, "fp", 1), -1); // no "fp" at top level
    EXPECT_TRUE(logged("archive_start_block: error on line 1342"));
    ASSERT_EQ(archive_start_block(r.a, "other", 1), 0); // "outer" skipped
    ASSERT_EQ(archive_start_block(r.a, "fp", 1), 0);
    EXPECT_EQ(r.l("v"), 2);
    EXPECT_EQ(archive_end_block(r.a, "fp"), 0);
    for (auto [name, v] : {std::pair{"b", 20}, {"dup", 1}, {"a", 10}, {"dup", 2}, {"dup", 3}})
        EXPECT_EQ(r.l(name), v);
    r.l("dup", -1);
    EXPECT_EQ(archive_end_block(r.a, "other"), 0);
    ASSERT_EQ(archive_start_block(r.a, "outer", 1), 0);
    EXPECT_EQ(r.l("x"), 1);
    EXPECT_EQ(r.l("x"), 3);
    ASSERT_EQ(archive_start_block(r.a, "a_block_name_longer_than_15", 1), 0);
    EXPECT_EQ(r.l("x"), 2);
    EXPECT_EQ(archive_end_block(r.a, "a_block_name_longer_than_15"), 0);
    EXPECT_EQ(archive_end_block(r.a, "outer"), 0);
    ASSERT_EQ(archive_start_block(r.a, "open", 1), 0);
    EXPECT_EQ(r.l("v"), 9);
}

// A long accepts -2^31 to 2^32-1, a char -128 to 255; a value that does not fit fails and is not consumed.
TEST_F(ArchiveRoundTrip, IntegerReadersAcceptOnlyValuesThatFit)
{
    enum Read { LONG, QUAD, CHAR };
    const struct { char tag; int64_t stored; Read read; int status; int64_t expected; } cases[] = {
        {'q', 4294967295LL, LONG, 0, -1},     {'q', 4294967296LL, LONG, -1, 0},
        {'q', INT32_MIN, LONG, 0, INT32_MIN}, {'q', INT32_MIN - 1LL, LONG, -1, 0},
        {'c', 0xFF, LONG, 0, -1},             {'h', -300, LONG, 0, -300},
        {'l', -5, QUAD, 0, -5},               {'c', 0x80, QUAD, 0, -128},
        {'h', 255, CHAR, 0, 255},             {'h', -128, CHAR, 0, 0x80},
        {'l', 256, CHAR, -1, 0},              {'q', -129, CHAR, -1, 0},
        {'s', 0, QUAD, -1, 0},                {'f', 0, LONG, -1, 0},
    };
    std::string bytes = write([&](archive *a) {
        for (const auto &c : cases) {
            uint8_t v[8];
            for (int i = 0; i < 8; i++)
                v[i] = (uint8_t)((uint64_t)c.stored >> (8 * i));
            const uint32_t size = c.tag == 'c' || c.tag == 's' ? 1 : c.tag == 'h' ? 2 : c.tag == 'q' ? 8 : 4;
            ASSERT_EQ(archive_value(a, "v", (uint8_t)c.tag, v, size), 0);
        }
    });
    Reader r(bytes);
    for (const auto &c : cases) {
        int64_t got = 0;
        int32_t l = 0;
        uint8_t ch = 0;
        const int status = c.read == QUAD ? unarchive_quad(r.a, "v", &got)
                           : c.read == LONG ? unarchive_long(r.a, "v", &l) : unarchive_char(r.a, "v", &ch);
        got = c.read == QUAD ? got : c.read == LONG ? l : ch;
        EXPECT_EQ(status, c.status) << c.tag << " " << c.stored;
        if (status == 0)
            EXPECT_EQ(got, c.expected) << c.tag << " " << c.stored;
        else
            EXPECT_GE(unarchive_bytes(r.a, "v"), 0);
    }
}

using ArchiveMisuse = ArchiveTest;

TEST_F(ArchiveMisuse, BlockNestingErrorsAndWrongModes)
{
    Reader r(write([](archive *w) {
        EXPECT_EQ(archive_end_block(w, "none"), -15);
        archive_start_block(w, "right", 1);
        EXPECT_EQ(archive_end_block(w, "wrong"), -15);
        EXPECT_EQ(unarchive_long(w, "x", nullptr), -15);
        EXPECT_EQ(unarchive_peek_name(w), -15);
    }));
    for (const char *text : {"archive_end_block: error on line 1404", "archive_end_block: error on line 1420"})
        EXPECT_TRUE(logged(text)) << text;
    EXPECT_EQ(archive_end_block(nullptr, "x"), -12);
    EXPECT_EQ(archive_long(r.a, "x", 1), -15);
    EXPECT_EQ(archive_string(r.a, "x", "y"), -15);
}

using ArchiveDamage = ArchiveTest;

// Fault guarded: names and texts without their NUL, unknown tags and huge lengths were trusted.
TEST_F(ArchiveDamage, MalformedItemsFailTheLoadCleanly)
{
    const std::string good = write([](archive *a) {
        archive_start_block(a, "blk", 1);
        archive_string(a, "name", "abc");
        archive_long(a, "n", 7);
        archive_end_block(a, "blk");
    });
    // Item 0: 'n' @8, name length @9, "name\0" @13, 's' @18, length @19, "abc\0" @23.
    const struct { const char *what; std::function<void(std::string &)> poke; int status; } cases[] = {
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
        {"bad magic", [](std::string &s) { s[3] = 'k'; }, -1},
        {"version 2", [](std::string &s) { s[4] = 2; }, -1},
        {"bad header number", [](std::string &s) { s[6] = 0x34; }, -1},
    };
    for (const auto &c : cases) {
        std::string bad = good;
        c.poke(bad);
        Reader r(bad);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.a, nullptr) << c.what;
    }
    for (const char *text : {"archive_new: error on line 177", "Couldn't unarchive item 0", "line 160", "line 166"})
        EXPECT_TRUE(logged(text)) << text;
    for (size_t n = 0; n < good.size(); n++) // every prefix loads or fails cleanly (ASan checks the reads)
        Reader(good.substr(0, n));
}

// Only a regular file is loaded (fault: a FIFO would block the open, a device be read whole into memory).
TEST_F(ArchiveDamage, OnlyRegularFilesAreLoaded)
{
    const std::string fifo = dir_ / "pipe.arc";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &path : {fifo, std::string("/dev/null"), dir_.path(), dir_ / "missing"})
        EXPECT_EQ(archive_new(path.c_str(), ARCHIVE_READ, 0), nullptr) << path;
    EXPECT_TRUE(logged("archive_new: error on line 151"));
}

// Fault guarded: the loader checked the name with stat and then opened it, so a FIFO swapped in between held
// the open for ever. Another thread swaps a FIFO and an archive under one name as fast as it can while the name
// is loaded again and again: each load gives the archive or a refusal, never a hang (the faulty code hangs; run
// in a child process, it is killed and the test fails).
TEST_F(ArchiveDamage, AFifoSwappedInUnderTheNameIsNeverWaitedFor)
{
    const std::string path = dir_ / "scan.arc", fifo = dir_ / "swap.fifo";
    const std::string good = write([](archive *a) { archive_long(a, "v", 42); });
    zvtest::writeFile(path, good);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const zvtest::ChildOutcome outcome = zvtest::runInChild([&](const zvtest::ChildNotes &note) {
        std::atomic<bool> done{false};
        std::atomic<long> swaps{0};
        std::thread swapper([&] {
            while (!done.load())
                if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE) == 0)
                    ++swaps;
        });
        int loaded = 0, refused = 0, wrong = 0;
        for (int i = 0; i < 20000; i++) {
            archive *a = archive_new(path.c_str(), ARCHIVE_READ, 0);
            int32_t v = 0;
            if (a == nullptr)
                ++refused;
            else if (unarchive_long(a, "v", &v) == 0 && v == 42)
                ++loaded;
            else
                ++wrong;
            archive_free(&a);
        }
        done = true;
        swapper.join();
        note("loaded " + std::to_string(loaded) + ", refused " + std::to_string(refused) + ", swaps " +
             std::to_string(swaps.load()));
        return wrong == 0 && loaded > 0 ? 0 : 1;
    });
    EXPECT_TRUE(outcome.finished) << "hung in the open of a FIFO";
    EXPECT_EQ(outcome.status, 0) << outcome.notes;
}

TEST_F(ArchiveDamage, ABadTrailerFallsBackToTheForwardSearch)
{
    const std::string good = write([](archive *a) {
        block(a, "blk", "a", 1);
        archive_long(a, "b", 2);
    });
    const size_t trailer = good.size() - 24;
    const struct { const char *what; std::function<void(std::string &)> poke; const char *log; } cases[] = {
        {"magic", [&](std::string &s) { s[trailer] = 0; }, nullptr},
        {"huge count", [&](std::string &s) { put32(s, trailer + 4, 0x7FFFFFFF); }, "line 105"},
        {"negative count", [&](std::string &s) { put32(s, trailer + 4, 0x80000000u); }, "line 101"},
        {"offset past the end", [&](std::string &s) { put32(s, trailer + 12, 1); }, "line 101"},
        {"truncated trailer", [&](std::string &s) { s.resize(s.size() - 10); }, nullptr},
        {"no table or trailer", [&](std::string &s) { s.resize(trailer - 48); }, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string bad = good;
        c.poke(bad);
        Reader r(bad);
        ASSERT_EQ(r.status, 0);
        EXPECT_FALSE(r.a->has_table);
        EXPECT_EQ(archive_start_block(r.a, "blk", 1), 0);
        EXPECT_EQ(r.l("a"), 1);
        EXPECT_EQ(archive_end_block(r.a, "blk"), 0);
        EXPECT_EQ(r.l("b"), 2);
        EXPECT_TRUE(!c.log || logged(std::string("archive_new: error on ") + c.log));
    }
}

using ArchiveFp = ArchiveTest;

// Writes one "fp" block naming a file as given.
void savedFile(archive *a, const std::string &name, const std::string &mode, int32_t kind)
{
    archive_start_block(a, "fp", 1);
    archive_char(a, "fp_exist", 1);
    archive_string(a, "mode", mode.c_str());
    archive_long(a, "io_type", kind);
    archive_quad(a, "pos", 0);
    archive_string(a, "name", name.c_str());
    archive_end_block(a, "fp");
}

// Makes a file whose path is exactly `length` bytes: folders with 200-byte names under top, then the file.
std::string fileOfPathLength(const std::string &top, size_t length, const std::string &content)
{
    std::string path = top;
    while (length - path.size() > 256) {
        path += "/" + std::string(200, 'd');
        std::filesystem::create_directory(path);
    }
    path += "/" + std::string(length - path.size() - 1, 'v');
    zvtest::writeFile(path, content);
    return path;
}

// Watches files and folders for opens, changes and creations (inotify) while a test runs.
class Watcher {
public:
    Watcher() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (fd_ < 0)
            throw std::runtime_error("inotify_init1 failed");
    }
    ~Watcher() { close(fd_); }
    void watch(const std::string &path)
    {
        const int wd = inotify_add_watch(fd_, path.c_str(), IN_ALL_EVENTS & ~(IN_CLOSE_NOWRITE));
        if (wd < 0)
            throw std::runtime_error("inotify_add_watch failed for " + path);
        names_[wd] = path;
    }
    // Every event so far, as "<watched path>[/<name>]: <mask>".
    std::vector<std::string> events()
    {
        std::vector<std::string> out;
        alignas(inotify_event) char buffer[1 << 16];
        ssize_t got;
        while ((got = read(fd_, buffer, sizeof buffer)) > 0) {
            for (char *p = buffer; p < buffer + got;) {
                const auto *e = reinterpret_cast<const inotify_event *>(p);
                out.push_back(names_[e->wd] + (e->len ? "/" + std::string(e->name) : "") + ": " +
                              std::to_string(e->mask));
                p += sizeof(inotify_event) + e->len;
            }
        }
        return out;
    }

private:
    int fd_;
    std::map<int, std::string> names_;
};

// A test that could not fail: the ".." and over-long cases once named files that did not exist, so they passed
// whether or not they were refused. Now every target exists outside the base folder (or, for a path
// that a cut would shorten, where the cut lands), every reading, writing and creating mode is tried with kinds 1
// to 3, and inotify shows that nothing there was opened, changed or created. A control that may be read (a file
// outside the base, for reading) shows that the watch sees an open.
TEST_F(ArchiveFp, NamesLeavingTheBaseOpenNothingOutside)
{
    zvtest::TempDir root, other;
    Folder folder(root / "base");
    ASSERT_NE(folder.dir, nullptr);
    const std::string base = root / "base";
    std::filesystem::create_directories(base + "/a");
    zvtest::writeFile(root / "x", "outside x");
    zvtest::writeFile(other / "control", "control");
    // Paths of PATH_MAX bytes and more: their first PATH_MAX - 1 bytes name an existing file, outside the base
    // and inside it, so a joined path that were cut instead of refused would open it.
    const std::string outside_cut = fileOfPathLength(other.path(), PATH_MAX - 1, "outside victim");
    const std::string inside_cut = fileOfPathLength(base, PATH_MAX - 1, "inside victim");

    std::vector<std::pair<std::string, std::string>> cases; // {name, mode}
    const char *modes[] = {"rb", "r+b", "wb", "w+b", "Wb", "ab", "ab+", "R", "Rb+"};
    for (const std::string name : {"../x", "a/../../x", "./a/../../x", "a/..//../x", "../y", "a/../../y",
                                   "../base/../x", "..", "a/.."})
        for (const char *mode : modes)
            cases.push_back({name, mode});
    for (const char *mode : modes) {
        cases.push_back({outside_cut + "/tail", mode});
        cases.push_back({inside_cut.substr(base.size() + 1) + "/tail", mode});
        cases.push_back({base + "/" + inside_cut.substr(base.size() + 1) + "//tail", mode});
        if (mode[0] != 'r' || std::strchr(mode, '+') != nullptr)
            cases.push_back({other / "control", mode}); // outside: only reading may open it
    }
    std::string bytes = write([&](archive *a) {
        for (const auto &[name, mode] : cases)
            for (int32_t kind = 1; kind <= 3; kind++)
                savedFile(a, name, mode, kind);
        savedFile(a, other / "control", "rb", 1);
    });

    Watcher watcher;
    for (const std::string &path : {root / "x", root.path(), outside_cut, inside_cut, other / "control"})
        watcher.watch(path);
    Reader r(bytes);
    ASSERT_EQ(r.status, 0);
    for (const auto &[name, mode] : cases) {
        for (int32_t kind = 1; kind <= 3; kind++) {
            file_t *g = nullptr;
            EXPECT_EQ(unarchive_fp(r.a, &g, folder.dir), -1) << name.substr(0, 40) << " " << mode << " " << kind;
            EXPECT_EQ(g, nullptr);
            file_free(&g);
        }
    }
    EXPECT_EQ(watcher.events(), std::vector<std::string>{}) << "something outside was touched";
    file_t *control = nullptr;
    ASSERT_EQ(unarchive_fp(r.a, &control, folder.dir), 0);
    EXPECT_EQ(file_free(&control), 0);
    const std::vector<std::string> seen = watcher.events();
    EXPECT_TRUE(std::find(seen.begin(), seen.end(), other / "control" + ": " + std::to_string(IN_OPEN)) != seen.end())
        << "the watch did not see the control's open";

    EXPECT_EQ(readFile(root / "x"), "outside x");
    EXPECT_EQ(readFile(outside_cut), "outside victim");
    EXPECT_EQ(readFile(inside_cut), "inside victim");
    EXPECT_EQ(readFile(other / "control"), "control");
    EXPECT_FALSE(std::filesystem::exists(root / "y"));
    for (const char *text : {"unarchive_fp: refused name \"../x\"", "unarchive_fp: path of 4",
                             "outside " /* a write mode outside the base */})
        EXPECT_TRUE(logged(text)) << text;
}

// Fault guarded: a FIFO named by a saved scan held the open for ever; a device or a folder was opened like an
// engine file. Relative and absolute names, links, every kind and mode: refused at once (in a child process,
// which the faulty code leaves hanging).
TEST_F(ArchiveFp, FifosDevicesAndFoldersNamedByASavedScanAreRefusedWithoutWaiting)
{
    Folder folder(dir_ / "fbase");
    ASSERT_NE(folder.dir, nullptr);
    const std::string base = dir_ / "fbase", outside_fifo = dir_ / "outside.fifo", image = dir_ / "card.img";
    ASSERT_EQ(mkfifo((base + "/pipe").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(outside_fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(outside_fifo.c_str(), (base + "/link").c_str()), 0);
    std::filesystem::create_directory(base + "/sub");
    zvtest::writeFile(image, std::string(1 << 20, 'c'));
    zvtest::LoopDevice loop(image);

    std::vector<std::tuple<std::string, std::string, int32_t>> cases;
    for (const std::string &name : {std::string("pipe"), base + "/pipe", std::string("link"), outside_fifo,
                                   std::string("sub"), std::string("/dev/null"), loop.path()})
        for (const char *mode : {"rb", "r+b", "Wb", "ab", "R"})
            for (int32_t kind = 1; kind <= 4; kind++)
                if (kind != 4 || (mode[0] == 'r' && std::strchr(mode, '+') == nullptr))
                    cases.emplace_back(name, mode, kind);
    const std::string bytes = write([&](archive *a) {
        for (const auto &[name, mode, kind] : cases)
            savedFile(a, name, mode, kind);
    });
    const zvtest::ChildOutcome outcome = zvtest::runInChild([&](const zvtest::ChildNotes &note) {
        Reader r(bytes);
        int failures = r.status != 0;
        for (const auto &[name, mode, kind] : cases) {
            const std::string what = name + " " + mode + " kind " + std::to_string(kind);
            note("reopening " + what);
            file_t *g = nullptr;
            if (unarchive_fp(r.a, &g, folder.dir) != -1 || g != nullptr)
                note("NOT REFUSED: " + what), ++failures;
            file_free(&g);
        }
        return failures;
    });
    EXPECT_TRUE(outcome.finished) << "hung; steps:\n" << outcome.notes;
    EXPECT_EQ(outcome.status, 0) << outcome.notes;
    EXPECT_TRUE(logged("file_open: refused " + base + "/pipe: a FIFO"));
    EXPECT_TRUE(logged("file_open: refused " + loop.path() + ": a block device (a regular file is required)"));
}

// A saved file inside the base reopens in place, never truncated. Refused: a saved gzip writer (fault: it was
// reopened over its data, which became zeros), write modes outside the base, an unknown mode.
TEST_F(ArchiveFp, SavedFilesReopenOnlyInsideTheBase)
{
    zvtest::TempDir other;
    zvtest::writeFile(other / "x", "outside");
    Folder folder(dir_ / "base");
    ASSERT_NE(folder.dir, nullptr);
    const std::string spans = dir_ / "base/spans", names = dir_ / "base/names.gz";
    file_t *f = file_open(spans.c_str(), "wb", 2), *gz = file_open(names.c_str(), "wb", 4);
    ASSERT_TRUE(f && gz);
    ASSERT_EQ(file_write_full(f, "hello", 5), 0);
    ASSERT_EQ(file_write_full(gz, "hello", 5), 0);
    ASSERT_EQ(file_seek(f, 3), 0);
    const struct { std::string name, mode; int status; } cases[] = {
        {other / "x", "wb", -1}, {other / "x", "r+b", -1}, {other / "x", "a", -1},
        {other / "x", "rb", 0}, // reading outside is allowed
        {"sub", "x", -1} /* unknown mode */,
    };
    std::string bytes = write([&](archive *a) {
        EXPECT_EQ(archive_fp(a, f, folder.dir), 0);
        EXPECT_EQ(archive_fp(a, nullptr, folder.dir), 0);
        EXPECT_EQ(archive_fp(a, gz, folder.dir), 0);
        for (const auto &c : cases)
            savedFile(a, c.name, c.mode, 2);
    });
    ASSERT_EQ(file_free(&f), 0);
    ASSERT_EQ(file_free(&gz), 0);
    EXPECT_NE(bytes.find(std::string("\0spans\0", 7)), std::string::npos); // stored relative
    const std::string saved = readFile(names);

    Reader r(bytes);
    file_t *g = nullptr;
    ASSERT_EQ(unarchive_fp(r.a, &g, folder.dir), 0);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(file_tell(g), 3);
    EXPECT_STREQ(g->mode_given, "Wb");
    EXPECT_EQ(file_free(&g), 0);
    EXPECT_EQ(readFile(spans), "hello");
    EXPECT_EQ(unarchive_fp(r.a, &g, folder.dir), 0); // the second was saved without a file
    EXPECT_EQ(g, nullptr);
    EXPECT_EQ(unarchive_fp(r.a, &g, folder.dir), -1);
    EXPECT_EQ(g, nullptr);
    EXPECT_EQ(readFile(names), saved);
    for (const auto &c : cases) {
        EXPECT_EQ(unarchive_fp(r.a, &g, folder.dir), c.status) << c.name << " " << c.mode;
        EXPECT_EQ(g != nullptr, c.status == 0);
        file_free(&g);
    }
    EXPECT_EQ(readFile(other / "x"), "outside");
    EXPECT_TRUE(logged("unarchive_fp: refused"));
}

// Fault guarded: a short write (full disk) was only logged, so a truncated archive passed as saved.
TEST_F(ArchiveTest, AFullDiskIsReportedByFree)
{
    zvtest::FullDisk full;
    struct stat st{};
    archive *a = archive_new((full / "small.arc").c_str(), ARCHIVE_WRITE, 0); // small items fail at close
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(archive_long(a, "x", 1), 0);
    EXPECT_EQ(archive_bytes(a, "huge", &st, ARCHIVE_MAX_LENGTH + 1), -16); // refused, nothing written
    EXPECT_EQ(archive_finish(a), -3);
    EXPECT_EQ(archive_free(&a), -3);

    a = archive_new((full / "big.arc").c_str(), ARCHIVE_WRITE, 0); // a large item fails at once; the error sticks
    ASSERT_NE(a, nullptr);
    std::vector<uint8_t> big(1 << 20);
    EXPECT_EQ(archive_bytes(a, "big", big.data(), (uint32_t)big.size()), -3);
    EXPECT_EQ(archive_long(a, "x", 1), -3);
    // The free tells the first short write's error, whatever ran since.
    ASSERT_EQ(archive_add_free_callback(a, [](archive *, void *) { errno = 0; }, nullptr), 0);
    errno = 0;
    EXPECT_EQ(archive_free(&a), -3);
    EXPECT_EQ(errno, ENOSPC);
}

// The writer over a descriptor it is handed (a temporary made exclusively)
// writes the same bytes as the writer by name, owns the descriptor (closed
// by the free, and by a refused start), reports a full disk at the free
// and never opens the name it is given.
TEST_F(ArchiveTest, WriterOverAGivenDescriptor)
{
    const auto fill = [](archive *a) {
        block(a, "scx", "compat_version", 4);
        EXPECT_EQ(archive_string(a, "name", "card.img"), 0);
    };
    const std::string by_name = write(fill);
    const std::string path = dir_ / "context", named = dir_ / "context.tmp";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    archive *a = archive_new_fd(named.c_str(), fd, 0);
    ASSERT_NE(a, nullptr);
    fill(a);
    EXPECT_EQ(archive_free(&a), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor is closed";
    EXPECT_TRUE(readFile(path) == by_name);
    EXPECT_FALSE(std::filesystem::exists(named)) << "the name is not opened";

    const int refused = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(refused, 0);
    EXPECT_EQ(archive_new_fd(path.c_str(), refused, 256), nullptr);
    EXPECT_EQ(fcntl(refused, F_GETFD), -1) << "a refused descriptor is closed";
    EXPECT_EQ(archive_new_fd(path.c_str(), -1, 0), nullptr);
    EXPECT_TRUE(readFile(path) == by_name);

    zvtest::FullDisk full;
    const int small = open((full / "small.arc").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(small, 0);
    a = archive_new_fd((full / "small.arc").c_str(), small, 0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(archive_long(a, "x", 1), 0);
    EXPECT_EQ(archive_free(&a), -3);
}

// The seeds in fuzz/corpus/archive are made by this writer, and cut; ZV_WRITE_ARCHIVE_SEEDS=1 writes them anew.
TEST_F(ArchiveTest, FuzzCorpusIsWhatTheWriterMakes)
{
    const std::string flat =
        write([](archive *a) { archive_long(a, "compat_version", 1), archive_string(a, "name", "x"); });
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
        {"flat", flat}, {"nested", nested}, {"cut-in-trailer", nested.substr(0, nested.size() - 10)},
        {"cut-in-table", nested.substr(0, nested.size() - 24 - 20)}, {"cut-in-item", nested.substr(0, 30)}};
    const std::filesystem::path folder = std::filesystem::path(ZV_SOURCE_DIR) / "fuzz/corpus/archive";
    for (const auto &[name, bytes] : seeds) {
        if (std::getenv("ZV_WRITE_ARCHIVE_SEEDS"))
            zvtest::writeFile(folder / name, bytes);
        EXPECT_EQ(readFile(folder / name), bytes) << name;
    }
}

} // namespace
