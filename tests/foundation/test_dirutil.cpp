// Folder utilities on real folders, links, mounts and a loop device: deletion bound to the workspace, sizes, free names.
#include "foundation/dirutil.h"
#include "foundation/error_list.h"
#include "foundation/log.h"
#include "foundation/workdir.h"
#include "foundation/workspace.h"
#include "support/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using zvtest::readFile;
using zvtest::writeFile;

bool exists(const std::string &path) { return std::filesystem::exists(std::filesystem::symlink_status(path)); }

void makeDir(const std::string &path) { ASSERT_EQ(make_dir_path(path.c_str()), 0) << path; }

// The workspace "<tmp>/ZvTestWorkspace" as global root, a log, and a folder "outside" beside the workspace.
class DirFixture : public testing::Test {
protected:
    void SetUp() override
    {
        engine_set_workspace_name("ZvTest");
        ASSERT_EQ(dir_global_root(), nullptr) << "another test left a global root";
        root_ = dir_new(nullptr, ws_.c_str());
        ASSERT_NE(root_, nullptr);
        makeDir(outside_);
        writeFile(outside_ + "/keep", "precious");
        log_open(log_.c_str());
        clear_errors();
    }
    void TearDown() override
    {
        log_close();
        dir_free(&root_);
    }
    bool logged(const std::string &text) const { return readFile(log_).find(text) != std::string::npos; }
    size_t timesLogged(const std::string &text) const
    {
        const std::string log = readFile(log_);
        size_t times = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++times;
        return times;
    }

    zvtest::TempDir tmp_;
    std::string ws_ = tmp_ / "ZvTestWorkspace", outside_ = tmp_ / "outside", log_ = tmp_ / "log.txt";
    work_dir *root_ = nullptr;
};

using DirRemoveSafe = DirFixture;
using DirWalks = DirFixture;
using DirNames = DirFixture;
using DirCheckWork = DirFixture;
using DirSizes = DirFixture;

// Fault guarded: any path holding the workspace's name as a component (even climbing out with "..") was deleted.
TEST_F(DirRemoveSafe, RefusesPathsOutsideTheWorkspaceAndDeletesNothing)
{
    makeDir(ws_ + "/Scan.01/fs.1");
    writeFile(ws_ + "/Scan.01/fs.1/cat.db", "x");
    makeDir(outside_ + "/ZvTestWorkspace/x"); // the workspace's name in the wrong place
    makeDir(tmp_ / "ZvTestWorkspace2/x");     // a textual prefix only
    const std::string cases[] = {"", ws_, ws_ + "/Scan.01/..", ws_ + "/Scan.01/../../outside", ws_ + "/./Scan.01",
                                 outside_ + "/ZvTestWorkspace/x", tmp_ / "ZvTestWorkspace2/x",
                                 "ZvTestWorkspace/Scan.01", "/"};
    for (const std::string &path : cases) {
        EXPECT_EQ(remove_tree_safe(path.c_str()), DIRUTIL_BAD_PATH) << path;
        EXPECT_TRUE(logged("recursive delete: unsafe path \"" + path + "\"")) << path;
    }
    EXPECT_EQ(remove_tree_safe(nullptr), DIRUTIL_BAD_PATH);
    engine_set_workspace_name("Other"); // inside the root, but no component named like the workspace
    EXPECT_EQ(remove_tree_safe((ws_ + "/Scan.01").c_str()), DIRUTIL_BAD_PATH);
    engine_set_workspace_name("ZvTest");
    dir_free(&root_); // no global root: nothing is inside the workspace
    EXPECT_EQ(remove_tree_safe((ws_ + "/Scan.01").c_str()), DIRUTIL_BAD_PATH);
    for (const std::string &kept :
         {ws_ + "/Scan.01/fs.1/cat.db", outside_ + "/keep", outside_ + "/ZvTestWorkspace/x", tmp_ / "ZvTestWorkspace2/x"})
        EXPECT_TRUE(exists(kept)) << kept;
}

// Faults guarded: walks followed links (a link loop recursed until the stack overflowed; a link to a
// folder outside was emptied like a sub-folder, as the target or as a folder on the way to it).
TEST_F(DirWalks, SizesAndDeletionNeverFollowLinks)
{
    const std::string scan = ws_ + "/Scan.01";
    makeDir(scan + "/fs.1/b/c");
    writeFile(scan + "/spans", std::string(100, 'x'));
    writeFile(scan + "/fs.1/b/c/cat.db", std::string(23, 'y'));
    ASSERT_EQ(symlink("..", (scan + "/fs.1/b/c/up").c_str()), 0);
    ASSERT_EQ(symlink(scan.c_str(), (scan + "/fs.1/self").c_str()), 0);
    ASSERT_EQ(symlink("loop", (scan + "/loop").c_str()), 0);
    ASSERT_EQ(symlink(outside_.c_str(), (scan + "/fs.1/to_outside").c_str()), 0);
    ASSERT_EQ(symlink((outside_ + "/keep").c_str(), (scan + "/file_link").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent", (scan + "/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((scan + "/fifo").c_str(), 0600), 0);
    EXPECT_EQ(dir_tree_size(scan.c_str()), 123u);
    EXPECT_EQ(dir_tree_size((ws_ + "/missing").c_str()), 0u);
    EXPECT_EQ(dir_tree_size((scan + "/spans").c_str()), 0u); // not a folder
    EXPECT_EQ(remove_tree_safe((scan + "/").c_str()), 0);
    EXPECT_FALSE(exists(scan));
    EXPECT_TRUE(exists(ws_));

    makeDir(outside_ + "/victim");
    writeFile(outside_ + "/victim/data", "d");
    ASSERT_EQ(symlink(outside_.c_str(), (ws_ + "/Scan.02").c_str()), 0);
    EXPECT_EQ(remove_tree_safe((ws_ + "/Scan.02/victim").c_str()), -1);
    EXPECT_EQ(remove_tree_safe((ws_ + "/Scan.02").c_str()), -1);
    EXPECT_EQ(remove_tree((ws_ + "/Scan.02").c_str()), -1);
    EXPECT_EQ(remove_dir_contents((ws_ + "/Scan.02").c_str()), 0);
    EXPECT_TRUE(exists(outside_ + "/victim/data"));
    EXPECT_EQ(readFile(outside_ + "/keep"), "precious");
}

// Fault guarded: a deletion walked through mount points inside the tree and deleted the files of the
// mounted folder (a bind mount of a folder on the same file system has the same st_dev: only the mount
// tells it apart). Mount points are left in place and reported; everything else goes.
TEST_F(DirRemoveSafe, NeverCrossesIntoAnotherMount)
{
    const std::string scan = ws_ + "/Scan.01", shared = outside_ + "/shared";
    makeDir(scan + "/fs.1/tmp");
    makeDir(scan + "/mnt");
    makeDir(shared + "/sub");
    writeFile(scan + "/spans", "s");
    writeFile(scan + "/fs.1/cat.db", "c");
    writeFile(shared + "/photo.jpg", "photo");
    writeFile(shared + "/sub/deep", "deep");
    zvtest::Mount bound = zvtest::Mount::bind(shared, scan + "/mnt");
    zvtest::Mount tmpfs = zvtest::Mount::tmpfs(scan + "/fs.1/tmp", "size=64k");
    writeFile(scan + "/fs.1/tmp/other", "other file system");

    errno = 0;
    EXPECT_EQ(remove_tree_safe(scan.c_str()), -1);
    EXPECT_EQ(errno, EXDEV);
    const std::string mountLine = "remove_tree_safe: mount point \"" + scan + "/mnt\" not removed";
    EXPECT_EQ(timesLogged(mountLine), 1u) << readFile(log_); // once, though the folder took two passes
    EXPECT_EQ(timesLogged("remove_tree_safe: mount point \"" + scan + "/fs.1/tmp\" not removed"), 1u);
    EXPECT_EQ(readFile(shared + "/photo.jpg"), "photo");
    EXPECT_EQ(readFile(shared + "/sub/deep"), "deep");
    EXPECT_EQ(readFile(scan + "/fs.1/tmp/other"), "other file system");
    EXPECT_FALSE(exists(scan + "/spans")); // the rest of the tree is gone
    EXPECT_FALSE(exists(scan + "/fs.1/cat.db"));

    // The target, or a folder on the way to it, being a mount point: nothing is deleted.
    errno = 0;
    EXPECT_EQ(remove_tree_safe((scan + "/mnt").c_str()), -1);
    EXPECT_EQ(errno, EXDEV);
    EXPECT_EQ(remove_tree_safe((scan + "/mnt/sub").c_str()), -1);
    EXPECT_EQ(errno, EXDEV);
    EXPECT_EQ(timesLogged(mountLine), 3u);
    // The unchecked deletions keep to the top's mount as well.
    EXPECT_EQ(remove_tree((scan + "/fs.1").c_str()), -1);
    EXPECT_EQ(remove_dir_contents(scan.c_str()), -1);
    EXPECT_TRUE(logged("remove_dir_contents: mount point \"" + scan + "/mnt\" not removed"));
    EXPECT_EQ(readFile(shared + "/sub/deep"), "deep");
    EXPECT_EQ(readFile(scan + "/fs.1/tmp/other"), "other file system");

    tmpfs.unmount();
    bound.unmount();
    EXPECT_EQ(remove_tree_safe(scan.c_str()), 0);
    EXPECT_FALSE(exists(scan));
    EXPECT_EQ(readFile(shared + "/photo.jpg"), "photo");
    EXPECT_EQ(readFile(outside_ + "/keep"), "precious");
}

// A block device has st_size 0: its size must come from the device itself.
TEST_F(DirSizes, FilesLoopDeviceAndMissingPaths)
{
    const std::string image = tmp_ / "disk.img";
    writeFile(image, std::string(1 << 20, '\0'));
    EXPECT_EQ(utf8_file_size(image.c_str()), 1u << 20);
    zvtest::LoopDevice loop(image);
    EXPECT_EQ(utf8_file_size(loop.path().c_str()), 1u << 20);
    const int fd = open(loop.path().c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(fd_file_size(fd), 1u << 20);
    close(fd);

    EXPECT_EQ(utf8_file_size((ws_ + "/missing").c_str()), 0u);
    EXPECT_TRUE(logged("Can't get size for " + ws_ + "/missing"));
    EXPECT_EQ(fd_file_size(-1), 0u);
    EXPECT_TRUE(logged("Can't get size for fd -1"));
}

// Fault guarded: rename_aside reported success when no free name was left.
TEST_F(DirNames, UniquePathAndRenameAside)
{
    makeDir(ws_ + "/dir.v2");
    writeFile(ws_ + "/a.txt", "a");
    writeFile(ws_ + "/a-01.txt", "b");
    writeFile(ws_ + "/dir.v2/file", "c");
    writeFile(ws_ + "/.profile", "d");
    ASSERT_EQ(symlink("/nonexistent", (ws_ + "/dangling").c_str()), 0);
    const struct { std::string path; int result; std::string out; } cases[] = {
        {ws_ + "/missing.txt", 0, ws_ + "/missing.txt"}, {ws_ + "/a.txt", 1, ws_ + "/a-02.txt"},
        {ws_ + "/dir.v2/file", 1, ws_ + "/dir.v2/file-01"}, // the only dot is in a folder's name
        {ws_ + "/.profile", 1, ws_ + "/.profile-01"},       {ws_ + "/dangling", 1, ws_ + "/dangling-01"},
        {ws_ + "/a.txt/x", -1, ""}, // ENOTDIR is not "free"
    };
    for (const auto &c : cases) {
        char out[4096] = "garbage";
        EXPECT_EQ(unique_path(c.path.c_str(), out, sizeof out), c.result) << c.path;
        EXPECT_EQ(std::string(out), c.out) << c.path;
    }
    const std::string a = ws_ + "/a.txt", missing = ws_ + "/missing.txt";
    char small[300]; // a buffer without room for "-NN" fails rather than cutting the name
    EXPECT_EQ(unique_path(a.c_str(), small, a.size() + 3), -1);
    EXPECT_EQ(unique_path(missing.c_str(), small, missing.size()), -1);
    EXPECT_EQ(unique_path(a.c_str(), small, a.size() + 4), 1);
    EXPECT_EQ(rename_aside(missing.c_str()), 0);
    EXPECT_EQ(rename_aside(a.c_str()), 0);
    EXPECT_EQ(readFile(ws_ + "/a-02.txt"), "a");
    writeFile(a, "new");
    for (int n = 1; n <= 99; ++n)
        writeFile(ws_ + "/a-" + (n < 10 ? "0" : "") + std::to_string(n) + ".txt", "taken");
    EXPECT_EQ(rename_aside(a.c_str()), DIRUTIL_NO_FREE_NAME);
    EXPECT_EQ(readFile(a), "new");
    EXPECT_EQ(readFile(ws_ + "/a-02.txt"), "taken");
}

TEST_F(DirCheckWork, MakeDirResultsAndCheckSteps)
{
    writeFile(ws_ + "/file", "f");
    EXPECT_EQ(make_dir_path((ws_ + "/file/x").c_str()), DIRUTIL_CREATE_FAILED);
    EXPECT_EQ(make_dir_path((ws_ + "/bad\xff").c_str()), DIRUTIL_BAD_PATH);
    EXPECT_EQ(make_parent_path((ws_ + "/p/q/file.txt").c_str()), 0);
    EXPECT_TRUE(is_directory((ws_ + "/p/q").c_str()) && !exists(ws_ + "/p/q/file.txt"));

    const std::string fresh = ws_ + "/new/work"; // made with its parents; an old test file is removed
    EXPECT_EQ(check_work_dir(fresh.c_str()), 0);
    EXPECT_TRUE(is_directory(fresh.c_str()) && !exists(fresh + "/0"));
    writeFile(fresh + "/0", "old test file");
    EXPECT_EQ(check_work_dir(fresh.c_str()), 0);
    EXPECT_FALSE(exists(fresh + "/0"));
    EXPECT_EQ(error_list_str(), "[]");

    makeDir(ws_ + "/hasdir0/0");
    ASSERT_EQ(symlink((ws_ + "/nowhere").c_str(), (ws_ + "/dangling").c_str()), 0);
    const struct { std::string path, codes, line; } cases[] = {
        {ws_ + "/file", "[26]", ws_ + "/file already exists, but is not a directory."},
        {ws_ + "/file/sub", "[24]", "stat returns negative for \"" + ws_ + "/file/sub\": 20 (Not a directory)"},
        // 3: the file layer's record of its failed open. A dangling link: stat finds nothing, mkdir fails.
        {ws_ + "/hasdir0", "[3 27]", "Can't create files in " + ws_ + "/hasdir0: Is a directory"},
        {ws_ + "/dangling", "[25]", "Can't create directory " + ws_ + "/dangling: "},
    };
    for (const auto &c : cases) {
        clear_errors();
        EXPECT_EQ(check_work_dir(c.path.c_str()), DIRUTIL_CREATE_FAILED) << c.path;
        EXPECT_EQ(error_list_str(), c.codes) << c.path;
        EXPECT_TRUE(logged(c.line)) << c.line;
    }
}

TEST(WorkspaceName, SuffixKeptWithinTheLimit)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Zorvant", "ZorvantWorkspace"},
        {std::string(300, 'b'), std::string(191, 'b') + "Workspace"},
        {std::string(190, 'a') + "\xc3\xa9", std::string(190, 'a') + "Workspace"}, // never cut inside "é"
    };
    for (const auto &c : cases) {
        engine_set_workspace_name(c.first.c_str());
        EXPECT_EQ(std::string(engine_workspace_name()), c.second);
    }
    const char *kept = engine_workspace_name();
    engine_set_workspace_name(nullptr);
    EXPECT_STREQ(engine_workspace_name(), "Workspace");
    EXPECT_EQ(std::string(kept), cases[2].second); // an old name stays valid
}

TEST(WorkspaceNameThreads, ReadersSeeWholeNames)
{
    std::vector<std::thread> readers;
    std::atomic<int> bad{0};
    engine_set_workspace_name("A");
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&bad] {
            for (int i = 0; i < 20000; ++i) {
                const std::string name = engine_workspace_name();
                bad += name != "AWorkspace" && name != "BWorkspace";
            }
        });
    for (int i = 0; i < 500; ++i)
        engine_set_workspace_name(i % 2 ? "A" : "B");
    for (std::thread &reader : readers)
        reader.join();
    EXPECT_EQ(bad.load(), 0);
}

} // namespace
