// The `zorvant` program run as a user runs it, for the tests of the program:
// a child process per invocation, its exit code and output, and a fixture
// with a workspace and card images made at test time (mkfs.fat, mtools,
// cjpeg). Every wait for a child is bounded: a hang fails the test.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "scan/fat_image_support.h"
#include "storage/devices/device_test_support.h"
#include "support/jpeg_support.h"
#include "support/test_support.h"

namespace zvcli {

namespace fs = std::filesystem;
using zvtest::shellQuote;

// Longest any one invocation may take here.
constexpr int kChildSeconds = 120;

// Whether text holds part.
inline bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

struct Outcome {
    int status = -1; // exit code, or 128 + signal
    std::string out, err;
};

// A started child: its output goes to files in folder; env ("NAME=value")
// is added to its environment.
class Child {
public:
    Child(const std::vector<std::string> &argv, const std::string &folder, const std::vector<std::string> &env = {})
        : out_(folder + "/out"), err_(folder + "/err")
    {
        pid_ = fork();
        if (pid_ == 0) {
            if (!freopen(out_.c_str(), "w", stdout) || !freopen(err_.c_str(), "w", stderr))
                _exit(127);
            for (const std::string &e : env)
                putenv(strdup(e.c_str()));
            std::vector<char *> args;
            for (const std::string &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    pid_t pid() const { return pid_; }
    std::string output() const { return zvtest::readFile(out_); }
    // Waits at most a minute until the child's progress shows (a "%" on its
    // standard output); whether it did.
    bool waitForProgress() const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (output().find('%') == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    // Waits at most kChildSeconds; a child still running is killed and the
    // test fails.
    Outcome wait()
    {
        Outcome r;
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kChildSeconds);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                ADD_FAILURE() << "zorvant did not end";
                return r;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = zvtest::readFile(out_);
        r.err = zvtest::readFile(err_);
        return r;
    }

private:
    pid_t pid_;
    std::string out_, err_;
};

// An 8 MiB card image with two FAT partitions made through mkfs.fat at
// their offsets: PART_ONE (sectors 2048..8191) holding ONE.BIN and PART_TWO
// (from sector 8192) holding TWO.BIN.
inline std::string twoPartitionCard(const std::string &path)
{
    zvtest::requireTool("sfdisk");
    zvtest::mustRun("truncate -s 8M " + shellQuote(path));
    zvtest::mustRun("printf 'label: dos\\nstart=2048, size=6144, type=c\\nstart=8192, type=c\\n' | sfdisk -q " +
                    shellQuote(path));
    zvtest::mustRun("mkfs.fat -n PART_ONE --offset=2048 " + shellQuote(path) + " 3072 >/dev/null 2>&1");
    zvtest::mustRun("mkfs.fat -n PART_TWO --offset=8192 " + shellQuote(path) + " 4096 >/dev/null 2>&1");
    zvtest::fatPut(path, "ONE.BIN", zvtest::patternBytes(6000, 1), 0, 2048ull * 512);
    zvtest::fatPut(path, "TWO.BIN", zvtest::patternBytes(7000, 2), 0, 8192ull * 512);
    return path;
}

// The media part of `zorvant list` (before "Scans:").
inline std::string mediaPart(const Outcome &list)
{
    return list.out.substr(0, list.out.find("Scans:"));
}

// The id of the listed medium whose line ends with name ("" when none).
inline std::string idOf(const Outcome &list, const std::string &name)
{
    const std::string media = mediaPart(list);
    std::smatch m;
    const std::regex line("\\n *([0-9]+) +[^\\n]* " + name + "\\n");
    return std::regex_search(media, m, line) ? m[1].str() : "";
}

// Adds bytes that do not compress to the folder of scan 1's found file
// system in the workspace folder home: the next save of it is larger by
// about that much.
inline void padScan(const std::string &home, const std::string &size)
{
    std::string fs_folder;
    for (const auto &e : fs::recursive_directory_iterator(home))
        if (e.is_directory() && e.path().parent_path().filename() == "Scan.01")
            fs_folder = e.path().string();
    ASSERT_FALSE(fs_folder.empty());
    zvtest::mustRun("head -c " + size + " /dev/urandom > " + shellQuote(fs_folder + "/padding"));
}

// The environment that loads the fault library (tests/support/fault_preload.c,
// which tells its settings) into a child run, with settings
// ("ZV_FAULT_...=..."). A sanitizer build's program is told not to insist on
// its runtime being loaded first.
inline std::vector<std::string> faultEnv(const std::vector<std::string> &settings)
{
    std::vector<std::string> env = {std::string("LD_PRELOAD=") + ZV_FAULT_PRELOAD};
    const char *asan = getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr && asan[0] != '\0' ? std::string(asan) + ":" : "") +
                  "verify_asan_link_order=0");
    env.insert(env.end(), settings.begin(), settings.end());
    return env;
}

class ZorvantCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *tool : {"mkfs.fat", "mcopy", "cjpeg"})
            zvtest::requireTool(tool);
        ws = dir / "home";
    }

    std::vector<std::string> argv(const std::vector<std::string> &args, const std::string &workspace = "") const
    {
        std::vector<std::string> all = {ZORVANT_BINARY, "--workspace", workspace.empty() ? ws : workspace};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    Child start(const std::vector<std::string> &args, const std::string &workspace = "",
                const std::vector<std::string> &env = {})
    {
        const std::string folder = dir / ("run" + std::to_string(++runs_));
        fs::create_directories(folder);
        return Child(argv(args, workspace), folder, env);
    }
    Outcome zorvant(const std::vector<std::string> &args, const std::string &workspace = "")
    {
        return start(args, workspace).wait();
    }

    // A FAT32 card: photos written, some deleted, the card quick-formatted
    // and new photos written. Fills photos (name -> bytes) and returns the
    // image path.
    std::string makeCard(const std::string &name, unsigned kib = 64 * 1024)
    {
        const std::string image = dir / name;
        zvtest::makeFat(image, 32, kib);
        zvtest::fatMkdir(image, "DCIM");
        for (int n = 1; n <= 4; n++)
            put(image, "DCIM/OLD" + std::to_string(n) + ".JPG", 320 + 16 * n, 240, n);
        zvtest::fatDelete(image, "DCIM/OLD2.JPG");
        zvtest::mustRun("mkfs.fat -F 32 " + shellQuote(image) + " >/dev/null");
        zvtest::fatMkdir(image, "DCIM");
        put(image, "DCIM/NEW1.JPG", 200, 150, 11);
        return image;
    }
    // A photo into the image's volume at byte offset.
    void put(const std::string &image, const std::string &path, int w, int h, uint32_t seed, uint64_t offset = 0)
    {
        const std::string base = dir / ("photo" + std::to_string(seed));
        zvtest::writeFile(base + ".ppm", zvtest::ppm(w, h, seed));
        zvtest::mustRun("cjpeg -quality 90 -outfile " + shellQuote(base + ".jpg") + " " + shellQuote(base + ".ppm"));
        photos[path] = zvtest::readFile(base + ".jpg");
        zvtest::fatPut(image, path, photos[path], 0, offset);
    }
    // Contents of the regular files below folder, by path relative to it.
    static std::map<std::string, std::string> filesBelow(const std::string &folder)
    {
        std::map<std::string, std::string> out;
        if (fs::exists(folder))
            for (const auto &e : fs::recursive_directory_iterator(folder))
                if (e.is_regular_file())
                    out[fs::relative(e.path(), folder).string()] = zvtest::readFile(e.path().string());
        return out;
    }
    // The scan number the scan printed.
    static std::string scanNumber(const Outcome &r)
    {
        const size_t at = r.out.find("This is scan ");
        if (at == std::string::npos)
            return "";
        return r.out.substr(at + 13, r.out.find('.', at) - at - 13);
    }
    std::set<std::string> photoBytes() const
    {
        std::set<std::string> out;
        for (const auto &[path, bytes] : photos)
            out.insert(bytes);
        return out;
    }
    // A quick scan of a new card.img saved as folder/cards.zvscan (the folder
    // made): the save's path.
    std::string scanAndSaveInto(const std::string &folder)
    {
        const std::string card = makeCard("card.img");
        EXPECT_EQ(zorvant({"scan", "--quick", card}).status, 0);
        fs::create_directories(folder);
        const std::string file = folder + "/cards.zvscan";
        EXPECT_EQ(zorvant({"save", file}).status, 0);
        return file;
    }
    // Scan, tick everything, recover: what came back.
    std::map<std::string, std::string> scanAndRecover(const std::string &target)
    {
        Outcome scan = zorvant({"scan", target});
        EXPECT_EQ(scan.status, 0) << scan.out << scan.err;
        const std::string n = scanNumber(scan);
        EXPECT_EQ(n, "1") << scan.out;
        Outcome sel = zorvant({"select", n});
        EXPECT_EQ(sel.status, 0) << sel.err;
        Outcome rec = zorvant({"recover", n, "--to", dir / "out"});
        EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
        return filesBelow(dir / "out");
    }

    zvtest::TempDir dir;
    std::string ws;
    std::map<std::string, std::string> photos;

private:
    int runs_ = 0;
};

} // namespace zvcli
