// Replacing a file whole through a temporary file in its folder, on real
// folders: what takes the name, what a finish refuses to rename, what an
// abandon removes, and the fixed temporary name's leftovers.
#include "foundation/atomic_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "support/full_disk.h"
#include "support/test_support.h"

using zvtest::readFile;
using zvtest::writeFile;

namespace {

bool writeAll(const atomic_file &af, const std::string &bytes)
{
    return write(af.fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
}

// At the rename: what the file holds then, seen through the folder.
struct Seen {
    std::string at_rename;
};

void onRename(int stage, int dir_fd, const char *name, void *arg)
{
    if (stage != ATOMIC_FILE_RENAMED)
        return;
    const int fd = openat(dir_fd, name, O_RDONLY);
    char buffer[64] = {};
    if (fd >= 0 && read(fd, buffer, sizeof buffer - 1) >= 0)
        static_cast<Seen *>(arg)->at_rename = buffer;
    if (fd >= 0)
        close(fd);
}

// The new bytes take the name only at the finish (the test hook sees them
// there right after the rename); an abandoned write leaves the file and the
// folder as they were.
TEST(AtomicFile, FinishReplacesAndAbandonLeavesTheFileAsItWas)
{
    zvtest::TempDir dir;
    const std::string path = dir / "settings.ini";
    writeFile(path, "old");
    atomic_file af;
    ASSERT_EQ(atomic_file_create(&af, path.c_str(), "settings.ini.tmp-", ATOMIC_FILE_RANDOM, 0600), 0);
    EXPECT_EQ(af.temp_path.rfind(dir / "settings.ini.tmp-", 0), 0u) << af.temp_path;
    EXPECT_EQ(af.temp_name.size(), std::string("settings.ini.tmp-").size() + 12);
    ASSERT_TRUE(writeAll(af, "new"));
    EXPECT_EQ(readFile(path), "old");
    atomic_file_abandon(&af);
    EXPECT_EQ(af.fd, -1);
    EXPECT_EQ(zvtest::folderNames(dir.path()), std::set<std::string>{"settings.ini"});
    EXPECT_EQ(readFile(path), "old");

    Seen seen;
    atomic_file_set_test_hook(onRename, &seen);
    ASSERT_EQ(atomic_file_create(&af, path.c_str(), "settings.ini.tmp-", ATOMIC_FILE_RANDOM, 0600), 0);
    ASSERT_TRUE(writeAll(af, "new"));
    EXPECT_EQ(atomic_file_finish(&af), 0);
    atomic_file_set_test_hook(nullptr, nullptr);
    EXPECT_EQ(seen.at_rename, "new");
    EXPECT_EQ(readFile(path), "new");
    EXPECT_EQ(zvtest::folderNames(dir.path()), std::set<std::string>{"settings.ini"});
    atomic_file_abandon(&af); // a record that holds nothing
    EXPECT_EQ(readFile(path), "new");
}

// Another regular file renamed in under the temporary's name after it was
// made is not renamed over the file (EEXIST), nor removed; a name that is
// gone fails with ENOENT.
TEST(AtomicFile, FinishRenamesOnlyTheFileItWrote)
{
    zvtest::TempDir dir;
    const std::string path = dir / "cat.db";
    writeFile(path, "old");
    atomic_file af;
    ASSERT_EQ(atomic_file_create(&af, path.c_str(), "cat.db.tmp-", ATOMIC_FILE_RANDOM, 0644), 0);
    ASSERT_TRUE(writeAll(af, "new"));
    const std::string temp = af.temp_path;
    writeFile(dir / "other", "someone else's");
    ASSERT_EQ(rename((dir / "other").c_str(), temp.c_str()), 0);
    EXPECT_EQ(atomic_file_finish(&af), -1);
    EXPECT_EQ(af.error, EEXIST);
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(readFile(temp), "someone else's");
    unlink(temp.c_str());

    ASSERT_EQ(atomic_file_create(&af, path.c_str(), "cat.db.tmp-", ATOMIC_FILE_RANDOM, 0644), 0);
    ASSERT_EQ(unlink(af.temp_path.c_str()), 0);
    EXPECT_EQ(atomic_file_finish(&af), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(zvtest::folderNames(dir.path()), std::set<std::string>{"cat.db"});
}

// The fixed name: a regular file left there by a write cut short is
// replaced; a link there refuses the create and is left, its target too.
TEST(AtomicFile, FixedNameTakesTheLeftoverButNoLink)
{
    zvtest::TempDir dir, outside;
    const std::string path = dir / "db-cache", tmp = dir / "db-cache.tmp";
    writeFile(tmp, "leftover");
    atomic_file af;
    ASSERT_EQ(atomic_file_create(&af, path.c_str(), "db-cache.tmp", ATOMIC_FILE_FIXED, 0644), 0);
    EXPECT_EQ(af.temp_path, tmp);
    ASSERT_TRUE(writeAll(af, "cache"));
    ASSERT_EQ(atomic_file_finish(&af), 0);
    EXPECT_EQ(readFile(path), "cache");
    EXPECT_EQ(zvtest::folderNames(dir.path()), std::set<std::string>{"db-cache"});

    writeFile(outside / "victim", "precious");
    ASSERT_EQ(symlink((outside / "victim").c_str(), tmp.c_str()), 0);
    EXPECT_EQ(atomic_file_create(&af, path.c_str(), "db-cache.tmp", ATOMIC_FILE_FIXED, 0644), -1);
    EXPECT_EQ(af.error, EEXIST);
    EXPECT_EQ(af.fd, -1);
    struct stat st;
    EXPECT_TRUE(lstat(tmp.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_EQ(readFile(outside / "victim"), "precious");
    EXPECT_EQ(readFile(path), "cache");

    EXPECT_EQ(atomic_file_create(&af, (dir / "missing/x").c_str(), "x.tmp", ATOMIC_FILE_FIXED, 0644), -1);
    EXPECT_EQ(af.error, ENOENT);
}

// The writer takes every byte, however many writes that takes; a disk that
// takes no more fails it with ENOSPC recorded, and the abandon that follows
// leaves the folder as it was.
TEST(AtomicFile, WriteTakesEveryByteOrRecordsWhyNot)
{
    zvtest::TempDir dir;
    const std::string path = dir / "key";
    const std::string big(3 << 20, 'k');
    atomic_file af;
    ASSERT_EQ(atomic_file_create(&af, path.c_str(), "key.tmp", ATOMIC_FILE_FIXED, 0644), 0);
    EXPECT_EQ(atomic_file_write(&af, big.data(), big.size()), 0);
    EXPECT_EQ(atomic_file_write(&af, "", 0), 0);
    ASSERT_EQ(atomic_file_finish(&af), 0);
    EXPECT_TRUE(readFile(path) == big);
    EXPECT_EQ(atomic_file_write(&af, "x", 1), -1) << "a record that holds nothing";
    EXPECT_EQ(af.error, EBADF);

    zvtest::FullDisk full;
    const std::string small = full / "treeinfo";
    ASSERT_EQ(atomic_file_create(&af, small.c_str(), "treeinfo.tmp", ATOMIC_FILE_FIXED, 0644), 0);
    EXPECT_EQ(atomic_file_write(&af, big.data(), big.size()), -1);
    EXPECT_EQ(af.error, ENOSPC);
    EXPECT_EQ(errno, ENOSPC);
    atomic_file_abandon(&af);
    EXPECT_EQ(zvtest::folderNames(full.path()), std::set<std::string>{"filler"});
}

// Shuts the folder's ext4 file system down without flushing its journal:
// every fsync on it fails with EIO from then on.
void shutDownAtRename(int stage, int dir_fd, const char *, void *)
{
    const unsigned long kExt4Shutdown = _IOR('X', 125, uint32_t); // EXT4_IOC_SHUTDOWN
    uint32_t noLogFlush = 2;                                      // EXT4_GOING_FLAGS_NOLOGFLUSH
    if (stage == ATOMIC_FILE_RENAMED) {
        EXPECT_EQ(ioctl(dir_fd, kExt4Shutdown, &noLogFlush), 0) << strerror(errno);
    }
}

// Fault guarded: a failed fsync of the folder after the rename went
// unreported, so a save said it was done while a crash could still bring
// the earlier file back. The folder's ext4 file system is shut down right
// after the rename: the finish fails with EIO and tells that the file was
// replaced.
TEST(AtomicFile, FolderThatCannotBeSyncedFailsTheFinish)
{
    zvtest::requireTool("mkfs.ext4");
    zvtest::TempDir dir;
    const std::string image = dir / "ext4.img", point = dir / "mnt";
    zvtest::mustRun("truncate -s 16M '" + image + "' && mkfs.ext4 -q '" + image + "' && mkdir '" + point + "'");
    zvtest::LoopDevice loop(image);
    zvtest::Mount mount = zvtest::Mount::device(loop.path(), point, "ext4");
    const std::string path = point + "/settings.ini";
    writeFile(path, "old");
    atomic_file af;
    ASSERT_EQ(atomic_file_create(&af, path.c_str(), "settings.ini.tmp-", ATOMIC_FILE_RANDOM, 0600), 0);
    ASSERT_TRUE(writeAll(af, "new"));
    atomic_file_set_test_hook(shutDownAtRename, nullptr);
    EXPECT_EQ(atomic_file_finish(&af), -1);
    atomic_file_set_test_hook(nullptr, nullptr);
    EXPECT_EQ(af.error, EIO);
    EXPECT_TRUE(af.replaced);
    EXPECT_EQ(af.fd, -1);
}

} // namespace
