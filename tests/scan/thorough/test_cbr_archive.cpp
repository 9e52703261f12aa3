// The store's saved form: every item and the three open files round trip,
// a saved scan carries the store through "context", damaged or foreign
// blocks leave the store as it was, and the module list (written sorted,
// read with its entries checked) gives the module-id translation.
#include <cstring>
#include <functional>

#include "cbr_tree_test_support.h"
#include "foundation/archive.h"
#include "modules/gfm.h"

using namespace cbrtreetest;

namespace {

// The current module list the "gfm " module hands out in a test.
std::vector<cbr_fmlist_entry> g_current;

int add_current(fil_module *, std::vector<cbr_fmlist_entry> *list)
{
    list->insert(list->end(), g_current.begin(), g_current.end());
    return 0;
}

cbr_fmlist_entry entry(const std::string &path, const char (&id)[5], uint16_t subtype)
{
    cbr_fmlist_entry e{};
    std::memcpy(e.path, path.data(), std::min(path.size(), sizeof e.path));
    e.id = fil_module_code(id);
    e.subtype = subtype;
    return e;
}

std::string list_bytes(const std::vector<cbr_fmlist_entry> &list)
{
    std::string bytes(list.size() * sizeof(cbr_fmlist_entry), '\0');
    if (!list.empty())
        std::memcpy(bytes.data(), list.data(), bytes.size());
    return bytes;
}

// A hand-written block "cbr": every item of the right kind, the three files
// not open, and a module list as given.
struct Block {
    int32_t ring_read = 0, ring_write = 0;
    const char *short_item = nullptr; // a bytes item written one byte short
    int32_t n = 0;
    int32_t size = (int32_t)CBR_FMLIST_ENTRY_SIZE;
    std::string data;                 // written when not empty
};

void write_block(archive *a, const Block &b)
{
    auto bytes = [&](const char *name, size_t size) {
        const bool cut = b.short_item != nullptr && std::strcmp(name, b.short_item) == 0;
        const std::string value(size - (cut ? 1 : 0), '\x11');
        ASSERT_EQ(archive_bytes(a, name, value.data(), (uint32_t)value.size()), 0);
    };
    ASSERT_EQ(archive_start_block(a, "cbr", 1), 0);
    ASSERT_EQ(archive_quad(a, "n_spans", 5), 0);
    bytes("span", sizeof(cbr_span));
    bytes("preselect_array", 8 * 256 * 8);
    ASSERT_EQ(archive_long(a, "_clear", 1), 0);
    ASSERT_EQ(archive_long(a, "n_strong_fils", 2), 0);
    ASSERT_EQ(archive_quad(a, "fence", 3), 0);
    bytes("start_bin", 256);
    ASSERT_EQ(archive_quad(a, "bn0", -1), 0);
    bytes("span_cache", CBR_RING_SIZE * sizeof(cbr_span));
    ASSERT_EQ(archive_long(a, "sc_r", b.ring_read), 0);
    ASSERT_EQ(archive_long(a, "sc_w", b.ring_write), 0);
    ASSERT_EQ(archive_quad(a, "i_span", 0), 0);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(archive_fp(a, nullptr, nullptr), 0);
    ASSERT_EQ(archive_start_block(a, "fmlist", 1), 0);
    ASSERT_EQ(archive_long(a, "n", b.n), 0);
    ASSERT_EQ(archive_long(a, "size", b.size), 0);
    if (!b.data.empty()) {
        ASSERT_EQ(archive_bytes(a, "data", b.data.data(), (uint32_t)b.data.size()), 0);
    }
    ASSERT_EQ(archive_end_block(a, "fmlist"), 0);
    ASSERT_EQ(archive_end_block(a, "cbr"), 0);
}

class CbrArchive : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        g_current.clear();
        path = dir / "state.arch";
    }
    void write(const std::function<void(archive *)> &fill)
    {
        archive *a = archive_new(path.c_str(), ARCHIVE_WRITE, 1);
        ASSERT_NE(a, nullptr);
        fill(a);
        ASSERT_EQ(archive_free(&a), 0);
    }
    int read(int compat, const std::function<int(archive *)> &use)
    {
        archive *a = archive_new(path.c_str(), ARCHIVE_READ, 0);
        if (a == nullptr)
            return -100;
        scx_set_archive_compat(a, compat);
        const int rc = use(a);
        archive_free(&a);
        return rc;
    }
    int unarchiveBlock(const Block &b)
    {
        write([&](archive *a) { write_block(a, b); });
        return read(4, [&](archive *a) { return cbr_unarchive(record, a); });
    }
    void useCurrentList(std::vector<cbr_fmlist_entry> list)
    {
        g_current = std::move(list);
        ASSERT_NE(gfm_describe(), nullptr);
        gfm_module_of(fil_module_find(FIL_MODULE_GFM))->add_paths = add_current;
    }

    std::string path;
};

TEST_F(CbrArchive, EveryItemAndTheOpenFilesRoundTrip)
{
    store->span_count = 77;
    store->span = span_at(0x1234, 99);
    store->prefilter[0][0xFF] = 1;
    store->prefilter[7][0x80] = 0x8000000000000001ull;
    store->clear = 5;
    store->strong_files = 9;
    store->fence = 0x123456789ll;
    store->start_bins[63] = 42;
    store->prev_start_sector = 4096;
    store->ring[0] = span_at(0x200, 1);
    store->ring[1599] = span_at(0x400, 2);
    store->ring_read = 10;
    store->ring_write = 1599;
    store->parse_start = 3;
    store->spans = dir_file_open(record->folder, "spans1", "wb", 2);
    store->gaps = dir_file_open(record->folder, "gaps", "wb", 2);
    ASSERT_TRUE(store->spans && store->gaps);
    ASSERT_EQ(file_write_full(store->spans, &store->span, sizeof store->span), 0);
    const uint64_t gap = 8;
    ASSERT_EQ(file_write_full(store->gaps, &gap, sizeof gap), 0);
    const cbr_store before = *store;
    write([&](archive *a) { ASSERT_EQ(cbr_archive(record, a), 0); });

    // A fresh state, then the saved one read back.
    for (file_t **f : {&store->spans, &store->gaps})
        ASSERT_EQ(file_free(f), 0);
    store->span_count = 0;
    store->span = {};
    std::memset(store->prefilter, 0, sizeof store->prefilter);
    store->clear = store->strong_files = 0;
    store->fence = 0;
    std::memset(store->start_bins, 0, sizeof store->start_bins);
    store->prev_start_sector = CBR_NO_SECTOR;
    std::memset(store->ring, 0, sizeof store->ring);
    store->ring_read = store->ring_write = 0;
    store->parse_start = 0;
    ASSERT_EQ(read(4, [&](archive *a) { return cbr_unarchive(record, a); }), 0);

    EXPECT_EQ(store->span_count, 77u);
    EXPECT_EQ(std::memcmp(&store->span, &before.span, sizeof store->span), 0);
    EXPECT_EQ(std::memcmp(store->prefilter, before.prefilter, sizeof store->prefilter), 0);
    EXPECT_EQ(store->clear, 5u);
    EXPECT_EQ(store->strong_files, 9u);
    EXPECT_EQ(store->fence, 0x123456789ll);
    EXPECT_EQ(std::memcmp(store->start_bins, before.start_bins, sizeof store->start_bins), 0);
    EXPECT_EQ(store->prev_start_sector, 4096u);
    EXPECT_EQ(std::memcmp(store->ring, before.ring, sizeof store->ring), 0);
    EXPECT_EQ(store->ring_read, 10u);
    EXPECT_EQ(store->ring_write, 1599u);
    EXPECT_EQ(store->parse_start, 3u);
    EXPECT_TRUE(store->translations.empty());
    // The files come back open for writing in place, at their positions.
    ASSERT_NE(store->spans, nullptr);
    ASSERT_NE(store->gaps, nullptr);
    EXPECT_EQ(store->names, nullptr);
    EXPECT_EQ(store->spans->mode_given[0], 'W');
    EXPECT_EQ(file_tell(store->spans), 56);
    EXPECT_EQ(file_tell(store->gaps), 8);
    ASSERT_EQ(file_write_full(store->spans, &store->span, sizeof store->span), 0);
    ASSERT_EQ(file_free(&store->spans), 0);
    EXPECT_EQ(zvtest::readFile(file("spans1")).size(), 112u);
}

TEST_F(CbrArchive, ASavedScanCarriesTheStore)
{
    store->span_count = 12;
    store->fence = 777;
    store->ring_write = 4;
    ASSERT_EQ(scx_archive(scan), 0);
    scx_testing::reset();
    ScanContext *loaded = nullptr;
    ASSERT_EQ(scx_load_slot(workspace, 1, &loaded), 0);
    ASSERT_NE(loaded, nullptr);
    cbr_store *back = cbr_store_of(loaded->store);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->span_count, 12u);
    EXPECT_EQ(back->fence, 777);
    EXPECT_EQ(back->ring_write, 4u);
}

TEST_F(CbrArchive, AnArchiveBeforeCompatFourLeavesTheStoreUnread)
{
    store->span_count = 12;
    write([&](archive *a) { ASSERT_EQ(cbr_archive(record, a), 0); });
    store->span_count = 0;
    EXPECT_EQ(read(3, [&](archive *a) { return cbr_unarchive(record, a); }), -1);
    EXPECT_EQ(store->span_count, 0u);
    EXPECT_TRUE(logged("cbr_unarchive: scan archive version 3"));
}

TEST_F(CbrArchive, DamagedBlocksLeaveTheStoreAsItWas)
{
    const std::string two = list_bytes({entry("a", "aaa ", 1), entry("b", "bbb ", 1)});
    struct Case {
        const char *what;
        Block block;
    } cases[] = {
        {"too many entries", {0, 0, nullptr, 10001, (int32_t)CBR_FMLIST_ENTRY_SIZE, ""}},
        {"a negative count", {0, 0, nullptr, -1, (int32_t)CBR_FMLIST_ENTRY_SIZE, ""}},
        {"another entry size", {0, 0, nullptr, 2, 263, two}},
        {"data shorter than the count", {0, 0, nullptr, 3, (int32_t)CBR_FMLIST_ENTRY_SIZE, two}},
        {"data missing", {0, 0, nullptr, 2, (int32_t)CBR_FMLIST_ENTRY_SIZE, ""}},
        {"a short prefilter", {0, 0, "preselect_array", 0, (int32_t)CBR_FMLIST_ENTRY_SIZE, ""}},
        {"a short ring", {0, 0, "span_cache", 0, (int32_t)CBR_FMLIST_ENTRY_SIZE, ""}},
    };
    for (const Case &c : cases) {
        store->span_count = 0;
        EXPECT_NE(unarchiveBlock(c.block), 0) << c.what;
        EXPECT_EQ(store->span_count, 0u) << c.what;
    }
    // The same block with a sound list is read.
    EXPECT_EQ(unarchiveBlock({0, 0, nullptr, 0, (int32_t)CBR_FMLIST_ENTRY_SIZE, ""}), 0);
    EXPECT_EQ(store->span_count, 5u);
    EXPECT_TRUE(store->translations.empty());
}

TEST_F(CbrArchive, RingIndexesOutsideTheRingEmptyIt)
{
    const struct {
        int32_t read, write;
        uint32_t want_read, want_write;
    } cases[] = {{3, 9, 3, 9}, {0, 1599, 0, 1599}, {1600, 5, 0, 0}, {5, 1600, 0, 0}, {-1, 5, 0, 0}, {5, 70000, 0, 0}};
    for (const auto &c : cases) {
        Block b;
        b.ring_read = c.read;
        b.ring_write = c.write;
        ASSERT_EQ(unarchiveBlock(b), 0) << c.read << " " << c.write;
        EXPECT_EQ(store->ring_read, c.want_read) << c.read << " " << c.write;
        EXPECT_EQ(store->ring_write, c.want_write) << c.read << " " << c.write;
    }
}

TEST_F(CbrArchive, TheModuleListIsWrittenSortedWithoutDuplicates)
{
    // gfm adds nothing: an empty list.
    ASSERT_NE(gfm_describe(), nullptr);
    write([&](archive *a) { ASSERT_EQ(cbr_archive_fm_list(record, a), 0); });
    int32_t n = -1;
    ASSERT_EQ(read(4, [&](archive *a) {
                  return archive_start_block(a, "fmlist", 1) || unarchive_long(a, "n", &n) ||
                         unarchive_bytes(a, "data") != -1;
              }),
              0);
    EXPECT_EQ(n, 0);

    useCurrentList({entry("Movies/MOV/.mov", "mov ", 1), entry("Images/JPEG/.jpg", "jpeg", 1),
                    entry("Images/JPEG/.jpg", "dupl", 2), entry(std::string(300, 'Z'), "long", 1)});
    write([&](archive *a) { ASSERT_EQ(cbr_archive_fm_list(record, a), 0); });
    std::string data;
    int32_t size = 0;
    ASSERT_EQ(read(4, [&](archive *a) {
                  if (archive_start_block(a, "fmlist", 1) || unarchive_long(a, "n", &n) ||
                      unarchive_long(a, "size", &size))
                      return -1;
                  const int length = unarchive_bytes(a, "data");
                  data.assign((const char *)archive_scratch_data(a), length > 0 ? (size_t)length : 0);
                  return 0;
              }),
              0);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(size, 264);
    std::vector<cbr_fmlist_entry> want = {entry("Images/JPEG/.jpg", "jpeg", 1), entry("Movies/MOV/.mov", "mov ", 1),
                                          entry(std::string(255, 'Z'), "long", 1)};
    EXPECT_EQ(data, list_bytes(want));
}

TEST_F(CbrArchive, ArchivedPathsTranslateTheirModuleIds)
{
    const std::string field_full(256, 'A'); // a path without its NUL
    useCurrentList({entry("Images/JPEG/.jpg", "tst ", 1), entry("Movies/MOV/.mov", "mov ", 1),
                    entry(std::string(255, 'A'), "aaa ", 3)});
    const std::vector<cbr_fmlist_entry> archived = {
        entry("Images/JPEG/.jpg", "old ", 7), entry("Movies/MOV/.mov", "mov ", 1), entry("Gone/X/.x", "gon ", 2),
        entry(field_full, "bbb ", 5)};
    write([&](archive *a) {
        ASSERT_EQ(archive_start_block(a, "fmlist", 1), 0);
        ASSERT_EQ(archive_long(a, "n", (int32_t)archived.size()), 0);
        ASSERT_EQ(archive_long(a, "size", 264), 0);
        const std::string bytes = list_bytes(archived);
        ASSERT_EQ(archive_bytes(a, "data", bytes.data(), (uint32_t)bytes.size()), 0);
        ASSERT_EQ(archive_end_block(a, "fmlist"), 0);
    });
    ASSERT_EQ(read(4, [&](archive *a) { return cbr_unarchive_fm_list(record, a); }), 0);
    ASSERT_EQ(store->translations.size(), 2u);
    EXPECT_TRUE(logged("Archived FM path Images/JPEG/.jpg: adding translation from fm_id=old , subtype=7 to "
                       "fm_id=tst , subtype=1"));
    EXPECT_TRUE(logged("Archived FM path Gone/X/.x (fm_id=gon  subtype=2) does not exist in the current program "
                       "session"));

    const struct {
        uint32_t id;
        uint16_t subtype;
        uint32_t want_id;
        uint16_t want_subtype;
    } spans[] = {{fil_module_code("old "), 7, kTestModule, 1},
                 {fil_module_code("old "), 8, fil_module_code("old "), 8},
                 {fil_module_code("bbb "), 5, fil_module_code("aaa "), 3},
                 {fil_module_code("mov "), 1, fil_module_code("mov "), 1}};
    for (const auto &c : spans) {
        cbr_span s = span_at(0, 1, 5, c.id, c.subtype);
        cbr_translate_span(record, &s);
        EXPECT_EQ(s.module_id, c.want_id) << fil_module_id_text(c.id);
        EXPECT_EQ(s.subtype, c.want_subtype) << fil_module_id_text(c.id);
    }
}

} // namespace
