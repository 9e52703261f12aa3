// The file-system layer: folders, opening, positioned I/O, attributes, user folders, errors.
#include "foundation/fileops.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/sysutil.h"
#include "support/hang_guard.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using zorvant::u8string;
using zvtest::TempDir;
using zvtest::writeFile;

static bool isCloseOnExec(int fd) { return fcntl(fd, F_GETFD) == FD_CLOEXEC; }

// The call returns -1 with errno set to err.
#define EXPECT_FAILS_WITH(call, err) \
    do { errno = 0; EXPECT_EQ((call), -1) << #call; EXPECT_EQ(errno, (err)) << #call; } while (0)

// Only the missing levels are made; fault guarded: a relative first component was skipped as if it were a
// root. A file in the way gives ENOTDIR (it gave EACCES: "Permission denied" for a file given as a folder), an
// over-long component ENAMETOOLONG (not a crash).
TEST(FileOpsDirectories, MakeDirectoriesCreatesWhatIsMissing)
{
    TempDir tmp;
    ASSERT_EQ(ZV::mkdir(tmp / "a"), 0);
    writeFile(tmp / "a/keep", "x");
    ASSERT_EQ(ZV::makeDirectories(tmp / "a/b/c"), 0);
    bool isDirectory = false;
    EXPECT_TRUE(ZV::fileExists(tmp / "a/b/c", &isDirectory) && isDirectory);
    EXPECT_TRUE(ZV::fileExists(tmp / "a/keep"));
    EXPECT_EQ(ZV::makeDirectories(tmp / "a/b/c"), 0); // all present: success
    const fs::path cwd = fs::current_path();
    fs::current_path(tmp.path());
    EXPECT_EQ(ZV::makeDirectories(u8string("rel/x")), 0);
    fs::current_path(cwd);
    EXPECT_TRUE(fs::is_directory(tmp / "rel/x"));

    EXPECT_FAILS_WITH(ZV::makeDirectories(tmp / "a/keep/b/c"), ENOTDIR);
    EXPECT_FAILS_WITH(ZV::makeDirectories(tmp / "a/keep"), ENOTDIR);
    EXPECT_FAILS_WITH(ZV::makeDirectories(tmp / (std::string(256, 'n') + "/x")), ENAMETOOLONG);
    EXPECT_FAILS_WITH(ZV::open(tmp / std::string(256, 'n'), O_RDWR | O_CREAT), ENAMETOOLONG);
    EXPECT_FAILS_WITH(ZV::makeDirectories(u8string("")), EINVAL);
}

// Fault guarded: EEXIST from a level another thread just made was taken as failure.
TEST(FileOpsThreads, MakeDirectoriesRacingOnOnePath)
{
    TempDir tmp;
    for (int round = 0; round < 20; ++round) {
        const std::string deep = tmp / ("r" + std::to_string(round) + "/s/t/u/v/w");
        std::atomic<bool> go{false};
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&] {
                while (!go.load())
                    std::this_thread::yield();
                failures += ZV::makeDirectories(deep) != 0;
            });
        go = true;
        for (auto &t : threads)
            t.join();
        ASSERT_EQ(failures.load(), 0) << "round " << round;
        EXPECT_TRUE(fs::is_directory(deep));
    }
}

// Every descriptor and stream is close-on-exec; new files and folders follow the umask, not the caller's
// bits; mode "r" reads every byte back unchanged and does not allow writing.
TEST(FileOpsOpen, CloseOnExecUmaskAndModes)
{
    TempDir tmp;
    const mode_t oldMask = umask(022);
    const int fd = ZV::open(tmp / "f", O_RDWR | O_CREAT, 0600);
    const int made = ZV::mkdir(tmp / "d", 0700);
    umask(oldMask);
    ASSERT_EQ(made, 0);
    for (int d : {fd, utf8_open((tmp / "f").c_str(), O_RDONLY, 0)}) {
        ASSERT_GE(d, 0);
        EXPECT_TRUE(isCloseOnExec(d));
        close(d);
    }
    EXPECT_EQ(int(fs::status(tmp / "f").permissions()), 0644);
    EXPECT_EQ(int(fs::status(tmp / "d").permissions()), 0755);

    for (const char *mode : {"w+", "a", "r+b", "rb", "r"}) {
        ZV::ScopedFile f(tmp / "f", mode);
        ASSERT_TRUE(f) << mode;
        EXPECT_TRUE(isCloseOnExec(fileno(f.file))) << mode;
    }
    const std::string bytes("a\r\nb\x1a\0c\n", 8);
    writeFile(tmp / "f", bytes);
    ZV::ScopedFile f(tmp / "f", "r");
    ASSERT_TRUE(f);
    char got[16];
    EXPECT_EQ(std::string(got, std::fread(got, 1, sizeof got, f.file)), bytes);
    EXPECT_EQ(std::fputc('x', f.file), EOF);
}

// Errors come back through errno and the error out-pointer; bad paths never reach the system. Faults
// guarded: a NUL inside a path acted on the text before it; a decomposed name ("e" + COMBINING ACUTE) was
// normalised, so its file (U+00E9 names another file on Linux) could not be opened.
TEST(FileOpsOpen, FailuresAndExactBytes)
{
    TempDir tmp;
    const struct { const char *name, *mode; int err; } fopens[] = {
        {"missing", "r", ENOENT}, {"x", "q", EINVAL}, {"x", nullptr, EINVAL}, // a mode must begin with r, w or a
    };
    for (const auto &f : fopens) {
        std::shared_ptr<ZV::Error> error;
        errno = 0;
        EXPECT_EQ(ZV::fopen(tmp / f.name, f.mode, &error), nullptr) << f.name;
        EXPECT_EQ(errno, f.err) << f.name;
        ASSERT_TRUE(error) << f.name;
        EXPECT_EQ(error->domain() + " " + std::to_string(error->code()), "ZV::SYSTEM " + std::to_string(f.err));
    }
    EXPECT_FAILS_WITH(utf8_open(nullptr, O_RDONLY, 0), EINVAL);
    EXPECT_FAILS_WITH(utf8_open("\xff\xfe", O_RDONLY, 0), EINVAL);
    writeFile(tmp / "a", "x");
    EXPECT_FAILS_WITH(ZV::unlink(u8string(tmp.path() + std::string("/a\0b", 4))), EINVAL);
    EXPECT_TRUE(ZV::fileExists(tmp / "a"));

    const std::string decomposed = tmp / "cafe\xCC\x81.jpg";
    writeFile(decomposed, "x");
    struct stat st;
    EXPECT_EQ(utf8_stat(decomposed.c_str(), &st), 0);
    EXPECT_EQ(close(utf8_open(decomposed.c_str(), O_RDONLY, 0)), 0);
    EXPECT_EQ(utf8_unlink(decomposed.c_str()), 0);
}

// pread/pwrite leave the descriptor's offset alone; a failed write (/dev/full) reports ENOSPC.
TEST(FileOpsDescriptorIO, PositionedIOKeepsTheOffset)
{
    TempDir tmp;
    const int fd = ZV::open(tmp / "p", O_RDWR | O_CREAT);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write_eintr(fd, "0123456789", 10), 10);
    ASSERT_EQ(lseek(fd, 3, SEEK_SET), 3);
    char got[4] = {};
    const auto readAt = [&](int64_t at) { return pread_eintr(fd, got, 4, at) == 4 ? std::string(got, 4) : "<short>"; };
    EXPECT_EQ(readAt(6), "6789");
    EXPECT_EQ(pwrite_eintr(fd, "AB", 2, 0), 2);
    EXPECT_EQ(readAt(0), "AB23");
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3);
    EXPECT_FAILS_WITH(pread_eintr(fd, got, 4, -1), EINVAL);
    close(fd);

    const int full = ZV::open(u8string("/dev/full"), O_WRONLY);
    ASSERT_GE(full, 0) << "/dev/full is needed for this test";
    EXPECT_FAILS_WITH(write_eintr(full, "x", 1), ENOSPC);
    close(full);
}

// rename replaces the target; fileSize is 0 for a missing path or a folder, and a block device's size
// comes from the device (stat says 0); times round-trip.
TEST(FileOpsAttributes, RenameSizeAndTimes)
{
    TempDir tmp;
    writeFile(tmp / "old", "new bytes");
    writeFile(tmp / "target", "stale");
    ASSERT_EQ(ZV::rename(tmp / "old", tmp / "target"), 0);
    EXPECT_FALSE(ZV::fileExists(tmp / "old"));
    EXPECT_EQ(ZV::fileSize(tmp / "target"), 9u);
    EXPECT_EQ(ZV::fileSize(tmp / "missing"), 0u);
    EXPECT_EQ(ZV::fileSize(tmp.path()), 0u);
    writeFile(tmp / "disk.img", std::string(1 << 20, '\0'));
    zvtest::LoopDevice loop(tmp / "disk.img");
    EXPECT_EQ(ZV::fileSize(loop.path()), uint64_t(1) << 20);

    const time_t when = 1234567890;
    ASSERT_TRUE(ZV::setFileTimes(tmp / "target", when));
    struct stat info;
    ASSERT_EQ(ZV::stat(tmp / "target", &info), 0);
    EXPECT_EQ(info.st_mtime, when);
    EXPECT_EQ(info.st_atime, when);
    EXPECT_FALSE(ZV::setFileTimes(tmp / "missing", when));
    EXPECT_FALSE(ZV::setFileCreationTime(tmp / "target", when));
    EXPECT_EQ(errno, ENOTSUP);
}

// HOME unset falls back to the password entry; XDG variables count only when absolute.
// Fault guarded: fileSize stat'ed the name and then opened it as a disk, so a FIFO swapped in between held the
// open for ever. Another thread swaps a disk node (a loop device's) and a FIFO under one name while its size is
// asked again and again: each answer is the disk's size or 0, never a hang (the faulty code is killed in the
// child and the test fails).
TEST(FileOpsAttributes, SizeOfADiskSwappedForAFifoNeverWaits)
{
    TempDir tmp;
    writeFile(tmp / "card.img", std::string(1 << 20, 'c'));
    zvtest::LoopDevice loop(tmp / "card.img");
    struct stat device;
    ASSERT_EQ(stat(loop.path().c_str(), &device), 0);
    const std::string node = tmp / "disk", fifo = tmp / "fifo";
    ASSERT_EQ(mknod(node.c_str(), S_IFBLK | 0600, device.st_rdev), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(ZV::fileSize(u8string(node)), 1u << 20);
    const zvtest::ChildOutcome outcome = zvtest::runInChild([&](const zvtest::ChildNotes &note) {
        std::atomic<bool> done{false};
        std::thread swapper([&] {
            while (!done.load())
                renameat2(AT_FDCWD, node.c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE);
        });
        int disk = 0, other = 0;
        for (int i = 0; i < 20000; i++) {
            const uint64_t size = ZV::fileSize(u8string(node));
            size == 1u << 20 ? ++disk : size == 0 ? ++other : (note("size " + std::to_string(size)), 0);
        }
        done = true;
        swapper.join();
        note("disk " + std::to_string(disk) + ", other " + std::to_string(other));
        return disk + other == 20000 ? 0 : 1;
    });
    EXPECT_TRUE(outcome.finished) << "hung in the open of a FIFO";
    EXPECT_EQ(outcome.status, 0) << outcome.notes;
}

// The words for each kind of file that is not a regular one, as lstat gives
// it: the save's refusal of a target and the file opener's refusal of a
// descriptor both name the kind with them.
TEST(FileOpsAttributes, KindOfFileInWords)
{
    TempDir tmp;
    const std::string folder = tmp / "folder", link = tmp / "link", disk = tmp / "disk", fifo = tmp / "fifo",
                      socket = tmp / "socket";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(symlink(folder.c_str(), link.c_str()), 0);
    ASSERT_EQ(mknod(disk.c_str(), S_IFBLK | 0600, makedev(7, 0)), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mknod(socket.c_str(), S_IFSOCK | 0600, 0), 0);
    const std::pair<std::string, const char *> cases[] = {
        {folder, "a folder"}, {link, "a symbolic link"}, {disk, "a block device"},
        {"/dev/null", "a character device"}, {fifo, "a FIFO"}, {socket, "a socket"},
    };
    for (const auto &[path, words] : cases) {
        struct stat info;
        ASSERT_EQ(lstat(path.c_str(), &info), 0) << path;
        EXPECT_STREQ(file_kind_text(info.st_mode), words) << path;
    }
}

TEST(FileOpsUserFolders, HomeAndApplicationData)
{
    {
        zvtest::ScopedEnv home("HOME", nullptr);
        const struct passwd *entry = getpwuid(getuid());
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(ZV::homeDirectory().str(), entry->pw_dir);
    }
    zvtest::ScopedEnv home("HOME", "/home/tester");
    EXPECT_EQ(ZV::homeDirectory().str(), "/home/tester");
    for (const char *xdg : {static_cast<const char *>(nullptr), "relative/ignored"}) {
        zvtest::ScopedEnv config("XDG_CONFIG_HOME", xdg);
        EXPECT_EQ(ZV::applicationDataDirectory().str(), "/home/tester/.config") << (xdg ? xdg : "unset");
    }
    zvtest::ScopedEnv config("XDG_CONFIG_HOME", "/etc/xdg-test");
    EXPECT_EQ(ZV::applicationDataDirectory().str(), "/etc/xdg-test");
    zvtest::ScopedEnv cache("XDG_CACHE_HOME", nullptr);
    EXPECT_EQ(ZV::knownFolderPath(ZV::KnownFolder::Cache).str(), "/home/tester/.cache");
}

// systemError leaves errno alone; toUTF8 turns unpaired surrogates into U+FFFD and cuts trailing NULs.
TEST(FileOpsErrors, SystemErrorAndConversions)
{
    errno = EPIPE;
    const std::shared_ptr<ZV::Error> error = ZV::systemError(ENOENT);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(error->domain() + " " + std::to_string(error->code()), "ZV::SYSTEM " + std::to_string(ENOENT));
    EXPECT_EQ(error->description(), ZV::errorString(ENOENT));

    EXPECT_EQ(ZV::toUTF8(std::u16string(u"a\u00e9\U0001F600\0\0", 6)), "a\xc3\xa9\xf0\x9f\x98\x80");
    const char16_t lone[] = {u'x', 0xD800, u'y', 0xDC00, 0};
    EXPECT_EQ(ZV::toUTF8(lone), "x\xef\xbf\xbdy\xef\xbf\xbd");
    EXPECT_EQ(ZV::toUTF8(u"ab\0cd", -1), "ab");
    EXPECT_EQ(ZV::toUTF8(nullptr), "");
}
