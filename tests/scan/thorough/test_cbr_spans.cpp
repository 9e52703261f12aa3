// The block loop's side of the thorough-scan store: the span record as it
// lies in "spans", the prefilter and who is asked about a block, the module
// limit, the restricted scan, and span writes that fail on a full disk.
// Blocks are fed as the scan driver feeds them, read from a file medium
// without a block reader.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "scan/fat/fat_scan.h"
#include "scan/fat_image_support.h"
#include "scan/thorough/cbr_test_support.h"

using namespace cbrtest;

namespace {

class CbrSpans : public StoreFixture {
protected:
    // A scan of a card holding bytes, its spans opened for the block loop.
    fs_record *openCard(const std::string &bytes)
    {
        medium = fileMedium(dir / "card.img", bytes);
        scan = thoroughScan(medium);
        EXPECT_EQ(cbr_prepare(scan->store), 0);
        EXPECT_EQ(cbr_open_spans(scan->store), 0);
        return scan->store;
    }
    // Every block of the card through the store, as the block loop does.
    void feedAll(fs_record *store)
    {
        ASSERT_EQ(media_retain(medium), 0);
        uint8_t block[kBlock];
        for (int64_t at = 0; at + kBlock <= media_length(medium); at += kBlock) {
            ASSERT_EQ(media_seek(medium, at), 0);
            ASSERT_EQ(media_read(medium, block, kBlock), kBlock);
            cbr_feed_block(store, block, kBlock);
        }
        media_release(medium);
    }
    void feedOne(fs_record *store, const std::string &bytes, int64_t at = 0)
    {
        ASSERT_EQ(media_retain(medium), 0);
        ASSERT_EQ(media_seek(medium, at), 0);
        uint8_t ignored[kBlock];
        ASSERT_EQ(media_read(medium, ignored, kBlock), kBlock); // the data position of the block
        cbr_feed_block(store, reinterpret_cast<const uint8_t *>(bytes.data()), (int32_t)bytes.size());
        media_release(medium);
    }

    Media *medium = nullptr;
    ScanContext *scan = nullptr;
};

// Two starts as they lie in "spans": a card file found by the registry's
// detect and a FAT boot sector found by the FAT module's own detect.
TEST_F(CbrSpans, SpanRecordsAsStored)
{
    ASSERT_NE(fat_describe(), nullptr);
    addFake();
    const std::string fat = dir / "fat.img";
    zvtest::makeFat(fat, 12, 1024);
    const std::string card = cardWith(4096, {{512, fakeFile(1000, 2, 7)}}) + zvtest::readFile(fat);
    fs_record *store = openCard(card);
    feedAll(store);
    ASSERT_EQ(cbr_end_blocks(store), 0);
    EXPECT_EQ(cbr_store_of(store)->span_count, 2u);

    const std::string bytes = zvtest::readFile(storeFile(store, "spans"));
    ASSERT_EQ(bytes.size(), 2 * CBR_SPAN_SIZE);
    const auto field = [&](size_t record, size_t at, size_t n) { return bytes.substr(record * 56 + at, n); };
    const std::string zero4(4, '\0');
    // start = end = 512, "zvfk" first character in the most significant byte, state 1, subtype 2.
    EXPECT_EQ(field(0, 0, 16), std::string("\x00\x02\0\0\0\0\0\0\x00\x02\0\0\0\0\0\0", 16));
    EXPECT_EQ(field(0, 16, 4), "kfvz");
    EXPECT_EQ(field(0, 20, 8), std::string("\x01\x00\x02\x00\x10\x00\x10\x00", 8));
    EXPECT_EQ(field(0, 28, 28), std::string(28, '\0'));
    // The boot sector at 4096: "fat " stored as 20 74 61 66, state 0, subtype 1, score 0x00100010.
    EXPECT_EQ(field(1, 0, 16), std::string("\x00\x10\0\0\0\0\0\0\x00\x10\0\0\0\0\0\0", 16));
    EXPECT_EQ(field(1, 16, 4), " taf");
    EXPECT_EQ(field(1, 20, 8), std::string("\x00\x00\x01\x00\x10\x00\x10\x00", 8));
    EXPECT_EQ(field(1, 28, 28), std::string(28, '\0'));
}

// A module is asked about a block only when its prefilter allows each of
// the block's first eight bytes: the store's own module never, the FAT
// module only for a jump instruction, the card-file module for its magic.
TEST_F(CbrSpans, ThePrefilterChoosesWhoIsAsked)
{
    cbr->prefilter = refuse_all;
    ASSERT_NE(fat_describe(), nullptr);
    fake_module *fake = addFake();
    fs_record *store = openCard(std::string(8 * kBlock, '\0'));
    const auto &masks = cbr_store_of(store)->prefilter;
    const uint64_t cbrBit = 1, fatBit = 2, fakeBit = 4;
    EXPECT_EQ(masks[0][0x00], 0u);
    EXPECT_EQ(masks[0][0xEB], fatBit);
    EXPECT_EQ(masks[0][0xE9], fatBit);
    EXPECT_EQ(masks[0]['Z'], fakeBit);
    EXPECT_EQ(masks[3]['K'] & fakeBit, fakeBit);
    EXPECT_EQ(masks[3]['Q'] & fakeBit, 0u);
    EXPECT_EQ(masks[5][0x00], fatBit | fakeBit); // both allow anything past the magic
    for (int k = 0; k < CBR_PREFILTER_POSITIONS; k++)
        for (int b = 0; b < 256; b++)
            EXPECT_EQ(masks[k][b] & cbrBit, 0u) << k << " " << b;

    feedOne(store, std::string(kBlock, '\0'));
    feedOne(store, "\xEB\x3C\x90" + std::string(kBlock - 3, '\0')); // not a boot sector: no span
    feedOne(store, "ZVFQ" + std::string(kBlock - 4, '\0'));
    EXPECT_EQ(fake->recognised, 0);
    feedOne(store, fakeFile(kBlock));
    EXPECT_EQ(fake->recognised, 1);
    ASSERT_EQ(cbr_end_blocks(store), 0);
    EXPECT_EQ(readSpans(store).size(), 1u);

    // Without a prefilter the store's own module is asked about every block
    // and never records a start.
    cbr->prefilter = nullptr;
    ASSERT_EQ(cbr_open_spans(store), 0);
    EXPECT_EQ(cbr_store_of(store)->prefilter[0][0x00], cbrBit);
    feedOne(store, std::string(kBlock, '\0'));
    ASSERT_EQ(cbr_end_blocks(store), 0);
    EXPECT_TRUE(readSpans(store).empty());
}

// 64 modules get prefilter bits; the 65th is never asked, and the build of
// the prefilter says so once per byte position.
TEST_F(CbrSpans, SixtyFiveModules)
{
    std::vector<fake_module *> fakes;
    for (int i = 0; i < 64; i++)
        fakes.push_back(addFake(fil_module_code("m000") + (uint32_t)(i / 10 << 8) + (uint32_t)(i % 10)));
    ASSERT_EQ(fil_module_count(), 65);
    fs_record *store = openCard(std::string(2 * kBlock, '\0'));
    EXPECT_EQ(loggedCount("Too many FMs for implementation, maximum = 63"), 8);
    feedOne(store, fakeFile(kBlock));
    ASSERT_EQ(cbr_end_blocks(store), 0);
    const std::vector<cbr_span> spans = readSpans(store);
    ASSERT_EQ(spans.size(), 63u);
    for (size_t i = 0; i < spans.size(); i++)
        EXPECT_EQ(spans[i].module_id, fakes[i]->base.id) << i; // in module order
    EXPECT_EQ(fakes[63]->recognised, 0);
}

// With the built-in source off only modules with flag 2 or 3 and without
// flag 1 are asked; otherwise every candidate is, each giving its span at
// the same start, in module order.
TEST_F(CbrSpans, RestrictedScanAsksOnlyModulesOfOtherSources)
{
    const uint32_t filters[] = {0, FIL_FILTER_1, FIL_FILTER_FS, FIL_FILTER_3, FIL_FILTER_1 | FIL_FILTER_FS,
                                FIL_FILTER_FS | FIL_FILTER_3};
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < 6; i++) {
        ids.push_back(fil_module_code("f000") + i);
        addFake(ids.back(), filters[i]);
    }
    fs_record *store = openCard(std::string(2 * kBlock, '\0'));
    feedOne(store, fakeFile(kBlock), kBlock);
    fm_src_set_builtin_enabled(0);
    ASSERT_EQ(cbr_prepare(store), 0);
    EXPECT_EQ(cbr_store_of(store)->restricted, 1);
    EXPECT_EQ(cbr_store_of(store)->restricted_too, 1);
    feedOne(store, fakeFile(kBlock));
    ASSERT_EQ(cbr_end_blocks(store), 0);
    std::vector<uint32_t> asked;
    for (const cbr_span &span : readSpans(store))
        asked.push_back(span.module_id);
    EXPECT_EQ(asked, (std::vector<uint32_t>{ids[0], ids[1], ids[2], ids[3], ids[4], ids[5], ids[2], ids[3], ids[5]}));
    EXPECT_EQ(starts(readSpans(store)),
              (std::vector<uint64_t>{512, 512, 512, 512, 512, 512, 0, 0, 0}));
}

// Spans that cannot be written: a write that fails once the stream's buffer
// is flushed, and the last spans that fail only when "spans" is closed. Both
// record 593 and set the write-error flag that ends the block loop.
TEST_F(CbrSpans, SpanWritesOnAFullDisk)
{
    addFake();
    fs_record *store = openCard(std::string(kBlock, '\0'));
    ASSERT_EQ(cbr_end_blocks(store), 0);
    for (size_t spans : {20u, 3000u}) {
        SCOPED_TRACE(spans);
        zvtest::Mount full = zvtest::Mount::tmpfs(dir_path(store->folder), "size=64k,mode=0700");
        zvtest::run("dd if=/dev/zero of='" + storeFile(store, "filler") + "' bs=4096 2>/dev/null");
        clear_errors();
        file_clear_write_error();
        ASSERT_EQ(cbr_open_spans(store), 0);
        int failed = 0;
        for (size_t i = 0; i < spans; i++) {
            *store_span(store) = detected(i * kBlock);
            failed += cbr_write_span(store) != 0;
        }
        EXPECT_EQ(failed != 0, spans > FILE_STREAM_BUFFER / CBR_SPAN_SIZE);
        EXPECT_EQ(cbr_store_of(store)->span_count, spans);
        EXPECT_EQ(cbr_end_blocks(store), -3);
        EXPECT_EQ(file_write_error_occurred(), 1);
        EXPECT_NE(error_list_str().find("593"), std::string::npos) << error_list_str();
        EXPECT_EQ(cbr_store_of(store)->spans, nullptr);
        EXPECT_EQ(loggedCount("Can't write span: -3") != 0, failed != 0);
    }
}

} // namespace

namespace {

constexpr uint32_t kRunnerId = fil_module_code("zvrn");

// A module that searches runs: a start at every "RUN!" anywhere in what it
// is given, written through the store hooks as an own detect does.
int runner_detect(fil_module *module, const uint8_t *bytes, int32_t size)
{
    const fil_store_hooks hooks = fil_module_store_hooks();
    fs_record *store = module->scan != nullptr ? module->scan->store : nullptr;
    if (store == nullptr || hooks.current_span == nullptr)
        return 0;
    const int64_t position = media_data_pos(scx_media(module->scan));
    int found = 0;
    for (int32_t at = 0; at + 4 <= size; at++) {
        if (std::memcmp(bytes + at, "RUN!", 4) != 0)
            continue;
        cbr_span *span = hooks.current_span(store);
        *span = cbr_span{};
        span->start = span->end = (uint64_t)(position + at);
        span->module_id = module->id;
        span->state = CBR_SPAN_DETECTED;
        span->subtype = 1;
        span->result = 0x10;
        hooks.write_span(store);
        found++;
    }
    return found;
}

} // namespace

// Runs of blocks: the blocks a prefilter lets through go to their modules
// one by one, the blocks between them to the run searcher in one piece, and
// the spans of both stay in position order (a start found below the fence
// of a file measured before it would be dropped). A block fed alone is
// shown to both kinds.
TEST_F(CbrSpans, RunsKeepStartsInPositionOrder)
{
    ASSERT_NE(fat_describe(), nullptr);
    addFake();
    fil_module *runner = fil_module_get_or_create(kRunnerId, sizeof(fil_module));
    ASSERT_NE(runner, nullptr);
    runner->enabled = 1;
    runner->filter = FIL_FILTER_1;
    runner->detect = runner_detect;
    runner->detect_runs = 1;
    const std::string fat = dir / "fat.img";
    zvtest::makeFat(fat, 12, 1024);
    std::string card = cardWith(64 * 1024, {{1024, fakeFile(600)}, {8192, zvtest::readFile(fat).substr(0, 512)}});
    for (size_t at : {3u, 700u, 1024u + 700u, 5000u, 8192u + 600u, 60000u})
        card.replace(at, 4, "RUN!");
    fs_record *store = openCard(card);
    ASSERT_EQ(media_retain(medium), 0);
    ASSERT_EQ(media_seek(medium, 0), 0);
    std::string run(card.size(), '\0');
    ASSERT_EQ(media_read(medium, run.data(), (int64_t)run.size()), (int64_t)run.size());
    medium->data_pos = 0;
    cbr_feed_run(store, reinterpret_cast<const uint8_t *>(run.data()), (int32_t)run.size(), kBlock);
    media_release(medium);
    ASSERT_EQ(cbr_end_blocks(store), 0);
    std::vector<std::pair<uint64_t, std::string>> found;
    for (const cbr_span &s : readSpans(store))
        found.emplace_back(s.start, fil_module_id_text(s.module_id));
    const std::vector<std::pair<uint64_t, std::string>> expected = {
        {3, "zvrn"},   {700, "zvrn"},  {1024, "zvfk"}, {1724, "zvrn"},
        {5000, "zvrn"}, {8192, "fat "}, {8792, "zvrn"}, {60000, "zvrn"}};
    EXPECT_EQ(found, expected);
}
