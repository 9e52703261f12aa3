// The `zorvant` program run as a user runs it: a child process per
// invocation on card images made at test time (mkfs.fat, mtools, cjpeg) and
// on a loop device; its exit codes, its output and the files it writes.
// Every wait for a child is bounded: a hang fails the test.
#include "app/zorvant_cli_support.h"

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using zvcli::Child;
using zvcli::Outcome;
using zvcli::ZorvantCli;
using zvtest::shellQuote;

// Scan, list, tick and recover in separate runs: every photo whose bytes
// survived comes back byte for byte, the live one also under its name.
TEST_F(ZorvantCli, ScanListSelectRecoverGivesBackThePhotos)
{
    const std::string card = makeCard("card.img");
    const std::map<std::string, std::string> got = scanAndRecover(card);
    const std::string top = "Recovered Files from card.img/";
    ASSERT_EQ(got.count(top + "Found Files/DCIM/NEW1.JPG"), 1u) << got.size();
    EXPECT_EQ(got.at(top + "Found Files/DCIM/NEW1.JPG"), photos.at("DCIM/NEW1.JPG"));
    const std::set<std::string> originals = photoBytes();
    int reconstructed = 0;
    for (const auto &[path, bytes] : got) {
        EXPECT_EQ(originals.count(bytes), 1u) << path << " equals no photo written";
        if (path.rfind(top + "Reconstructed Files/Images/JPEG/", 0) == 0)
            reconstructed++;
    }
    EXPECT_GE(reconstructed, 3); // NEW1 and the old photos it did not overwrite
    // A later run lists the scan with its ticks gone (recovered files are unticked).
    Outcome ls = zorvant({"ls", "-r", "1/Found Files"});
    EXPECT_EQ(ls.status, 0);
    EXPECT_NE(ls.out.find("[ ] -"), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("1/Found Files/DCIM/NEW1.JPG"), std::string::npos) << ls.out;
    Outcome list = zorvant({"list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("card.img"), std::string::npos) << list.out;
    // A named file is recovered alone, beside the first copy under a free name.
    Outcome one = zorvant({"recover", "--to", dir / "out", "1/Found Files/DCIM/NEW1.JPG"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(filesBelow(dir / "out").at(top + "NEW1.JPG"), photos.at("DCIM/NEW1.JPG"));
}

// Files named by path go into the folder of their own scan's card, also
// when another scan is the first in the workspace.
TEST_F(ZorvantCli, NamedFilesGoIntoTheFolderOfTheirOwnCard)
{
    const std::string card = makeCard("card.img");
    const std::string other = dir / "other.img";
    zvtest::makeFat(other, 16, 16384);
    zvtest::fatMkdir(other, "DCIM");
    put(other, "DCIM/OTHER.JPG", 160, 120, 21);
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    ASSERT_EQ(zorvant({"scan", "--quick", other}).status, 0);
    const Outcome rec = zorvant({"recover", "--to", dir / "out", "2/Found Files/DCIM/OTHER.JPG",
                                 "1/Found Files/DCIM/NEW1.JPG"});
    EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
    const std::map<std::string, std::string> want = {
        {"Recovered Files from other.img/OTHER.JPG", photos.at("DCIM/OTHER.JPG")},
        {"Recovered Files from card.img/NEW1.JPG", photos.at("DCIM/NEW1.JPG")}};
    std::set<std::string> names;
    for (const auto &[path, bytes] : filesBelow(dir / "out")) {
        names.insert(path);
        EXPECT_TRUE(want.count(path) == 0 || bytes == want.at(path)) << path << " is not the photo";
    }
    EXPECT_EQ(names, (std::set<std::string>{"Recovered Files from other.img/OTHER.JPG",
                                            "Recovered Files from card.img/NEW1.JPG"}));
}

// The same card as a block device.
TEST_F(ZorvantCli, CardOnALoopDevice)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    const std::string card = makeCard("card.img");
    zvtest::LoopDevice loop(card);
    const std::map<std::string, std::string> got = scanAndRecover(loop.path());
    // The folder is named for the device path, its slashes made underscores.
    const std::string top = "Recovered Files from _dev_" + loop.path().substr(loop.path().rfind('/') + 1) + "/";
    bool named = false;
    for (const auto &[path, bytes] : got) {
        EXPECT_EQ(photoBytes().count(bytes), 1u) << path;
        named = named || (path == top + "Found Files/DCIM/NEW1.JPG" && bytes == photos.at("DCIM/NEW1.JPG"));
    }
    EXPECT_TRUE(named) << got.size();
    // The disk filter hides loop devices (a virtual bus) from the list; the
    // scan of one lists it among the scans only.
    const Outcome list = zorvant({"list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out.substr(0, list.out.find("Scans:")).find(loop.path()), std::string::npos) << list.out;
    // The list does not claim that nothing is known: it says that no card or
    // image is listed, and why a scanned loop device is not.
    EXPECT_EQ(list.out.find("known yet"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.rfind("No card or image file is listed now (loop devices, ", 0), 0u) << list.out;
}

// The card inside disk images (a sparse VMDK written by qemu-img, and the
// own sector-image form is covered by the library tests): the program reads
// the card through the image, so the quick scan lists the card's live photo
// and recovers it byte for byte; the list shows the image at the card's size.
TEST_F(ZorvantCli, CardInsideAVmdkImage)
{
    zvtest::requireTool("qemu-img");
    const std::string card = makeCard("card.img");
    const std::string vmdk = dir / "card.vmdk";
    zvtest::mustRun("qemu-img convert -f raw -O vmdk " + shellQuote(card) + " " + shellQuote(vmdk));
    Outcome scan = zorvant({"scan", "--quick", vmdk});
    ASSERT_EQ(scan.status, 0) << scan.out << scan.err;
    const std::string n = scanNumber(scan);
    Outcome rec = zorvant({"recover", n, "--to", dir / "out", n + "/Found Files/DCIM/NEW1.JPG"});
    EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
    EXPECT_EQ(filesBelow(dir / "out").at("Recovered Files from card.vmdk/NEW1.JPG"), photos.at("DCIM/NEW1.JPG"));
    Outcome list = zorvant({"list"});
    EXPECT_NE(list.out.find(" 64 MB "), std::string::npos) << list.out;
}

// The loop device under a thorough scan goes away (detached, its file
// emptied and its size read again: the medium is gone as when a card leaves
// its reader; the kernel keeps the device itself until the engine closes
// it): the scan ends with the removal's status, and the next run works.
TEST_F(ZorvantCli, DeviceRemovedDuringAScan)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    const std::string big = dir / "big.img";
    zvtest::mustRun("truncate -s 8G " + shellQuote(big));
    zvtest::TestLoop loop(big);
    Child child = start({"scan", loop.path()});
    EXPECT_TRUE(child.waitForProgress()) << "no progress shown";
    loop.detach();
    zvtest::mustRun("truncate -s 0 " + shellQuote(big) + " && losetup -c " + shellQuote(loop.path()));
    const Outcome r = child.wait();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    // A read that failed as the card went, before the scan knew it was gone,
    // is listed too: blocks the scan could not read ([426]).
    EXPECT_TRUE(std::regex_search(
        r.err, std::regex("the medium was removed during the scan: put the card back in and scan again "
                          "\\(-30( \\[426\\])?\\)\n")))
        << r.err;
    const std::string log = zvtest::readFile(ws + "/ZorvantWorkspace/ScanEngineLog.txt");
    // The scan command ends with the removal's status, whether the device
    // event came while it ran ("Device ... removed while state = 1.") or
    // the scan found the card gone by its reads first.
    EXPECT_NE(log.find("CMD Failed (-30)"), std::string::npos) << log;
    const std::string card = makeCard("card.img");
    const Outcome next = zorvant({"scan", "--quick", card});
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    EXPECT_EQ(zorvant({"list"}).status, 0);
}

// Ticks by pattern and partial marks; saved scans loaded into a fresh
// workspace list the same tree with the same ticks.
TEST_F(ZorvantCli, SelectByPatternAndSaveLoadInAFreshWorkspace)
{
    const std::string card = makeCard("card.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    Outcome sel = zorvant({"select", "--pattern", "*.JPG", "1/Found Files"});
    ASSERT_EQ(sel.status, 0) << sel.err;
    const Outcome before = zorvant({"ls", "-r"});
    EXPECT_NE(before.out.find("[x] -"), std::string::npos) << before.out;
    ASSERT_EQ(zorvant({"save", dir / "scans.zvscan"}).status, 0);
    const std::string fresh = dir / "fresh";
    Outcome load = zorvant({"load", dir / "scans.zvscan"}, fresh);
    ASSERT_EQ(load.status, 0) << load.out << load.err;
    const Outcome after = zorvant({"ls", "-r"}, fresh);
    auto tree = [](const std::string &out) { return out.substr(out.find("\n[")); };
    EXPECT_EQ(tree(after.out), tree(before.out));
}

// A pattern matches names without regard to case, as FAT names are: a
// camera's IMG_0001.JPG is ticked by '*.jpg', a lower-case name and a
// non-ASCII one by an upper-case pattern, and --none unticks alike; other
// names stay as they were.
TEST_F(ZorvantCli, SelectByPatternIgnoresCase)
{
    const std::string card = dir / "card.img";
    zvtest::makeFat(card, 32, 64 * 1024);
    zvtest::fatMkdir(card, "DCIM");
    const std::vector<std::string> names = {"IMG_0001.JPG", "img_0002.jpg", "\xC3\x89t\xC3\xA9 \xC3\xA0 Nice.Jpg",
                                            "NOTES.TXT"};
    for (size_t n = 0; n < names.size(); n++)
        zvtest::fatPut(card, "DCIM/" + names[n], zvtest::patternBytes(2000, (uint32_t)n + 1));
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    const std::string top = "1/Found Files/DCIM/";
    // The files `ls` shows ticked.
    auto ticked = [&]() {
        const Outcome ls = zorvant({"ls", "-r", "1/Found Files"});
        EXPECT_EQ(ls.status, 0) << ls.err;
        std::set<std::string> out;
        std::istringstream lines(ls.out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("[x] -", 0) == 0 && line.find(top) != std::string::npos)
                out.insert(line.substr(line.find(top) + top.size()));
        return out;
    };

    Outcome sel = zorvant({"select", "--pattern", "*.jpg", "1/Found Files"});
    ASSERT_EQ(sel.status, 0) << sel.out << sel.err;
    EXPECT_EQ(ticked(), (std::set<std::string>{names[0], names[1], names[2]}));
    sel = zorvant({"select", "--none", "--pattern", "*.JPG", "1/Found Files/DCIM"});
    ASSERT_EQ(sel.status, 0) << sel.out << sel.err;
    EXPECT_EQ(ticked(), std::set<std::string>{});
    // Letters beyond ASCII fold too.
    sel = zorvant({"select", "--pattern", "\xC3\x89T\xC3\x89 \xC3\x80 NICE.*", "1/Found Files"});
    ASSERT_EQ(sel.status, 0) << sel.out << sel.err;
    EXPECT_EQ(ticked(), std::set<std::string>{names[2]});
    // "?" and a bracket stand for one letter, also one of two bytes.
    sel = zorvant({"select", "--none", "--pattern", "?t? [\xC3\x80" "a] nice.jpg", "1/Found Files"});
    ASSERT_EQ(sel.status, 0) << sel.out << sel.err;
    EXPECT_EQ(ticked(), std::set<std::string>{});
    sel = zorvant({"select", "--pattern", "?t? ? nice.jpg", "1/Found Files"});
    ASSERT_EQ(sel.status, 0) << sel.out << sel.err;
    EXPECT_EQ(ticked(), std::set<std::string>{names[2]});
    sel = zorvant({"select", "--pattern", "IMG_*", "1/Found Files"});
    ASSERT_EQ(sel.status, 0) << sel.out << sel.err;
    EXPECT_EQ(ticked(), (std::set<std::string>{names[0], names[1], names[2]}));
    // A pattern that matches nothing still says so.
    sel = zorvant({"select", "--pattern", "*.mov", "1/Found Files"});
    EXPECT_EQ(sel.status, 1) << sel.out;
    EXPECT_NE(sel.err.find("no file below 1/Found Files matches *.mov"), std::string::npos) << sel.err;
    // A pattern that is no UTF-8 text is bad usage, and changes nothing.
    sel = zorvant({"select", "--none", "--pattern", "\xFF*", "1/Found Files"});
    EXPECT_EQ(sel.status, 2) << sel.out;
    EXPECT_NE(sel.err.find("is not UTF-8 text"), std::string::npos) << sel.err;
    EXPECT_EQ(ticked(), (std::set<std::string>{names[0], names[1], names[2]}));
}

// Ctrl-C during a thorough scan: exit 130, the scan dropped, the workspace
// usable by the next run.
TEST_F(ZorvantCli, InterruptedScanLeavesAConsistentWorkspace)
{
    const std::string big = dir / "big.img";
    zvtest::mustRun("truncate -s 8G " + shellQuote(big));
    Child child = start({"scan", big});
    EXPECT_TRUE(child.waitForProgress()) << "no progress shown";
    kill(child.pid(), SIGINT);
    const Outcome r = child.wait();
    EXPECT_EQ(r.status, 130) << r.out << r.err;
    EXPECT_FALSE(fs::exists(ws + "/ZorvantWorkspace/Scan.01"));
    const std::string log = zvtest::readFile(ws + "/ZorvantWorkspace/ScanEngineLog.txt");
    EXPECT_NE(log.find("Scan CMD Aborted"), std::string::npos);
    const std::string card = makeCard("card.img");
    Outcome next = zorvant({"scan", "--quick", card});
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(scanNumber(next), "1");
}

// The signals that end a run (SIGINT, SIGTERM, SIGHUP, SIGQUIT) go to one
// thread that waits for them and does nothing else: every other thread, the
// main one and the engine's, blocks them, so none stuck in a system call can
// hold one unhandled. Read from /proc during a thorough scan: exactly one
// thread leaves them unblocked, it is not the main thread, and it sleeps in a
// system call that waits for signals.
TEST_F(ZorvantCli, EndingSignalsAreLeftToOneThreadThatWaitsForThem)
{
    const std::string big = dir / "big.img";
    zvtest::mustRun("truncate -s 64G " + shellQuote(big));
    Child child = start({"scan", big});
    const bool started = child.waitForProgress();
    const std::string task = "/proc/" + std::to_string(child.pid()) + "/task";
    unsigned long long handled = 0;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        handled |= 1ull << (signal - 1);
    std::vector<std::string> open, partly; // threads leaving all of them unblocked, some of them
    std::string openCall;                  // the first field of the open thread's syscall file
    size_t threads = 0;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(task, ec)) {
        const std::string tid = entry.path().filename().string();
        const std::string status = zvtest::readFile(entry.path().string() + "/status");
        const size_t at = status.find("SigBlk:");
        if (at == std::string::npos)
            continue; // the thread has just ended
        threads++;
        const unsigned long long unblocked = ~std::strtoull(status.c_str() + at + 7, nullptr, 16) & handled;
        if (unblocked == handled) {
            open.push_back(tid);
            std::istringstream(zvtest::readFile(entry.path().string() + "/syscall")) >> openCall;
        } else if (unblocked != 0) {
            partly.push_back(tid);
        }
    }
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    const bool running = waitid(P_PID, (id_t)child.pid(), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
    kill(child.pid(), SIGTERM);
    const Outcome r = child.wait();
    ASSERT_TRUE(started) << "no progress shown";
    ASSERT_TRUE(running) << "the scan ended before its threads were read: " << r.out << r.err;
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_GT(threads, 2u); // the main thread, the signal thread, the engine's
    ASSERT_EQ(open.size(), 1u) << "threads leaving the ending signals unblocked, of " << threads;
    EXPECT_TRUE(partly.empty()) << partly.front();
    EXPECT_NE(open.front(), std::to_string(child.pid())) << "the main thread takes the signals";
    // pause(), or a wait for signals where the system has no pause call.
    std::set<std::string> waits = {std::to_string(SYS_rt_sigsuspend), std::to_string(SYS_rt_sigtimedwait),
                                   std::to_string(SYS_ppoll)};
#ifdef SYS_pause
    waits.insert(std::to_string(SYS_pause));
#endif
    EXPECT_EQ(waits.count(openCall), 1u) << "the thread taking the signals is in system call " << openCall;
    EXPECT_EQ(r.status, 130) << r.out << r.err;
}

// Ctrl-C during a recovery: exit 130, every file under a final name whole
// (no partial file under a final name, no temporary left), and a later
// recovery completes.
TEST_F(ZorvantCli, InterruptedRecoveryLeavesNoPartialFile)
{
    const std::string image = dir / "card.img";
    zvtest::makeFat(image, 32, 512 * 1024);
    std::map<std::string, std::string> originals;
    for (int n = 1; n <= 4; n++) {
        const std::string name = "BIG" + std::to_string(n) + ".BIN";
        const std::string file = dir / name;
        zvtest::mustRun("head -c 100M /dev/urandom > " + shellQuote(file));
        zvtest::mtools("mcopy -i " + zvtest::mtoolsImage(image) + " " + shellQuote(file) + " ::/" + name);
        originals["Found Files/" + name] = zvtest::readFile(file);
    }
    ASSERT_EQ(zorvant({"scan", "--quick", image}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    const std::string target = dir / "out/Recovered Files from card.img";
    Child child = start({"recover", "1", "--to", dir / "out"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool partial = false;
    while (!partial && std::chrono::steady_clock::now() < deadline) {
        if (fs::exists(target))
            for (const auto &e : fs::recursive_directory_iterator(target))
                partial = partial || e.path().filename().string().rfind(".zv-partial-", 0) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(partial) << "the recovery never started writing";
    kill(child.pid(), SIGINT);
    const Outcome r = child.wait();
    EXPECT_EQ(r.status, 130) << r.out << r.err;
    const std::map<std::string, std::string> left = filesBelow(target);
    EXPECT_LT(left.size(), originals.size());
    for (const auto &[path, bytes] : left) {
        ASSERT_EQ(originals.count(path), 1u) << "left behind: " << path;
        EXPECT_TRUE(bytes == originals.at(path)) << path << " is not whole";
    }
    const Outcome again = zorvant({"recover", "1", "--to", dir / "out"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(filesBelow(target) == originals);
}

// Bad input: a clear message on standard error, a non-zero exit, no crash.
TEST_F(ZorvantCli, BadInputGivesAClearErrorAndNonZeroExit)
{
    fs::create_directories(dir / "folder");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    zvtest::writeFile(dir / "empty.img", "");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *text;
    };
    const Case cases[] = {
        {{"scan", dir / "missing.img"}, 1, "No such file"},
        {{"scan", dir / "folder"}, 1, "folder"},
        {{"scan", dir / "fifo"}, 1, "neither a regular file nor a block device"},
        {{"scan", dir / "empty.img"}, 1, "empty"},
        {{"scan"}, 2, "TARGET"},
        {{"frobnicate"}, 2, "unknown command"},
        {{"scan", "--fast", dir / "empty.img"}, 2, "unknown option"},
        {{"--verbose", "list"}, 2, "unknown option"},
        {{"ls", "9/Found Files"}, 1, "no scan 9"},
        {{"recover", "--to"}, 2, "needs a value"},
        {{"load", dir / "missing.zvscan"}, 1, "can't read"},
        {{"load", dir / "folder"}, 1, "can't load"},
    };
    for (const Case &c : cases) {
        const Outcome r = zorvant(c.args);
        std::string line;
        for (const std::string &a : c.args)
            line += a + " ";
        EXPECT_EQ(r.status, c.status) << line << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << line << r.err;
    }
}

// A device the user may not read: run as "nobody".
TEST_F(ZorvantCli, DeviceWithoutPermission)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    zvtest::requireTool("setpriv");
    const std::string card = makeCard("card.img");
    zvtest::LoopDevice loop(card);
    const std::string home = dir / "nobody";
    fs::create_directories(home);
    zvtest::mustRun("chown nobody " + shellQuote(home) + " && chmod 755 " + shellQuote(dir.path()));
    const std::string folder = dir / "nobody-run";
    fs::create_directories(folder);
    zvtest::mustRun("chmod 777 " + shellQuote(folder));
    Child child({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", ZORVANT_BINARY, "--workspace",
                 home, "scan", loop.path()},
                folder);
    const Outcome r = child.wait();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
}

TEST_F(ZorvantCli, HelpNamesEverySubcommand)
{
    const Outcome r = zorvant({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char *word : {"list", "scan", "ls", "select", "recover", "save", "load", "--workspace", "130"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    // What a second signal leaves of a save under way.
    EXPECT_NE(r.out.find("a save under way as its temporary\n\".NAME.zv-partial-...\" beside FILE (FILE untouched, or, "
                         "when the save had\njust ended, already the whole new save)"),
              std::string::npos)
        << r.out;
    // A closing terminal's hang-up is no second signal.
    EXPECT_NE(r.out.find("a closing terminal's repeated SIGHUP counts once"), std::string::npos) << r.out;
    // Every line fits a terminal 80 columns wide.
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 80u) << line;
    EXPECT_EQ(zorvant({}).status, 2);
}

} // namespace
