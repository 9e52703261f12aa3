// A card that stops answering, as the `zorvant` program tells it: a 64 MiB
// card whose every read fails from a point on, or whose device goes away
// (its server killed), scanned as an image file and through a loop device.
// The scan ends there instead of failing through every block to the card's
// end (far fewer reads than the card has blocks), says where the card
// stopped, keeps and lists what it found before, and exits 3; what it
// listed comes back once the card answers again. So does a card that stops
// while the files found are measured: those measured before stay. Cards
// whose failed reads take seconds (the fault library's clock) are read
// wherever they answer and given up when they do not; a recovery ends where
// the card stopped answering; reloads left waiting do not keep zorvant
// running; `list` says where a card stopped answering; an image cut short
// is read around, never taken for a card that stopped. Cards served by the
// FUSE helper failing_card_fuse; child processes of zorvant.
#include <cerrno>
#include <regex>
#include <thread>

#include "app/failing_card_support.h"
#include "app/zorvant_cli_support.h"
#include "foundation/number_format.h"

namespace {

namespace fs = std::filesystem;
using zvcli::FailingCard;
using zvcli::has;
using zvcli::Outcome;
using zvcli::ReadOnlyLoop;
using zvtest::shellQuote;

using ZorvantCliDyingCard = zvcli::ZorvantCli;

constexpr uint64_t MiB = 1 << 20;
constexpr long long kCardBlocks = 64 * MiB / 512;

std::string bytes(uint64_t n)
{
    return ZV::NumberFormatter::integerString(n);
}

// The contents of files by path (filesBelow), as a set.
std::set<std::string> contents(const std::map<std::string, std::string> &files)
{
    std::set<std::string> out;
    for (const auto &[path, data] : files)
        out.insert(data);
    return out;
}

// A blank card image of size bytes with a photo written at each offset
// (made with cjpeg): the photos' bytes by offset.
std::map<uint64_t, std::string> photoImage(const zvtest::TempDir &dir, const std::string &image, uint64_t size,
                                           const std::vector<uint64_t> &offsets)
{
    zvtest::mustRun("truncate -s " + std::to_string(size) + " " + shellQuote(image));
    std::map<uint64_t, std::string> at;
    for (const uint64_t offset : offsets) {
        const uint32_t seed = 20 + static_cast<uint32_t>(at.size());
        const std::string base = dir / ("photo" + std::to_string(seed));
        zvtest::writeFile(base + ".ppm", zvtest::ppm(240, 180, seed));
        zvtest::mustRun("cjpeg -quality 90 -outfile " + shellQuote(base + ".jpg") + " " + shellQuote(base + ".ppm"));
        at[offset] = zvtest::readFile(base + ".jpg");
        zvtest::mustRun("dd if=" + shellQuote(base + ".jpg") + " of=" + shellQuote(image) + " bs=64K seek=" +
                        std::to_string(offset / 65536) + " conv=notrunc status=none");
    }
    return at;
}

// Every read from 4 MiB on fails (EIO), on the image file and on a loop
// device over it, and 8 KiB at 2 MiB are a bad range. The scan ends at 4 MiB
// with the card's own message (never a list of the 60 MiB it did not read
// as blocks scanned as zeros; the bad range before, in a line of its own),
// lists the photos found before, exits 3, and asked the card for far fewer
// reads than it has blocks. Served again without failures, the card gives
// the listed photos back.
TEST_F(ZorvantCliDyingCard, CardThatStopsAnsweringEndsTheScanAndKeepsWhatWasFound)
{
    const std::string card = makeCard("card.img");
    const std::string stopped = "stopped answering at byte " + bytes(4 * MiB) + " (6.2% of the card).";
    for (const bool loop : {false, true}) {
        SCOPED_TRACE(loop ? "loop device" : "image file");
        const std::string folder = dir / (loop ? "loop" : "file");
        const std::string workspace = folder + "/home";
        fs::create_directories(folder);
        {
            FailingCard dying(card, folder,
                              {"--fail-from", std::to_string(4 * MiB), "--bad", std::to_string(2 * MiB),
                               std::to_string(2 * MiB + 8192)});
            std::unique_ptr<ReadOnlyLoop> device;
            if (loop)
                device = std::make_unique<ReadOnlyLoop>(dying.path());
            const std::string target = loop ? device->path() : dying.path();
            const Outcome r = zorvant({"scan", target}, workspace);
            EXPECT_EQ(r.status, 3) << r.out << r.err;
            EXPECT_TRUE(has(r.out, "Scan of " + target + " ended early: the card " + stopped)) << r.out;
            EXPECT_TRUE(has(r.out, "files found before it stopped are kept and listed below.")) << r.out;
            EXPECT_TRUE(has(r.out, "copy the card to an image with a tool that retries bad blocks")) << r.out;
            // (Through the loop device the kernel fails the whole of its reads there.)
            EXPECT_TRUE(has(r.out, loop ? "\nBefore that, " : "\nBefore that, 8 KB of")) << r.out;
            EXPECT_TRUE(has(r.out, " of the card could not be read and were scanned as zeros: files there may be "
                                   "damaged.\n"))
                << r.out;
            EXPECT_FALSE(has(r.out, "could not be read and were scanned as zeros:\n  bytes")) << r.out;
            EXPECT_FALSE(has(r.out, "completed with")) << r.out;
            EXPECT_EQ(scanNumber(r), "1") << r.out;
            EXPECT_TRUE(has(r.out, "Reconstructed Files/Images")) << r.out;
            EXPECT_TRUE(has(r.out, "Found Files")) << r.out;
            // Far fewer reads than blocks (the kernel reads a loop device's
            // failing blocks again several times over: its count is higher).
            EXPECT_LT(dying.reads(), kCardBlocks / 4) << "the reads to the card's end were not spared";
            const std::string log = zvtest::readFile(workspace + "/ZorvantWorkspace/ScanEngineLog.txt");
            EXPECT_TRUE(has(log, "the device stopped answering")) << log;
            EXPECT_TRUE(has(log, "stopped answering at byte " + std::to_string(4 * MiB))) << log;
        }
        if (loop)
            continue;
        // The card answers again: what was listed comes back.
        FailingCard again(card, folder);
        ASSERT_EQ(zorvant({"select", "1"}, workspace).status, 0);
        const Outcome rec = zorvant({"recover", "1", "--to", folder + "/out"}, workspace);
        EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
        const std::set<std::string> got = contents(filesBelow(folder + "/out"));
        EXPECT_EQ(got.count(photos.at("DCIM/NEW1.JPG")), 1u);
        for (const std::string &photo : got)
            EXPECT_EQ(photoBytes().count(photo), 1u) << "recovered bytes that are no photo of the card";
    }
}

// The card's device goes away mid-scan (its server ends: the read under way
// fails ECONNABORTED, every later one ENOTCONN): on the image file the scan
// ends at once at that byte; through a loop device over it (whose reads then
// fail EIO) after a short run of failed reads. Nothing could be measured
// after that, and the end says so instead of claiming nothing was found.
TEST_F(ZorvantCliDyingCard, DeviceGoneMidScanEndsTheScanAtOnce)
{
    const std::string card = makeCard("card.img");
    for (const bool loop : {false, true}) {
        SCOPED_TRACE(loop ? "loop device" : "image file");
        const std::string folder = dir / (loop ? "loop" : "file");
        const std::string workspace = folder + "/home";
        fs::create_directories(folder);
        FailingCard dying(card, folder, {"--die-at", std::to_string(6 * MiB)});
        std::unique_ptr<ReadOnlyLoop> device;
        if (loop)
            device = std::make_unique<ReadOnlyLoop>(dying.path());
        const std::string target = loop ? device->path() : dying.path();
        const Outcome r = zorvant({"scan", target}, workspace);
        EXPECT_TRUE(dying.ended()) << "the server did not end where it was told";
        EXPECT_EQ(r.status, 3) << r.out << r.err;
        EXPECT_TRUE(has(r.out, "Scan of " + target + " ended early: the card stopped answering at byte ")) << r.out;
        // Through the loop device the kernel has read ahead of the scan when
        // the server ends: where its reads begin to fail, and what it still
        // holds of the card for measuring, is the kernel's.
        if (!loop) {
            EXPECT_TRUE(has(r.out, "stopped answering at byte " + bytes(6 * MiB) + " (9.3% of the card)")) << r.out;
            EXPECT_TRUE(has(r.out, " found could not be measured any more and are not listed: scan the card again "
                                   "once it answers to find them."))
                << r.out;
            EXPECT_TRUE(has(r.out, "Nothing was found.")) << r.out;
        }
        EXPECT_FALSE(has(r.out, "scanned as zeros")) << r.out;
        EXPECT_EQ(scanNumber(r), "1") << r.out;
        EXPECT_LT(dying.reads(), kCardBlocks / 4);
    }
}

// A card whose reads fail the way a pulled card's do (ENOMEDIUM) still ends
// as its removal: exit 1 with the words for it, not as a card that stopped
// answering.
TEST_F(ZorvantCliDyingCard, CardPulledOutStillEndsAsItsRemoval)
{
    const std::string card = makeCard("card.img");
    FailingCard pulled(card, dir.path(),
                       {"--fail-from", std::to_string(6 * MiB), "--errno", std::to_string(ENOMEDIUM)});
    const Outcome r = zorvant({"scan", pulled.path()});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.err, "the medium was removed during the scan: put the card back in and scan again")) << r.err;
    EXPECT_FALSE(has(r.out, "stopped answering")) << r.out;
    EXPECT_LT(pulled.reads(), kCardBlocks / 4);
}

// A card read through once, then failing from 40 MiB on while the files
// found are measured (reads fail EIO, or its server ends): the photo at
// 1 MiB, measured before, stays listed and comes back once the card answers
// again; the one at 40 MiB is named as found but not measured. Exit 3.
TEST_F(ZorvantCliDyingCard, CardThatStopsWhileTheFilesAreMeasuredKeepsThoseMeasured)
{
    const std::string image = dir / "blank.img";
    const std::map<uint64_t, std::string> at = photoImage(dir, image, 64 * MiB, {1 * MiB, 40 * MiB});
    const std::vector<std::vector<std::string>> faults = {
        {"--after-end", "--fail-from", std::to_string(40 * MiB)},
        {"--after-end", "--die-at", std::to_string(40 * MiB)},
    };
    for (const std::vector<std::string> &fault : faults) {
        SCOPED_TRACE(fault[1]);
        const std::string folder = dir / fault[1].substr(2);
        const std::string workspace = folder + "/home";
        fs::create_directories(folder);
        {
            FailingCard dying(image, folder, fault);
            const Outcome r = zorvant({"scan", dying.path()}, workspace);
            EXPECT_EQ(r.status, 3) << r.out << r.err;
            EXPECT_TRUE(has(r.out, "Scan of " + dying.path() + " read the whole card, but the card stopped answering "
                                   "at byte " + bytes(40 * MiB) + " (62.5% of the card) while the files found were "
                                   "measured. The 1 file found before it stopped is kept and listed below. 1 more "
                                   "file found could not be measured any more and is not listed"))
                << r.out;
            EXPECT_FALSE(has(r.out, "scanned as zeros")) << r.out;
            EXPECT_EQ(scanNumber(r), "1") << r.out;
            EXPECT_TRUE(has(r.out, "Reconstructed Files/Images")) << r.out;
        }
        FailingCard again(image, folder);
        ASSERT_EQ(zorvant({"select", "1"}, workspace).status, 0);
        const Outcome rec = zorvant({"recover", "1", "--to", folder + "/out"}, workspace);
        EXPECT_EQ(rec.status, 0) << rec.out << rec.err;
        const std::set<std::string> got = contents(filesBelow(folder + "/out"));
        EXPECT_EQ(got.size(), 1u);
        EXPECT_EQ(got.count(at.at(1 * MiB)), 1u) << "the photo measured before the card stopped";
    }
}

} // namespace

namespace {

// Cards whose failed reads take seconds (the fault library moves the
// program's clock on by that much at each, so the test does not wait): a
// card with an 8-block bad patch at 4 MiB, good to 6 MiB and failing after
// (4 s a failure), a card with two such patches 96 KiB apart and a photo
// between them (4 s), a card with every other MiB bad from 1 MiB to 14 MiB
// (2 s), and a 64 MiB card failing from 1 MiB on (4 s). Every photo where
// the card answers is found; only the cards that fail to their end are
// said to have stopped answering, where they began to fail, after far
// fewer reads than blocks.
TEST_F(ZorvantCliDyingCard, SlowFailingReadsNeitherGiveUpACardThatAnswersNorKeepADeadOne)
{
    struct Case {
        const char *name;
        uint64_t size;
        std::vector<uint64_t> photos;
        std::vector<std::string> faults;
        int slow_ms;
        int64_t stops_at; // -1: answers to its end
    };
    std::vector<std::string> stripes;
    std::vector<uint64_t> striped_photos;
    for (uint64_t at = 1 * MiB; at < 14 * MiB; at += 2 * MiB) {
        stripes.insert(stripes.end(), {"--bad", std::to_string(at), std::to_string(at + MiB)});
        striped_photos.push_back(at + MiB + 256 * 1024);
    }
    const std::vector<Case> cases = {
        {"patch", 16 * MiB, {1 * MiB, 5 * MiB},
         {"--bad", std::to_string(4 * MiB), std::to_string(4 * MiB + 4096), "--fail-from", std::to_string(6 * MiB)},
         4000, 6 * MiB},
        {"patches", 16 * MiB, {1 * MiB, 4 * MiB},
         {"--bad", std::to_string(4 * MiB - 4096), std::to_string(4 * MiB), "--bad",
          std::to_string(4 * MiB + 96 * 1024), std::to_string(4 * MiB + 100 * 1024)},
         4000, -1},
        {"stripes", 16 * MiB, striped_photos, stripes, 2000, -1},
        {"dead", 64 * MiB, {256 * 1024}, {"--fail-from", std::to_string(1 * MiB)}, 4000, 1 * MiB},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = dir / c.name;
        fs::create_directories(folder);
        const std::string image = folder + "/card.img";
        photoImage(dir, image, c.size, c.photos);
        FailingCard card(image, folder, c.faults);
        const Outcome r = start({"scan", card.path()}, folder + "/home",
                                zvcli::faultEnv({"ZV_FAULT_SLOW_NAME=card.img",
                                                 "ZV_FAULT_SLOW_MS=" + std::to_string(c.slow_ms)}))
                              .wait();
        EXPECT_EQ(r.status, 3) << r.out << r.err;
        const std::string found = std::to_string(c.photos.size()) + (c.photos.size() == 1 ? " file " : " files ");
        EXPECT_TRUE(std::regex_search(r.out, std::regex("Reconstructed Files/Images +" + found))) << r.out;
        if (c.stops_at < 0)
            EXPECT_FALSE(has(r.out, "stopped answering")) << r.out;
        else
            EXPECT_TRUE(has(r.out, "ended early: the card stopped answering at byte " + bytes(c.stops_at))) << r.out;
        EXPECT_LT(card.reads(), 2000) << "the card read block by block";
    }
}

// A card scanned whole, then stopping answering inside the third of five
// photos while they are recovered (still the card scanned, though the
// samples of its content past there cannot be read now): its failed reads
// taking 2 s each (the fault library's clock), or its server ending there
// (the read under way failing ECONNABORTED, every later one ENOTCONN). The
// recovery stops there, names the card and the byte, keeps the two photos
// copied before and what was read of the third, leaves the others ticked
// and lists them not recovered, and exits 1, after far fewer reads than the
// sectors of the photos left.
TEST_F(ZorvantCliDyingCard, RecoveryFromACardThatStopsAnsweringEndsThere)
{
    const std::string image = dir / "card.img";
    zvtest::makeFat(image, 32, 64 * 1024);
    zvtest::fatMkdir(image, "DCIM");
    for (int n = 1; n <= 5; n++) {
        put(image, "DCIM/IMG" + std::to_string(n) + ".JPG", 400, 300, 30 + n);
        if (n == 2) // left unticked: the reads of the two photos before stay off the third
            zvtest::fatPut(image, "DCIM/GAP.BIN", zvtest::patternBytes(256 * 1024, 7));
    }
    zvtest::fatPut(image, "LATE.BIN", zvtest::patternBytes(16 << 20, 8)); // content samples past the failing byte
    const size_t third = zvtest::readFile(image).find(photos.at("DCIM/IMG3.JPG").substr(0, 4096));
    ASSERT_NE(third, std::string::npos);
    const uint64_t fails = third + 8192;
    {
        FailingCard card(image, dir.path());
        ASSERT_EQ(zorvant({"scan", "--quick", card.path()}).status, 0);
    }
    for (const bool ends : {false, true}) {
        SCOPED_TRACE(ends ? "server ends" : "slow failures");
        ASSERT_EQ(zorvant({"select", "--pattern", "*.JPG", "1"}).status, 0);
        // The server ends at the first read of that byte once the card was read through.
        FailingCard dying(image, dir.path(),
                          ends ? std::vector<std::string>{"--after-end", "--die-at", std::to_string(fails)}
                               : std::vector<std::string>{"--fail-from", std::to_string(fails)});
        if (ends)
            zvtest::mustRun("dd if=" + shellQuote(dying.path()) + " of=/dev/null bs=64K status=none");
        const long long read_through = dying.reads();
        const std::string out = dir / (ends ? "ends" : "slow");
        const Outcome r = start({"recover", "1", "--to", out}, "",
                                ends ? std::vector<std::string>{}
                                     : zvcli::faultEnv({"ZV_FAULT_SLOW_NAME=card.img", "ZV_FAULT_SLOW_MS=2000"}))
                              .wait();
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        // The server's end fails the whole read that holds the byte: the card stops where it begins.
        EXPECT_TRUE(has(r.err, "recovery incomplete: the card card.img stopped answering at byte " +
                                   bytes(ends ? third : fails) + " ("))
            << r.err;
        EXPECT_TRUE(has(r.out, "Recovered 2 files")) << r.out;
        const std::map<std::string, std::string> files = filesBelow(out);
        const std::set<std::string> got = contents(files);
        // What was read of the third before its failing sectors is kept (none of it once the server ended).
        EXPECT_EQ(got.size(), ends ? 2u : 3u);
        EXPECT_TRUE(got.count(photos.at("DCIM/IMG1.JPG")) == 1 && got.count(photos.at("DCIM/IMG2.JPG")) == 1);
        const auto kept = files.find("Recovered Files from card.img/Found Files/DCIM/IMG3.JPG.incomplete");
        EXPECT_EQ(kept != files.end() ? kept->second.substr(0, 8192) : "",
                  ends ? "" : photos.at("DCIM/IMG3.JPG").substr(0, 8192));
        EXPECT_TRUE(has(r.err, std::string(ends ? "not recovered: " : "not recovered whole: ") +
                                   "1/Found Files/DCIM/IMG3.JPG"))
            << r.err;
        for (const char *name : {"IMG4", "IMG5"})
            EXPECT_TRUE(has(r.err, std::string("not recovered: 1/Found Files/DCIM/") + name + ".JPG")) << r.err;
        const std::string listed = zorvant({"ls", "-r", "1"}).out;
        EXPECT_TRUE(std::regex_search(listed, std::regex("\\[x\\] -[^\\n]*IMG4.JPG"))) << listed;
        EXPECT_LT(dying.reads() - read_through, 500) << "read sector by sector";
    }
}

// A card failing from 1 MiB on (3 s a failure, the fault library's clock),
// scanned through a loop device, its reader held at 512 KiB while another
// disk comes and goes three times: the device events queue a media reload
// behind the scan, which would read the dying card again. Once the scan has
// said where the card stopped answering, zorvant ends: the reload left
// waiting is not run.
TEST_F(ZorvantCliDyingCard, MediaReloadsLeftWaitingAreNotRunWhenTheCommandEnds)
{
    const std::string image = dir / "card.img";
    photoImage(dir, image, 64 * MiB, {256 * 1024});
    FailingCard card(image, dir.path(), {"--fail-from", std::to_string(1 * MiB), "--stop-at", std::to_string(MiB / 2)});
    ReadOnlyLoop device(card.path());
    const std::string loop = device.path().substr(device.path().rfind('/') + 1);
    zvcli::Child scan =
        start({"scan", device.path()}, "", zvcli::faultEnv({"ZV_FAULT_SLOW_NAME=" + loop, "ZV_FAULT_SLOW_MS=3000"}));
    ASSERT_TRUE(card.waitStopped()) << "the scan did not reach 512 KiB";
    const std::string other = dir / "other.img";
    zvtest::mustRun("truncate -s 8M " + shellQuote(other));
    for (int i = 0; i < 3; i++)
        zvtest::LoopDevice arriving(other);
    std::this_thread::sleep_for(std::chrono::seconds(3)); // the reload timer: 1.5 s after the last event
    card.resume();
    const Outcome r = scan.wait();
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "the card stopped answering at byte " + bytes(1 * MiB))) << r.out;
    const std::string log = zvtest::readFile(ws + "/ZorvantWorkspace/ScanEngineLog.txt");
    const size_t scanned = log.find("Scan CMD Succeeded");
    ASSERT_NE(scanned, std::string::npos) << log;
    EXPECT_EQ(log.find("ReloadMedia CMD Started", scanned), std::string::npos) << log.substr(scanned);
}

// A scan that its card stopped answering (every read from 4 MiB of 64 on
// failing) is listed "done, card stopped answering at 6%" by `zorvant list`
// in the runs after it, also once the card is gone and in a workspace its
// save is loaded into; beside another card's
// scan the state column is as wide as the longest state listed, so the
// dates of all scans line up.
TEST_F(ZorvantCliDyingCard, ListSaysWhereTheCardStoppedAnswering)
{
    const std::string card = makeCard("card.img");
    const std::string state = "  1   thorough  done, card stopped answering at 6%";
    {
        FailingCard dying(card, dir.path(), {"--fail-from", std::to_string(4 * MiB)});
        ASSERT_EQ(zorvant({"scan", dying.path()}).status, 3);
        EXPECT_TRUE(has(zorvant({"list"}).out, state + "  ")) << "the card still there";
    }
    ASSERT_EQ(zorvant({"scan", "--quick", zvcli::twoPartitionCard(dir / "other.img")}).status, 0);
    const std::string list = zorvant({"list"}).out;
    EXPECT_TRUE(has(list, state + ", medium not attached  ")) << list;
    std::vector<long> columns;
    const std::regex date("\\n(  [12] [^\\n]*)[0-9]{4}-[0-9]{2}-[0-9]{2} ");
    for (std::sregex_iterator it(list.begin(), list.end(), date), end; it != end; ++it)
        columns.push_back((*it)[1].length());
    ASSERT_EQ(columns.size(), 2u) << list;
    EXPECT_EQ(columns[0], columns[1]) << list;
    // Saved and loaded into another workspace, it says so there too.
    ASSERT_EQ(zorvant({"save", dir / "scans.zvscan"}).status, 0);
    ASSERT_EQ(zorvant({"load", dir / "scans.zvscan"}, dir / "other").status, 0);
    EXPECT_TRUE(has(zorvant({"list"}, dir / "other").out, state)) << "loaded";
}

} // namespace

namespace {

// A VMDK of a full card, cut short inside a 2 MiB video: every read past
// the cut fails at once, to the image's end. A damaged image is no card
// that stopped answering: the video is read around (its start kept as
// CLIP.MOV.incomplete), the photo walked after it (stored before the cut)
// is recovered, and the message blames the image, not a card.
TEST_F(ZorvantCliDyingCard, ImageCutShortIsReadAroundNotTakenForACardThatStopped)
{
    zvtest::requireTool("qemu-img");
    const std::string image = dir / "card.img";
    zvtest::makeFat(image, 32, 64 * 1024);
    // The photo's folder lies before the video on the card, its entry after the video's.
    zvtest::fatPut(image, "A.BIN", "a");
    zvtest::fatMkdir(image, "DCIM");
    put(image, "DCIM/IMG1.JPG", 400, 300, 41);
    zvtest::fatDelete(image, "A.BIN");
    const std::string clip = zvtest::patternBytes(2 * MiB, 42);
    zvtest::fatPut(image, "CLIP.MOV", clip);
    // The rest of the card filled: the VMDK stores every sector after the video.
    const std::string listing = zvtest::mtools("mdir -i " + shellQuote(image) + " ::");
    std::string free = listing.substr(0, listing.find(" bytes free"));
    free = std::regex_replace(free.substr(free.rfind('\n') + 1), std::regex("[^0-9]"), "");
    zvtest::fatPut(image, "FILL.BIN", zvtest::patternBytes(std::stoull(free), 43));
    const std::string vmdk = dir / "card.vmdk";
    zvtest::mustRun("qemu-img convert -f raw -O vmdk " + shellQuote(image) + " " + shellQuote(vmdk));
    fs::resize_file(vmdk, fs::file_size(vmdk) - std::stoull(free) - 1 * MiB);
    ASSERT_EQ(zorvant({"scan", "--quick", vmdk}).status, 0);
    ASSERT_EQ(zorvant({"select", "1/Found Files/CLIP.MOV", "1/Found Files/DCIM"}).status, 0);
    const Outcome r = zorvant({"recover", "1", "--to", dir / "out"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const std::map<std::string, std::string> got = filesBelow(dir / "out/Recovered Files from card.vmdk/Found Files");
    EXPECT_TRUE(got.count("DCIM/IMG1.JPG") == 1 && got.at("DCIM/IMG1.JPG") == photos.at("DCIM/IMG1.JPG")) << r.err;
    EXPECT_TRUE(got.count("CLIP.MOV.incomplete") == 1 &&
                got.at("CLIP.MOV.incomplete").substr(0, 512 * 1024) == clip.substr(0, 512 * 1024));
    EXPECT_TRUE(has(r.err, "The image file is damaged or cut short there")) << r.err;
    EXPECT_FALSE(has(r.err, "stopped answering")) << r.err;
}

} // namespace
