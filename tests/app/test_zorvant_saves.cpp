// Saved scans through the `zorvant` program: a save that fails or is
// interrupted keeps the earlier file of that name whole, and a scan of an
// image saved in one workspace and loaded in another is recovered from the
// image, found where it was saved or named where it is now.
#include "app/card_mounts_support.h"
#include "app/zorvant_cli_support.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using zvcli::Child;
using zvcli::Outcome;
using zvcli::padScan;
using zvtest::shellQuote;
class ZorvantCliSaves : public zvcli::ZorvantCli {
protected:
    // Scans the card, recovers everything and saves the scans into file:
    // what the recovery gave.
    std::map<std::string, std::string> scanRecoverAndSave(const std::string &card, const std::string &file)
    {
        const std::map<std::string, std::string> got = scanAndRecover(card);
        EXPECT_EQ(zorvant({"save", file}).status, 0);
        return got;
    }
};

// Names in folder other than those given.
std::set<std::string> othersIn(const std::string &folder, const std::set<std::string> &known)
{
    std::set<std::string> out;
    for (const auto &e : fs::directory_iterator(folder))
        if (known.count(e.path().filename().string()) == 0)
            out.insert(e.path().filename().string());
    return out;
}

// Whether the file at path holds bytes (missing: no).
bool holds(const std::string &path, const std::string &bytes)
{
    return fs::is_regular_file(path) && zvtest::readFile(path) == bytes;
}

std::string joined(const std::set<std::string> &names)
{
    std::string out;
    for (const std::string &name : names)
        out += name + " ";
    return out;
}

// A save into a file system with no room left fails and leaves the earlier
// save of that name as it was, with nothing else beside it; once there is
// room again the same save replaces it.
TEST_F(ZorvantCliSaves, SaveOnAFullDiskKeepsTheEarlierSave)
{
    const std::string card = makeCard("card.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    const std::string small = dir / "small";
    fs::create_directories(small);
    zvtest::Mount mount = zvtest::Mount::tmpfs(small, "size=1m,mode=0700");
    const std::string file = small + "/cards.zvscan";
    const Outcome first = zorvant({"save", file});
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    const std::string earlier = zvtest::readFile(file);
    ASSERT_FALSE(earlier.empty());

    // The next save is larger than the earlier one and the room left.
    padScan(ws, "256K");
    zvtest::run("dd if=/dev/zero of=" + shellQuote(small + "/filler") + " bs=4096 2>/dev/null");
    ASSERT_NE(zvtest::run("echo x > " + shellQuote(small + "/probe") + " 2>/dev/null"), 0) << "not full";
    const Outcome full = zorvant({"save", file});
    EXPECT_EQ(full.status, 1) << full.out << full.err;
    EXPECT_NE(full.err.find("can't save the scans into " + file + ": No space left on device"), std::string::npos)
        << full.err;
    EXPECT_TRUE(holds(file, earlier));
    EXPECT_EQ(joined(othersIn(small, {"cards.zvscan", "filler", "probe"})), "");

    // The kept file is a whole saved scan.
    const Outcome load = zorvant({"load", file}, dir / "other");
    EXPECT_EQ(load.status, 0) << load.out << load.err;
    EXPECT_NE(load.out.find("Loaded 1 scan."), std::string::npos) << load.out;

    fs::remove(small + "/filler");
    fs::remove(small + "/probe");
    const Outcome again = zorvant({"save", file});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_EQ(joined(othersIn(small, {"cards.zvscan"})), "");
    EXPECT_EQ(zorvant({"load", file}, dir / "third").status, 0);
}

// A save from a workspace without scans (a forgotten --workspace) says
// there is nothing to save, exit 1, and leaves an earlier save whole.
TEST_F(ZorvantCliSaves, SaveWithoutScansKeepsTheEarlierSave)
{
    const std::string file = scanAndSaveInto(dir / "saves");
    ASSERT_FALSE(HasFailure());
    const std::string earlier = zvtest::readFile(file);
    const Outcome empty = zorvant({"save", file}, dir / "empty");
    EXPECT_EQ(empty.status, 1) << empty.out << empty.err;
    EXPECT_TRUE(zvcli::has(empty.err, "nothing to save, " + file + " was left as it was")) << empty.err;
    EXPECT_TRUE(holds(file, earlier));
}

// A load into a workspace with fewer free scan slots than the save holds
// scans says how many are free for how many and to delete scans first;
// nothing is loaded.
TEST_F(ZorvantCliSaves, LoadWithTooFewFreeSlotsSaysHowMany)
{
    const std::string file = scanAndSaveInto(dir / "saves");
    ASSERT_EQ(zorvant({"scan", "--quick", dir / "card.img"}).status, 0);
    ASSERT_EQ(zorvant({"save", file}).status, 0);
    const std::string full = dir / "full";
    for (int slot = 1; slot <= 14; slot++) // left by killed runs: 14 unfinished scans
        fs::create_directories(full + "/ZorvantWorkspace/Scan." + (slot < 10 ? "0" : "") + std::to_string(slot));
    const Outcome load = zorvant({"load", file}, full);
    EXPECT_EQ(load.status, 1) << load.out << load.err;
    EXPECT_TRUE(zvcli::has(load.err, "it holds 2 scans, but only 1 of the workspace's 15 scan slots is free: delete "
                                     "scans first"))
        << load.err;
    EXPECT_EQ(load.out, "");
}

// A save whose folder could not be put on the disk once the new file took
// its name (its ext4 shut down at that moment) says the scans were saved,
// but that a crash may bring the earlier file back, and exits 1.
TEST_F(ZorvantCliSaves, SaveWhoseFolderIsNotOnTheDiskSaysSo)
{
    ASSERT_EQ(zorvant({"scan", "--quick", makeCard("card.img")}).status, 0);
    const std::string image = dir / "ext4.img", point = dir / "mnt", file = point + "/cards.zvscan";
    zvtest::mustRun(zvcli::mkfsExt4(" " + shellQuote(image) + " 16M") + " && mkdir " + shellQuote(point));
    zvtest::LoopDevice loop(image);
    zvtest::Mount mount = zvtest::Mount::device(loop.path(), point, "ext4");
    const Outcome save =
        start({"save", file}, "", zvcli::faultEnv({"ZV_FAULT_RENAME_NAME=cards.zvscan", "ZV_FAULT_SHUT_DOWN=1"})).wait();
    EXPECT_EQ(save.status, 1) << save.out << save.err;
    EXPECT_TRUE(zvcli::has(save.err, "the scans were saved into " + file + ", but its folder could not be put on "
                                     "the disk (Input/output error): after a crash it may hold the earlier " + file))
        << save.err;
}

// Ctrl-C while a save is being written: exit 130, the earlier save of that
// name untouched and no partial file left beside it. A save over a folder
// is refused before anything is written.
TEST_F(ZorvantCliSaves, InterruptedSaveKeepsTheEarlierSave)
{
    const std::string saves = dir / "saves";
    const std::string file = scanAndSaveInto(saves);
    ASSERT_FALSE(HasFailure());
    const std::string earlier = zvtest::readFile(file);

    // Bytes that do not compress make the next save take long enough to be
    // interrupted while it writes.
    padScan(ws, "48M");

    Child child = start({"save", file});
    EXPECT_TRUE(child.waitForProgress()) << "no progress shown";
    kill(child.pid(), SIGINT);
    const Outcome r = child.wait();
    EXPECT_EQ(r.status, 130) << r.out << r.err;
    EXPECT_NE(r.out.find("Save interrupted; " + file + " was left as it was."), std::string::npos) << r.out;
    EXPECT_TRUE(holds(file, earlier));
    EXPECT_EQ(joined(othersIn(saves, {"cards.zvscan"})), "");

    const Outcome folder = zorvant({"save", saves});
    EXPECT_EQ(folder.status, 1) << folder.out << folder.err;
    EXPECT_NE(folder.err.find("it is a folder"), std::string::npos) << folder.err;
    const Outcome nowhere = zorvant({"save", saves + "/missing/cards.zvscan"});
    EXPECT_EQ(nowhere.status, 1) << nowhere.out << nowhere.err;
    EXPECT_NE(nowhere.err.find("/missing does not exist"), std::string::npos) << nowhere.err;
    EXPECT_EQ(joined(othersIn(saves, {"cards.zvscan"})), "");
    EXPECT_TRUE(holds(file, earlier));
}

// The README's flow: scan an image, save, load in a fresh workspace and
// recover there, in separate runs, gives the same files as recovering in the
// first workspace. An image moved after the save is named with `attach`;
// a file that is not the scan's image is refused and changes nothing.
TEST_F(ZorvantCliSaves, LoadedScanOfAnImageIsRecovered)
{
    const std::string card = makeCard("card.img");
    const std::string saved = dir / "cards.zvscan";
    const std::map<std::string, std::string> original = scanRecoverAndSave(card, saved);
    ASSERT_EQ(original.count("Recovered Files from card.img/Found Files/DCIM/NEW1.JPG"), 1u) << original.size();

    const std::string fresh = dir / "fresh";
    const Outcome load = zorvant({"load", saved}, fresh);
    ASSERT_EQ(load.status, 0) << load.out << load.err;
    EXPECT_NE(load.out.find(" done "), std::string::npos) << load.out;
    EXPECT_EQ(load.out.find("not attached"), std::string::npos) << load.out;
    ASSERT_EQ(zorvant({"select", "1"}, fresh).status, 0);
    const Outcome rec = zorvant({"recover", "1", "--to", dir / "again"}, fresh);
    ASSERT_EQ(rec.status, 0) << rec.out << rec.err;
    EXPECT_EQ(filesBelow(dir / "again"), original);

    // The image moved away: the load says how to name it; a file of the same
    // size but other bytes is not taken, the image where it is now is.
    fs::create_directories(dir / "moved");
    fs::rename(card, dir / "moved/card.img");
    const std::string third = dir / "third";
    const Outcome lost = zorvant({"load", saved}, third);
    ASSERT_EQ(lost.status, 0) << lost.out << lost.err;
    EXPECT_NE(lost.out.find("done, medium not attached"), std::string::npos) << lost.out;
    EXPECT_NE(lost.out.find("zorvant attach PATH"), std::string::npos) << lost.out;
    ASSERT_EQ(zorvant({"select", "1"}, third).status, 0);
    const Outcome refused = zorvant({"recover", "1", "--to", dir / "third-out"}, third);
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_NE(refused.err.find("not attached"), std::string::npos) << refused.err;

    zvtest::mustRun("truncate -s " + std::to_string(fs::file_size(dir / "moved/card.img")) + " " +
                    shellQuote(dir / "blank.img"));
    const Outcome other = zorvant({"attach", dir / "blank.img"}, third);
    EXPECT_EQ(other.status, 1) << other.out << other.err;
    EXPECT_NE(other.err.find("is not the card or image of any scan here"), std::string::npos) << other.err;
    EXPECT_NE(other.err.find("were made of card.img"), std::string::npos) << other.err;
    const Outcome missing = zorvant({"attach", dir / "nowhere.img"}, third);
    EXPECT_EQ(missing.status, 1) << missing.out << missing.err;
    EXPECT_NE(missing.err.find("No such file"), std::string::npos) << missing.err;
    EXPECT_EQ(zorvant({"attach"}, third).status, 2);
    EXPECT_NE(zorvant({"--help"}).out.find("attach PATH"), std::string::npos);

    const Outcome found = zorvant({"attach", dir / "moved/card.img"}, third);
    ASSERT_EQ(found.status, 0) << found.out << found.err;
    EXPECT_NE(found.out.find("Scan 1 reads " + (dir / "moved/card.img")), std::string::npos) << found.out;
    // A later run attaches it again by itself.
    const Outcome list = zorvant({"list"}, third);
    EXPECT_NE(list.out.find(" done "), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("blank.img"), std::string::npos) << list.out;
    const Outcome moved = zorvant({"recover", "1", "--to", dir / "third-out"}, third);
    ASSERT_EQ(moved.status, 0) << moved.out << moved.err;
    EXPECT_EQ(filesBelow(dir / "third-out"), original);
}

// An image renamed after the save is taken when the user names it with
// `attach`: by its size and contents, whatever it is called now. A card of
// the same size with other contents (a blank file, a FAT image with other
// photos) is still refused, and a later run finds the renamed image again
// by itself.
TEST_F(ZorvantCliSaves, RenamedImageIsAttachedByItsContents)
{
    const std::string card = makeCard("card.img");
    const std::string saved = dir / "cards.zvscan";
    const std::map<std::string, std::string> original = scanRecoverAndSave(card, saved);
    ASSERT_EQ(original.count("Recovered Files from card.img/Found Files/DCIM/NEW1.JPG"), 1u) << original.size();

    const std::string renamed = dir / "backup 2026.img";
    fs::rename(card, renamed);
    const std::string fresh = dir / "fresh";
    const Outcome load = zorvant({"load", saved}, fresh);
    ASSERT_EQ(load.status, 0) << load.out << load.err;
    EXPECT_NE(load.out.find("done, medium not attached"), std::string::npos) << load.out;

    const uintmax_t size = fs::file_size(renamed);
    zvtest::mustRun("truncate -s " + std::to_string(size) + " " + shellQuote(dir / "blank.img"));
    const std::string other = dir / "other.img";
    zvtest::makeFat(other, 32, (unsigned)(size / 1024));
    zvtest::fatMkdir(other, "DCIM");
    put(other, "DCIM/OTHER1.JPG", 200, 150, 21);
    ASSERT_EQ(fs::file_size(other), size);
    for (const std::string &wrong : {dir / "blank.img", other}) {
        const Outcome refused = zorvant({"attach", wrong}, fresh);
        EXPECT_EQ(refused.status, 1) << wrong << refused.out << refused.err;
        EXPECT_NE(refused.err.find("is not the card or image of any scan here"), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("were made of card.img"), std::string::npos) << refused.err;
    }
    const Outcome still = zorvant({"list"}, fresh);
    EXPECT_NE(still.out.find("not attached"), std::string::npos) << still.out;

    const Outcome found = zorvant({"attach", renamed}, fresh);
    ASSERT_EQ(found.status, 0) << found.out << found.err;
    EXPECT_NE(found.out.find("Scan 1 reads " + renamed), std::string::npos) << found.out;
    // A later run attaches it again by itself, under its new name.
    const Outcome list = zorvant({"list"}, fresh);
    EXPECT_NE(list.out.find(" done "), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("not attached"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("other.img"), std::string::npos) << list.out;
    ASSERT_EQ(zorvant({"select", "1"}, fresh).status, 0);
    const Outcome rec = zorvant({"recover", "1", "--to", dir / "again"}, fresh);
    ASSERT_EQ(rec.status, 0) << rec.out << rec.err;
    // The same files, in the folder named for the image as it is called now.
    const std::map<std::string, std::string> again = filesBelow(dir / "again/Recovered Files from backup 2026.img");
    EXPECT_EQ(again.size(), original.size());
    for (const auto &[path, bytes] : original) {
        const std::string inside = path.substr(path.find('/') + 1);
        EXPECT_TRUE(again.count(inside) == 1 && again.at(inside) == bytes) << inside;
    }
}

} // namespace
