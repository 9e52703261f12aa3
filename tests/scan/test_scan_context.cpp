// Scan contexts: keyrefs at their limits, the fifteen slots, the "context"
// archive and its versions, loading a workspace, device removal, and the
// nodes above the file systems.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "foundation/archive.h"
#include "foundation/dirutil.h"
#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/buf.h"
#include "scan/file_arch.h"
#include "fs_test_support.h"
#include "support/planted_temporary.h"

using namespace fstest;

namespace {

TEST(Keyref, FieldLimitsAndReservedValues)
{
    struct Case {
        uint32_t slot, type, index;
        uint64_t keynum;
    };
    const Case cases[] = {
        {1, 4, 1, 0},
        {15, 15, 255, KEYNUM_LAST},           // every field at its limit
        {15, 2, 255, (1ull << 40) - 5},       // the largest node keynum
        {7, 4, 128, 0x123456789Aull},
        {1, 0, 1, KEYNUM_FS_ROOT},            // the root of a file system
    };
    for (const Case &c : cases) {
        uint64_t key = 0;
        ASSERT_EQ(keyref_encode(c.slot, c.type, c.index, c.keynum, &key), 0);
        keyref_parts parts{};
        const int kind = keyref_decode(key, &parts);
        EXPECT_EQ(kind, c.keynum == KEYNUM_FS_ROOT ? KEYREF_KIND_FS_ROOT : KEYREF_KIND_NODE);
        EXPECT_EQ(parts.slot, c.slot);
        EXPECT_EQ(parts.type, c.type);
        EXPECT_EQ(parts.index, c.index);
        EXPECT_EQ(parts.keynum, c.keynum);
        EXPECT_EQ(key >> 60, 0u);
        EXPECT_FALSE(keyref_is_scan(key));
    }
    uint64_t key = 0;
    EXPECT_EQ(keyref_encode(15, 15, 255, KEYNUM_LAST, &key), 0);
    EXPECT_EQ(key, 0x0FF0FFFFFFFFFFFBull); // bits 48-51 stay 0: indexes stop at 255
    // Out of range: slot 0 or 16, type 16, index 0 or 256, reserved keynums.
    const uint64_t bad[][4] = {{0, 4, 1, 1}, {16, 4, 1, 1}, {1, 16, 1, 1}, {1, 4, 0, 1}, {1, 4, 256, 1},
                               {1, 4, 1, 0xFFFFFFFFFDull}, {1, 4, 1, KEYNUM_NO_NODE}, {1, 4, 1, 1ull << 40}};
    for (const auto &b : bad)
        EXPECT_EQ(keyref_encode((uint32_t)b[0], (uint32_t)b[1], (uint32_t)b[2], b[3], &key), -1) << b[0] << "/" << b[2];
    // The reserved keyrefs.
    EXPECT_EQ(keyref_decode(KEYREF_NONE, nullptr), KEYREF_KIND_NONE);
    EXPECT_EQ(keyref_scan(3), 0x030000FFFFFFFFFDull);
    EXPECT_EQ(keyref_scan(0), 0u);
    EXPECT_EQ(keyref_scan(16), 0u);
    keyref_parts parts{};
    EXPECT_EQ(keyref_decode(keyref_scan(15), &parts), KEYREF_KIND_SCAN);
    EXPECT_EQ(parts.slot, 15u);
    EXPECT_TRUE(keyref_is_scan(keyref_scan(1)));
    // Slot 0, bits 60-63, index 256, reserved keynums, and a scan keyref with type bits.
    for (uint64_t invalid : {0x00000000FFFFFFFDull, 0x1000000000000001ull, 1ull << 56 | 4ull << 52 | 0x100ull << 40 | 1,
                             1ull << 56 | 4ull << 52 | 1ull << 40 | KEYNUM_NO_NODE,
                             1ull << 56 | 4ull << 52 | 1ull << 40 | 0xFFFFFFFFFEull, keyref_scan(2) | 4ull << 52})
        EXPECT_EQ(keyref_decode(invalid, nullptr), KEYREF_KIND_INVALID) << std::hex << invalid;
}

TEST(ScanInfoRecord, PackedLayout)
{
    ScanInfo info{};
    info.slot = 3, info.scan_number = 42, info.media_id = 7;
    std::strcpy(info.scan_name, "Scan 42");
    std::strcpy(info.media_name, "EOS_DIGITAL");
    info.keyref = keyref_scan(3);
    info.start_seconds = 1700000000, info.stop_seconds = 1700000100, info.folder_bytes = 1ull << 33;
    info.scan_type = 3, info.scan_state = 2, info.media_status = 1;
    uint8_t bytes[SCAN_INFO_SIZE];
    scan_info_pack(info, bytes);
    EXPECT_EQ(std::vector<int>({bytes[0], bytes[4], bytes[560], bytes[567], bytes[592], bytes[600]}),
              std::vector<int>({3, 42, 0xFD, 0x03, 3, 1}));
    EXPECT_EQ(std::string((const char *)bytes + 16), "Scan 42");
    EXPECT_EQ(std::string((const char *)bytes + 48), "EOS_DIGITAL");
    for (size_t i = 604; i < SCAN_INFO_SIZE; i++)
        ASSERT_EQ(bytes[i], 0) << i;
    ScanInfo back{};
    scan_info_unpack(bytes, &back);
    EXPECT_EQ(back.slot, 3u);
    EXPECT_EQ(back.keyref, info.keyref);
    EXPECT_EQ(back.folder_bytes, 1ull << 33);
    EXPECT_STREQ(back.scan_name, "Scan 42");
}

class ScanContexts : public Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        register_test_type();
        media = fileMedium(dir / "card.img", std::string(64 * 1024, 'x'));
    }
    std::string slotDir(uint32_t slot) const
    {
        char name[16];
        std::snprintf(name, sizeof name, "/Scan.%02u", slot);
        return ws() + name;
    }
    // A finished scan with one FAT file system holding the small tree.
    ScanContext *finishedScan(Media *m)
    {
        ScanContext *scan = scx_new(SCX_TYPE_QUICK, m, workspace);
        if (scan == nullptr)
            return nullptr;
        scx_begin(scan);
        std::shared_ptr<fs_record> fs = fs_new_of_type(scan, FS_TYPE_FAT);
        write_catalog(fs.get(), small_tree());
        scan->scanned_here = 1;
        scx_finish(scan, 0);
        return scan;
    }
    Media *media = nullptr;
};

TEST_F(ScanContexts, FifteenSlotsThenNoMore)
{
    std::vector<ScanContext *> scans;
    for (int i = 0; i < 15; i++) {
        ScanContext *s = scx_new(SCX_TYPE_QUICK, media, workspace);
        ASSERT_NE(s, nullptr) << i;
        EXPECT_EQ(s->slot, (uint32_t)i + 1);
        EXPECT_EQ(s->scan_state, SCX_STATE_RUNNING);
        scans.push_back(s);
    }
    EXPECT_TRUE(is_directory(slotDir(15).c_str()));
    EXPECT_EQ(scx_new(SCX_TYPE_QUICK, media, workspace), nullptr);
    std::shared_ptr<ScanContext> extra = std::make_shared<ScanContext>();
    for (uint32_t slot : {0u, 16u, 4u})
        EXPECT_EQ(scx_slot_alloc(extra, workspace, slot), -39) << slot;
    // Names follow the process-wide counter.
    EXPECT_EQ(std::string(scans[1]->name), "Scan " + std::to_string(scans[0]->scan_number + 1));
    // Deleting one frees its slot and folder; the next scan takes that slot.
    ScanContext *gone = scans[6];
    ASSERT_EQ(scx_delete(&gone), 0);
    EXPECT_EQ(gone, nullptr);
    EXPECT_FALSE(is_directory(slotDir(7).c_str()));
    EXPECT_EQ(scx_from_keyref(keyref_scan(7)), nullptr);
    ScanContext *again = scx_new(SCX_TYPE_QUICK, media, workspace);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->slot, 7u);
    EXPECT_EQ(scx_from_keyref(keyref_scan(7)).get(), again);
    EXPECT_EQ(scx_from_keyref(KEYREF_NONE), nullptr);
    // A medium name longer than the record's field is cut at a character
    // boundary: 300 two-byte characters leave 255 whole ones (510 bytes).
    std::string long_name;
    for (int i = 0; i < 300; i++)
        long_name += "\xC3\xA9";
    std::free(media->name);
    media->name = strdup(long_name.c_str());
    const ScanInfo info = scan_info_of(again, false);
    EXPECT_EQ(std::strlen(info.media_name), 510u);
    EXPECT_EQ(info.slot, 7u);
    // A scan type that needs the thorough-scan store gets none: no type 2
    // is registered, so no scan is made and no folder is left behind.
    ScanContext *last = scans[14];
    ASSERT_EQ(scx_delete(&last), 0);
    EXPECT_EQ(scx_new(SCX_TYPE_THOROUGH, media, workspace), nullptr);
    EXPECT_FALSE(is_directory(slotDir(15).c_str()));
    EXPECT_EQ(scx_delete_all(), 0);
    EXPECT_TRUE(scx_live_slots().empty());
}

TEST_F(ScanContexts, ContextArchiveRoundTrip)
{
    ScanContext *scan = finishedScan(media);
    ASSERT_NE(scan, nullptr);
    scan->status0 = 17, scan->byte_pos = 4096, scan->data_pos = 2048;
    std::shared_ptr<fs_record> fs = scan->fs_list[0];
    fs->fskey[0] = 0xAB, fs->fskey[87] = 0xCD;
    const uint64_t selected[5] = {2, 1, 0, 0, 4000};
    fs_set_selected(fs.get(), selected);
    ASSERT_EQ(scx_archive(scan), 0);
    EXPECT_EQ(zvtest::readFile(slotDir(1) + "/FAT.1/key").size(), 88u);
    EXPECT_EQ(zvtest::readFile(slotDir(1) + "/FAT.1/treeinfo").size(), 40u);
    EXPECT_FALSE(is_regular_file((slotDir(1) + "/context.tmp").c_str()));
    const scx_time start = scan->start_time, stop = scan->stop_time;

    scx_testing::reset(); // frees the scans; folders stay
    EXPECT_EQ(scx_load_workspace_scans(workspace), 1);
    std::shared_ptr<ScanContext> back = scx_in_slot(1);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->scan_type, SCX_TYPE_QUICK);
    EXPECT_EQ(back->scan_state, SCX_STATE_DONE);
    EXPECT_EQ(std::vector<int64_t>({back->status0, back->byte_pos, back->data_pos, back->num_children}),
              std::vector<int64_t>({17, 4096, 2048, 1}));
    EXPECT_EQ(std::vector<int64_t>({back->start_time.seconds, back->start_time.microseconds, back->stop_time.seconds}),
              std::vector<int64_t>({start.seconds, start.microseconds, stop.seconds}));
    ASSERT_NE(back->saved_media, nullptr);
    EXPECT_STREQ(media_name(back->saved_media.get()), "card");
    ASSERT_EQ(back->fs_list.size(), 1u);
    fs_record *loaded = back->fs_list[0].get();
    EXPECT_EQ(std::vector<int64_t>({loaded->index, loaded->keyed, loaded->fskey[0], loaded->fskey[87]}),
              std::vector<int64_t>({1, 1, 0xAB, 0xCD}));
    uint64_t got[5];
    fs_get_selected(loaded, got);
    EXPECT_EQ(got[4], 4000u);
    // The loaded scan lists its file system and that lists its nodes.
    std::vector<NodeInfo> scans, roots, kids;
    ASSERT_EQ(scx_children(KEYREF_NONE, &scans), 0);
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_EQ(scans[0].keyref, keyref_scan(1));
    EXPECT_EQ(scans[0].child_count, 1u);
    ASSERT_EQ(scx_children(keyref_scan(1), &roots), 0);
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0].name, "Found Files");
    EXPECT_EQ(roots[0].child_count, 2u);
    std::shared_ptr<fs_record> by_key = fs_from_keyref(roots[0].keyref);
    ASSERT_NE(by_key, nullptr);
    ASSERT_EQ(fs_node_children(by_key.get(), KEYNUM_FS_ROOT, &kids), 0);
    ASSERT_EQ(kids.size(), 2u);
    EXPECT_EQ(kids[0].name + "|" + kids[1].name, "DCIM|notes.txt");
    NodeInfo info;
    EXPECT_EQ(scx_node_info(keyref_scan(1), &info, 0), 0);
    EXPECT_EQ(info.child_count, 1u);
    EXPECT_EQ(scx_node_info(keyref_scan(9), &info, 0), -12);
    EXPECT_EQ(scx_node_info(KEYREF_NONE, &info, 0), 0);
    EXPECT_EQ(info.child_count, 1u);
    EXPECT_EQ(scx_node_info(kids[0].keyref, &info, 0), 0);
    EXPECT_EQ(info.name, "DCIM");
    EXPECT_EQ(info.keyref, kids[0].keyref);
    EXPECT_EQ(scx_children(kids[0].keyref, &kids), -1);
}

// Writes a "context" archive by hand: a compat version (or none), and time
// items of the given length.
void writeContext(const std::string &path, int compat, uint32_t time_length)
{
    archive *a = archive_new(path.c_str(), ARCHIVE_WRITE, 1);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(archive_start_block(a, "scx", 1), 0);
    if (compat >= 0)
        archive_long(a, "compat_version", compat);
    std::vector<uint8_t> t(time_length, 1);
    archive_bytes(a, "start_time", t.data(), time_length);
    archive_bytes(a, "stop_time", t.data(), time_length);
    archive_long(a, "scan_type", 1);
    archive_long(a, "scan_state", 2);
    for (const char *name : {"start_pos", "stop_pos", "byte_pos", "data_pos"})
        archive_quad(a, name, 0);
    for (const char *name : {"status0", "num_children", "many_file_systems", "n_fs_list"})
        archive_long(a, name, 0);
    archive_end_block(a, "scx");
    ASSERT_EQ(archive_free(&a), 0);
}

TEST_F(ScanContexts, ContextVersionsAndDamagedTimes)
{
    struct Case {
        int compat;
        uint32_t time_length;
        int result;
        int status;
    };
    const Case cases[] = {
        {4, 8, 0, SCX_MEDIA_UNKNOWN},
        {4, 16, 0, SCX_MEDIA_UNKNOWN},
        {3, 8, -24, SCX_MEDIA_INCOMPATIBLE},
        {-1, 8, -24, SCX_MEDIA_INCOMPATIBLE}, // no item: version 0
        {5, 8, -25, SCX_MEDIA_INCOMPATIBLE},
        {4, 12, -1, SCX_MEDIA_UNKNOWN},       // a time of another length is damage
    };
    for (const Case &c : cases) {
        const std::string path = dir / "context";
        writeContext(path, c.compat, c.time_length);
        std::shared_ptr<ScanContext> scan = std::make_shared<ScanContext>();
        archive *a = archive_new(path.c_str(), ARCHIVE_READ, 0);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(scx_init_with_archive(scan.get(), a), c.result) << c.compat << "/" << c.time_length;
        EXPECT_EQ(scan->media_status, c.status) << c.compat;
        if (c.result == 0) {
            EXPECT_EQ(scan->scan_state, SCX_STATE_DONE);
        }
        archive_free(&a);
    }
    for (const char *line : {"too old. Current scan compat version = 4, archive = 3",
                             "too old. Current scan compat version = 4, archive = 0",
                             "too new. Current scan compat version = 4, archive = 5"})
        EXPECT_TRUE(logged(std::string("Scan archive ") + line)) << line;
    EXPECT_TRUE(logged("scx_init_with_archive: archive error for -1"));
}

TEST_F(ScanContexts, SlotFolderWithoutContextLoadsAndDeletes)
{
    // A scan that crashed mid-way: its folder and a file system's files, no "context".
    ASSERT_EQ(make_dir_path((slotDir(3) + "/FAT.1").c_str()), 0);
    zvtest::writeFile(slotDir(3) + "/FAT.1/cat.db", "half written");
    // A slot folder whose context is not an archive at all.
    ASSERT_EQ(make_dir_path(slotDir(5).c_str()), 0);
    zvtest::writeFile(slotDir(5) + "/context", "garbage");
    EXPECT_EQ(scx_load_workspace_scans(workspace), 2);
    std::shared_ptr<ScanContext> crashed = scx_in_slot(3);
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->media_status, SCX_MEDIA_UNKNOWN);
    EXPECT_TRUE(crashed->fs_list.empty());
    EXPECT_EQ(scx_copy_scan_infos().size(), 2u);
    std::vector<NodeInfo> list;
    EXPECT_EQ(scx_children(keyref_scan(3), &list), 0);
    EXPECT_TRUE(list.empty());
    ScanContext *raw = crashed.get();
    crashed.reset();
    EXPECT_EQ(scx_delete(&raw), 0);
    EXPECT_FALSE(is_directory(slotDir(3).c_str()));
    EXPECT_EQ(scx_delete_all(), 0);
    EXPECT_FALSE(is_directory(slotDir(5).c_str()));
    EXPECT_TRUE(is_directory(ws().c_str()));
}

TEST_F(ScanContexts, FailedCatalogIsNamedByItsScan)
{
    ASSERT_EQ(scx_archive(finishedScan(media)), 0); // fails for a null scan too
    scx_testing::reset();
    // cat.db replaced by something that is not SQLite.
    zvtest::writeFile(slotDir(1) + "/FAT.1/cat.db", std::string(4096, 'Z'));
    ASSERT_EQ(scx_load_workspace_scans(workspace), 1);
    std::shared_ptr<ScanContext> loaded = scx_in_slot(1);
    // The file system is still listed, marked, without ticks or children.
    std::vector<NodeInfo> roots;
    EXPECT_EQ(scx_children(keyref_scan(1), &roots), 0);
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0].flags, (uint32_t)(NODE_FOLDER | NODE_DAMAGED_CATALOG));
    EXPECT_EQ(roots[0].child_count, 0u);
    EXPECT_EQ(roots[0].name, "Found Files");
    EXPECT_EQ(scx_catalog_failures(loaded.get()), std::vector<std::string>{"FAT.1"});
    EXPECT_TRUE(logged("scx_children: catalog of FAT.1 in Scan.01 can't be read"));
    NodeInfo root;
    ASSERT_EQ(scx_node_info(roots[0].keyref, &root, 0), 0);
    EXPECT_EQ(root.flags, roots[0].flags);
    std::string file;
    EXPECT_TRUE(scx_damaged_catalog(roots[0].keyref, &file));
    EXPECT_EQ(file, "Scan.01/FAT.1/cat.db");
    EXPECT_FALSE(scx_damaged_catalog(keyref_scan(1), &file));
    // Its recovery fails with the catalog named in the log.
    const std::string target = dir / "out";
    ASSERT_EQ(make_dir_path(target.c_str()), 0);
    uint64_t totals[3] = {};
    EXPECT_EQ(scx_recover_marked(loaded.get(), target.c_str(), totals), SCX_CATALOG_DAMAGED);
    EXPECT_EQ(totals[0], 0u);
    EXPECT_TRUE(logged("scx_recover_marked: the catalog of FAT.1 in Scan.01 can't be read"));
    // A file system without cat.db never wrote one: not listed, not damaged.
    ASSERT_EQ(std::remove((slotDir(1) + "/FAT.1/cat.db").c_str()), 0);
    roots.clear();
    EXPECT_EQ(scx_children(keyref_scan(1), &roots), 0);
    EXPECT_TRUE(roots.empty());
    EXPECT_NE(scx_node_info(keyref_fs_base(1, FS_TYPE_FAT, 1) | 0xFFull << 32 | KEYREF_ROOT_LOW, &root, 0), 0);
    EXPECT_EQ(scx_recover_marked(loaded.get(), target.c_str(), totals), 0);
}

TEST_F(ScanContexts, SaveAllWritesOneRecordPerScan)
{
    for (int i = 0; i < 2; i++)
        ASSERT_EQ(scx_archive(finishedScan(media)), 0);
    const std::string file = dir / "all.scan";
    FileArch *far = far_new(file.c_str(), ws().c_str());
    ASSERT_NE(far, nullptr);
    ASSERT_EQ(far_create(far, FAR_FILE_GZIP, "ZO3divi"), 0);
    const uint64_t all = 0;
    ASSERT_EQ(scx_save_scans(far, &all, 1), 0);
    ASSERT_EQ(far_finish(far), 0);
    far_free(&far);
    buf_t *list = far_get_member(file.c_str(), "ScanInfoList", nullptr);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count, (int)(2 * SCAN_INFO_SIZE));
    ScanInfo info{};
    scan_info_unpack(list->data + SCAN_INFO_SIZE, &info);
    EXPECT_EQ(info.slot, 2u);
    EXPECT_EQ(info.keyref, keyref_scan(2));
    EXPECT_EQ(info.media_id, media->id);
    buf_free(list);
}

// Fault guarded: the last save of a scan's state into its folder (at its
// end, and again before a save of the scans) could fail unseen: the scan
// was reported done while its folder still said running. A folder that
// refuses that save (a folder standing at "context.tmp", which is never
// removed nor written into: EEXIST) marks the scan not kept with the
// cause, and a save of the scans fails on it while the folder still
// refuses; a scan whose folder holds its end is still saved from such a
// folder. Once the folder takes it, the mark goes. A link put at
// "context.tmp" once it is made is not written through.
TEST_F(ScanContexts, EndNotKeptIsMarkedAndFailsTheSave)
{
    ScanContext *kept = finishedScan(media);
    ASSERT_NE(kept, nullptr);
    EXPECT_FALSE(scx_not_kept(kept, nullptr));
    ScanContext *scan = scx_new(SCX_TYPE_QUICK, media, workspace);
    ASSERT_NE(scan, nullptr);
    scx_begin(scan);
    write_catalog(fs_new_of_type(scan, FS_TYPE_FAT).get(), small_tree());
    for (ScanContext *one : {kept, scan})
        ASSERT_TRUE(std::filesystem::create_directory(slotDir(one->slot) + "/context.tmp"));
    scx_finish(scan, 0);
    int errnum = 0;
    EXPECT_TRUE(scx_not_kept(scan, &errnum));
    EXPECT_EQ(errnum, EEXIST);
    errno = 0;
    EXPECT_NE(scx_archive_for_save(scan), 0);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(scx_archive_for_save(kept), 0);
    EXPECT_FALSE(scx_not_kept(kept, nullptr));

    for (ScanContext *one : {kept, scan})
        std::filesystem::remove(slotDir(one->slot) + "/context.tmp");
    EXPECT_EQ(scx_archive_for_save(scan), 0);
    EXPECT_FALSE(scx_not_kept(scan, nullptr));

    // A link put at "context.tmp" right after it is made: the context is
    // written through the descriptor it was made with, never the name, so
    // the write fails (EEXIST) and the link, its target and "context" stay.
    const std::string victim = dir / "victim", context = slotDir(scan->slot) + "/context";
    zvtest::writeFile(victim, "precious");
    const std::string before = zvtest::readFile(context);
    zvtest::Plant plant{true, victim};
    atomic_file_set_test_hook(zvtest::plant_when_created, &plant);
    errno = 0;
    EXPECT_NE(scx_archive(scan), 0);
    atomic_file_set_test_hook(nullptr, nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_TRUE(zvtest::readFile(victim) == "precious") << "written through the link";
    EXPECT_TRUE(zvtest::readFile(context) == before);
    EXPECT_TRUE(std::filesystem::is_symlink(context + ".tmp"));
}

// The running scan's own reads find its medium gone before any removal
// notice (or after one that detached it at once, outside a command): the
// removal is recorded as a notice during the scan records it, once, and the
// other scans of that card are detached.
TEST_F(ScanContexts, ScanFindingItsMediumGoneRecordsTheRemoval)
{
    ScanContext *old = finishedScan(media);
    ScanContext *running = scx_new(SCX_TYPE_QUICK, media, workspace);
    ASSERT_TRUE(old && running);
    scx_begin(running);
    const std::string path = media_path(media);
    for (int twice = 0; twice < 2; twice++)
        EXPECT_EQ(scx_media_gone(running, media), 1);
    EXPECT_EQ(running->detached_paths, std::vector<std::string>{path});
    EXPECT_EQ(scx_media(running), nullptr);
    EXPECT_EQ(scx_media(old), nullptr);
    EXPECT_EQ(old->media_status, SCX_MEDIA_DETACHED);
    scx_finish(running, -30);
    EXPECT_EQ(running->scan_state, SCX_STATE_ABORTED);
    EXPECT_EQ(running->media_status, SCX_MEDIA_DETACHED);
    EXPECT_EQ(media->attached, 0);

    Media *b = fileMedium(dir / "b.img", std::string(32 * 1024, 'b'));
    ScanContext *of_b = scx_new(SCX_TYPE_QUICK, b, workspace);
    ASSERT_NE(of_b, nullptr);
    scx_begin(of_b);
    EXPECT_EQ(scx_media_removed(media_path(b), 0), 0); // no command runs: detached at once
    EXPECT_TRUE(of_b->detached_paths.empty());
    EXPECT_EQ(scx_media_gone(of_b, b), 1);
    EXPECT_EQ(of_b->detached_paths, std::vector<std::string>{media_path(b)});
    scx_finish(of_b, -30);
    EXPECT_EQ(b->attached, 0);
    EXPECT_EQ(scx_media_gone(nullptr, b), 0);
}

TEST_F(ScanContexts, RemovingAnotherCardDoesNotAbortTheRunningScan)
{
    Media *b = fileMedium(dir / "b.img", std::string(32 * 1024, 'b'));
    ScanContext *old_b1 = finishedScan(b);
    ScanContext *old_b2 = finishedScan(b);
    ASSERT_TRUE(old_b1 && old_b2);
    ScanContext *running = scx_new(SCX_TYPE_QUICK, media, workspace);
    ASSERT_NE(running, nullptr);
    begin_run_flags();
    set_abort_enabled(1);
    set_engine_state(1);
    scx_begin(running);
    // Card B goes: both old scans of B are detached, the scan of A goes on.
    EXPECT_EQ(scx_media_removed(media_path(b), 0), 0);
    EXPECT_EQ(abort_requested(), 0);
    for (ScanContext *s : {old_b1, old_b2}) {
        EXPECT_EQ(scx_media(s), nullptr);
        EXPECT_EQ(s->media_status, SCX_MEDIA_DETACHED);
        ASSERT_NE(s->saved_media, nullptr);
        EXPECT_EQ(std::string(media_name(s->saved_media.get())), "card");
    }
    EXPECT_EQ(scx_media(running), media);
    EXPECT_TRUE(running->detached_paths.empty());
    // Card A goes: its own scan is aborted and detached when it finishes.
    EXPECT_EQ(scx_media_removed(media_path(media), 0), 1);
    EXPECT_EQ(abort_requested(), 1);
    EXPECT_EQ(scx_media(running), nullptr);
    EXPECT_EQ(running->media_status, 0); // nothing saved yet: the scan thread still reads it
    // A caller cannot delete the scan from under the scan thread.
    ScanContext *raw = running;
    EXPECT_EQ(scx_delete(&raw), -12);
    EXPECT_EQ(raw, running);
    EXPECT_EQ(scx_in_slot(3).get(), running);
    EXPECT_TRUE(is_directory(slotDir(3).c_str()));
    EXPECT_TRUE(logged("scx_delete_one: " + std::string(running->name) + " is running"));
    scx_finish(running, -30);
    EXPECT_EQ(running->scan_state, SCX_STATE_ABORTED);
    EXPECT_EQ(running->media_status, SCX_MEDIA_DETACHED);
    ASSERT_NE(running->saved_media, nullptr);
    EXPECT_EQ(media->attached, 0); // marked detached once the scan ended
    EXPECT_EQ(scx_current(), nullptr);
    EXPECT_EQ(scx_media_removed(nullptr, 0), 0);
    EXPECT_EQ(scx_delete(&raw), 0); // finished: it may go now
    EXPECT_FALSE(is_directory(slotDir(3).c_str()));
    set_engine_state(0);
    clear_run_flags();
}

// The device monitor's thread removes cards while the engine thread scans
// and a caller's thread lists the scans.
TEST_F(ScanContexts, DeviceRemovalWhileScanningThreads)
{
    Media *b = fileMedium(dir / "b.img", std::string(32 * 1024, 'b'));
    ASSERT_NE(finishedScan(b), nullptr);
    ScanContext *running = scx_new(SCX_TYPE_QUICK, media, workspace);
    ASSERT_NE(running, nullptr);
    begin_run_flags();
    set_engine_state(1);
    scx_begin(running);
    std::atomic<bool> stop{false};
    std::thread caller([&] {
        while (!stop.load()) {
            std::vector<NodeInfo> list;
            scx_children(KEYREF_NONE, &list);
            scx_copy_scan_infos();
            NodeInfo info;
            scx_node_info(keyref_scan(1), &info, 0);
        }
    });
    std::thread device([&] {
        scx_media_removed(media_path(b), 0);
        scx_media_removed(media_path(media), 0);
    });
    // The engine thread keeps asking for its scan's medium meanwhile.
    int polls = 0;
    while (abort_requested() == 0 && polls < 1000000) {
        scx_media(running);
        polls++;
    }
    device.join();
    scx_finish(running, -30);
    stop = true;
    caller.join();
    EXPECT_EQ(abort_requested(), 1);
    EXPECT_EQ(running->media_status, SCX_MEDIA_DETACHED);
    EXPECT_EQ(scx_in_slot(1)->media_status, SCX_MEDIA_DETACHED);
    set_engine_state(0);
    clear_run_flags();
}

// A caller's thread lists the scans while the engine thread makes, loads and
// deletes them: a scan is listed only with its fields filled in.
TEST_F(ScanContexts, ScansListedWhileMadeAndLoadedThreads)
{
    ASSERT_NE(finishedScan(media), nullptr); // slot 1, reloaded below
    std::atomic<bool> stop{false};
    std::atomic<int> bad_names{0};
    std::thread caller([&] {
        while (!stop.load()) {
            std::vector<NodeInfo> list;
            scx_children(KEYREF_NONE, &list);
            for (const NodeInfo &n : list)
                bad_names += n.name.rfind("Scan ", 0) != 0;
            for (const ScanInfo &info : scx_copy_scan_infos())
                bad_names += std::strncmp(info.scan_name, "Scan ", 5) != 0;
            NodeInfo info;
            scx_node_info(keyref_scan(2), &info, 0);
        }
    });
    int failures = 0;
    for (int round = 0; round < 30; round++) {
        ScanContext *made = scx_new(SCX_TYPE_QUICK, media, workspace);
        failures += made == nullptr;
        ScanContext *loaded = scx_in_slot(1).get();
        scx_free(&loaded);
        failures += scx_load_slot(workspace, 1, &loaded) != 0;
        failures += scx_delete(&made) != 0;
    }
    EXPECT_EQ(failures, 0);
    stop = true;
    caller.join();
    EXPECT_EQ(bad_names.load(), 0);
}

// Loaded scans are matched to the card again on the engine thread while the
// device monitor's thread detaches them (replacing their saved copies) and a
// caller's thread frees and reloads one of them and asks for node
// information: the copy and the folder name a match is working with must
// stay valid.
TEST_F(ScanContexts, RematchWhileCardsGoAndScansReloadThreads)
{
    for (int i = 0; i < 2; i++)
        ASSERT_NE(finishedScan(media), nullptr);
    scx_testing::reset();
    ASSERT_EQ(scx_load_workspace_scans(workspace), 2);
    ASSERT_EQ(scx_in_slot(1)->media_status, SCX_MEDIA_ATTACHED);
    std::atomic<bool> stop{false};
    std::thread engine([&] {
        while (!stop.load())
            scx_rematch_media();
    });
    std::thread caller([&] {
        uint64_t key = 0;
        ASSERT_EQ(keyref_encode(1, FS_TYPE_FAT, 1, 3, &key), 0);
        for (int round = 0; round < 40; round++) {
            NodeInfo info;
            scx_node_info(key, &info, 0);
            ScanContext *raw = scx_in_slot(2).get();
            scx_free(&raw);
            ASSERT_EQ(scx_load_slot(workspace, 2, nullptr), 0);
        }
    });
    for (int round = 0; round < 40; round++)
        scx_media_removed(media_path(media), 0);
    caller.join();
    stop = true;
    engine.join();
    scx_rematch_media();
    for (uint32_t slot : {1u, 2u}) {
        std::shared_ptr<ScanContext> scan = scx_in_slot(slot);
        ASSERT_NE(scan, nullptr);
        EXPECT_EQ(scan->media_status, SCX_MEDIA_ATTACHED);
        EXPECT_EQ(scx_media(scan.get()), media);
        ASSERT_NE(scan->saved_media, nullptr);
        EXPECT_EQ(scx_media_id(scan.get()), media->id);
    }
}

} // namespace
