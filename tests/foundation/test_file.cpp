// The file layer on real files; failures from a full file system and from a fault-injecting virtual-file type;
// FIFOs, devices and folders refused without waiting.
#include "foundation/file.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/error_list.h"
#include "foundation/log.h"
#include "support/full_disk.h"
#include "support/hang_guard.h"
#include "support/test_support.h"

using zvtest::readFile;
using zvtest::TempDir;
using zvtest::writeFile;

namespace {

struct FileFree {
    void operator()(file_t *f) const { file_free(&f); }
};
using FilePtr = std::unique_ptr<file_t, FileFree>; // tests free explicitly where the result matters

// A recognisable content: byte i is i * 7 + 3.
std::string pattern(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(i * 7 + 3);
    return s;
}

// Compares long byte strings, naming the first difference instead of printing both.
testing::AssertionResult sameBytes(const std::string &got, const std::string &want)
{
    const auto at = std::mismatch(got.begin(), got.begin() + std::min(got.size(), want.size()), want.begin()).first;
    return got == want ? testing::AssertionSuccess()
                       : testing::AssertionFailure() << "sizes " << got.size() << ", " << want.size() << "; differ at "
                                                     << (at - got.begin());
}

std::string readAll(file_t *f, int64_t count)
{
    std::string out(static_cast<size_t>(count), '\0');
    const int64_t got = file_read(f, out.data(), count);
    out.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return out;
}

// A virtual-file type filling only the positioned-transfer slots: the kind's own logic
// runs, and every descriptor transfer passes here, where it can fail, be cut short or be recorded.
struct Faults {
    bool failRead = false, failWrite = false;
    size_t maxWrite = SIZE_MAX; // bytes per pwrite call
    std::vector<std::pair<int64_t, size_t>> writes;
};

vf_ops faultyOps()
{
    vf_ops ops{};
    ops.pread = [](file_t *f, void *buffer, size_t count, int64_t offset) -> ssize_t {
        if (static_cast<Faults *>(f->vf->arg)->failRead)
            return errno = EIO, -1;
        return pread(f->fd, buffer, count, offset);
    };
    ops.pwrite = [](file_t *f, const void *buffer, size_t count, int64_t offset) -> ssize_t {
        auto *faults = static_cast<Faults *>(f->vf->arg);
        if (faults->failWrite)
            return errno = EIO, -1;
        const ssize_t wrote = pwrite(f->fd, buffer, std::min(count, faults->maxWrite), offset);
        if (wrote > 0)
            faults->writes.emplace_back(offset, static_cast<size_t>(wrote));
        return wrote;
    };
    return ops;
}

// Opens or throws (the test then fails with the message).
file_t *mustOpen(const std::string &path, const char *mode, int kind)
{
    if (file_t *f = file_open(path.c_str(), mode, kind))
        return f;
    throw std::runtime_error("cannot open " + path + " with " + mode);
}

// Writes pattern(2048) at path and opens it as kind 3 with 512-byte blocks through the faults.
file_t *openFaulty(const std::string &path, const char *mode, Faults &faults)
{
    static const vf_ops ops = faultyOps();
    writeFile(path, pattern(2048));
    if (file_t *f = file_open_ex(nullptr, path.c_str(), mode, 3, 512, &ops, &faults, -1))
        return f;
    throw std::runtime_error("cannot open " + path);
}

// The engine log in a temp folder for one test.
struct LogCapture {
    TempDir dir;
    LogCapture() { log_open((dir / "ScanEngineLog.txt").c_str()); }
    ~LogCapture() { log_close(); }
    bool has(const std::string &text) const
    {
        return readFile(dir / "ScanEngineLog.txt").find(text) != std::string::npos;
    }
};

} // namespace

// The mode table, including an unknown character and a missing mode (logged, binary only).
TEST(FileModeBits, TableOfModesAndUnknownCharacters)
{
    LogCapture log;
    const struct { const char *mode; int flags; } cases[] = {
        {"r", O_RDONLY}, {"rb", O_RDONLY}, {"R", O_RDONLY}, {"rb+", O_RDWR}, {"r+b", O_RDWR},
        {"w", O_WRONLY | O_CREAT | O_TRUNC}, {"w+b", O_RDWR | O_CREAT | O_TRUNC}, {"W", O_WRONLY}, {"Wb+", O_RDWR},
        {"a", O_WRONLY | O_CREAT | O_APPEND}, {"ab+", O_RDWR | O_CREAT | O_APPEND},
        {"rxb+", O_RDONLY}, // "+" only as second character or right after "b"
        {"x", 0}, {"", 0}, {nullptr, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mode_bits(c.mode), c.flags) << (c.mode ? c.mode : "NULL");
    EXPECT_TRUE(log.has("mode_bits: Unknown mode character"));
    EXPECT_TRUE(log.has("mode_bits: NULL mode given"));
}

// Refusals give NULL or codes, never crashes; "R" on a missing path creates an empty file opened read-only.
TEST(FileOpen, RefusalsAndCapitalR)
{
    TempDir tmp;
    const std::string missing = tmp / "missing";
    clear_errors();
    EXPECT_EQ(file_open(nullptr, "rb", 1), nullptr);
    for (auto [mode, kind] : {std::pair{"wb", 5}, {"rb", 1}, {"W", 3} /* never creates */, {"Z", 2}, {"w+b", 4}})
        EXPECT_EQ(file_open(missing.c_str(), mode, kind), nullptr) << mode << kind;
    EXPECT_EQ(file_open_ex(nullptr, missing.c_str(), "wb", 3, 1 << 30, nullptr, nullptr, -1), nullptr);
    EXPECT_EQ(error_list_str(), "[2*3]"); // the two opens of a missing file
    clear_errors();
    // A descriptor handed over is closed by a refusal before it is looked at.
    file_t *open = file_open(missing.c_str(), "R", 1);
    ASSERT_NE(open, nullptr);
    for (int kind : {0, 5}) {
        const int fd = ::open(missing.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(file_open_ex(nullptr, missing.c_str(), "rb", kind, 0, nullptr, nullptr, fd), nullptr);
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "kind " << kind << " kept descriptor " << fd;
        const int busy = ::open(missing.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(file_open_ex(open, missing.c_str(), "rb", 1, 0, nullptr, nullptr, busy), nullptr);
        EXPECT_EQ(fcntl(busy, F_GETFD), -1) << "an open object kept descriptor " << busy;
    }
    file_free(&open);
    clear_errors();

    char buffer[4];
    EXPECT_EQ(file_read(nullptr, buffer, 4), -1);
    EXPECT_EQ(file_write(nullptr, buffer, 4), -12);
    EXPECT_EQ(file_seek(nullptr, 0), -12);
    EXPECT_EQ(file_close(nullptr), -12);
    EXPECT_EQ(file_reopen(nullptr, nullptr, 1), -12);
    EXPECT_EQ(file_size(nullptr), -12);
    EXPECT_EQ(file_free(nullptr), 0);

    FilePtr closed(file_new(missing.c_str())); // a kind that needs a type, and no type
    closed->kind = 6;
    EXPECT_EQ(file_read(closed.get(), buffer, 4), -15);
    EXPECT_EQ(file_write(closed.get(), buffer, 4), -15);
    EXPECT_EQ(file_seek(closed.get(), -1), -12);
    EXPECT_EQ(file_size(closed.get()), 0);

    FilePtr f(mustOpen(tmp / "new", "R", 1));
    EXPECT_STREQ(f->mode, "r");
    EXPECT_EQ(file_read(f.get(), buffer, 1), 0);
    EXPECT_EQ(file_size(f.get()), 0);
    EXPECT_EQ(file_write(f.get(), "x", 1), -3);
}

// Five 8-byte writes make a 40-byte file and a new object reads them back in order; a read of 0 returns 0;
// file_size of an open file counts unflushed data (fault g).
TEST(FileTransfers, SequentialWritesAndReadsForEveryKind)
{
    TempDir tmp;
    const std::string data = pattern(40);
    for (int kind = 1; kind <= 4; ++kind) {
        SCOPED_TRACE(kind);
        const std::string path = tmp / ("k" + std::to_string(kind));
        file_t *w = mustOpen(path, "wb", kind);
        for (int i = 0; i < 5; ++i)
            ASSERT_EQ(file_write_full(w, data.data() + i * 8, 8), 0);
        EXPECT_EQ(file_tell(w), 40);
        EXPECT_EQ(kind == 4 ? 40 : file_size(w), 40); // gzip would give its compressed size
        ASSERT_EQ(file_free(&w), 0);
        EXPECT_EQ(kind == 4 ? data : readFile(path), data);

        FilePtr r(mustOpen(path, "rb", kind));
        char chunk[8];
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(file_read_full(r.get(), chunk, 8), 0);
            EXPECT_EQ(std::string(chunk, 8), data.substr(i * 8, 8));
        }
        EXPECT_EQ(file_read(r.get(), chunk, 0), 0);
        if (kind != 3) { // kind 3 pads its last block: see FileWindow
            EXPECT_TRUE(file_read_full(r.get(), chunk, 8) == -20 && r->short_read == 1);
        }
    }
}

// Kind 2 "w+b": reads straight after writes and the reverse; the stream keeps its 0x20000-byte buffer
// (glibc ignores the size given with a NULL buffer) and file_size counts it (fault g).
TEST(FileTransfers, StreamReadWriteAndBuffer)
{
    TempDir tmp;
    FilePtr f(mustOpen(tmp / "s", "w+b", 2));
    ASSERT_EQ(file_write(f.get(), "hello world", 11), 11);
    EXPECT_EQ(readAll(f.get(), 5), ""); // at the end
    ASSERT_EQ(file_seek(f.get(), 6), 0);
    EXPECT_EQ(readAll(f.get(), 5), "world");
    ASSERT_EQ(file_seek(f.get(), 0), 0);
    ASSERT_EQ(file_write(f.get(), "HELLO", 5), 5);
    EXPECT_EQ(readAll(f.get(), 5), " worl");
    ASSERT_EQ(file_write(f.get(), "D", 1), 1);
    EXPECT_EQ(file_close(f.get()), 0);
    EXPECT_EQ(readFile(tmp / "s"), "HELLO worlD");

    const std::string data = pattern(100000);
    FilePtr b(mustOpen(tmp / "b", "wb", 2));
    for (size_t at = 0; at < data.size(); at += 1000)
        ASSERT_EQ(file_write(b.get(), data.data() + at, 1000), 1000);
    EXPECT_EQ(readFile(tmp / "b").size(), 0u);
    EXPECT_EQ(file_size(b.get()), 100000);
    EXPECT_TRUE(sameBytes(readFile(tmp / "b"), data));
}

TEST(FileTransfers, GzipRoundTripSeekAndFailedSeek)
{
    TempDir tmp;
    const std::string path = tmp / "z.gz";
    const std::string data = pattern(300000);
    file_t *w = mustOpen(path, "wb", 4);
    ASSERT_EQ(file_write_full(w, data.data(), static_cast<int64_t>(data.size())), 0);
    EXPECT_EQ(file_seek(w, 10), -18); // backwards while writing
    EXPECT_EQ(file_tell(w), 300000);
    ASSERT_EQ(file_free(&w), 0);
    EXPECT_LT(readFile(path).size(), data.size()); // really compressed

    FilePtr r(mustOpen(path, "rb", 4));
    EXPECT_TRUE(sameBytes(readAll(r.get(), 400000), data));
    ASSERT_EQ(file_seek(r.get(), 123456), 0);
    EXPECT_EQ(readAll(r.get(), 10), data.substr(123456, 10));
    EXPECT_EQ(file_tell(r.get()), 123466);

    writeFile(tmp / "cut.gz", readFile(path).substr(0, 100)); // a cut stream: short read, no crash
    FilePtr cut(mustOpen(tmp / "cut.gz", "rb", 4));
    EXPECT_LT(readAll(cut.get(), 400000).size(), 400000u);
}

// Fault f: "a" appends once (no O_APPEND under positioned writes) and starts at the old size.
// Fault e: reopening with the stored "wb" mode never truncates.
TEST(FileReopenAndAppend, ExistingDataIsKept)
{
    TempDir tmp;
    for (int kind = 1; kind <= 3; ++kind) {
        SCOPED_TRACE(kind);
        const std::string path = tmp / ("a" + std::to_string(kind));
        writeFile(path, "abcdef");
        file_t *a = mustOpen(path, "ab", kind);
        EXPECT_EQ(file_tell(a), 6);
        ASSERT_EQ(file_write(a, "XYZ", 3), 3);
        ASSERT_EQ(file_free(&a), 0);
        EXPECT_EQ(readFile(path), "abcdefXYZ");

        FilePtr f(mustOpen(path, "wb", kind));
        ASSERT_EQ(file_write(f.get(), "written before", 14), 14);
        EXPECT_EQ(file_reopen(f.get(), nullptr, kind), -19); // still open
        ASSERT_EQ(file_close(f.get()), 0);
        ASSERT_EQ(file_reopen(f.get(), nullptr, kind), 0);
        ASSERT_EQ(file_close(f.get()), 0);
        EXPECT_EQ(readFile(path), "written before");
        ASSERT_EQ(file_reopen(f.get(), "rb", 1), 0); // with a mode the opener runs again
        EXPECT_EQ(readAll(f.get(), 100), "written before");
    }
}

// Fault c: 10 bytes at 1000 of a 2048-byte file read the block 512-1023 first (also on the write-only mode
// "W"), write back only that block and keep every other byte; a failing read of that block fails the write.
TEST(FileWindow, PartialBlockWriteReadsTheBlockFirst)
{
    TempDir tmp;
    for (auto [mode, failRead] : {std::pair{"r+b", false}, {"W", false}, {"r+b", true}}) {
        SCOPED_TRACE(std::string(mode) + (failRead ? ", failing read" : ""));
        const std::string path = tmp / (std::string("p") + mode + (failRead ? "f" : ""));
        Faults faults;
        faults.failRead = failRead;
        file_t *f = openFaulty(path, mode, faults);
        ASSERT_EQ(file_seek(f, 1000), 0);
        char buffer[16];
        if (failRead) {
            EXPECT_LT(file_write(f, "0123456789", 10), 0);
            EXPECT_EQ(file_tell(f), 1000);
            EXPECT_EQ(file_read(f, buffer, 16), -1);
            EXPECT_EQ(file_error(f), EIO);
            faults.failRead = false;
        } else {
            ASSERT_EQ(file_write(f, "0123456789", 10), 10);
        }
        ASSERT_EQ(file_free(&f), 0);
        const std::string want = failRead ? pattern(2048) : pattern(2048).replace(1000, 10, "0123456789");
        EXPECT_TRUE(sameBytes(readFile(path), want));
        EXPECT_EQ(faults.writes, (std::vector<std::pair<int64_t, size_t>>(!failRead, {512, 512})));
    }
}

// A 1000-byte file read with 512-byte blocks gives 1024 bytes, the last 24 zero, then 0;
// the padding is never written back. Small and window-sized writes give the same file.
TEST(FileWindow, LastBlockIsPaddedForReadsButNeverWritten)
{
    TempDir tmp;
    const std::string data = pattern(1000);
    writeFile(tmp / "f", data);
    FilePtr f(mustOpen(tmp / "f", "r+b", 3));
    EXPECT_TRUE(sameBytes(readAll(f.get(), 5000), data + std::string(24, '\0')));
    EXPECT_EQ(readAll(f.get(), 1), "");
    ASSERT_EQ(file_seek(f.get(), 0), 0);
    ASSERT_EQ(file_write(f.get(), "X", 1), 1);
    EXPECT_EQ(file_size(f.get()), 1000);

    const std::string big = pattern(300001);
    for (size_t step : {size_t{7}, big.size()}) { // through the window, and beside it
        SCOPED_TRACE(step);
        const std::string path = tmp / ("w" + std::to_string(step));
        file_t *w = mustOpen(path, "wb", 3);
        for (size_t at = 0; at < big.size(); at += step)
            ASSERT_EQ(file_write_full(w, big.data() + at, static_cast<int64_t>(std::min(step, big.size() - at))), 0);
        ASSERT_EQ(file_free(&w), 0);
        EXPECT_TRUE(sameBytes(readFile(path), big));
        FilePtr r(mustOpen(path, "rb", 3));
        EXPECT_TRUE(sameBytes(readAll(r.get(), 400000), big + std::string(512 - big.size() % 512, '\0')));
    }
}

// Faults b and d: a failing write-back keeps the window and its dirty data; once the fault is gone, and writes
// come back short (100 bytes a call), the data reaches the file.
TEST(FileWindow, FailedWriteBackKeepsDataDirtyUntilARetry)
{
    TempDir tmp;
    std::string expected = pattern(2048);
    Faults faults;
    file_clear_write_error();
    clear_errors();
    file_t *f = openFaulty(tmp / "f", "r+b", faults);
    ASSERT_EQ(file_seek(f, 1000), 0);
    ASSERT_EQ(file_write(f, "0123456789", 10), 10);
    faults.failWrite = true;
    ASSERT_EQ(file_seek(f, 1 << 20), 0); // moving the window needs a write-back
    EXPECT_EQ(file_write(f, "far", 3), -3);
    EXPECT_EQ(file_tell(f), 1 << 20);
    char buffer[4];
    EXPECT_EQ(file_read(f, buffer, 4), -3);
    EXPECT_EQ(file_size(f), -3);
    EXPECT_EQ(file_write_error_occurred(), 1);
    EXPECT_TRUE(f->dirty == 1 && f->window_start == 512);
    EXPECT_NE(error_list_str().find("534"), std::string::npos);
    EXPECT_TRUE(sameBytes(readFile(tmp / "f"), expected));

    faults.failWrite = false;
    faults.maxWrite = 100;
    EXPECT_EQ(file_write(f, "far", 3), 3);
    EXPECT_EQ(file_free(&f), 0);
    expected.replace(1000, 10, "0123456789");
    expected.resize(1 << 20, '\0');
    EXPECT_TRUE(sameBytes(readFile(tmp / "f"), expected + "far"));
    file_clear_write_error();
    clear_errors();
}

// Fault a: every kind reports lost data on a full file system, at the write (kind 1) or at the close that flushes
// the buffer (kinds 2, 3, 4), with the write-failed flag set; also a stream whose buffered bytes were lost in the
// flush a seek or a turn to reading made.
TEST(FileFullDevice, EveryKindReportsTheLostWrite)
{
    zvtest::FullDisk full;
    const std::string data = pattern(1000);
    for (int kind = 1; kind <= 4; ++kind) {
        SCOPED_TRACE(kind);
        file_clear_write_error();
        file_t *f = mustOpen(full / ("kind" + std::to_string(kind)), "wb", kind);
        EXPECT_EQ(file_write(f, data.data(), 1000), kind == 1 ? -3 : 1000);
        EXPECT_EQ(file_free(&f), kind == 1 ? 0 : -3);
        EXPECT_EQ(f, nullptr);
        EXPECT_EQ(file_write_error_occurred(), 1);
    }
    for (const char *mode : {"wb", "w+b"}) {
        SCOPED_TRACE(mode);
        file_clear_write_error();
        file_t *f = mustOpen(full / "stream", mode, 2);
        EXPECT_EQ(file_write(f, "lost", 4), 4); // still in the stream's buffer
        char byte;
        EXPECT_TRUE(mode[1] == '+' ? file_read(f, &byte, 1) < 0 : file_seek(f, 0) != 0); // the flush fails
        EXPECT_EQ(file_free(&f), -3);
        EXPECT_EQ(file_write_error_occurred(), 1);
    }
    file_clear_write_error();
    clear_errors();
}

// Fault guarded: a FIFO (also behind a link) blocked the open forever, and a character device, a socket or a
// folder was opened like a file. Every kind and mode refuses them at once, also when a FIFO took a closed
// file's name before it was reopened. Run in a child: on the faulty code it hangs and is killed.
TEST(FileSpecialFiles, FifosSocketsCharacterDevicesAndFoldersAreRefusedWithoutWaiting)
{
    TempDir tmp;
    LogCapture log;
    const std::string fifo = tmp / "fifo", link = tmp / "link", sock = tmp / "sock", swapped = tmp / "swapped";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, sock.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    writeFile(swapped, pattern(3000));

    const zvtest::ChildOutcome outcome = zvtest::runInChild([&](const zvtest::ChildNotes &note) {
        int failures = 0;
        for (const std::string &path : {fifo, link, sock, std::string("/dev/null"), tmp.path()}) {
            for (int kind = 1; kind <= 4; ++kind) {
                for (const char *mode : {"rb", "R", "r+b", "wb", "Wb", "ab", "ab+"}) {
                    const std::string what = path + " " + mode + " kind " + std::to_string(kind);
                    note("opening " + what);
                    errno = 0;
                    file_t *f = file_open(path.c_str(), mode, kind);
                    // ENXIO: the kernel's answer to a write-only open of a FIFO nobody reads.
                    const bool refused = f == nullptr && (errno == EINVAL || errno == EISDIR || errno == ENXIO);
                    if (!refused)
                        note("NOT REFUSED: " + what + " errno " + std::to_string(errno)), ++failures;
                    file_free(&f);
                }
            }
        }
        // A FIFO put in place of a closed file: reopening with the stored or a new mode refuses it.
        for (int kind = 1; kind <= 3; ++kind) {
            note("reopening kind " + std::to_string(kind));
            unlink(swapped.c_str());
            writeFile(swapped, pattern(3000));
            file_t *f = file_open(swapped.c_str(), "rb", kind);
            char buffer[100];
            if (f == nullptr || file_read(f, buffer, 100) != 100 || file_close(f) != 0)
                note("the regular file did not open"), ++failures;
            unlink(swapped.c_str());
            mkfifo(swapped.c_str(), 0600);
            if (f != nullptr && (file_reopen(f, nullptr, kind) != -1 || file_reopen(f, "rb", kind) != -1))
                note("REOPENED the FIFO, kind " + std::to_string(kind)), ++failures;
            file_free(&f);
        }
        return failures;
    });
    close(listener);
    const size_t tail = outcome.notes.size() > 400 ? outcome.notes.size() - 400 : 0;
    EXPECT_TRUE(outcome.finished) << "hung; last steps:\n" << outcome.notes.substr(tail);
    EXPECT_EQ(outcome.status, 0) << outcome.notes;
    // (A socket never opens: the kernel answers ENXIO.)
    for (const char *text : {"file_open: refused ", ": a FIFO", ": a character device", ": a folder"})
        EXPECT_TRUE(log.has(text)) << text;
    struct stat info;
    EXPECT_TRUE(stat(fifo.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)); // "R" made nothing in its place
}

// Fault guarded: a block device was opened for writing like any file. A card or disk opens for reading only,
// and not at all through file_open_regular (for names read from a saved scan).
TEST(FileSpecialFiles, BlockDevicesOpenForReadingOnly)
{
    TempDir tmp;
    LogCapture log;
    const std::string image = tmp / "card.img", bytes = pattern(1 << 20);
    writeFile(image, bytes);
    zvtest::LoopDevice loop(image);
    for (int kind = 1; kind <= 3; ++kind) {
        SCOPED_TRACE(kind);
        FilePtr f(file_open(loop.path().c_str(), "rb", kind));
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(file_size(f.get()), 1 << 20);
        ASSERT_EQ(file_seek(f.get(), 4096), 0);
        EXPECT_EQ(readAll(f.get(), 512), bytes.substr(4096, 512));
        for (const char *mode : {"r+b", "Wb", "ab", "wb"}) {
            errno = 0;
            EXPECT_EQ(file_open(loop.path().c_str(), mode, kind), nullptr) << mode;
            EXPECT_EQ(errno, EINVAL) << mode;
        }
        EXPECT_EQ(file_open_regular(loop.path().c_str(), "rb", kind), nullptr);
        FilePtr regular(file_open_regular(image.c_str(), "rb", kind));
        ASSERT_NE(regular, nullptr);
        EXPECT_EQ(readAll(regular.get(), 16), bytes.substr(0, 16));
    }
    EXPECT_TRUE(log.has("file_open: refused " + loop.path() + ": a block device (opened for writing)"));
    EXPECT_TRUE(log.has("file_open: refused " + loop.path() + ": a block device (a regular file is required)"));
    EXPECT_EQ(readFile(image), bytes);
}

// Fault guarded: a closed kind 3 file kept its 128 KiB window and a closed stream its 128 KiB buffer, so every
// closed file object of a many-partition card held them. Reopened, both work as before.
TEST(FileWindow, AClosedFileKeepsNoWindowOrStreamBuffer)
{
    TempDir tmp;
    const std::string path = tmp / "f", bytes = pattern(300000);
    writeFile(path, bytes);
    for (int kind : {2, 3}) {
        SCOPED_TRACE(kind);
        FilePtr f(mustOpen(path, "rb", kind));
        EXPECT_EQ(readAll(f.get(), 1000), bytes.substr(0, 1000));
        EXPECT_TRUE(f->window != nullptr || f->stream_buffer != nullptr);
        ASSERT_EQ(file_close(f.get()), 0);
        EXPECT_EQ(f->window, nullptr);
        EXPECT_EQ(f->stream_buffer, nullptr);
        char byte;
        EXPECT_LT(file_read(f.get(), &byte, 1), 0); // closed
        ASSERT_EQ(file_reopen(f.get(), nullptr, kind), 0);
        ASSERT_EQ(file_seek(f.get(), 200000), 0);
        EXPECT_EQ(readAll(f.get(), 1000), bytes.substr(200000, 1000));
        ASSERT_EQ(file_close(f.get()), 0);
        ASSERT_EQ(file_reopen(f.get(), "r+b", kind), 0);
        ASSERT_EQ(file_seek(f.get(), 10), 0);
        ASSERT_EQ(file_write(f.get(), "XY", 2), 2);
        ASSERT_EQ(file_close(f.get()), 0);
        EXPECT_EQ(readFile(path).substr(8, 6), bytes.substr(8, 2) + "XY" + bytes.substr(12, 2));
        writeFile(path, bytes);
    }
}

// A held free lock keeps the file open and allocated; only the owner's unlock frees it.
TEST(FileFreeLock, OnlyTheOwnerFrees)
{
    TempDir tmp;
    LogCapture log;
    int owner = 0, other = 0;
    file_t *f = mustOpen(tmp / "f", "wb", 1);
    ASSERT_EQ(file_free_lock(f, &owner), 0);
    EXPECT_EQ(file_free_lock(f, &other), -1);
    EXPECT_EQ(file_free(&f), -1);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(file_is_open(f));
    EXPECT_EQ(file_free_unlock(&f, &other), -1);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(file_free_unlock(&f, &owner), 0);
    EXPECT_EQ(f, nullptr);
    for (const char *text : {"can't free file", "file already free locked", "file bad free lock"})
        EXPECT_TRUE(log.has(text)) << text;
}

// A type's slots replace the kind (a file that exists only through its type); one type per file.
TEST(FileVirtualType, SlotsTakeOverAndOneTypePerFile)
{
    static vf_ops ops{}; // the registry keeps the table and argument for the process's life
    static std::string memory = "in memory";
    ops.read = [](file_t *f, void *buffer, int64_t count) -> int64_t {
        const auto *m = static_cast<std::string *>(f->vf->arg);
        const int64_t n = std::min<int64_t>(count, static_cast<int64_t>(m->size()) - f->pos);
        if (n <= 0)
            return 0;
        std::copy_n(m->data() + f->pos, n, static_cast<char *>(buffer));
        return f->pos += n, n;
    };
    ops.size = [](file_t *f) { return static_cast<int64_t>(static_cast<std::string *>(f->vf->arg)->size()); };
    ops.is_open = [](file_t *) { return 1; };
    const std::string name = "memory:" + std::to_string(getpid());
    ASSERT_NE(file_register_vf(name.c_str(), &ops, &memory), nullptr);

    FilePtr f(file_new(name.c_str()));
    f->kind = 6;
    EXPECT_EQ(file_set_vf(f.get(), "no such type"), -1);
    ASSERT_EQ(file_set_vf(f.get(), name.c_str()), 0);
    EXPECT_EQ(file_set_vf(f.get(), name.c_str()), 0);
    ASSERT_NE(file_register_vf("another", &ops, nullptr), nullptr);
    EXPECT_EQ(file_set_vf(f.get(), "another"), -1);
    EXPECT_TRUE(file_is_open(f.get()));
    EXPECT_EQ(file_size(f.get()), 9);
    EXPECT_EQ(readAll(f.get(), 100), "in memory");
    EXPECT_EQ(file_seek(f.get(), 3), -15); // no seek slot, kind 6
}

TEST(FileSlowRead, CallbackGetsNamePositionAndTime)
{
    TempDir tmp;
    const std::string path = tmp / "f";
    writeFile(path, pattern(100));
    std::vector<std::string> reports;
    file_set_slow_read_threshold(0); // every read counts
    file_set_slow_read_callback([&reports](const zorvant::u8string &name, int64_t position, int64_t ms) {
        reports.push_back(name.str() + " at " + std::to_string(position) + (ms >= 0 ? "" : " negative time"));
    });
    FilePtr f(mustOpen(path, "rb", 1));
    ASSERT_EQ(file_seek(f.get(), 5), 0);
    char buffer[10];
    EXPECT_EQ(file_read(f.get(), buffer, 10), 10);
    file_set_slow_read_callback(nullptr);
    EXPECT_EQ(file_read(f.get(), buffer, 10), 10); // no longer reported
    EXPECT_EQ(reports, std::vector<std::string>{path + " at 5"});
}

// Fault h: the registry and the write-failed flag are used from many threads at once.
TEST(FileThreads, RegistryAndWriteFailedFlag)
{
    zvtest::FullDisk disk;
    file_clear_write_error();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &disk] {
            static const vf_ops ops{};
            for (int i = 0; i < 50; ++i) {
                const std::string name = "thread-type-" + std::to_string(t) + "-" + std::to_string(i % 5);
                file_register_vf(name.c_str(), &ops, nullptr);
                file_t *f = file_new(name.c_str());
                EXPECT_EQ(file_set_vf(f, name.c_str()), 0);
                file_free(&f);
            }
            file_t *full = file_open((disk / ("t" + std::to_string(t))).c_str(), "wb", 1);
            EXPECT_EQ(full ? file_write(full, "x", 1) : 0, -3);
            file_free(&full);
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(file_write_error_occurred(), 1);
    file_clear_write_error();
    clear_errors();
}
