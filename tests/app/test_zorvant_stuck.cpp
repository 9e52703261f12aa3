// The `zorvant` program stuck in a system call: a command whose card image or
// recovery folder lies on a FUSE mount whose server has stopped answering
// (as a hung network or FUSE target does) cannot reach the abort the first
// signal asks for. A second SIGTERM or SIGINT ends it at once (exit 130),
// leaving what a killed run leaves, and the workspace serves the next
// command. The server is fuse2fs over an ext4 image, stopped with SIGSTOP.
// Scans, recoveries and saves are stuck that way.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "app/zorvant_cli_support.h"

namespace {

namespace fs = std::filesystem;
using zvcli::Child;
using zvcli::has;
using zvcli::Outcome;
using zvtest::shellQuote;

// Bound on a wait for something that happens at once on a sound run.
constexpr auto kBound = std::chrono::seconds(30);

// An ext4 image served by fuse2fs in the foreground, a child of the test:
// while the server is stopped every request to the mount hangs. Resumed,
// unmounted and its server waited for on destruction.
class StoppableFuse {
public:
    StoppableFuse(const std::string &image, const std::string &point) : point_(fs::absolute(point).string())
    {
        zvtest::requireTool("fuse2fs");
        zvtest::requireTool("mkfs.ext4");
        zvtest::mustRun("truncate -s 12G " + shellQuote(image) + " && mkfs.ext4 -q -F " + shellQuote(image));
        fs::create_directories(point_);
        server_ = fork();
        if (server_ == 0) {
            if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr))
                _exit(127);
            execlp("fuse2fs", "fuse2fs", "-f", image.c_str(), point_.c_str(), (char *)nullptr);
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (!mounted()) {
            if (std::chrono::steady_clock::now() > deadline || waitpid(server_, nullptr, WNOHANG) != 0)
                throw std::runtime_error("fuse2fs did not mount " + point_);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~StoppableFuse()
    {
        resume();
        zvtest::run("umount " + shellQuote(point_) + " 2>/dev/null || umount -l " + shellQuote(point_));
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (waitpid(server_, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(server_, SIGKILL);
                waitpid(server_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    StoppableFuse(const StoppableFuse &) = delete;
    StoppableFuse &operator=(const StoppableFuse &) = delete;

    const std::string &point() const { return point_; }
    void stop() { kill(server_, SIGSTOP); }
    void resume() { kill(server_, SIGCONT); }

private:
    bool mounted() const
    {
        std::ifstream in("/proc/self/mountinfo");
        for (std::string line; std::getline(in, line);)
            if (has(line, " " + point_ + " "))
                return true;
        return false;
    }

    std::string point_;
    pid_t server_ = -1;
};

// What a file below /proc holds; "" when it cannot be read (a thread that
// has just ended, a process gone).
std::string procText(const std::string &path)
{
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, (size_t)n);
    close(fd);
    return text;
}

// Whether a thread of the process waits in the kernel on the mount at
// point: its kernel stack passes through the FUSE file system (a lookup, a
// write), or it sleeps in a system call on a descriptor of a file there (a
// read waiting for the page the server is to fill).
bool waitsOnMount(pid_t pid, const std::string &point)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code ec;
    for (const auto &task : fs::directory_iterator(proc + "/task", ec)) {
        if (has(procText(task.path().string() + "/stack"), "fuse_"))
            return true;
        // "number first-argument ..." while blocked in a system call.
        std::istringstream call(procText(task.path().string() + "/syscall"));
        std::string number, first;
        if (!(call >> number >> first) || number == "running" || number == "-1")
            continue;
        const std::string descriptor = proc + "/fd/" + std::to_string(std::strtoull(first.c_str(), nullptr, 16));
        const fs::path file = fs::read_symlink(descriptor, ec);
        if (!ec && file.string().rfind(point + "/", 0) == 0)
            return true;
    }
    return false;
}

// Waits (bounded) until a thread of the child waits on the mount at point;
// whether one did.
bool stuckOn(const Child &child, const std::string &point)
{
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (!waitsOnMount(child.pid(), point)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Kills a child still running when the test leaves early (a failed
// assertion), so that nothing stays behind on the mount; the server is
// resumed first, as a thread of the child may wait for its answer.
class KillOnExit {
public:
    KillOnExit(const Child &child, StoppableFuse &fuse) : pid_(child.pid()), fuse_(fuse) {}
    ~KillOnExit()
    {
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            fuse_.resume();
            waitpid(pid_, nullptr, 0);
        }
    }
    void release() { pid_ = -1; }
    KillOnExit(const KillOnExit &) = delete;
    KillOnExit &operator=(const KillOnExit &) = delete;

private:
    pid_t pid_;
    StoppableFuse &fuse_;
};

// Whether the child ends within the time given: it has exited, or it is
// being killed (every thread it has left is exiting, or has SIGKILL pending
// while it waits for the answer to a request the server took before it was
// stopped, which the kernel lets no thread leave). The child stays to be
// waited for.
bool ends(const Child &child, std::chrono::milliseconds within)
{
    const std::string proc = "/proc/" + std::to_string(child.pid());
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        if (waitid(P_PID, (id_t)child.pid(), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child.pid())
            return true;
        bool killed = true;
        std::error_code ec;
        for (const auto &task : fs::directory_iterator(proc + "/task", ec)) {
            // Field 9 of stat, after the name in parentheses: the flags,
            // 0x4 (PF_EXITING) once the thread is on its way out.
            const std::string stat = procText(task.path().string() + "/stat");
            const size_t name = stat.rfind(')');
            if (name == std::string::npos)
                continue; // the thread has ended
            std::istringstream fields(stat.substr(name + 1));
            std::string field;
            unsigned long flags = 0;
            for (int n = 3; n <= 9 && fields >> field; n++)
                if (n == 9)
                    flags = std::stoul(field);
            // The thread's own pending signals, in hexadecimal.
            const std::string status = procText(task.path().string() + "/status");
            const size_t at = status.find("SigPnd:");
            const unsigned long long pending =
                at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + 7, nullptr, 16);
            killed = killed && ((flags & 0x4) != 0 || (pending & (1ull << (SIGKILL - 1))) != 0);
        }
        if (killed && !ec)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

class ZorvantCliStuck : public zvcli::ZorvantCli {
protected:
    void SetUp() override
    {
        ZorvantCli::SetUp();
        zvtest::requireTool("fuse2fs");
        ASSERT_TRUE(fs::exists("/proc/self/stack")) << "the kernel does not show the threads' stacks";
    }
    // The first signal leaves the stuck command running, which says it is
    // stopping; the second ends it at once. With listWhileStuck, a `list`
    // before the server answers again finds the workspace free, also while
    // a thread of the command still waits on the mount. Its outcome once
    // the server answers again.
    Outcome signalTwice(Child &child, KillOnExit &guard, StoppableFuse &fuse, int signal, bool listWhileStuck = false)
    {
        kill(child.pid(), signal);
        EXPECT_FALSE(ends(child, std::chrono::milliseconds(1000))) << strsignal(signal) << ": ended by the first";
        kill(child.pid(), signal);
        EXPECT_TRUE(ends(child, kBound)) << strsignal(signal) << ": the second did not end it";
        if (listWhileStuck) {
            const Outcome list = zorvant({"list"});
            EXPECT_EQ(list.status, 0) << list.out << list.err;
        }
        fuse.resume();
        const Outcome r = child.wait();
        guard.release();
        EXPECT_EQ(r.status, 130) << strsignal(signal) << ": " << r.out << r.err;
        EXPECT_TRUE(has(r.err, "zorvant: stopping; a card, image or folder that does not answer can hold it up: a "
                               "second Ctrl-C (or SIGTERM) ends zorvant at once\n\nzorvant: ended at once by a second signal"))
            << r.err;
        return r;
    }
};

// A thorough scan of an image on the mount hangs in a read once the server
// stops. SIGTERM (then, separately, SIGINT, and SIGHUP a second after
// SIGHUP) twice ends it: the scan is left as a killed run leaves it, listed
// as unfinished, and it can be deleted; the next scan is not refused by the
// workspace lock.
TEST_F(ZorvantCliStuck, SecondSignalEndsAScanStuckInARead)
{
    StoppableFuse fuse(dir / "ext.img", dir / "mnt");
    const std::string image = dir / "mnt/big.img";
    zvtest::mustRun("truncate -s 8G " + shellQuote(image));
    const std::string card = makeCard("card.img");
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        ws = dir / ("home-" + std::to_string(signal));
        Child child = start({"scan", image});
        KillOnExit guard(child, fuse);
        ASSERT_TRUE(child.waitForProgress()) << "the scan never started";
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (!fs::exists(ws + "/ZorvantWorkspace/Scan.01/context") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        fuse.stop();
        ASSERT_TRUE(stuckOn(child, fuse.point())) << "the scan never waited on the mount";
        const Outcome r = signalTwice(child, guard, fuse, signal);
        EXPECT_FALSE(has(r.out, "Scan aborted")) << r.out;

        const Outcome list = zorvant({"list"});
        EXPECT_EQ(list.status, 0) << list.err;
        EXPECT_TRUE(has(list.out, "  1   thorough  unfinished")) << list.out;
        const Outcome next = zorvant({"scan", "--quick", card});
        EXPECT_EQ(next.status, 0) << next.out << next.err;
        EXPECT_EQ(scanNumber(next), "2") << next.out;
        EXPECT_EQ(zorvant({"delete", "1"}).status, 0);
    }
}

// A recovery into a folder on the mount hangs in a write once the server
// stops. SIGINT twice ends it and frees the workspace at once, while a
// thread of it still waits for the server: no file under a real name is
// partial (the one being copied keeps its temporary name, as a killed run
// leaves it), and the next recovery into the folder completes every file.
TEST_F(ZorvantCliStuck, SecondSignalEndsARecoveryStuckInAWrite)
{
    StoppableFuse fuse(dir / "ext.img", dir / "mnt");
    const std::string card = dir / "card.img";
    zvtest::makeFat(card, 32, 512 * 1024);
    std::map<std::string, std::string> originals;
    for (int n = 1; n <= 2; n++) {
        const std::string name = "BIG" + std::to_string(n) + ".BIN";
        const std::string file = dir / name;
        zvtest::mustRun("head -c 128M /dev/urandom > " + shellQuote(file));
        zvtest::mtools("mcopy -i " + zvtest::mtoolsImage(card) + " " + shellQuote(file) + " ::/" + name);
        originals["Found Files/" + name] = zvtest::readFile(file);
        fs::remove(file);
    }
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    const std::string out = dir / "mnt/out";
    const std::string target = out + "/Recovered Files from card.img";
    Child child = start({"recover", "1", "--to", out});
    KillOnExit guard(child, fuse);
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    bool partial = false;
    while (!partial && std::chrono::steady_clock::now() < deadline) {
        std::error_code ec;
        for (const auto &e : fs::recursive_directory_iterator(target, ec))
            partial = partial || e.path().filename().string().rfind(".zv-partial-", 0) == 0;
        if (!partial)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    fuse.stop();
    ASSERT_TRUE(partial) << "the recovery never started writing";
    ASSERT_TRUE(stuckOn(child, fuse.point())) << "the recovery never waited on the mount";
    signalTwice(child, guard, fuse, SIGINT, true);

    std::map<std::string, std::string> left = filesBelow(target);
    EXPECT_LT(left.size(), originals.size() + 1);
    for (const auto &[path, bytes] : left) {
        if (fs::path(path).filename().string().rfind(".zv-partial-", 0) == 0)
            continue; // what a killed run leaves
        ASSERT_EQ(originals.count(path), 1u) << "left behind: " << path;
        EXPECT_TRUE(bytes == originals.at(path)) << path << " is not whole";
    }
    const Outcome again = zorvant({"recover", "1", "--to", out});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    left = filesBelow(target);
    for (auto it = left.begin(); it != left.end();)
        it = fs::path(it->first).filename().string().rfind(".zv-partial-", 0) == 0 ? left.erase(it) : std::next(it);
    EXPECT_TRUE(left == originals) << left.size();
}

// A save onto the mount hangs in a write of its temporary file once the
// server stops. SIGTERM twice ends it: the earlier save of that name is
// untouched, its temporary ".NAME.zv-partial-..." stays beside it (as the
// help and the message say), and the next save replaces the earlier one.
TEST_F(ZorvantCliStuck, SecondSignalEndsASaveStuckInAWrite)
{
    StoppableFuse fuse(dir / "ext.img", dir / "mnt");
    const std::string saves = dir / "mnt/saves";
    const std::string file = scanAndSaveInto(saves);
    ASSERT_FALSE(HasFailure());
    const std::string earlier = zvtest::readFile(file);
    // Bytes that do not compress: the next save writes long enough to be
    // caught while it writes.
    zvcli::padScan(ws, "48M");

    // The save's temporary files in the folder (listed only while the
    // server answers).
    auto temporaries = [&] {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto &e : fs::directory_iterator(saves, ec))
            if (e.path().filename().string().rfind(".cards.zvscan.zv-partial-", 0) == 0)
                out.push_back(e.path().string());
        return out;
    };
    Child child = start({"save", file});
    KillOnExit guard(child, fuse);
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    std::vector<std::string> writing;
    while ((writing = temporaries()).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fuse.stop();
    ASSERT_EQ(writing.size(), 1u) << "the save never started writing";
    ASSERT_TRUE(stuckOn(child, fuse.point())) << "the save never waited on the mount";
    const Outcome r = signalTwice(child, guard, fuse, SIGTERM); // the server answers again after it
    EXPECT_TRUE(has(r.err, "a save leaves the file it was to replace either untouched, its temporary file beside it, or "
                           "already replaced whole by the new save"))
        << r.err;

    EXPECT_EQ(zvtest::readFile(file), earlier);
    EXPECT_EQ(temporaries(), writing);
    const Outcome again = zorvant({"save", file});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_GT(zvtest::readFile(file).size(), earlier.size() + 40 * 1024 * 1024);
}

} // namespace
