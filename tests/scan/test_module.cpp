// The file-module registry: list order, lookups, record sizes, and the
// generic detect / extract / naming steps through the store hooks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/workdir.h"
#include "foundation/workspace.h"
#include "scan/module.h"
#include "scan/scan_context.h"
#include "storage/media.h"
#include "support/test_support.h"

namespace {

// A module's own record: the common fields first, its own after them.
struct test_module {
    fil_module base;
    int recognised;
    int extracted;
    uint64_t own_tail[8];
};

// A store stand-in behind the hooks: one current span, the spans written
// and the names added.
struct fake_store {
    cbr_span current{};
    std::vector<cbr_span> written;
    std::vector<std::string> names;
    int counter = 0;
};
fake_store *g_store = nullptr;

cbr_span *current_span(fs_record *) { return &g_store->current; }
int write_span(fs_record *)
{
    g_store->written.push_back(g_store->current);
    return 0;
}
const char *next_name(nameseq_node *)
{
    static char text[16];
    std::snprintf(text, sizeof text, "%05d", ++g_store->counter);
    return text;
}
int add_now(nameseq_node *, const char *name, cbr_span *)
{
    g_store->names.push_back(name);
    return 0;
}

int recognise_jpeg(fil_module *m, const uint8_t *block, int32_t size)
{
    reinterpret_cast<test_module *>(m)->recognised++;
    if (size >= 2 && block[0] == 0xFF && block[1] == 0xD8) {
        m->cur_subtype = 1;
        return 0x00020001; // low 16 bits 1: a start
    }
    return 0x00010000; // low 16 bits 0: no start
}

int extract_fixed(fil_module *m, Media *, fs_record *, cbr_span *span)
{
    reinterpret_cast<test_module *>(m)->extracted++;
    m->end_pos = span->start + 1000;
    return 0;
}

class ModuleRegistry : public testing::Test {
protected:
    void SetUp() override
    {
        fil_testing::clear_registry();
        g_store = &store;
        const fil_store_hooks hooks{current_span, write_span, next_name, add_now};
        fil_module_set_store_hooks(&hooks);
    }
    void TearDown() override
    {
        fil_module_set_store_hooks(nullptr);
        fil_testing::clear_registry();
        scx_testing::reset();
        dir_free(&workspace);
        media_free_all();
        g_store = nullptr;
    }
    // A scan context whose store is a stand-in pointer (the hooks ignore it).
    void makeScan(const std::string &image)
    {
        engine_set_workspace_name("Zorvant");
        workspace = dir_new(nullptr, (dir / "ZorvantWorkspace").c_str());
        ASSERT_NE(workspace, nullptr);
        media = media_new(image.c_str(), "card", MEDIA_FILE, 0);
        ASSERT_NE(media, nullptr);
        media->stop_pos = media->orig_stop_pos = (int64_t)zvtest::readFile(image).size();
        media->attached = 1;
        scan = scx_new(SCX_TYPE_QUICK, media, workspace);
        ASSERT_NE(scan, nullptr);
        scan->store = reinterpret_cast<fs_record *>(&store); // only passed back to the hooks
    }

    zvtest::TempDir dir;
    fake_store store;
    work_dir *workspace = nullptr;
    Media *media = nullptr;
    ScanContext *scan = nullptr;
};

TEST_F(ModuleRegistry, OrderLookupAndRecordSizes)
{
    EXPECT_EQ(fil_module_first(), nullptr);
    EXPECT_EQ(fil_module_get_or_create(fil_module_code("jpeg"), sizeof(fil_module) - 1), nullptr);
    fil_module *jpeg = fil_module_get_or_create(fil_module_code("jpeg"), sizeof(test_module));
    fil_module *fat = fil_module_get_or_create(FIL_MODULE_FAT, sizeof(fil_module));
    fil_module *cbr = fil_module_get_or_create(FIL_MODULE_CBR, sizeof(fil_module));
    ASSERT_TRUE(jpeg && fat && cbr);
    // "cbr " leads, the others keep their registration order.
    EXPECT_EQ(fil_module_first(), cbr);
    EXPECT_EQ(cbr->next, jpeg);
    EXPECT_EQ(jpeg->next, fat);
    EXPECT_EQ(fat->next, nullptr);
    EXPECT_EQ(fil_module_count(), 3);
    // The record is zero-filled to its full size, own fields included.
    const test_module *own = reinterpret_cast<const test_module *>(jpeg);
    for (uint64_t v : own->own_tail)
        EXPECT_EQ(v, 0u);
    EXPECT_EQ(fil_module_find(FIL_MODULE_FAT), fat);
    EXPECT_EQ(fil_module_find(fil_module_code("none")), nullptr);
    // Found again whatever size is asked up to its own; a bigger record
    // would be written past its end.
    EXPECT_EQ(fil_module_get_or_create(fil_module_code("jpeg"), sizeof(fil_module)), jpeg);
    EXPECT_EQ(fil_module_get_or_create(FIL_MODULE_FAT, sizeof(test_module)), nullptr);
    EXPECT_STREQ(fil_module_id_text(FIL_MODULE_FAT), "fat ");
    EXPECT_EQ(FIL_MODULE_FAT, 0x66617420u);
}

TEST_F(ModuleRegistry, DetectExtractAndName)
{
    const std::string image = dir / "card.img";
    std::string bytes(8192, '\0');
    bytes[4096] = (char)0xFF;
    bytes[4097] = (char)0xD8;
    zvtest::writeFile(image, bytes);
    makeScan(image);
    auto *m = reinterpret_cast<test_module *>(fil_module_get_or_create(fil_module_code("jpeg"), sizeof(test_module)));
    ASSERT_NE(m, nullptr);
    fil_module_subtype kinds[2] = {{0, nullptr, nullptr, nullptr},
                                   {0, reinterpret_cast<nameseq_node *>(&store), "IMG_", "jpg"}};
    m->base.subtypes = kinds;
    m->base.subtype_count = 2;
    m->base.recognise = recognise_jpeg;
    m->base.extract = extract_fixed;
    m->base.scan = scan;

    // Not enabled: nothing is asked.
    EXPECT_EQ(fil_module_detect(&m->base, (const uint8_t *)bytes.data() + 4096, 512), 0);
    EXPECT_EQ(m->recognised, 0);
    m->base.enabled = 1;
    // A file-system module (it has a setup operation) is never asked here.
    m->base.fs_init = [](fs_record *) { return 0; };
    EXPECT_EQ(fil_module_detect(&m->base, (const uint8_t *)bytes.data() + 4096, 512), 0);
    m->base.fs_init = nullptr;

    // The block loop's reads set the medium's data position to each block.
    ASSERT_EQ(media_retain(media), 0);
    ASSERT_EQ(media_seek(media, 0), 0);
    uint8_t block[4096];
    ASSERT_EQ(media_read(media, block, 4096), 4096);
    EXPECT_EQ(fil_module_detect(&m->base, block, 4096), 0); // no start in a zero block
    ASSERT_EQ(media_read(media, block, 4096), 4096);
    EXPECT_EQ(fil_module_detect(&m->base, block, 4096), 1);
    ASSERT_EQ(store.written.size(), 1u);
    const cbr_span found = store.written[0];
    EXPECT_EQ(found.start, 4096u);
    EXPECT_EQ(found.end, 4096u);
    EXPECT_EQ(found.state, CBR_SPAN_DETECTED);
    EXPECT_EQ(found.module_id, fil_module_code("jpeg"));
    EXPECT_EQ(found.subtype, 1);
    EXPECT_EQ(found.result, 0x00020001u);
    EXPECT_EQ(kinds[1].starts, 1u);

    // Measure: the span is re-read at its start and ends where extract says.
    store.current = found;
    m->base.cur_subtype = 0;
    EXPECT_EQ(fil_module_extract(&m->base), 0);
    ASSERT_EQ(store.written.size(), 2u);
    EXPECT_EQ(store.written[1].start, 4096u);
    EXPECT_EQ(store.written[1].end, 5096u);
    EXPECT_EQ(store.written[1].state, CBR_SPAN_DETECTED | CBR_SPAN_MEASURED);
    // A span that starts beyond the medium cannot be sought: nothing done.
    store.current.start = 1u << 30;
    EXPECT_EQ(fil_module_extract(&m->base), 2);
    EXPECT_EQ(m->extracted, 1);
    media_release(media);

    // Naming: prefix, number and extension.
    EXPECT_EQ(fil_module_name_file(&m->base, &store.written[1]), 0);
    ASSERT_EQ(store.names.size(), 1u);
    EXPECT_EQ(store.names[0], "IMG_00001.jpg");
    kinds[1].extension = nullptr;
    EXPECT_EQ(fil_module_name_file(&m->base, &store.written[1]), 0);
    EXPECT_EQ(store.names[1], "IMG_00002");
    // A span read back from a file may carry any subtype: refused, not indexed.
    cbr_span odd = store.written[1];
    odd.subtype = 7;
    EXPECT_EQ(fil_module_name_file(&m->base, &odd), -12);

    fil_module_reset(&m->base);
    EXPECT_EQ(kinds[1].starts, 0u);
    EXPECT_EQ(m->base.cur_subtype, 0);
}

// Spans come back from files, and modules measure what they like: a
// subtype outside the table is never recognised into a span, measured or
// named; a measured end at or before the start is nothing measured, and an
// end past the medium is cut to its length.
TEST_F(ModuleRegistry, MeasuredEndsAndSubtypesAreChecked)
{
    const std::string image = dir / "card.img";
    zvtest::writeFile(image, std::string(8192, '\0'));
    makeScan(image);
    auto *m = reinterpret_cast<test_module *>(fil_module_get_or_create(fil_module_code("jpeg"), sizeof(test_module)));
    ASSERT_NE(m, nullptr);
    fil_module_subtype kinds[2] = {{0, nullptr, nullptr, nullptr},
                                   {0, reinterpret_cast<nameseq_node *>(&store), "", "jpg"}};
    m->base.subtypes = kinds;
    m->base.subtype_count = 2;
    m->base.enabled = 1;
    m->base.scan = scan;
    static uint64_t g_end;  // where the next measure ends
    static uint16_t g_kind; // the subtype the next recognise or measure gives
    m->base.recognise = [](fil_module *self, const uint8_t *, int32_t) {
        self->cur_subtype = g_kind;
        return 1;
    };
    m->base.extract = [](fil_module *self, Media *, fs_record *, cbr_span *span) {
        reinterpret_cast<test_module *>(self)->extracted++;
        const char *volatile prefix = self->subtypes[self->cur_subtype].prefix; // a module indexes its table
        (void)prefix;
        self->end_pos = g_end;
        (void)span;
        self->cur_subtype = g_kind;
        return 0;
    };
    ASSERT_EQ(media_retain(media), 0);
    ASSERT_EQ(media_seek(media, 0), 0);
    uint8_t block[512];
    ASSERT_EQ(media_read(media, block, 512), 512);
    for (uint16_t kind : {0, 2, 300}) {
        g_kind = kind;
        EXPECT_EQ(fil_module_detect(&m->base, block, 512), 0) << kind;
    }
    EXPECT_TRUE(store.written.empty());
    g_kind = 1;
    EXPECT_EQ(fil_module_detect(&m->base, block, 512), 1);

    struct Case {
        uint16_t span_subtype, measured_subtype;
        uint64_t start, measured_end;
        int rc;
        uint64_t end; // of the span written, when rc is 0
    } cases[] = {
        {1, 1, 4096, 4196, 0, 4196},
        {1, 1, 4096, 4096, 2, 0},        // ends at its start
        {1, 1, 4096, 100, 2, 0},         // ends before its start
        {1, 1, 4096, 1ull << 40, 0, 8192}, // ends past the medium
        {7, 1, 4096, 4196, 2, 0},        // a subtype the module has not got
        {0, 1, 4096, 4196, 2, 0},
        {1, 9, 4096, 4196, 2, 0},        // measured into one it has not got
    };
    int extracted = m->extracted;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.span_subtype) + " " + std::to_string(c.measured_end));
        const size_t before = store.written.size();
        store.current = {};
        store.current.start = c.start;
        store.current.subtype = c.span_subtype;
        g_end = c.measured_end;
        g_kind = c.measured_subtype;
        EXPECT_EQ(fil_module_extract(&m->base), c.rc);
        const bool asked = c.span_subtype == 1;
        EXPECT_EQ(m->extracted, extracted + (asked ? 1 : 0));
        extracted = m->extracted;
        ASSERT_EQ(store.written.size(), before + (c.rc == 0 ? 1 : 0));
        if (c.rc == 0) {
            EXPECT_EQ(store.written.back().end, c.end);
            EXPECT_EQ(store.written.back().subtype, 1);
        }
    }
    media_release(media);
    for (uint16_t kind : {0, 2, 7}) {
        cbr_span odd = store.written[0];
        odd.subtype = kind;
        EXPECT_EQ(fil_module_name_file(&m->base, &odd), -12) << kind;
    }
    EXPECT_TRUE(store.names.empty());
}

} // namespace
