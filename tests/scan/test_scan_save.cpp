// Saved scan files: a workspace of several scans (contexts, file systems,
// catalogs, selections) saved and loaded into other slots; too few free
// slots; containers that try to write outside the workspace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "foundation/buf.h"
#include "foundation/dirutil.h"
#include "scan/file_arch.h"
#include "fs_test_support.h"

using namespace fstest;

namespace {

// Every path below root (files and folders), relative with a leading "/".
std::set<std::string> tree(const std::string &root)
{
    std::set<std::string> out;
    std::error_code ec;
    for (const auto &e : std::filesystem::recursive_directory_iterator(root, ec))
        out.insert(e.path().string().substr(root.size()));
    return out;
}

class SavedScans : public Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        register_test_type();
        media = fileMedium(dir / "card.img", std::string(64 * 1024, 'm'));
    }
    ScanContext *scanWith(int file_systems)
    {
        ScanContext *scan = scx_new(SCX_TYPE_QUICK, media, workspace);
        if (scan == nullptr)
            return nullptr;
        scx_begin(scan);
        for (int i = 0; i < file_systems; i++) {
            std::shared_ptr<fs_record> fs = fs_new_of_type(scan, FS_TYPE_FAT);
            std::vector<Node> nodes = small_tree();
            nodes[3].name = "b" + std::to_string(i) + ".jpg";
            write_catalog(fs.get(), nodes);
            fs->fskey[0] = (uint8_t)(0x40 + i);
        }
        scan->scanned_here = 1;
        scx_finish(scan, 0);
        return scan;
    }
    std::string save(const std::vector<uint64_t> &keyrefs, int kind = FAR_FILE_GZIP)
    {
        const std::string file = dir / ("saved" + std::to_string(saves++) + ".scan");
        FileArch *far = far_new(file.c_str(), ws().c_str());
        EXPECT_NE(far, nullptr);
        EXPECT_EQ(far_create(far, kind, "ZO3divi"), 0);
        EXPECT_EQ(scx_save_scans(far, keyrefs.data(), keyrefs.size()), 0);
        EXPECT_EQ(far_finish(far), 0);
        far_free(&far);
        return file;
    }
    uint32_t selection(fs_record *fs, int64_t keynum)
    {
        uint32_t value = 99;
        catdb_ensure_reading(&fs->cat);
        catdb_get_selection_(&fs->cat, keynum, &value);
        return value;
    }
    Media *media = nullptr;
    int saves = 0;
};

TEST_F(SavedScans, WorkspaceOfSeveralScansRoundTrips)
{
    ScanContext *first = scanWith(2);
    ScanContext *second = scanWith(1);
    ASSERT_TRUE(first && second);
    // Tick a.jpg (3) in the first catalog: DCIM (2) and the root become partial.
    fs_record *fs1 = first->fs_list[0].get();
    const int64_t path[] = {3, 2, 1, CATDB_KEYNUM_NONE};
    ASSERT_EQ(fs_select_nodes(fs1, path, 4, 1), 0);
    EXPECT_EQ(selection(fs1, 2), SEL_PARTIAL);
    // Tick the whole second catalog.
    fs_record *fs3 = second->fs_list[0].get();
    const int64_t root[] = {CATDB_KEYNUM_ROOT, CATDB_KEYNUM_NONE};
    ASSERT_EQ(fs_select_nodes(fs3, root, 2, 1), 0);
    for (ScanContext *s : {first, second})
        ASSERT_EQ(scx_archive(s), 0);
    const std::string file = save({0});
    const std::string first_name = first->name;

    ASSERT_EQ(scx_delete_all(), 0);
    ASSERT_TRUE(tree(ws()).empty());
    // Slot 1 is taken by a new scan: the saved slots 1 and 2 go to 2 and 3.
    ScanContext *newer = scx_new(SCX_TYPE_QUICK, media, workspace);
    ASSERT_NE(newer, nullptr);
    int loaded = -1;
    ASSERT_EQ(scx_load_scans(file.c_str(), nullptr, 0, workspace, &loaded), 0);
    EXPECT_EQ(loaded, 2);
    EXPECT_EQ(scx_live_slots(), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_TRUE(is_directory((ws() + "/Scan.02/FAT.2").c_str()));
    EXPECT_TRUE(logged("Loading scan slot 2 from " + file + " succeeded."));

    std::shared_ptr<ScanContext> a = scx_in_slot(2), b = scx_in_slot(3);
    ASSERT_TRUE(a && b);
    EXPECT_NE(std::string(a->name), first_name); // a new scan number in this process
    EXPECT_EQ(a->scan_state, SCX_STATE_DONE);
    EXPECT_EQ(a->media_status, SCX_MEDIA_ATTACHED); // matched to the card again
    EXPECT_EQ(scx_media(a.get()), media);
    ASSERT_EQ(a->fs_list.size(), 2u);
    ASSERT_EQ(b->fs_list.size(), 1u);
    EXPECT_EQ(a->fs_list[1]->fskey[0], 0x41);
    EXPECT_STREQ(a->fs_list[1]->display_name, "Found Files (FAT)");
    EXPECT_EQ(a->fs_list[0]->media, media);

    // The catalogs answer from their new folders, keyrefs carry the new slots.
    std::vector<NodeInfo> roots, kids;
    ASSERT_EQ(scx_children(keyref_scan(2), &roots), 0);
    ASSERT_EQ(roots.size(), 2u);
    EXPECT_EQ(keyref_slot(roots[1].keyref), 2u);
    std::shared_ptr<fs_record> second_fs = fs_from_keyref(roots[1].keyref);
    ASSERT_NE(second_fs, nullptr);
    ASSERT_EQ(fs_node_children(second_fs.get(), 2, &kids), 0);
    ASSERT_EQ(kids.size(), 2u);
    EXPECT_EQ(kids[1].name, "b1.jpg");

    // The selections came along, with their counters.
    fs_record *back1 = a->fs_list[0].get();
    EXPECT_EQ(std::vector<uint32_t>({selection(back1, 3), selection(back1, 4), selection(back1, 2),
                                     selection(back1, 1)}),
              std::vector<uint32_t>({SEL_SELECTED, SEL_NONE, SEL_PARTIAL, SEL_PARTIAL}));
    uint64_t counters[5];
    fs_get_selected(back1, counters);
    EXPECT_EQ(std::make_pair(counters[0], counters[4]), (std::make_pair<uint64_t, uint64_t>(1, 1000)));
    fs_record *back3 = b->fs_list[0].get();
    EXPECT_EQ(fs_root_selection(back3), SEL_SELECTED);
    EXPECT_EQ(selection(back3, 5), SEL_SELECTED);
    uint64_t totals[5] = {};
    scx_get_tree_info(b.get(), totals);
    EXPECT_EQ(std::make_pair(totals[0], totals[4]), (std::make_pair<uint64_t, uint64_t>(3, 4020)));
    EXPECT_EQ(fs_list_selected().size(), 2u); // back1 (partial root) and back3
    std::vector<ScanInfo> infos = scx_copy_scan_infos();
    EXPECT_EQ(infos.size(), 3u);

    // Loading only the scan named by its saved keyref takes one slot.
    loaded = -1;
    const uint64_t want = keyref_scan(2);
    ASSERT_EQ(scx_load_scans(file.c_str(), &want, 1, workspace, &loaded), 0);
    EXPECT_EQ(loaded, 1);
    ASSERT_NE(scx_in_slot(4), nullptr);
    EXPECT_EQ(scx_in_slot(4)->fs_list.size(), 1u);
    EXPECT_EQ(scx_in_slot(5), nullptr);
}

TEST_F(SavedScans, TooFewSlotsChangesNothing)
{
    for (int i = 0; i < 2; i++)
        ASSERT_EQ(scx_archive(scanWith(1)), 0); // fails for a null scan too
    const std::string file = save({}, FAR_FILE_PLAIN);
    while (scx_live_slots().size() < 14)
        ASSERT_NE(scx_new(SCX_TYPE_QUICK, media, workspace), nullptr);
    const std::set<std::string> before = tree(ws());
    int loaded = -1;
    EXPECT_EQ(scx_load_scans(file.c_str(), nullptr, 0, workspace, &loaded), -11);
    EXPECT_EQ(loaded, 0);
    EXPECT_TRUE(logged("Request to load 2 scans, but only 1 slots available"));
    EXPECT_EQ(tree(ws()), before);
    EXPECT_EQ(scx_live_slots().size(), 14u);
    // A slot whose folder is still on disk is not free either.
    ASSERT_EQ(make_dir_path((ws() + "/Scan.15").c_str()), 0);
    ScanContext *one = scx_in_slot(3).get();
    ASSERT_EQ(scx_delete(&one), 0);
    EXPECT_EQ(scx_load_scans(file.c_str(), nullptr, 0, workspace, &loaded), -11);
    // A file without a ScanInfoList is refused.
    zvtest::writeFile(dir / "empty.scan", "");
    EXPECT_EQ(scx_load_scans((dir / "empty.scan").c_str(), nullptr, 0, workspace, &loaded), -1);
}

// --- containers written by hand ---------------------------------------------------------

std::string scanInfoList(std::vector<uint32_t> slots);

// A container listing slot 1, with or without its "Scan.01" folder record.
struct Container {
    std::string bytes = std::string("FileArch", 8) + '\x01' + std::string(7, '\0') + std::string("ZO3divi\0", 8);
    explicit Container(bool withFolder)
    {
        file("ScanInfoList", scanInfoList({1}));
        if (withFolder)
            folder("Scan.01");
    }
    void record(const char type[5], const std::string &payload)
    {
        bytes += std::string("Blk\0", 4) + std::string(type, 4) + std::string(16, '\0');
        for (int i = 7; i >= 0; i--)
            bytes += (char)((uint64_t)payload.size() >> (8 * i));
        bytes += payload;
    }
    void file(const std::string &name, const std::string &data)
    {
        record("fnam", name + '\0');
        record("fdat", data);
    }
    void folder(const std::string &name) { record("dnam", name + '\0'); }
    void end() { record("eof ", ""); }
};

std::string scanInfoList(std::vector<uint32_t> slots)
{
    std::string out;
    for (uint32_t slot : slots) {
        ScanInfo info{};
        info.slot = slot;
        info.keyref = keyref_scan(slot);
        std::snprintf(info.scan_name, sizeof info.scan_name, "Scan %u", slot);
        uint8_t raw[SCAN_INFO_SIZE];
        scan_info_pack(info, raw);
        out.append(reinterpret_cast<const char *>(raw), SCAN_INFO_SIZE);
    }
    return out;
}

TEST_F(SavedScans, HostileFilesLeaveTheWorkspaceAsItWas)
{
    ASSERT_EQ(scx_archive(scanWith(1)), 0);
    const std::set<std::string> before = tree(ws());
    const std::set<std::string> outside = tree(dir.path());
    const std::vector<std::string> hostile = {
        "Scan.01\\..\\..\\escape.txt",   // climbs out of the workspace
        "Scan.01\\FAT.1\\..\\..\\..\\x", // climbs out from deeper
        "\\etc\\escape",                 // absolute
        "Scan.01\\.\\x",                 // a "." component
        "Scan.01\\\\x",                  // an empty component
    };
    for (const std::string &bad : hostile) {
        Container c(true);
        c.file("Scan.01\\harmless", "ok");
        c.file(bad, "gotcha");
        c.end();
        const std::string file = dir / "hostile.scan";
        zvtest::writeFile(file, c.bytes);
        int loaded = -1;
        EXPECT_EQ(scx_load_scans(file.c_str(), nullptr, 0, workspace, &loaded), -1) << bad;
        EXPECT_EQ(loaded, 0);
        EXPECT_EQ(tree(ws()), before) << bad;
        EXPECT_EQ(scx_live_slots(), std::vector<uint32_t>{1}) << bad;
    }
    std::set<std::string> now = tree(dir.path());
    now.erase("/hostile.scan");
    EXPECT_EQ(now, outside);

    // "Scan.NN" counts only as the first component: deeper ones, other
    // folders and numbers outside 1..15 are skipped, the rest is loaded.
    Container c(true);
    c.file("Scan.01\\notes\\Scan.05\\kept", "inside the scan");
    c.file("Junk\\Scan.01\\y", "not a scan");
    c.file("Scan.16\\z", "no such slot");
    c.file("Scan.1x\\z", "not a number");
    c.file("Scan.01x\\z", "not the component");
    c.end();
    const std::string file = dir / "mixed.scan";
    zvtest::writeFile(file, c.bytes);
    int loaded = -1;
    EXPECT_EQ(scx_load_scans(file.c_str(), nullptr, 0, workspace, &loaded), 0);
    EXPECT_EQ(loaded, 1);
    EXPECT_EQ(zvtest::readFile(ws() + "/Scan.02/notes/Scan.05/kept"), "inside the scan");
    for (const char *skipped : {"/Scan.05", "/Junk", "/Scan.16", "/Scan.1x", "/Scan.01x"})
        EXPECT_FALSE(is_directory((ws() + skipped).c_str())) << skipped;
    EXPECT_TRUE(logged("Bad Scan.16 in far path"));
    // The loaded scan had no context: it is there, knows no medium, and goes cleanly.
    std::shared_ptr<ScanContext> odd = scx_in_slot(2);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(odd->media_status, SCX_MEDIA_UNKNOWN);
    ScanContext *raw = odd.get();
    odd.reset();
    EXPECT_EQ(scx_delete(&raw), 0);
    EXPECT_EQ(tree(ws()), before);

    // A file member where the slot's folder belongs is not written: the slot
    // is loaded as a folder and leaves nothing behind when deleted.
    Container f(false);
    f.file("Scan.01", "a file, not a folder");
    f.end();
    zvtest::writeFile(file, f.bytes);
    EXPECT_EQ(scx_load_scans(file.c_str(), nullptr, 0, workspace, &loaded), 0);
    EXPECT_EQ(loaded, 1);
    EXPECT_TRUE(is_directory((ws() + "/Scan.02").c_str()));
    raw = scx_in_slot(2).get();
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(scx_delete(&raw), 0);
    EXPECT_EQ(tree(ws()), before);
}

} // namespace

namespace {

// Every file and folder below root except those listed, with its bytes
// (a long file by its size and hash, so that a difference prints briefly).
std::map<std::string, std::string> contents(const std::string &root, const std::set<std::string> &except)
{
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        const std::string rel = it->path().string().substr(root.size());
        if (except.count(rel) != 0) {
            if (it->is_directory())
                it.disable_recursion_pending();
            continue;
        }
        std::string bytes = it->is_directory() ? "<dir>" : zvtest::readFile(it->path().string());
        if (bytes.size() > 64)
            bytes = std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(bytes));
        out[rel] = bytes;
    }
    return out;
}

// A plain saved scan file with more members added before its end record.
std::string with_members(const std::string &saved, const std::vector<std::pair<std::string, std::string>> &files)
{
    std::string bytes = zvtest::readFile(saved);
    Container extra(false);
    extra.bytes.clear();
    for (const auto &[name, data] : files)
        extra.file(name, data);
    extra.end();
    return bytes.substr(0, bytes.size() - 32) + extra.bytes;
}

} // namespace

// Fault guarded: a saved scan carried SQLite's side files of a catalog, and
// the first opening of that catalog used them. Journals, WAL and
// shared-memory files ("-journal", "-wal", "-shm", any case, also as a
// folder on the way) are never extracted; everything else is.
TEST_F(SavedScans, DatabaseSideFilesAreNotLoaded)
{
    ASSERT_EQ(scx_archive(scanWith(1)), 0);
    const std::string saved = save({0}, FAR_FILE_PLAIN);
    ASSERT_EQ(scx_delete_all(), 0);
    const std::string file = dir / "sides.scan";
    zvtest::writeFile(file, with_members(saved, {{"Scan.01\\FAT.1\\cat.db-journal", "j"},
                                                 {"Scan.01\\FAT.1\\cat.db-WAL", "w"},
                                                 {"Scan.01\\FAT.1\\cat.db-Shm", "s"},
                                                 {"Scan.01\\FAT.1\\x-JOURNAL\\inner", "i"},
                                                 {"Scan.01\\FAT.1\\journal-notes", "kept"}}));
    int loaded = -1;
    ASSERT_EQ(scx_load_scans(file.c_str(), nullptr, 0, workspace, &loaded), 0);
    EXPECT_EQ(loaded, 1);
    const std::set<std::string> got = tree(ws());
    for (const char *name : {"cat.db-journal", "cat.db-WAL", "cat.db-Shm", "x-JOURNAL"})
        EXPECT_EQ(got.count(std::string("/Scan.01/FAT.1/") + name), 0u) << name;
    EXPECT_EQ(zvtest::readFile(ws() + "/Scan.01/FAT.1/journal-notes"), "kept");
    EXPECT_TRUE(logged("scx_load_scans: Scan.01/FAT.1/cat.db-journal not loaded"));
    // The catalog came along whole and lists its nodes.
    std::shared_ptr<ScanContext> back = scx_in_slot(1);
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(back->fs_list.size(), 1u);
    std::vector<NodeInfo> kids;
    ASSERT_EQ(fs_node_children(back->fs_list[0].get(), 2, &kids), 0);
    EXPECT_EQ(kids.size(), 2u);
}

// Fault guarded end to end: loading a received saved scan and listing it
// deleted a file of the user's that a crafted "cat.db-journal" named as its
// super-journal. Nothing outside the workspace changes, whether the journal
// comes inside the saved scan or is put into the workspace by other means.
TEST_F(SavedScans, CraftedJournalInASavedScanDeletesNothing)
{
    ASSERT_EQ(scx_archive(scanWith(1)), 0);
    const std::string saved = save({0}, FAR_FILE_PLAIN);
    ASSERT_EQ(scx_delete_all(), 0);
    ASSERT_EQ(make_dir_path((dir / "Documents").c_str()), 0);
    const std::string victim = dir / "Documents/notes.txt";
    zvtest::writeFile(victim, "precious");
    const std::string file = dir / "received.scan";
    const std::string journal = zvtest::journal_naming(victim);
    zvtest::writeFile(file, with_members(saved, {{"Scan.01\\FAT.1\\cat.db-journal", journal}}));
    const std::set<std::string> except = {"/ZorvantWorkspace", "/engine.log"};
    const auto before = contents(dir.path(), except);

    int loaded = -1;
    ASSERT_EQ(scx_load_scans(file.c_str(), nullptr, 0, workspace, &loaded), 0);
    ASSERT_EQ(loaded, 1);
    std::vector<NodeInfo> roots, kids;
    ASSERT_EQ(scx_children(keyref_scan(1), &roots), 0);
    ASSERT_EQ(roots.size(), 1u);
    std::shared_ptr<fs_record> fs = fs_from_keyref(roots[0].keyref);
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(fs_node_children(fs.get(), KEYNUM_FS_ROOT, &kids), 0);
    EXPECT_EQ(kids.size(), 2u);
    EXPECT_EQ(contents(dir.path(), except), before);

    // The same journal copied into the workspace some other way is refused
    // at the next opening of the catalog, which then counts as damaged.
    catdb_close(&fs->cat);
    zvtest::writeFile(ws() + "/Scan.01/FAT.1/cat.db-journal", journal);
    kids.clear();
    EXPECT_NE(fs_node_children(fs.get(), KEYNUM_FS_ROOT, &kids), 0);
    EXPECT_TRUE(kids.empty());
    EXPECT_TRUE(logged("names a super-journal"));
    EXPECT_EQ(contents(dir.path(), except), before);
    EXPECT_EQ(zvtest::readFile(victim), "precious");
}

namespace {

// What the hook below needs, and the slot of the scan it started.
struct {
    Media *media = nullptr;
    work_dir *workspace = nullptr;
    uint32_t slot = 0;
} g_window;

void start_a_scan_in_the_window()
{
    ScanContext *scan = scx_new(SCX_TYPE_QUICK, g_window.media, g_window.workspace);
    g_window.slot = scan != nullptr ? scan->slot : 0;
}

// Sets the hook for one scope.
struct HookBetweenExtractAndLoad {
    HookBetweenExtractAndLoad() { scx_testing::after_load_extract = start_a_scan_in_the_window; }
    ~HookBetweenExtractAndLoad() { scx_testing::after_load_extract = nullptr; }
};

} // namespace

// A scan started after a saved scan was extracted but before its slot was
// loaded must not take that slot: it would adopt the extracted folder as its
// own, and the load would then fail. The slot stays reserved until the
// loaded scan holds it.
TEST_F(SavedScans, ANewScanNeverTakesASlotBeingLoaded)
{
    ASSERT_EQ(scx_archive(scanWith(1)), 0);
    const std::string file = save({0}, FAR_FILE_PLAIN);
    ASSERT_EQ(scx_delete_all(), 0);
    g_window = {media, workspace, 0};
    int loaded = -1;
    {
        HookBetweenExtractAndLoad hook;
        EXPECT_EQ(scx_load_scans(file.c_str(), nullptr, 0, workspace, &loaded), 0);
    }
    EXPECT_EQ(loaded, 1);
    EXPECT_EQ(g_window.slot, 2u); // slot 1 was reserved for the load
    EXPECT_TRUE(logged("Loading scan slot 1 from " + file + " succeeded."));
    std::shared_ptr<ScanContext> back = scx_in_slot(1), started = scx_in_slot(2);
    ASSERT_TRUE(back && started);
    EXPECT_EQ(back->scan_state, SCX_STATE_DONE);
    EXPECT_EQ(back->fs_list.size(), 1u);
    EXPECT_EQ(started->scan_state, SCX_STATE_RUNNING);
    EXPECT_TRUE(started->fs_list.empty());
}
