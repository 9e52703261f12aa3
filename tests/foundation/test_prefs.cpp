// The settings store on a real settings file: values, batches, reset, and saves that never lose the old file,
// never write through a link and never mix with another engine's save.
#include "foundation/prefs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log.h"
#include "support/planted_temporary.h"
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

// Fills the file system holding dir: a file "filler" grows until the disk is full.
void fill(const std::string &dir)
{
    const int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    EXPECT_EQ(errno, ENOSPC);
    close(fd);
}

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

// Faults guarded: a refused store reported success; a key beginning with a byte-order mark in the unnamed
// section (it heads the file, and the reader takes it for the file's signature) and a value with blanks at
// either end were accepted and came back otherwise after a save and a load. Text the file cannot give
// back is refused; everything else makes the round trip through a real file unchanged.
TEST_F(PrefsValues, RefusesTextThatCannotRoundTrip)
{
    const struct { const char *section, *key, *value; } refused[] = {
        {"S", "k", "two\nlines"}, {"S", "k", "cr\r"},   {"S]x", "k", "v"},    {"S", "a=b", "v"},
        {"S", "", "v"},           {"S", ";k", "v"},     {"S", "[k", "v"},     {" S", "k", "v"},
        {"S", "k ", "v"},         {"S", "k", "\xff"},   {nullptr, "k", "v"},  {"S", "k", nullptr},
        {"", "\xEF\xBB\xBFk", "v"}, {"S", "k", " v"},    {"S", "k", "v\t"},   {"S", "#k", "v"},
    };
    for (const auto &c : refused) {
        EXPECT_EQ(prefs_set_string(c.section, c.key, c.value), -1) << (c.key ? c.key : "NULL");
        if (c.section != nullptr && c.key != nullptr) {
            EXPECT_EQ(get(c.section, c.key), "<absent>") << c.key;
        }
    }
    EXPECT_EQ(prefs_save(), 0);
    EXPECT_EQ(zvtest::folderNames(dir_.path()), std::set<std::string>{"settings.ini"});
    EXPECT_EQ(readFile(file_), "");

    // The neighbours of what is refused.
    const struct { const char *section, *key, *value; } kept[] = {
        {"", "k", "unnamed section"},  {"", "k\xEF\xBB\xBF", "\xEF\xBB\xBFvalue"}, {"S", "\xEF\xBB\xBFk", "v"},
        {"\xEF\xBB\xBFS", "k", "v"},  {"[S", "k", "v"},        {"S;#[", "k;#[", "v"}, {"S", "k1", "=;#[]\"\""},
        {"S", "k2", ""},               {"S", "k\v\f", "\v\f"},  {"S", "a b", "a  b"}, {"\xC2\xA0", "\xC2\xA0", "\xC2\xA0"},
        {"S", "multi", "<<<END"},
    };
    for (const auto &c : kept)
        EXPECT_EQ(prefs_set_string(c.section, c.key, c.value), 0) << c.key;
    ASSERT_EQ(prefs_save(), 0);
    prefs_set_string("S", "k", "not saved");
    ASSERT_EQ(prefs_load(), 0);
    EXPECT_EQ(get("S", "k"), "<absent>");
    for (const auto &c : kept) {
        char buffer[64];
        ASSERT_EQ(prefs_get_string(c.section, c.key, buffer, sizeof buffer), 0) << c.key;
        EXPECT_EQ(std::string(buffer), c.value) << c.key;
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
// after repair succeeds. Real faults on a small file system of its own, no permission bits (CI runs as root);
// no temporary file is left behind.
TEST_F(PrefsFile, FailedSaveKeepsOldFile)
{
    zvtest::TempDir logs;
    const std::string ws = dir_ / "ws", file = ws + "/settings.ini";
    ASSERT_EQ(mkdir(ws.c_str(), 0777), 0);
    zvtest::Mount disk = zvtest::Mount::tmpfs(ws, "size=64k");
    // old: what stands at settings.ini after the failure.
    struct Case { const char *name; std::function<void()> damage, repair; std::string logged, old; };
    const Case cases[] = {
        {"read-only file system", [&] { disk.setReadOnly(true); }, [&] { disk.setReadOnly(false); },
         "prefs: can't open file " + file + ".tmp", "[Old]\nk = 1\n"},
        {"disk full", [&] { fill(ws); }, [&] { unlink((ws + "/filler").c_str()); },
         "prefs: couldn't save to " + file, "[Old]\nk = 1\n"},
        {"settings.ini is a folder", [&] { unlink(file.c_str()); mkdir(file.c_str(), 0777); },
         [&] { rmdir(file.c_str()); }, "prefs: couldn't save to " + file, "<not a regular file>"},
        {"workspace is a file", [&] { writeFile(ws + "/old", "x"); use(ws + "/old"); }, [&] { use(ws); },
         "prefs: couldn't create path to file " + ws + "/old/settings.ini", "[Old]\nk = 1\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(file, "[Old]\nk = 1\n");
        use(ws);
        const std::set<std::string> before = zvtest::folderNames(ws);
        log_open((logs / "log.txt").c_str());
        c.damage();
        prefs_set_int("Old", "k", 2);
        EXPECT_EQ(prefs_save(), -1);
        log_close();
        EXPECT_NE(readFile(logs / "log.txt").find(c.logged), std::string::npos) << readFile(logs / "log.txt");
        std::set<std::string> after = zvtest::folderNames(ws);
        after.erase("filler");
        after.erase("old");
        EXPECT_EQ(after, before); // no temporary file left
        EXPECT_EQ(contents(file), c.old);
        EXPECT_EQ(get("Old", "k"), "2"); // the document is kept for the next try
        c.repair();
        prefs_set_int("Old", "k", 2);
        EXPECT_EQ(prefs_save(), 0);
        EXPECT_EQ(contents(file), "[Old]\nk = 2\n");
        unlink((ws + "/old").c_str());
    }
}

// Fault guarded: the save wrote through whatever stood at its fixed temporary name "settings.ini.tmp": a
// link there had its target overwritten (or made, outside the folder) and then took the settings file's
// place, and a folder there made every save fail. A link put at the temporary once it is made is not
// written through either.
TEST_F(PrefsFile, TemporaryFileNeverFollowsALink)
{
    zvtest::TempDir outside;
    const std::string tmp = file_ + ".tmp", victim = outside / "victim";
    writeFile(victim, "precious");
    const std::string targets[] = {victim, outside / "made"};
    for (const std::string &target : targets) {
        SCOPED_TRACE(target);
        ASSERT_EQ(symlink(target.c_str(), tmp.c_str()), 0);
        prefs_set_string("Scan", "target", target.c_str());
        EXPECT_EQ(prefs_save(), 0);
        EXPECT_EQ(contents(file_), "[Scan]\ntarget = " + target + "\n");
        EXPECT_EQ(readFile(victim), "precious");
        EXPECT_FALSE(exists(outside / "made"));
        EXPECT_EQ(zvtest::folderNames(dir_.path()), (std::set<std::string>{"settings.ini", "settings.ini.tmp"}));
        unlink(tmp.c_str());
    }
    ASSERT_EQ(mkdir(tmp.c_str(), 0777), 0);
    prefs_set_string("Scan", "target", "folder");
    EXPECT_EQ(prefs_save(), 0);
    EXPECT_EQ(contents(file_), "[Scan]\ntarget = folder\n");

    // A link put at the temporary right after it is made: the save writes
    // through the descriptor it made the temporary with, never the name, so
    // it fails and leaves the settings file, the link and its target alone.
    zvtest::Plant plant{true, victim};
    prefs_set_string("Scan", "target", "planted");
    atomic_file_set_test_hook(zvtest::plant_when_created, &plant);
    EXPECT_EQ(prefs_save(), -1);
    atomic_file_set_test_hook(nullptr, nullptr);
    EXPECT_EQ(contents(file_), "[Scan]\ntarget = folder\n");
    EXPECT_EQ(readFile(victim), "precious");
    const std::set<std::string> names = zvtest::folderNames(dir_.path());
    ASSERT_EQ(names.size(), 3u);
    struct stat planted;
    EXPECT_TRUE(lstat((dir_ / *names.rbegin()).c_str(), &planted) == 0 && S_ISLNK(planted.st_mode)) << *names.rbegin();
}

// Fault guarded: two engines saving at once shared the temporary file: one truncated it while the other
// wrote or renamed it, so a save failed (its file already renamed away) or left a torn settings file. Two
// child processes and a thread of this one save one settings file at once; every save succeeds and the
// file is always one engine's whole text.
TEST_F(PrefsThreads, EnginesSavingAtOnceEachLeaveAValidFile)
{
    constexpr int kEngines = 3, kSaves = 150;
    // Texts of different lengths, so a mix of two shows.
    auto text = [](int engine) { return "[Engine]\nname = " + std::string(10 + 40 * engine, char('a' + engine)) + "\n"; };
    auto store = [](int engine) {
        prefs_set_string("Engine", "name", std::string(10 + 40 * engine, char('a' + engine)).c_str());
    };
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    // The children are made before any thread of this test: each is a single-threaded engine of its own.
    std::vector<pid_t> children;
    for (int engine = 1; engine < kEngines; ++engine) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            char go;
            int failures = read(gate[0], &go, 1) == 1 ? 0 : 100;
            store(engine);
            for (int i = 0; i < kSaves; ++i)
                failures += prefs_save() != 0;
            _exit(failures > 100 ? 100 : failures);
        }
        children.push_back(pid);
    }
    close(gate[0]);
    store(0);
    std::atomic<int> failures{0};
    std::thread saver([&failures] {
        for (int i = 0; i < kSaves; ++i)
            failures += prefs_save() != 0;
    });
    ASSERT_EQ(write(gate[1], "go", kEngines - 1), kEngines - 1);
    close(gate[1]);
    std::set<std::string> valid;
    for (int engine = 0; engine < kEngines; ++engine)
        valid.insert(text(engine));
    std::set<std::string> seen;
    for (int i = 0; i < 300; ++i) {
        const std::string now = contents(file_);
        if (now != "<not a regular file>" && !now.empty()) // nothing yet, or a whole text
            seen.insert(now);
    }
    saver.join();
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "failed saves in a child: " << status;
    }
    EXPECT_EQ(failures.load(), 0);
    for (const std::string &now : seen)
        EXPECT_EQ(valid.count(now), 1u) << now;
    EXPECT_EQ(valid.count(contents(file_)), 1u) << contents(file_);
    EXPECT_EQ(zvtest::folderNames(dir_.path()), std::set<std::string>{"settings.ini"}); // no temporary file left
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
