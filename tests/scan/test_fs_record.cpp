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
#include "fs_test_support.h"

using namespace fstest;

namespace {

// n bytes where every byte depends on its offset, so a shifted read shows.
std::string pattern(size_t n)
{
    std::string out(n, '\0');
    for (size_t i = 0; i < n; i++)
        out[i] = (char)((i * 7 + i / 251) & 0xFF);
    return out;
}

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
    EXPECT_EQ(fs_new_with_index(scan, FS_TYPE_FAT, 256), nullptr);
    EXPECT_EQ(fs_new_with_index(scan, FS_TYPE_FAT, 0), nullptr);
    EXPECT_EQ(fs_new_with_index(scan, FS_TYPE_FAT, 2), nullptr);
    EXPECT_NE(error_list_str().find("582"), std::string::npos);
    EXPECT_EQ(fs_live_count(), 3u);
    EXPECT_EQ(scan->fs_list.size(), 3u);

    // Lookup by slot and index; keyrefs of nodes, of the root, and unknown ones.
    uint64_t key = 0;
    ASSERT_EQ(keyref_encode(1, FS_TYPE_FAT, 255, 12345, &key), 0);
    EXPECT_EQ(fs_from_keyref(key), top);
    EXPECT_EQ(fs_from_keyref(fs_keyref_base(b.get()) | 0xFFull << 32 | KEYREF_ROOT_LOW), b);
    EXPECT_EQ(fs_keyref_base(b.get()), 1ull << 56 | 4ull << 52 | 2ull << 40);
    EXPECT_EQ(fs_from_keyref(keyref_scan(1)), nullptr);
    EXPECT_EQ(fs_from_keyref(KEYREF_NONE), nullptr);
    EXPECT_EQ(fs_from_keyref(2ull << 56 | 4ull << 52 | 1ull << 40), nullptr); // slot 2 is empty
    EXPECT_EQ(fs_from_keyref(1ull << 56 | 4ull << 52 | 3ull << 40), nullptr); // index 3 unused
    // Index 0x101 must not alias index 1 through the 8 bits the lookup reads.
    EXPECT_EQ(fs_from_keyref(1ull << 56 | 4ull << 52 | 0x101ull << 40), nullptr);
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
    // The thorough-scan store keeps its own name.
    register_test_type(FS_TYPE_STORE);
    std::shared_ptr<fs_record> store = fs_new_of_type(scan, FS_TYPE_STORE);
    ASSERT_NE(store, nullptr);
    std::snprintf(store->fs_name, sizeof store->fs_name, "Reconstructed Files");
    fs_set_display_name(store.get(), true);
    EXPECT_STREQ(store->display_name, "Reconstructed Files");
}

TEST_F(FsRecord, SavedFormRoundTripAndRefusals)
{
    std::shared_ptr<fs_record> a = fs_new_of_type(scan, FS_TYPE_FAT);
    ASSERT_NE(a, nullptr);
    a->subtype = 3;
    a->id_root = 1;
    for (size_t i = 0; i < FS_KEY_SIZE; i++)
        a->fskey[i] = (uint8_t)(i * 3);
    a->max_dir_entries = 777;
    a->mode = 5;
    a->cat_mode = 6;
    const uint64_t selected[5] = {3, 1, 0, 0, 4020};
    ASSERT_EQ(fs_set_selected(a.get(), selected), 0);
    a->recovered[0] = 9;
    a->recovered[4] = 1ull << 40;
    a->biggest_id = 1ll << 39;
    a->recurse_depth = 4;
    a->filter = 0x10;
    a->options = 1;
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
    archive *r = archive_new(path.c_str(), ARCHIVE_READ, 0);
    ASSERT_NE(r, nullptr);
    // Without the scan archive's compat version (below 4) nothing is read.
    EXPECT_EQ(fs_unarchive(b.get(), r), -1);
    archive_free(&r);
    r = archive_new(path.c_str(), ARCHIVE_READ, 0);
    scx_set_archive_compat(r, SCX_COMPAT_VERSION);
    ASSERT_EQ(fs_unarchive(b.get(), r), 0);
    archive_free(&r);
    EXPECT_EQ(b->subtype, 3u);
    EXPECT_EQ(b->id_root, 1);
    EXPECT_EQ(std::memcmp(b->fskey, a->fskey, FS_KEY_SIZE), 0);
    EXPECT_EQ(b->max_dir_entries, 777);
    EXPECT_EQ(b->mode, 5u);
    EXPECT_EQ(b->cat_mode, 6u);
    uint64_t got[5];
    ASSERT_EQ(fs_get_selected(b.get(), got), 0);
    EXPECT_EQ(std::vector<uint64_t>(got, got + 5), std::vector<uint64_t>(selected, selected + 5));
    EXPECT_EQ(b->recovered[0], 9u);
    EXPECT_EQ(b->recovered[4], 1ull << 40);
    EXPECT_EQ(b->biggest_id, 1ll << 39);
    EXPECT_EQ(b->recurse_depth, 4u);
    EXPECT_EQ(b->filter, 0x10u);
    EXPECT_EQ(b->options, 1u);
    EXPECT_STREQ((const char *)b->path, "/DCIM/100CANON");

    // Another index than the record's, or a type nobody registered: refused.
    std::shared_ptr<fs_record> c = fs_new_with_index(other, FS_TYPE_FAT, 2);
    r = archive_new(path.c_str(), ARCHIVE_READ, 0);
    scx_set_archive_compat(r, SCX_COMPAT_VERSION);
    EXPECT_EQ(fs_unarchive(c.get(), r), -1);
    archive_free(&r);
    fs_unregister_all_types();
    r = archive_new(path.c_str(), ARCHIVE_READ, 0);
    scx_set_archive_compat(r, SCX_COMPAT_VERSION);
    EXPECT_EQ(fs_unarchive(b.get(), r), -1);
    archive_free(&r);
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
    EXPECT_EQ(fs_node_fork_size(fs.get(), 6, 0), 900u);
    EXPECT_EQ(fs_node_fork_size(fs.get(), 6, 1), 0u);
    EXPECT_EQ(fs_node_fork_size(fs.get(), 6, 2), 0u);
    int status = 99;
    // The middle of the second extent, on into the third.
    buf_t *b = fs_node_data(fs.get(), 6, 350, 400, 0, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(bufString(b), expected.substr(350, 400));
    buf_free(b);
    // Past the size: only the bytes up to it.
    b = fs_node_data(fs.get(), 6, 800, 500, 0, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(bufString(b), expected.substr(800));
    buf_free(b);
    b = fs_node_data(fs.get(), 6, 0, 1 << 20, 0, &status);
    EXPECT_EQ(bufString(b), expected);
    buf_free(b);
    // At or beyond the size, or nothing asked: no data at all.
    EXPECT_EQ(fs_node_data(fs.get(), 6, 900, 10, 0, &status), nullptr);
    EXPECT_EQ(fs_node_data(fs.get(), 6, 950, 10, 0, &status), nullptr); // slack of the last extent
    EXPECT_EQ(fs_node_data(fs.get(), 6, 5000, 10, 0, &status), nullptr);
    EXPECT_EQ(fs_node_data(fs.get(), 6, 0, 0, 0, &status), nullptr);
    EXPECT_EQ(fs_node_data(fs.get(), 6, -1, 10, 0, &status), nullptr);
    EXPECT_EQ(fs_node_data(fs.get(), 2, 0, 10, 0, &status), nullptr); // a folder has no extents
    // An extent that runs off the medium: the part before it and -18.
    clear_errors();
    b = fs_node_data(fs.get(), 7, 0, 100, 0, &status);
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

uint16_t le16(const std::string &b, size_t at)
{
    return (uint16_t)((uint8_t)b[at] | (uint8_t)b[at + 1] << 8);
}
uint32_t le32(const std::string &b, size_t at)
{
    return le16(b, at) | (uint32_t)le16(b, at + 2) << 16;
}

// The byte extents of a root-directory file of a FAT16 volume, read from the
// boot sector, the root directory and the FAT chain.
std::vector<fs_extent> fat16_extents(const std::string &img, const char name83[12], uint32_t *size)
{
    const uint32_t bps = le16(img, 11), spc = (uint8_t)img[13], reserved = le16(img, 14);
    const uint32_t fats = (uint8_t)img[16], root_entries = le16(img, 17), fat_sectors = le16(img, 22);
    const uint64_t fat = (uint64_t)reserved * bps;
    const uint64_t root = fat + (uint64_t)fats * fat_sectors * bps;
    const uint64_t data = root + (uint64_t)root_entries * 32;
    const uint64_t cluster_bytes = (uint64_t)spc * bps;
    for (uint32_t i = 0; i < root_entries; i++) {
        const size_t at = root + (size_t)i * 32;
        if (img.compare(at, 11, name83) != 0)
            continue;
        *size = le32(img, at + 28);
        std::vector<fs_extent> out;
        uint32_t cluster = le16(img, at + 26);
        for (int guard = 0; cluster >= 2 && cluster < 0xFFF0 && guard < 100000; guard++) {
            const uint64_t start = data + (uint64_t)(cluster - 2) * cluster_bytes;
            if (!out.empty() && out.back().start + out.back().length == start)
                out.back().length += cluster_bytes;
            else
                out.push_back(fs_extent{start, cluster_bytes});
            cluster = le16(img, fat + (size_t)cluster * 2);
        }
        return out;
    }
    throw std::runtime_error(std::string("no entry ") + name83);
}

TEST_F(Workspace, NodeStreamOverAFatFileMatchesMtools)
{
    zvtest::requireTool("mkfs.fat");
    zvtest::requireTool("mcopy");
    register_test_type();
    const std::string img = dir / "fat16.img";
    zvtest::mustRun("mkfs.fat -C -F 16 -S 512 -s 4 '" + img + "' 16384 >/dev/null");
    // A, then B, then A deleted: C fills A's hole and continues after B.
    const std::string a = pattern(40000), b = pattern(30000).substr(7) + "tail";
    std::string c = pattern(150000);
    for (size_t i = 0; i < c.size(); i += 97)
        c[i] = (char)(i >> 8);
    zvtest::writeFile(dir / "A.BIN", a);
    zvtest::writeFile(dir / "B.BIN", b);
    zvtest::writeFile(dir / "C.BIN", c);
    zvtest::mustRun("mcopy -i '" + img + "' '" + (dir / "A.BIN") + "' ::A.BIN");
    zvtest::mustRun("mcopy -i '" + img + "' '" + (dir / "B.BIN") + "' ::B.BIN");
    zvtest::mustRun("mdel -i '" + img + "' ::A.BIN");
    zvtest::mustRun("mcopy -i '" + img + "' '" + (dir / "C.BIN") + "' ::C.BIN");
    zvtest::mustRun("mcopy -n -i '" + img + "' ::C.BIN '" + (dir / "C.OUT") + "'");
    const std::string extracted = zvtest::readFile(dir / "C.OUT");
    ASSERT_EQ(extracted, c);

    const std::string raw = zvtest::readFile(img);
    uint32_t size = 0;
    const std::vector<fs_extent> extents = fat16_extents(raw, "C       BIN", &size);
    ASSERT_EQ(size, c.size());
    ASSERT_GE(extents.size(), 2u) << "the file should be fragmented";

    Media *m = media_new(img.c_str(), "fat", MEDIA_FILE, 0);
    m->stop_pos = m->orig_stop_pos = (int64_t)raw.size();
    m->attached = 1;
    ScanContext *scan = scx_new(SCX_TYPE_QUICK, m, workspace);
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
