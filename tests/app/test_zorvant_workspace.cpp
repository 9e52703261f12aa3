// The workspace as several runs of the program share it: one command at a
// time, scans whose run was killed, signals that end a run, a workspace
// that refuses writes, and one on the card it reads.
#include <signal.h>
#include <sys/stat.h>

#include <regex>

#include "app/card_mounts_support.h"
#include "app/zorvant_cli_support.h"

namespace {

using zvcli::Child;
using zvcli::has;
using zvcli::Outcome;
using zvtest::shellQuote;
namespace fs = std::filesystem;

class ZorvantCliWorkspace : public zvcli::ZorvantCli {
protected:
    // A thorough scan of a large empty image, started and under way.
    Child startLongScan()
    {
        const std::string big = dir / "big.img";
        if (!fs::exists(big))
            zvtest::mustRun("truncate -s 8G " + shellQuote(big));
        Child child = start({"scan", big});
        EXPECT_TRUE(child.waitForProgress()) << "the scan never started";
        // Under way: the scan has saved itself as started.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!fs::exists(workspace() + "/Scan.01/context") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return child;
    }
    std::string workspace() const { return ws + "/ZorvantWorkspace"; }
    // A message of the program on standard error that gives the cause.
    static bool saysWhy(const std::string &err, const std::string &cause)
    {
        for (size_t at = 0; (at = err.find("zorvant: ", at)) != std::string::npos; at++)
            if (err.substr(at, err.find('\n', at) - at).find(cause) != std::string::npos)
                return true;
        return false;
    }
};

// While a scan runs, every other command on its workspace is refused at
// once, naming the process, and changes nothing; after it the workspace
// holds the first scan only and serves the next command.
TEST_F(ZorvantCliWorkspace, SecondCommandIsRefusedWhileOneRuns)
{
    const std::string card = makeCard("card.img");
    Child first = startLongScan();
    const std::string pid = std::to_string(first.pid());
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"scan", "--quick", card}, {"list"}, {"delete", "1"}, {"select", "1"}}) {
        const Outcome r = zorvant(args);
        EXPECT_EQ(r.status, 1) << args[0] << ": " << r.out << r.err;
        EXPECT_NE(r.err.find("in use by process " + pid), std::string::npos) << args[0] << ": " << r.err;
        EXPECT_EQ(r.out, "") << args[0];
    }
    EXPECT_FALSE(fs::exists(workspace() + "/Scan.02"));
    kill(first.pid(), SIGQUIT); // ends early, keeping the scan
    const Outcome done = first.wait();
    EXPECT_LT(done.status, 128) << done.out << done.err;
    EXPECT_FALSE(fs::exists(workspace() + "/Scan.02"));
    const Outcome next = zorvant({"scan", "--quick", card});
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    EXPECT_EQ(scanNumber(next), "2");
    const Outcome list = zorvant({"list"});
    EXPECT_NE(list.out.find("big.img"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("card.img"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("unfinished"), std::string::npos) << list.out;
}

// A scan whose process was killed stays in the workspace as unfinished (or
// not kept: which of the two is not known later), with its card and start
// time; nothing of it can be ticked or recovered, and deleting it works. A
// slot folder left without anything saved in it counts as unfinished too.
TEST_F(ZorvantCliWorkspace, KilledScanIsShownUnfinished)
{
    Child child = startLongScan();
    kill(child.pid(), SIGKILL);
    EXPECT_EQ(child.wait().status, 128 + SIGKILL);
    const Outcome list = zorvant({"list"});
    EXPECT_EQ(list.status, 0) << list.err;
    const size_t line = list.out.find("  1   thorough  unfinished");
    ASSERT_NE(line, std::string::npos) << list.out;
    const std::string scan = list.out.substr(line, list.out.find('\n', line) - line);
    EXPECT_NE(scan.find("big.img"), std::string::npos) << scan;
    EXPECT_EQ(scan.find("  -  "), std::string::npos) << "no start time: " << scan;
    const Outcome sel = zorvant({"select", "1"});
    EXPECT_EQ(sel.status, 1) << sel.out;
    EXPECT_NE(sel.err.find("scan 1 is unfinished or was not kept"), std::string::npos) << sel.err;
    const Outcome rec = zorvant({"recover", "1", "--to", dir / "out"});
    EXPECT_EQ(rec.status, 1) << rec.out;
    EXPECT_NE(rec.err.find("scan 1 is unfinished or was not kept"), std::string::npos) << rec.err;
    EXPECT_EQ(rec.out.find("Recovering into"), std::string::npos) << rec.out;
    const Outcome ls = zorvant({"ls", "1"});
    EXPECT_EQ(ls.status, 1) << ls.out;
    EXPECT_NE(ls.err.find("scan 1 is unfinished or was not kept"), std::string::npos) << ls.err;
    EXPECT_FALSE(fs::exists(dir / "out"));

    fs::create_directories(workspace() + "/Scan.02");
    const Outcome empty = zorvant({"list"});
    const size_t second = empty.out.find("\n  2   ", empty.out.find("Scans:"));
    ASSERT_NE(second, std::string::npos) << empty.out;
    EXPECT_NE(empty.out.substr(second, empty.out.find('\n', second + 1) - second).find("unfinished"),
              std::string::npos)
        << empty.out;
    EXPECT_EQ(zorvant({"delete", "1"}).status, 0);
    EXPECT_EQ(zorvant({"delete", "2"}).status, 0);
    EXPECT_NE(zorvant({"list"}).out.find("No scans in the workspace."), std::string::npos);
    EXPECT_FALSE(fs::exists(workspace() + "/Scan.01"));
}

// A scan whose process is killed after its slot was made and before it
// reads the card is still listed unfinished with its card and start time:
// the slot holds them from its first moment. The kill comes at a fixed
// point: strace sends SIGKILL at the first system call that names the
// folder of the scan's store, which the scan makes while it is being set
// up, before its first read.
TEST_F(ZorvantCliWorkspace, ScanKilledBeforeItReadsIsShownUnfinished)
{
    zvtest::requireTool("strace");
    const std::string card = makeCard("card.img");
    const std::string store = workspace() + "/Scan.01/CBR.1";
    std::vector<std::string> traced = {"strace", "-f", "-qq", "-o", "/dev/null", "-P", store,
                                       "-e", "inject=all:signal=KILL"};
    const std::vector<std::string> program = argv({"scan", card});
    traced.insert(traced.end(), program.begin(), program.end());
    const std::string folder = dir / "traced";
    fs::create_directories(folder);
    const Outcome killed = Child(traced, folder).wait();
    ASSERT_EQ(killed.status, 128 + SIGKILL) << "not killed where the store is made: " << killed.out << killed.err;
    EXPECT_FALSE(fs::exists(store));

    const Outcome list = zorvant({"list"});
    EXPECT_EQ(list.status, 0) << list.err;
    const size_t line = list.out.find("  1   thorough  unfinished");
    ASSERT_NE(line, std::string::npos) << list.out;
    const std::string scan = list.out.substr(line, list.out.find('\n', line) - line);
    EXPECT_NE(scan.find("card.img"), std::string::npos) << scan;
    EXPECT_TRUE(std::regex_search(scan, std::regex(R"(  \d{4}-\d\d-\d\d \d\d:\d\d  )"))) << "no start time: " << scan;
    const Outcome rec = zorvant({"recover", "1", "--to", dir / "out"});
    EXPECT_EQ(rec.status, 1) << rec.out;
    EXPECT_NE(rec.err.find("scan 1 is unfinished or was not kept"), std::string::npos) << rec.err;
    EXPECT_FALSE(fs::exists(dir / "out"));
}

// SIGTERM and SIGHUP (a closed terminal) abort a scan as Ctrl-C does: exit
// 130, nothing kept, the workspace ready for the next run. A closing
// terminal sends SIGHUP twice, a moment apart (fault guarded: the second
// was taken for a second signal, which ends the program at once and left
// the scan listed unfinished).
TEST_F(ZorvantCliWorkspace, TermAndHangupAbortCleanly)
{
    for (const std::vector<int> &signals : std::vector<std::vector<int>>{{SIGTERM}, {SIGHUP}, {SIGHUP, SIGHUP}}) {
        const int signal = signals[0];
        SCOPED_TRACE(signals.size());
        Child child = startLongScan();
        for (int sent : signals) {
            kill(child.pid(), sent);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const Outcome r = child.wait();
        EXPECT_EQ(r.status, 130) << strsignal(signal) << ": " << r.out << r.err;
        EXPECT_NE(r.out.find("Scan aborted; nothing was kept."), std::string::npos) << r.out;
        EXPECT_FALSE(fs::exists(workspace() + "/Scan.01")) << strsignal(signal);
        const Outcome list = zorvant({"list"});
        EXPECT_EQ(list.status, 0) << list.err;
        EXPECT_NE(list.out.find("No scans in the workspace."), std::string::npos) << list.out;
    }
}

// A lock file that is not a regular file is refused, never followed nor
// written: a link to a file elsewhere (symbolic or hard) leaves that file as
// it was, and a FIFO at the name makes the command fail at once instead of
// locking it.
TEST_F(ZorvantCliWorkspace, LockFileThatIsNoRegularFileIsRefused)
{
    ASSERT_EQ(zorvant({"list"}).status, 0); // makes the workspace folder
    const std::string lock = workspace() + "/zorvant.lock";
    const std::string victim = dir / "victim.txt";
    zvtest::writeFile(victim, "keep me\n");
    fs::remove(lock);
    fs::create_symlink(victim, lock);
    const Outcome linked = zorvant({"list"});
    EXPECT_EQ(linked.status, 1) << linked.out << linked.err;
    EXPECT_TRUE(saysWhy(linked.err, "zorvant.lock")) << linked.err;
    EXPECT_EQ(zvtest::readFile(victim), "keep me\n");

    fs::remove(lock); // a hard link: the file's other name keeps its bytes
    fs::create_hard_link(victim, lock);
    const Outcome hard = zorvant({"list"});
    EXPECT_EQ(hard.status, 1) << hard.out << hard.err;
    EXPECT_TRUE(saysWhy(hard.err, "is a hard link to another file")) << hard.err;
    EXPECT_EQ(zvtest::readFile(victim), "keep me\n");

    fs::remove(lock);
    ASSERT_EQ(mkfifo(lock.c_str(), 0644), 0);
    const Outcome fifo = zorvant({"list"});
    EXPECT_EQ(fifo.status, 1) << fifo.out << fifo.err;
    EXPECT_TRUE(saysWhy(fifo.err, "is not a regular file")) << fifo.err;
    EXPECT_EQ(fifo.out, "");
}

// Fault guarded: a relative workspace in a current folder that was removed
// (under the shell that starts zorvant) had the lock look for the folders
// to make without end. It fails at once, naming the folder.
TEST_F(ZorvantCliWorkspace, RelativeWorkspaceInARemovedFolderFails)
{
    fs::create_directories(dir / "run-gone");
    Child child({"bash", "-c", "cd " + shellQuote(dir.path()) + " && mkdir gone && cd gone && rmdir ../gone && exec " +
                                   shellQuote(ZORVANT_BINARY) + " --workspace rel list"},
                dir / "run-gone");
    const Outcome r = child.wait();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.err, "zorvant: can't tell where the workspace folder rel is: No such file or directory"))
        << r.err;
}

// A workspace that refuses writes: each command that must write says why
// and exits 1, and nothing it claimed shows up once the workspace can be
// written again; reading commands work.
TEST_F(ZorvantCliWorkspace, ReadOnlyWorkspaceRefusalsAreReported)
{
    ASSERT_EQ(geteuid(), 0u) << "mounts need root";
    const std::string card = makeCard("card.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    ASSERT_EQ(zorvant({"save", dir / "scans.zvscan"}).status, 0);
    zvtest::Mount mount = zvtest::Mount::bind(ws, ws);
    mount.setReadOnly(true);

    const Outcome list = zorvant({"list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("  1   quick     done"), std::string::npos) << list.out;
    EXPECT_EQ(zorvant({"ls", "-r", "1"}).status, 0);
    const char *refused = "Read-only file system";
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"select", "1"},
             {"select", "--pattern", "*.JPG", "1/Found Files"},
             {"scan", "--quick", card},
             {"delete", "1"},
             {"load", dir / "scans.zvscan"}}) {
        const Outcome r = zorvant(args);
        EXPECT_EQ(r.status, 1) << args[0] << ": " << r.out << r.err;
        EXPECT_TRUE(saysWhy(r.err, refused)) << args[0] << ": " << r.err;
        EXPECT_EQ(r.out.find("Ticked"), std::string::npos) << r.out;
        EXPECT_EQ(r.err.find("no free scan slot"), std::string::npos) << r.err;
    }

    mount.setReadOnly(false);
    const Outcome after = zorvant({"ls", "-r"});
    EXPECT_EQ(after.out.find("[x]"), std::string::npos) << after.out;
    EXPECT_NE(after.out.find("1/Found Files/DCIM/NEW1.JPG"), std::string::npos) << after.out;
    EXPECT_EQ(after.out.find("\n  2 "), std::string::npos) << after.out;

    // A recovery is written, but the workspace cannot keep that its files
    // were recovered (their ticks cleared).
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    mount.setReadOnly(true);
    const Outcome rec = zorvant({"recover", "1", "--to", dir / "out"});
    EXPECT_EQ(rec.status, 1) << rec.out << rec.err;
    EXPECT_TRUE(saysWhy(rec.err, refused)) << rec.err;
    EXPECT_EQ(filesBelow(dir / "out").size(), 1u) << rec.out;
}

// A workspace on a read-only mount recognises media as a writable one does:
// the scan of a partition finds its partition (file system and name) and
// recovers from it, and a scan of it by id names it. What it cannot keep is
// said, and only that: a recovery that recovered nothing says no word of
// ticks; `attach` fails naming the scan it could not keep; a run that only
// lists warns that the media ids were not kept and exits 0, and so does a
// run that named a new image whose entry was kept before a later save of
// the settings failed.
TEST_F(ZorvantCliWorkspace, ReadOnlyWorkspaceRecognisesMedia)
{
    ASSERT_EQ(geteuid(), 0u) << "mounts need root";
    const std::string card = zvcli::twoPartitionCard(dir / "cardC.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    const std::string two = zvcli::idOf(zorvant({"list"}), "PART_TWO");
    ASSERT_FALSE(two.empty());
    const Outcome part = zorvant({"scan", "--quick", two});
    ASSERT_EQ(scanNumber(part), "2") << part.out << part.err;
    ASSERT_EQ(zorvant({"select", "2"}).status, 0);
    const std::string other = dir / "other.img", renamed = dir / "renamed.img";
    zvtest::makeFat(other, 16, 16384, "-n OTHER");
    zvtest::fatPut(other, "OTHER.BIN", zvtest::patternBytes(5000, 3));
    ASSERT_EQ(scanNumber(zorvant({"scan", "--quick", other})), "3");
    fs::rename(other, renamed);
    zvtest::Mount mount = zvtest::Mount::bind(ws, ws);
    mount.setReadOnly(true);

    const Outcome list = zorvant({"list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(zvcli::idOf(list, "PART_TWO"), two) << list.out;
    const size_t at = list.out.find("\n  2   ", list.out.find("Scans:"));
    ASSERT_NE(at, std::string::npos) << list.out;
    const std::string line = list.out.substr(at + 1, list.out.find('\n', at + 1) - at - 1);
    EXPECT_NE(line.find(" done "), std::string::npos) << line;
    EXPECT_EQ(line.find("not attached"), std::string::npos) << line;
    const Outcome again = zorvant({"scan", "--quick", two});
    EXPECT_EQ(again.status, 1) << again.out << again.err;
    EXPECT_EQ(again.out.rfind("Scanning PART_TWO of cardC.img (quick scan)\n", 0), 0u) << again.out;
    EXPECT_TRUE(saysWhy(again.err, "Read-only file system")) << again.err;

    // The partition's file is recovered; only its tick stays.
    const Outcome rec = zorvant({"recover", "2", "--to", dir / "out"});
    EXPECT_EQ(rec.status, 1) << rec.out << rec.err;
    EXPECT_TRUE(saysWhy(rec.err, "refused to keep which files were recovered")) << rec.err;
    const std::map<std::string, std::string> got = filesBelow(dir / "out");
    ASSERT_EQ(got.size(), 1u) << rec.out << rec.err;
    EXPECT_TRUE(got.begin()->second == zvtest::patternBytes(7000, 2)) << got.begin()->first;
    // Nothing recovered (the target refuses too): nothing to keep, and no word of it.
    const std::string target = dir / "target";
    fs::create_directories(target);
    zvtest::Mount target_mount = zvtest::Mount::bind(target, target);
    target_mount.setReadOnly(true);
    const Outcome none = zorvant({"recover", "2", "--to", target});
    EXPECT_EQ(none.status, 1) << none.out << none.err;
    EXPECT_TRUE(saysWhy(none.err, "Read-only file system")) << none.err;
    EXPECT_EQ(none.err.find("refused to keep which files"), std::string::npos) << none.err;

    // The renamed image is the medium of scan 3 for this run only.
    const Outcome attach = zorvant({"attach", renamed});
    EXPECT_EQ(attach.status, 1) << attach.out << attach.err;
    EXPECT_TRUE(saysWhy(attach.err, "refused to keep that scan 3 reads " + renamed)) << attach.err;
    EXPECT_EQ(attach.out, "");

    // The card's layout changed: the new partition's id can't be kept, which
    // a run that only lists tells and gets past.
    zvtest::mustRun("rm -f " + shellQuote(card) + " && truncate -s 8M " + shellQuote(card));
    zvtest::mustRun("printf 'label: dos\\nstart=4096, type=c\\n' | sfdisk -q " + shellQuote(card));
    zvtest::mustRun("mkfs.fat -n MOVED --offset=4096 " + shellQuote(card) + " 6144 >/dev/null 2>&1");
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{{"list"}, {"ls"}}) {
        const Outcome r = zorvant(args);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.out << r.err;
        EXPECT_TRUE(has(r.err, "zorvant: warning: the workspace " + workspace() + " refused to keep the media ids"))
            << args[0] << ": " << r.err;
        if (args[0] == "list") {
            EXPECT_FALSE(zvcli::idOf(r, "MOVED").empty()) << r.out;
        }
    }

    // A newly named image whose entry was kept, when only the saves of the
    // settings after it fail (the fault library lets the first two through,
    // the reload's and the entry's): the media ids' warning, exit 0.
    const std::string fresh = dir / "fresh";
    const Outcome named = start({"scan", "--quick", card}, fresh,
                                zvcli::faultEnv({"ZV_FAULT_RENAME_NAME=settings.ini", "ZV_FAULT_RENAME_PASS=2",
                                                 "ZV_FAULT_RENAME_ERRNO=13"}))
                              .wait();
    EXPECT_EQ(named.status, 0) << named.out << named.err;
    EXPECT_TRUE(has(named.err, "zorvant: warning: the workspace " + fresh + "/ZorvantWorkspace refused to keep the "
                               "media ids of this run (Permission denied)"))
        << named.err;
    EXPECT_FALSE(has(named.err, "refused to keep the cards")) << named.err;
    EXPECT_TRUE(has(zorvant({"list"}, fresh).out, card)) << "the named image is not attached again";
}

// Fault guarded: `--workspace MNT/ws scan card.img`, MNT a fusefat mount of
// the card image, wrote the scan's catalogs and log onto the card it read,
// where deleted photos wait to be recovered. A workspace on the card or
// image a command reads is refused, saying to keep it on another disk: one
// named with --workspace and the default one, for scan and attach before
// anything is made (not even the workspace folder); one that came onto the
// card as a copy, for a scan by the card's id, and with a load, for a
// recovery, before anything is scanned or recovered. And `recover --to` a
// folder inside the workspace is refused: deleting the scan deleted the
// files recovered there.
TEST_F(ZorvantCliWorkspace, WorkspaceOnTheCardItReadsIsRefused)
{
    const std::string card = makeCard("card.img"), saved = dir / "cards.zvscan";
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    const Outcome inside = zorvant({"recover", "--to", workspace() + "/Scan.01/out", "1/Found Files/DCIM"});
    EXPECT_EQ(inside.status, 1) << inside.out << inside.err;
    EXPECT_TRUE(saysWhy(inside.err, "it lies inside the workspace " + workspace())) << inside.err;
    EXPECT_FALSE(fs::exists(workspace() + "/Scan.01/out"));
    ASSERT_EQ(zorvant({"save", saved}).status, 0);

    const std::string mnt = dir / "mnt", onCard = mnt + "/ws2";
    zvcli::FuseFat mounted(card, mnt);
    auto refused = [&](const Outcome &r) {
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_TRUE(saysWhy(r.err, "lies on " + card + ", the card or image to be read")) << r.err;
        EXPECT_TRUE(saysWhy(r.err, "keep the workspace on another disk with --workspace DIR")) << r.err;
    };
    refused(zorvant({"scan", card}, mnt + "/ws"));
    refused(zorvant({"attach", card}, mnt + "/ws"));
    fs::create_directories(dir / "default");
    refused(Child({ZORVANT_BINARY, "scan", card}, dir / "default", {"XDG_DATA_HOME=" + mnt + "/data"}).wait());
    EXPECT_FALSE(fs::exists(mnt + "/ws") || fs::exists(mnt + "/data"));
    // A copy of the workspace that knows the card, put on it: a scan by the card's id.
    const std::string id = zvcli::idOf(zorvant({"list"}), "card.img");
    ASSERT_FALSE(id.empty());
    zvtest::mustRun("cp -r " + shellQuote(ws) + " " + shellQuote(mnt + "/ws3"));
    refused(zorvant({"scan", id}, mnt + "/ws3"));
    EXPECT_FALSE(fs::exists(mnt + "/ws3/ZorvantWorkspace/Scan.02"));

    // (The load writes the workspace onto the card: its scan no longer
    // matches the card, which is still the card at the path it was scanned
    // from.)
    ASSERT_EQ(zorvant({"load", saved}, onCard).status, 0);
    refused(zorvant({"recover", "1", "--to", dir / "out"}, onCard));
    refused(zorvant({"recover", "--to", dir / "out", "1/Found Files/DCIM/NEW1.JPG"}, onCard));
    EXPECT_FALSE(fs::exists(dir / "out") || fs::exists(onCard + "/ZorvantWorkspace/Scan.02"));
}

} // namespace
