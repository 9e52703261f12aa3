// The JPEG module in the thorough scan, with the real store: its own detect
// fed block by block as the block loop feeds it (starts anywhere in a
// block, across block ends, the end of the blocks; a disabled module, a
// restricted scan, a scan without a store), then whole scans from
// start_scan to the measured spans: the same files found whatever the
// content's offset on the medium, a multi-picture file as one file, and a
// card of starts whose headers chain on through each other measured with
// work linear in the card's size.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "foundation/module_source.h"
#include "foundation/prefs.h"
#include "foundation/strings.h"
#include "modules/gfm.h"
#include "modules/jpeg.h"
#include "modules/jpeg_test_support.h"
#include "scan/fat/fat_scan.h"
#include "scan/scan_driver.h"
#include "scan/thorough/cbr_test_support.h"

using namespace cbrtest;
using namespace jpegtest;

namespace {

// Bytes without FF, so without starts of their own.
Bytes filler(size_t n, uint32_t seed)
{
    Bytes out(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1664525u + 1013904223u;
        out[i] = (char)((seed >> 24) % 0xFF);
    }
    return out;
}

size_t round_up(size_t at, size_t to)
{
    return (at + to - 1) / to * to;
}

// The engine's modules in start order: the store's own, FAT, JPEG, gfm.
class JpegScanBase : public StoreFixture {
protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        prefs_reset();
        ASSERT_NE(fat_describe(), nullptr);
        jpeg = jpeg_module_of(jpeg_describe());
        ASSERT_NE(jpeg, nullptr);
        ASSERT_NE(gfm_describe(), nullptr);
    }
    void TearDown() override
    {
        StoreFixture::TearDown();
        prefs_reset();
    }
    static std::vector<cbr_span> jpegSpans(const std::vector<cbr_span> &spans)
    {
        std::vector<cbr_span> out;
        for (const cbr_span &s : spans)
            if (s.module_id == JPEG_MODULE_ID)
                out.push_back(s);
        return out;
    }
    static void setImagesPref(const char *key, int64_t value)
    {
        const std::string section = std::string(localize_cstring("File Modules")) + "/" + localize_cstring("Images");
        ASSERT_EQ(prefs_set_int(section.c_str(), key, value), 0);
    }
    jpeg_module *jpeg = nullptr;
};

// --- the own detect, block by block --------------------------------------------------------

class JpegDetect : public JpegScanBase {
protected:
    // A thorough scan of a card holding bytes, its spans opened.
    fs_record *openCard(const Bytes &bytes)
    {
        medium = fileMedium(dir / ("card" + std::to_string(++cards) + ".img"), bytes);
        scan = thoroughScan(medium);
        EXPECT_EQ(cbr_prepare(scan->store), 0);
        EXPECT_EQ(cbr_open_spans(scan->store), 0);
        return scan->store;
    }
    // The blocks at the positions through the store, as the block loop
    // feeds them, then the end of the blocks; the JPEG starts written.
    std::vector<uint64_t> feed(fs_record *store, const std::vector<int64_t> &blocks)
    {
        EXPECT_EQ(media_retain(medium), 0);
        uint8_t block[kBlock];
        for (int64_t at : blocks) {
            EXPECT_EQ(media_seek(medium, at), 0);
            EXPECT_EQ(media_read(medium, block, kBlock), kBlock);
            cbr_feed_block(store, block, kBlock);
        }
        media_release(medium);
        EXPECT_EQ(cbr_end_blocks(store), 0);
        std::vector<uint64_t> out;
        for (const cbr_span &s : jpegSpans(readSpans(store))) {
            EXPECT_EQ(s.state, CBR_SPAN_DETECTED);
            EXPECT_EQ(s.subtype, JPEG_SUBTYPE);
            EXPECT_EQ(s.end, s.start);
            EXPECT_GE(s.result & 0xFFFF, (uint32_t)JPEG_SCORE);
            out.push_back(s.start);
        }
        return out;
    }
    std::vector<int64_t> allBlocks() const
    {
        std::vector<int64_t> out;
        for (int64_t at = 0; at + kBlock <= media_length(medium); at += kBlock)
            out.push_back(at);
        return out;
    }

    Media *medium = nullptr;
    ScanContext *scan = nullptr;
    int cards = 0;
};

// Hand-made JPEG heads at the places the block loop has to find them: two
// in one block, FF D8 | FF and FF | D8 FF across block ends, one whose
// recognise window passes its block's end, one in the medium's last bytes.
Bytes detectCard(std::vector<uint64_t> *starts)
{
    const Bytes head = minimal();
    Bytes card = filler(8 * kBlock, 1);
    for (size_t at : {(size_t)100, (size_t)300, (size_t)2 * kBlock - 2, (size_t)4 * kBlock - 1,
                      (size_t)6 * kBlock - 40, 8 * kBlock - head.size()}) {
        card.replace(at, head.size(), head);
        starts->push_back(at);
    }
    return card;
}

TEST_F(JpegDetect, FindsStartsAnywhereInTheBlocks)
{
    std::vector<uint64_t> starts;
    const Bytes card = detectCard(&starts);
    fs_record *store = openCard(card);
    EXPECT_EQ(feed(store, allBlocks()), starts); // in medium order
    EXPECT_EQ(jpeg->kinds[JPEG_SUBTYPE].starts, starts.size());
    // The span of a start in the middle of a block, as stored.
    const std::vector<cbr_span> spans = jpegSpans(readSpans(store));
    ASSERT_EQ(spans.size(), starts.size());
    EXPECT_EQ(spans[0].result, (uint32_t)JPEG_SCORE);
}

TEST_F(JpegDetect, BlocksThatDoNotFollowOneAnother)
{
    std::vector<uint64_t> starts;
    const Bytes card = detectCard(&starts);
    fs_record *store = openCard(card);
    // Block 3 left out: the start across its start (at 4 * 512 - 1, FF in
    // block 3) is none; block 5's start (window open at its end) is offered
    // when block 7 comes instead of block 6.
    const std::vector<uint64_t> found = feed(store, {0, 512, 1024, 2048, 2560, 3584});
    EXPECT_EQ(found, (std::vector<uint64_t>{100, 300, 2 * kBlock - 2, 6 * kBlock - 40, 8 * kBlock - minimal().size()}));
}

TEST_F(JpegDetect, WritesNothingWhenOffRestrictedOrWithoutStore)
{
    std::vector<uint64_t> starts;
    const Bytes card = detectCard(&starts);
    {
        SCOPED_TRACE("disabled");
        setImagesPref("enabled", 0);
        fs_record *store = openCard(card);
        EXPECT_EQ(jpeg->base.enabled, 0);
        EXPECT_TRUE(feed(store, allBlocks()).empty());
        EXPECT_EQ(jpeg->search.carry_size, 0u);
        setImagesPref("enabled", 1);
        ScanContext *raw = scan;
        ASSERT_EQ(scx_delete(&raw), 0);
    }
    {
        SCOPED_TRACE("restricted");
        fm_src_set_builtin_enabled(0);
        fs_record *store = openCard(card);
        EXPECT_TRUE(feed(store, allBlocks()).empty());
        fm_src_set_builtin_enabled(1);
        ScanContext *raw = scan;
        ASSERT_EQ(scx_delete(&raw), 0);
    }
    {
        SCOPED_TRACE("no scan, a scan without a store");
        const uint8_t *block = reinterpret_cast<const uint8_t *>(card.data()) + 100;
        jpeg->base.scan = nullptr;
        EXPECT_EQ(jpeg_detect(&jpeg->base, block, kBlock), 0);
        ScanContext *quick = scx_new(SCX_TYPE_QUICK, medium, workspace);
        ASSERT_NE(quick, nullptr);
        ASSERT_EQ(quick->store, nullptr);
        jpeg->base.scan = quick;
        EXPECT_EQ(jpeg_detect(&jpeg->base, block, kBlock), 0);
        EXPECT_EQ(jpeg->kinds[JPEG_SUBTYPE].starts, 0u);
        jpeg->base.scan = nullptr;
        ASSERT_EQ(scx_delete(&quick), 0);
    }
}

// --- whole scans ---------------------------------------------------------------------------------

class JpegScanThreads : public JpegScanBase {
protected:
    int scan(Media *m) { return start_scan(m->id, SCX_TYPE_THOROUGH, workspace); }
    // The measured JPEG spans of the scan in slot 1 as (start, end), then
    // the scan deleted.
    std::vector<std::pair<uint64_t, uint64_t>> foundAndDelete()
    {
        std::vector<std::pair<uint64_t, uint64_t>> out;
        std::shared_ptr<ScanContext> done = scx_in_slot(1);
        if (done == nullptr) {
            ADD_FAILURE() << "no scan in slot 1";
            return out;
        }
        for (const cbr_span &s : jpegSpans(readSpans(done->store))) {
            EXPECT_EQ(s.state, CBR_SPAN_DETECTED | CBR_SPAN_MEASURED);
            out.emplace_back(s.start, s.end);
        }
        ScanContext *raw = done.get();
        done.reset();
        EXPECT_EQ(scx_delete(&raw), 0);
        return out;
    }
};

// The same card content at offsets 0, 1, 3, 511 and 512 of the medium:
// the same files, moved by the offset. The card holds JPEGs next to each
// other inside a block, across block ends, in the last bytes of a block and
// on a block start, one with a preview in its Exif block, and a
// multi-picture file (found as one file with its images).
TEST_F(JpegScanThreads, SameFilesWhateverTheOffset)
{
    const Samples &samples = Samples::get();
    const Bytes multi = mpo({samples["progressive"].bytes, samples["exif"].bytes, samples["wide"].bytes});
    Bytes card = filler(1000, 2);
    std::vector<std::pair<uint64_t, uint64_t>> files;
    const auto place = [&](const Bytes &file, size_t at) {
        card += filler(at - card.size(), (uint32_t)at) + file;
        files.emplace_back(at, at + file.size());
    };
    place(samples["baseline"].bytes, 1000);
    place(samples["progressive"].bytes, card.size() + 3); // in the block where the last one ends
    place(samples["exif"].bytes, round_up(card.size() + kBlock, kBlock) - 2);  // FF D8 | FF
    place(samples["grey"].bytes, round_up(card.size() + kBlock, kBlock) - 1);  // FF | D8 FF
    place(samples["restart"].bytes, round_up(card.size() + kBlock, kBlock) - 100);
    place(samples["arithmetic"].bytes, round_up(card.size() + kBlock, kBlock));
    place(multi, card.size() + 77);
    place(samples["wide"].bytes, card.size() + 333);
    card += filler(5000, 3);
    for (size_t shift : {0, 1, 3, 511, 512}) {
        SCOPED_TRACE(shift);
        Media *m = fileMedium(dir / ("card" + std::to_string(shift) + ".img"), filler(shift, 9) + card);
        EXPECT_EQ(scan(m), 0);
        std::vector<std::pair<uint64_t, uint64_t>> moved;
        for (const auto &[start, end] : files)
            moved.emplace_back(start + shift, end + shift);
        EXPECT_EQ(foundAndDelete(), moved);
    }
}

// Every block starts FF D8 FF E1 01 FE: an APP1 segment whose length
// reaches the next block's APP1, and so on to the card's end, with no scan
// header anywhere. Each start's measure gives up after its headers passed
// nine later starts, so the measures read a bounded multiple of the card.
TEST_F(JpegScanThreads, ChainedHeadersCostWorkLinearInTheCard)
{
    const Bytes block = Bytes("\xFF\xD8\xFF\xE1\x01\xFE", 6) + Bytes(kBlock - 6, '\0');
    for (size_t mib : {1, 2}) {
        SCOPED_TRACE(std::to_string(mib) + " MiB");
        Bytes card;
        for (size_t i = 0; i < mib * 2048; i++)
            card += block;
        Media *m = fileMedium(dir / ("chained" + std::to_string(mib) + ".img"), card);
        EXPECT_EQ(scan(m), 0);
        EXPECT_TRUE(foundAndDelete().empty());
        EXPECT_EQ(jpeg->not_measured, mib * 2048);
        EXPECT_LE(jpeg->bytes_read, 10 * card.size());
    }
}

} // namespace
