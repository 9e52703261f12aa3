// Parsing and measuring the spans of the block loop: the fence, the start
// gaps, file order through the ring and the look-ahead past it, spans files
// cut short, and failures of the span files that must not lose the starts
// found. "spans" is written by the tests as the block loop leaves it; the
// card is a file medium read without a block reader.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include "scan/fat/fat_scan.h"
#include "scan/fat_image_support.h"
#include "scan/path_index.h"
#include "scan/thorough/cbr_test_support.h"
#include "storage/media_test_support.h"

using namespace cbrtest;

namespace {

constexpr uint32_t kKeepsFence = fil_module_code("zvfn");

class CbrParse : public StoreFixture {
protected:
    void TearDown() override
    {
        if (medium != nullptr && medium->open_count > 0)
            media_release(medium);
        StoreFixture::TearDown();
    }
    // A thorough scan of a card holding bytes, its medium retained as during
    // a scan, and the store's "spans" holding spans.
    fs_record *parseSetUp(const std::string &bytes, const std::vector<cbr_span> &spans)
    {
        medium = fileMedium(dir / "card.img", bytes);
        scan = thoroughScan(medium);
        EXPECT_EQ(media_retain(medium), 0);
        writeSpans(scan->store, spans);
        return scan->store;
    }
    // A card with a card file of 16 bytes at every 512-byte block.
    static std::string everyBlock(size_t blocks)
    {
        std::string card;
        for (size_t i = 0; i < blocks; i++)
            card += fakeFile(kHeaderSize) + std::string(kBlock - kHeaderSize, '\0');
        return card;
    }

    Media *medium = nullptr;
    ScanContext *scan = nullptr;
};

// A start inside a file whose module raised the fence is dropped; a start
// inside a file of a module that leaves the fence alone is measured.
TEST_F(CbrParse, TheFenceDropsStartsInsideMeasuredFiles)
{
    addFake();
    addFake(kKeepsFence)->keep_fence = 1;
    const std::string card = cardWith(32768, {{0, fakeFile(5000, 1, 11)},
                                              {1024, fakeFile(100)},
                                              {8192, fakeFile(20000, 2)},
                                              {10240, fakeFile(600)},
                                              {10752, fakeFile(100)}});
    fs_record *store = parseSetUp(card, {detected(0), detected(1024), detected(8192, kKeepsFence, 2), detected(10240),
                                         detected(10752)});
    ASSERT_EQ(cbr_parse_spans(store), 0);
    const std::vector<cbr_span> spans = readSpans(store);
    ASSERT_EQ(starts(spans), (std::vector<uint64_t>{0, 8192, 10240}));
    const uint64_t ends[] = {5000, 28192, 10840};
    for (size_t i = 0; i < spans.size(); i++) {
        EXPECT_EQ(spans[i].end, ends[i]) << i;
        EXPECT_EQ(spans[i].state, CBR_SPAN_DETECTED | CBR_SPAN_MEASURED) << i;
    }
    EXPECT_EQ(spans[0].value1, 11u);
    EXPECT_EQ(spans[1].subtype, 2);
    EXPECT_EQ(spans[1].module_id, kKeepsFence);
    EXPECT_EQ(cbr_store_of(store)->span_count, 3u);
    EXPECT_EQ(cbr_store_of(store)->fence, 10840);
    EXPECT_FALSE(std::filesystem::exists(storeFile(store, "spans1")));
    EXPECT_EQ(readGaps(store), (std::vector<uint64_t>{16, 4}));
    EXPECT_EQ(zvtest::readFile(storeFile(store, "cbrnames")), std::string("xx\0", 3));
    EXPECT_TRUE(logged("Done parsing CBR spans, 3 spans"));
}

// Gaps: the sector distance to the file measured before, only when the
// start sector grew; a file-system module's span adds none and is no
// "file measured before".
TEST_F(CbrParse, StartGaps)
{
    addFake(kKeepsFence)->keep_fence = 1;
    const uint32_t fsModule = fil_module_code("zvfs");
    addFake(fsModule, FIL_FILTER_FS);
    const std::string card = cardWith(16384, {{4096, fakeFile(50)},
                                              {4196, fakeFile(50)},
                                              {2048, fakeFile(50)},
                                              {6144, fakeFile(50)},
                                              {8192, fakeFile(50)}});
    fs_record *store = parseSetUp(card, {detected(4096, kKeepsFence), detected(4196, kKeepsFence),
                                         detected(2048, kKeepsFence), detected(6144, fsModule),
                                         detected(8192, kKeepsFence)});
    ASSERT_EQ(cbr_parse_spans(store), 0);
    EXPECT_EQ(readSpans(store).size(), 5u);
    EXPECT_EQ(readGaps(store), (std::vector<uint64_t>{12}));
    const cbr_store *state = cbr_store_of(store);
    EXPECT_EQ(state->start_bins[8], 2u);
    EXPECT_EQ(state->start_bins[4], 1u);
    EXPECT_EQ(state->start_bins[16], 1u);
    EXPECT_EQ(state->start_bins[12], 0u);
    EXPECT_EQ(state->prev_start_sector, 16u);
}

// 2000 spans go through the ring in file order. A module looks ahead in the
// ring, past its end into the file (the parse then goes on where it was),
// with a limit, a minimum score and excluded kinds; at the last span there
// is nothing ahead and the out value is left alone.
TEST_F(CbrParse, RingOrderAndLookingAhead)
{
    addFake(kKeepsFence)->keep_fence = 1;
    constexpr size_t kSpans = 2000;
    std::vector<cbr_span> spans;
    for (size_t i = 0; i < kSpans; i++)
        spans.push_back(detected(i * kBlock, kKeepsFence));
    fs_record *store = parseSetUp(everyBlock(kSpans), spans);
    const path_index_entry *excluded =
        path_index_register("Test/Card Files/.zvf", (uint64_t)kKeepsFence << 16 | 1, 0);
    ASSERT_NE(excluded, nullptr);
    std::vector<uint64_t> order;
    g_fake.on_extract = [&](fil_module *, cbr_span *span) {
        const int64_t at = (int64_t)span->start;
        order.push_back(span->start);
        int64_t last = -7;
        const cbr_span *next = cbr_next_span(store, nullptr, 0, at, 0, 0, &last);
        if (span->start == (kSpans - 1) * kBlock) {
            EXPECT_EQ(next, nullptr);
            EXPECT_EQ(last, -7);
            return;
        }
        ASSERT_NE(next, nullptr) << at;
        EXPECT_EQ(next->start, (uint64_t)at + kBlock);
        if (at == 0) {
            // Past the 1599 records of the ring: read from the file.
            next = cbr_next_span(store, nullptr, 0, 1700 * kBlock, 0, 0, &last);
            ASSERT_NE(next, nullptr);
            EXPECT_EQ(next->start, 1701u * kBlock);
            EXPECT_EQ(last, -7);
            // Nothing within the limit after the position: the last start seen.
            EXPECT_EQ(cbr_next_span(store, nullptr, 0, at + 2 * kBlock, at + 2 * kBlock + 100, 0, &last), nullptr);
            EXPECT_EQ(last, at + 2 * kBlock);
            EXPECT_EQ(cbr_next_span(store, nullptr, 0, at, at + 3 * kBlock, 17, &last), nullptr);
            EXPECT_EQ(last, at + 3 * kBlock);
            EXPECT_EQ(cbr_next_span(store, &excluded, 1, at, at + 5 * kBlock, 0, &last), nullptr);
            EXPECT_EQ(last, at + 5 * kBlock);
        }
    };
    ASSERT_EQ(cbr_parse_spans(store), 0);
    EXPECT_EQ(order, starts(spans));
    EXPECT_EQ(readSpans(store).size(), kSpans);
}

// A "spans" file cut inside a record (a crash) is parsed up to its last
// whole record.
TEST_F(CbrParse, CutRecordIsLeftOut)
{
    addFake();
    fs_record *store = parseSetUp(everyBlock(4), {detected(0), detected(512), detected(1024)});
    zvtest::writeFile(storeFile(store, "spans"), zvtest::readFile(storeFile(store, "spans")) + std::string(30, 'x'));
    ASSERT_EQ(cbr_parse_spans(store), 0);
    EXPECT_EQ(starts(readSpans(store)), (std::vector<uint64_t>{0, 512, 1024}));
}

// "spans" that ends early while the ring is refilled (another program cut
// it): the spans already in the ring are still measured.
TEST_F(CbrParse, ShortReadKeepsWhatTheRingHolds)
{
    addFake(kKeepsFence)->keep_fence = 1;
    constexpr size_t kSpans = 3000, kLeft = 2500;
    std::vector<cbr_span> spans;
    for (size_t i = 0; i < kSpans; i++)
        spans.push_back(detected(i * kBlock, kKeepsFence));
    fs_record *store = parseSetUp(everyBlock(kSpans), spans);
    const std::string path = storeFile(store, "spans");
    g_fake.on_extract = [&](fil_module *, cbr_span *span) {
        if (span->start == 0) {
            ASSERT_EQ(truncate(path.c_str(), kLeft * CBR_SPAN_SIZE), 0);
        }
    };
    ASSERT_EQ(cbr_parse_spans(store), 0);
    const std::vector<cbr_span> measured = readSpans(store);
    ASSERT_EQ(measured.size(), kLeft);
    spans.resize(kLeft);
    EXPECT_EQ(starts(measured), starts(spans));
    EXPECT_EQ(error_list_str(), "[171]");
}

// The medium fails for good, or goes, while span 512 of 2000 is measured
// (the first whose block is not in the reader's first buffer):
// measuring stops there (-1, 425). "spans" keeps the measured spans and,
// unchanged after them in file order, every span not reached: the one being
// measured, the rest of the ring and the records past it. A medium gone
// (a removed device's errno, or detached) is recorded as its removal.
TEST_F(CbrParse, MediumFailureKeepsTheSpansNotReached)
{
    fake_module *fake = addFake(kKeepsFence);
    fake->keep_fence = 1;
    constexpr size_t kSpans = 2000, kFailing = 512;
    std::vector<cbr_span> spans;
    for (size_t i = 0; i < kSpans; i++)
        spans.push_back(detected(i * kBlock, kKeepsFence));
    struct Case {
        const char *what;
        int errnum;     // of every read from span kFailing on; -1: the medium is detached there instead
        size_t measured; // spans measured before measuring stopped
        bool gone;
    };
    const Case cases[] = {
        {"device gone", ENODEV, kFailing, true},
        {"no such address", ENXIO, kFailing, true},
        {"data ends", 0, kFailing, false},
        {"detached", -1, kFailing + 1, true}, // span kFailing itself is still read
    };
    std::vector<std::unique_ptr<mediatest::FaultyCard>> cards; // outlive the scans
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        clear_errors();
        fake->extracted = 0;
        cards.push_back(std::make_unique<mediatest::FaultyCard>(dir / (std::string(c.what) + ".img"),
                                                                 everyBlock(kSpans)));
        mediatest::FaultyCard &card = *cards.back();
        card.gone_errno = c.errnum;
        Media *m = attachedMedium(card.path, MEDIA_FILE, (int64_t)card.content.size());
        ScanContext *scan = thoroughScan(m);
        ASSERT_EQ(media_retain(m), 0);
        ASSERT_EQ(setup_reader(m, false, nullptr), 0); // as the block loop leaves it
        writeSpans(scan->store, spans);
        g_fake.on_extract = [&](fil_module *, cbr_span *span) {
            if (span->start != kFailing * kBlock)
                return;
            if (c.errnum < 0) {
                EXPECT_EQ(scx_media_removed(card.path.c_str(), 0), 0);
            } else {
                card.gone = 0;
            }
        };
        EXPECT_EQ(cbr_parse_spans(scan->store), -1);
        EXPECT_EQ(fake->extracted, (int)kFailing + 1);
        EXPECT_EQ(error_list_str(), "[425]");
        EXPECT_TRUE(logged("cbr_parse_spans: measuring stopped at span " + std::to_string(kFailing) + " of 2000"));
        const std::vector<cbr_span> kept = readSpans(scan->store);
        EXPECT_EQ(starts(kept), starts(spans));
        ASSERT_EQ(kept.size(), kSpans);
        for (size_t i = 0; i < kSpans; i++) {
            const bool measured = i < c.measured;
            ASSERT_EQ(kept[i].state, measured ? CBR_SPAN_DETECTED | CBR_SPAN_MEASURED : CBR_SPAN_DETECTED) << i;
            ASSERT_EQ(kept[i].end, measured ? kept[i].start + kHeaderSize : kept[i].start) << i;
        }
        EXPECT_EQ(cbr_store_of(scan->store)->span_count, kSpans);
        EXPECT_FALSE(std::filesystem::exists(storeFile(scan->store, "spans1")));
        EXPECT_EQ(scx_media(scan) == nullptr, c.gone);
        EXPECT_EQ(scan->detached_paths, c.gone ? std::vector<std::string>{card.path} : std::vector<std::string>{});
        g_fake.on_extract = nullptr;
        media_rd_close(m);
        media_release(m);
    }
}

// A scan without a single start leaves empty "spans", "gaps" and
// "cbrnames": the tree step then makes an empty catalog.
TEST_F(CbrParse, NoSpansLeavesEmptyFiles)
{
    addFake();
    fs_record *store = parseSetUp(everyBlock(1), {});
    ASSERT_EQ(cbr_parse_spans(store), 0);
    for (const char *name : {"spans", "gaps", "cbrnames"}) {
        EXPECT_TRUE(std::filesystem::exists(storeFile(store, name))) << name;
        EXPECT_EQ(zvtest::readFile(storeFile(store, name)), "") << name;
    }
    EXPECT_TRUE(logged("No CBR spans to process"));
    EXPECT_EQ(n_errors(), 0);
}

// A virtual-file type over "spans1" that refuses to open it or fails its
// writes after some records.
struct FailingSpans1 {
    std::string path;
    int64_t writes_left = -1; // -1: the open fails
    vf_ops ops{};

    FailingSpans1(std::string file, int64_t writes) : path(std::move(file)), writes_left(writes)
    {
        if (writes_left < 0)
            ops.open = [](file_t *, const char *, int) -> file_t * { return nullptr; };
        ops.write = [](file_t *f, const void *buffer, int64_t count) -> int64_t {
            auto *self = static_cast<FailingSpans1 *>(f->vf->arg);
            if (self->writes_left == 0) {
                file_write_failed = 1;
                return -3;
            }
            self->writes_left--;
            const int64_t done = (int64_t)std::fwrite(buffer, 1, (size_t)count, f->fp);
            f->pos += done;
            return done;
        };
        if (file_register_vf(path.c_str(), &ops, this) == nullptr)
            throw std::runtime_error("can't register " + path);
    }
    ~FailingSpans1()
    {
        static const vf_ops none{};
        file_register_vf(path.c_str(), &none, nullptr);
    }
};

// "spans1" cannot be made, or its writes fail while measuring: the starts
// of the block loop stay in "spans" as they were, no partial "spans1"
// remains, and the failure is reported.
TEST_F(CbrParse, Spans1FailuresKeepSpans)
{
    addFake(kKeepsFence)->keep_fence = 1;
    std::vector<cbr_span> spans;
    for (size_t i = 0; i < 40; i++)
        spans.push_back(detected(i * kBlock, kKeepsFence));
    fs_record *store = parseSetUp(everyBlock(40), spans);
    const std::string original = zvtest::readFile(storeFile(store, "spans"));
    {
        FailingSpans1 failing(storeFile(store, "spans1"), -1);
        EXPECT_EQ(cbr_parse_spans(store), -1);
        EXPECT_TRUE(logged("Parsing CBR spans aborted"));
        EXPECT_TRUE(zvtest::readFile(storeFile(store, "spans")) == original) << "spans changed";
        EXPECT_FALSE(std::filesystem::exists(storeFile(store, "spans1")));
    }
    {
        FailingSpans1 failing(storeFile(store, "spans1"), 10);
        EXPECT_EQ(cbr_parse_spans(store), 0);
        EXPECT_EQ(file_write_error_occurred(), 1);
        EXPECT_NE(error_list_str().find("423"), std::string::npos) << error_list_str();
        EXPECT_TRUE(zvtest::readFile(storeFile(store, "spans")) == original) << "spans changed";
        EXPECT_FALSE(std::filesystem::exists(storeFile(store, "spans1")));
    }
}

// The workspace is full while the spans are parsed: the measured spans,
// "gaps" and "cbrnames" fail only when closed; each failure is reported
// (593, the write-error flag) and "spans" keeps the starts found.
TEST_F(CbrParse, FullWorkspaceKeepsSpans)
{
    addFake(kKeepsFence)->keep_fence = 1;
    std::vector<cbr_span> spans;
    for (size_t i = 0; i < 40; i++)
        spans.push_back(detected(i * kBlock, kKeepsFence));
    fs_record *store = parseSetUp(everyBlock(40), {});
    zvtest::Mount full = zvtest::Mount::tmpfs(dir_path(store->folder), "size=64k,mode=0700");
    writeSpans(store, spans);
    const std::string original = zvtest::readFile(storeFile(store, "spans"));
    zvtest::run("dd if=/dev/zero of='" + storeFile(store, "filler") + "' bs=4096 2>/dev/null");
    EXPECT_EQ(cbr_parse_spans(store), 0);
    EXPECT_EQ(file_write_error_occurred(), 1);
    EXPECT_NE(error_list_str().find("593"), std::string::npos) << error_list_str();
    for (const char *name : {"spans1", "gaps", "cbrnames"})
        EXPECT_TRUE(logged(std::string("cbr_parse_spans: Can't write ") + name)) << name;
    EXPECT_TRUE(zvtest::readFile(storeFile(store, "spans")) == original) << "spans changed";
    EXPECT_FALSE(std::filesystem::exists(storeFile(store, "spans1")));
    full.unmount();
}

// A link put at a file the thorough scan writes in its store's folder
// ("spans1", "gaps" and "cbrnames" as measuring opens them; "spans", "gaps"
// and "cbrnames" made empty when there is nothing to measure; "spans" as
// the block loop opens it) is never written through: its target stays as
// it was.
TEST_F(CbrParse, StoreFilesAreNeverWrittenThroughALink)
{
    addFake(kKeepsFence)->keep_fence = 1;
    fs_record *store = parseSetUp(everyBlock(4), {detected(0, kKeepsFence)});
    const std::string victim = dir / "victim.img";
    zvtest::writeFile(victim, "card"); // shorter than a span: read as no spans
    const auto plant = [&](const char *name) {
        std::filesystem::remove(storeFile(store, name));
        std::filesystem::create_symlink(victim, storeFile(store, name));
    };
    const auto untouched = [&](const char *name) {
        EXPECT_EQ(zvtest::readFile(victim), "card") << "written through " << name;
        std::filesystem::remove(storeFile(store, name));
    };
    for (const char *name : {"spans1", "gaps", "cbrnames"}) {
        plant(name);
        EXPECT_EQ(cbr_parse_spans(store), -1) << name;
        untouched(name);
    }
    for (const char *name : {"spans", "gaps", "cbrnames"}) {
        writeSpans(store, {});
        plant(name);
        cbr_parse_spans(store);
        untouched(name);
    }
    plant("spans");
    EXPECT_EQ(cbr_open_spans(store), -3);
    untouched("spans");
}

// A FAT boot sector found twice at the same place: its volume is walked
// once into the FAT catalog, and it leaves no span, so no file under
// "Reconstructed Files", and no gap.
TEST_F(CbrParse, FatSpanIsWalkedNotKept)
{
    ASSERT_NE(fat_describe(), nullptr);
    addFake();
    const std::string image = dir / "fat.img";
    zvtest::makeFat(image, 16, 20480);
    zvtest::fatPut(image, "CARD.BIN", fakeFile(3000), 1262347445);
    const std::string bytes = zvtest::readFile(image);
    const size_t file = bytes.find("ZVFK");
    ASSERT_NE(file, std::string::npos);
    cbr_span boot = detected(0, FIL_MODULE_FAT);
    boot.state = 0;
    fs_record *store = parseSetUp(bytes, {boot, boot, detected(file)});
    ASSERT_EQ(cbr_parse_spans(store), 0);
    EXPECT_EQ(starts(readSpans(store)), (std::vector<uint64_t>{file}));
    EXPECT_TRUE(readGaps(store).empty());

    fs_record *fat = fil_module_find(FIL_MODULE_FAT)->fs;
    ASSERT_NE(fat, nullptr);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(storeFile(fat, "cat.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt *stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT size FROM nodes WHERE name = 'CARD.BIN';", -1, &stmt, nullptr), SQLITE_OK);
    int rows = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        EXPECT_EQ(sqlite3_column_int64(stmt, 0), 3000);
        rows++;
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    EXPECT_EQ(rows, 1);
}

} // namespace
