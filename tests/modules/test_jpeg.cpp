// The JPEG module: the walk over markers and segments, recognise, the
// search for starts across blocks, the multi-picture index, and the measure
// of a span on a medium, bounded by the medium, max_file_size, the next
// span and the starts its headers pass, with the fence raised to the
// file's end (or to the end of the last image its index lists). The JPEGs
// are made at test time (jpeg_test_support.h); damaged ones by cutting and
// poking them. The store's look-ahead and fence are stand-ins that keep the
// contract of cbr_next_span and cbr_raise_high_water, so the bounds are
// seen exactly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "foundation/engine_status.h"
#include "foundation/prefs.h"
#include "foundation/properties.h"
#include "foundation/strings.h"
#include "foundation/workdir.h"
#include "foundation/workspace.h"
#include "modules/jpeg.h"
#include "modules/jpeg_test_support.h"
#include "scan/path_index.h"
#include "scan/scan_context.h"
#include "scan/thorough/cbr_store.h"
#include "scan/thorough/nameseq.h"
#include "storage/media.h"
#include "storage/media_test_support.h"
#include "support/jpeg_support.h"
#include "support/test_support.h"

namespace {

using namespace jpegtest;

// --- the store stand-in --------------------------------------------------------------

// Spans ahead of the one measured (ascending starts) and the fence, with
// cbr_next_span's contract: the first span starting after `after`, null
// once a span beyond a non-zero limit comes first or none is left.
struct FakeStore {
    std::vector<uint64_t> starts;
    int64_t fence = 0;
    int raised = 0;
    struct Ask {
        int64_t after, limit;
    };
    std::vector<Ask> asked;
    cbr_span out{};
};
FakeStore *g_store = nullptr;

const cbr_span *fake_next_span(fs_record *, const path_index_entry *const *, size_t, int64_t after, int64_t limit,
                               int16_t, int64_t *last_start)
{
    g_store->asked.push_back({after, limit});
    int64_t seen = 0;
    for (uint64_t start : g_store->starts) {
        if (limit != 0 && (int64_t)start > limit)
            break;
        seen = (int64_t)start;
        if ((int64_t)start > after) {
            g_store->out = cbr_span{};
            g_store->out.start = start;
            g_store->out.end = start;
            return &g_store->out;
        }
    }
    if (last_start != nullptr && !g_store->starts.empty())
        *last_start = seen;
    return nullptr;
}

void fake_raise(fs_record *, int64_t position)
{
    g_store->raised++;
    g_store->fence = std::max(g_store->fence, position);
}

class JpegModule : public testing::Test {
protected:
    void SetUp() override
    {
        fil_testing::clear_registry();
        prefs_reset();
        module = reinterpret_cast<jpeg_module *>(jpeg_describe());
        ASSERT_NE(module, nullptr);
        module->next_span = fake_next_span;
        module->raise_high_water = fake_raise;
        g_store = &store;
    }
    void TearDown() override
    {
        clear_run_flags();
        for (Media *m : opened)
            media_release(m);
        fil_module_set_store_hooks(nullptr);
        scx_testing::reset();
        dir_free(&workspace);
        media_free_all();
        fil_testing::clear_registry();
        prefs_reset();
        g_store = nullptr;
    }
    fs_record *store_ptr() { return reinterpret_cast<fs_record *>(&store); }

    // A medium over `before` bytes, the file, then `after`.
    Media *medium(const Bytes &before, const Bytes &file, const Bytes &after)
    {
        const std::string path = dir / ("card" + std::to_string(++media_count) + ".img");
        zvtest::writeFile(path, before + file + after);
        Media *m = media_attach_file(path.c_str());
        if (m == nullptr || media_retain(m) != 0) {
            ADD_FAILURE() << "media_attach_file " << path;
            return nullptr;
        }
        opened.push_back(m);
        return m;
    }
    // Measures the span starting at `start`, the medium positioned there as
    // the registry leaves it.
    int measure(Media *m, uint64_t start, cbr_span *span_out = nullptr)
    {
        cbr_span span{};
        span.start = start;
        span.subtype = JPEG_SUBTYPE;
        module->base.end_pos = 0;
        if (media_seek(m, (int64_t)start) != 0)
            return -100;
        const int rc = jpeg_extract(&module->base, m, store_ptr(), &span);
        if (span_out != nullptr)
            *span_out = span;
        return rc;
    }
    static Bytes noise(size_t n, uint32_t seed)
    {
        Bytes out(n, '\0');
        for (size_t i = 0; i < n; i++) {
            seed = seed * 1664525u + 1013904223u;
            out[i] = (char)(seed >> 24);
        }
        return out;
    }

    zvtest::TempDir dir;
    jpeg_module *module = nullptr;
    FakeStore store;
    work_dir *workspace = nullptr;
    int media_count = 0;
    std::vector<Media *> opened; // retained by medium()
};

using JpegWalk = JpegModule;

// --- the walk --------------------------------------------------------------------------

TEST_F(JpegWalk, RealFilesWalkToTheirEndInAnyPieces)
{
    for (const auto &[name, s] : Samples::get().all) {
        SCOPED_TRACE(name);
        const jpeg_walk whole = walk_all(s.bytes);
        ASSERT_EQ(whole.state, JPEG_WALK_END) << (int)whole.damage << " at " << whole.pos;
        EXPECT_EQ(whole.end, s.bytes.size());
        EXPECT_EQ(whole.width, s.width);
        EXPECT_EQ(whole.height, s.height);
        EXPECT_EQ(whole.frame_marker, s.frame);
        EXPECT_EQ(whole.identified != 0, s.identified);
        EXPECT_EQ(whole.components, name == "grey" ? 1u : 3u);
        if (s.frame == 0xC2) {
            EXPECT_GT(whole.scans, 1u);
        }
        if (s.preview != 0) {
            EXPECT_GT(whole.header_end, s.preview); // the preview lies in the headers
        }
        for (size_t piece : {1, 2, 7, 509, 4096}) {
            const jpeg_walk w = walk_all(s.bytes, piece);
            EXPECT_EQ(w.state, JPEG_WALK_END) << piece;
            EXPECT_EQ(w.end, whole.end) << piece;
            EXPECT_EQ(w.header_end, whole.header_end) << piece;
            EXPECT_EQ(w.scans, whole.scans) << piece;
        }
        // Every cut short of the end leaves the walk waiting for more.
        for (size_t cut : {(size_t)3, (size_t)whole.header_end, s.bytes.size() / 2, s.bytes.size() - 1}) {
            const jpeg_walk w = walk_all(s.bytes.substr(0, cut));
            EXPECT_NE(w.state, JPEG_WALK_END) << cut;
            EXPECT_NE(w.state, JPEG_WALK_DAMAGED) << cut;
        }
    }
}

TEST_F(JpegWalk, HandMadeStreams)
{
    struct Case {
        const char *name;
        Bytes bytes;
        int damage; // -1: complete
    };
    const Bytes fill("\xFF\xFF\xFF", 3);
    Bytes rst_cycle = "\x01";
    for (int i = 0; i < 20; i++)
        rst_cycle += Bytes("\xFF", 1) + (char)(0xD0 + i % 8) + "\x02";
    const Bytes dnl = kSOI + dqt() + frame(0xC0, 16, 0) + dht() + scan_header() + data() +
                      segment(0xDC, Bytes("\x00\x30", 2)) + kEOI;
    const std::vector<Case> cases = {
        {"minimal", minimal(), -1},
        {"fill bytes before markers and in the data",
         kSOI + fill + dqt().insert(1, fill) + frame(0xC0, 16, 8) + dht() + scan_header() + data() + fill + kEOI, -1},
        {"restart markers cycle 0 to 7", minimal(rst_cycle), -1},
        {"tables and a second scan between scans",
         kSOI + dqt() + frame(0xC2, 16, 8) + dht() + scan_header() + data() + dht() + segment(0xFE, "note") +
             scan_header() + data() + kEOI,
         -1},
        {"APP segments and an empty comment", kSOI + segment(0xE0, Bytes("JFIF\0\1\1", 7)) + segment(0xFE, "") +
                                                  segment(0xEF, "x") + minimal().substr(2),
         -1},
        {"height from DNL", dnl, -1},
        {"no SOI", "\xFF\xD9" + minimal().substr(2), JPEG_DAMAGE_SOI},
        {"data where a marker must stand", kSOI + Bytes("\x00", 1) + minimal().substr(2), JPEG_DAMAGE_MARKER},
        {"SOI again", kSOI + kSOI + minimal().substr(2), JPEG_DAMAGE_CODE},
        {"reserved code", kSOI + segment(0xF0, "abc") + minimal().substr(2), JPEG_DAMAGE_CODE},
        {"TEM", kSOI + Bytes("\xFF\x01", 2) + minimal().substr(2), JPEG_DAMAGE_CODE},
        {"short DQT", kSOI + segment(0xDB, Bytes(10, '\0')) + minimal().substr(2), JPEG_DAMAGE_LENGTH},
        {"length 1", kSOI + Bytes("\xFF\xE0\x00\x01", 4), JPEG_DAMAGE_LENGTH},
        {"frame length disagrees with components",
         kSOI + segment(0xC0, Bytes("\x08\x00\x08\x00\x10\x02\x01\x11\x00", 9)), JPEG_DAMAGE_FRAME},
        {"frame of width 0", kSOI + frame(0xC0, 0, 8), JPEG_DAMAGE_FRAME},
        {"frame of precision 1", kSOI + segment(0xC0, Bytes("\x01\x00\x08\x00\x10\x01\x01\x11\x00", 9)),
         JPEG_DAMAGE_FRAME},
        {"second frame", kSOI + frame(0xC0, 16, 8) + frame(0xC2, 16, 8), JPEG_DAMAGE_SECOND_FRAME},
        {"scan before frame", kSOI + dqt() + scan_header(), JPEG_DAMAGE_NO_FRAME},
        {"scan of 5 components", kSOI + frame(0xC0, 16, 8) + scan_header(5), JPEG_DAMAGE_SCAN},
        {"EOI before any scan", kSOI + dqt() + frame(0xC0, 16, 8) + kEOI, JPEG_DAMAGE_NO_SCAN},
        {"SOI inside the data", minimal(data() + kSOI + Bytes("\xFF\xE0", 2)), JPEG_DAMAGE_CODE},
        {"frame inside the data", minimal(data() + frame(0xC0, 16, 8)), JPEG_DAMAGE_CODE},
        {"restart out of order", minimal(Bytes("\x01\xFF\xD0\x02\xFF\xD2", 6)), JPEG_DAMAGE_RESTART},
        {"restart not starting at 0", minimal(Bytes("\x01\xFF\xD1", 3)), JPEG_DAMAGE_RESTART},
        {"stuffed zero cannot follow a table", minimal(data() + dht() + Bytes("\xFF\x00", 2)), JPEG_DAMAGE_CODE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t piece : {0, 1, 3}) {
            const jpeg_walk w = walk_all(c.bytes, piece);
            if (c.damage < 0) {
                EXPECT_EQ(w.state, JPEG_WALK_END) << (int)w.damage << " at " << w.pos;
                EXPECT_EQ(w.end, c.bytes.size());
            } else {
                EXPECT_EQ(w.state, JPEG_WALK_DAMAGED);
                EXPECT_EQ(w.damage, c.damage);
            }
        }
    }
    EXPECT_EQ(walk_all(dnl).height, 0x30u);
    EXPECT_EQ(walk_all(minimal()).width, 16u);
    // A pause stops once, right where the first scan's data begins.
    jpeg_walk w;
    jpeg_walk_init(&w);
    w.pause = 1;
    const Bytes two_scans = cases[3].bytes;
    const auto *p = reinterpret_cast<const uint8_t *>(two_scans.data());
    const size_t first = jpeg_walk_feed(&w, p, two_scans.size());
    EXPECT_EQ(first, w.header_end);
    EXPECT_EQ(first + jpeg_walk_feed(&w, p + first, two_scans.size() - first), two_scans.size());
    EXPECT_EQ(w.state, JPEG_WALK_END);
    EXPECT_EQ(w.scans, 2u);
}

// --- registration and recognise ------------------------------------------------------------

TEST_F(JpegModule, RegistersOneImagesJpegKind)
{
    fil_module *m = &module->base;
    EXPECT_EQ(fil_module_find(fil_module_code("jpeg")), m);
    EXPECT_EQ(jpeg_describe(), m); // found again, not made twice
    EXPECT_EQ(fil_module_count(), 1);
    EXPECT_EQ(m->filter, (uint32_t)FIL_FILTER_1);
    EXPECT_EQ(m->fs_init, nullptr);
    EXPECT_EQ(m->fs_type, 0);
    EXPECT_EQ(m->prefilter, nullptr); // every block reaches its own detect
    EXPECT_EQ(m->detect, jpeg_detect);
    EXPECT_EQ(m->end_blocks, jpeg_end_blocks);
    EXPECT_EQ(m->measure, nullptr);
    EXPECT_EQ(m->naming, nullptr);
    EXPECT_EQ(m->enabled, 1);
    ASSERT_EQ(m->subtype_count, 2u);
    EXPECT_EQ(m->subtypes, module->kinds);
    EXPECT_STREQ(m->subtypes[1].extension, "jpg");
    EXPECT_STREQ(m->subtypes[1].prefix, "");
    const char *const jpeg_path[] = {"JPEG"};
    nameseq_node *images = nameseq_category_node(NAMESEQ_IMAGES);
    EXPECT_EQ(m->subtypes[1].type_folder, images != nullptr ? nameseq_find_in(images, jpeg_path, 1, false) : nullptr);
    EXPECT_EQ(module->max_file_size, 0x40000000);
    EXPECT_EQ(module->min_image_dim, 64);
    const path_index_entry *entry = path_index_lookup("Images/JPEG/.jpg");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(path_index_entry_kinds(entry), std::vector<uint64_t>{path_index_kind_key(JPEG_MODULE_ID, 1)});
    EXPECT_NE(path_index_find_kind(path_index_kind_key(JPEG_MODULE_ID, 1), {path_index_lookup("Images")}), nullptr);

    // Preferences come from "File Modules/Images".
    const std::string section = std::string(localize_cstring("File Modules")) + "/" + localize_cstring("Images");
    ASSERT_EQ(prefs_set_int(section.c_str(), "enabled", 0), 0);
    ASSERT_EQ(prefs_set_int(section.c_str(), "max_file_size", 12345), 0);
    ASSERT_EQ(prefs_set_int(section.c_str(), "min_image_dim", 0), 0);
    fil_module_load_all_prefs();
    EXPECT_EQ(m->enabled, 0);
    EXPECT_EQ(module->max_file_size, 12345);
    EXPECT_EQ(module->min_image_dim, 0);
    ASSERT_EQ(prefs_set_int(section.c_str(), "max_file_size", 0), 0); // out of range: the default
    ASSERT_EQ(m->scan_prepare(m), 0);
    EXPECT_EQ(module->max_file_size, 0x40000000);
}

TEST_F(JpegModule, RecogniseTakesTheCodesAllowedFirst)
{
    fil_module *m = &module->base;
    // Exactly the codes recognise takes as the first segment.
    for (int code = 0; code < 256; code++) {
        Bytes block = kSOI + segment((uint8_t)code, Bytes(80, '\0')) + minimal().substr(2);
        if (code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC)
            block = kSOI + frame((uint8_t)code, 16, 8) + dqt() + dht() + scan_header(); // zeros of data after
        block.resize(512, '\0');
        m->cur_subtype = 0;
        const int score = jpeg_recognise(m, reinterpret_cast<const uint8_t *>(block.data()), 512);
        EXPECT_EQ(score > 0, jpeg_first_marker_allowed((uint8_t)code)) << std::hex << code;
        EXPECT_EQ(m->cur_subtype, score > 0 ? 1 : 0) << std::hex << code;
    }
    for (int code : {0xC0, 0xC2, 0xC4, 0xDB, 0xDD, 0xE0, 0xE1, 0xEF, 0xFE})
        EXPECT_TRUE(jpeg_first_marker_allowed((uint8_t)code)) << code;
    for (int code : {0x00, 0x01, 0xC8, 0xD0, 0xD8, 0xD9, 0xDA, 0xDC, 0xDE, 0xF0, 0xFF})
        EXPECT_FALSE(jpeg_first_marker_allowed((uint8_t)code)) << code;
}

TEST_F(JpegModule, RecogniseScoresTheFirstBlock)
{
    fil_module *m = &module->base;
    for (const auto &[name, s] : Samples::get().all) {
        // A first block at an odd address scores as an aligned one.
        Bytes buffer = "x" + s.bytes.substr(0, 512);
        buffer.resize(513, '\0');
        EXPECT_EQ(jpeg_recognise(m, reinterpret_cast<const uint8_t *>(buffer.data()) + 1, 512), JPEG_SCORE_IDENTIFIED)
            << name;
        // Any other block of the file is not a start (its preview's is).
        for (size_t at = 512; at + 512 <= s.bytes.size(); at += 512 * 7)
            EXPECT_EQ(jpeg_recognise(m, reinterpret_cast<const uint8_t *>(s.bytes.data()) + at, 512), 0)
                << name << " " << at;
    }
    const Sample &exif = Samples::get()["exif"];
    EXPECT_EQ(jpeg_recognise(m, reinterpret_cast<const uint8_t *>(exif.bytes.data()) + exif.preview, 512),
              JPEG_SCORE_IDENTIFIED);
    const Bytes tables_first = kSOI + dqt() + frame(0xC0, 16, 8);
    EXPECT_EQ(jpeg_recognise(m, reinterpret_cast<const uint8_t *>(tables_first.data()), (int32_t)tables_first.size()),
              JPEG_SCORE);
    struct Refused {
        const char *name;
        Bytes block;
    };
    const std::vector<Refused> refused = {
        {"too short for the first length", Bytes("\xFF\xD8\xFF\xE0\x00", 5)},
        {"length below 2", Bytes("\xFF\xD8\xFF\xE0\x00\x01", 6) + Bytes(506, '\0')},
        {"a damaged segment later in the block", kSOI + dqt() + Bytes("\xFF\xD8", 2) + Bytes(400, '\0')},
        {"zeros where the next marker must stand", kSOI + segment(0xE0, "JFIF") + Bytes(500, '\0')},
        {"scan before frame", kSOI + dqt() + scan_header() + Bytes(400, '\0')},
        {"not SOI", Bytes("\xFF\xD9\xFF\xE0\x00\x10", 6) + Bytes(506, '\0')},
    };
    for (const Refused &r : refused) {
        m->cur_subtype = 0;
        EXPECT_EQ(jpeg_recognise(m, reinterpret_cast<const uint8_t *>(r.block.data()), (int32_t)r.block.size()), 0)
            << r.name;
        EXPECT_EQ(m->cur_subtype, 0) << r.name;
    }
    EXPECT_EQ(jpeg_recognise(m, nullptr, 512), 0);
}

// --- measuring -------------------------------------------------------------------------------

TEST_F(JpegModule, MeasuresRealFilesAtAnyOffset)
{
    const Bytes tails[] = {Bytes(5000, '\0'), noise(7000, 9), Samples::get()["baseline"].bytes};
    for (const auto &[name, s] : Samples::get().all) {
        if (name == "thumb")
            continue; // below min_image_dim: see MinImageDimLeavesThumbnailsOut
        for (size_t offset : {(size_t)0, (size_t)65, (size_t)512 * 9, (size_t)4096 * 3 + 1}) {
            for (const Bytes &tail : tails) {
                SCOPED_TRACE(name + " at " + std::to_string(offset));
                store = FakeStore();
                Media *m = medium(noise(offset, (uint32_t)offset), s.bytes, tail);
                ASSERT_NE(m, nullptr);
                cbr_span span{};
                ASSERT_EQ(measure(m, offset, &span), 0);
                const uint64_t end = offset + s.bytes.size();
                EXPECT_EQ(module->base.end_pos, end);
                EXPECT_EQ(module->base.cur_subtype, JPEG_SUBTYPE);
                EXPECT_EQ(span.value1, s.width);
                EXPECT_EQ(span.value2, s.height);
                EXPECT_EQ(store.fence, (int64_t)end);
                EXPECT_EQ(store.raised, 1);
                // One look-ahead from the start, limited to the bound: with
                // no start ahead there is nothing more to ask.
                ASSERT_EQ(store.asked.size(), 1u);
                EXPECT_EQ(store.asked[0].after, (int64_t)offset);
                EXPECT_EQ(store.asked[0].limit, media_length(m));
                // The measured range is the file, byte for byte.
                std::string back(s.bytes.size(), '\0');
                ASSERT_EQ(media_seek(m, (int64_t)offset), 0);
                ASSERT_EQ(media_read(m, back.data(), (int64_t)back.size()), (int64_t)back.size());
                EXPECT_TRUE(back == s.bytes);
            }
        }
    }
}

TEST_F(JpegModule, ExifPreviewAtABlockStartNeitherEndsNorCutsTheFile)
{
    for (const char *name : {"exif", "exif_progressive"}) {
        SCOPED_TRACE(name);
        const Sample &s = Samples::get()[name];
        ASSERT_GT(s.preview, 0u);
        // The file placed so that its preview's SOI starts a block: the
        // block loop finds both starts.
        const size_t offset = 8192 - s.preview % 512;
        const uint64_t preview_start = offset + s.preview;
        ASSERT_EQ(preview_start % 512, 0u);
        const Bytes after = noise(3000, 5);
        Media *m = medium(noise(offset, 1), s.bytes, after);
        ASSERT_NE(m, nullptr);
        EXPECT_GT(jpeg_recognise(&module->base,
                                 reinterpret_cast<const uint8_t *>(s.bytes.data()) + s.preview, 512),
                  0);
        store = FakeStore();
        const uint64_t end = offset + s.bytes.size();
        store.starts = {preview_start, end + 1024};
        cbr_span span{};
        ASSERT_EQ(measure(m, offset, &span), 0);
        EXPECT_EQ(module->base.end_pos, end); // not the preview's EOI, not cut at its start
        EXPECT_EQ(store.fence, (int64_t)end);  // the preview's span falls below the fence
        EXPECT_EQ(span.value1, 640u);
    }
}

TEST_F(JpegModule, BoundsOfTheMeasure)
{
    const Sample &s = Samples::get()["progressive"];
    const size_t offset = 1024;
    const uint64_t end = offset + s.bytes.size();
    const int64_t header_end = (int64_t)walk_all(s.bytes).header_end;
    struct Case {
        const char *name;
        std::vector<uint64_t> starts; // later spans
        int64_t max_file_size;
        size_t medium_tail;           // bytes after the file (-n: the file cut)
        int64_t cut;
        int expect;
    };
    const int64_t size = (int64_t)s.bytes.size();
    const std::vector<Case> cases = {
        {"a later start inside the data cuts the file", {offset + 4096}, 0, 1000, 0, JPEG_NOT_MEASURED},
        {"a start right after the headers cuts it", {offset + (uint64_t)header_end + 1}, 0, 1000, 0,
         JPEG_NOT_MEASURED},
        {"a start at the headers' end is inside them", {offset + (uint64_t)header_end}, 0, 1000, 0, 0},
        {"a start just past the end leaves it whole", {end}, 0, 1000, 0, 0},
        {"max_file_size one byte short", {}, size - 1, 1000, 0, JPEG_NOT_MEASURED},
        {"max_file_size the file's size", {}, size, 1000, 0, 0},
        {"max_file_size below the headers", {}, 100, 1000, 0, JPEG_NOT_MEASURED},
        {"the medium ends one byte early", {}, 0, 0, 1, JPEG_NOT_MEASURED},
        {"the medium ends at the file's end", {}, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        store = FakeStore();
        store.starts = c.starts;
        module->max_file_size = c.max_file_size > 0 ? c.max_file_size : JPEG_DEFAULT_MAX_FILE_SIZE;
        Media *m = medium(noise(offset, 2), s.bytes.substr(0, s.bytes.size() - (size_t)c.cut),
                          Bytes(c.medium_tail, '\0'));
        ASSERT_NE(m, nullptr);
        const int rc = measure(m, offset);
        EXPECT_EQ(rc, c.expect);
        if (rc == 0) {
            EXPECT_EQ(module->base.end_pos, end);
            EXPECT_EQ(store.fence, (int64_t)end);
        } else {
            EXPECT_EQ(store.raised, 0);
        }
        // The look-ahead is always limited, to the bound known then: from
        // the start (the starts the headers pass), then, when a start lies
        // ahead, after the headers (the start that cuts the data).
        const int64_t bound = std::min<int64_t>(media_length(m), (int64_t)offset + module->max_file_size);
        const bool ahead = !c.starts.empty() && (int64_t)c.starts[0] < bound;
        ASSERT_EQ(store.asked.size(), ahead ? 2u : 1u);
        EXPECT_EQ(store.asked[0].after, (int64_t)offset);
        EXPECT_EQ(store.asked[0].limit, bound);
        if (ahead) {
            EXPECT_EQ(store.asked[1].after, (int64_t)offset + header_end);
            EXPECT_EQ(store.asked[1].limit, bound);
        }
    }
    // No store (a measure outside a thorough scan): bounded by the medium only.
    store = FakeStore();
    module->max_file_size = JPEG_DEFAULT_MAX_FILE_SIZE;
    Media *m = medium(Bytes(), s.bytes, Bytes());
    ASSERT_NE(m, nullptr);
    cbr_span span{};
    ASSERT_EQ(media_seek(m, 0), 0);
    EXPECT_EQ(jpeg_extract(&module->base, m, nullptr, &span), 0);
    EXPECT_EQ(module->base.end_pos, s.bytes.size());
    EXPECT_TRUE(store.asked.empty());
    // A start at or beyond the medium's end measures nothing.
    for (uint64_t start : {(uint64_t)s.bytes.size(), (uint64_t)s.bytes.size() + 512, (uint64_t)~0ull}) {
        span.start = start;
        EXPECT_EQ(jpeg_extract(&module->base, m, store_ptr(), &span), JPEG_NOT_MEASURED) << start;
    }
    EXPECT_TRUE(store.asked.empty());
}

TEST_F(JpegModule, TruncatedAndDamagedFilesAreNotOffered)
{
    const Samples &samples = Samples::get();
    struct Case {
        std::string name;
        Bytes file;
    };
    std::vector<Case> cases;
    for (const char *name : {"baseline", "progressive", "exif", "restart"}) {
        const Bytes &b = samples[name].bytes;
        const size_t header_end = walk_all(b).header_end;
        for (size_t cut : {(size_t)10, header_end - 1, header_end + 100, b.size() / 2, b.size() - 2, b.size() - 1})
            cases.push_back({std::string(name) + " cut at " + std::to_string(cut), b.substr(0, cut)});
        // Followed at once by another file's bytes (no span marks it).
        cases.push_back({std::string(name) + " cut, another JPEG after", b.substr(0, b.size() / 2) +
                                                                             samples["grey"].bytes});
    }
    // Restart markers out of order: a block of another restart file's data.
    Bytes swapped = samples["restart"].bytes;
    const size_t r0 = swapped.find("\xFF\xD3", walk_all(swapped).header_end);
    ASSERT_NE(r0, std::string::npos);
    swapped[r0 + 1] = (char)0xD5;
    cases.push_back({"restart out of order", swapped});
    Bytes soi_in_data = samples["baseline"].bytes;
    soi_in_data.replace(soi_in_data.size() / 2, 4, "\xFF\xD8\xFF\xE0");
    cases.push_back({"SOI inside the data", soi_in_data});
    Bytes bad_frame = samples["progressive"].bytes;
    const size_t sof = bad_frame.find("\xFF\xC2");
    ASSERT_NE(sof, std::string::npos);
    bad_frame[sof + 3] ^= 0x01; // its length
    cases.push_back({"frame length changed", bad_frame});

    for (const Case &c : cases) {
        for (const Bytes &tail : {Bytes(20000, '\0'), Bytes(20000, '\xFF')}) {
            SCOPED_TRACE(c.name);
            store = FakeStore();
            Media *m = medium(Bytes(512, '\0'), c.file, tail);
            ASSERT_NE(m, nullptr);
            EXPECT_EQ(measure(m, 512), JPEG_NOT_MEASURED);
            EXPECT_EQ(store.raised, 0);
        }
    }
    EXPECT_EQ(module->measured, 0u);
    EXPECT_EQ(module->not_measured, cases.size() * 2);
}

TEST_F(JpegModule, MinImageDimLeavesThumbnailsOut)
{
    const Samples &samples = Samples::get();
    struct Case {
        const char *sample;
        int64_t dim;
        int expect;
    };
    const Case cases[] = {
        {"thumb", 64, JPEG_TOO_SMALL}, // 48 x 36: both below
        {"thumb", 49, JPEG_TOO_SMALL},
        {"thumb", 48, 0},              // width not below
        {"thumb", 0, 0},               // off
        {"wide", 64, 0},               // 200 x 40: width not below
        {"wide", 201, JPEG_TOO_SMALL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.sample) + " " + std::to_string(c.dim));
        store = FakeStore();
        module->min_image_dim = c.dim;
        Media *m = medium(Bytes(), samples[c.sample].bytes, Bytes(100, '\0'));
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(measure(m, 0), c.expect);
        EXPECT_EQ(store.raised, c.expect == 0 ? 1 : 0); // a thumbnail claims nothing
    }
    EXPECT_EQ(module->too_small, 3u);
    // The counts are logged at the end of parsing and cleared by a reset.
    EXPECT_EQ(module->base.end_spans(&module->base, 0), 0);
    fil_module_reset(&module->base);
    EXPECT_EQ(module->too_small + module->measured + module->not_measured, 0u);
}

TEST_F(JpegModule, MeasuresThroughTheBlockReader)
{
    // As in the thorough scan: the medium read through its block reader,
    // whose requests must stay inside the medium; its length is not a
    // multiple of the block size and the file ends with it, or is cut by it.
    const Sample &s = Samples::get()["restart"];
    for (size_t cut : {(size_t)0, (size_t)1, (size_t)600}) {
        SCOPED_TRACE(cut);
        store = FakeStore();
        Media *m = medium(noise(1027, 3), s.bytes.substr(0, s.bytes.size() - cut), Bytes());
        ASSERT_NE(m, nullptr);
        ASSERT_NE(media_length(m) % 512, 0);
        ASSERT_EQ(setup_reader(m, false, nullptr), 0);
        EXPECT_EQ(measure(m, 1027), cut == 0 ? 0 : JPEG_NOT_MEASURED);
        EXPECT_EQ(store.fence, cut == 0 ? (int64_t)(1027 + s.bytes.size()) : 0);
        media_rd_close(m);
    }
}

TEST_F(JpegModule, ReadFailureAndAbortMeasureNothing)
{
    const Sample &s = Samples::get()["baseline"];
    // The medium's file shrinks after it was attached: reads come back short.
    Media *m = medium(Bytes(), s.bytes, Bytes(1000, '\0'));
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(truncate((dir / ("card" + std::to_string(media_count) + ".img")).c_str(), 3000), 0);
    EXPECT_EQ(measure(m, 0), JPEG_NOT_MEASURED);
    EXPECT_EQ(store.raised, 0);

    Media *whole = medium(Bytes(), s.bytes, Bytes());
    ASSERT_NE(whole, nullptr);
    begin_run_flags();
    ASSERT_EQ(request_abort(), 0);
    EXPECT_EQ(measure(whole, 0), MEDIA_ABORTED);
    clear_run_flags();
    EXPECT_EQ(measure(whole, 0), 0);
}

// Unreadable blocks reach the measure as zeros (the block reader's). One
// inside the file is a hole in it; a second one bounds the file at its
// start, since the end of this file and the start of the next may both lie
// there: without the bound, the zeroed end and the next file's zeroed first
// block would let the walk run on through the next file to its end. The
// medium is a window eight sectors into its image, whose blocks the reader
// counts from the image's start.
TEST_F(JpegModule, UnreadableBlocksBoundTheFileAtTheSecond)
{
    const Sample &s = Samples::get()["baseline"];
    const Sample &next = Samples::get()["progressive"];
    const int64_t window = 4096, at = 1024; // the file's medium position
    const int64_t size = (int64_t)s.bytes.size();
    const Bytes pad((size_t)((512 - size % 512) % 512), '\0');
    const int64_t mid = (window + at + size / 2) / 512;      // image blocks
    const int64_t last = (window + at + size - 1) / 512;     // holds the EOI
    struct Case {
        const char *what;
        std::vector<int64_t> bad;
        int rc;
    };
    const Case cases[] = {
        {"one block inside", {mid}, 0},
        {"two blocks inside", {mid, mid + 3}, JPEG_NOT_MEASURED},
        {"one inside, one where the next file starts", {mid, last + 1}, 0},
        {"one inside, one holding the end", {mid, last}, JPEG_NOT_MEASURED},
        {"one inside, one shortly before the end", {mid, last - 2}, JPEG_NOT_MEASURED},
        {"the end and the next file's start", {last, last + 1}, JPEG_NOT_MEASURED},
    };
    int number = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        store = FakeStore();
        mediatest::FaultyCard card(dir / ("faulty" + std::to_string(++number) + ".img"),
                                   Bytes((size_t)window, 'w') + noise((size_t)at, 5) + s.bytes + pad + next.bytes +
                                       Bytes(4096, '\0'));
        card.bad = c.bad;
        Media *m = mediatest::fileMedium(card.path);
        m->start_pos = m->orig_start_pos = window;
        ASSERT_EQ(media_retain(m), 0);
        ASSERT_EQ(setup_reader(m, false, nullptr), 0);
        cbr_span span{};
        EXPECT_EQ(measure(m, (uint64_t)at, &span), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(module->base.end_pos, (uint64_t)(at + size));
        }
        EXPECT_EQ(store.fence, c.rc == 0 ? at + size : 0);
        media_rd_close(m);
        media_release(m);
    }
}

// --- through the registry ------------------------------------------------------------------

struct RegistryStore {
    cbr_span current{};
    std::vector<cbr_span> written;
    std::vector<std::string> names;
};
RegistryStore *g_registry = nullptr;

TEST_F(JpegModule, DetectMeasureAndNameThroughTheRegistry)
{
    RegistryStore rs;
    g_registry = &rs;
    const fil_store_hooks hooks{
        [](fs_record *) { return &g_registry->current; },
        [](fs_record *) {
            g_registry->written.push_back(g_registry->current);
            return 0;
        },
        [](nameseq_node *) -> const char * { return "00001"; },
        [](nameseq_node *, const char *name, cbr_span *) {
            g_registry->names.push_back(name);
            return 0;
        },
    };
    fil_module_set_store_hooks(&hooks);
    const Sample &s = Samples::get()["exif"];
    Media *m = medium(Bytes(4096, '\0'), s.bytes, Bytes(4096, '\0'));
    ASSERT_NE(m, nullptr);
    engine_set_workspace_name("Zorvant");
    workspace = dir_new(nullptr, (dir / "ZorvantWorkspace").c_str());
    ASSERT_NE(workspace, nullptr);
    ScanContext *scan = scx_new(SCX_TYPE_QUICK, m, workspace);
    ASSERT_NE(scan, nullptr);
    scan->store = store_ptr(); // only handed back to the hooks and the stand-ins
    module->base.scan = scan;
    nameseq_node folder;
    if (module->kinds[1].type_folder == nullptr)
        module->kinds[1].type_folder = &folder;

    // The file's block holds two starts: the file's and its preview's.
    ASSERT_LE(s.preview + JPEG_RECOGNISE_WINDOW, 4096u);
    ASSERT_EQ(media_seek(m, 0), 0);
    uint8_t block[4096];
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(media_read(m, block, sizeof block), (int64_t)sizeof block);
        module->base.cur_subtype = 0;
        EXPECT_EQ(fil_module_detect(&module->base, block, sizeof block), 2 * i);
    }
    ASSERT_EQ(rs.written.size(), 2u);
    EXPECT_EQ(rs.written[0].start, 4096u);
    EXPECT_EQ(rs.written[1].start, 4096u + s.preview);
    for (const cbr_span &start : rs.written) {
        EXPECT_EQ(start.end, start.start);
        EXPECT_EQ(start.state, CBR_SPAN_DETECTED);
        EXPECT_EQ(start.module_id, fil_module_code("jpeg"));
        EXPECT_EQ(start.subtype, JPEG_SUBTYPE);
        EXPECT_EQ(start.result, (uint32_t)JPEG_SCORE_IDENTIFIED);
    }
    EXPECT_EQ(module->kinds[1].starts, 2u);

    rs.current = rs.written[0];
    rs.current.subtype = 7; // a span read back with a subtype the module lacks is not measured
    EXPECT_EQ(fil_module_extract(&module->base), 2);
    ASSERT_EQ(rs.written.size(), 2u);
    rs.current = rs.written[0];
    ASSERT_EQ(fil_module_extract(&module->base), 0);
    ASSERT_EQ(rs.written.size(), 3u);
    const cbr_span &measured = rs.written[2];
    EXPECT_EQ(measured.start, 4096u);
    EXPECT_EQ(measured.end, 4096u + s.bytes.size());
    EXPECT_EQ(measured.state, CBR_SPAN_DETECTED | CBR_SPAN_MEASURED);
    EXPECT_EQ(measured.subtype, JPEG_SUBTYPE);
    EXPECT_EQ(measured.value1, 640u);
    EXPECT_EQ(measured.value2, 480u);

    EXPECT_EQ(fil_module_name_file(&module->base, &rs.written[2]), 0);
    EXPECT_EQ(rs.names, std::vector<std::string>{"00001.jpg"});
    module->base.scan = nullptr;
    g_registry = nullptr;
}

// --- the start search across blocks --------------------------------------------------------

struct Found {
    std::vector<int64_t> at;
    std::vector<Bytes> window;
};

void found_start(void *context, const uint8_t *bytes, size_t size, int64_t position)
{
    auto *f = static_cast<Found *>(context);
    f->at.push_back(position);
    f->window.emplace_back(reinterpret_cast<const char *>(bytes), size);
}

// The stream in pieces of the sizes given (the last one repeated) at
// consecutive positions from base, then the end of the blocks.
Found search(const Bytes &stream, std::vector<size_t> pieces, int64_t base = 0)
{
    jpeg_start_search s;
    jpeg_start_search_reset(&s);
    Found f;
    size_t at = 0;
    for (size_t i = 0; at < stream.size(); i++) {
        const size_t n = std::min(pieces[std::min(i, pieces.size() - 1)], stream.size() - at);
        jpeg_start_search_feed(&s, reinterpret_cast<const uint8_t *>(stream.data()) + at, n, base + (int64_t)at,
                               found_start, &f);
        at += n;
    }
    jpeg_start_search_flush(&s, found_start, &f);
    return f;
}

TEST(JpegStartSearch, EveryStartOnceWithItsWindowWhateverTheBlocks)
{
    // Bytes without FF (so without a start of their own), then starts put
    // where blocks of 512 cut them: FF D8 FF at 510 (FF D8 | FF), at 1023
    // (FF | D8 FF), two overlapping ones (FF D8 FF D8 FF) at 1100, one whose
    // window passes the block's end at 1400, one three bytes before the
    // stream's end; and FF or FF D8 at block ends that start nothing.
    Bytes stream(3000, '\0');
    for (size_t i = 0; i < stream.size(); i++)
        stream[i] = (char)((i * 7 + 3) % 0xFE);
    const auto put = [&](size_t at, const Bytes &bytes) { stream.replace(at, bytes.size(), bytes); };
    const Bytes start("\xFF\xD8\xFF", 3);
    put(510, start);
    put(1023, start);
    put(1100, Bytes("\xFF\xD8\xFF\xD8\xFF", 5));
    put(1400, start);
    put(1535, Bytes("\xFF\x00", 2));     // FF at a block end, no D8 after it
    put(2046, Bytes("\xFF\xD8\x12", 3)); // FF D8 at a block end, no FF after it
    put(2047 + 512, Bytes("\xFF\xD8\xD8", 3));
    put(stream.size() - 3, start);
    const std::vector<int64_t> starts = {510, 1023, 1100, 1102, 1400, (int64_t)stream.size() - 3};
    const std::vector<std::vector<size_t>> blockings = {{512}, {4096}, {513}, {511}, {100}, {1}, {2}, {3},
                                                        {511, 1, 1, 600}};
    for (const std::vector<size_t> &pieces : blockings) {
        SCOPED_TRACE("blocks of " + std::to_string(pieces[0]));
        const Found f = search(stream, pieces, 7000);
        ASSERT_EQ(f.at.size(), starts.size());
        for (size_t k = 0; k < starts.size(); k++) {
            EXPECT_EQ(f.at[k], 7000 + starts[k]);
            const size_t at = (size_t)starts[k];
            const Bytes &w = f.window[k];
            ASSERT_GE(w.size(), 3u);
            EXPECT_TRUE(w == stream.substr(at, w.size())) << at;
            // A whole window wherever the start lies, when the blocks hold one.
            if (pieces[0] >= JPEG_RECOGNISE_WINDOW && pieces.size() == 1) {
                EXPECT_EQ(w.size(), std::min<size_t>(JPEG_RECOGNISE_WINDOW, stream.size() - at)) << at;
            }
        }
    }
}

TEST(JpegStartSearch, ABlockThatDoesNotFollowEndsTheCarry)
{
    const Bytes first = Bytes(509, '\x11') + Bytes("\xFF\xD8\xFF", 3); // a start 3 bytes before the end
    const Bytes cut = Bytes(510, '\x11') + Bytes("\xFF\xD8", 2);        // FF D8 at the end
    const Bytes next = Bytes("\xFF", 1) + Bytes(511, '\x22');
    struct Case {
        const char *name;
        Bytes a;
        int64_t next_at;
        std::vector<int64_t> starts;
        size_t window; // of the first start
    };
    const std::vector<Case> cases = {
        {"following: the window completed", first, 512, {509}, JPEG_RECOGNISE_WINDOW},
        {"a gap: the start offered with its bytes", first, 513, {509}, 3},
        {"a block read again: the same", first, 0, {509}, 3},
        {"following: FF D8 | FF is a start", cut, 512, {510}, JPEG_RECOGNISE_WINDOW},
        {"a gap: FF D8 | FF is none", cut, 1024, {}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        jpeg_start_search s;
        jpeg_start_search_reset(&s);
        Found f;
        const auto feed = [&](const Bytes &b, int64_t at) {
            jpeg_start_search_feed(&s, reinterpret_cast<const uint8_t *>(b.data()), b.size(), at, found_start, &f);
        };
        feed(c.a, 0);
        EXPECT_TRUE(f.at.empty()); // not yet: its window or its bytes are open
        feed(next, c.next_at);
        jpeg_start_search_flush(&s, found_start, &f);
        EXPECT_EQ(f.at, c.starts);
        if (!c.starts.empty()) {
            EXPECT_EQ(f.window[0].size(), c.window);
        }
        // Reset forgets what is carried.
        feed(c.a, 0);
        jpeg_start_search_reset(&s);
        const size_t before = f.at.size();
        feed(next, 512);
        jpeg_start_search_flush(&s, found_start, &f);
        EXPECT_EQ(f.at.size(), before);
    }
}

// --- the bound of the headers ----------------------------------------------------------------

TEST_F(JpegModule, HeaderWalkGivesUpPastEightLaterStarts)
{
    // A file whose APP1 holds n previews (each a start the block loop
    // found) before its first scan: real headers hold one or two; a walk
    // that passes more than eight starts gives up, having read no further
    // than the ninth.
    const Bytes preview = kSOI + segment(0xE0, Bytes("JFIF\0\1\1", 7)) + Bytes(40, '\x05');
    module->min_image_dim = 0; // the hand-made image is 16 x 8
    for (int n : {0, 1, 8, 9, 20}) {
        SCOPED_TRACE(n);
        Bytes app1 = "Exif\0\0";
        std::vector<size_t> inside;
        for (int i = 0; i < n; i++) {
            inside.push_back(4 + 4 + app1.size());
            app1 += preview;
        }
        const Bytes file = kSOI + segment(0xE1, app1) + minimal().substr(2);
        store = FakeStore();
        const size_t offset = 4096;
        for (size_t at : inside)
            store.starts.push_back(offset + at);
        store.starts.push_back(offset + file.size() + 100); // the next file
        Media *m = medium(noise(offset, 3), file, Bytes(1000, '\0'));
        ASSERT_NE(m, nullptr);
        module->bytes_read = 0;
        const int rc = measure(m, offset);
        if (n <= 8) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(module->base.end_pos, offset + file.size());
        } else {
            EXPECT_EQ(rc, JPEG_NOT_MEASURED);
            EXPECT_EQ(store.raised, 0);
            EXPECT_LE(module->bytes_read, inside[8]);
        }
    }
}

// --- multi-picture files -------------------------------------------------------------------

TEST(JpegMultiPictureIndex, ParsesTheImageListOrRefusesIt)
{
    const std::vector<MpEntry> three = {{0x20030000, 5000, 0}, {0x00020002, 700, 4990}, {0x00020002, 300, 5690}};
    for (bool big : {false, true}) {
        const Bytes body = mpf_body(three, big);
        jpeg_mpf_image images[JPEG_MPF_MAX_IMAGES] = {};
        ASSERT_EQ(jpeg_mpf_parse(reinterpret_cast<const uint8_t *>(body.data()), body.size(), images,
                                 JPEG_MPF_MAX_IMAGES),
                  3);
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(images[i].attributes, three[i].attributes);
            EXPECT_EQ(images[i].size, three[i].size);
            EXPECT_EQ(images[i].offset, three[i].offset);
        }
    }
    // Damage at named offsets of the body (little-endian): 4 byte order,
    // 6 the 42, 8 the IFD offset, 12 the IFD's entry count, 14 + 12 k the
    // entries (the MP Entry tag third: its count at 42, its offset at 46).
    const Bytes good = mpf_body(three);
    const auto poke = [&](size_t at, const Bytes &bytes) { return Bytes(good).replace(at, bytes.size(), bytes); };
    const auto le32 = [](uint32_t v) { return Bytes{(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)}; };
    struct Case {
        const char *name;
        Bytes body;
    };
    const std::vector<Case> refused = {
        {"not MPF", poke(0, "MPX")},
        {"too short for the header", good.substr(0, 11)},
        {"no byte order", poke(4, "IM")},
        {"not 42", poke(6, Bytes("\x2B\0", 2))},
        {"IFD beyond the body", poke(8, le32((uint32_t)good.size()))},
        {"IFD offset near 2^32", poke(8, le32(0xFFFFFFF0u))},
        {"more IFD entries than the body holds", poke(12, Bytes("\xFF\xFF", 2))},
        {"no MP Entry tag", poke(38, Bytes("\x01\xB0", 2))},
        {"entry list beyond the body", poke(46, le32((uint32_t)good.size()))},
        {"entry list overflowing", poke(42, le32(0xFFFFFFF0u))},
        {"entry bytes not 16 a piece", poke(42, le32(47))},
        {"no entry", poke(42, le32(0))},
        {"the body cut inside the list", good.substr(0, good.size() - 1)},
    };
    for (const Case &c : refused) {
        jpeg_mpf_image images[JPEG_MPF_MAX_IMAGES];
        EXPECT_EQ(jpeg_mpf_parse(reinterpret_cast<const uint8_t *>(c.body.data()), c.body.size(), images,
                                 JPEG_MPF_MAX_IMAGES),
                  -1)
            << c.name;
    }
    // More images than the cap: refused, not cut.
    const Bytes many = mpf_body(std::vector<MpEntry>(JPEG_MPF_MAX_IMAGES + 1, MpEntry{0, 1, 1}));
    jpeg_mpf_image images[JPEG_MPF_MAX_IMAGES];
    EXPECT_EQ(jpeg_mpf_parse(reinterpret_cast<const uint8_t *>(many.data()), many.size(), images,
                             JPEG_MPF_MAX_IMAGES),
              -1);
    EXPECT_EQ(jpeg_mpf_parse(nullptr, 100, images, JPEG_MPF_MAX_IMAGES), -1);
}

TEST_F(JpegModule, MultiPictureFileTakesItsImages)
{
    const Samples &samples = Samples::get();
    const Bytes second = samples["exif"].bytes; // with a preview of its own
    const Bytes third = samples["wide"].bytes;
    for (bool big : {false, true}) {
        for (size_t n : {2, 3}) {
          for (size_t gap : {0, 700}) {
            SCOPED_TRACE(std::to_string(n) + (big ? " MM gap " : " II gap ") + std::to_string(gap));
            std::vector<Bytes> images = {samples["progressive"].bytes, second};
            if (n == 3)
                images.push_back(third);
            const Bytes file = mpo(images, big, {}, gap);
            const size_t second_at = file.size() - second.size() - (n == 3 ? third.size() + gap : 0);
            const size_t offset = 1027;
            // Every image and the preview in the second are starts.
            store = FakeStore();
            store.starts = {offset + second_at, offset + second_at + samples["exif"].preview};
            if (n == 3)
                store.starts.push_back(offset + second_at + second.size() + gap);
            store.starts.push_back(offset + file.size() + 1); // the next file
            Media *m = medium(noise(offset, 4), file, noise(5000, 5));
            ASSERT_NE(m, nullptr);
            module->bytes_read = 0;
            cbr_span span{};
            ASSERT_EQ(measure(m, offset, &span), 0);
            EXPECT_EQ(module->base.end_pos, offset + file.size());
            EXPECT_EQ(store.fence, (int64_t)(offset + file.size())); // the images' starts fall below it
            EXPECT_EQ(span.value1, 640u);
            // The file once, the index a second time.
            EXPECT_LE(module->bytes_read, file.size() + 65535);
          }
        }
    }
}

TEST_F(JpegModule, DamagedMultiPictureIndexKeepsTheFirstImage)
{
    const Samples &samples = Samples::get();
    const Bytes second = samples["grey"].bytes, third = samples["wide"].bytes;
    const size_t offset = 512;
    struct Case {
        const char *name;
        std::function<void(std::vector<MpEntry> &)> damage;
        std::function<void(Bytes &, size_t second_at)> poke; // on the file
        int64_t max_file_size;
        int extra_start; // a start (other than the images') this far from the second image's SOI
    };
    const size_t grey_header = walk_all(second).header_end;
    const std::vector<Case> cases = {
        {"an offset beyond the medium", [](auto &e) { e[2].offset = 0x7FFFFFF0; }, {}, 0, 0},
        {"a size overflowing", [](auto &e) { e[2].size = 0xFFFFFFFF; }, {}, 0, 0},
        {"a size one byte short", [](auto &e) { e[1].size -= 1; }, {}, 0, 0},
        {"a size one byte long", [](auto &e) { e[1].size += 1; }, {}, 0, 0},
        {"pointing backwards into the first image", [](auto &e) { e[1].offset = 100; }, {}, 0, 0},
        {"pointing at the first image", [](auto &e) { e[1].offset = 0; }, {}, 0, 0},
        {"listed out of order", [](auto &e) { std::swap(e[1], e[2]); }, {}, 0, 0},
        {"the first image not at 0", [](auto &e) { e[0].offset = 4; }, {}, 0, 0},
        {"a gap holding another start", {}, {}, 0, -50},
        {"a start inside the second image's data", {}, {}, 0, (int)grey_header + 100},
        {"the second image damaged", {}, [&](Bytes &f, size_t at) { f.replace(at + second.size() / 2, 2, "\xFF\xC0"); },
         0, 0},
        {"the last image past max_file_size", {}, {}, -1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // 100 bytes between the images: a start there is another file's.
        const size_t gap = 100;
        Bytes file = mpo({samples["baseline"].bytes, second, third}, false, c.damage, gap);
        const size_t first = file.size() - second.size() - third.size() - 2 * gap; // the first image's end
        const size_t second_at = first + gap;
        if (c.poke)
            c.poke(file, second_at);
        store = FakeStore();
        store.starts = {offset + second_at, offset + second_at + second.size() + gap};
        if (c.extra_start != 0) {
            store.starts.push_back(offset + second_at + c.extra_start);
            std::sort(store.starts.begin(), store.starts.end());
        }
        module->max_file_size = c.max_file_size < 0 ? (int64_t)file.size() - 1 : JPEG_DEFAULT_MAX_FILE_SIZE;
        Media *m = medium(noise(offset, 6), file, Bytes(3000, '\0'));
        ASSERT_NE(m, nullptr);
        module->bytes_read = 0;
        ASSERT_EQ(measure(m, offset), 0);
        EXPECT_EQ(module->base.end_pos, offset + first);
        EXPECT_EQ(store.fence, (int64_t)(offset + first));
        // Never a read outside the bound (the index is read twice).
        const int64_t bound = std::min<int64_t>(media_length(m) - (int64_t)offset, module->max_file_size);
        EXPECT_LE((int64_t)module->bytes_read, bound + 65535);
    }
}

} // namespace
