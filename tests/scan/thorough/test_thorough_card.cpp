// The thorough scan of whole camera cards, with the real modules ("cbr ",
// "fat ", "jpeg", "gfm ") started as the engine starts them.
//
// The card: a FAT32 image made with mkfs.fat and filled with mtools with
// real JPEGs made by cjpeg from noise-and-gradient pictures (baseline and
// progressive, a few MB each, some with an Exif preview added by exiftool).
// Then the card's life: a photo deleted and its hole taken by the first part
// of a larger photo (so that one lies in two pieces), two more photos
// deleted, the card quick-formatted (mkfs.fat over it, same geometry) and
// three new photos written, which overwrite the first old ones. Of every
// photo ever written the test knows whether its bytes still lie whole and in
// one piece on the card, by looking for them.
//
// What the scan must give: each photo still whole on the card back byte for
// byte through "Reconstructed Files" (ticked and recovered as a user does),
// the live photos also with their names through the FAT walk, and nothing
// else: no file that mixes bytes of two files. The JPEG module offers a file
// only when it runs from its start to its end-of-image marker and parses,
// and cuts a file at the next file start, so the photo in two pieces, whose
// first piece runs into the next photo, is not offered. The same card moved
// by an odd number of bytes or by a sector gives the same findings moved;
// the endings of a scan (abort, early stop, card pulled out, a bad block)
// keep these rules; PhotoRec on the same card finds no more.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "foundation/engine_status.h"
#include "modules/gfm.h"
#include "modules/jpeg.h"
#include "scan/fat/fat_scan.h"
#include "scan/fat_image_support.h"
#include "scan/file_arch.h"
#include "scan/recover/recover.h"
#include "scan/scan_driver.h"
#include "scan/thorough/cbr_test_support.h"
#include "storage/media_test_support.h"
#include "support/jpeg_support.h"

namespace {

using namespace cbrtest;
using zvtest::shellQuote;

// --- the photos and the card ------------------------------------------------------------

struct PhotoSpec {
    const char *name;
    int width, height;
    bool progressive, preview;
};

// Written before the format, in this order into DCIM/100CAMERA. At quality
// 98 a 3000 x 2000 picture gives about 3.3 MB, 2400 x 1600 about 2 MB,
// 1600 x 1200 about 1 MB.
const PhotoSpec kOld[] = {
    {"P0", 1600, 1200, false, true}, {"P1", 3000, 2000, true, false}, {"P2", 2400, 1600, false, true},
    {"P3", 1600, 1200, true, true},  {"P4", 3000, 2000, false, false}, {"P5", 2400, 1600, true, true},
    {"P6", 3000, 2000, false, true}, {"P7", 2400, 1600, true, false}, {"P8", 1600, 1200, false, true},
    {"P9", 2400, 1600, false, false},
};
// Written after P3 was deleted: its first part fills P3's hole (just before
// P4), the rest lies after P9.
const PhotoSpec kSplit = {"F", 2400, 1600, false, true};
// Deleted before the format, their bytes left alone.
const char *const kDeleted[] = {"P6", "P8"};
// Written after the format into DCIM/101NEW, from the start of the data
// area: together larger than P0 and smaller than P0 and P1, so P0 goes and
// P1 loses its head.
const PhotoSpec kNew[] = {
    {"N0", 2400, 1600, false, true}, {"N1", 800, 600, true, false}, {"N2", 1200, 900, false, false}};

constexpr unsigned kCardKiB = 64 * 1024;
// Recovery's result for a file kept with zeros where the card could not be
// read.
constexpr int kIncomplete = -34;

// A real JPEG at base + ".jpg" made by cjpeg at quality 98 from a noise-and-
// gradient picture; with an Exif block holding the JPEG preview when one is
// given (exiftool). Its bytes.
std::string makePhoto(const std::string &base, const PhotoSpec &p, uint32_t seed, const std::string &preview)
{
    zvtest::writeFile(base + ".ppm", zvtest::ppm(p.width, p.height, seed));
    zvtest::mustRun("cjpeg -quality 98 " + std::string(p.progressive ? "-progressive " : "") + "-outfile " +
                    shellQuote(base + ".jpg") + " " + shellQuote(base + ".ppm"));
    std::filesystem::remove(base + ".ppm");
    if (!preview.empty())
        zvtest::mustRun("exiftool -q -overwrite_original -Make=Zorvant " + shellQuote("-ThumbnailImage<=" + preview) +
                        " " + shellQuote(base + ".jpg"));
    return zvtest::readFile(base + ".jpg");
}

// The card image and every photo ever written to it.
class PhotoCard {
public:
    explicit PhotoCard(const std::string &folder) : image(folder + "/card.img"), dir_(folder)
    {
        for (const char *tool : {"cjpeg", "exiftool"})
            zvtest::requireTool(tool);
        std::filesystem::create_directories(dir_);
        zvtest::writeFile(dir_ + "/preview.ppm", zvtest::ppm(160, 120, 99));
        zvtest::mustRun("cjpeg -quality 80 -outfile " + shellQuote(dir_ + "/preview.jpg") + " " +
                        shellQuote(dir_ + "/preview.ppm"));
        preview = zvtest::readFile(dir_ + "/preview.jpg");

        zvtest::makeFat(image, 32, kCardKiB);
        zvtest::fatMkdir(image, "DCIM");
        zvtest::fatMkdir(image, "DCIM/100CAMERA");
        uint32_t seed = 1;
        for (const PhotoSpec &p : kOld)
            put(p, "DCIM/100CAMERA/", seed++);
        zvtest::fatDelete(image, "DCIM/100CAMERA/P3.JPG");
        // Without the free-cluster hint of FSInfo, mtools takes the first
        // free clusters: P3's hole.
        forgetNextFree();
        put(kSplit, "DCIM/100CAMERA/", seed++);
        for (const char *name : kDeleted)
            zvtest::fatDelete(image, std::string("DCIM/100CAMERA/") + name + ".JPG");
        zvtest::mustRun("mkfs.fat -F 32 " + shellQuote(image) + " >/dev/null"); // the quick format
        zvtest::fatMkdir(image, "DCIM");
        zvtest::fatMkdir(image, "DCIM/101NEW");
        for (const PhotoSpec &p : kNew) {
            put(p, "DCIM/101NEW/", seed++);
            live.insert(p.name);
        }
        content = zvtest::readFile(image);
        for (const auto &[name, bytes] : originals)
            if (offsetOf(bytes) >= 0)
                whole.insert(name);
    }

    // Where bytes lie whole on the card, at a sector boundary (-1: nowhere).
    int64_t offsetOf(const std::string &bytes) const
    {
        for (size_t at = 0; at + bytes.size() <= content.size(); at += 512)
            if (std::memcmp(content.data() + at, bytes.data(), 16) == 0 &&
                content.compare(at, bytes.size(), bytes) == 0)
                return (int64_t)at;
        return -1;
    }

    std::string image;
    std::string content;                          // the card's final bytes
    std::string preview;                          // the Exif preview inside the photos that have one
    std::map<std::string, std::string> originals; // every photo written, by name
    std::set<std::string> whole;                  // photos whose bytes still lie whole on the card
    std::set<std::string> live;                   // photos the card's FAT lists

private:
    void put(const PhotoSpec &p, const std::string &folder, uint32_t seed)
    {
        const std::string base = dir_ + "/" + p.name;
        originals[p.name] = makePhoto(base, p, seed, p.preview ? dir_ + "/preview.jpg" : "");
        zvtest::mtools("mcopy -i " + zvtest::mtoolsImage(image) + " " + shellQuote(base + ".jpg") + " " +
                       shellQuote("::/" + folder + p.name + ".JPG"));
    }
    // FSInfo (sector 1) keeps the next free cluster at byte 492.
    void forgetNextFree()
    {
        zvtest::FatPatcher patch(image);
        patch.putU32(512 + 492, 0xFFFFFFFF);
    }

    std::string dir_;
};

// What a set of recovered files holds: files equal to a photo, files equal
// to the Exif preview (a whole JPEG inside a photo), and anything else.
struct Tally {
    std::set<std::string> identical; // names of the photos given back
    int previews = 0;
    std::vector<std::string> damaged; // paths of files equal to nothing written
};

Tally tally(const PhotoCard &card, const std::map<std::string, std::string> &files)
{
    std::unordered_map<std::string, std::string> byBytes;
    for (const auto &[name, bytes] : card.originals)
        byBytes[bytes] = name;
    Tally t;
    for (const auto &[path, bytes] : files) {
        const auto found = byBytes.find(bytes);
        if (found != byBytes.end())
            t.identical.insert(found->second);
        else if (bytes == card.preview)
            t.previews++;
        else
            t.damaged.push_back(path + " (" + std::to_string(bytes.size()) + " bytes)");
    }
    return t;
}

// Every regular file below folder, by its path there, with its bytes.
std::map<std::string, std::string> filesBelow(const std::string &folder)
{
    std::map<std::string, std::string> out;
    if (!std::filesystem::exists(folder))
        return out;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            out[std::filesystem::relative(entry.path(), folder).string()] = zvtest::readFile(entry.path().string());
    return out;
}

std::string joined(const std::set<std::string> &names)
{
    std::string out;
    for (const std::string &n : names)
        out += (out.empty() ? "" : " ") + n;
    return out;
}

// --- hooks on the JPEG module ----------------------------------------------------------

// What a test does when the JPEG module recognises a start (in the block
// loop) or is about to measure a span (after it); the module's own
// operations do the work.
struct JpegHooks {
    std::function<void(uint64_t start)> on_start;
    std::function<void(const cbr_span *span)> on_measure;
};
JpegHooks g_jpeg;

// The module's own detect, telling each start it wrote.
int hooked_detect(fil_module *module, const uint8_t *block, int32_t size)
{
    cbr_store *store = module->scan != nullptr ? cbr_store_of(module->scan->store) : nullptr;
    const uint64_t before = store != nullptr ? store->span_count : 0;
    const int found = jpeg_detect(module, block, size);
    if (store != nullptr && store->span_count > before && g_jpeg.on_start)
        g_jpeg.on_start(store->span.start);
    return found;
}

int hooked_extract(fil_module *module, Media *media, fs_record *store, cbr_span *span)
{
    if (g_jpeg.on_measure)
        g_jpeg.on_measure(span);
    return jpeg_extract(module, media, store, span);
}

// --- the fixture ---------------------------------------------------------------------------

// The engine's modules in its start order; thorough scans of card images
// through start_scan and what they give back.
class ThoroughCardThreads : public StoreFixture {
protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        ASSERT_NE(fat_describe(), nullptr);
        jpeg = jpeg_describe();
        ASSERT_NE(jpeg, nullptr);
        ASSERT_NE(gfm_describe(), nullptr);
        jpeg->detect = hooked_detect;
        jpeg->extract = hooked_extract;
    }
    void TearDown() override
    {
        g_jpeg = JpegHooks();
        StoreFixture::TearDown();
    }

    int scan(Media *m) { return start_scan(m->id, SCX_TYPE_THOROUGH, workspace); }
    static std::shared_ptr<ScanContext> scanIn(uint32_t slot) { return scx_in_slot(slot); }
    static fs_record *fatOf(const std::shared_ptr<ScanContext> &scan)
    {
        for (const std::shared_ptr<fs_record> &fs : scan->fs_list)
            if (fs->type == FS_TYPE_FAT)
                return fs.get();
        return nullptr;
    }
    // The store's files ticked and recovered as the user does it; the files
    // written below target, by path.
    std::map<std::string, std::string> recoverStore(fs_record *store, const std::string &target, int expected = 0)
    {
        const int64_t root[] = {store->id_root, CATDB_KEYNUM_NONE};
        EXPECT_EQ(fs_select_nodes(store, root, 2, 1), 0);
        EXPECT_EQ(fs_recover_marked(store, target.c_str()), expected);
        return filesBelow(target);
    }
    // The files of a found file system by path, with their catalog data.
    static std::map<std::string, NodeInfo> filesOf(fs_record *fs)
    {
        std::map<std::string, NodeInfo> nodes, files;
        fstest::catalogNodes(fs, KEYNUM_FS_ROOT, "", &nodes);
        for (const auto &[path, info] : nodes)
            if ((info.flags & NODE_FOLDER) == 0)
                files[path] = info;
        return files;
    }

    fil_module *jpeg = nullptr;
};

// The formatted card: every photo still whole on it comes back byte for
// byte, the live ones also by name through the FAT walk; the overwritten
// and the split photo are not offered, and nothing is offered that was not
// written.
TEST_F(ThoroughCardThreads, FormattedCardGivesBackEveryWholePhoto)
{
    PhotoCard card(dir / "make");
    // The card's life went as planned: the new photos took P0 and P1's
    // head, F's first piece runs into P4, the deleted ones are untouched.
    EXPECT_EQ(joined(card.whole), "N0 N1 N2 P2 P4 P5 P6 P7 P8 P9");
    for (const auto &[name, bytes] : card.originals)
        EXPECT_GE(bytes.size(), name[0] == 'N' ? 100000u : 900000u) << name;

    Media *m = attachedMedium(card.image, MEDIA_FILE, (int64_t)card.content.size());
    ASSERT_EQ(scan(m), 0);
    std::shared_ptr<ScanContext> done = scanIn(1);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(done->scan_state, SCX_STATE_DONE);

    // "Reconstructed Files": every whole photo, nothing else.
    const std::map<std::string, std::string> recovered = recoverStore(done->store, dir / "out");
    const Tally got = tally(card, recovered);
    EXPECT_EQ(joined(got.identical), joined(card.whole));
    EXPECT_EQ(got.damaged, std::vector<std::string>{});
    EXPECT_EQ(recovered.size(), got.identical.size() + (size_t)got.previews);
    // A preview inside a photo given back is not offered again; the preview
    // of a photo that cannot be given back (its head overwritten, or split)
    // is a whole picture of its own and is offered.
    int lost_with_preview = 0;
    for (const auto &[name, bytes] : card.originals)
        if (card.whole.count(name) == 0 && bytes.find(card.preview) != std::string::npos &&
            card.content.find(card.preview) != std::string::npos)
            lost_with_preview++;
    EXPECT_LE(got.previews, lost_with_preview);
    for (const auto &[path, bytes] : recovered)
        EXPECT_EQ(path.rfind("Reconstructed Files/Images/JPEG/", 0), 0u) << path;
    // Each catalog row says where its photo lies on the card (a preview
    // lies inside its photo, at any byte).
    for (const auto &[path, info] : filesOf(done->store)) {
        const std::string &bytes = recovered.at("Reconstructed Files/" + path);
        EXPECT_EQ(info.data_size, bytes.size()) << path;
        if (bytes == card.preview)
            EXPECT_EQ(card.content.compare(info.start, bytes.size(), bytes), 0) << path;
        else
            EXPECT_EQ((int64_t)info.start, card.offsetOf(bytes)) << path;
    }

    // The FAT walk: the live photos by their names.
    fs_record *fat = fatOf(done);
    ASSERT_NE(fat, nullptr);
    const std::map<std::string, NodeInfo> listed = filesOf(fat);
    std::set<std::string> names;
    for (const auto &[path, info] : listed)
        names.insert(path);
    EXPECT_EQ(joined(names), "DCIM/101NEW/N0.JPG DCIM/101NEW/N1.JPG DCIM/101NEW/N2.JPG");
    for (const std::string &name : card.live) {
        const NodeInfo &info = listed.at("DCIM/101NEW/" + name + ".JPG");
        std::string path;
        uint64_t size = 0;
        ASSERT_EQ(fs_recover_node(fat, info.keynum, (dir / "live").c_str(), &path, &size), 0) << name;
        EXPECT_EQ(zvtest::readFile(path), card.originals.at(name)) << name;
        EXPECT_EQ(std::filesystem::path(path).filename(), name + ".JPG");
    }
}


// The same card as a block device (a loop device over the image), the way
// a card reader shows it: the same photos back, the same live files.
TEST_F(ThoroughCardThreads, CardAsABlockDevice)
{
    ASSERT_TRUE(zvtest::LoopDevice::available()) << "loop devices need root";
    PhotoCard card(dir / "make");
    zvtest::LoopDevice loop(card.image);
    Media *m = media_attach_disk(loop.path().c_str(), "card", 1, (int64_t)card.content.size(), 512);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(scan(m), 0);
    std::shared_ptr<ScanContext> done = scanIn(1);
    ASSERT_NE(done, nullptr);
    const Tally got = tally(card, recoverStore(done->store, dir / "out"));
    EXPECT_EQ(joined(got.identical), joined(card.whole));
    EXPECT_EQ(got.damaged, std::vector<std::string>{});
    fs_record *fat = fatOf(done);
    ASSERT_NE(fat, nullptr);
    EXPECT_EQ(filesOf(fat).size(), card.live.size());
}

// A finished thorough scan saved into a scan file, deleted and loaded
// again: "Reconstructed Files" and the FAT catalog answer from the loaded
// scan and give back the same photos.
TEST_F(ThoroughCardThreads, SavedAndLoadedScanGivesBackTheSamePhotos)
{
    PhotoCard card(dir / "make");
    Media *m = attachedMedium(card.image, MEDIA_FILE, (int64_t)card.content.size());
    ASSERT_EQ(scan(m), 0);
    ASSERT_EQ(scx_archive(scanIn(1).get()), 0);
    const std::string saved = dir / "card.scan";
    FileArch *far = far_new(saved.c_str(), ws().c_str());
    ASSERT_NE(far, nullptr);
    ASSERT_EQ(far_create(far, FAR_FILE_GZIP, "ZO3divi"), 0);
    ASSERT_EQ(scx_save_scans(far, nullptr, 0), 0);
    ASSERT_EQ(far_finish(far), 0);
    far_free(&far);
    ASSERT_EQ(scx_delete_all(), 0);
    ASSERT_FALSE(std::filesystem::exists(ws() + "/Scan.01"));

    int loaded = 0;
    ASSERT_EQ(scx_load_scans(saved.c_str(), nullptr, 0, workspace, &loaded), 0);
    ASSERT_EQ(loaded, 1);
    std::shared_ptr<ScanContext> back = scanIn(1);
    ASSERT_NE(back, nullptr);
    ASSERT_NE(back->store, nullptr);
    EXPECT_STREQ(back->store->display_name, "Reconstructed Files");
    const Tally got = tally(card, recoverStore(back->store, dir / "out"));
    EXPECT_EQ(joined(got.identical), joined(card.whole));
    EXPECT_EQ(got.damaged, std::vector<std::string>{});
    fs_record *fat = fatOf(back);
    ASSERT_NE(fat, nullptr);
    EXPECT_EQ(filesOf(fat).size(), card.live.size());
}

// The same card behind a prefix of an odd number of bytes and of one
// sector, read through a medium window that starts after the prefix: the
// same findings at the same medium positions. Behind a prefix read as it
// is, the same photos moved by the prefix: by the sector, the FAT volume
// too; by an odd number of bytes, the photos alone (a FAT volume is looked
// for at sector boundaries, where partitions place it).
TEST_F(ThoroughCardThreads, ShiftedCardGivesTheSameFindingsMoved)
{
    PhotoCard card(dir / "make");
    // The store's files (name, start, size) and the FAT's (path, size).
    using Findings = std::pair<std::vector<std::tuple<std::string, uint64_t, uint64_t>>,
                               std::vector<std::pair<std::string, uint64_t>>>;
    const auto findingsOf = [&](uint32_t slot, uint64_t moved, bool fat) {
        std::shared_ptr<ScanContext> done = scanIn(slot);
        Findings out;
        if (done == nullptr || (fat && fatOf(done) == nullptr)) {
            ADD_FAILURE() << "no scan or no FAT in slot " << slot;
            return out;
        }
        for (const auto &[path, info] : filesOf(done->store))
            out.first.emplace_back(path, info.start - moved, info.data_size);
        if (fat)
            for (const auto &[path, info] : filesOf(fatOf(done)))
                out.second.emplace_back(path, info.data_size);
        return out;
    };
    Media *plain = attachedMedium(card.image, MEDIA_FILE, (int64_t)card.content.size());
    ASSERT_EQ(scan(plain), 0);
    const Findings expected = findingsOf(1, 0, true);
    EXPECT_GE(expected.first.size(), card.whole.size()); // and the previews of lost photos
    EXPECT_EQ(expected.second.size(), card.live.size());

    struct Shift {
        int64_t prefix; // bytes before the card in the image file
        bool window;    // the medium starts after them
    };
    uint32_t slot = 1;
    for (const Shift &shift : {Shift{1, true}, Shift{512, true}, Shift{512, false}, Shift{3, false}}) {
        SCOPED_TRACE(std::to_string(shift.prefix) + (shift.window ? " window" : " plain"));
        const std::string image = dir / ("shifted" + std::to_string(shift.prefix) + ".img");
        zvtest::writeFile(image, std::string((size_t)shift.prefix, '\x5A') + card.content);
        Media *m = attachedMedium(image, MEDIA_FILE, shift.prefix + (int64_t)card.content.size());
        if (shift.window)
            m->start_pos = m->orig_start_pos = shift.prefix;
        ASSERT_EQ(scan(m), 0);
        const bool sector = shift.window || shift.prefix % 512 == 0;
        const Findings found = findingsOf(++slot, shift.window ? 0 : (uint64_t)shift.prefix, sector);
        EXPECT_EQ(found.first, expected.first);
        if (sector) {
            EXPECT_EQ(found.second, expected.second);
        }
    }
}

// The endings of a scan with real photos. Abort in the block loop or while
// the files are measured: -5 and the scan gone with its folder. An early
// stop in the block loop: the photos that start up to there are measured,
// catalogued and given back whole. The card pulled out while files are
// measured: -30, the scan kept as aborted and the medium detached.
TEST_F(ThoroughCardThreads, EndingsKeepOnlyWholePhotos)
{
    PhotoCard card(dir / "make");
    enum Act { kAbort, kStop, kPull };
    struct Ending {
        const char *what;
        bool measuring; // at the third span measured, else at the third start recognised
        Act act;
        int status;
    };
    const Ending endings[] = {
        {"abort in the block loop", false, kAbort, SCAN_ABORTED},
        {"abort while measuring", true, kAbort, SCAN_ABORTED},
        {"early stop in the block loop", false, kStop, 0},
        {"card pulled out while measuring", true, kPull, SCAN_DETACHED},
    };
    int number = 0;
    for (const Ending &e : endings) {
        SCOPED_TRACE(e.what);
        mediatest::FaultyCard faulty(dir / ("card" + std::to_string(number++) + ".img"), card.content);
        Media *m = attachedMedium(faulty.path, MEDIA_FILE, (int64_t)card.content.size());
        begin_run_flags();
        set_engine_state(1);
        int seen = 0;
        uint64_t at = 0; // where the ending came
        const auto act = [&](uint64_t position) {
            if (++seen != 3)
                return;
            at = position;
            if (e.act == kAbort) {
                EXPECT_EQ(request_abort(), 0);
            } else if (e.act == kStop) {
                EXPECT_EQ(request_stop(), 0);
            } else {
                faulty.gone = 0;
                EXPECT_EQ(scx_media_removed(faulty.path.c_str(), 0), 1);
            }
        };
        if (e.measuring)
            g_jpeg.on_measure = [&](const cbr_span *span) { act(span->start); };
        else
            g_jpeg.on_start = act;
        EXPECT_EQ(scan(m), e.status);
        ASSERT_GE(seen, 3);
        g_jpeg = JpegHooks();
        if (e.act == kAbort) {
            EXPECT_TRUE(scx_live_slots().empty());
            EXPECT_FALSE(std::filesystem::exists(ws() + "/Scan.01"));
        } else if (e.act == kStop) {
            std::shared_ptr<ScanContext> done = scanIn(1);
            ASSERT_NE(done, nullptr);
            EXPECT_EQ(done->scan_state, SCX_STATE_DONE);
            std::set<std::string> expected;
            for (const std::string &name : card.whole)
                if ((uint64_t)card.offsetOf(card.originals.at(name)) <= at)
                    expected.insert(name);
            EXPECT_GE(expected.size(), 2u);
            EXPECT_LT(expected.size(), card.whole.size());
            const Tally got = tally(card, recoverStore(done->store, dir / ("out" + std::to_string(number))));
            EXPECT_EQ(joined(got.identical), joined(expected));
            EXPECT_EQ(got.damaged, std::vector<std::string>{});
        } else {
            std::shared_ptr<ScanContext> kept = scanIn(1);
            ASSERT_NE(kept, nullptr);
            EXPECT_EQ(kept->scan_state, SCX_STATE_ABORTED);
            EXPECT_EQ(kept->media_status, SCX_MEDIA_DETACHED);
            EXPECT_EQ(m->attached, 0);
        }
        EXPECT_EQ(m->reader, nullptr);
        EXPECT_EQ(scx_current(), nullptr);
        clear_run_flags();
        set_engine_state(0);
        ASSERT_EQ(scx_delete_all(), 0);
    }
}

// Unreadable blocks. A photo is given back whole, or with its unreadable
// blocks as zeros, or not at all; never with bytes of another file. One
// block inside P5's data: P5 comes back with that block zeroed; P7's first
// block: P7 is not found. The block holding P6's end and the next one, P7's
// first: neither is offered, although the rest of P7 reads on like more of
// P6's data up to P7's end.
TEST_F(ThoroughCardThreads, BadBlocksGiveNoPhantomFiles)
{
    PhotoCard card(dir / "make");
    const auto at = [&](const char *name) { return card.offsetOf(card.originals.at(name)); };
    const auto lastBlock = [&](const char *name) {
        return (at(name) + (int64_t)card.originals.at(name).size() - 1) / 512;
    };
    for (const char *name : {"P5", "P6", "P7"})
        ASSERT_GE(at(name), 0) << name;
    ASSERT_EQ(lastBlock("P6") + 1, at("P7") / 512); // P7 follows P6 at once
    struct Case {
        const char *what;
        std::vector<int64_t> bad;          // unreadable blocks
        std::set<std::string> zeroed, gone; // photos back with zeros, photos not back
        int recovered;                      // status of the recovery
    };
    const Case cases[] = {
        {"inside P5 and at P7's start",
         {(at("P5") + (int64_t)card.originals.at("P5").size() / 2) / 512, at("P7") / 512},
         {"P5"},
         {"P7"},
         kIncomplete},
        {"at P6's end and P7's start", {lastBlock("P6"), at("P7") / 512}, {}, {"P6", "P7"}, 0},
    };
    int number = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        mediatest::FaultyCard faulty(dir / ("card" + std::to_string(++number) + ".img"), card.content);
        faulty.bad = c.bad;
        Media *m = attachedMedium(faulty.path, MEDIA_FILE, (int64_t)card.content.size());
        ASSERT_EQ(scan(m), 0);
        std::shared_ptr<ScanContext> done = scanIn(1);
        ASSERT_NE(done, nullptr);
        // What a photo reads as with the unreadable blocks zeroed.
        std::map<std::string, std::string> withZeros;
        for (const std::string &name : c.zeroed) {
            std::string bytes = card.originals.at(name);
            const int64_t from = at(name.c_str());
            for (int64_t block : c.bad)
                if (block * 512 >= from && block * 512 < from + (int64_t)bytes.size())
                    bytes.replace((size_t)(block * 512 - from), 512, 512, '\0');
            withZeros[bytes] = name;
        }
        std::map<std::string, std::string> others;
        std::set<std::string> zeroed;
        for (const auto &[path, bytes] :
             recoverStore(done->store, dir / ("out" + std::to_string(number)), c.recovered)) {
            if (withZeros.count(bytes) != 0)
                zeroed.insert(withZeros.at(bytes));
            else
                others[path] = bytes;
        }
        EXPECT_EQ(zeroed, c.zeroed);
        std::set<std::string> expected = card.whole;
        for (const std::set<std::string> *names : {&c.zeroed, &c.gone})
            for (const std::string &name : *names)
                expected.erase(name);
        const Tally got = tally(card, others);
        EXPECT_EQ(joined(got.identical), joined(expected));
        EXPECT_EQ(got.damaged, std::vector<std::string>{});
        done.reset();
        ASSERT_EQ(scx_delete_all(), 0);
    }
}

// A card as cameras format it: an MBR with two partitions (FAT32 and
// FAT16), photos in both, one of them deleted. Both volumes are walked into
// the FAT catalog (the second below its "Volume at" folder) and every photo
// comes back from "Reconstructed Files" at its place on the card.
TEST_F(ThoroughCardThreads, PartitionedCardWalksBothVolumes)
{
    for (const char *tool : {"cjpeg", "exiftool"})
        zvtest::requireTool(tool);
    const std::string image = dir / "parts.img";
    const zvtest::PartitionedCard parts = zvtest::makePartitionedCard(image);
    struct Placed {
        PhotoSpec spec;
        uint64_t volume;
        std::string path;
    };
    const Placed photos[] = {
        {{"A0", 1600, 1200, false, false}, parts.fat32Offset, "DCIM/100A/A0.JPG"},
        {{"A1", 1200, 900, true, false}, parts.fat32Offset, "DCIM/100A/A1.JPG"},
        {{"B0", 1200, 900, false, false}, parts.fat16Offset, "DCIM/100B/B0.JPG"},
        {{"B1", 800, 600, true, false}, parts.fat16Offset, "DCIM/100B/B1.JPG"},
    };
    for (uint64_t volume : {parts.fat32Offset, parts.fat16Offset}) {
        zvtest::fatMkdir(image, "DCIM", volume);
        zvtest::fatMkdir(image, volume == parts.fat32Offset ? "DCIM/100A" : "DCIM/100B", volume);
    }
    std::map<std::string, std::string> written;
    uint32_t seed = 40;
    for (const Placed &p : photos) {
        written[p.spec.name] = makePhoto(dir / p.spec.name, p.spec, seed++, "");
        zvtest::fatPut(image, p.path, written[p.spec.name], 1262347445, p.volume);
    }
    zvtest::fatDelete(image, "DCIM/100B/B1.JPG", parts.fat16Offset);

    Media *m = media_attach_file(image.c_str());
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(scan(m), 0);
    std::shared_ptr<ScanContext> done = scanIn(1);
    ASSERT_NE(done, nullptr);
    std::set<std::string> listed;
    for (const auto &[path, info] : filesOf(fatOf(done)))
        listed.insert(path);
    const std::string second = "Volume at " + std::to_string(parts.fat16Offset) + "/";
    EXPECT_EQ(joined(listed), "DCIM/100A/A0.JPG DCIM/100A/A1.JPG " + second + "DCIM/100B/B0.JPG");

    const std::string content = zvtest::readFile(image);
    std::set<std::string> got;
    for (const auto &[path, info] : filesOf(done->store)) {
        std::string path_out;
        uint64_t size = 0;
        ASSERT_EQ(fs_recover_node(done->store, info.keynum, (dir / "out").c_str(), &path_out, &size), 0) << path;
        const std::string bytes = zvtest::readFile(path_out);
        for (const auto &[name, original] : written)
            if (bytes == original) {
                got.insert(name);
                EXPECT_EQ(content.compare(info.start, bytes.size(), bytes), 0) << name;
            }
    }
    EXPECT_EQ(joined(got), "A0 A1 B0 B1");
}

// Photos past 4 GiB on a large card (a sparse image: the rest reads as
// zeros): found at their 64-bit positions and given back whole. The image
// lies in memory (/dev/shm), where its holes read fast.
TEST_F(ThoroughCardThreads, PhotosPastFourGiB)
{
    zvtest::requireTool("cjpeg");
    const zvtest::TempDir shm("/dev/shm");
    const std::string image = shm / "large.img";
    const std::string a = makePhoto(dir / "a", {"a", 1200, 900, false, false}, 7, "");
    const std::string b = makePhoto(dir / "b", {"b", 800, 600, true, false}, 8, "");
    const int64_t at[] = {(int64_t)1 << 32, ((int64_t)5 << 30) + 512 * 7};
    const int64_t size = ((int64_t)5 << 30) + (4 << 20);
    {
        zvtest::writeFile(image, "");
        ASSERT_EQ(truncate(image.c_str(), size), 0);
        FILE *f = std::fopen(image.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fseeko(f, at[0], SEEK_SET), 0);
        ASSERT_EQ(std::fwrite(a.data(), 1, a.size(), f), a.size());
        ASSERT_EQ(fseeko(f, at[1], SEEK_SET), 0);
        ASSERT_EQ(std::fwrite(b.data(), 1, b.size(), f), b.size());
        ASSERT_EQ(std::fclose(f), 0);
    }
    Media *m = attachedMedium(image, MEDIA_FILE, size);
    ASSERT_EQ(scan(m), 0);
    std::shared_ptr<ScanContext> done = scanIn(1);
    ASSERT_NE(done, nullptr);
    const std::map<std::string, NodeInfo> files = filesOf(done->store);
    ASSERT_EQ(files.size(), 2u);
    const std::string *expected[] = {&a, &b};
    int i = 0;
    for (const auto &[path, info] : files) {
        SCOPED_TRACE(path);
        EXPECT_EQ((int64_t)info.start, at[i]);
        std::string out;
        uint64_t got = 0;
        ASSERT_EQ(fs_recover_node(done->store, info.keynum, (dir / "out").c_str(), &out, &got), 0);
        EXPECT_EQ(zvtest::readFile(out), *expected[i]);
        i++;
    }
}

// PhotoRec (JPEG only, batch mode) on the same card: we give back every
// photo it gives back byte for byte, except the one in two pieces, and no
// more damaged files. PhotoRec joins a JPEG split in two (it decodes the
// data to find where the first piece ends and the second starts); a file of
// "Reconstructed Files" is one contiguous run of the card, so the split
// photo is left out rather than offered with another file's bytes. Its
// separate files of Exif previews are counted apart.
TEST_F(ThoroughCardThreads, NoFewerWholePhotosThanPhotoRec)
{
    zvtest::requireTool("photorec");
    PhotoCard card(dir / "make");
    const std::string peer = dir / "peer";
    std::filesystem::create_directories(peer);
    zvtest::mustRun("cd " + shellQuote(peer) + " && photorec /log /d " + shellQuote(peer + "/recup") + " /cmd " +
                    shellQuote(card.image) +
                    " partition_none,fileopt,everything,disable,jpg,enable,search </dev/null >/dev/null");
    std::map<std::string, std::string> theirFiles;
    for (const auto &[path, bytes] : filesBelow(peer))
        if (path.rfind("recup.", 0) == 0 && path.size() > 4 && path.compare(path.size() - 4, 4, ".jpg") == 0)
            theirFiles[path] = bytes;
    const Tally theirs = tally(card, theirFiles);

    Media *m = attachedMedium(card.image, MEDIA_FILE, (int64_t)card.content.size());
    ASSERT_EQ(scan(m), 0);
    const Tally ours = tally(card, recoverStore(scanIn(1)->store, dir / "out"));
    SCOPED_TRACE("ours: " + joined(ours.identical) + ", " + std::to_string(ours.damaged.size()) +
                 " damaged; PhotoRec: " + joined(theirs.identical) + ", " + std::to_string(theirs.previews) +
                 " previews, " + std::to_string(theirs.damaged.size()) + " damaged");
    std::set<std::string> onlyTheirs;
    std::set_difference(theirs.identical.begin(), theirs.identical.end(), ours.identical.begin(),
                        ours.identical.end(), std::inserter(onlyTheirs, onlyTheirs.end()));
    onlyTheirs.erase(kSplit.name);
    EXPECT_EQ(joined(onlyTheirs), "");
    EXPECT_GE(ours.identical.size() + 1, theirs.identical.size());
    EXPECT_LE(ours.damaged.size(), theirs.damaged.size());
    EXPECT_EQ(ours.identical, card.whole);
}

} // namespace
