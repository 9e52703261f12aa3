// The `zorvant` program's recovery telling the truth: files that could not
// be read whole never look complete, a target the host refuses is named with
// the system's reason, and a target on the card is refused also through a
// FUSE mount whose entry does not name the card, and through loop devices
// over the card's image, their partitions and windows of it, disk images
// kept on the card, folders of the card mounted inside the target, overlays
// and union mounts writing into a card folder and a passthrough FUSE server
// over one; a FUSE mount of another disk is not refused for a FUSE server
// serving the card; a loop device over a file of a stopped FUSE server holds
// no recovery.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <regex>

#include "app/card_mounts_support.h"
#include "app/failing_card_support.h"
#include "app/zorvant_cli_support.h"

namespace {

namespace fs = std::filesystem;
using zvcli::Fuse2fs;
using zvcli::FuseFat;
using zvcli::has;
using zvcli::mkfsExt4;
using zvcli::Outcome;
using zvtest::shellQuote;

using ZorvantCliRecovery = zvcli::ZorvantCli;

// A loop device over the window [offset, offset + size) of an image
// (losetup -o, --sizelimit); detached on destruction.
class WindowLoop {
public:
    WindowLoop(const std::string &image, uint64_t offset, uint64_t size)
    {
        zvtest::requireTool("losetup");
        path_ = zvtest::mustRun("losetup --find --show -o " + std::to_string(offset) + " --sizelimit " +
                                std::to_string(size) + " " + shellQuote(image));
        while (!path_.empty() && (path_.back() == '\n' || path_.back() == ' '))
            path_.pop_back();
    }
    ~WindowLoop() { zvtest::run("losetup -d " + shellQuote(path_) + " 2>/dev/null"); }
    WindowLoop(const WindowLoop &) = delete;
    WindowLoop &operator=(const WindowLoop &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Photos as cjpeg makes them, each kept in photos (name -> bytes) and
// written into folder.
void jpegsInto(const std::string &folder, int count, std::map<std::string, std::string> *photos)
{
    zvtest::requireTool("cjpeg");
    fs::create_directories(folder);
    for (int n = 1; n <= count; n++) {
        const std::string name = "P" + std::to_string(n) + ".JPG", ppm = folder + "/.p.ppm";
        zvtest::writeFile(ppm, zvtest::ppm(200 + 8 * n, 150, 40 + n));
        zvtest::mustRun("cjpeg -quality 90 -outfile " + shellQuote(folder + "/" + name) + " " + shellQuote(ppm));
        fs::remove(ppm);
        (*photos)[name] = zvtest::readFile(folder + "/" + name);
    }
}

// A recovery refused because its target lies on the card, in words, and
// only that (no count of files recovered).
void expectRefusedAsOnTheCard(const Outcome &r)
{
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_FALSE(has(r.out, "Recovered 0 files")) << r.out;
    EXPECT_TRUE(has(r.err, "the target folder lies on the card being recovered")) << r.err;
    EXPECT_TRUE(has(r.err, "choose a folder on another disk with --to")) << r.err;
    EXPECT_TRUE(has(r.err, "(-12)")) << r.err;
}

// The bytes of the recovered files below folder.
std::set<std::string> bytesBelow(const std::map<std::string, std::string> &files)
{
    std::set<std::string> out;
    for (const auto &[path, bytes] : files)
        out.insert(bytes);
    return out;
}

// Every name below folder, folders included.
std::set<std::string> namesBelow(const std::string &folder)
{
    std::set<std::string> out;
    for (const auto &e : fs::recursive_directory_iterator(folder))
        out.insert(fs::relative(e.path(), folder).string());
    return out;
}

// A link where the recovery's folder for the card goes is left alone (the
// files went where it pointed): the folder is made beside it as "-01", for
// the ticked files and for files named, and the messages name that folder.
// A recovery refused because its target lies on the card prints only why:
// no "Recovering into", no progress.
TEST_F(ZorvantCliRecovery, LinkAtTheCardsFolderIsNotFollowed)
{
    const std::string card = makeCard("card.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    const std::string out = dir / "out", elsewhere = dir / "elsewhere", made = out + "/Recovered Files from card-01.img";
    fs::create_directories(out);
    fs::create_directories(elsewhere);
    fs::create_symlink(elsewhere, out + "/Recovered Files from card.img");
    const Outcome ticked = zorvant({"recover", "1", "--to", out});
    EXPECT_EQ(ticked.status, 0) << ticked.out << ticked.err;
    EXPECT_TRUE(has(ticked.out, "Recovering into " + made + "\n")) << ticked.out;
    EXPECT_EQ(filesBelow(made).count("Found Files/DCIM/NEW1.JPG"), 1u);
    const Outcome named = zorvant({"recover", "--to", out, "1/Found Files/DCIM/NEW1.JPG"});
    EXPECT_EQ(named.status, 0) << named.out << named.err;
    EXPECT_TRUE(has(named.out, "Recovering into " + made + "\n")) << named.out;
    EXPECT_TRUE(has(named.out, "1/Found Files/DCIM/NEW1.JPG -> " + made + "/NEW1.JPG\n")) << named.out;
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_TRUE(fs::is_symlink(out + "/Recovered Files from card.img"));

    FuseFat mounted(card, dir / "mnt");
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    const Outcome refused = zorvant({"recover", "1", "--to", dir / "mnt/r"});
    expectRefusedAsOnTheCard(refused);
    EXPECT_EQ(refused.out, "");
}

// A card inside a VMDK cut short, so the last 256 KiB of a 1 MiB video and
// all of a file after it lie past the end of the image file and cannot be
// read. The video is kept only as "CLIP.MOV.incomplete" (its readable start
// intact) and listed with what it misses, the unreadable file is listed and
// not kept (it would be zeros only), and the complete photo keeps its name;
// the messages say what happened and what to do in words, with no bare code.
TEST_F(ZorvantCliRecovery, FileNotReadWholeIsKeptUnderANameThatSaysSo)
{
    zvtest::requireTool("qemu-img");
    const std::string image = dir / "card.img";
    zvtest::makeFat(image, 32, 64 * 1024);
    put(image, "PHOTO.JPG", 200, 150, 3);
    std::string clip;
    for (uint32_t x = 12345; clip.size() < 1024 * 1024;)
        clip += (char)((x = x * 1103515245 + 12345) >> 24);
    zvtest::fatPut(image, "CLIP.MOV", clip);
    zvtest::fatPut(image, "GONE.BIN", std::string(64 * 1024, 'g'));
    const std::string vmdk = dir / "card.vmdk";
    zvtest::mustRun("qemu-img convert -f raw -O vmdk " + shellQuote(image) + " " + shellQuote(vmdk));
    // The files are the last data of the card, so they are the last data of the image file.
    fs::resize_file(vmdk, fs::file_size(vmdk) - 320 * 1024);
    ASSERT_EQ(zorvant({"scan", "--quick", vmdk}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);

    const Outcome rec = zorvant({"recover", "1", "--to", dir / "out"});
    EXPECT_EQ(rec.status, 1) << rec.out << rec.err;
    const std::string top = dir / "out/Recovered Files from card.vmdk/Found Files";
    const std::map<std::string, std::string> got = filesBelow(top);
    EXPECT_EQ(got.count("CLIP.MOV"), 0u) << "an incomplete file under its real name";
    ASSERT_EQ(got.count("CLIP.MOV.incomplete"), 1u) << rec.err;
    EXPECT_EQ(got.size(), 2u);
    EXPECT_TRUE(got.at("PHOTO.JPG") == photos.at("PHOTO.JPG"));
    const std::string &kept = got.at("CLIP.MOV.incomplete");
    EXPECT_LE(kept.size(), clip.size());
    EXPECT_TRUE(kept.substr(0, 512 * 1024) == clip.substr(0, 512 * 1024));
    EXPECT_TRUE(has(rec.out, "Recovered 1 file (")) << rec.out;
    EXPECT_TRUE(has(rec.err, "zorvant: not recovered whole: 1/Found Files/CLIP.MOV: kept as " + top +
                                 "/CLIP.MOV.incomplete, "))
        << rec.err;
    EXPECT_TRUE(has(rec.err, " of its 1,048,576 bytes could not be read from the card")) << rec.err;
    EXPECT_TRUE(has(rec.err, "zorvant: not recovered: 1/Found Files/GONE.BIN: could not be read from the card "
                             "(Input/output error); nothing of it was kept\n"))
        << rec.err;
    EXPECT_TRUE(has(rec.err, "some files could not be read whole from the card; what could be read of them is "
                             "kept under names ending in \".incomplete\"")) << rec.err;
    EXPECT_TRUE(has(rec.err, "The image file is damaged or cut short there")) << rec.err;
    EXPECT_FALSE(has(rec.err, "error -")) << rec.err;

    // The same file named alone.
    const Outcome one = zorvant({"recover", "--to", dir / "one", "1/Found Files/CLIP.MOV"});
    EXPECT_EQ(one.status, 1) << one.out << one.err;
    const std::string alone = dir / "one/Recovered Files from card.vmdk";
    EXPECT_EQ(namesBelow(alone), (std::set<std::string>{"CLIP.MOV.incomplete"}));
    EXPECT_TRUE(has(one.err, "zorvant: not recovered whole: 1/Found Files/CLIP.MOV: kept as " + alone +
                                 "/CLIP.MOV.incomplete, "))
        << one.err;
    EXPECT_TRUE(has(one.err, "The image file is damaged or cut short there")) << one.err;
    EXPECT_FALSE(has(one.err, "error -")) << one.err;
}

// A card image cut inside a 1 MiB video, so that the video's end lies past
// the image's end: as a raw image (the medium ends there: the unread end is
// never read) and inside a VMDK (the card keeps its size: the unread end
// reads as zeros). Either way that end counts in the bytes the video
// misses, exactly, and what could be read is kept as CLIP.MOV.incomplete.
TEST_F(ZorvantCliRecovery, UnreadEndOfAFileCountsAsMissing)
{
    zvtest::requireTool("qemu-img");
    const std::string image = dir / "card.img";
    zvtest::makeFat(image, 32, 64 * 1024);
    const std::string clip = zvtest::patternBytes(1024 * 1024, 9);
    zvtest::fatPut(image, "CLIP.MOV", clip);
    const std::string whole = zvtest::readFile(image);
    const size_t at = whole.find(clip.substr(0, 4096));
    ASSERT_NE(at, std::string::npos);
    ASSERT_TRUE(whole.compare(at, clip.size(), clip) == 0) << "the video is not in one piece";
    ASSERT_EQ(at % 512, 0u);

    const std::string raw = dir / "raw.img", vmdk = dir / "card.vmdk";
    zvtest::writeFile(raw, whole.substr(0, at + 768 * 1024));
    zvtest::mustRun("qemu-img convert -f raw -O vmdk " + shellQuote(image) + " " + shellQuote(vmdk));
    fs::resize_file(vmdk, fs::file_size(vmdk) - 320 * 1024); // the video is the card's last data
    for (const std::string &cut : {raw, vmdk}) {
        const std::string name = fs::path(cut).filename().string();
        SCOPED_TRACE(name);
        ws = dir / ("ws-" + name);
        ASSERT_EQ(zorvant({"scan", "--quick", cut}).status, 0);
        ASSERT_EQ(zorvant({"select", "1"}).status, 0);
        const std::string out = dir / ("out-" + name);
        const Outcome rec = zorvant({"recover", "1", "--to", out});
        EXPECT_EQ(rec.status, 1) << rec.out << rec.err;
        const std::string kept = out + "/Recovered Files from " + name + "/Found Files/CLIP.MOV.incomplete";
        ASSERT_TRUE(fs::exists(kept)) << rec.err;
        const std::string bytes = zvtest::readFile(kept);
        // What was read is the video's start; past it (in whole sectors)
        // nothing of the video, only zeros or nothing at all.
        size_t read = 0;
        while (read < bytes.size() && read < clip.size() && bytes[read] == clip[read])
            read++;
        read -= read % 512;
        EXPECT_GE(read, 512 * 1024u);
        EXPECT_LT(read, clip.size());
        EXPECT_EQ(bytes.find_first_not_of('\0', read), std::string::npos);
        if (cut == raw) {
            EXPECT_EQ(read, 768 * 1024u);
            EXPECT_EQ(bytes.size(), read);
        }
        std::string missing = std::to_string(clip.size() - read);
        for (size_t comma = missing.size(); comma > 3; comma -= 3)
            missing.insert(comma - 3, ",");
        EXPECT_TRUE(has(rec.err, "zorvant: not recovered whole: 1/Found Files/CLIP.MOV: kept as " + kept + ", " +
                                     missing + " of its 1,048,576 bytes could not be read from the card"))
            << rec.err;
    }
}

// A target that is a file, and read-only targets (an empty folder, and one
// that holds the recovery's folders already): the recovery names the path
// and the system's reason once, never blames the card, and lists no file.
TEST_F(ZorvantCliRecovery, TargetTheHostRefusesIsNamedWithItsCause)
{
    const std::string card = makeCard("card.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    auto blamesTheHost = [](const Outcome &r, const std::string &cause) {
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_TRUE(has(r.err, "the target could not be written: " + cause)) << r.err;
        EXPECT_TRUE(has(r.err, "choose a folder you can write to with --to")) << r.err;
        EXPECT_FALSE(has(r.err, "could not be read")) << r.err;
        EXPECT_FALSE(has(r.err, "not recovered: 1/Found Files/DCIM/NEW1.JPG\n")) << r.err;
    };
    const std::string file = dir / "a-file";
    zvtest::writeFile(file, "not a folder");
    blamesTheHost(zorvant({"recover", "1", "--to", file}), file + ": Not a directory");
    EXPECT_EQ(zvtest::readFile(file), "not a folder");

    const std::string empty = dir / "ro-empty", ready = dir / "ro-ready";
    const std::string made = ready + "/Recovered Files from card.img/Found Files";
    fs::create_directories(empty);
    fs::create_directories(made);
    zvtest::Mount emptyMount = zvtest::Mount::bind(empty, empty);
    emptyMount.setReadOnly(true);
    zvtest::Mount readyMount = zvtest::Mount::bind(ready, ready);
    readyMount.setReadOnly(true);
    blamesTheHost(zorvant({"recover", "1", "--to", empty}),
                  empty + "/Recovered Files from card.img: Read-only file system");
    blamesTheHost(zorvant({"recover", "1", "--to", ready}), made + ": Read-only file system");
    const Outcome named = zorvant({"recover", "--to", empty, "1/Found Files/DCIM/NEW1.JPG"});
    blamesTheHost(named, empty + "/Recovered Files from card.img: Read-only file system");
    EXPECT_TRUE(has(named.err, "zorvant: not recovered: 1/Found Files/DCIM/NEW1.JPG: the target")) << named.err;
    EXPECT_TRUE(fs::is_empty(empty));

    // Writable again, the same recovery works.
    emptyMount.setReadOnly(false);
    const Outcome again = zorvant({"recover", "1", "--to", empty});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(filesBelow(empty).at("Recovered Files from card.img/Found Files/DCIM/NEW1.JPG") ==
                photos.at("DCIM/NEW1.JPG"));
}

// A target disk with no inode left: the recovery's folder for the file
// system can't be made; made by hand with the last inode, the sub-folder
// DCIM can't be; made too, the photo's temporary can't be. Each time the
// recovery names the folder concerned and the system's reason, and leaves
// nothing of the photo; with room again the same recovery works.
TEST_F(ZorvantCliRecovery, SubFolderOrTemporaryTheHostRefusesIsNamedWithItsCause)
{
    const std::string card = makeCard("card.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    const std::string disk = dir / "tiny";
    fs::create_directories(disk);
    zvtest::Mount mount = zvtest::Mount::tmpfs(disk, "size=4m,nr_inodes=16,mode=0700");
    const std::string top = disk + "/Recovered Files from card.img", found = top + "/Found Files",
                      dcim = found + "/DCIM";
    fs::create_directories(top);
    std::vector<std::string> fillers;
    for (int n = 0; n < 64; n++) {
        const std::string filler = disk + "/filler" + std::to_string(n);
        const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            ASSERT_EQ(errno, ENOSPC) << strerror(errno);
            break;
        }
        close(fd);
        fillers.push_back(filler);
    }
    ASSERT_GE(fillers.size(), 2u);
    ASSERT_LT(fillers.size(), 64u) << "the inodes never ran out";
    auto refused = [&](const std::string &folder) {
        const Outcome r = zorvant({"recover", "1", "--to", disk});
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_TRUE(has(r.err, "the target could not be written: " + folder + ": No space left on device; choose a "
                                "folder you can write to with --to (or make room there)"))
            << r.err;
        EXPECT_FALSE(has(r.err, "could not be read")) << r.err;
        EXPECT_FALSE(has(r.out, "Recovered 1 file")) << r.out;
        return r;
    };
    {
        SCOPED_TRACE("no room for the file system's folder");
        refused(found);
        EXPECT_FALSE(fs::exists(found));
    }
    {
        SCOPED_TRACE("no room for the sub-folder");
        fs::remove(fillers.back());
        fillers.pop_back();
        fs::create_directory(found);
        refused(dcim);
        EXPECT_FALSE(fs::exists(dcim));
    }
    {
        SCOPED_TRACE("no room for the temporary");
        fs::remove(fillers.back());
        fillers.pop_back();
        fs::create_directory(dcim);
        const Outcome r = refused(dcim);
        EXPECT_TRUE(has(r.err, "zorvant: not recovered: 1/Found Files/DCIM/NEW1.JPG: could not be written to " + dcim +
                                   ": No space left on device\n"))
            << r.err;
        EXPECT_TRUE(fs::is_empty(dcim));
    }

    for (const std::string &filler : fillers)
        fs::remove(filler);
    const Outcome again = zorvant({"recover", "1", "--to", disk});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(filesBelow(dcim)["NEW1.JPG"] == photos.at("DCIM/NEW1.JPG"));
}

// fusefat names "fusefat", not the card, in the mount table: a target on
// it is still refused when the fusefat process serves the card's loop
// device, the file behind that loop device, or the card's image file, and
// nothing is written onto the card. A fusefat mount of another card is a
// target like any other.
TEST_F(ZorvantCliRecovery, TargetOnTheCardThroughFusefatIsRefused)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    const std::string card = makeCard("card.img");
    const std::string copy = dir / "copy.img";
    fs::copy_file(card, copy);
    zvtest::LoopDevice loop(card);
    ASSERT_EQ(zorvant({"scan", "--quick", loop.path()}).status, 0);
    ASSERT_EQ(zorvant({"scan", "--quick", copy}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    ASSERT_EQ(zorvant({"select", "2"}).status, 0);
    auto refused = [](const Outcome &r) {
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_TRUE(has(r.err, "the target folder lies on the card being recovered")) << r.err;
        EXPECT_TRUE(has(r.err, "choose a folder on another disk with --to")) << r.err;
    };
    {
        const std::string mnt = dir / "mnt";
        FuseFat mounted(loop.path(), mnt);
        const std::set<std::string> before = namesBelow(mnt);
        ASSERT_EQ(before.count("DCIM/NEW1.JPG"), 1u);
        refused(zorvant({"recover", "1", "--to", mnt + "/rescued"}));
        refused(zorvant({"recover", "--to", mnt, "1/Found Files/DCIM/NEW1.JPG"}));
        EXPECT_EQ(namesBelow(mnt), before);
    }
    {
        const std::string mnt = dir / "mnt-backing";
        FuseFat mounted(card, mnt);
        const std::set<std::string> before = namesBelow(mnt);
        refused(zorvant({"recover", "1", "--to", mnt + "/rescued"}));
        EXPECT_EQ(namesBelow(mnt), before);
    }
    {
        const std::string mnt = dir / "mnt-image";
        FuseFat mounted(copy, mnt);
        const std::set<std::string> before = namesBelow(mnt);
        refused(zorvant({"recover", "2", "--to", mnt + "/rescued"}));
        EXPECT_EQ(namesBelow(mnt), before);
    }
    const std::string other = dir / "other.img";
    zvtest::makeFat(other, 16, 16 * 1024);
    const std::string mnt = dir / "mnt-other";
    FuseFat mounted(other, mnt);
    const Outcome rec = zorvant({"recover", "--to", mnt + "/r", "2/Found Files/DCIM/NEW1.JPG"});
    EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
    EXPECT_TRUE(zvtest::readFile(mnt + "/r/Recovered Files from copy.img/NEW1.JPG") == photos.at("DCIM/NEW1.JPG"));
}

// A kernel mount of a loop device over the card's image (what mount -o loop
// makes; an ext4 card here, as this kernel has no vfat; read-only, since a
// read-write mount writes the card, which its scans then no longer know):
// its files carry the loop device's number, not the image file's. A
// recovery into it is refused
// whether the image file was scanned or another loop device over it, before
// anything is made there (no folder, not even the parents), and the card
// keeps every byte; so are a recovery and a save into a mount of a loop
// device over the scanned loop device; elsewhere the same recoveries work.
TEST_F(ZorvantCliRecovery, TargetOnTheCardThroughAKernelLoopMountIsRefused)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    const std::string card = dir / "card.img";
    jpegsInto(dir / "photos", 3, &photos);
    zvtest::mustRun(mkfsExt4(" -d " + shellQuote(dir / "photos") + " " + shellQuote(card) + " 16M"));
    zvtest::LoopDevice scanned(card);
    ASSERT_EQ(zorvant({"scan", card}).status, 0);
    ASSERT_EQ(zorvant({"scan", scanned.path()}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    ASSERT_EQ(zorvant({"select", "2"}).status, 0);
    const std::string one = "1/Reconstructed Files/Images/JPEG/00001.jpg";
    ASSERT_TRUE(has(zorvant({"ls", one}).out, one));

    zvtest::LoopDevice loop(card);
    const std::string mnt = dir / "mnt";
    fs::create_directories(mnt);
    {
        zvtest::BlockMount mounted(loop.path(), mnt, "ext4", MS_NOATIME | MS_RDONLY);
        ::sync();
        const std::string bytes = zvtest::readFile(card);
        const std::set<std::string> before = namesBelow(mnt);
        ASSERT_EQ(before.count("P1.JPG"), 1u);
        for (const std::string scan : {"1", "2"}) {
            SCOPED_TRACE("scan " + scan);
            expectRefusedAsOnTheCard(zorvant({"recover", scan, "--to", mnt + "/rescued/photos"}));
            expectRefusedAsOnTheCard(zorvant({"recover", scan, "--to", mnt}));
        }
        expectRefusedAsOnTheCard(zorvant({"recover", "--to", mnt + "/rescued", one}));
        EXPECT_EQ(namesBelow(mnt), before);
        ::sync();
        EXPECT_TRUE(zvtest::readFile(card) == bytes) << "the card was written";
    }
    {
        // A loop device over the scanned loop device shows the card too:
        // neither a recovery nor a save goes onto a mount of it.
        zvtest::LoopDevice over(scanned.path());
        const std::string mnt = dir / "over";
        fs::create_directories(mnt);
        zvtest::BlockMount mounted(over.path(), mnt, "ext4", MS_NOATIME | MS_RDONLY);
        const std::set<std::string> before = namesBelow(mnt);
        for (const std::string scan : {"1", "2"})
            expectRefusedAsOnTheCard(zorvant({"recover", scan, "--to", mnt + "/rescued"}));
        const Outcome save = zorvant({"save", mnt + "/cards.zvscan"});
        EXPECT_EQ(save.status, 1) << save.out << save.err;
        EXPECT_TRUE(has(save.err, "its folder lies on the card or image being recovered")) << save.err;
        EXPECT_EQ(namesBelow(mnt), before);
    }
    for (const std::string scan : {"1", "2"}) {
        const std::string out = dir / ("out" + scan);
        const Outcome rec = zorvant({"recover", scan, "--to", out});
        EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
        EXPECT_EQ(bytesBelow(filesBelow(out)), photoBytes());
    }
}

// Fault guarded: every recovery hung while any loop device of the machine
// was over a file of a FUSE mount whose server had stopped: the guard asked
// each loop device what it maps, and the kernel answers that with a getattr
// of the loop's file, which waits on the server once the attributes it
// keeps have expired. With a loop over an unrelated file served by
// failing_card_fuse and that server stopped, recoveries of the card
// (scanned as its image file and through a loop device over it) into an
// ordinary folder and a save end as on any day, and a recovery or a save
// onto a fusefat mount of the card is still refused.
TEST_F(ZorvantCliRecovery, LoopOverAStoppedFuseServersFileHoldsNoRecoveryOrSave)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    const std::string card = makeCard("card.img");
    zvtest::LoopDevice scanned(card);
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    ASSERT_EQ(zorvant({"scan", "--quick", scanned.path()}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    ASSERT_EQ(zorvant({"select", "2"}).status, 0);
    const std::string other = dir / "other.img", served = dir / "served";
    zvtest::mustRun("truncate -s 8M " + shellQuote(other));
    fs::create_directories(served);
    zvcli::FailingCard server(other, served);
    zvcli::ReadOnlyLoop stuck(server.path());
    zvcli::PausedCard paused(server);
    // The kernel keeps the served file's attributes for a second (libfuse's
    // default); past that, a getattr of it waits on the stopped server.
    std::this_thread::sleep_for(std::chrono::seconds(2));

    for (const std::string scan : {"1", "2"}) {
        SCOPED_TRACE("scan " + scan);
        const std::string out = dir / ("out" + scan);
        const Outcome rec = zorvant({"recover", scan, "--to", out});
        EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
        EXPECT_EQ(bytesBelow(filesBelow(out)).count(photos.at("DCIM/NEW1.JPG")), 1u);
    }
    const Outcome save = zorvant({"save", dir / "cards.zvscan"});
    EXPECT_EQ(save.status, 0) << save.out << save.err;
    const std::string mnt = dir / "mnt";
    FuseFat mounted(card, mnt);
    const std::set<std::string> before = namesBelow(mnt);
    expectRefusedAsOnTheCard(zorvant({"recover", "--to", mnt + "/rescued", "1/Found Files/DCIM/NEW1.JPG"}));
    const Outcome refused = zorvant({"save", mnt + "/cards.zvscan"});
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_TRUE(has(refused.err, "its folder lies on the card or image being recovered")) << refused.err;
    EXPECT_EQ(namesBelow(mnt), before);
}

// A card image with an MBR: ext4 in partition 1, FAT in partition 2 holding
// a photo. A loop device with its partitions (losetup -P; partx here, as
// this kernel reads no partition tables itself) and loop devices over one
// partition's window of the image (losetup -o --sizelimit) all show bytes of
// the one card. A thorough scan of the image is refused a target on any of
// them; a scan of the FAT partition is refused a target on what shows that
// partition (fusefat over /dev/loopNp2 or over a loop device on its window,
// also one shorter than its offset), while the ext4 partition beside it,
// other bytes of the card, takes its files; so is a scan of /dev/loopNp2,
// through its disk and the image under it.
TEST_F(ZorvantCliRecovery, PartitionsAndWindowsOfTheCardImageAreTheCard)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    zvtest::requireTool("sfdisk");
    const std::string card = dir / "card.img";
    constexpr uint64_t kExtStart = 2048ull * 512, kExtSize = 16ull << 20;
    constexpr uint64_t kFatStart = 34816ull * 512, kFatSize = 31ull << 20;
    zvtest::mustRun("truncate -s 48M " + shellQuote(card));
    zvtest::mustRun("printf 'label: dos\\nstart=2048, size=32768, type=83\\nstart=34816, type=6\\n' | sfdisk -q " +
                    shellQuote(card));
    zvtest::mustRun(mkfsExt4(",offset=" + std::to_string(kExtStart) + " " + shellQuote(card) + " 16M"));
    zvtest::mustRun("mkfs.fat -F 16 -n CARDFAT --offset=34816 " + shellQuote(card) + " 31744 >/dev/null");
    jpegsInto(dir / "photos", 1, &photos);
    const std::string photo = photos.at("P1.JPG");
    zvtest::fatPut(card, "PHOTO.JPG", photo, 0, kFatStart);

    ASSERT_EQ(zorvant({"scan", card}).status, 0);
    const Outcome list = zorvant({"list"});
    std::smatch id;
    ASSERT_TRUE(std::regex_search(list.out, id, std::regex("\\n *([0-9]+) +[^\\n]* CARDFAT\\n"))) << list.out;
    ASSERT_EQ(zorvant({"scan", "--quick", id[1].str()}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    ASSERT_EQ(zorvant({"select", "2"}).status, 0);
    ASSERT_TRUE(has(zorvant({"ls", "2/Found Files/PHOTO.JPG"}).out, "PHOTO.JPG"));

    zvtest::TestLoop loop(card);
    loop.addPartitions();
    const Outcome part = zorvant({"scan", "--quick", loop.partition(2)});
    ASSERT_EQ(part.status, 0) << part.out << part.err;
    ASSERT_EQ(scanNumber(part), "3") << part.out;
    ASSERT_EQ(zorvant({"select", "3"}).status, 0);
    {
        const std::string mnt = dir / "ext-part";
        fs::create_directories(mnt);
        zvtest::BlockMount mounted(loop.partition(1), mnt, "ext4", MS_NOATIME);
        const std::set<std::string> before = namesBelow(mnt);
        expectRefusedAsOnTheCard(zorvant({"recover", "1", "--to", mnt + "/r"}));
        EXPECT_EQ(namesBelow(mnt), before);
        const Outcome rec = zorvant({"recover", "2", "--to", mnt + "/r"});
        EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
        EXPECT_TRUE(zvtest::readFile(mnt + "/r/Recovered Files from CARDFAT/Found Files/PHOTO.JPG") == photo);
    }
    ASSERT_EQ(zorvant({"select", "2"}).status, 0); // recovered, so no longer ticked
    {
        const std::string mnt = dir / "ext-window";
        fs::create_directories(mnt);
        WindowLoop window(card, kExtStart, kExtSize);
        zvtest::BlockMount mounted(window.path(), mnt, "ext4", MS_NOATIME);
        const std::set<std::string> before = namesBelow(mnt);
        expectRefusedAsOnTheCard(zorvant({"recover", "1", "--to", mnt + "/again"}));
        EXPECT_EQ(namesBelow(mnt), before);
    }
    // fusefat over /dev/loopNp2 (size 0), over a loop device on the
    // partition's window, and over one on a window shorter than its offset.
    for (const uint64_t size : {uint64_t(0), kFatSize, kFatStart - (uint64_t(1) << 20)}) {
        const std::string what = size == 0 ? "fat-part" : "fat-window-" + std::to_string(size >> 20) + "M";
        SCOPED_TRACE(what);
        const std::string mnt = dir / what;
        WindowLoop window(card, kFatStart, size == 0 ? kFatSize : size);
        FuseFat mounted(size == 0 ? loop.partition(2) : window.path(), mnt, false); // a writing server marks the FAT
        const std::set<std::string> before = namesBelow(mnt);
        ASSERT_EQ(before.count("PHOTO.JPG"), 1u);
        for (const std::string scan : {"1", "2", "3"})
            expectRefusedAsOnTheCard(zorvant({"recover", scan, "--to", mnt + "/r"}));
        expectRefusedAsOnTheCard(zorvant({"recover", "--to", mnt, "2/Found Files/PHOTO.JPG"}));
        EXPECT_EQ(namesBelow(mnt), before);
    }
}

// fusefat names no device in the mount table, and the server may hold the
// card by any of its names: /dev/loopN over the image scanned as a file; or,
// /dev/loopN scanned, the image file itself reached by another path than
// the one the loop device was made with (a bind mount of its folder, which
// is what sysfs names as the loop device's file). Either way the server
// holds the card, and a target on its mount is refused.
TEST_F(ZorvantCliRecovery, TargetOnTheCardThroughFusefatByAnotherNameIsRefused)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    fs::create_directories(dir / "real");
    fs::create_directories(dir / "view");
    const std::string card = makeCard("real/card.img");
    zvtest::Mount view = zvtest::Mount::bind(dir / "real", dir / "view");
    zvtest::LoopDevice loop(dir / "view/card.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    ASSERT_EQ(zorvant({"scan", "--quick", loop.path()}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    ASSERT_EQ(zorvant({"select", "2"}).status, 0);
    const struct {
        const char *what, *scan;
        std::string served;
    } cases[] = {
        {"the image scanned, fusefat over /dev/loopN", "1", loop.path()},
        {"/dev/loopN scanned, fusefat over its file by another path", "2", card},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string mnt = dir / ("mnt" + std::string(c.scan));
        FuseFat mounted(c.served, mnt);
        const std::set<std::string> before = namesBelow(mnt);
        ASSERT_EQ(before.count("DCIM/NEW1.JPG"), 1u);
        expectRefusedAsOnTheCard(zorvant({"recover", c.scan, "--to", mnt + "/rescued"}));
        const std::string photo = std::string(c.scan) + "/Found Files/DCIM/NEW1.JPG";
        expectRefusedAsOnTheCard(zorvant({"recover", "--to", mnt + "/DCIM", photo}));
        EXPECT_EQ(namesBelow(mnt), before);
    }
}

// Files whose data on the card ends early (the card cut 1.5 MB short: half a
// video and a file after it lie past its end), read once from the image file
// and once from a loop device over it (a card): what to do is told for what
// the medium is, an image file to copy again or a card to read in another
// reader.
TEST_F(ZorvantCliRecovery, WhatToDoAboutUnreadFilesFollowsWhatTheMediumIs)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    const std::string image = dir / "card.img";
    zvtest::makeFat(image, 32, 64 * 1024);
    put(image, "PHOTO.JPG", 200, 150, 3);
    zvtest::fatPut(image, "FILLER.BIN", std::string(61 << 20, '\0')); // the others go to the card's end
    zvtest::fatPut(image, "CLIP.MOV", zvtest::patternBytes(1 << 20, 4));
    zvtest::fatPut(image, "GONE.BIN", std::string(64 * 1024, 'g'));
    fs::resize_file(image, (62 << 20) + (512 << 10));
    const auto recover = [&](const std::string &medium, const std::string &n) {
        const Outcome scan = zorvant({"scan", "--quick", medium});
        EXPECT_EQ(scanNumber(scan), n) << scan.out << scan.err;
        EXPECT_EQ(zorvant({"select", n}).status, 0);
        const Outcome rec = zorvant({"recover", n, "--to", dir / ("out" + n)});
        EXPECT_EQ(rec.status, 1) << rec.out << rec.err;
        EXPECT_TRUE(has(rec.err, "some files could not be read whole from the card")) << rec.err;
        return rec;
    };
    const Outcome from_image = recover(image, "1");
    EXPECT_TRUE(has(from_image.err, "The image file is damaged or cut short there")) << from_image.err;
    EXPECT_FALSE(has(from_image.err, "card reader")) << from_image.err;
    zvtest::LoopDevice loop(image);
    const Outcome from_card = recover(loop.path(), "2");
    EXPECT_TRUE(has(from_card.err, "Try another card reader, or copy the card to an image file")) << from_card.err;
    EXPECT_FALSE(has(from_card.err, "image file is damaged")) << from_card.err;
}

// A disk image kept on the card's file system holds bytes of the card. The
// card is an ext4 image (mounted by the kernel through a loop device) that
// holds inner.img, inner2.img (ext4) and fat.img, and is scanned once they
// are written. A recovery of the card is refused a target on a kernel mount
// of a loop device over inner.img, on fusefat serving fat.img, and on
// fuse2fs serving inner2.img by its path on the card (each read-only: a
// mount that writes the card leaves its scan without it), with nothing made
// there; elsewhere the same recovery works.
TEST_F(ZorvantCliRecovery, DiskImageKeptOnTheCardIsTheCard)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    const std::string card = dir / "card.img";
    jpegsInto(dir / "photos", 2, &photos);
    zvtest::mustRun(mkfsExt4(" -d " + shellQuote(dir / "photos") + " " + shellQuote(card) + " 48M"));

    zvtest::LoopDevice cardLoop(card);
    const std::string mcard = dir / "mcard";
    fs::create_directories(mcard);
    zvtest::BlockMount cardMount(cardLoop.path(), mcard, "ext4", MS_NOATIME);
    const std::string inner = mcard + "/inner.img", inner2 = mcard + "/inner2.img", fat = mcard + "/fat.img";
    zvtest::mustRun(mkfsExt4(" " + shellQuote(inner) + " 4M"));
    zvtest::mustRun(mkfsExt4(" " + shellQuote(inner2) + " 4M"));
    zvtest::makeFat(fat, 16, 16 * 1024);
    ::sync();
    ASSERT_EQ(zorvant({"scan", card}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    const auto refusedThere = [&](const std::string &mnt) {
        const std::set<std::string> before = namesBelow(mnt);
        expectRefusedAsOnTheCard(zorvant({"recover", "1", "--to", mnt + "/out"}));
        EXPECT_EQ(namesBelow(mnt), before);
    };
    {
        SCOPED_TRACE("a kernel mount of a loop device over an image on the card");
        zvtest::LoopDevice innerLoop(inner);
        const std::string mnt = dir / "minner";
        fs::create_directories(mnt);
        zvtest::BlockMount mounted(innerLoop.path(), mnt, "ext4", MS_NOATIME | MS_RDONLY);
        refusedThere(mnt);
    }
    {
        SCOPED_TRACE("fusefat serving an image on the card");
        const std::string mnt = dir / "mfat";
        FuseFat mounted(fat, mnt, false);
        refusedThere(mnt);
    }
    {
        SCOPED_TRACE("fuse2fs serving an image on the card, named by its path");
        const std::string mnt = dir / "minner2";
        Fuse2fs mounted(inner2, mnt, false);
        refusedThere(mnt);
    }
    const Outcome rec = zorvant({"recover", "1", "--to", dir / "out"});
    EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
    EXPECT_EQ(bytesBelow(filesBelow(dir / "out")), photoBytes());
}

// A folder of the card mounted inside the target, on a folder the recovery
// enters (a mount point is a real folder, and an existing folder is
// reused): after a first recovery into a folder, a folder of the card is
// bind-mounted onto the folder that took its files, and the files are
// ticked again. The card is a FAT image served by fusefat, and an ext4
// image mounted by the kernel through a loop device (both read-only: a
// mount that writes the card leaves its scan without it). The next recovery
// stops there, names that folder, and writes nothing onto the card.
TEST_F(ZorvantCliRecovery, CardFolderMountedInsideTheTargetIsRefused)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    const std::string fatCard = makeCard("card.img");
    const std::string extCard = dir / "card2.img";
    jpegsInto(dir / "photos", 2, &photos);
    zvtest::mustRun(mkfsExt4(" -d " + shellQuote(dir / "photos") + " " + shellQuote(extCard) + " 16M"));
    ASSERT_EQ(zorvant({"scan", "--quick", fatCard}).status, 0);
    ASSERT_EQ(zorvant({"scan", extCard}).status, 0);
    // The folder that took the scan's files in a first recovery.
    const auto recoveredOnce = [&](const std::string &scan) {
        const std::string out = dir / ("out" + scan);
        EXPECT_EQ(zorvant({"select", scan}).status, 0);
        const Outcome first = zorvant({"recover", scan, "--to", out});
        EXPECT_EQ(first.status, 0) << first.out << first.err;
        const std::map<std::string, std::string> files = filesBelow(out);
        EXPECT_FALSE(files.empty());
        EXPECT_EQ(zorvant({"select", scan}).status, 0);
        return files.empty() ? out : out + "/" + fs::path(files.begin()->first).parent_path().string();
    };
    const auto refusedAt = [&](const std::string &scan, const std::string &folder, const std::string &mnt) {
        const std::set<std::string> before = namesBelow(mnt);
        const Outcome r = zorvant({"recover", scan, "--to", dir / ("out" + scan)});
        expectRefusedAsOnTheCard(r);
        EXPECT_TRUE(has(r.err, "(" + folder + " in it is a mount of the card)")) << r.err;
        EXPECT_EQ(namesBelow(mnt), before);
    };
    {
        SCOPED_TRACE("a folder of a FAT card served by fusefat");
        const std::string folder = recoveredOnce("1");
        ASSERT_TRUE(has(folder, "/Found Files/DCIM")) << folder;
        const std::string mnt = dir / "mfat";
        FuseFat mounted(fatCard, mnt, false);
        zvtest::Mount bound = zvtest::Mount::bind(mnt + "/DCIM", folder);
        refusedAt("1", folder, mnt);
    }
    {
        SCOPED_TRACE("an ext4 card mounted by the kernel");
        const std::string folder = recoveredOnce("2");
        zvtest::LoopDevice loop(extCard);
        const std::string mnt = dir / "mext";
        fs::create_directories(mnt);
        zvtest::BlockMount mounted(loop.path(), mnt, "ext4", MS_NOATIME | MS_RDONLY);
        zvtest::Mount bound = zvtest::Mount::bind(mnt, folder);
        refusedAt("2", folder, mnt);
    }
}

// While a FUSE server serves the card (fusefat over its image), a FUSE
// mount of another disk is no part of it: fuse2fs over a loop device of
// another image (its entry names that device) and fusefat over another
// image (its entry names nothing; the kernel tells which mount each server
// serves) take the recovery, and the card's own fusefat mount is still
// refused.
TEST_F(ZorvantCliRecovery, OtherFuseMountWhileTheCardIsServedIsNotTheCard)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    const std::string card = makeCard("card.img");
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    const std::string photo = "1/Found Files/DCIM/NEW1.JPG";
    const std::string cardMnt = dir / "mcard";
    FuseFat cardServed(card, cardMnt);
    const std::string ext = dir / "other-ext.img", fat = dir / "other-fat.img";
    zvtest::mustRun(mkfsExt4(" " + shellQuote(ext) + " 8M"));
    zvtest::makeFat(fat, 16, 16 * 1024);
    zvtest::LoopDevice extLoop(ext);
    const std::string extMnt = dir / "mext", fatMnt = dir / "mfat";
    Fuse2fs extServed(extLoop.path(), extMnt);
    FuseFat fatServed(fat, fatMnt);
    for (const std::string &mnt : {extMnt, fatMnt}) {
        SCOPED_TRACE(mnt);
        const Outcome rec = zorvant({"recover", "--to", mnt + "/r", photo});
        EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
        EXPECT_TRUE(zvtest::readFile(mnt + "/r/Recovered Files from card.img/NEW1.JPG") ==
                    photos.at("DCIM/NEW1.JPG"));
    }
    const std::set<std::string> before = namesBelow(cardMnt);
    expectRefusedAsOnTheCard(zorvant({"recover", "--to", cardMnt + "/r", photo}));
    EXPECT_EQ(namesBelow(cardMnt), before);
}

// Another card of the same size in the scanned one's place is not taken for
// it: an image file dumped again from another card, and a loop device bound
// to another camera-like card (the same partition table without disk id,
// its volume 4 MiB in: only the volume's serial tells them apart among the
// bytes sampled). Each scan is listed "medium not attached" and its
// recovery writes nothing (exit 1); the scanned cards back, both recover.
TEST_F(ZorvantCliRecovery, AnotherCardOfTheSameSizeInItsPlaceIsNotRecovered)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    zvtest::requireTool("sfdisk");
    const std::string card = makeCard("card.img"), kept = dir / "kept.img", other = makeCard("other.img");
    put(other, "DCIM/NEW2.JPG", 180, 120, 12);
    fs::copy_file(card, kept);
    const auto camera_card = [&](const std::string &name, const std::string &serial, uint32_t seed) {
        const std::string image = dir / name;
        zvtest::mustRun("truncate -s 64M " + shellQuote(image) + " && printf 'label: dos\\nlabel-id: 0\\n"
                        "start=8192, type=c\\n' | sfdisk -q " + shellQuote(image));
        zvtest::mustRun("mkfs.fat -F 32 -i " + serial + " --offset=8192 " + shellQuote(image) + " >/dev/null");
        put(image, name + ".JPG", 240, 160, seed, 8192 * 512);
        return image;
    };
    const std::string scanned = camera_card("A", "1111AAAA", 21), swapped = camera_card("B", "2222BBBB", 22);
    zvtest::LoopDevice loop(scanned);
    ASSERT_EQ(zorvant({"scan", "--quick", card}).status, 0);
    ASSERT_EQ(zorvant({"scan", "--quick", loop.path()}).status, 0);
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    ASSERT_EQ(zorvant({"select", "2"}).status, 0);

    fs::copy_file(other, card, fs::copy_options::overwrite_existing);
    loop.bind(swapped);
    const Outcome list = zorvant({"list"});
    for (const std::string scan : {"1", "2"}) {
        SCOPED_TRACE("scan " + scan);
        EXPECT_TRUE(std::regex_search(list.out, std::regex("\n *" + scan + " +quick +done, medium not attached ")))
            << list.out;
        const Outcome rec = zorvant({"recover", scan, "--to", dir / "out"});
        EXPECT_EQ(rec.status, 1) << rec.out;
        EXPECT_TRUE(has(rec.err, "not attached: the one in its place now is not the one scanned")) << rec.err;
        EXPECT_FALSE(fs::exists(dir / "out"));
    }

    fs::copy_file(kept, card, fs::copy_options::overwrite_existing);
    loop.bind(scanned);
    for (const auto &[scan, photo] : {std::make_pair("1", "DCIM/NEW1.JPG"), std::make_pair("2", "A.JPG")}) {
        const Outcome rec = zorvant({"recover", scan, "--to", dir / scan});
        EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
        EXPECT_EQ(bytesBelow(filesBelow(dir / scan)).count(photos.at(photo)), 1u) << scan;
    }
}

// Fault guarded: a recovery into an overlay whose upper folder lies on the
// card, into unionfs-fuse with a card folder as its writable branch, or into
// a FUSE server that passes each request on to a card folder and holds
// nothing open between requests wrote its files onto the card, exit 0; so
// did one with an overlay of the card mounted inside the target, and one
// into the passthrough server left its folders on the card. Each is refused
// as a target on the card, before anything is made there but for the
// passthrough server's probe file, seen only while a file of it is open
// (also for a save and a workspace there: no folder is made and no file
// written on the card, not even for a moment); nothing is left on the card:
// an ext4 card mounted by the kernel through a loop device at a folder named
// with a blank and a comma.
TEST_F(ZorvantCliRecovery, OverlayUnionAndPassthroughMountsOfTheCardAreRefused)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    const std::string card = dir / "card.img", mnt = dir / "c a,1", lower = dir / "lower";
    const std::string deep = dir / "t/Recovered Files from card.img/Images";
    jpegsInto(dir / "photos", 3, &photos);
    zvtest::mustRun(mkfsExt4(" -d " + shellQuote(dir / "photos") + " " + shellQuote(card) + " 16M"));
    zvtest::LoopDevice loop(card);
    for (const std::string &folder : {mnt, lower, dir / "ov", deep})
        fs::create_directories(folder);
    zvtest::BlockMount mounted(loop.path(), mnt, "ext4", MS_NOATIME);
    for (const char *sub : {"/u", "/w", "/u2", "/w2", "/branch", "/pt"})
        fs::create_directories(mnt + sub);
    const std::map<std::string, std::string> before = filesBelow(mnt);
    const std::string escaped = dir / "c a\\,1", layers = "lowerdir=" + lower + ",upperdir=" + escaped + "/u";
    zvtest::BlockMount overlay("overlay", dir / "ov", "overlay", 0, layers + ",workdir=" + escaped + "/w");
    zvtest::BlockMount inside("overlay", deep, "overlay", 0, layers + "2,workdir=" + escaped + "/w2");
    zvcli::FuseMount branches("unionfs", " -o cow", mnt + "/branch=RW:" + lower + "=RO", dir / "un", "");
    zvcli::PassthroughFuse passthrough(mnt + "/pt", dir / "pt");
    // Scanned as the mounts left it: a card written to since its scan is no
    // longer the scan's medium.
    ::sync();
    ASSERT_EQ(zorvant({"scan", card}).status, 0);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC); // what is made in the card's folder
    ASSERT_GE(inotify_add_watch(watch, (mnt + "/pt").c_str(), IN_CREATE | IN_MODIFY), 0);

    for (const std::string &target : {dir / "ov/out", dir / "t", dir / "un/out", dir / "pt/out"}) {
        SCOPED_TRACE(target);
        expectRefusedAsOnTheCard(zorvant({"recover", "--to", target, "1/Reconstructed Files"}));
    }
    for (const char *sub : {"/u", "/u2", "/branch", "/pt"}) // refused before a folder is made there
        EXPECT_TRUE(fs::is_empty(mnt + sub)) << sub;
    const Outcome save = zorvant({"save", dir / "pt/cards.zvscan"});
    EXPECT_EQ(save.status, 1) << save.out << save.err;
    EXPECT_TRUE(has(save.err, "its folder lies on the card or image being recovered")) << save.err;
    const Outcome scan = zorvant({"scan", card}, dir / "pt/ws");
    EXPECT_EQ(scan.status, 1) << scan.out << scan.err;
    EXPECT_TRUE(has(scan.err, "keep the workspace on another disk with --workspace DIR")) << scan.err;
    EXPECT_FALSE(fs::exists(mnt + "/pt/ws"));
    EXPECT_TRUE(filesBelow(mnt) == before) << "a file was left on the card";
    alignas(inotify_event) char events[4096];
    const ssize_t got = read(watch, events, sizeof events);
    close(watch);
    for (ssize_t at = 0; at < got;) {
        const inotify_event *made = (const inotify_event *)(events + at);
        EXPECT_EQ(made->mask & (IN_ISDIR | IN_MODIFY), 0u) << "a folder made or a file written: " << made->name;
        at += sizeof(inotify_event) + made->len;
    }
    // With a file of the card in the folder, the server is seen holding the
    // card while that file is open: no probe file is made there either.
    {
        std::ofstream(mnt + "/pt/KEPT.JPG") << "kept";
        const int again = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(inotify_add_watch(again, (mnt + "/pt").c_str(), IN_CREATE), 0);
        expectRefusedAsOnTheCard(zorvant({"recover", "--to", dir / "pt/out", "1/Reconstructed Files"}));
        EXPECT_EQ(zorvant({"save", dir / "pt/cards.zvscan"}).status, 1);
        EXPECT_EQ(zorvant({"scan", card}, dir / "pt/ws").status, 1);
        EXPECT_LT(read(again, events, sizeof events), 0) << "a file was made on the card";
        close(again);
    }
}

} // namespace
