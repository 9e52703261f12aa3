#include "foundation/fileops.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/sysutil.h"

namespace fs = std::filesystem;
using zorvant::u8string;

namespace {

// A fresh folder under the system's temp folder, removed with its contents.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "zv-fileops-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() { fs::remove_all(path_); }
    u8string operator/(const std::string &name) const { return u8string(path_ + "/" + name); }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

void writeFile(const u8string &path, const std::string &bytes)
{
    std::ofstream(path.str(), std::ios::binary) << bytes;
}

bool isCloseOnExec(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

// Sets or unsets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name)
    {
        const char *old = std::getenv(name);
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }

private:
    const char *name_;
    bool had_;
    std::string old_;
};

} // namespace

TEST(FileOpsDirectories, MakeDirectoriesCreatesWhatIsMissing)
{
    TempDir tmp;
    ASSERT_EQ(ZV::mkdir(tmp / "a"), 0);
    writeFile(tmp / "a/keep", "x");
    ASSERT_EQ(ZV::makeDirectories(tmp / "a/b/c"), 0);
    bool isDirectory = false;
    EXPECT_TRUE(ZV::fileExists(tmp / "a/b/c", &isDirectory));
    EXPECT_TRUE(isDirectory);
    EXPECT_TRUE(ZV::fileExists(tmp / "a/keep")); // the existing level was left alone
    EXPECT_EQ(ZV::makeDirectories(tmp / "a/b/c"), 0); // all present: success

    // A relative path whose first component is missing.
    const fs::path cwd = fs::current_path();
    fs::current_path(tmp.path());
    const int rc = ZV::makeDirectories(u8string("rel/x"));
    fs::current_path(cwd);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(fs::is_directory(tmp.path() + "/rel/x"));
}

TEST(FileOpsDirectories, MakeDirectoriesReportsWhatStopsIt)
{
    TempDir tmp;
    writeFile(tmp / "file", "x");
    errno = 0;
    EXPECT_EQ(ZV::makeDirectories(tmp / "file/b/c"), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(ZV::makeDirectories(tmp / "file"), -1);
    EXPECT_EQ(errno, EACCES);

    EXPECT_EQ(ZV::makeDirectories(tmp / (std::string(256, 'n') + "/x")), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(ZV::open(tmp / std::string(256, 'n'), O_RDWR | O_CREAT), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);

    EXPECT_EQ(ZV::makeDirectories(u8string("")), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(FileOpsThreads, MakeDirectoriesRacingOnOnePath)
{
    // Every thread walks the same missing levels at once, so most mkdir
    // calls find the level just made by another thread.
    TempDir tmp;
    for (int round = 0; round < 20; ++round) {
        const u8string deep = tmp / ("r" + std::to_string(round) + "/s/t/u/v/w");
        std::atomic<bool> go{false};
        std::vector<int> results(8, -2);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < results.size(); ++i)
            threads.emplace_back([&, i] {
                while (!go.load())
                    std::this_thread::yield();
                results[i] = ZV::makeDirectories(deep);
            });
        go = true;
        for (auto &t : threads)
            t.join();
        for (int r : results)
            ASSERT_EQ(r, 0) << "round " << round;
        EXPECT_TRUE(fs::is_directory(deep.str()));
    }
}

TEST(FileOpsOpen, DescriptorsAndStreamsAreCloseOnExec)
{
    TempDir tmp;
    const int fd = ZV::open(tmp / "f", O_RDWR | O_CREAT);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(isCloseOnExec(fd));
    close(fd);
    for (const char *mode : {"r", "rb", "w+", "a", "r+b"}) {
        ZV::ScopedFile f(tmp / "f", mode);
        ASSERT_TRUE(f) << mode;
        EXPECT_TRUE(isCloseOnExec(fileno(f.file))) << mode;
    }
    const int cfd = utf8_open((tmp.path() + "/f").c_str(), O_RDONLY, 0);
    ASSERT_GE(cfd, 0);
    EXPECT_TRUE(isCloseOnExec(cfd));
    close(cfd);
}

TEST(FileOpsOpen, NewFilesAndFoldersFollowTheUmask)
{
    TempDir tmp;
    const mode_t oldMask = umask(022);
    const int fd = ZV::open(tmp / "f", O_WRONLY | O_CREAT, 0600); // the caller's bits are not used
    const int made = ZV::mkdir(tmp / "d", 0700);
    umask(oldMask);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(made, 0);
    struct stat info;
    ASSERT_EQ(ZV::stat(tmp / "f", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    ASSERT_EQ(ZV::stat(tmp / "d", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
}

TEST(FileOpsOpen, ReadModeIsBinaryAndReadOnly)
{
    TempDir tmp;
    const std::string bytes("a\r\nb\x1a\0c\n", 8);
    writeFile(tmp / "bin", bytes);
    ZV::ScopedFile f(tmp / "bin", "r");
    ASSERT_TRUE(f);
    char got[16];
    EXPECT_EQ(std::fread(got, 1, sizeof got, f.file), bytes.size());
    EXPECT_EQ(std::string(got, bytes.size()), bytes);
    EXPECT_EQ(std::fputc('x', f.file), EOF); // opened for reading only
}

TEST(FileOpsOpen, FailuresAreReported)
{
    TempDir tmp;
    std::shared_ptr<ZV::Error> error;
    errno = 0;
    EXPECT_EQ(ZV::fopen(tmp / "missing", "r", &error), nullptr);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "ZV::SYSTEM");
    EXPECT_EQ(error->code(), ENOENT);

    EXPECT_EQ(ZV::fopen(tmp / "x", "q", &error), nullptr); // a mode must begin with r, w or a
    EXPECT_EQ(error->code(), EINVAL);
    EXPECT_EQ(ZV::fopen(tmp / "x", nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);

    // Bad C-string paths never reach the system.
    EXPECT_EQ(utf8_open(nullptr, O_RDONLY, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(utf8_open("\xff\xfe", O_RDONLY, 0), -1);
    EXPECT_EQ(errno, EINVAL);

    // A NUL inside a path must not act on the text before it.
    writeFile(tmp / "a", "x");
    EXPECT_EQ(ZV::unlink(u8string(tmp.path() + std::string("/a\0b", 4))), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(ZV::fileExists(tmp / "a"));
}

TEST(FileOpsOpen, CorePathsNameFilesByTheirExactBytes)
{
    // "e" + COMBINING ACUTE: a decomposed name as other systems write it.
    // Normalising it to U+00E9 would name a different file on Linux.
    TempDir tmp;
    const std::string decomposed = tmp.path() + "/caf" + "e\xCC\x81" + ".jpg";
    std::ofstream(decomposed, std::ios::binary) << "x";
    struct stat st;
    EXPECT_EQ(utf8_stat(decomposed.c_str(), &st), 0);
    const int fd = utf8_open(decomposed.c_str(), O_RDONLY, 0);
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        close(fd);
    EXPECT_EQ(utf8_unlink(decomposed.c_str()), 0);
}

TEST(FileOpsDescriptorIO, PositionedIOKeepsTheOffset)
{
    TempDir tmp;
    const int fd = ZV::open(tmp / "p", O_RDWR | O_CREAT);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write_eintr(fd, "0123456789", 10), 10);
    ASSERT_EQ(lseek(fd, 3, SEEK_SET), 3);
    char got[4] = {};
    EXPECT_EQ(pread_eintr(fd, got, 4, 6), 4);
    EXPECT_EQ(std::string(got, 4), "6789");
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3);
    EXPECT_EQ(pwrite_eintr(fd, "AB", 2, 0), 2);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 3);
    EXPECT_EQ(pread_eintr(fd, got, 4, 0), 4);
    EXPECT_EQ(std::string(got, 4), "AB23");
    EXPECT_EQ(pread_eintr(fd, got, 4, -1), -1);
    EXPECT_EQ(errno, EINVAL);
    close(fd);

    const int full = ZV::open(u8string("/dev/full"), O_WRONLY);
    ASSERT_GE(full, 0) << "/dev/full is needed for this test";
    errno = 0;
    EXPECT_EQ(write_eintr(full, "x", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    close(full);
}

TEST(FileOpsAttributes, RenameSizeAndTimes)
{
    TempDir tmp;
    writeFile(tmp / "old", "new bytes");
    writeFile(tmp / "target", "stale");
    ASSERT_EQ(ZV::rename(tmp / "old", tmp / "target"), 0);
    EXPECT_FALSE(ZV::fileExists(tmp / "old"));
    EXPECT_EQ(ZV::fileSize(tmp / "target"), 9u);
    EXPECT_EQ(ZV::fileSize(tmp / "missing"), 0u);
    EXPECT_EQ(ZV::fileSize(u8string(tmp.path())), 0u); // a folder has no file size

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

TEST(FileOpsAttributes, BlockDeviceSizeComesFromTheDevice)
{
    // A 1 MiB file on a loop device; autoclear detaches the device when the
    // last descriptor closes, so nothing is left behind.
    TempDir tmp;
    const int backing = ZV::open(tmp / "disk.img", O_RDWR | O_CREAT);
    ASSERT_GE(backing, 0);
    ASSERT_EQ(ftruncate(backing, 1 << 20), 0);
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    ASSERT_GE(control, 0) << "loop devices are needed for this test: " << std::strerror(errno);
    int loop = -1;
    std::string device;
    for (int attempt = 0; attempt < 10 && loop < 0; ++attempt) { // another process may take the free one
        const int n = ioctl(control, LOOP_CTL_GET_FREE);
        ASSERT_GE(n, 0) << std::strerror(errno);
        device = "/dev/loop" + std::to_string(n);
        loop = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
        struct loop_config config;
        std::memset(&config, 0, sizeof config);
        config.fd = static_cast<uint32_t>(backing);
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR | LO_FLAGS_READ_ONLY;
        if (loop >= 0 && ioctl(loop, LOOP_CONFIGURE, &config) != 0) {
            close(loop);
            loop = -1;
        }
    }
    close(control);
    ASSERT_GE(loop, 0) << "could not attach a loop device";
    EXPECT_EQ(ZV::fileSize(u8string(device)), uint64_t(1) << 20);
    close(loop);
    close(backing);
}

TEST(FileOpsUserFolders, HomeAndApplicationData)
{
    {
        ScopedEnv home("HOME", nullptr);
        const struct passwd *entry = getpwuid(getuid());
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(ZV::homeDirectory().str(), entry->pw_dir);
    }
    ScopedEnv home("HOME", "/home/tester");
    EXPECT_EQ(ZV::homeDirectory().str(), "/home/tester");
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        EXPECT_EQ(ZV::applicationDataDirectory().str(), "/home/tester/.config");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative/ignored");
        EXPECT_EQ(ZV::applicationDataDirectory().str(), "/home/tester/.config");
    }
    ScopedEnv xdg("XDG_CONFIG_HOME", "/etc/xdg-test");
    EXPECT_EQ(ZV::applicationDataDirectory().str(), "/etc/xdg-test");
    ScopedEnv cache("XDG_CACHE_HOME", nullptr);
    EXPECT_EQ(ZV::knownFolderPath(ZV::KnownFolder::Cache).str(), "/home/tester/.cache");
}

TEST(FileOpsErrors, SystemErrorAndConversions)
{
    errno = EPIPE;
    const std::shared_ptr<ZV::Error> error = ZV::systemError(ENOENT);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(error->domain(), "ZV::SYSTEM");
    EXPECT_EQ(error->code(), ENOENT);
    EXPECT_EQ(error->description(), ZV::errorString(ENOENT));

    EXPECT_EQ(ZV::toUTF8(std::u16string(u"a\u00e9\U0001F600\0\0", 6)), "a\xc3\xa9\xf0\x9f\x98\x80");
    const char16_t lone[] = {u'x', 0xD800, u'y', 0xDC00, 0};
    EXPECT_EQ(ZV::toUTF8(lone), "x\xef\xbf\xbdy\xef\xbf\xbd"); // unpaired surrogates become U+FFFD
    EXPECT_EQ(ZV::toUTF8(u"ab\0cd", -1), "ab");
    EXPECT_EQ(ZV::toUTF8(nullptr), "");
}
