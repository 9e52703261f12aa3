// The settings store on a real settings file: values, batches, reset, and saves that never lose the old file.
#include "foundation/prefs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log.h"
#include "support/test_support.h"

using zvtest::readFile;
using zvtest::writeFile;

namespace {

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }
// The file's bytes; a link to /dev/full left in its place must not be read (it never ends).
std::string contents(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? readFile(path) : "<not a regular file>";
}

int loadText(const std::string &text) { return prefs_load_data(text.data(), text.size()); }

std::string get(const char *section, const char *key)
{
    char buffer[64];
    return prefs_get_string(section, key, buffer, sizeof buffer) == 0 ? buffer : "<absent>";
}

// Each test starts with an empty document that belongs to its own folder.
class Prefs : public testing::Test {
protected:
    void SetUp() override { use(dir_.path()); }
    void use(const std::string &dir) { ASSERT_EQ(prefs_set_dir(dir.c_str()), 0); prefs_load(); }
    zvtest::TempDir dir_;
    std::string file_ = dir_ / "settings.ini";
};
using PrefsValues = Prefs;
using PrefsFile = Prefs;
using PrefsThreads = Prefs;

} // namespace

// Fault guarded: size 0 wrapped "size - 1" and wrote past the buffer.
TEST_F(PrefsValues, NumbersRoundTripAndAbsentKeys)
{
    int64_t n = 77;
    prefs_set_int("Scan", "count", INT64_MIN);
    prefs_set_float("Scan", "ratio", 0.5f);
    prefs_set_string("Scan", "word", "abc");
    EXPECT_EQ(prefs_get_int("Scan", "count", &n), 0); EXPECT_EQ(n, INT64_MIN);
    EXPECT_EQ(get("Scan", "ratio"), "0.5000");
    EXPECT_EQ(prefs_get_int("Scan", "word", &n), 0); EXPECT_EQ(n, 0); // not a number: 0
    n = 77;
    EXPECT_EQ(prefs_get_int("Scan", "none", &n), -1); EXPECT_EQ(n, 77);
    prefs_set_int("SCAN", "Count", 5); // names ignore case: one section, one key
    EXPECT_EQ(get("scan", "COUNT"), "5");

    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(prefs_get_string("Scan", "word", buffer, 0), -1);
    EXPECT_EQ(std::string(buffer, 4), "xxxx");
    EXPECT_EQ(prefs_get_string("Scan", "word", buffer, 3), 0); // cut to size - 1
    EXPECT_EQ(std::string(buffer, 4), std::string("ab\0x", 4));
    EXPECT_EQ(prefs_get_string("Scan", "none", buffer, sizeof buffer), -1);
    EXPECT_EQ(std::string(buffer, 4), std::string(4, '\0'));
}

// Fault guarded: a refused store reported success. Text that would break the file's lines is refused.
TEST_F(PrefsValues, RefusesTextThatCannotRoundTrip)
{
    const struct { const char *section, *key, *value; } cases[] = {
        {"S", "k", "two\nlines"}, {"S", "k", "cr\r"},   {"S]x", "k", "v"},    {"S", "a=b", "v"},
        {"S", "", "v"},           {"S", ";k", "v"},     {"S", "[k", "v"},     {" S", "k", "v"},
        {"S", "k ", "v"},         {"S", "k", "\xff"},   {nullptr, "k", "v"},  {"S", "k", nullptr},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(prefs_set_string(c.section, c.key, c.value), -1) << (c.key ? c.key : "NULL");
        EXPECT_EQ(get("S", "k"), "<absent>");
    }
}

TEST_F(PrefsValues, ResetKeepsOnlyExactGlobal)
{
    loadText("[Global]\nkeep = 1\n[global]\nx = 2\n[FM_Src]\nBUILTIN = 1\n");
    prefs_set_int("Scanning/FAT", "enabled", 1);
    prefs_reset();
    EXPECT_EQ(get("GLOBAL", "x"), "2"); // one section, stored as "Global": kept
    EXPECT_EQ(get("FM_Src", "BUILTIN"), "<absent>");
    EXPECT_EQ(get("Scanning/FAT", "enabled"), "<absent>");
    loadText("[global]\nx = 1\n");
    prefs_reset();
    EXPECT_EQ(get("Global", "x"), "<absent>"); // stored as "global": removed
    EXPECT_FALSE(exists(file_));               // a reset does not save
}

// Nested batches write once, at the outermost end; a load replaces the document (SimpleIni would add to it);
// a missing or damaged file loads empty.
TEST_F(PrefsFile, BatchesSavesAndLoads)
{
    prefs_set_int("A", "k", 1);
    prefs_end_update(); // depth 0: nothing, and the depth does not go below 0
    prefs_begin_update();
    prefs_begin_update();
    prefs_set_float("Global", "f", 0.5f);
    EXPECT_EQ(prefs_save(), 0);
    prefs_end_update();
    EXPECT_FALSE(exists(file_));
    prefs_set_string("Drive Failure Detection", "note", "ä = b");
    prefs_end_update();
    EXPECT_EQ(readFile(file_), "[A]\nk = 1\n\n\n[Global]\nf = 0.5000\n\n\n[Drive Failure Detection]\nnote = ä = b\n");
    EXPECT_FALSE(exists(file_ + ".tmp"));
    prefs_set_int("Global", "f", 9); // not saved: the load replaces it
    EXPECT_EQ(prefs_load(), 0);
    EXPECT_EQ(get("GLOBAL", "F"), "0.5000");
    EXPECT_EQ(get("drive failure detection", "note"), "ä = b");

    zvtest::TempDir empty;
    use(empty.path()); // no file there: the other workspace's values go too
    EXPECT_EQ(get("Global", "f"), "<absent>");
    use(dir_.path());
    const std::string big = "[A]\nk = 1\n" + std::string(16 << 20, ';');
    for (const std::string &bytes : {std::string("[A]\nk = 1\n\0", 11), std::string("[A]\nk = \xc3\n"), big}) {
        prefs_set_int("A", "k", 5);
        writeFile(file_, bytes);
        EXPECT_EQ(prefs_load(), -1);
        EXPECT_EQ(get("A", "k"), "<absent>");
    }
}

// Fault guarded: the save truncated the file before writing, so a failure lost every setting; the next save
// after repair succeeds. Real faults, no permission bits (CI runs as root).
TEST_F(PrefsFile, FailedSaveKeepsOldFile)
{
    ASSERT_TRUE(exists("/dev/full")) << "this test needs /dev/full";
    zvtest::TempDir logs;
    const std::string tmp = file_ + ".tmp";
    // old: what stands at settings.ini after the failure; only a folder of ours at the temporary path stays.
    struct Case { const char *name; std::function<void()> damage, repair; std::string logged, old; bool tmpStays; };
    const Case cases[] = {
        {"temp path is a folder", [&] { mkdir(tmp.c_str(), 0777); }, [&] { rmdir(tmp.c_str()); },
         "prefs: can't open file " + tmp + " (", "[Old]\nk = 1\n", true},
        {"disk full", [&] { symlink("/dev/full", tmp.c_str()); }, [] {}, "prefs: couldn't save to " + file_,
         "[Old]\nk = 1\n", false},
        {"settings.ini is a folder", [&] { unlink(file_.c_str()); mkdir(file_.c_str(), 0777); },
         [&] { rmdir(file_.c_str()); }, "prefs: couldn't save to " + file_, "<not a regular file>", false},
        {"workspace is a file", [&] { writeFile(dir_ / "old", "x"); use(dir_ / "old"); }, [&] { use(dir_.path()); },
         "prefs: couldn't create path to file " + (dir_ / "old/settings.ini"), "[Old]\nk = 1\n", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(file_, "[Old]\nk = 1\n");
        use(dir_.path());
        log_open((logs / "log.txt").c_str());
        c.damage();
        prefs_set_int("Old", "k", 2);
        EXPECT_EQ(prefs_save(), -1);
        log_close();
        EXPECT_NE(readFile(logs / "log.txt").find(c.logged), std::string::npos) << readFile(logs / "log.txt");
        EXPECT_EQ(exists(tmp), c.tmpStays);
        EXPECT_EQ(contents(file_), c.old);
        EXPECT_EQ(get("Old", "k"), "2"); // the document is kept for the next try
        c.repair();
        prefs_set_int("Old", "k", 2);
        EXPECT_EQ(prefs_save(), 0);
        EXPECT_EQ(contents(file_), "[Old]\nk = 2\n");
        unlink((dir_ / "old").c_str());
    }
}

// Threads storing in batches while another saves: nothing is lost.
TEST_F(PrefsThreads, ConcurrentStoresAndSaves)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            const std::string section = "T" + std::to_string(t);
            for (int i = 0; i < 50; ++i) {
                prefs_begin_update();
                prefs_set_int(section.c_str(), std::to_string(i).c_str(), i);
                prefs_end_update();
            }
        });
    for (int i = 0; i < 5; ++i)
        prefs_save();
    for (auto &thread : threads)
        thread.join();
    ASSERT_EQ(prefs_save(), 0);
    ASSERT_EQ(prefs_load(), 0);
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(get(("T" + std::to_string(t)).c_str(), "49"), "49");
}
