// The end of a scan as the `zorvant` program tells it: a card that could
// not all be read, a scan stopped early, a deleted-file scan that fails, a
// card in a file system the quick scan does not read, a quick scan that
// could not read some folders, and a recovery with nothing ticked. Child processes on images made at test time (mkfs.fat,
// mtools, cjpeg, qemu-img, mkfs.exfat).
#include <sstream>

#include "app/zorvant_cli_support.h"
#include "foundation/number_format.h"
#include "storage/images/dc42_writer.h"

namespace {

namespace fs = std::filesystem;
using zvcli::has;
using zvcli::Child;
using zvcli::Outcome;
using zvtest::shellQuote;

using ZorvantCliScanEnd = zvcli::ZorvantCli;

// A card inside a VMDK whose file was cut short, and a DiskCopy 4.2 image
// cut the same way: the blocks past the cut cannot be read. The scan keeps
// going over them (as zeros), but its end says how many and where, not
// "completed with no errors", and exits 3; the ranges it names are those the
// engine log reports at the end.
TEST_F(ZorvantCliScanEnd, CutImageReportsTheUnreadableRangesAndExits3)
{
    zvtest::requireTool("qemu-img");
    const std::string card = makeCard("card.img");
    const std::string vmdk = dir / "card.vmdk";
    zvtest::mustRun("qemu-img convert -f raw -O vmdk " + shellQuote(card) + " " + shellQuote(vmdk));
    const uintmax_t whole = fs::file_size(vmdk);
    fs::resize_file(vmdk, whole / 4 * 3);
    const Outcome r = zorvant({"scan", vmdk});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_FALSE(has(r.out, "completed with no errors")) << r.out;
    EXPECT_TRUE(has(r.out, "Scan of " + vmdk + " finished, but ")) << r.out;
    EXPECT_TRUE(has(r.out, " blocks of 512 bytes (")) << r.out;
    EXPECT_TRUE(has(r.out, "could not be read and were scanned as zeros:\n  bytes ")) << r.out;
    EXPECT_TRUE(has(r.out, "may be missing or damaged. The image file is damaged or cut short there")) << r.out;
    EXPECT_FALSE(has(r.out, "[426]")) << "a raw code instead of words: " << r.out;
    EXPECT_EQ(scanNumber(r), "1") << r.out; // what was found is kept
    // The count and the first range agree with the engine log's report.
    const std::string log = zvtest::readFile(ws + "/ZorvantWorkspace/ScanEngineLog.txt");
    const size_t at = log.find("Unreadable parts of " + vmdk + ": ");
    ASSERT_NE(at, std::string::npos) << log;
    const long long blocks = std::stoll(log.substr(at + std::string("Unreadable parts of " + vmdk + ": ").size()));
    EXPECT_GT(blocks, 0);
    const size_t first = log.find("  blocks ", at);
    ASSERT_NE(first, std::string::npos);
    const long long from = std::stoll(log.substr(first + 9));
    EXPECT_TRUE(has(r.out, " " + ZV::NumberFormatter::integerString((uint64_t)blocks) + " blocks of 512")) << r.out;
    EXPECT_TRUE(has(r.out, "  bytes " + ZV::NumberFormatter::integerString((uint64_t)from * 512) + " to ")) << r.out;
    EXPECT_LT(from * 512, 64LL * 1024 * 1024);
    EXPECT_TRUE(has(zorvant({"--help"}).out, "3 scan finished, but part of\nthe card was not read"));
    // The same for a DiskCopy 4.2 floppy image cut inside its data.
    const std::string floppy = dir / "floppy.img";
    zvtest::makeFat(floppy, 12, 1440);
    put(floppy, "PHOTO.JPG", 160, 120, 31);
    std::string dc42 = zvtest::dc42Image(zvtest::readFile(floppy));
    dc42.resize(1000000);
    zvtest::writeFile(dir / "floppy.dc42", dc42);
    const Outcome cut = zorvant({"scan", dir / "floppy.dc42"});
    EXPECT_EQ(cut.status, 3) << cut.out << cut.err;
    EXPECT_FALSE(has(cut.out, "completed with no errors")) << cut.out;
    EXPECT_TRUE(has(cut.out, "could not be read and were scanned as zeros:\n  bytes ")) << cut.out;
    // The intact image (its grains never written read as zeros, not as
    // failures) still ends as a whole scan.
    zvtest::mustRun("qemu-img convert -f raw -O vmdk " + shellQuote(card) + " " + shellQuote(dir / "whole.vmdk"));
    const Outcome clean = zorvant({"scan", dir / "whole.vmdk"});
    EXPECT_EQ(clean.status, 0) << clean.out << clean.err;
    EXPECT_TRUE(has(clean.out, "completed with no errors.")) << clean.out;
}

// The byte offset of the first cluster of a folder on a FAT32 card image
// (mshowfat names the cluster, the boot sector where cluster 2 lies).
uint64_t folderOffset(const std::string &card, const std::string &folder)
{
    const std::string shown =
        zvtest::mtools("mshowfat -i " + zvtest::mtoolsImage(card) + " " + shellQuote("::/" + folder));
    const size_t open = shown.find('<');
    if (open == std::string::npos)
        throw std::runtime_error("mshowfat named no cluster: " + shown);
    const uint64_t cluster = std::stoull(shown.substr(open + 1));
    const std::string boot = zvtest::readFile(card).substr(0, 512);
    const auto byte = [&](size_t at) { return (uint64_t)(uint8_t)boot[at]; };
    const uint64_t sector = byte(11) | byte(12) << 8;
    const uint64_t perCluster = byte(13);
    const uint64_t reserved = byte(14) | byte(15) << 8;
    const uint64_t perFat = byte(36) | byte(37) << 8 | byte(38) << 16 | byte(39) << 24;
    return (reserved + byte(16) * perFat + (cluster - 2) * perCluster) * sector;
}

// A quick scan of a card inside a VMDK cut short: the FATs and the first
// folders lie before the cut, a folder written after a big file past it.
// The quick scan keeps what it could list, but its end says how many
// blocks it could not read and where (that folder), that folders there may
// be listed incompletely, and exits 3. The same card whole ends "completed
// with no errors", exit 0.
TEST_F(ZorvantCliScanEnd, QuickScanOfACutImageReportsTheFoldersItCouldNotRead)
{
    zvtest::requireTool("qemu-img");
    zvtest::requireTool("mshowfat");
    const std::string card = makeCard("card.img");
    zvtest::fatPut(card, "FILLER.BIN", zvtest::patternBytes(40 << 20, 7));
    zvtest::fatMkdir(card, "LATE");
    for (int n = 1; n <= 30; n++)
        zvtest::fatPut(card, "LATE/note number " + std::to_string(n) + ".txt", "note " + std::to_string(n));
    const uint64_t late = folderOffset(card, "LATE");
    const std::string vmdk = dir / "cut.vmdk";
    zvtest::mustRun("qemu-img convert -f raw -O vmdk " + shellQuote(card) + " " + shellQuote(vmdk));
    fs::resize_file(vmdk, fs::file_size(vmdk) / 4 * 3);
    const Outcome r = zorvant({"scan", "--quick", vmdk});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_FALSE(has(r.out, "completed with no errors")) << r.out;
    EXPECT_TRUE(has(r.out, "Scan of " + vmdk + " finished, but ")) << r.out;
    EXPECT_TRUE(has(r.out, " of 512 bytes (")) << r.out;
    EXPECT_TRUE(has(r.out, "could not be read:\n  bytes " + ZV::NumberFormatter::integerString(late) + " to "))
        << late << "\n" << r.out;
    EXPECT_FALSE(has(r.out, "scanned as zeros")) << r.out;
    EXPECT_TRUE(has(r.out, "Folders in these ranges may be listed incompletely")) << r.out;
    EXPECT_TRUE(has(r.out, "The image file is damaged or cut short there")) << r.out;
    EXPECT_FALSE(has(r.out, "[426]")) << "a raw code instead of words: " << r.out;
    // What was listed is kept: the scan and the photo before the cut.
    EXPECT_EQ(scanNumber(r), "1") << r.out;
    EXPECT_EQ(zorvant({"select", "1/Found Files/DCIM/NEW1.JPG"}).status, 0);
    const std::string log = zvtest::readFile(ws + "/ZorvantWorkspace/ScanEngineLog.txt");
    EXPECT_TRUE(has(log, "Unreadable parts of " + vmdk + ": ")) << log;

    zvtest::mustRun("qemu-img convert -f raw -O vmdk " + shellQuote(card) + " " + shellQuote(dir / "whole.vmdk"));
    const Outcome whole = zorvant({"scan", "--quick", dir / "whole.vmdk"});
    EXPECT_EQ(whole.status, 0) << whole.out << whole.err;
    EXPECT_TRUE(has(whole.out, "Scan of " + dir / "whole.vmdk" + " completed with no errors."))
        << whole.out;
    EXPECT_FALSE(has(whole.out, "could not be read")) << whole.out;
}

// --stop-after ends a thorough scan of a big card early: the end says it
// stopped, at what share of the card, with the files found so far (kept),
// never the whole scan's message, and exits 3.
TEST_F(ZorvantCliScanEnd, EarlyStopSaysHowFarItGot)
{
    const std::string big = dir / "big.img";
    zvtest::mustRun("truncate -s 1T " + shellQuote(big)); // far more than any machine reads in 2 s
    const std::string base = dir / "photo";
    zvtest::writeFile(base + ".ppm", zvtest::ppm(160, 120, 5));
    zvtest::mustRun("cjpeg -quality 90 -outfile " + shellQuote(base + ".jpg") + " " + shellQuote(base + ".ppm"));
    zvtest::mustRun("dd if=" + shellQuote(base + ".jpg") + " of=" + shellQuote(big) +
                    " conv=notrunc status=none");
    const Outcome r = zorvant({"scan", big, "--stop-after", "2"});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Scan of " + big + " stopped early at ")) << r.out;
    EXPECT_TRUE(has(r.out, "% of the card (")) << r.out;
    EXPECT_TRUE(has(r.out, " of 1 TB scanned); 1 file found so far is kept.")) << r.out;
    EXPECT_FALSE(has(r.out, "completed with")) << r.out;
    EXPECT_EQ(scanNumber(r), "1") << r.out;
    EXPECT_TRUE(has(r.out, "Reconstructed Files/Images")) << r.out;
}

// A deleted-file scan of a FAT card fails with words that point to the
// thorough scan, and leaves no scan behind; a recovery from a scan with
// nothing ticked says so and fails instead of "Recovered 0 files".
TEST_F(ZorvantCliScanEnd, FailedDeletedScanLeavesNoScanAndNothingTickedIsAFailure)
{
    const std::string card = makeCard("card.img");
    const Outcome deleted = zorvant({"scan", "--deleted", card});
    EXPECT_EQ(deleted.status, 1) << deleted.out << deleted.err;
    EXPECT_TRUE(has(deleted.err, "does not list its deleted files")) << deleted.err;
    EXPECT_TRUE(has(deleted.err, "thorough scan")) << deleted.err;
    EXPECT_TRUE(has(deleted.err, "(-1)")) << deleted.err;
    EXPECT_FALSE(has(deleted.err, "the scan failed")) << deleted.err;
    const Outcome list = zorvant({"list"});
    EXPECT_TRUE(has(list.out, "No scans in the workspace.")) << list.out;
    EXPECT_FALSE(fs::exists(ws + "/ZorvantWorkspace/Scan.01"));
    EXPECT_EQ(zorvant({"recover", "1", "--to", dir / "out"}).status, 1);

    const Outcome quick = zorvant({"scan", "--quick", card});
    ASSERT_EQ(quick.status, 0) << quick.out << quick.err;
    EXPECT_EQ(scanNumber(quick), "1") << quick.out; // the failed scan took no slot
    const Outcome none = zorvant({"recover", "1", "--to", dir / "out"});
    EXPECT_EQ(none.status, 1) << none.out << none.err;
    EXPECT_TRUE(has(none.err, "nothing is ticked in scan 1")) << none.err;
    EXPECT_FALSE(has(none.out, "Recovered 0 files")) << none.out;
    EXPECT_FALSE(fs::exists(dir / "out"));
    // With a tick the recovery runs.
    ASSERT_EQ(zorvant({"select", "1/Found Files/DCIM/NEW1.JPG"}).status, 0);
    const Outcome one = zorvant({"recover", "1", "--to", dir / "out"});
    EXPECT_EQ(one.status, 0) << one.out << one.err;
    EXPECT_EQ(filesBelow(dir / "out").at("Recovered Files from card.img/Found Files/DCIM/NEW1.JPG"),
              photos.at("DCIM/NEW1.JPG"));
}

// An exFAT card (what cameras write on cards over 32 GB): the quick scan
// says that no FAT file system was found and that the thorough scan finds
// photos by their content, keeps no scan, and the thorough scan gives the
// photo back.
TEST_F(ZorvantCliScanEnd, QuickScanOfAnExfatCardPointsToTheThoroughScan)
{
    zvtest::requireTool("mkfs.exfat");
    const std::string card = dir / "exfat.img";
    zvtest::mustRun("truncate -s 16M " + shellQuote(card) + " && mkfs.exfat " + shellQuote(card) + " >/dev/null");
    const std::string base = dir / "photo";
    zvtest::writeFile(base + ".ppm", zvtest::ppm(200, 150, 9));
    zvtest::mustRun("cjpeg -quality 90 -outfile " + shellQuote(base + ".jpg") + " " + shellQuote(base + ".ppm"));
    // Where a camera's first photo lies: a cluster of the data area.
    zvtest::mustRun("dd if=" + shellQuote(base + ".jpg") + " of=" + shellQuote(card) +
                    " bs=65536 seek=64 conv=notrunc status=none");
    const Outcome quick = zorvant({"scan", "--quick", card});
    EXPECT_EQ(quick.status, 1) << quick.out << quick.err;
    EXPECT_TRUE(has(quick.err, "no FAT file system was found on " + card)) << quick.err;
    EXPECT_TRUE(has(quick.err, "exFAT")) << quick.err;
    EXPECT_TRUE(has(quick.err, "the thorough scan finds the photos by their content")) << quick.err;
    EXPECT_TRUE(has(quick.err, "`zorvant scan " + card + "`")) << quick.err;
    EXPECT_FALSE(has(quick.err, "the scan failed")) << quick.err;
    EXPECT_FALSE(fs::exists(ws + "/ZorvantWorkspace/Scan.01"));

    const Outcome thorough = zorvant({"scan", card});
    ASSERT_EQ(thorough.status, 0) << thorough.out << thorough.err;
    ASSERT_EQ(zorvant({"select", "1"}).status, 0);
    ASSERT_EQ(zorvant({"recover", "1", "--to", dir / "out"}).status, 0);
    const std::map<std::string, std::string> got = filesBelow(dir / "out");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got.begin()->second, zvtest::readFile(base + ".jpg")) << got.begin()->first;
}

// A card image with nine unreadable ranges far apart (a VMDK of a 16 GB
// card whose last nine grains were cut off) moved away while its thorough
// scan runs, as an image on a FUSE mount that died is gone from its path:
// the end lists eight ranges and "1 more range", and tells what to do about
// an image, not a card (the engine says what the medium is, its path is no
// longer asked). The scan, stopped early past the ranges, stays listed as
// stopped early at the share it reached.
TEST_F(ZorvantCliScanEnd, MovedImageGetsTheImagesAdviceAndItsEarlyStopIsListed)
{
    zvtest::requireTool("qemu-img");
    const std::string raw = dir / "card.raw";
    zvtest::mustRun("truncate -s 16G " + shellQuote(raw));
    for (int i = 0; i < 9; i++) {
        zvtest::writeFile(dir / "chunk", zvtest::patternBytes(65536, 40 + i));
        zvtest::mustRun("dd if=" + shellQuote(dir / "chunk") + " of=" + shellQuote(raw) +
                        " bs=65536 seek=" + std::to_string(160 + 32 * i) + " conv=notrunc status=none");
    }
    const std::string vmdk = dir / "card.vmdk", moved = dir / "moved.vmdk";
    zvtest::mustRun("qemu-img convert -f raw -O vmdk " + shellQuote(raw) + " " + shellQuote(vmdk));
    fs::remove(raw);
    fs::resize_file(vmdk, fs::file_size(vmdk) - 9 * 65536); // the grains are the file's last data

    Child child = start({"scan", vmdk});
    // Past the ranges (they lie in the first 28 MB) before the image moves:
    // a second progress line, at 5% or more.
    const auto progressed = [&child] {
        std::istringstream lines(child.output());
        int shown = 0;
        for (std::string line; std::getline(lines, line);)
            shown += line.find('%') != std::string::npos ? 1 : 0;
        return shown >= 2;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!progressed() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!progressed()) {
        kill(child.pid(), SIGKILL);
        FAIL() << "the scan showed no progress: " << child.wait().out;
    }
    fs::rename(vmdk, moved);
    kill(child.pid(), SIGQUIT);
    const Outcome r = child.wait();
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Scan of " + vmdk + " finished, but 1,152 blocks of 512 bytes")) << r.out;
    EXPECT_TRUE(has(r.out, "\n  and 1 more range between bytes 27,262,976 and 27,328,511\n")) << r.out;
    EXPECT_FALSE(has(r.out, "more ranges")) << r.out;
    EXPECT_TRUE(has(r.out, "The image file is damaged or cut short there")) << r.out;
    EXPECT_FALSE(has(r.out, "card reader")) << r.out;

    const std::string stopped = "Scan of " + vmdk + " stopped early at ";
    const size_t at = r.out.find(stopped);
    ASSERT_NE(at, std::string::npos) << r.out;
    // "7.3% of the card": 7 (both round down: 19.96% is 19.9% and 19%).
    const int percent = std::stoi(r.out.substr(at + stopped.size()));
    const Outcome list = zorvant({"list"});
    EXPECT_TRUE(has(list.out, "  1   thorough  done, stopped early at " + std::to_string(percent) + "%"))
        << percent << "\n" << list.out;
}

// A card whose FAT file system is laid out as FAT32 with too few clusters
// for FAT32: the quick scan says in words that its layout is not valid FAT32
// and that the thorough scan finds the photos by their content, whether it
// is the card's only file system (the scan fails) or one beside a sound one
// (the scan keeps what that one lists).
TEST_F(ZorvantCliScanEnd, QuickScanOfAFat32LayoutWithTooFewClustersSaysSo)
{
    const std::string alone = dir / "small32.img";
    zvtest::mustRun("truncate -s 64M " + shellQuote(alone) + " && mkfs.fat -F 32 -s 8 " + shellQuote(alone) +
                    " >/dev/null 2>&1");
    const Outcome one = zorvant({"scan", "--quick", alone});
    EXPECT_EQ(one.status, 1) << one.out << one.err;
    EXPECT_TRUE(has(one.err, "the FAT file system on " + alone + " is laid out as FAT32 but has too few clusters "
                             "for FAT32, so its layout is not valid FAT32"))
        << one.err;
    EXPECT_TRUE(has(one.err, "the thorough scan finds the photos by their content; run `zorvant scan " + alone +
                             "`"))
        << one.err;
    EXPECT_FALSE(has(one.err, "it may be damaged")) << one.err;

    zvtest::requireTool("sfdisk");
    const std::string card = dir / "two.img";
    zvtest::mustRun("truncate -s 64M " + shellQuote(card));
    zvtest::mustRun("printf 'label: dos\\nstart=2048, size=30000, type=c\\nstart=40960, type=c\\n' | sfdisk -q " +
                    shellQuote(card));
    zvtest::mustRun("mkfs.fat -n SOUND --offset=2048 " + shellQuote(card) + " 15000 >/dev/null 2>&1");
    zvtest::mustRun("mkfs.fat -F 32 -s 8 --offset=40960 " + shellQuote(card) + " >/dev/null 2>&1");
    zvtest::fatPut(card, "KEPT.BIN", zvtest::patternBytes(7000, 5), 0, 2048ull * 512);
    const Outcome both = zorvant({"scan", "--quick", card});
    EXPECT_EQ(both.status, 0) << both.out << both.err;
    EXPECT_TRUE(has(both.out, "Scan of " + card + " completed, but a FAT file system on it is laid out as FAT32 "
                              "but has too few clusters for FAT32, so its layout is not valid FAT32"))
        << both.out;
    EXPECT_TRUE(has(both.out, "the thorough scan finds the photos by their content; run `zorvant scan " + card +
                              "`"))
        << both.out;
    EXPECT_FALSE(has(both.out, "completed with some errors")) << both.out;
    EXPECT_TRUE(has(both.out, "Found Files ")) << both.out;
}

// Fault guarded: the thorough scan of a card whose FAT file system is laid
// out as FAT32 with too few clusters ended with the bare codes "[522 521 522
// 521]". It says in words, as the quick scan does, why the folders can't be
// read by name, and that the photos are found by their content.
TEST_F(ZorvantCliScanEnd, ThoroughScanOfAFat32LayoutWithTooFewClustersSaysSo)
{
    const std::string card = dir / "small32.img";
    zvtest::mustRun("truncate -s 64M " + shellQuote(card) + " && mkfs.fat -F 32 -s 8 " + shellQuote(card) +
                    " >/dev/null 2>&1");
    const Outcome r = zorvant({"scan", card});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Scan of " + card + " completed, but a FAT file system on it is laid out as FAT32 but "
                           "has too few clusters for FAT32, so its layout is not valid FAT32 and its folders can't "
                           "be read by name: the photos on it are found by their content only (under "
                           "\"Reconstructed Files\") [522 521"))
        << r.out;
    EXPECT_FALSE(has(r.out, "completed with some errors")) << r.out;
}

} // namespace
