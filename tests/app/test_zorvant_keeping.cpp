// What a save may replace, and whether the program's word on a save or a
// scan is what the disk holds: a save refuses to replace anything but an
// earlier save (the card image, a device node, the workspace's own files)
// and to write onto the card (a mount of its image or of a loop device);
// a Ctrl-C once the new file took the name does not unsay the save; a
// failed save names the side that failed; a scan whose end the workspace
// did not take says so; a load does not open a file that cannot be the
// saved card's image. Faults at exact moments come from the fault library
// (zvcli::faultEnv).
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "app/card_mounts_support.h"
#include "app/zorvant_cli_support.h"
#include "support/full_disk.h"

namespace {

namespace fs = std::filesystem;
using zvcli::Outcome;
using zvcli::faultEnv;
using zvcli::has;
using zvtest::shellQuote;

class ZorvantCliKeeping : public zvcli::ZorvantCli {
protected:
    std::string workspace() const { return ws + "/ZorvantWorkspace"; }
    // The kind of file at path, without following a link: 'f' regular, 'l'
    // link, 'p' FIFO, 'c' / 'b' device, 'd' folder, '-' missing.
    static char kind(const std::string &path)
    {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            return '-';
        return S_ISREG(st.st_mode) ? 'f' : S_ISLNK(st.st_mode) ? 'l' : S_ISFIFO(st.st_mode) ? 'p'
             : S_ISCHR(st.st_mode) ? 'c' : S_ISBLK(st.st_mode) ? 'b' : S_ISDIR(st.st_mode) ? 'd' : '?';
    }
    // Names in folder that a save left behind (its temporary files).
    static std::vector<std::string> partials(const std::string &folder)
    {
        std::vector<std::string> out;
        for (const auto &e : fs::recursive_directory_iterator(folder))
            if (e.path().filename().string().find(".zv-partial-") != std::string::npos)
                out.push_back(e.path().string());
        return out;
    }
    // The catalog of scan 1's found file system.
    std::string catalogOfScan1() const
    {
        for (const auto &e : fs::recursive_directory_iterator(workspace() + "/Scan.01"))
            if (e.path().filename() == "cat.db")
                return e.path().string();
        return "";
    }
};

// Fault guarded: `save FILE` renamed its new file over whatever FILE was,
// with exit 0: the card image the scan was made of (a slip for the save's
// name), a device node, a FIFO, the workspace's settings or a scan's
// catalog (the scan then showed "damaged catalog"), any other file. Each is
// refused with exit 1 and left as it was; an earlier save is replaced.
TEST_F(ZorvantCliKeeping, SaveReplacesNothingButAnEarlierSave)
{
    const std::string card = makeCard("card.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    const std::string image = zvtest::readFile(card);
    const std::string saves = dir / "saves";
    fs::create_directories(saves);
    const std::string earlier = saves + "/cards.zvscan";
    ASSERT_EQ(zorvant({"save", earlier}).status, 0);
    ASSERT_EQ(symlink(earlier.c_str(), (saves + "/link.zvscan").c_str()), 0);
    ASSERT_EQ(mkfifo((saves + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(mknod((saves + "/null").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    zvtest::writeFile(saves + "/notes.txt", "shopping list\n");
    zvtest::mustRun("printf 'not a save' | gzip > " + shellQuote(saves + "/other.gz"));
    ASSERT_EQ(symlink(workspace().c_str(), (dir / "wslink").c_str()), 0);
    const std::string catalog = catalogOfScan1();
    ASSERT_FALSE(catalog.empty());
    const std::string settings = workspace() + "/settings.ini", cat_bytes = zvtest::readFile(catalog);
    const std::string settings_bytes = zvtest::readFile(settings);

    struct Case {
        std::string file, says;
        char kind;
    };
    const Case cases[] = {
        {card, "it is the image file of a card the workspace knows", 'f'},
        {saves + "/link.zvscan", "it is a symbolic link", 'l'},
        {saves + "/fifo", "it is a FIFO", 'p'},
        {saves + "/null", "it is a character device", 'c'},
        {saves + "/notes.txt", "it is not a file of saved scans", 'f'},
        {saves + "/other.gz", "it is not a file of saved scans", 'f'},
        {settings, "it lies inside the workspace", 'f'},
        {catalog, "it lies inside the workspace", 'f'},
        {dir / "wslink/new.zvscan", "it lies inside the workspace", '-'},
        {workspace() + "/Scan.01/../new.zvscan", "it lies inside the workspace", '-'},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        const Outcome r = zorvant({"save", c.file});
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_TRUE(has(r.err, c.says)) << r.err;
        EXPECT_TRUE(has(r.err, "(nothing was written)")) << r.err;
        EXPECT_EQ(kind(c.file), c.kind);
    }
    EXPECT_TRUE(zvtest::readFile(card) == image) << "the card image changed";
    EXPECT_EQ(zvtest::readFile(settings), settings_bytes);
    EXPECT_TRUE(zvtest::readFile(catalog) == cat_bytes) << "the catalog changed";
    EXPECT_EQ(zvtest::readFile(saves + "/notes.txt"), "shopping list\n");
    EXPECT_TRUE(partials(saves).empty() && partials(workspace()).empty());
    const Outcome ls = zorvant({"ls", "-r", "1"});
    EXPECT_EQ(ls.status, 0) << ls.err;
    EXPECT_TRUE(has(ls.out, "1/Found Files/DCIM/NEW1.JPG") && !has(ls.out, "damaged")) << ls.out;

    // An earlier save is replaced, also one named through a path with "..".
    const Outcome again = zorvant({"save", saves + "/../saves/cards.zvscan"});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_EQ(zorvant({"load", earlier}, dir / "other").status, 0);
}

// Fault guarded: a FILE that did not exist yet was checked only for lying
// outside the workspace, so `save mnt/SCANS.ZVS` on a mount of the card the
// scans were made of wrote the save onto the card, exit 0: new clusters
// where the deleted photos wait to be recovered. A FILE whose folder lies on
// the card (a new file, in its root or a folder, or an existing file)
// is refused with exit 1 and nothing is written there, not even the save's
// temporary file: through fusefat over a FAT32 card image scanned --quick,
// and through a kernel mount of a loop device over an ext4 card image
// scanned as a file (this kernel has no vfat). Off the card the save works.
TEST_F(ZorvantCliKeeping, SaveOntoAMountOfTheCardIsRefused)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    auto refused = [&](const std::string &file, const std::string &card) {
        SCOPED_TRACE(file);
        const char was = kind(file);
        const Outcome r = zorvant({"save", file});
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_TRUE(has(r.err, "can't save the scans into " + file + ": its folder lies on the card or image "
                                   "being recovered, " + card + ": saving there would overwrite what is still to "
                                   "be recovered; choose a folder on another disk (nothing was written)"))
            << r.err;
        EXPECT_EQ(kind(file), was);
    };
    const std::string card = makeCard("card.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    const std::string fat_bytes = zvtest::readFile(card);
    {
        const std::string mnt = dir / "fusefat";
        zvcli::FuseFat mounted(card, mnt);
        refused(mnt + "/SCANS.ZVS", card);
        refused(mnt + "/DCIM/SCANS.ZVS", card);
        refused(mnt + "/DCIM/NEW1.JPG", card);
        EXPECT_TRUE(partials(mnt).empty());
    }
    EXPECT_TRUE(zvtest::readFile(card) == fat_bytes) << "the FAT card was written";

    const std::string ext4 = dir / "card-ext4.img", photos_folder = dir / "photos";
    fs::create_directories(photos_folder);
    zvtest::writeFile(dir / "p.ppm", zvtest::ppm(240, 180, 31));
    zvtest::mustRun("cjpeg -quality 90 -outfile " + shellQuote(photos_folder + "/P1.JPG") + " " +
                    shellQuote(dir / "p.ppm"));
    zvtest::mustRun(zvcli::mkfsExt4(" -d " + shellQuote(photos_folder) + " " + shellQuote(ext4) + " 16M"));
    ASSERT_EQ(zorvant({"scan", ext4}).status, 0);
    {
        zvtest::LoopDevice loop(ext4);
        const std::string mnt = dir / "kernel";
        fs::create_directories(mnt);
        zvtest::BlockMount mounted(loop.path(), mnt, "ext4", MS_NOATIME);
        ::sync();
        const std::string ext4_bytes = zvtest::readFile(ext4);
        refused(mnt + "/SCANS.ZVS", ext4);
        refused(mnt + "/lost+found/SCANS.ZVS", ext4);
        refused(mnt + "/P1.JPG", ext4);
        EXPECT_TRUE(partials(mnt).empty());
        ::sync();
        EXPECT_TRUE(zvtest::readFile(ext4) == ext4_bytes) << "the ext4 card was written";
        const Outcome elsewhere = zorvant({"save", dir / "SCANS.ZVS"});
        EXPECT_EQ(elsewhere.status, 0) << elsewhere.out << elsewhere.err;
    }
}

// Fault guarded: a Ctrl-C that came when the new save had just taken the
// file's name was reported as "Save interrupted; FILE was left as it was",
// exit 130, while FILE held the new save. The fault library raises SIGINT
// in the program right after that rename: the save is reported done.
TEST_F(ZorvantCliKeeping, CtrlCRightAfterTheRenameReportsTheSaveDone)
{
    const std::string card = makeCard("card.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    const std::string file = dir / "cards.zvscan";
    ASSERT_EQ(zorvant({"save", file}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0); // the next save differs
    const std::string earlier = zvtest::readFile(file);

    const Outcome r = start({"save", file}, "", faultEnv({"ZV_FAULT_RENAME_NAME=cards.zvscan",
                                                          "ZV_FAULT_SIGNAL_AFTER=1"}))
                          .wait();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Saved the scans into " + file)) << r.out;
    EXPECT_FALSE(has(r.out, "interrupted")) << r.out;
    EXPECT_NE(zvtest::readFile(file), earlier);
    const Outcome load = zorvant({"load", file}, dir / "other");
    EXPECT_EQ(load.status, 0) << load.out << load.err;
    EXPECT_TRUE(has(zorvant({"ls", "-r", "1"}, dir / "other").out, "[x]"));
}

// Fault guarded: Ctrl-C taken once a load had loaded its scans (here right
// after the settings were written for the last time) made it exit 130 with
// no word, as if nothing had been loaded; loading again then doubled them.
TEST_F(ZorvantCliKeeping, CtrlCAfterALoadFinishedReportsTheLoad)
{
    const std::string file = scanAndSaveInto(dir / "saves");
    ASSERT_FALSE(HasFailure());
    const std::string other = dir / "other";
    const Outcome r = start({"load", file}, other, faultEnv({"ZV_FAULT_RENAME_NAME=settings.ini",
                                                             "ZV_FAULT_SIGNAL_AFTER=2"}))
                          .wait();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Loaded 1 scan.")) << r.out;
    EXPECT_TRUE(has(zorvant({"list"}, other).out, "  1   quick     done"));
}

// Fault guarded: the cause a failed save gave was whatever errno held after
// it, and its advice always spoke of the save's folder: a save failing
// because the workspace was read-only said "Read-only file system; choose a
// folder you can write to" about a folder that could be written. The cause
// is taken where the failure happens, and the side that failed is named
// with the advice for it: the workspace (read-only while a file of a scan
// must be written again there: its "treeinfo" is missing), or the save's
// folder (read-only; a rename it refuses). A read-only workspace that needs
// no write is still saved from.
TEST_F(ZorvantCliKeeping, FailedSaveNamesTheSideThatFailed)
{
    ASSERT_EQ(geteuid(), 0u) << "mounts need root";
    const std::string saves = dir / "saves";
    const std::string file = scanAndSaveInto(saves);
    ASSERT_FALSE(HasFailure());
    std::string earlier = zvtest::readFile(file);
    auto workspaceSide = [&](const Outcome &r, const std::string &cause) {
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_TRUE(has(r.err, "can't save the scans into " + file + ": the workspace " + workspace())) << r.err;
        EXPECT_TRUE(has(r.err, "(" + cause + ")")) << r.err;
        EXPECT_TRUE(has(r.err, "make the workspace writable")) << r.err;
        EXPECT_FALSE(has(r.err, "choose a folder")) << r.err;
        EXPECT_EQ(zvtest::readFile(file), earlier);
        EXPECT_TRUE(partials(saves).empty());
    };
    auto targetSide = [&](const Outcome &r, const std::string &cause) {
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_TRUE(has(r.err, "can't save the scans into " + file + ": " + cause +
                                   "; choose a folder you can write to"))
            << r.err;
        EXPECT_FALSE(has(r.err, "the workspace")) << r.err;
        EXPECT_EQ(zvtest::readFile(file), earlier);
        EXPECT_TRUE(partials(saves).empty());
    };
    std::string treeinfo;
    for (const auto &e : fs::recursive_directory_iterator(workspace() + "/Scan.01"))
        if (e.path().filename() == "treeinfo")
            treeinfo = e.path().string();
    ASSERT_FALSE(treeinfo.empty());
    {
        zvtest::Mount mount = zvtest::Mount::bind(ws, ws);
        mount.setReadOnly(true);
        const Outcome same = zorvant({"save", file});
        EXPECT_EQ(same.status, 0) << same.out << same.err;
        earlier = zvtest::readFile(file);
        mount.setReadOnly(false);
        fs::remove(treeinfo);
        mount.setReadOnly(true);
        workspaceSide(zorvant({"save", file}), "Read-only file system");
    }
    {
        zvtest::Mount mount = zvtest::Mount::bind(saves, saves);
        mount.setReadOnly(true);
        targetSide(zorvant({"save", file}), "Read-only file system");
    }
    targetSide(start({"save", file}, "", faultEnv({"ZV_FAULT_RENAME_NAME=cards.zvscan", "ZV_FAULT_RENAME_ERRNO=28"}))
                   .wait(),
               "No space left on device");
    EXPECT_EQ(zorvant({"save", file}).status, 0);
    EXPECT_TRUE(fs::exists(treeinfo));
}

// Fault guarded: a scan whose last save into the workspace failed said
// "completed with no errors" and exited 0; the next command showed it
// unfinished, "stopped before the end", and told the user to delete it. The
// workspace refuses the rename of that last save (the two saves of the scan
// as started go through): the scan says its results could not be kept and
// why, exits 1, and later commands do not claim its run was stopped. The
// same when the workspace refuses a file system's "key" or "treeinfo" (a
// scan said lost was listed done): a scan said lost is not kept.
TEST_F(ZorvantCliKeeping, ScanWhoseEndIsNotKeptSaysSo)
{
    const std::string card = makeCard("card.img");
    for (const char *refused : {"context", "key", "treeinfo"}) {
        SCOPED_TRACE(refused);
        const Outcome scan = start({"scan", "--quick", card}, "",
                                   faultEnv({std::string("ZV_FAULT_RENAME_NAME=") + refused,
                                             std::string("ZV_FAULT_RENAME_PASS=") + (std::string(refused) == "context" ? "2" : "0"),
                                             "ZV_FAULT_RENAME_ERRNO=28"}))
                                 .wait();
        EXPECT_EQ(scan.status, 1) << scan.out << scan.err;
        EXPECT_TRUE(has(scan.err, "could not be kept in the workspace " + workspace() + " (No space left on device)"))
            << scan.err;
        EXPECT_TRUE(has(scan.err, "`zorvant delete 1`")) << scan.err;
        EXPECT_FALSE(has(scan.out, "completed")) << scan.out;
        EXPECT_FALSE(has(scan.out, "Found:")) << scan.out;

        const Outcome list = zorvant({"list"});
        EXPECT_TRUE(has(list.out, "  1   quick     unfinished or not kept")) << list.out;
        const Outcome ls = zorvant({"ls", "1"});
        EXPECT_EQ(ls.status, 1) << ls.out;
        EXPECT_TRUE(has(ls.err, "scan 1 is unfinished or was not kept")) << ls.err;
        EXPECT_TRUE(has(ls.err, "or its end could not be saved in the workspace")) << ls.err;
        EXPECT_FALSE(has(ls.err, "never finished")) << ls.err;
        EXPECT_EQ(zorvant({"delete", "1"}).status, 0);
    }
    const Outcome again = zorvant({"scan", "--quick", card});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_TRUE(has(zorvant({"list"}).out, "  1   quick     done")) << "scanned again";
}

// Fault guarded: a load opened and parsed as a disk image whatever regular
// file stood at the path a saved scan named (the saved file may come from
// anyone). A file whose size is not the saved card's, smaller or larger, is
// not opened at all: no open of it shows to inotify, and the scan waits for
// its card.
TEST_F(ZorvantCliKeeping, LoadOpensNoFileOfAnotherSizeAsTheImage)
{
    const std::string card = makeCard("card.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    const std::string file = dir / "cards.zvscan";
    ASSERT_EQ(zorvant({"save", file}).status, 0);
    fs::rename(card, dir / "card-moved.img");
    // Another file under the saved path, smaller than the card, then larger.
    for (const unsigned kib : {40 * 1024, 80 * 1024}) {
        SCOPED_TRACE(kib);
        fs::remove(card);
        zvtest::makeFat(card, 32, kib);
        ASSERT_NE(fs::file_size(card), fs::file_size(dir / "card-moved.img"));
        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, card.c_str(), IN_OPEN), 0);
        const Outcome load = zorvant({"load", file}, dir / ("fresh" + std::to_string(kib)));
        char events[4096];
        const ssize_t got = read(watch, events, sizeof events);
        close(watch);
        EXPECT_EQ(load.status, 0) << load.out << load.err;
        EXPECT_TRUE(has(load.out, "done, medium not attached")) << load.out;
        EXPECT_TRUE(has(load.out, "zorvant attach PATH")) << load.out;
        EXPECT_LT(got, 0) << "the file at the saved path was opened";
    }

    // The image itself, named, is still taken.
    const Outcome attach = zorvant({"attach", dir / "card-moved.img"}, dir / "fresh40960");
    EXPECT_EQ(attach.status, 0) << attach.out << attach.err;
}

// Fault guarded: a scan's files in the workspace were written by name,
// following links: with a link at Scan.01/context.tmp to a copy of a card
// image, `save` (which writes each scan down again first) cut the copy to
// a scan context and renamed the link over "context", so the scan showed
// "unfinished or not kept"; a link at a file system's "key" had its target
// cut to the key. Whoever can write into the workspace could have any file
// destroyed. Now nothing is written through a link in a scan's folder: a
// link or a FIFO at "context.tmp" refuses that write (logged) and the save
// takes the scan as its folder holds it, exit 0; a link at "key" is
// replaced, its target untouched; a link at "treeinfo.tmp" while treeinfo
// must be written fails the save on the workspace's side, exit 1, and the
// earlier save stays. A regular file left at "context.tmp" is taken over.
TEST_F(ZorvantCliKeeping, LinksInAScanFolderAreNeverWrittenThrough)
{
    const std::string saves = dir / "saves";
    const std::string file = scanAndSaveInto(saves);
    ASSERT_FALSE(HasFailure());
    const std::string victim = dir / "victim.img";
    fs::copy_file(dir / "card.img", victim);
    const std::string victim_bytes = zvtest::readFile(victim);
    const std::string scan1 = workspace() + "/Scan.01";
    std::string fs_folder;
    for (const auto &e : fs::recursive_directory_iterator(scan1))
        if (e.path().filename() == "key")
            fs_folder = e.path().parent_path().string();
    ASSERT_FALSE(fs_folder.empty());
    const std::string key = fs_folder + "/key", treeinfo = fs_folder + "/treeinfo";
    const std::string key_bytes = zvtest::readFile(key), treeinfo_bytes = zvtest::readFile(treeinfo);
    const std::string log_path = workspace() + "/ScanEngineLog.txt";
    auto victimKept = [&] { return zvtest::readFile(victim) == victim_bytes; };
    auto savedScanLoads = [&](const std::string &where) {
        const Outcome load = zorvant({"load", file}, dir / where);
        EXPECT_EQ(load.status, 0) << load.out << load.err;
        const Outcome ls = zorvant({"ls", "-r", "1"}, dir / where);
        EXPECT_TRUE(has(ls.out, "1/Found Files/DCIM/NEW1.JPG")) << ls.out << ls.err;
    };

    const std::string tmp = scan1 + "/context.tmp";
    for (const char planted : {'l', 'p'}) {
        SCOPED_TRACE(planted);
        if (planted == 'l')
            fs::create_symlink(victim, tmp);
        else
            ASSERT_EQ(mkfifo(tmp.c_str(), 0600), 0);
        const Outcome save = zorvant({"save", file});
        EXPECT_EQ(save.status, 0) << save.out << save.err;
        EXPECT_TRUE(victimKept()) << "written through the link";
        EXPECT_EQ(kind(tmp), planted);
        EXPECT_EQ(kind(scan1 + "/context"), 'f');
        EXPECT_TRUE(has(zvtest::readFile(log_path), "scx_archive: Can't create context.tmp in " + scan1))
            << zvtest::readFile(log_path);
        EXPECT_TRUE(has(zorvant({"list"}).out, "  1   quick     done"));
        fs::remove(tmp);
    }
    savedScanLoads("loaded");
    zvtest::writeFile(tmp, "left by a save cut short");
    EXPECT_EQ(zorvant({"save", file}).status, 0);
    EXPECT_EQ(kind(tmp), '-');

    fs::remove(key);
    fs::create_symlink(victim, key);
    const Outcome keyed = zorvant({"save", file});
    EXPECT_EQ(keyed.status, 0) << keyed.out << keyed.err;
    EXPECT_TRUE(victimKept()) << "written through the link at key";
    EXPECT_EQ(kind(key), 'f');
    EXPECT_EQ(zvtest::readFile(key).size(), key_bytes.size());

    const std::string earlier = zvtest::readFile(file);
    fs::remove(treeinfo);
    fs::create_symlink(victim, treeinfo + ".tmp");
    const Outcome tree = zorvant({"save", file});
    EXPECT_EQ(tree.status, 1) << tree.out << tree.err;
    EXPECT_TRUE(has(tree.err, "can't save the scans into " + file + ": the workspace " + workspace())) << tree.err;
    EXPECT_TRUE(has(tree.err, "(File exists)")) << tree.err;
    EXPECT_TRUE(victimKept()) << "written through the link at treeinfo.tmp";
    EXPECT_EQ(kind(treeinfo + ".tmp"), 'l');
    EXPECT_TRUE(zvtest::readFile(file) == earlier);
    EXPECT_TRUE(partials(saves).empty());
    fs::remove(treeinfo + ".tmp");
    EXPECT_EQ(zorvant({"save", file}).status, 0);
    EXPECT_TRUE(zvtest::readFile(treeinfo) == treeinfo_bytes);
    savedScanLoads("again");
}

// Fault guarded: on a full workspace the file layer printed "fclose: No
// space left on device" beside the program's own message, once for each
// file it closed, and a quick scan blamed the card ("could not be read (it
// may be damaged)"). A thorough and a quick scan into a full workspace each
// say once, in the program's words, that the workspace did not take what
// they found.
TEST_F(ZorvantCliKeeping, FullWorkspaceIsReportedInTheProgramsWords)
{
    const std::string card = dir / "card.img";
    zvtest::makeFat(card, 16, 16384);
    zvtest::fatPut(card, "PHOTO.BIN", zvtest::patternBytes(60000, 7));
    zvtest::FullDisk full;
    const Outcome thorough = zorvant({"scan", card}, full / "ws");
    EXPECT_EQ(thorough.status, 1) << thorough.out << thorough.err;
    EXPECT_TRUE(has(thorough.err, "zorvant: the scan of " + card + " ended, but what it found could not be kept in "
                                  "the workspace " + full / "ws/ZorvantWorkspace (No space left on device)"))
        << thorough.err;
    const Outcome quick = zorvant({"scan", "--quick", card}, full / "ws");
    EXPECT_EQ(quick.status, 1) << quick.out << quick.err;
    EXPECT_TRUE(has(quick.err, "zorvant: the scan's files could not be written into the workspace (is its disk "
                               "full?): free some space and scan again"))
        << quick.err;
    EXPECT_FALSE(has(quick.err, "damaged")) << quick.err;
    // A save of the scan the workspace could not keep names the full disk.
    const Outcome save = zorvant({"save", dir / "cards.zvscan"}, full / "ws");
    EXPECT_EQ(save.status, 1) << save.out << save.err;
    EXPECT_TRUE(has(save.err, "could not be written or read (No space left on device)")) << save.err;
    for (const Outcome &r : {thorough, quick, save})
        EXPECT_FALSE(has(r.err, "fclose")) << r.err;
}

// Fault guarded: a save refused a folder on any attached medium as "the
// card or image being recovered", so a USB stick plugged in (every
// removable disk is attached) could not take a save that `recover --to`
// could. A medium no scan of the workspace was made of takes a save: an
// ext4 image attached by naming it, mounted by fuse2fs.
TEST_F(ZorvantCliKeeping, SaveOntoAnAttachedMediumNoScanReadsWorks)
{
    ASSERT_EQ(zorvant({"scan", "--quick", makeCard("card.img")}).status, 0);
    const std::string stick = dir / "stick.img", mnt = dir / "stick";
    zvtest::mustRun(zvcli::mkfsExt4(" " + shellQuote(stick) + " 8M"));
    EXPECT_EQ(zorvant({"scan", "--quick", stick}).status, 1); // no FAT on it: attached, nothing scanned
    EXPECT_FALSE(zvcli::idOf(zorvant({"list"}), "stick.img").empty());
    zvcli::Fuse2fs mounted(stick, mnt);
    const Outcome save = zorvant({"save", mnt + "/cards.zvscan"});
    EXPECT_EQ(save.status, 0) << save.out << save.err;
    EXPECT_EQ(zorvant({"load", mnt + "/cards.zvscan"}, dir / "other").status, 0);
}

} // namespace
