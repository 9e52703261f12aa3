// Found file systems: the type registry, indexes and the live list, keyref
// lookups, display names, the saved form, identify / quick scan / prescan,
// node data over extents and the node stream (also over a FAT image made
// with mkfs.fat and mcopy), and lookups racing scan deletion.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "foundation/archive.h"
#include "foundation/buf.h"
#include "foundation/dirutil.h"
#include "foundation/error_list.h"
#include "scan/catalog/node_stream.h"
#include "scan/path_index.h"
#include "fat_image_support.h"
#include "fs_test_support.h"
#include "storage/media_test_support.h"

using namespace fstest;

namespace {

using mediatest::pattern; // a shifted read never compares equal

std::string bufString(const buf_t *b)
{
    return b != nullptr ? std::string(reinterpret_cast<const char *>(b->data), (size_t)b->count) : std::string();
}

class FsRecord : public Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        module = register_test_type();
        image = dir / "card.img";
        bytes = pattern(64 * 1024);
        media = fileMedium(image, bytes);
        scan = scx_new(SCX_TYPE_QUICK, media, workspace);
        ASSERT_NE(scan, nullptr);
    }
    fil_module *module = nullptr;
    std::string image, bytes;
    Media *media = nullptr;
    ScanContext *scan = nullptr;
};

TEST_F(FsRecord, TypeRegistry)
{
    fil_module *other = fil_module_get_or_create(fil_module_code("xfs "), sizeof(fil_module));
    EXPECT_EQ(fs_register_type(other, 7, FS_RECORD_COMMON_SIZE - 1), -1);
    EXPECT_EQ(fs_types().size(), 1u);
    EXPECT_EQ(fs_register_type(other, 7, FS_RECORD_COMMON_SIZE + 16), 0);
    EXPECT_EQ(other->fs_type, 7);
    ASSERT_EQ(fs_types().size(), 2u);
    EXPECT_EQ(fs_types()[0].code, 7u); // newest first
    // A record of the bigger size gets its own zeroed bytes after the common fields.
    std::shared_ptr<fs_record> r = fs_new_of_type(scan, 7);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->type_fields, std::vector<uint8_t>(16, 0));
    // Registering a code again replaces its descriptor.
    EXPECT_EQ(fs_register_type(module, 7, FS_RECORD_COMMON_SIZE), 0);
    EXPECT_EQ(fs_types().size(), 2u);
    EXPECT_EQ(fs_types()[0].descriptor, module);
    EXPECT_EQ(fs_new_of_type(scan, 12), nullptr); // not registered
}

TEST_F(FsRecord, IndexesKeyrefsAndLiveList)
{
    std::shared_ptr<fs_record> a = fs_new_of_type(scan, FS_TYPE_FAT);
    std::shared_ptr<fs_record> b = fs_new_of_type(scan, FS_TYPE_FAT);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->index, 1u);
    EXPECT_EQ(b->index, 2u);
    EXPECT_TRUE(a->linked && is_directory((ws() + "/Scan.01/FAT.1").c_str()));
    EXPECT_EQ(module->fs_last, b.get());
    std::shared_ptr<fs_record> top = fs_new_with_index(scan, FS_TYPE_FAT, 255);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->index, 255u);
    // Only 1..255 fit the 8 bits lookups use; a taken index is refused.
    clear_errors();
    for (uint32_t index : {256u, 0u, 2u})
        EXPECT_EQ(fs_new_with_index(scan, FS_TYPE_FAT, index), nullptr) << index;
    EXPECT_NE(error_list_str().find("582"), std::string::npos);
    EXPECT_EQ(fs_live_count(), 3u);
    EXPECT_EQ(scan->fs_list.size(), 3u);

    // Lookup by slot and index; keyrefs of nodes, of the root, and unknown ones.
    uint64_t key = 0;
    ASSERT_EQ(keyref_encode(1, FS_TYPE_FAT, 255, 12345, &key), 0);
    EXPECT_EQ(fs_from_keyref(key), top);
    EXPECT_EQ(fs_from_keyref(fs_keyref_base(b.get()) | 0xFFull << 32 | KEYREF_ROOT_LOW), b);
    EXPECT_EQ(fs_keyref_base(b.get()), 1ull << 56 | 4ull << 52 | 2ull << 40);
    // A scan, none, empty slot 2, unused index 3, and index 0x101, which must
    // not alias index 1 through the 8 bits the lookup reads.
    const uint64_t fat = 4ull << 52;
    for (uint64_t none : std::vector<uint64_t>{keyref_scan(1), KEYREF_NONE, 2ull << 56 | fat | 1ull << 40,
                                               1ull << 56 | fat | 3ull << 40, 1ull << 56 | fat | 0x101ull << 40})
        EXPECT_EQ(fs_from_keyref(none), nullptr) << std::hex << none;
    NodeInfo info;
    EXPECT_EQ(scx_node_info(1ull << 56 | 4ull << 52 | 3ull << 40 | 7, &info, 0), -1);

    // Freeing takes it out of the scan and the list; its index is free again.
    fs_record *raw = a.get();
    std::shared_ptr<fs_record> held = a;
    fs_free(&a);
    EXPECT_EQ(a, nullptr);
    EXPECT_TRUE(raw->dead);
    EXPECT_EQ(fs_live_count(), 2u);
    EXPECT_EQ(fs_from_keyref(1ull << 56 | 4ull << 52 | 1ull << 40), nullptr);
    EXPECT_EQ(fs_node_info(held.get(), 1, &info, 0), -1); // a dead record answers nothing
    std::shared_ptr<fs_record> again = fs_new_of_type(scan, FS_TYPE_FAT);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->index, 1u);
}

TEST_F(FsRecord, DisplayNamesFollowTheNumberOfFileSystemsWithChildren)
{
    std::shared_ptr<fs_record> a = fs_new_of_type(scan, FS_TYPE_FAT);
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->display_name, "Found Files");
    write_catalog(a.get(), small_tree());
    scx_finish(scan, 0);
    EXPECT_EQ(scan->num_children, 1);
    EXPECT_STREQ(a->display_name, "Found Files");
    std::shared_ptr<fs_record> b = fs_new_of_type(scan, FS_TYPE_FAT);
    ASSERT_NE(b, nullptr);
    write_catalog(b.get(), small_tree());
    scx_finish(scan, 0);
    EXPECT_EQ(scan->num_children, 2);
    EXPECT_EQ(scan->many_file_systems, 1);
    EXPECT_STREQ(a->display_name, "Found Files (FAT)");
    EXPECT_STREQ(b->display_name, "Found Files (FAT)");
    // The thorough-scan store keeps the name its setup gave it ("CBR" is its
    // short name), and takes its short name only when it has none.
    register_test_type(FS_TYPE_STORE);
    std::shared_ptr<fs_record> store = fs_new_of_type(scan, FS_TYPE_STORE);
    ASSERT_NE(store, nullptr);
    std::snprintf(store->fs_name, sizeof store->fs_name, "CBR");
    std::snprintf(store->display_name, sizeof store->display_name, "Reconstructed Files");
    fs_set_display_name(store.get(), true);
    EXPECT_STREQ(store->display_name, "Reconstructed Files");
    store->display_name[0] = '\0';
    fs_set_display_name(store.get(), true);
    EXPECT_STREQ(store->display_name, "CBR");
}

TEST_F(FsRecord, SavedFormRoundTripAndRefusals)
{
    std::shared_ptr<fs_record> a = fs_new_of_type(scan, FS_TYPE_FAT);
    ASSERT_NE(a, nullptr);
    a->subtype = 3, a->id_root = 1;
    for (size_t i = 0; i < FS_KEY_SIZE; i++)
        a->fskey[i] = (uint8_t)(i * 3);
    a->max_dir_entries = 777, a->mode = 5, a->cat_mode = 6;
    const uint64_t selected[5] = {3, 1, 0, 0, 4020};
    ASSERT_EQ(fs_set_selected(a.get(), selected), 0);
    a->recovered[0] = 9, a->recovered[4] = 1ull << 40, a->biggest_id = 1ll << 39;
    a->recurse_depth = 4, a->filter = 0x10, a->options = 1;
    std::memcpy(a->path, "/DCIM/100CANON", 15);
    const std::string path = dir / "fs.ar";
    archive *w = archive_new(path.c_str(), ARCHIVE_WRITE, 1);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(fs_archive(a.get(), w), 0);
    ASSERT_EQ(archive_free(&w), 0);

    ScanContext *other = scx_new(SCX_TYPE_QUICK, media, workspace);
    ASSERT_NE(other, nullptr);
    std::shared_ptr<fs_record> b = fs_new_with_index(other, FS_TYPE_FAT, 1);
    ASSERT_NE(b, nullptr);
    auto unarchive = [&](fs_record *into, bool compat) {
        archive *r = archive_new(path.c_str(), ARCHIVE_READ, 0);
        EXPECT_NE(r, nullptr);
        if (compat)
            scx_set_archive_compat(r, SCX_COMPAT_VERSION);
        const int rc = fs_unarchive(into, r);
        archive_free(&r);
        return rc;
    };
    // Without the scan archive's compat version (below 4) nothing is read.
    EXPECT_EQ(unarchive(b.get(), false), -1);
    ASSERT_EQ(unarchive(b.get(), true), 0);
    EXPECT_EQ(std::memcmp(b->fskey, a->fskey, FS_KEY_SIZE), 0);
    EXPECT_EQ(std::vector<int64_t>({b->subtype, b->id_root, b->max_dir_entries, b->mode, b->cat_mode}),
              std::vector<int64_t>({3, 1, 777, 5, 6}));
    uint64_t got[5];
    ASSERT_EQ(fs_get_selected(b.get(), got), 0);
    EXPECT_EQ(std::vector<uint64_t>(got, got + 5), std::vector<uint64_t>(selected, selected + 5));
    EXPECT_EQ(std::vector<int64_t>({(int64_t)b->recovered[0], (int64_t)b->recovered[4], b->biggest_id,
                                    b->recurse_depth, b->filter, b->options}),
              std::vector<int64_t>({9, 1ll << 40, 1ll << 39, 4, 0x10, 1}));
    EXPECT_STREQ((const char *)b->path, "/DCIM/100CANON");

    // Another index than the record's, or a type nobody registered: refused.
    EXPECT_EQ(unarchive(fs_new_with_index(other, FS_TYPE_FAT, 2).get(), true), -1);
    fs_unregister_all_types();
    EXPECT_EQ(unarchive(b.get(), true), -1);
    EXPECT_TRUE(logged("fs_unarchive: unknown type 4"));
}

TEST_F(FsRecord, IdentifyQuickScanAndPrescan)
{
    std::shared_ptr<fs_record> found = fs_identify(scan);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->type, FS_TYPE_FAT);
    EXPECT_EQ(fs_quick_scan(scan), 0);
    EXPECT_EQ(scan->fs_list.size(), 2u);
    // Prescan: the medium learns its file-system code and the volume name.
    media->fs_type = media->fs_subtype = 0;
    EXPECT_EQ(scx_prescan_media(media), 0);
    EXPECT_EQ(media_fs_code(media), FS_TYPE_FAT << 4);
    EXPECT_STREQ(media_name(media), "CARD_LABEL");
    EXPECT_FALSE(is_directory((ws() + "/Prescan.card.img").c_str())); // its folder went with it
    EXPECT_EQ(fs_live_count(), 2u);
    // With no types nothing is found, and the quick scan says so.
    fs_unregister_all_types();
    EXPECT_EQ(fs_identify(scan), nullptr);
    EXPECT_EQ(fs_quick_scan(scan), -1);
    // Catalog folders of a module: registered once each, refused when empty.
    const path_index_entry *e1 = fil_module_add_folder(module, "Images/JPEG");
    ASSERT_NE(e1, nullptr);
    EXPECT_EQ(fil_module_add_folder(module, "Images/JPEG"), e1);
    EXPECT_NE(fil_module_add_folder(module, "Movies"), nullptr);
    EXPECT_EQ(fil_module_add_folder(module, ""), nullptr);
    ASSERT_NE(module->folders, nullptr);
    EXPECT_EQ(module->folders->count, 2);
    // Preferences: defaults in the record and the descriptor.
    EXPECT_EQ(found->max_dir_entries, 10000);
    EXPECT_EQ(module->perm_promote, 2);
    EXPECT_EQ(module->chown, 1);
}

// Extents (start, length) in bytes: 300 at 1000, 200 at 5000, 500 at 9000;
// the file is 900 bytes, so the last extent holds 100 bytes of slack.
class NodeData : public FsRecord {
protected:
    void SetUp() override
    {
        FsRecord::SetUp();
        fs = fs_new_of_type(scan, FS_TYPE_FAT);
        ASSERT_NE(fs, nullptr);
        std::vector<Node> nodes = small_tree();
        nodes.push_back({6, 1, 0, 900, "frag.mov", {{1000, 300}, {5000, 200}, {9000, 500}}});
        nodes.push_back({7, 1, 0, 100, "beyond.jpg", {{64 * 1024 - 50, 100}}});
        write_catalog(fs.get(), nodes);
        expected = bytes.substr(1000, 300) + bytes.substr(5000, 200) + bytes.substr(9000, 400);
    }
    std::shared_ptr<fs_record> fs;
    std::string expected;
};

TEST_F(NodeData, ReadsAcrossExtentsAndStopsAtTheSize)
{
    for (int fork : {0, 1, 2})
        EXPECT_EQ(fs_node_fork_size(fs.get(), 6, fork), fork == 0 ? 900u : 0u) << fork;
    int status = 99;
    // Across the second extent into the third; past the size only the bytes up to it.
    const struct {
        int64_t at, length;
        std::string want;
    } reads[] = {{350, 400, expected.substr(350, 400)}, {800, 500, expected.substr(800)}, {0, 1 << 20, expected}};
    for (const auto &r : reads) {
        buf_t *b = fs_node_data(fs.get(), 6, r.at, r.length, 0, &status);
        EXPECT_EQ(status, 0) << r.at;
        EXPECT_EQ(bufString(b), r.want) << r.at;
        buf_free(b);
    }
    // At or beyond the size (950: slack of the last extent), nothing asked, or a folder: no data at all.
    const int64_t none[][3] = {{6, 900, 10}, {6, 950, 10}, {6, 5000, 10}, {6, 0, 0}, {6, -1, 10}, {2, 0, 10}};
    for (const auto &n : none)
        EXPECT_EQ(fs_node_data(fs.get(), n[0], n[1], n[2], 0, &status), nullptr) << n[0] << "@" << n[1];
    // An extent that runs off the medium: the part before it and -18.
    clear_errors();
    buf_t *b = fs_node_data(fs.get(), 7, 0, 100, 0, &status);
    EXPECT_EQ(status, -18);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(error_list_str().find("653"), std::string::npos);
    // A detached medium gives nothing.
    media->attached = 0;
    EXPECT_EQ(fs_node_data(fs.get(), 6, 0, 10, 0, &status), nullptr);
    media->attached = 1;
    EXPECT_EQ(media->open_count, 0); // every read released the medium again
}

TEST_F(NodeData, NodeStreamReadsShortAtTheEnd)
{
    uint64_t key = 0;
    ASSERT_EQ(keyref_encode(1, FS_TYPE_FAT, fs->index, 6, &key), 0);
    HV::ByteStreamNode stream(key, 0);
    ASSERT_TRUE(stream.isOpen());
    EXPECT_EQ(stream.length(), 900u);
    // Fixed 256-byte pieces: the last one is short, then 0.
    std::string all;
    char piece[256];
    int got;
    while ((got = stream.read(piece, sizeof piece)) > 0)
        all.append(piece, (size_t)got);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(all, expected);
    EXPECT_TRUE(stream.seek(890));
    EXPECT_EQ(stream.read(piece, 100), 10);
    EXPECT_EQ(std::string(piece, 10), expected.substr(890));
    EXPECT_TRUE(stream.seek(900));
    EXPECT_EQ(stream.read(piece, 1), 0);
    EXPECT_FALSE(stream.seek(901));
    EXPECT_EQ(stream.write("x", 1), -1); // a read-only stream
    // Fork 1 of a node without one is empty.
    HV::ByteStreamNode rsrc(key, 1);
    EXPECT_EQ(rsrc.length(), 0u);
    // Keyrefs of nothing loaded.
    try {
        HV::ByteStreamNode bad(key + (1ull << 40), 0);
        FAIL() << "no exception";
    } catch (const std::invalid_argument &e) {
        EXPECT_STREQ(e.what(), "Invalid keyref");
    }
    EXPECT_THROW(HV::ByteStreamNode(3ull << 56 | 4ull << 52 | 1ull << 40 | 6, 0), std::invalid_argument);
    // The stream keeps its record: deleting the scan makes reads fail, not crash.
    fs.reset(); // the stream is the record's last holder
    ScanContext *doomed = scan;
    ASSERT_EQ(scx_delete(&doomed), 0);
    EXPECT_TRUE(stream.seek(0));
    EXPECT_EQ(stream.read(piece, 10), -1);
}

// --- a FAT image made by the system's tools -------------------------------------------------

TEST_F(Workspace, NodeStreamOverAFatFileMatchesMtools)
{
    register_test_type();
    const std::string img = dir / "fat16.img";
    zvtest::makeFat(img, 16, 16384, "-S 512 -s 4");
    // A, then B, then A deleted: C fills A's hole and continues after B.
    std::string c = pattern(150000);
    for (size_t i = 0; i < c.size(); i += 97)
        c[i] = (char)(i >> 8);
    zvtest::fatPut(img, "A.BIN", pattern(40000));
    zvtest::fatPut(img, "B.BIN", pattern(30000).substr(7) + "tail");
    zvtest::fatDelete(img, "A.BIN");
    zvtest::fatPut(img, "C.BIN", c);
    zvtest::mtools("mcopy -n -i " + zvtest::mtoolsImage(img) + " ::C.BIN " + zvtest::shellQuote(dir / "C.OUT"));
    const std::string extracted = zvtest::readFile(dir / "C.OUT");
    ASSERT_EQ(extracted, c);

    // The file's byte extents, from its entry and its FAT chain.
    const std::string raw = zvtest::readFile(img);
    std::vector<fs_extent> extents;
    uint32_t size = 0;
    {
        zvtest::FatPatcher fat(img);
        const zvtest::FatPatcher::Ref entry = fat.find("C.BIN");
        size = entry.size;
        for (uint32_t cluster : fat.chain(entry.firstCluster)) {
            const uint64_t start = fat.clusterOffset(cluster), length = fat.bytesPerCluster();
            if (!extents.empty() && extents.back().start + extents.back().length == start)
                extents.back().length += length;
            else
                extents.push_back(fs_extent{start, length});
        }
    }
    ASSERT_EQ(size, c.size());
    ASSERT_GE(extents.size(), 2u) << "the file should be fragmented";

    ScanContext *scan = scx_new(SCX_TYPE_QUICK, attachedMedium(img, MEDIA_FILE, (int64_t)raw.size()), workspace);
    ASSERT_NE(scan, nullptr);
    std::shared_ptr<fs_record> fs = fs_new_of_type(scan, FS_TYPE_FAT);
    ASSERT_NE(fs, nullptr);
    write_catalog(fs.get(), {{1, -1, 1, 0, "", {}}, {2, 1, 0, size, "C.BIN", extents}});
    uint64_t key = 0;
    ASSERT_EQ(keyref_encode(scan->slot, FS_TYPE_FAT, fs->index, 2, &key), 0);
    HV::ByteStreamNode stream(key, 0);
    ASSERT_EQ(stream.length(), c.size());
    std::string all;
    std::vector<char> piece(4096);
    int got;
    while ((got = stream.read(piece.data(), (uint32_t)piece.size())) > 0)
        all.append(piece.data(), (size_t)got);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(all, extracted);
    // A read that straddles the boundary between two extents.
    const uint64_t boundary = extents[0].length;
    ASSERT_TRUE(stream.seek(boundary - 10));
    ASSERT_EQ(stream.read(piece.data(), 20), 20);
    EXPECT_EQ(std::string(piece.data(), 20), extracted.substr(boundary - 10, 20));
}

// A caller thread looks nodes up and reads them while the engine thread
// deletes and re-creates scans: records found stay valid while held.
TEST_F(Workspace, LookupsWhileScansAreDeletedThreads)
{
    register_test_type();
    const std::string img = dir / "card.img";
    const std::string bytes = pattern(32 * 1024);
    Media *m = fileMedium(img, bytes);
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    auto make_scan = [&] {
        ScanContext *s = scx_new(SCX_TYPE_QUICK, m, workspace);
        if (s == nullptr)
            return s;
        std::shared_ptr<fs_record> fs = fs_new_of_type(s, FS_TYPE_FAT);
        std::vector<Node> nodes = small_tree();
        nodes.push_back({6, 1, 0, 600, "x.bin", {{100, 300}, {4000, 300}}});
        write_catalog(fs.get(), nodes);
        return s;
    };
    ScanContext *s = make_scan();
    const uint64_t key = 1ull << 56 | 4ull << 52 | 1ull << 40 | 6;
    struct Joiner {
        std::atomic<bool> &stop;
        std::thread thread;
        ~Joiner()
        {
            stop = true;
            if (thread.joinable())
                thread.join();
        }
    } reader{stop, std::thread([&] {
        while (!stop.load()) {
            std::shared_ptr<fs_record> fs = fs_from_keyref(key);
            if (fs == nullptr)
                continue;
            NodeInfo info;
            fs_node_info(fs.get(), 6, &info, 0);
            int status = 0;
            buf_t *b = fs_node_data(fs.get(), 6, 0, 600, 0, &status);
            if (b != nullptr && b->count == 600 &&
                std::memcmp(b->data, bytes.data() + 100, 300) == 0)
                reads++;
            buf_free(b);
            try {
                HV::ByteStreamNode stream(key, 0);
                char piece[64];
                stream.read(piece, sizeof piece);
            } catch (const std::invalid_argument &) {
            }
        }
    })};
    int failures = 0;
    for (int round = 0; round < 20; round++) {
        // Let the reader get through at least one read of this scan first.
        const int before = reads.load();
        while (reads.load() == before)
            std::this_thread::yield();
        failures += scx_delete(&s) != 0;
        s = make_scan();
    }
    stop = true;
    reader.thread.join();
    EXPECT_EQ(failures, 0);
    EXPECT_GT(reads.load(), 0);
}

} // namespace
