#include "foundation/paths.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using zorvant::u8string;
using Strings = std::vector<std::string>;

namespace {

constexpr int kPOSIX = ZV::kPathStylePOSIX;
constexpr int kWin = ZV::kPathStyleWindows;

// A fresh folder under the system's temp folder, removed with its contents.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "zv-paths-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Changes the current folder for one scope.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string &folder) : saved_(fs::current_path()) { fs::current_path(folder); }
    ~ScopedCwd() { fs::current_path(saved_); }

private:
    fs::path saved_;
};

std::string parent(std::string path, int style)
{
    ZV::removeLastPathComponent(path, style);
    return path;
}

std::string dirnameInPlace(std::string path)
{
    path_dirname(&path[0]);
    return path.c_str();
}

std::string dirnameCopy(const char *path)
{
    char out[64];
    return path_dirname_copy(path, out, sizeof out) == 0 ? out : "<error>";
}

} // namespace

TEST(PathStyleRules, RootsDrivesAndPrefixes)
{
    EXPECT_TRUE(ZV::isRootPath(std::string("C:\\"), kWin));
    EXPECT_TRUE(ZV::isRootPath(std::string("\\\\?\\C:\\"), kWin));
    for (const char *notRoot : {"C:", "\\\\?\\C:", "//", "C:\\a", "/"})
        EXPECT_FALSE(ZV::isRootPath(std::string(notRoot), kWin)) << notRoot;
    EXPECT_TRUE(ZV::isRootPath(std::string("/")));
    EXPECT_FALSE(ZV::isRootPath(std::string("//"), kPOSIX));
    EXPECT_EQ(ZV::pathPrefix(std::string("\\\\?\\C:\\x")), "\\\\?\\");
    EXPECT_EQ(ZV::pathPrefix(std::string("\\\\.\\PhysicalDrive1")), "\\\\.\\");
    EXPECT_EQ(ZV::pathPrefix(std::string("\\\\srv\\share")), "\\\\");
    EXPECT_EQ(ZV::pathPrefix(std::string("\\a")), "");
    EXPECT_TRUE(ZV::isLongPathDrive(std::string("\\\\?\\z:")));
    EXPECT_FALSE(ZV::hasDriveLetter(std::string("1:")));
    EXPECT_FALSE(ZV::hasDriveLetter(std::string("C"), 0));
    EXPECT_FALSE(ZV::hasDriveLetter(std::string("C:"), 5)); // past the end: no drive, no throw
    EXPECT_EQ(zorvant::path_separator(0), u8string("/"));
    EXPECT_EQ(zorvant::path_separator(kWin), u8string("\\"));
    EXPECT_THROW(ZV::pathComponents(std::string("a"), 3), std::invalid_argument);
}

TEST(PathStyleRules, PositionsCountCodePointsInU8string)
{
    const char *bytes = "日本C:\\";
    EXPECT_TRUE(ZV::hasDriveLetter(u8string(bytes), 2));
    EXPECT_TRUE(ZV::isDriveRoot(u8string(bytes), 2));
    EXPECT_FALSE(ZV::hasDriveLetter(std::string(bytes), 2)); // byte 2 is inside "日"
    EXPECT_TRUE(ZV::isDriveRoot(std::string(bytes), 6));
}

TEST(PathComponents, PosixAndWindowsTables)
{
    EXPECT_EQ(ZV::pathComponents(std::string("/a//b/"), kPOSIX), (Strings{"/", "a", "b"}));
    EXPECT_EQ(ZV::pathComponents(std::string("/")), (Strings{"/"}));
    EXPECT_EQ(ZV::pathComponents(std::string("")), Strings{});
    EXPECT_EQ(ZV::pathComponents(std::string("a\\b")), (Strings{"a\\b"})); // a backslash is a character in POSIX
    EXPECT_EQ(ZV::pathComponents(std::string("a/b"), kWin), (Strings{"a/b"}));
    EXPECT_EQ(ZV::pathComponents(std::string("C:\\a\\b"), kWin), (Strings{"C:\\", "a", "b"}));
    EXPECT_EQ(ZV::pathComponents(std::string("C:"), kWin), (Strings{"C:\\"}));
    EXPECT_EQ(ZV::pathComponents(std::string("\\\\server\\share\\x"), kWin), (Strings{"\\\\server", "share", "x"}));
    EXPECT_EQ(ZV::pathComponents(std::string("\\\\.\\PhysicalDrive1"), kWin), (Strings{"\\\\.\\PhysicalDrive1"}));
    EXPECT_EQ(ZV::pathComponents(std::string("\\\\?\\C:"), kWin), (Strings{"\\\\?\\C:\\"}));
    EXPECT_EQ(ZV::pathComponents(std::string("\\\\?\\C:\\a"), kWin), (Strings{"\\\\?\\C:\\", "a"}));
}

TEST(PathComponents, U8stringKeepsCodePoints)
{
    std::vector<u8string> parts = ZV::pathComponents(u8string("/photos/été/日本.jpg"));
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[2], u8string("été"));
    u8string last = ZV::lastPathComponent(u8string("/photos/été/日本.jpg"));
    EXPECT_EQ(last.length(), 6u);
    EXPECT_EQ(last.size(), 10u);
    u8string up("/photos/été/日本.jpg");
    ZV::removeLastPathComponent(up);
    EXPECT_EQ(up, u8string("/photos/été"));
    EXPECT_EQ(up.length(), 11u);
}

TEST(PathParent, PosixAndWindowsTables)
{
    EXPECT_EQ(parent("/a/", kPOSIX), "/");
    EXPECT_EQ(parent("/", kPOSIX), "/");
    EXPECT_EQ(parent("a", kPOSIX), "");
    EXPECT_EQ(parent("//", kPOSIX), "/");
    EXPECT_EQ(parent("/a/b/c", 0), "/a/b");
    EXPECT_EQ(parent("C:\\", kWin), "C:\\");
    EXPECT_EQ(parent("C:", kWin), "");
    EXPECT_EQ(parent("C:\\a", kWin), "C:\\");
    EXPECT_EQ(parent("\\\\?\\C:\\", kWin), "\\\\?\\C:\\");
    EXPECT_EQ(parent("\\\\?\\C:\\dir", kWin), "\\\\?\\C:\\");
    EXPECT_EQ(parent("\\a", kWin), "");
    EXPECT_EQ(parent("a\\b", kWin), "a");
    std::string original = "/x/y";
    EXPECT_EQ(ZV::parentPath(original), "/x");
    EXPECT_EQ(original, "/x/y");
}

TEST(PathJoin, AppendRuleAndRoundTrip)
{
    std::string p = "a";
    ZV::appendPathComponent(p, "");
    ZV::appendPathComponent(p, "b");
    ZV::appendPathComponent(p, "/c");
    EXPECT_EQ(p, "a/b/c");
    EXPECT_EQ(ZV::joinPath("", "x"), "x");
    EXPECT_EQ(ZV::joinPath("/", "x"), "/x");
    EXPECT_EQ(zorvant::path_join(u8string("dé"), u8string("日")), u8string("dé/日"));
    u8string w("C:");
    zorvant::path_append(w, u8string("x"), kWin);
    EXPECT_EQ(w, u8string("C:\\x"));
    for (const char *path : {"/a//b/", "/", "a/b", "//x///y//"}) {
        std::string collapsed = path;
        while (ZV::replaceAll(collapsed, "//", "/"))
            ;
        if (collapsed.size() > 1 && collapsed.back() == '/')
            collapsed.pop_back();
        EXPECT_EQ(ZV::joinPathComponents(ZV::pathComponents(std::string(path))), collapsed) << path;
    }
}

TEST(PathNames, ExtensionAndFileName)
{
    EXPECT_EQ(ZV::pathExtension("archive.tar.gz"), "gz");
    EXPECT_EQ(ZV::pathExtension("/home/.profile"), "profile");
    EXPECT_EQ(ZV::pathExtension("a."), "");
    EXPECT_EQ(ZV::pathExtension("dir.d/file"), "");
    EXPECT_EQ(ZV::fileName("dir\\photo.jpg", false, kWin), "photo");
    EXPECT_EQ(ZV::fileName("dir\\photo.jpg", false, kPOSIX), "dir\\photo");
    EXPECT_EQ(ZV::fileName("/x/.profile", false), "");
    EXPECT_EQ(ZV::fileName("/x/a.", false), "a.");
    EXPECT_EQ(ZV::fileName("/x/a.jpg", true), "a.jpg");
}

TEST(PathNormalize, ResolvesDotsAgainstCurrentFolder)
{
    TempDir tmp;
    {
        ScopedCwd cwd("/");
        EXPECT_EQ(ZV::normalizePath("../../x"), "/x");
    }
    ScopedCwd cwd(tmp.path());
    std::string here = fs::current_path().string();
    EXPECT_EQ(ZV::normalizePath("a/./b/../c/"), here + "/a/c/");
    EXPECT_EQ(ZV::normalizePath("."), here);
    EXPECT_EQ(ZV::normalizePath("/a//b///../c"), "/a/c");
    EXPECT_EQ(ZV::normalizePath("/a/../../b/.."), "/");
    EXPECT_EQ(ZV::normalizePath("/a/../../b"), "/b");
    EXPECT_EQ(ZV::normalizePath("//srv//share/../x"), "//srv/x"); // the leading pair survives
    EXPECT_EQ(ZV::normalizePath(""), "");
    // Without a readable current folder the collapsed text comes back.
    fs::create_directory(tmp / "gone");
    fs::current_path(tmp / "gone");
    fs::remove(tmp / "gone");
    EXPECT_EQ(ZV::normalizePath("a/b///c"), "a/b/c");
    EXPECT_EQ(ZV::normalizePath("/abs/../y"), "/y");
}

TEST(PathText, SplitReplaceAndPrefix)
{
    EXPECT_EQ(ZV::splitString(std::string(",a,,b,"), std::string(",")), (Strings{"a", "", "b"}));
    EXPECT_EQ(ZV::splitString(std::string(",a,,b,"), std::string(","), true), (Strings{"a", "b"}));
    EXPECT_EQ(ZV::splitString(std::string("a;b,c"), std::string(",;")), (Strings{"a", "b", "c"}));
    EXPECT_EQ(ZV::splitString(std::string(""), std::string(",")), Strings{});
    std::vector<u8string> u = ZV::splitString(u8string("日、本、、é"), u8string("、"));
    ASSERT_EQ(u.size(), 4u);
    EXPECT_EQ(u[3], u8string("é"));
    EXPECT_EQ(u[2], u8string(""));

    u8string text("été été");
    EXPECT_TRUE(ZV::replaceAll(text, u8string("t"), u8string("T"), 2)); // from code point 2
    EXPECT_EQ(text, u8string("été éTé"));
    std::string bytes = "été été";
    EXPECT_TRUE(ZV::replaceAll(bytes, "t", "T", 2)); // from byte 2, the first "t"
    EXPECT_EQ(bytes, "éTé éTé");
    std::string grow = "aaa";
    EXPECT_TRUE(ZV::replaceAll(grow, "a", "aa"));
    EXPECT_EQ(grow, "aaaaaa");
    EXPECT_FALSE(ZV::replaceAll(grow, "", "x"));
    EXPECT_FALSE(ZV::replaceAll(grow, "b", "x"));
    EXPECT_THROW(ZV::replaceAll(grow, "a", "b", 7), std::out_of_range);
    EXPECT_TRUE(ZV::hasPrefix(u8string("été"), u8string("ét")));
    EXPECT_FALSE(ZV::hasPrefix(std::string("ab"), std::string("abc")));
}

TEST(PathCore, NamesAndExtensions)
{
    EXPECT_STREQ(path_basename("/a/b.c"), "b.c");
    EXPECT_STREQ(path_basename("b"), "b");
    EXPECT_STREQ(path_extension("/a/b.tar.gz"), "gz");
    EXPECT_EQ(path_extension("Scan.01/spans"), nullptr);
    char scan[] = "Scan.01/spans", dotted[] = "./x", photo[] = "dir/p.jpg";
    strip_extension(scan);
    strip_extension(dotted);
    strip_extension(photo);
    EXPECT_STREQ(scan, "Scan.01/spans");
    EXPECT_STREQ(dotted, "./x");
    EXPECT_STREQ(photo, "dir/p");
    EXPECT_TRUE(is_drive_path("c:x"));
    EXPECT_FALSE(is_drive_path("c"));
    EXPECT_FALSE(is_drive_path("1:"));
    EXPECT_STREQ(path_relative_to("/w/scan/x", "/w"), "scan/x");
    EXPECT_STREQ(path_relative_to("/w/scan/x", "/w/"), "scan/x");
    EXPECT_STREQ(path_relative_to("/w/scan", "/"), "w/scan");
    EXPECT_EQ(path_relative_to("/wx/scan", "/w"), nullptr);
    EXPECT_EQ(path_relative_to("/w", "/w"), nullptr);
}

TEST(PathCore, DirnameInPlaceAndCopy)
{
    const std::vector<std::vector<const char *>> table = {
        // path, path_dirname, path_dirname_copy
        {"/a/b", "/a", "/a"},  {"/a/b/", "/a", "/a"}, {"/x", "/", "/"},  {"/", "/", "/"},   {"a/b", "a", "a"},
        {"a/b/", "a/b", "a"},  {"a", "", "."},        {"//", "/", "/"},  {"//a", "/", "/"},  {"a//b", "a/", "a"},
        {"", "", "."},
    };
    for (const auto &row : table) {
        EXPECT_EQ(dirnameInPlace(row[0]), row[1]) << row[0];
        EXPECT_EQ(dirnameCopy(row[0]), row[2]) << row[0];
    }
    EXPECT_EQ(dirnameCopy(nullptr), ".");
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(path_dirname_copy("/abcd/e", small, sizeof small), -1); // "/abcd" does not fit
    EXPECT_STREQ(small, "");
    EXPECT_EQ(path_dirname_copy("/a", small, 1), -1);
}

TEST(PathCore, NextComponentAndSplit)
{
    char buf[4];
    const char *rest = path_next_component("abcdef//g", buf, sizeof buf);
    EXPECT_STREQ(buf, "abc"); // cut to the buffer
    EXPECT_STREQ(rest, "g");
    EXPECT_EQ(path_next_component("", buf, sizeof buf), nullptr);
    size_t n = 99;
    char **parts = path_split("/a//bcdefghij/", &n);
    ASSERT_NE(parts, nullptr);
    ASSERT_EQ(n, 3u);
    EXPECT_STREQ(parts[0], "");
    EXPECT_STREQ(parts[1], "a");
    EXPECT_STREQ(parts[2], "bcdefghij");
    free_string_array(parts, n);
    EXPECT_EQ(path_split("", &n), nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(path_split("a", nullptr), nullptr);
}

TEST(PathSame, FilesLinksAndMissingNames)
{
    TempDir tmp;
    std::ofstream(tmp / "one") << "1";
    std::ofstream(tmp / "two") << "2";
    ASSERT_EQ(link((tmp / "one").c_str(), (tmp / "hard").c_str()), 0);
    EXPECT_EQ(path_exists((tmp / "one").c_str()), 1);
    EXPECT_EQ(path_exists((tmp / "none").c_str()), 0);
    EXPECT_EQ(same_path((tmp / "one").c_str(), (tmp / "two").c_str()), 0); // same folder, device and mode
    EXPECT_EQ(same_path((tmp / "one").c_str(), (tmp / "hard").c_str()), 1);
    EXPECT_EQ(same_path((tmp / "one").c_str(), (tmp / "./one").c_str()), 1);
    EXPECT_EQ(same_path((tmp / "one").c_str(), (tmp / "none").c_str()), 0);
    EXPECT_EQ(same_path((tmp / "miss/x").c_str(), (tmp / "/miss//x").c_str()), 1);
    EXPECT_EQ(same_path((tmp / "miss/x").c_str(), (tmp / "miss/y").c_str()), 0);
    EXPECT_EQ(same_path((tmp / "miss/x").c_str(), (tmp / "other/x").c_str()), 0);
    EXPECT_EQ(same_path((tmp / "one/x").c_str(), (tmp / "two/x").c_str()), -1); // ENOTDIR is an error
    EXPECT_EQ(same_path("", "/"), -1);
}
