// The scan driver: quick and deleted-file scans from start_scan to the verdict, what each ending
// leaves in the slots and the workspace, the refusals before a slot is taken, and the verdict lines.
// First with the catalog-backed stand-in of fs_test_support.h (type 4, its quick scan writes its
// tree into its catalog), then with the FAT type over real images made with mkfs.fat, mtools and
// sfdisk (listings checked against fls). A stand-in store (type 2) is registered too, as the
// engine does at start, because scans of type 2 make one. Last the thorough scan, with the
// thorough-scan store, the FAT module and a module of a made-up format.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "fat_image_support.h"
#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/progress.h"
#include "fs_test_support.h"
#include "scan/fat/fat_scan.h"
#include "scan/scan_driver.h"
#include "scan/thorough/cbr_test_support.h"
#include "storage/media_test_support.h"

using namespace fstest;

namespace {

// What the stand-in type does in the next scan.
struct Behaviour {
    int probe = 1;
    int quick = 0;                           // result of the quick scan
    std::function<void(fs_record *)> during; // runs inside the quick scan
    std::function<int(fs_record *)> deleted; // the deleted-file operation; empty: none
};
Behaviour g_behaviour;

// Where the engine thread waits inside a hook until the front end cancels.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool reached = false, cancelled = false;
    // In the engine thread, with the lock held: signals and waits for the cancel.
    void holdLocked(std::unique_lock<std::mutex> &lock)
    {
        reached = true;
        cv.notify_all();
        cv.wait(lock, [&] { return cancelled; });
    }
    // In the front end: waits until the hook is reached (or *ended is set); whether it was.
    bool waitReached(const bool *ended = nullptr)
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return reached || (ended != nullptr && *ended); });
        return reached;
    }
    // The front end's cancel: asks for the abort, lets the hook go on and
    // waits for the engine thread to end.
    void cancelAndJoin(std::thread &engine)
    {
        request_abort();
        {
            std::lock_guard<std::mutex> lock(mutex);
            cancelled = true;
        }
        cv.notify_all();
        engine.join();
    }
};

class DriverOps : public TestOps {
public:
    int probe(fs_record *) override { return g_behaviour.probe; }
    int quick_scan(fs_record *r) override
    {
        if (g_behaviour.quick == 0 || g_behaviour.quick == SCAN_ABORTED)
            write_catalog(r, small_tree());
        if (g_behaviour.during)
            g_behaviour.during(r);
        return g_behaviour.quick;
    }
    int scan_deleted(fs_record *r) override
    {
        return g_behaviour.deleted ? g_behaviour.deleted(r) : fs_ops::scan_deleted(r);
    }
};

int driver_fs_init(fs_record *record)
{
    const int rc = test_fs_init(record);
    record->ops.reset(new DriverOps());
    return rc;
}

int store_init(fs_record *record)
{
    std::snprintf(record->prefix, sizeof record->prefix, "CBR");
    std::snprintf(record->fs_name, sizeof record->fs_name, "Reconstructed");
    return fs_make_folder(record);
}

// A workspace with the stand-in store registered (as at engine start), and
// what a run may leave behind.
class DriverBase : public Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        fil_module *store = fil_module_get_or_create(FIL_MODULE_CBR, sizeof(fil_module));
        ASSERT_NE(store, nullptr);
        store->fs_init = store_init;
        ASSERT_EQ(fs_register_type(store, FS_TYPE_STORE, FS_RECORD_COMMON_SIZE), 0);
        clear_errors();
    }
    void TearDown() override
    {
        g_behaviour = Behaviour();
        file_set_slow_read_callback(nullptr);
        set_engine_state(0);
        clear_run_flags();
        file_clear_write_error();
        Workspace::TearDown();
    }
    std::string slotDir(uint32_t slot) const { return ws() + (slot < 10 ? "/Scan.0" : "/Scan.") + std::to_string(slot); }
    static bool exists(const std::string &path) { return std::filesystem::exists(path); }
    int scanOf(const Media *m, int type = SCX_TYPE_QUICK) { return start_scan(m->id, type, workspace); }
    void expectScanFiles(uint32_t slot) const
    {
        for (const char *file : {"/context", "/FAT.1/cat.db", "/FAT.1/key", "/FAT.1/treeinfo"})
            EXPECT_TRUE(exists(slotDir(slot) + file)) << file;
    }
    static void deleteSlot(uint32_t slot)
    {
        ScanContext *scan = scx_in_slot(slot).get();
        ASSERT_EQ(scx_delete(&scan), 0);
    }
    // A deleted-file scan kept in slot 1.
    void expectKeptDeletedScan(const Media *m)
    {
        EXPECT_TRUE(logged("Starting deleted scan for " + std::string(media_path(m))));
        std::shared_ptr<ScanContext> scan = scx_in_slot(1);
        ASSERT_NE(scan, nullptr);
        EXPECT_EQ(scan->scan_type, SCX_TYPE_DELETED);
        EXPECT_EQ(scan->scan_state, SCX_STATE_DONE);
        EXPECT_EQ(m->open_count, 0);
        EXPECT_EQ(scx_current(), nullptr);
    }
    // Nothing of a scan is left: no slot taken, no slot folder, the medium
    // closed again, no module pointing at a freed scan.
    void expectNothingLeft(const Media *m)
    {
        EXPECT_TRUE(scx_live_slots().empty());
        EXPECT_FALSE(exists(slotDir(1)));
        EXPECT_EQ(m->open_count, 0);
        EXPECT_EQ(scx_current(), nullptr);
        for (fil_module *module = fil_module_first(); module != nullptr; module = module->next)
            EXPECT_EQ(module->scan, nullptr) << fil_module_id_text(module->id);
    }
};

class ScanDriver : public DriverBase {
protected:
    void SetUp() override
    {
        DriverBase::SetUp();
        fat = fil_module_get_or_create(FIL_MODULE_FAT, sizeof(fil_module));
        ASSERT_NE(fat, nullptr);
        fat->fs_init = driver_fs_init;
        ASSERT_EQ(fs_register_type(fat, FS_TYPE_FAT, FS_RECORD_COMMON_SIZE), 0);
        media = fileMedium(dir / "card.img", std::string(64 * 1024, 'x'));
    }
    void expectNothingLeft() { DriverBase::expectNothingLeft(media); }
    std::string description() { return media_description(media); }
    int scan(int type = SCX_TYPE_QUICK) { return scanOf(media, type); }
    fil_module *fat = nullptr;
    Media *media = nullptr;
};

TEST_F(ScanDriver, QuickScanKeepsTheCatalogInTheScanFolder)
{
    add_error(999); // from an earlier command: the run starts with a clear list
    ASSERT_EQ(scan(), 0);
    std::shared_ptr<ScanContext> scan = scx_in_slot(1);
    ASSERT_NE(scan, nullptr);
    EXPECT_EQ(scan->scan_state, SCX_STATE_DONE);
    EXPECT_EQ(scan->scan_type, SCX_TYPE_QUICK);
    EXPECT_EQ(scan->media_status, SCX_MEDIA_ATTACHED);
    EXPECT_EQ(scan->scanned_here, 1);
    EXPECT_EQ(scan->num_children, 1);
    ASSERT_EQ(scan->fs_list.size(), 1u);
    EXPECT_EQ(scan->fs_list[0]->type, (uint32_t)FS_TYPE_FAT);
    expectScanFiles(1);
    std::vector<NodeInfo> children;
    ASSERT_EQ(fs_node_children(scan->fs_list[0].get(), 1, &children), 0);
    EXPECT_EQ(children.size(), 2u); // DCIM and notes.txt
    EXPECT_EQ(media->open_count, 0);
    EXPECT_EQ(scx_current(), nullptr);
    EXPECT_EQ(fat->scan, scan.get());
    EXPECT_EQ(n_errors(), 0);
    EXPECT_TRUE(logged("Starting quick scan for " + description()));
    EXPECT_TRUE(logged("Scan of " + description() + " completed with no errors."));
}

// Scans that end deleted: no slot, no folder, the medium closed.
TEST_F(ScanDriver, EndingsThatDeleteTheScan)
{
    const auto abort = [](fs_record *) { request_abort(); };
    const auto abortDeleted = [](fs_record *) { return request_abort(), 0; };
    struct Ending {
        const char *what;
        int type, quick, probe;
        std::function<void(fs_record *)> during;
        std::function<int(fs_record *)> deleted;
        int rc;
        std::vector<std::string> logs, absent; // found in, and missing from, what the case logged
    };
    const std::string desc = description();
    const std::vector<Ending> endings = {
        // nothing recorded: no volume was found, told apart from a damaged one
        {"quick scan without file system", SCX_TYPE_QUICK, -1, 1, nullptr, nullptr, SCAN_NO_FILESYSTEM,
         {"QS failed to find a filesystem on " + desc}, {"Failed with errors"}},
        {"quick scan of a damaged volume", SCX_TYPE_QUICK, -1, 1, [](fs_record *) { add_error(521); }, nullptr, -1,
         {"QS failed to find a filesystem on " + desc}, {}},
        // the type sees the abort and gives -5 itself...
        {"type aborts", SCX_TYPE_QUICK, SCAN_ABORTED, 1, abort, nullptr, SCAN_ABORTED, {},
         {"QS failed to find a filesystem"}},
        // ...or finishes its walk and the verdict sees the abort: deleted once
        {"verdict sees the abort", SCX_TYPE_QUICK, 0, 1, abort, nullptr, SCAN_ABORTED, {"user abort"},
         {"is running", "Failed to delete scan dir"}},
        {"deleted scan aborted inside", SCX_TYPE_DELETED, 0, 1, nullptr, abortDeleted, SCAN_ABORTED, {}, {}},
        {"no type accepts the medium", SCX_TYPE_DELETED, 0, 0, nullptr, nullptr, SCAN_NO_FILESYSTEM,
         {"No good filesystem found on " + desc}, {}},
        // a failed deleted-file scan has nothing to show: no "done" scan is left
        {"type without a deleted-file operation", SCX_TYPE_DELETED, 0, 1, nullptr, nullptr, -1,
         {"Starting deleted scan for ", "Failed with errors: []"}, {}},
        {"deleted-file operation fails", SCX_TYPE_DELETED, 0, 1, nullptr, [](fs_record *) { return -40; }, -40,
         {"Failed with errors: []"}, {}},
    };
    for (const Ending &e : endings) {
        SCOPED_TRACE(e.what);
        const size_t mark = zvtest::readFile(dir / "engine.log").size();
        g_behaviour = Behaviour{e.probe, e.quick, e.during, e.deleted};
        begin_run_flags();
        EXPECT_EQ(scan(e.type), e.rc);
        clear_run_flags();
        expectNothingLeft();
        const std::string log = zvtest::readFile(dir / "engine.log").substr(mark);
        for (const std::string &line : e.logs)
            EXPECT_NE(log.find(line), std::string::npos) << line;
        for (const std::string &line : e.absent)
            EXPECT_EQ(log.find(line), std::string::npos) << line;
    }
    // The slot is free for the next scan.
    g_behaviour = Behaviour();
    EXPECT_EQ(scan(), 0);
    EXPECT_EQ(scx_live_slots(), std::vector<uint32_t>{1});
}

TEST_F(ScanDriver, RemovedMediumEndsDetachedAndKept)
{
    begin_run_flags();
    set_engine_state(1);
    const std::string path = media_path(media);
    g_behaviour.during = [path](fs_record *) { EXPECT_EQ(scx_media_removed(path.c_str(), 0), 1); };
    EXPECT_EQ(scan(), SCAN_DETACHED);
    std::shared_ptr<ScanContext> scan = scx_in_slot(1);
    ASSERT_NE(scan, nullptr);
    EXPECT_EQ(scan->scan_state, SCX_STATE_ABORTED);
    EXPECT_EQ(scan->media_status, SCX_MEDIA_DETACHED);
    EXPECT_EQ(media->attached, 0);
    EXPECT_EQ(media->open_count, 0);
    EXPECT_TRUE(logged("aborted due to media detach"));
}

// The card is pulled out while the quick scan's reader is failing on it:
// the scan has no medium any more, yet what could not be read is still
// reported against the medium that was read (it crashed on the missing one).
TEST_F(ScanDriver, RemovedMediumKeepsTheQuickScansReadReport)
{
    begin_run_flags();
    set_engine_state(1);
    const std::string path = media_path(media);
    g_behaviour.during = [path](fs_record *r) {
        {
            std::lock_guard<std::recursive_mutex> hold(r->mutex);
            r->unreadable.emplace_back(1024, 512);
        }
        EXPECT_EQ(scx_media_removed(path.c_str(), 0), 1);
    };
    scan_coverage coverage;
    EXPECT_EQ(start_scan(media->id, SCX_TYPE_QUICK, workspace, &coverage), SCAN_DETACHED);
    EXPECT_EQ(scx_in_slot(1)->media_status, SCX_MEDIA_DETACHED);
    ASSERT_EQ(coverage.unreadable.size(), 1u);
    EXPECT_EQ(coverage.unreadable[0].offset, 1024);
    EXPECT_EQ(coverage.unreadable[0].length, 512);
    EXPECT_TRUE(logged("aborted due to media detach"));
}

TEST_F(ScanDriver, RefusalsTakeNoSlot)
{
    // An id no attached medium has: -7 and 283.
    EXPECT_EQ(start_scan(media->id + 100, SCX_TYPE_QUICK, workspace), SCAN_NO_MEDIA);
    EXPECT_EQ(error_list_str(), "[283]");
    EXPECT_TRUE(logged("start_scan: no attached media with id"));
    media->attached = 0;
    EXPECT_EQ(scan(), SCAN_NO_MEDIA);
    media->attached = 1;
    for (int type : {0, 4, -1, 1000}) // scan types other than 1, 2 and 3
        EXPECT_EQ(scan(type), SCAN_BAD_TYPE) << type;
    EXPECT_TRUE(logged("start_scan: bad scan type 4"));
    // No workspace: no context can be made.
    EXPECT_EQ(start_scan(media->id, SCX_TYPE_QUICK, nullptr), SCAN_NO_CONTEXT);
    expectNothingLeft();
    EXPECT_FALSE(logged("Starting quick scan"));
    // scan_run itself refuses a context of an unknown type and leaves it.
    ScanContext *odd = scx_new(7, media, workspace);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(scan_run(odd), SCAN_BAD_TYPE);
    EXPECT_EQ(scx_in_slot(1).get(), odd);
    EXPECT_EQ(media->open_count, 0);
    EXPECT_EQ(scan_run(nullptr), SCAN_BAD_TYPE);
}

TEST_F(ScanDriver, FifteenScansThenNoContext)
{
    for (uint32_t i = 1; i <= SCX_SLOTS; i++)
        ASSERT_EQ(scan(), 0) << i;
    EXPECT_EQ(scx_live_slots().size(), (size_t)SCX_SLOTS);
    EXPECT_EQ(scan(), SCAN_NO_CONTEXT);
    EXPECT_TRUE(logged("start_scan: can't allocate new ScanContext"));
    EXPECT_EQ(scx_live_slots().size(), (size_t)SCX_SLOTS);
    EXPECT_EQ(media->open_count, 0);
    // Freeing one slot lets the next scan in.
    deleteSlot(7);
    EXPECT_EQ(scan(), 0);
    EXPECT_NE(scx_in_slot(7), nullptr);
}

// A medium whose file went away cannot be retained: -4 and 700, and the
// fresh context goes with it, so repeated failures never use up the slots.
TEST_F(ScanDriver, RetainFailureFreesTheSlot)
{
    if (file_is_open(media->io))
        file_close(media->io);
    ASSERT_EQ(unlink(media_path(media)), 0);
    for (uint32_t i = 1; i <= SCX_SLOTS + 1; i++) {
        ASSERT_EQ(scan(), SCAN_NO_ACCESS) << i;
        EXPECT_NE(error_list_str().find("700"), std::string::npos) << error_list_str();
        expectNothingLeft();
    }
    EXPECT_TRUE(logged("Failed to retain media: "));
    EXPECT_FALSE(logged("can't allocate new ScanContext"));
    EXPECT_FALSE(logged("Starting quick scan"));
}

TEST_F(ScanDriver, DeletedScanJudgedByTheType)
{
    // A type without a deleted-file operation: -1, nothing kept.
    EXPECT_EQ(scan(SCX_TYPE_DELETED), -1);
    expectNothingLeft();
    // A type with one: its result gives the verdict, and a done scan is kept.
    g_behaviour.deleted = [](fs_record *) { return 0; };
    EXPECT_EQ(scan(SCX_TYPE_DELETED), 0);
    EXPECT_TRUE(logged("Scan of " + description() + " completed with no errors."));
    expectKeptDeletedScan(media);
    EXPECT_NE(scx_in_slot(1)->store, nullptr);
    deleteSlot(1);
}

TEST_F(ScanDriver, VerdictLines)
{
    ScanContext *scan = scx_new(SCX_TYPE_QUICK, media, workspace);
    ASSERT_NE(scan, nullptr);
    const std::string desc = description();
    EXPECT_EQ(scan_result_status(0, scan), 0);
    EXPECT_TRUE(logged("Scan of " + desc + " completed with no errors."));
    for (int code : {307, 307, 283})
        add_error(code);
    EXPECT_EQ(scan_result_status(0, scan), 0);
    EXPECT_TRUE(logged("Scan of " + desc + " completed with some errors: [2*307 283]"));
    EXPECT_EQ(scan_result_status(-9, scan), -9);
    EXPECT_TRUE(logged("Failed with errors: [2*307 283]"));
    file_write_failed = 1;
    EXPECT_EQ(scan_result_status(-9, scan), SCAN_WRITE_FAILED);
    EXPECT_TRUE(logged("write error: [2*307 283]"));
    // An abort outranks everything; a recorded removal makes it -30.
    begin_run_flags();
    request_abort();
    EXPECT_EQ(scan_result_status(-9, scan), SCAN_ABORTED);
    set_engine_state(1);
    scx_begin(scan);
    EXPECT_EQ(scx_media_removed(media_path(media), 0), 1);
    EXPECT_EQ(scan_result_status(0, scan), SCAN_DETACHED);
    scx_finish(scan, SCAN_DETACHED);
    // The medium named after a removal is the copy kept for the scan.
    file_clear_write_error();
    clear_run_flags();
    clear_errors();
    EXPECT_EQ(scan_result_status(0, scan), 0);
    EXPECT_EQ(scan_result_status(0, nullptr), 0);
    EXPECT_TRUE(logged("Scan of (null) completed with no errors."));
    // A removal the scan's own reads found, where no run takes the abort
    // request: -30 all the same.
    ScanContext *own = scx_new(SCX_TYPE_QUICK, media, workspace);
    ASSERT_NE(own, nullptr);
    scx_begin(own);
    EXPECT_EQ(scx_media_gone(own, media), 1);
    EXPECT_EQ(abort_requested(), 0);
    EXPECT_EQ(scan_result_status(0, own), SCAN_DETACHED);
    scx_finish(own, SCAN_DETACHED);
}

// The engine thread scans while a caller's thread lists the scans and the
// front end cancels: the scan ends -5 and its slot is free again.
TEST_F(ScanDriver, AbortFromAnotherThreadThreads)
{
    begin_run_flags();
    Gate gate;
    g_behaviour.during = [&](fs_record *) {
        std::unique_lock<std::mutex> lock(gate.mutex);
        gate.holdLocked(lock);
    };
    g_behaviour.quick = SCAN_ABORTED;
    int status = 0;
    std::thread engine([&] { status = scan(); });
    gate.waitReached();
    for (int i = 0; i < 50; i++) {
        std::vector<ScanInfo> infos = scx_copy_scan_infos();
        ASSERT_EQ(infos.size(), 1u);
        EXPECT_EQ(infos[0].scan_state, (uint32_t)SCX_STATE_RUNNING);
        std::vector<NodeInfo> list;
        scx_children(KEYREF_NONE, &list);
    }
    gate.cancelAndJoin(engine);
    EXPECT_EQ(status, SCAN_ABORTED);
    expectNothingLeft();
}

// --- the FAT type --------------------------------------------------------------------------

// Paths of the catalog below keynum ("DCIM/100CANON/IMG_0001.JPG"), folders
// with a trailing "/".
void catalogPaths(fs_record *fs, uint64_t keynum, const std::string &prefix, std::set<std::string> *out)
{
    std::map<std::string, NodeInfo> nodes;
    catalogNodes(fs, keynum, prefix, &nodes);
    for (const auto &node : nodes)
        out->insert(node.first);
}

// The live entries fls -r -p lists, in the same form (label, deleted
// entries and the $ pseudo-files left out).
std::set<std::string> flsPaths(const std::string &image, uint64_t sectorOffset, const std::string &prefix)
{
    std::set<std::string> out;
    for (const zvtest::FlsEntry &e : zvtest::flsList(image, sectorOffset))
        if (!e.deleted && e.path.find("(Volume Label Entry)") == std::string::npos && e.path.rfind("$", 0) != 0 &&
            e.path.find("/$") == std::string::npos)
            out.insert(prefix + e.path + (e.type == "d/d" ? "/" : ""));
    return out;
}

// What one set has and the other lacks, as readable text.
std::string setDiff(const std::set<std::string> &ours, const std::set<std::string> &theirs)
{
    std::string out;
    for (const std::string &p : theirs)
        out += ours.count(p) == 0 ? "missing: " + p + "\n" : "";
    for (const std::string &p : ours)
        out += theirs.count(p) == 0 ? "extra: " + p + "\n" : "";
    return out;
}

// A card's worth of files: a label, nested folders, a long name, a deleted
// file, and 3 folders of 30 photos, each folder behind a 300 KiB file so
// that their directories lie in different read windows of the medium (for
// an abort part-way through the walk).
void fillCard(const std::string &img, uint64_t offset, const std::string &host)
{
    using namespace zvtest;
    fatLabel(img, "MYCARD", offset);
    fatMkdir(img, "DCIM", offset);
    for (int folder = 0; folder < 3; folder++) {
        const std::string name = host + "/" + std::to_string(100 + folder) + "CANON";
        fatPut(img, "DCIM/spacer" + std::to_string(folder) + ".bin", patternBytes(300 * 1024, 90 + folder),
               1262347445, offset);
        mustRun("mkdir -p " + shellQuote(name));
        for (int i = 0; i < 30; i++)
            writeFile(name + "/IMG_" + std::to_string(1000 + i) + ".JPG", patternBytes(700 + i * 13, folder * 100 + i));
        mtools("mcopy -s -m -i " + mtoolsImage(img, offset) + " " + shellQuote(name) + " ::/DCIM/");
    }
    fatPut(img, "a rather long name for a photo.jpeg", patternBytes(5000, 7), 1262347445, offset);
    fatPut(img, "gone.jpg", patternBytes(3000, 8), 1262347445, offset);
    fatDelete(img, "gone.jpg", offset);
}

class FatScanDriver : public DriverBase {
protected:
    void SetUp() override
    {
        DriverBase::SetUp();
        ASSERT_NE(fat_describe(), nullptr);
    }
    Media *attach(const std::string &path)
    {
        Media *m = media_attach_file(path.c_str());
        if (m == nullptr)
            throw std::runtime_error("media_attach_file " + path);
        return m;
    }
    // A FAT16 card filled by fillCard.
    std::string fatCard()
    {
        const std::string img = dir / "card.img";
        zvtest::makeFat(img, 16, 20480);
        fillCard(img, 0, dir / "host");
        return img;
    }
    // The FAT record of the scan in a slot, and its catalog's paths.
    std::set<std::string> scannedPaths(uint32_t slot)
    {
        std::set<std::string> out;
        std::shared_ptr<ScanContext> scan = scx_in_slot(slot);
        if (scan == nullptr || scan->fs_list.size() != 1 || scan->fs_list[0]->type != FS_TYPE_FAT)
            ADD_FAILURE() << "no single FAT record in slot " << slot;
        else
            catalogPaths(scan->fs_list[0].get(), KEYNUM_FS_ROOT, "", &out);
        return out;
    }

    zvtest::ScopedEnv tz{"TZ", "UTC"};
};

TEST_F(FatScanDriver, QuickScanOfCardAndPartitionedCard)
{
    const std::string img = fatCard();
    Media *card = attach(img);
    ASSERT_EQ(scanOf(card), 0);
    expectScanFiles(1);
    const std::set<std::string> ours = scannedPaths(1);
    EXPECT_EQ(setDiff(ours, flsPaths(img, 0, "")), "");
    EXPECT_EQ(ours.count("DCIM/102CANON/IMG_1029.JPG"), 1u);
    EXPECT_EQ(ours.count("a rather long name for a photo.jpeg"), 1u);
    EXPECT_EQ(scx_in_slot(1)->scan_state, SCX_STATE_DONE);
    EXPECT_EQ(card->open_count, 0);
    EXPECT_TRUE(logged("Scan of " + std::string(media_description(card)) + " completed with no errors."));
    // A card with an MBR, a FAT32 and a FAT16 partition: both volumes in one
    // catalog, the second below its "Volume at" folder.
    const std::string cardPath = dir / "parts.img";
    zvtest::PartitionedCard parts = zvtest::makePartitionedCard(cardPath);
    fillCard(cardPath, parts.fat32Offset, dir / "host32");
    zvtest::fatMkdir(cardPath, "DCIM", parts.fat16Offset);
    zvtest::fatPut(cardPath, "DCIM/SECOND.JPG", zvtest::patternBytes(40000, 9), 1262347445, parts.fat16Offset);
    Media *whole = attach(cardPath);
    ASSERT_EQ(media_partition_count(whole), 2);
    ASSERT_EQ(scanOf(whole), 0);
    expectScanFiles(2);
    const std::string second = "Volume at " + std::to_string(parts.fat16Offset) + "/";
    std::set<std::string> want = flsPaths(cardPath, parts.fat32Offset / 512, "");
    const std::set<std::string> other = flsPaths(cardPath, parts.fat16Offset / 512, second);
    want.insert(other.begin(), other.end());
    want.insert(second);
    EXPECT_EQ(setDiff(scannedPaths(2), want), "");
    EXPECT_EQ(want.count(second + "DCIM/SECOND.JPG"), 1u);
    EXPECT_EQ(whole->open_count, 0);
}

TEST_F(FatScanDriver, WithoutFileSystemAndDeletedScan)
{
    const std::string img = dir / "noise.img";
    zvtest::writeFile(img, zvtest::patternBytes(1 << 20, 3));
    Media *noise = attach(img);
    EXPECT_EQ(scanOf(noise), SCAN_NO_FILESYSTEM);
    EXPECT_TRUE(logged("QS failed to find a filesystem on " + std::string(media_description(noise))));
    EXPECT_EQ(scanOf(noise, SCX_TYPE_DELETED), SCAN_NO_FILESYSTEM);
    EXPECT_TRUE(logged("No good filesystem found on " + std::string(media_description(noise))));
    expectNothingLeft(noise);
    // FAT has no deleted-file operation: the scan ends -1 ("Failed with errors") and leaves
    // nothing, as for any type without one.
    Media *card = attach(fatCard());
    EXPECT_EQ(scanOf(card, SCX_TYPE_DELETED), -1);
    EXPECT_TRUE(logged("Failed with errors: "));
    EXPECT_TRUE(logged("Starting deleted scan for " + std::string(media_path(card))));
    expectNothingLeft(card);
}

// An abort part-way through the walk (requested from the reads of the
// medium, at the read of a later folder's directory): -5, and neither the
// slot nor its folder is left behind.
TEST_F(FatScanDriver, AbortMidScan)
{
    const std::string img = fatCard();
    Media *card = attach(img);
    std::atomic<int> reads{0}, abortAt{-1};
    file_set_slow_read_callback([&](const zorvant::u8string &name, int64_t, int64_t) {
        if (std::string(name.c_str()) == img && ++reads == abortAt.load())
            request_abort();
    });
    ASSERT_EQ(scanOf(card), 0);
    const int total = reads.load();
    ASSERT_GE(total, 4) << "the folders should lie in different read windows";
    deleteSlot(1);
    begin_run_flags();
    reads = 0;
    abortAt = total - 1;
    EXPECT_EQ(scanOf(card), SCAN_ABORTED);
    EXPECT_EQ(abort_requested(), 1);
    EXPECT_LT(reads.load(), total);
    expectNothingLeft(card);
    EXPECT_FALSE(logged("QS failed to find a filesystem"));
}

// The front end's thread cancels while the engine thread walks the card.
TEST_F(FatScanDriver, AbortDuringFatScanThreads)
{
    const std::string img = fatCard();
    Media *card = attach(img);
    Gate gate;
    bool ended = false;
    int reads = 0;
    file_set_slow_read_callback([&](const zorvant::u8string &name, int64_t, int64_t) {
        if (std::string(name.c_str()) != img)
            return;
        std::unique_lock<std::mutex> lock(gate.mutex);
        if (++reads == 3)
            gate.holdLocked(lock);
    });
    begin_run_flags();
    set_engine_state(1);
    int status = 0;
    std::thread engine([&] {
        status = scanOf(card);
        std::lock_guard<std::mutex> lock(gate.mutex);
        ended = true;
        gate.cv.notify_all();
    });
    EXPECT_TRUE(gate.waitReached(&ended)) << "the scan ended before its third read";
    EXPECT_EQ(scx_copy_scan_infos().size(), 1u);
    gate.cancelAndJoin(engine);
    EXPECT_EQ(status, SCAN_ABORTED);
    expectNothingLeft(card);
}

// --- the thorough scan ------------------------------------------------------------------

using namespace cbrtest;

// Thorough scans from start_scan to the verdict. The block reader reads ahead
// on its own thread.
class ThoroughScanThreads : public StoreFixture {
protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        ASSERT_NE(fat_describe(), nullptr);
        fake = addFake();
        mark = zvtest::readFile(dir / "engine.log").size();
    }
    // Logged since the test began.
    bool loggedHere(const std::string &text) const
    {
        return zvtest::readFile(dir / "engine.log").find(text, mark) != std::string::npos;
    }
    int scan(Media *m) { return start_scan(m->id, SCX_TYPE_THOROUGH, workspace); }
    static fs_record *storeIn(uint32_t slot)
    {
        std::shared_ptr<ScanContext> scan = scx_in_slot(slot);
        return scan != nullptr ? scan->store : nullptr;
    }
    // What every ending that keeps the scan leaves: the reader closed, the
    // medium released, early stop forbidden, no current scan.
    static void expectClosed(const Media *m)
    {
        EXPECT_EQ(m->reader, nullptr);
        EXPECT_EQ(m->open_count, 0);
        EXPECT_EQ(stop_enabled(), 0);
        EXPECT_EQ(scx_current(), nullptr);
    }
    // A card of size bytes with card files at the offsets (length 3000 each).
    static std::string cardFiles(size_t size, const std::vector<size_t> &offsets)
    {
        std::vector<std::pair<size_t, std::string>> files;
        for (size_t at : offsets)
            files.emplace_back(at, fakeFile(3000, 1, (uint32_t)at));
        return cardWith(size, files);
    }

    fake_module *fake = nullptr;
    size_t mark = 0;
};

// Every card file is found and measured, at positions relative to the
// medium's window whether it starts on a block boundary, an odd byte or
// one block into the file.
TEST_F(ThoroughScanThreads, FindsAndMeasuresTheFiles)
{
    const std::vector<size_t> offsets = {4096, 8192 + 512, 100 * 512, 200 * 1024};
    const std::string card = cardFiles(256 * 1024, offsets);
    for (int64_t shift : {0, 1, 512}) {
        SCOPED_TRACE(shift);
        Media *m = fileMedium(dir / ("card" + std::to_string(shift) + ".img"), std::string(shift, '\x77') + card);
        m->start_pos = m->orig_start_pos = shift;
        std::string shown; // the progress of the block loop at the first start (shown per run of blocks)
        g_fake.on_start = [&](fil_module *, uint64_t) {
            EngineProgress progress;
            progress_get(progress);
            if (shown.empty())
                shown = progress.overall_text;
        };
        EXPECT_EQ(scan(m), 0);
        EXPECT_EQ(shown, "Scanned block 0 of 512 (phase 1 of 3).");
        // The last phase (the catalog's index is made with no task) counts nothing (fault guarded: it showed
        // "Reconstructed 0 of 18,446,744,073,709,551,615 files").
        EngineProgress last;
        progress_get(last);
        EXPECT_EQ(last.overall_text, "Building the list of found files (phase 3 of 3).");
        std::shared_ptr<ScanContext> done = scx_in_slot(1);
        ASSERT_NE(done, nullptr);
        EXPECT_EQ(done->scan_state, SCX_STATE_DONE);
        EXPECT_EQ(done->scan_type, SCX_TYPE_THOROUGH);
        const std::vector<cbr_span> spans = readSpans(done->store);
        ASSERT_EQ(spans.size(), offsets.size());
        for (size_t i = 0; i < offsets.size(); i++) {
            EXPECT_EQ(spans[i].start, offsets[i]);
            EXPECT_EQ(spans[i].end, offsets[i] + 3000);
            EXPECT_EQ(spans[i].value1, offsets[i]);
            EXPECT_EQ(spans[i].state, CBR_SPAN_DETECTED | CBR_SPAN_MEASURED);
        }
        EXPECT_EQ(readGaps(done->store), (std::vector<uint64_t>{9, 83, 300}));
        for (const char *file : {"/context", "/CBR.1/key", "/CBR.1/treeinfo", "/CBR.1/cbrnames"})
            EXPECT_TRUE(std::filesystem::exists(ws() + "/Scan.01" + file)) << file;
        // The store is shown by its own name, not by its folder prefix.
        EXPECT_STREQ(done->store->display_name, "Reconstructed Files");
        expectClosed(m);
        EXPECT_TRUE(loggedHere("Starting thorough scan for " + std::string(media_description(m))));
        EXPECT_TRUE(loggedHere("Done parsing CBR spans, 4 spans"));
        ScanContext *raw = done.get();
        done.reset();
        ASSERT_EQ(scx_delete(&raw), 0);
    }
    EXPECT_EQ(start_scan(12345, SCX_TYPE_THOROUGH, workspace), SCAN_NO_MEDIA);
    EXPECT_TRUE(scx_live_slots().empty());
}

// An early stop keeps the starts found so far and still measures them; an
// abort ends -5 and the scan goes with its folder.
TEST_F(ThoroughScanThreads, EarlyStopAndAbortDuringTheBlockLoop)
{
    const std::string card = cardFiles(512 * 1024, {4096, 65536, 131072, 400 * 1024});
    Media *m = fileMedium(dir / "card.img", card);
    begin_run_flags();
    g_fake.on_start = [](fil_module *, uint64_t start) {
        if (start == 65536) {
            EXPECT_EQ(request_stop(), 0);
        }
    };
    EXPECT_EQ(scan(m), 0);
    EXPECT_EQ(stop_requested(), 0); // what was found is kept; the request ends with the loop
    EXPECT_EQ(scx_in_slot(1)->scan_state, SCX_STATE_DONE);
    EXPECT_EQ(starts(readSpans(storeIn(1))), (std::vector<uint64_t>{4096, 65536}));
    expectClosed(m);
    clear_run_flags();

    begin_run_flags();
    g_fake.on_start = [](fil_module *, uint64_t start) {
        if (start == 65536)
            request_abort();
    };
    EXPECT_EQ(scan(m), SCAN_ABORTED);
    EXPECT_TRUE(loggedHere("user abort"));
    EXPECT_EQ(scx_live_slots(), std::vector<uint32_t>{1});
    EXPECT_FALSE(std::filesystem::exists(ws() + "/Scan.02"));
    expectClosed(m);
    for (fil_module *module = fil_module_first(); module != nullptr; module = module->next)
        EXPECT_EQ(module->scan, nullptr) << fil_module_id_text(module->id); // none keeps the deleted scan
}

// The card is pulled out during the block loop: -30, the scan kept as
// aborted and the medium detached. No hang on the reads that fail.
TEST_F(ThoroughScanThreads, CardRemovedDuringTheBlockLoop)
{
    mediatest::FaultyCard card(dir / "card.img", cardFiles(1 << 20, {4096, 512 * 1024}));
    card.gone = 64 * 1024;
    Media *m = attachedMedium(card.path, MEDIA_FILE, 1 << 20);
    begin_run_flags();
    set_engine_state(1);
    g_fake.on_start = [&](fil_module *, uint64_t start) {
        if (start == 4096) {
            EXPECT_EQ(scx_media_removed(card.path.c_str(), 0), 1);
        }
    };
    EXPECT_EQ(scan(m), SCAN_DETACHED);
    std::shared_ptr<ScanContext> kept = scx_in_slot(1);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->scan_state, SCX_STATE_ABORTED);
    EXPECT_EQ(kept->media_status, SCX_MEDIA_DETACHED);
    EXPECT_EQ(m->attached, 0);
    expectClosed(m);
    EXPECT_TRUE(loggedHere("aborted due to media detach"));
}

// The reader fails for good part-way, with no removal notice: nothing is
// fed after the failure, and the scan is finished with its reader, "spans"
// and the early stop closed, unparsed. A card that answers as a pulled card
// does (its I/O error comes before the notice) ends as its removal: -30,
// kept as aborted, the medium detached. Data that ends early is the card's
// own failure: -1, kept as done. ENOTCONN (a device whose connection was
// cut) ends the reading at once, but as a card that stopped answering, not
// as a removal. EIO is no such failure, but every read
// failing from there to the card's end (a run of failures, and reads
// further on failing too) is a card that stopped answering: the scan ends
// there as an early stop would, with what it found before measured and
// kept (0, error 427).
TEST_F(ThoroughScanThreads, FatalReadFailureDuringTheBlockLoop)
{
    struct Case {
        int errnum; // from 128 KiB on
        int verdict, state;
        bool detached;
        std::vector<uint64_t> starts;
    };
    const std::vector<uint64_t> before = {4096, 65536};
    const Case cases[] = {
        {ENODEV, SCAN_DETACHED, SCX_STATE_ABORTED, true, before},
        {ENXIO, SCAN_DETACHED, SCX_STATE_ABORTED, true, before},
        {ENOMEDIUM, SCAN_DETACHED, SCX_STATE_ABORTED, true, before},
        {0, SCAN_READ_FAILED, SCX_STATE_DONE, false, before},
        {EIO, 0, SCX_STATE_DONE, false, before},
        {ENOTCONN, 0, SCX_STATE_DONE, false, before}, // the device's connection cut: stopped at once
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.errnum);
        const bool stopped = c.errnum == EIO || c.errnum == ENOTCONN;
        mediatest::FaultyCard card(dir / ("card" + std::to_string(c.errnum) + ".img"),
                                   cardFiles(1 << 20, {4096, 65536, 200 * 1024}));
        card.gone = 128 * 1024;
        card.gone_errno = c.errnum;
        Media *m = attachedMedium(card.path, MEDIA_FILE, 1 << 20);
        mark = zvtest::readFile(dir / "engine.log").size();
        begin_run_flags(); // as the engine runs a command
        set_engine_state(1);
        EXPECT_EQ(scan(m), c.verdict);
        std::shared_ptr<ScanContext> kept = scx_in_slot(1);
        ASSERT_NE(kept, nullptr);
        EXPECT_EQ(kept->scan_state, c.state);
        EXPECT_EQ(kept->media_status, c.detached ? SCX_MEDIA_DETACHED : SCX_MEDIA_ATTACHED);
        EXPECT_EQ(m->attached, c.detached ? 0 : 1);
        EXPECT_EQ(loggedHere("aborted due to media detach"), c.detached);
        EXPECT_EQ(loggedHere("start_scan: " + card.path + " stopped answering at byte 131072"), stopped);
        EXPECT_EQ(error_list_str().find("427") != std::string::npos, stopped) << error_list_str();
        if (c.verdict != 0) {
            EXPECT_TRUE(loggedHere("start_scan: media_get_max_bytes failed reading " + card.path + " pos="));
            EXPECT_TRUE(loggedHere("Error reading " + card.path + " near block 256"));
            EXPECT_FALSE(loggedHere("Parsing ")) << "nothing can be measured";
            EXPECT_EQ(cbr_store_of(kept->store)->spans, nullptr);
        }
        EXPECT_EQ(starts(readSpans(kept->store)), c.starts);
        EXPECT_TRUE(std::filesystem::exists(ws() + "/Scan.01/context"));
        expectClosed(m);
        set_engine_state(0);
        clear_run_flags();
        ScanContext *raw = kept.get();
        kept.reset();
        ASSERT_EQ(scx_delete(&raw), 0);
    }
}

// The card fails for good while the spans are measured (no removal
// notice): measuring stops at the span that met the failure and 425 is
// recorded. "spans" keeps the file measured before and, unmeasured, the
// starts not reached. A pulled card ends as its removal (-30, kept as
// aborted, detached), with no catalog. A card whose data ends early fails
// the scan (-1, kept as done); one that stops answering (every read fails
// EIO: a long run of failures, and reads further on fail too) ends it with
// what it found (0, 427, where it stopped and how many found files were
// not measured). Both build the catalog of the file measured before (the
// JPEG cards of the program's tests show it listed).
TEST_F(ThoroughScanThreads, CardFailsWhileTheSpansAreMeasured)
{
    constexpr uint64_t MiB = 1 << 20;
    const std::vector<uint64_t> offsets = {4096, 3 * MiB, 5 * MiB, 7 * MiB};
    struct Case {
        int errnum; // of every read from the measuring of the 3 MiB file on
        int verdict, state;
        bool detached;
        const char *verdict_line;
    };
    const Case cases[] = {
        {ENODEV, SCAN_DETACHED, SCX_STATE_ABORTED, true, "aborted due to media detach"},
        {0, SCAN_READ_FAILED, SCX_STATE_DONE, false, "Failed with errors: [425]"},
        {EIO, 0, SCX_STATE_DONE, false, "completed with some errors: ["},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.errnum);
        mediatest::FaultyCard card(dir / ("card" + std::to_string(c.errnum) + ".img"),
                                   cardFiles(8 * MiB, {offsets.begin(), offsets.end()}));
        card.gone_errno = c.errnum;
        Media *m = attachedMedium(card.path, MEDIA_FILE, 8 * MiB);
        g_fake.on_extract = [&](fil_module *, cbr_span *span) {
            if (span->start == 3 * MiB)
                card.gone = 0;
        };
        fake->extracted = 0;
        mark = zvtest::readFile(dir / "engine.log").size();
        begin_run_flags();
        set_engine_state(1);
        scan_coverage coverage;
        EXPECT_EQ(start_scan(m->id, SCX_TYPE_THOROUGH, workspace, &coverage), c.verdict);
        EXPECT_EQ(fake->extracted, 2) << "measuring goes on after the failure";
        EXPECT_NE(error_list_str().find("425"), std::string::npos) << error_list_str();
        EXPECT_TRUE(loggedHere("cbr_parse_spans: measuring stopped at span 1 of 4"));
        EXPECT_TRUE(loggedHere(c.verdict_line));
        EXPECT_EQ(loggedHere("completed with"), c.verdict == 0);
        EXPECT_EQ(loggedHere("Creating CBR catalog tree"), !c.detached);
        EXPECT_EQ(error_list_str().find("427") != std::string::npos, c.errnum == EIO) << error_list_str();
        EXPECT_EQ(coverage.stopped_at, c.errnum == EIO ? (int64_t)(3 * MiB) : -1);
        EXPECT_EQ(coverage.unmeasured_files, c.errnum == EIO ? 3 : 0);
        EXPECT_EQ(coverage.scanned_bytes, 8 * MiB);
        std::shared_ptr<ScanContext> kept = scx_in_slot(1);
        ASSERT_NE(kept, nullptr);
        EXPECT_EQ(kept->scan_state, c.state);
        EXPECT_EQ(kept->media_status, c.detached ? SCX_MEDIA_DETACHED : SCX_MEDIA_ATTACHED);
        EXPECT_EQ(m->attached, c.detached ? 0 : 1);
        const std::vector<cbr_span> spans = readSpans(kept->store);
        ASSERT_EQ(starts(spans), offsets);
        EXPECT_EQ(spans[0].state, CBR_SPAN_DETECTED | CBR_SPAN_MEASURED);
        EXPECT_EQ(spans[0].end, 4096u + 3000);
        for (size_t i = 1; i < spans.size(); i++) {
            EXPECT_EQ(spans[i].state, CBR_SPAN_DETECTED) << i;
            EXPECT_EQ(spans[i].end, spans[i].start) << i;
        }
        EXPECT_FALSE(std::filesystem::exists(storeFile(kept->store, "spans1")));

        expectClosed(m);
        set_engine_state(0);
        clear_run_flags();
        g_fake.on_extract = nullptr;
        ScanContext *raw = kept.get();
        kept.reset();
        ASSERT_EQ(scx_delete(&raw), 0);
    }
}

// The reader gives the block loop runs of blocks; a run that reaches past
// where the card fails is not lost: the blocks before the failure are still
// looked at one by one, and the scan ends -1 at the failing block.
TEST_F(ThoroughScanThreads, ReadFailureInsideARunKeepsTheBlocksBeforeIt)
{
    mediatest::FaultyCard card(dir / "card.img", cardFiles(1 << 20, {4096, 65536 + 8192, 65536 + 24576}));
    card.gone = 65536 + 16384;
    card.gone_errno = 0; // the data ends there: a read failure, not a removal
    Media *m = attachedMedium(card.path, MEDIA_FILE, 1 << 20);
    EXPECT_EQ(scan(m), SCAN_READ_FAILED);
    EXPECT_TRUE(loggedHere("start_scan: media_get_max_bytes failed reading " + card.path + " pos=81920"));
    EXPECT_EQ(starts(readSpans(storeIn(1))), (std::vector<uint64_t>{4096, 65536 + 8192}));
    expectClosed(m);
}

// Blocks the card cannot deliver reach the modules as zeros: a start there
// is not found, and nothing from elsewhere takes its place.
TEST_F(ThoroughScanThreads, UnreadableBlocksGiveNoStarts)
{
    mediatest::FaultyCard card(dir / "card.img", cardFiles(1 << 20, {4096, 65536, 128 * 1024}));
    card.bad = {65536 / 512};
    Media *m = attachedMedium(card.path, MEDIA_FILE, 1 << 20);
    EXPECT_EQ(scan(m), 0);
    EXPECT_EQ(starts(readSpans(storeIn(1))), (std::vector<uint64_t>{4096, 128 * 1024}));
    EXPECT_TRUE(loggedHere("Error reading " + card.path + " near block 128"));
    expectClosed(m);
}

// The end of the scan tells what was not read: the unreadable blocks as
// bytes of the medium (logged, and error 426 so the verdict is not "no
// errors"), and how far an early stop got.
TEST_F(ThoroughScanThreads, CoverageReportsUnreadableBlocksAndEarlyStop)
{
    mediatest::FaultyCard card(dir / "card.img", cardFiles(1 << 20, {4096, 65536, 128 * 1024}));
    card.bad = {128, 300, 301};
    Media *m = attachedMedium(card.path, MEDIA_FILE, 1 << 20);
    scan_coverage coverage;
    EXPECT_EQ(start_scan(m->id, SCX_TYPE_THOROUGH, workspace, &coverage), 0);
    EXPECT_EQ(coverage.medium_bytes, 1 << 20);
    EXPECT_EQ(coverage.scanned_bytes, 1 << 20);
    EXPECT_FALSE(coverage.stopped_early);
    EXPECT_EQ(coverage.unreadable_blocks, 3);
    EXPECT_EQ(coverage.block_size, 512);
    EXPECT_EQ(coverage.unreadable_runs, 2);
    ASSERT_EQ(coverage.unreadable.size(), 2u);
    EXPECT_EQ(coverage.unreadable[0].offset, 65536);
    EXPECT_EQ(coverage.unreadable[0].length, 512);
    EXPECT_EQ(coverage.unreadable[1].offset, 300 * 512);
    EXPECT_EQ(coverage.unreadable[1].length, 1024);
    EXPECT_TRUE(loggedHere("Unreadable parts of " + card.path + ": 3 blocks of 512 bytes in 2 ranges"));
    EXPECT_TRUE(loggedHere("completed with some errors: [426]"));
    expectClosed(m);
    ScanContext *raw = scx_in_slot(1).get();
    ASSERT_EQ(scx_delete(&raw), 0);

    Media *clean = fileMedium(dir / "clean.img", cardFiles(512 * 1024, {4096, 65536, 131072}));
    begin_run_flags();
    g_fake.on_start = [](fil_module *, uint64_t start) {
        if (start == 65536) {
            EXPECT_EQ(request_stop(), 0);
        }
    };
    scan_coverage stopped;
    EXPECT_EQ(start_scan(clean->id, SCX_TYPE_THOROUGH, workspace, &stopped), 0);
    clear_run_flags();
    EXPECT_TRUE(stopped.stopped_early);
    EXPECT_EQ(stopped.medium_bytes, 512 * 1024);
    EXPECT_GT(stopped.scanned_bytes, 65536);
    EXPECT_LT(stopped.scanned_bytes, 512 * 1024);
    EXPECT_EQ(stopped.unreadable_blocks, 0);
    EXPECT_TRUE(stopped.unreadable.empty());
}

// The workspace fills up while spans are written: the loop stops at the
// block in hand, -3 with 307 and 593, the scan kept unparsed.
TEST_F(ThoroughScanThreads, FullWorkspaceStopsTheBlockLoop)
{
    std::string card;
    for (int i = 0; i < 4096; i++)
        card += fakeFile(kHeaderSize) + std::string(kBlock - kHeaderSize, '\0');
    Media *m = fileMedium(dir / "card.img", card);
    ScanContext *scan = scx_new(SCX_TYPE_THOROUGH, m, workspace);
    ASSERT_NE(scan, nullptr);
    zvtest::Mount full = zvtest::Mount::tmpfs(dir_path(scan->store->folder), "size=64k,mode=0700");
    zvtest::run("dd if=/dev/zero of='" + storeFile(scan->store, "filler") + "' bs=4096 2>/dev/null");
    EXPECT_EQ(scan_run(scan), SCAN_WRITE_FAILED);
    EXPECT_LT(fake->recognised, 4096);
    for (const char *code : {"307", "593"})
        EXPECT_NE(error_list_str().find(code), std::string::npos) << error_list_str();
    EXPECT_TRUE(loggedHere("write error: "));
    EXPECT_FALSE(loggedHere("Parsing "));
    EXPECT_EQ(scx_in_slot(1)->scan_state, SCX_STATE_DONE);
    expectClosed(m);
    scx_testing::reset();
}

// A medium of length 0 or shorter than one block reads no block: no reader,
// the end-of-scan steps still run and leave an empty store.
TEST_F(ThoroughScanThreads, EmptyAndTinyMedia)
{
    for (size_t size : {0u, 100u}) {
        SCOPED_TRACE(size);
        Media *m = fileMedium(dir / ("card" + std::to_string(size) + ".img"), fakeFile((uint32_t)size).substr(0, size));
        EXPECT_EQ(scan(m), 0);
        fs_record *store = storeIn(1);
        ASSERT_NE(store, nullptr);
        for (const char *name : {"spans", "gaps", "cbrnames"})
            EXPECT_EQ(zvtest::readFile(storeFile(store, name)), "") << name;
        EXPECT_TRUE(loggedHere("No CBR spans to process"));
        EXPECT_FALSE(loggedHere("Can't create reader"));
        EXPECT_EQ(fake->recognised, 0);
        expectClosed(m);
        ScanContext *raw = scx_in_slot(1).get();
        ASSERT_EQ(scx_delete(&raw), 0);
    }
}

// A block reader that cannot be made: -4, and the fresh scan goes (nothing
// was scanned), so such failures never use up the slots.
TEST_F(ThoroughScanThreads, ReaderThatCannotBeMadeFreesTheSlot)
{
    Media *m = fileMedium(dir / "card.img", cardFiles(64 * 1024, {4096}));
    ASSERT_EQ(media_retain(m), 0); // the medium's own file stays open
    static const vf_ops refuse = [] {
        vf_ops ops{};
        ops.open = [](file_t *, const char *, int) -> file_t * { return nullptr; };
        return ops;
    }();
    ASSERT_NE(file_register_vf(media_path(m), &refuse, nullptr), nullptr);
    for (uint32_t i = 0; i <= SCX_SLOTS; i++)
        EXPECT_EQ(scan(m), SCAN_NO_ACCESS) << i;
    static const vf_ops none{};
    file_register_vf(media_path(m), &none, nullptr);
    EXPECT_TRUE(loggedHere("start_scan: Can't create reader for device " + std::string(media_path(m))));
    EXPECT_TRUE(scx_live_slots().empty());
    EXPECT_FALSE(std::filesystem::exists(ws() + "/Scan.01"));
    EXPECT_EQ(m->open_count, 1);
    media_release(m);
}

// A FAT volume met in the block loop is walked into the scan's FAT catalog
// (the files fls lists), and gives no span of its own.
TEST_F(ThoroughScanThreads, FatVolumeIsWalked)
{
    zvtest::ScopedEnv tz{"TZ", "UTC"};
    const std::string img = dir / "fat.img";
    zvtest::makeFat(img, 16, 20480);
    fillCard(img, 0, dir / "host");
    Media *m = media_attach_file(img.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(scan(m), 0);
    std::shared_ptr<ScanContext> done = scx_in_slot(1);
    ASSERT_NE(done, nullptr);
    EXPECT_TRUE(readSpans(done->store).empty());
    fs_record *fat = nullptr;
    for (const std::shared_ptr<fs_record> &fs : done->fs_list)
        if (fs->type == FS_TYPE_FAT)
            fat = fs.get();
    ASSERT_NE(fat, nullptr);
    std::set<std::string> ours;
    catalogPaths(fat, KEYNUM_FS_ROOT, "", &ours);
    EXPECT_EQ(setDiff(ours, flsPaths(img, 0, "")), "");
    EXPECT_EQ(ours.count("DCIM/102CANON/IMG_1029.JPG"), 1u);
    expectClosed(m);
}

} // namespace
