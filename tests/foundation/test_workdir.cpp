// Work-folder objects on real folders: refused names, the global root, unclipped paths, files and streams.
#include "foundation/byte_stream.h"
#include "foundation/dirutil.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/workdir.h"
#include "support/test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

using zvtest::readFile;
using zvtest::writeFile;

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

class WorkDirTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(dir_global_root(), nullptr) << "another test left a global root";
        root_ = dir_new(nullptr, ws_.c_str());
        ASSERT_NE(root_, nullptr);
        clear_errors();
    }
    void TearDown() override
    {
        log_close();
        dir_free(&root_);
    }

    zvtest::TempDir tmp_;
    std::string ws_ = tmp_ / "ws";
    work_dir *root_ = nullptr;
};

using WorkDirNew = WorkDirTest;
using WorkDirPaths = WorkDirTest;
using WorkDirFiles = WorkDirTest;

// Fault guarded: a folder that could not be made still gave a usable-looking object.
TEST_F(WorkDirNew, RefusedNamesRecord560)
{
    writeFile(tmp_ / "file", "a file where a folder must be");
    const std::string trailing = tmp_ / "w/", under_file = tmp_ / "file/sub";
    const std::pair<bool, const char *> cases[] = {
        {false, "work"}, {true, "/abs"}, {true, "../escape"}, {true, "a/./b"}, {true, "Scan.01/"},
        {false, trailing.c_str()}, {false, nullptr}, {true, ""}, {true, "bad\xff"},
        {false, under_file.c_str()}, // cannot be made: 560 + ENOTDIR * 1000 (a file is in the way)
    };
    for (const auto &c : cases) {
        clear_errors();
        const char *name = c.second ? c.second : "NULL";
        EXPECT_EQ(dir_new(c.first ? root_ : nullptr, c.second), nullptr) << name;
        EXPECT_EQ(error_list_str(), c.second == under_file.c_str() ? "[20560]" : "[560]") << name;
    }
    EXPECT_FALSE(exists(tmp_ / "escape"));
    EXPECT_FALSE(exists(tmp_ / "w"));
}

TEST_F(WorkDirNew, ChildrenGlobalRootAndSetPath)
{
    work_dir *scan = dir_new(root_, "Scan.01");
    ASSERT_NE(scan, nullptr);
    work_dir *fs = dir_new(scan, "FAT.1");
    ASSERT_NE(fs, nullptr);
    EXPECT_STREQ(dir_path(fs), (ws_ + "/Scan.01/FAT.1").c_str());
    EXPECT_TRUE(is_directory(dir_path(fs)));
    EXPECT_STREQ(dir_root_path(fs), ws_.c_str());
    dir_free(&fs);
    EXPECT_EQ(fs, nullptr);

    EXPECT_EQ(dir_set_path(scan, "/elsewhere"), -1); // only a top-level object, only to an absolute path
    EXPECT_EQ(dir_set_path(root_, "relative"), -1);
    EXPECT_EQ(dir_set_path(nullptr, "/x"), -1);
    EXPECT_EQ(error_list_str(), "[3*563]");
    const std::string moved = tmp_ / "moved";
    EXPECT_EQ(dir_set_path(root_, moved.c_str()), 0);
    EXPECT_STREQ(dir_root_path(scan), moved.c_str());
    EXPECT_FALSE(exists(moved)); // nothing is created
    dir_free(&scan);

    // A second top-level object does not take the root; freeing the first clears it instead of handing it on.
    work_dir *second = dir_new(nullptr, (tmp_ / "second").c_str());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(dir_global_root(), root_);
    dir_free(&root_);
    EXPECT_EQ(dir_global_root(), nullptr);
    dir_free(&second);
    EXPECT_TRUE(is_directory((ws_ + "/Scan.01/FAT.1").c_str())); // freeing leaves the disk alone
}

// Fault guarded: get_file_path clipped with only a log line, so callers used a cut path.
TEST_F(WorkDirPaths, FilePathsAreNeverClippedSilently)
{
    log_open((tmp_ / "log.txt").c_str());
    char buffer[10];
    const std::string full = ws_ + "/a-name-of-some-length";
    EXPECT_EQ(get_file_path(root_, "a-name-of-some-length", buffer, sizeof buffer), WORKDIR_CLIPPED);
    EXPECT_EQ(std::string(buffer), full.substr(0, 9));
    EXPECT_NE(readFile(tmp_ / "log.txt").find("get_file_path: clipping '" + full + "'"), std::string::npos);
    work_dir *accent = dir_new(root_, "\xc3\xa9t\xc3\xa9"); // a cut never splits the two bytes of "é"
    ASSERT_NE(accent, nullptr);
    char exact[400];
    ASSERT_EQ(get_file_path(accent, "f", exact, sizeof exact), 0);
    EXPECT_EQ(std::string(exact), ws_ + "/\xc3\xa9t\xc3\xa9/f");
    EXPECT_EQ(get_file_path(accent, "f", exact, ws_.size() + 3), WORKDIR_CLIPPED);
    EXPECT_EQ(std::string(exact), ws_ + "/");
    dir_free(&accent);
}

TEST_F(WorkDirFiles, NumberedFilesEmptyNamesAndStreams)
{
    file_t *f = dir_file_open_num(root_, 7, "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->kind, 2);
    EXPECT_EQ(file_write_full(f, "seven", 5), 0);
    EXPECT_EQ(file_free(&f), 0);
    EXPECT_EQ(dir_file_size(root_, "7"), 5u);
    EXPECT_EQ(dir_file_rename_num(root_, 7, "spans"), 0);
    EXPECT_EQ(dir_file_exists(root_, "7"), -1);
    EXPECT_EQ(readFile(ws_ + "/spans"), "seven");
    EXPECT_EQ(dir_file_unlink(root_, ""), -1); // an empty name would name the folder itself
    EXPECT_EQ(dir_file_rename(root_, "", "x"), -1);
    EXPECT_TRUE(exists(ws_ + "/spans"));
    writeFile(ws_ + "/3", "three");
    EXPECT_EQ(dir_file_unlink_num(root_, 3), 0);
    EXPECT_FALSE(exists(ws_ + "/3"));

    for (int mode : {0, 1, 3, 5}) // a missing file is not made by "rb" and "r+b"
        EXPECT_EQ(dir_open_stream(root_, "s", mode), nullptr) << mode;
    // "wb" creates, "ab" appends, "r+b" writes in place, "wb" truncates.
    const struct { int mode; std::string bytes, after; } steps[] = {
        {2, "abcd", "abcd"}, {4, "ef", "abcdef"}, {3, "X", "Xbcdef"}, {2, "g", "g"}};
    for (const auto &s : steps) {
        auto stream = dir_open_stream(root_, "s", s.mode);
        ASSERT_NE(stream, nullptr) << s.mode;
        EXPECT_EQ(stream->mode(), s.mode);
        const int n = static_cast<int>(s.bytes.size());
        EXPECT_EQ(stream->write(s.bytes.data(), n), n) << s.mode;
        EXPECT_TRUE(stream->_close());
        EXPECT_EQ(readFile(ws_ + "/s"), s.after) << s.mode;
    }
    auto reader = dir_open_stream(root_, "s", 1);
    ASSERT_NE(reader, nullptr);
    char byte = 0;
    EXPECT_EQ(reader->read(&byte, 1), 1);
    EXPECT_EQ(byte, 'g');
    EXPECT_EQ(reader->write("x", 1), -1); // "rb" does not write
}

// Fault guarded: the thorough scan's store files ("cbrspans", "gaps",
// "cbrnames", the sort's numbered runs) were opened by name with O_TRUNC,
// following links: a link planted in a scan's folder had its target cut.
// Opening for writing never goes through a link, never into a FIFO (nor
// waits for one), nor cuts a file that has another name; a regular file is
// cut ("wb") or written at its end ("ab").
TEST_F(WorkDirFiles, WritingOpensNeverGoThroughALink)
{
    const std::string victim = tmp_ / "victim.img";
    writeFile(victim, "the card's only copy");
    ASSERT_EQ(symlink(victim.c_str(), (ws_ + "/cbrspans").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), (ws_ + "/0").c_str()), 0);
    ASSERT_EQ(mkfifo((ws_ + "/gaps").c_str(), 0600), 0);
    ASSERT_EQ(link(victim.c_str(), (ws_ + "/cbrnames").c_str()), 0);
    const struct { const char *name, *mode; int error; } refused[] = {
        {"cbrspans", "wb", ELOOP}, {"cbrspans", "ab", ELOOP}, {"gaps", "wb", ENXIO},
        {"cbrnames", "wb", EMLINK}, {"cbrnames", "ab", EMLINK}};
    for (const auto &r : refused) {
        errno = 0;
        EXPECT_EQ(dir_file_create(root_, r.name, r.mode, 2), nullptr) << r.name << " " << r.mode;
        EXPECT_EQ(errno, r.error) << r.name << " " << r.mode;
    }
    EXPECT_EQ(dir_file_open_num(root_, 0, "wb"), nullptr);
    EXPECT_EQ(readFile(victim), "the card's only copy");
    struct stat st;
    EXPECT_TRUE(lstat((ws_ + "/0").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_EQ(dir_file_create(root_, "x", "r+b", 2), nullptr);
    EXPECT_EQ(dir_file_create(root_, "", "wb", 2), nullptr);

    writeFile(ws_ + "/spans1", "old spans");
    const struct { const char *mode, *bytes, *after; } steps[] = {
        {"wb", "new", "new"}, {"ab", "er", "newer"}, {"wb", "x", "x"}};
    for (const auto &step : steps) {
        file_t *f = dir_file_create(root_, "spans1", step.mode, 2);
        ASSERT_NE(f, nullptr) << step.mode;
        EXPECT_EQ(file_write_full(f, step.bytes, (int64_t)std::strlen(step.bytes)), 0);
        EXPECT_EQ(file_free(&f), 0);
        EXPECT_EQ(readFile(ws_ + "/spans1"), step.after) << step.mode;
    }
    file_t *fresh = dir_file_create(root_, "fresh", "ab", 2);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(file_free(&fresh), 0);
    EXPECT_EQ(readFile(ws_ + "/fresh"), "");
}

} // namespace
