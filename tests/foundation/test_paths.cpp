// Path rules: styles, components, parents, joining, names, normalising, and the core's C-string functions.
#include "foundation/paths.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace fs = std::filesystem;
using zorvant::u8string;
using Strings = std::vector<std::string>;

namespace {
constexpr int kPOSIX = ZV::kPathStylePOSIX, kWin = ZV::kPathStyleWindows;
struct ScopedCwd { // changes the current folder for one scope
    fs::path saved = fs::current_path();
    explicit ScopedCwd(const std::string &folder) { fs::current_path(folder); }
    ~ScopedCwd() { fs::current_path(saved); }
};
} // namespace

// Windows-style rules are kept as pure text: roots, prefixes and drive letters.
TEST(PathStyleRules, RootsDrivesAndPrefixes)
{
    const struct { const char *path; int style; bool root; } roots[] = {
        {"C:\\", kWin, true},   {"\\\\?\\C:\\", kWin, true}, {"C:", kWin, false}, {"\\\\?\\C:", kWin, false},
        {"//", kWin, false},    {"C:\\a", kWin, false},      {"/", kWin, false},  {"/", 0, true},
        {"//", kPOSIX, false},
    };
    for (const auto &r : roots) {
        EXPECT_EQ(ZV::isRootPath(std::string(r.path), r.style), r.root) << r.path << " style " << r.style;
        EXPECT_EQ(ZV::isRootPath(u8string(r.path), r.style), r.root) << r.path << " style " << r.style;
    }
    const Strings prefixes[] = {{"\\\\?\\C:\\x", "\\\\?\\"}, {"\\\\.\\PhysicalDrive1", "\\\\.\\"},
                                {"\\\\srv\\share", "\\\\"}, {"\\a", ""}};
    for (const Strings &row : prefixes)
        EXPECT_EQ(ZV::pathPrefix(row[0]), row[1]) << row[0];
    EXPECT_TRUE(ZV::isLongPathDrive(std::string("\\\\?\\z:")));
    EXPECT_FALSE(ZV::hasDriveLetter(std::string("1:")));
    EXPECT_FALSE(ZV::hasDriveLetter(std::string("C:"), 5)); // past the end: no drive, no throw
    EXPECT_EQ(zorvant::path_separator(kWin), u8string("\\"));
    EXPECT_THROW(ZV::pathComponents(std::string("a"), 3), std::invalid_argument);
    // Positions count code points in a u8string and bytes in a std::string.
    const char *bytes = "日本C:\\";
    EXPECT_TRUE(ZV::isDriveRoot(u8string(bytes), 2));
    EXPECT_FALSE(ZV::hasDriveLetter(std::string(bytes), 2)); // byte 2 is inside "日"
    EXPECT_TRUE(ZV::isDriveRoot(std::string(bytes), 6));
}

// Components and parents, each row checked through both the std::string and the u8string form.
TEST(PathComponents, ComponentsAndParentsTables)
{
    // A backslash is an ordinary character in POSIX style, and "/" one in Windows style.
    const struct { const char *path; int style; Strings parts; } components[] = {
        {"/a//b/", kPOSIX, {"/", "a", "b"}}, {"/", 0, {"/"}}, {"", 0, {}}, {"a\\b", 0, {"a\\b"}}, {"a/b", kWin, {"a/b"}},
        {"C:\\a\\b", kWin, {"C:\\", "a", "b"}}, {"C:", kWin, {"C:\\"}}, {"\\\\?\\C:", kWin, {"\\\\?\\C:\\"}},
        {"\\\\server\\share\\x", kWin, {"\\\\server", "share", "x"}}, {"\\\\?\\C:\\a", kWin, {"\\\\?\\C:\\", "a"}},
        {"\\\\.\\PhysicalDrive1", kWin, {"\\\\.\\PhysicalDrive1"}},
    };
    for (const auto &row : components) {
        EXPECT_EQ(ZV::pathComponents(std::string(row.path), row.style), row.parts) << row.path;
        EXPECT_EQ(ZV::pathComponents(u8string(row.path), row.style),
                  std::vector<u8string>(row.parts.begin(), row.parts.end())) << row.path << " (u8string)";
    }

    const struct { const char *path; int style; const char *parent; } parents[] = {
        {"/a/", kPOSIX, "/"},     {"/", kPOSIX, "/"},          {"a", kPOSIX, ""},     {"//", kPOSIX, "/"},
        {"/a/b/c", 0, "/a/b"},    {"C:\\", kWin, "C:\\"},      {"C:", kWin, ""},      {"C:\\a", kWin, "C:\\"},
        {"\\a", kWin, ""},        {"a\\b", kWin, "a"},         {"\\\\?\\C:\\", kWin, "\\\\?\\C:\\"},
        {"\\\\?\\C:\\dir", kWin, "\\\\?\\C:\\"},
    };
    for (const auto &row : parents) {
        std::string bytes = row.path;
        u8string text(row.path);
        ZV::removeLastPathComponent(bytes, row.style);
        ZV::removeLastPathComponent(text, row.style);
        EXPECT_EQ(bytes + " | " + text.str(), std::string(row.parent) + " | " + row.parent) << row.path;
    }
    EXPECT_EQ(ZV::parentPath(std::string("/x/y")), "/x");
    u8string up("/photos/été/日本.jpg"); // the u8string forms count code points
    EXPECT_EQ(ZV::lastPathComponent(up), u8string("日本.jpg"));
    ZV::removeLastPathComponent(up);
    EXPECT_EQ(up, u8string("/photos/été"));
}

// The append rule, and joining the components gives the path back up to doubled and trailing separators.
TEST(PathJoin, AppendRuleAndRoundTrip)
{
    std::string p = "a";
    for (const char *part : {"", "b", "/c"})
        ZV::appendPathComponent(p, part);
    EXPECT_EQ(p, "a/b/c");
    for (const Strings &row : {Strings{"", "x", "x"}, {"/", "x", "/x"}, {"dé", "日", "dé/日"}}) {
        EXPECT_EQ(ZV::joinPath(row[0], row[1]), row[2]);
        EXPECT_EQ(zorvant::path_join(u8string(row[0]), u8string(row[1])), u8string(row[2]));
    }
    u8string w("C:");
    zorvant::path_append(w, u8string("x"), kWin);
    EXPECT_EQ(w, u8string("C:\\x"));
    const Strings roundTrips[] = {{"/a//b/", "/a/b"}, {"/", "/"}, {"a/b", "a/b"}, {"//x///y//", "/x/y"}};
    for (const Strings &row : roundTrips)
        EXPECT_EQ(ZV::joinPathComponents(ZV::pathComponents(row[0])), row[1]) << row[0];
}

// Extension and file name with and without the extension, in both styles; on POSIX rows also the core's
// C functions. Fault guarded: strip_extension cut at a dot in a folder's name ("Scan.01/spans").
TEST(PathNames, ExtensionAndFileName)
{
    const struct { const char *path; int style; const char *ext, *bare, *full, *stripped; } names[] = {
        {"archive.tar.gz", 0, "gz", "archive.tar", "archive.tar.gz", "archive.tar"},
        {"/home/.profile", 0, "profile", "", ".profile", "/home/"}, {"/x/a.", 0, "", "a.", "a.", "/x/a"},
        {"Scan.01/spans", 0, "", "spans", "spans", "Scan.01/spans"}, {"./x", 0, "", "x", "x", "./x"},
        {"dir\\photo.jpg", kWin, "jpg", "photo", "photo.jpg", nullptr},
        {"dir\\photo.jpg", kPOSIX, "jpg", "dir\\photo", "dir\\photo.jpg", "dir\\photo"},
    };
    for (const auto &row : names) {
        SCOPED_TRACE(row.path);
        EXPECT_EQ(ZV::pathExtension(row.path, row.style), row.ext);
        EXPECT_EQ(ZV::fileName(row.path, false, row.style), row.bare);
        EXPECT_EQ(ZV::fileName(row.path, true, row.style), row.full);
        if (row.style == kWin)
            continue;
        const char *ext = path_extension(row.path);
        EXPECT_STREQ(ext ? ext : "", row.ext);
        EXPECT_STREQ(path_basename(row.path), row.full);
        std::string path = row.path;
        strip_extension(&path[0]);
        EXPECT_STREQ(path.c_str(), row.stripped);
    }
}

// "." and ".." resolved by text against the current folder; a ".." at the root stays there.
TEST(PathNormalize, ResolvesDotsAgainstCurrentFolder)
{
    zvtest::TempDir tmp;
    {
        ScopedCwd cwd("/");
        EXPECT_EQ(ZV::normalizePath("../../x"), "/x");
    }
    ScopedCwd cwd(tmp.path());
    const std::string here = fs::current_path().string();
    const Strings rows[] = {{"a/./b/../c/", here + "/a/c/"}, {".", here},          {"/a//b///../c", "/a/c"},
                            {"/a/../../b/..", "/"},          {"/a/../../b", "/b"}, {"//srv//share/../x", "//srv/x"},
                            {"", ""}};
    for (const Strings &row : rows)
        EXPECT_EQ(ZV::normalizePath(row[0]), row[1]) << row[0];
    // Without a readable current folder the collapsed text comes back.
    fs::create_directory(tmp / "gone");
    fs::current_path(tmp / "gone");
    fs::remove(tmp / "gone");
    EXPECT_EQ(ZV::normalizePath("a/b///c"), "a/b/c");
    EXPECT_EQ(ZV::normalizePath("/abs/../y"), "/y");
}

// splitString cuts at every delimiter (empty tokens unless compressed); replaceAll goes on after each insert.
TEST(PathText, SplitReplaceAndPrefix)
{
    EXPECT_EQ(ZV::splitString(std::string(",a,,b,"), std::string(",")), (Strings{"a", "", "b"}));
    EXPECT_EQ(ZV::splitString(std::string(",a,,b,"), std::string(","), true), (Strings{"a", "b"}));
    EXPECT_EQ(ZV::splitString(std::string("a;b,c"), std::string(",;")), (Strings{"a", "b", "c"}));
    EXPECT_EQ(ZV::splitString(std::string(""), std::string(",")), Strings{});
    const std::vector<u8string> u = ZV::splitString(u8string("日、本、、é"), u8string("、"));
    EXPECT_EQ(u, (std::vector<u8string>{u8string("日"), u8string("本"), u8string(""), u8string("é")}));

    u8string text("été été");
    EXPECT_TRUE(ZV::replaceAll(text, u8string("t"), u8string("T"), 2)); // from code point 2
    EXPECT_EQ(text, u8string("été éTé"));
    std::string bytes = "été été";
    EXPECT_TRUE(ZV::replaceAll(bytes, "t", "T", 2)); // from byte 2, the first "t"
    EXPECT_EQ(bytes, "éTé éTé");
    std::string grow = "aaa";
    EXPECT_TRUE(ZV::replaceAll(grow, "a", "aa"));
    EXPECT_EQ(grow, "aaaaaa");
    EXPECT_FALSE(ZV::replaceAll(grow, "", "x")); // fault guarded: an empty search looped for ever
    EXPECT_THROW(ZV::replaceAll(grow, "a", "b", 7), std::out_of_range);
    EXPECT_TRUE(ZV::hasPrefix(u8string("été"), u8string("ét")));
    EXPECT_FALSE(ZV::hasPrefix(std::string("ab"), std::string("abc")));
}

// Fault guarded: path_relative_to refused a folder ending in "/". Components and splitting.
TEST(PathCore, DrivePathsRelativeAndComponents)
{
    EXPECT_TRUE(is_drive_path("c:x"));
    EXPECT_FALSE(is_drive_path("c"));
    EXPECT_FALSE(is_drive_path("1:"));
    const struct { const char *path, *folder, *rest; } relative[] = {
        {"/w/scan/x", "/w", "scan/x"}, {"/w/scan/x", "/w/", "scan/x"}, {"/w/scan", "/", "w/scan"},
        {"/wx/scan", "/w", nullptr},   {"/w", "/w", nullptr},
    };
    for (const auto &row : relative) {
        const char *rest = path_relative_to(row.path, row.folder);
        EXPECT_EQ(std::string(rest ? rest : "<null>"), row.rest ? row.rest : "<null>") << row.path << " in " << row.folder;
    }
    char buf[4]; // components are cut to the buffer
    EXPECT_STREQ(path_next_component("abcdef//g", buf, sizeof buf), "g");
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(path_next_component("", buf, sizeof buf), nullptr);
    size_t n = 99; // runs of "/" dropped, an empty first component kept for a leading one
    char **parts = path_split("/a//bcdefghij/", &n);
    ASSERT_NE(parts, nullptr);
    EXPECT_EQ(Strings(parts, parts + n), (Strings{"", "a", "bcdefghij"}));
    free_string_array(parts, n);
    EXPECT_EQ(path_split("", &n), nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(path_split("a", nullptr), nullptr);
}

// In-place dirname (skips one trailing "/") against the POSIX dirname copy; fault guarded: buffer overrun.
TEST(PathCore, DirnameInPlaceAndCopy)
{
    const std::vector<std::vector<const char *>> table = { // path, path_dirname, path_dirname_copy
        {"/a/b", "/a", "/a"},  {"/a/b/", "/a", "/a"}, {"/x", "/", "/"},  {"/", "/", "/"},   {"a/b", "a", "a"},
        {"a/b/", "a/b", "a"},  {"a", "", "."},        {"//", "/", "/"},  {"//a", "/", "/"},  {"a//b", "a/", "a"},
        {"", "", "."},
    };
    char out[64];
    for (const auto &row : table) {
        std::string path = row[0];
        path_dirname(&path[0]);
        EXPECT_STREQ(path.c_str(), row[1]) << row[0];
        ASSERT_EQ(path_dirname_copy(row[0], out, sizeof out), 0) << row[0];
        EXPECT_STREQ(out, row[2]) << row[0];
    }
    ASSERT_EQ(path_dirname_copy(nullptr, out, sizeof out), 0);
    EXPECT_STREQ(out, ".");
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(path_dirname_copy("/abcd/e", small, sizeof small), -1); // "/abcd" does not fit
    EXPECT_STREQ(small, "");
    EXPECT_EQ(path_dirname_copy("/a", small, 1), -1);
}

// same_path: two files with equal device and mode differ by inode; missing names compare by folder and name.
TEST(PathSame, FilesLinksAndMissingNames)
{
    zvtest::TempDir tmp;
    zvtest::writeFile(tmp / "one", "1");
    zvtest::writeFile(tmp / "two", "2");
    ASSERT_EQ(link((tmp / "one").c_str(), (tmp / "hard").c_str()), 0);
    EXPECT_EQ(path_exists((tmp / "one").c_str()), 1);
    EXPECT_EQ(path_exists((tmp / "none").c_str()), 0);
    const struct { const char *a, *b; int same; } rows[] = {
        {"one", "two", 0},           {"one", "hard", 1},          {"one", "./one", 1},
        {"one", "none", 0},          {"miss/x", "/miss//x", 1},   {"miss/x", "miss/y", 0},
        {"miss/x", "other/x", 0},    {"one/x", "two/x", -1}, // ENOTDIR is an error
    };
    for (const auto &row : rows)
        EXPECT_EQ(same_path((tmp / row.a).c_str(), (tmp / row.b).c_str()), row.same) << row.a << " vs " << row.b;
    EXPECT_EQ(same_path("", "/"), -1);
}
