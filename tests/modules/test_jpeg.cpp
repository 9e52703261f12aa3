// The JPEG module: the walk over markers and segments, the prefilter and
// recognise, and the measure of a span on a medium, bounded by the medium,
// max_file_size and the next span, with the fence raised to the file's end.
// The JPEGs are made at test time with cjpeg (baseline, progressive,
// arithmetic-coded, greyscale, with restart markers) and exiftool (an Exif
// block holding a JPEG preview); damaged ones by cutting and poking them.
// The store's look-ahead and fence are stand-ins that keep the contract of
// cbr_next_span and cbr_raise_high_water, so the bounds are seen exactly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "engine/properties.h"
#include "foundation/engine_status.h"
#include "foundation/prefs.h"
#include "foundation/strings.h"
#include "foundation/workdir.h"
#include "foundation/workspace.h"
#include "modules/jpeg.h"
#include "scan/path_index.h"
#include "scan/scan_context.h"
#include "scan/thorough/cbr_store.h"
#include "scan/thorough/nameseq.h"
#include "storage/media.h"
#include "storage/media_test_support.h"
#include "support/jpeg_support.h"
#include "support/test_support.h"

namespace {

using Bytes = std::string;

// --- test images -------------------------------------------------------------------

using zvtest::ppm;

struct Sample {
    Bytes bytes;
    uint32_t width, height;
    uint8_t frame;       // frame header code
    bool identified;     // JFIF or Exif
    size_t preview = 0;  // offset of the Exif preview's SOI, 0 when none
};

// The JPEGs every test uses, made once per test program.
class Samples {
public:
    static const Samples &get()
    {
        static Samples samples;
        return samples;
    }
    std::map<std::string, Sample> all;
    const Sample &operator[](const std::string &name) const { return all.at(name); }

private:
    Samples()
    {
        for (const char *tool : {"cjpeg", "exiftool"})
            zvtest::requireTool(tool);
        const std::string d = dir.path();
        zvtest::writeFile(d + "/big.ppm", ppm(640, 480, 1));
        zvtest::writeFile(d + "/preview.ppm", ppm(160, 120, 2));
        zvtest::writeFile(d + "/thumb.ppm", ppm(48, 36, 3));
        zvtest::writeFile(d + "/wide.ppm", ppm(200, 40, 4));
        const auto make = [&](const std::string &name, const std::string &options, const std::string &ppm_name) {
            zvtest::mustRun("cjpeg " + options + " -outfile " + d + "/" + name + ".jpg " + d + "/" + ppm_name);
        };
        make("baseline", "-quality 90", "big.ppm");
        make("progressive", "-quality 90 -progressive", "big.ppm");
        make("restart", "-quality 85 -restart 1", "big.ppm");
        make("arithmetic", "-quality 85 -arithmetic", "big.ppm");
        make("grey", "-grayscale -quality 80", "big.ppm");
        make("preview", "-quality 70", "preview.ppm");
        make("thumb", "-quality 70", "thumb.ppm");
        make("wide", "-quality 70", "wide.ppm");
        make("exif", "-quality 90", "big.ppm");
        make("exif_progressive", "-quality 90 -progressive", "big.ppm");
        for (const char *name : {"exif", "exif_progressive"})
            zvtest::mustRun("exiftool -q -overwrite_original -Make=Zorvant '-ThumbnailImage<=" + d +
                            "/preview.jpg' " + d + "/" + name + ".jpg");
        const auto add = [&](const std::string &name, uint32_t w, uint32_t h, uint8_t frame, bool identified) {
            Sample s{zvtest::readFile(d + "/" + name + ".jpg"), w, h, frame, identified};
            const size_t preview = s.bytes.find("\xFF\xD8\xFF", 2);
            if (name.rfind("exif", 0) == 0)
                s.preview = preview;
            all[name] = s;
        };
        add("baseline", 640, 480, 0xC0, true);
        add("progressive", 640, 480, 0xC2, true);
        add("restart", 640, 480, 0xC0, true);
        add("arithmetic", 640, 480, 0xC9, true);
        add("grey", 640, 480, 0xC0, true);
        add("thumb", 48, 36, 0xC0, true);
        add("wide", 200, 40, 0xC0, true);
        add("exif", 640, 480, 0xC0, true);
        add("exif_progressive", 640, 480, 0xC2, true);
    }
    zvtest::TempDir dir;
};

// Hand-made streams: segments, frame and scan headers of 1 to n components.
Bytes segment(uint8_t code, const Bytes &body)
{
    const size_t n = body.size() + 2;
    return Bytes("\xFF", 1) + (char)code + (char)(n >> 8) + (char)(n & 0xFF) + body;
}
Bytes frame(uint8_t code, uint16_t w, uint16_t h, int components = 1)
{
    Bytes body = Bytes(1, 8) + (char)(h >> 8) + (char)h + (char)(w >> 8) + (char)w + (char)components;
    for (int c = 0; c < components; c++)
        body += Bytes{(char)(c + 1), 0x11, 0};
    return segment(code, body);
}
Bytes scan_header(int components = 1)
{
    Bytes body(1, (char)components);
    for (int c = 0; c < components; c++)
        body += Bytes{(char)(c + 1), 0};
    return segment(0xDA, body + Bytes("\x00\x3F\x00", 3));
}
const Bytes kSOI("\xFF\xD8", 2), kEOI("\xFF\xD9", 2);
Bytes dqt() { return segment(0xDB, Bytes(65, '\x01').replace(0, 1, 1, '\0')); }
Bytes dht() { return segment(0xC4, Bytes(17, '\0') + Bytes(1, '\0')); }
Bytes data(const Bytes &bytes = Bytes("\x12\x34\xFF\x00\x56\xFF\xD0\x78\xFF\xD1\x9A", 11)) { return bytes; }
// SOI, DQT, SOF0 (16 x 8, 1 component), DHT, SOS, the data given and EOI.
// The entropy-coded bytes are not decoded by the walk.
Bytes minimal(const Bytes &scan_data = data())
{
    return kSOI + dqt() + frame(0xC0, 16, 8) + dht() + scan_header() + scan_data + kEOI;
}

jpeg_walk walk_all(const Bytes &bytes, size_t piece = 0)
{
    jpeg_walk w;
    jpeg_walk_init(&w);
    size_t at = 0;
    const size_t step = piece == 0 ? bytes.size() : piece;
    while (at < bytes.size() && w.state != JPEG_WALK_END && w.state != JPEG_WALK_DAMAGED) {
        const size_t n = std::min(step, bytes.size() - at);
        const size_t used = jpeg_walk_feed(&w, reinterpret_cast<const uint8_t *>(bytes.data()) + at, n);
        EXPECT_LE(used, n);
        at += used;
        if (used < n && w.state != JPEG_WALK_END && w.state != JPEG_WALK_DAMAGED)
            ADD_FAILURE() << "a feed stopped early without an ending";
    }
    return w;
}

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

// --- registration, prefilter and recognise ---------------------------------------------

TEST_F(JpegModule, RegistersOneImagesJpegKind)
{
    fil_module *m = &module->base;
    EXPECT_EQ(fil_module_find(fil_module_code("jpeg")), m);
    EXPECT_EQ(jpeg_describe(), m); // found again, not made twice
    EXPECT_EQ(fil_module_count(), 1);
    EXPECT_EQ(m->filter, (uint32_t)FIL_FILTER_1);
    EXPECT_EQ(m->fs_init, nullptr);
    EXPECT_EQ(m->fs_type, 0);
    EXPECT_EQ(m->detect, nullptr);
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

TEST_F(JpegModule, PrefilterAgreesWithRecognise)
{
    fil_module *m = &module->base;
    uint8_t allowed[8][256];
    for (int k = 0; k < 8; k++) {
        std::memset(allowed[k], 1, 256);
        jpeg_prefilter(m, k, allowed[k]);
    }
    for (int b = 0; b < 256; b++) {
        EXPECT_EQ(allowed[0][b], b == 0xFF);
        EXPECT_EQ(allowed[1][b], b == 0xD8);
        EXPECT_EQ(allowed[2][b], b == 0xFF);
        for (int k = 4; k < 8; k++)
            EXPECT_EQ(allowed[k][b], 1);
    }
    // Position 3: exactly the codes recognise takes as the first segment.
    for (int code = 0; code < 256; code++) {
        Bytes block = kSOI + segment((uint8_t)code, Bytes(80, '\0')) + minimal().substr(2);
        if (code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC)
            block = kSOI + frame((uint8_t)code, 16, 8) + dqt() + dht() + scan_header(); // zeros of data after
        block.resize(512, '\0');
        m->cur_subtype = 0;
        const int score = jpeg_recognise(m, reinterpret_cast<const uint8_t *>(block.data()), 512);
        EXPECT_EQ(score > 0, allowed[3][code] != 0) << std::hex << code;
        EXPECT_EQ(m->cur_subtype, score > 0 ? 1 : 0) << std::hex << code;
    }
    for (int code : {0xC0, 0xC2, 0xC4, 0xDB, 0xDD, 0xE0, 0xE1, 0xEF, 0xFE})
        EXPECT_TRUE(allowed[3][code]) << code;
    for (int code : {0x00, 0x01, 0xC8, 0xD0, 0xD8, 0xD9, 0xDA, 0xDC, 0xDE, 0xF0, 0xFF})
        EXPECT_FALSE(allowed[3][code]) << code;
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
                // One look-ahead, after the headers, limited to the bound.
                ASSERT_EQ(store.asked.size(), 1u);
                const jpeg_walk w = walk_all(s.bytes);
                EXPECT_EQ(store.asked[0].after, (int64_t)(offset + w.header_end));
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
        // The look-ahead is always limited, to the bound known then.
        const int64_t bound = std::min<int64_t>(media_length(m), (int64_t)offset + module->max_file_size);
        for (const FakeStore::Ask &a : store.asked) {
            EXPECT_EQ(a.limit, bound);
            EXPECT_EQ(a.after, (int64_t)offset + header_end);
        }
        EXPECT_EQ(store.asked.size(), c.max_file_size == 100 ? 0u : 1u);
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

    ASSERT_EQ(media_seek(m, 0), 0);
    uint8_t block[4096];
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(media_read(m, block, sizeof block), (int64_t)sizeof block);
        module->base.cur_subtype = 0;
        EXPECT_EQ(fil_module_detect(&module->base, block, sizeof block), i);
    }
    ASSERT_EQ(rs.written.size(), 1u);
    EXPECT_EQ(rs.written[0].start, 4096u);
    EXPECT_EQ(rs.written[0].module_id, fil_module_code("jpeg"));
    EXPECT_EQ(rs.written[0].subtype, JPEG_SUBTYPE);
    EXPECT_EQ(rs.written[0].result, (uint32_t)JPEG_SCORE_IDENTIFIED);
    EXPECT_EQ(module->kinds[1].starts, 1u);

    rs.current = rs.written[0];
    rs.current.subtype = 7; // a span read back with a subtype the module lacks is not measured
    EXPECT_EQ(fil_module_extract(&module->base), 2);
    ASSERT_EQ(rs.written.size(), 1u);
    rs.current = rs.written[0];
    ASSERT_EQ(fil_module_extract(&module->base), 0);
    ASSERT_EQ(rs.written.size(), 2u);
    const cbr_span &measured = rs.written[1];
    EXPECT_EQ(measured.start, 4096u);
    EXPECT_EQ(measured.end, 4096u + s.bytes.size());
    EXPECT_EQ(measured.state, CBR_SPAN_DETECTED | CBR_SPAN_MEASURED);
    EXPECT_EQ(measured.subtype, JPEG_SUBTYPE);
    EXPECT_EQ(measured.value1, 640u);
    EXPECT_EQ(measured.value2, 480u);

    EXPECT_EQ(fil_module_name_file(&module->base, &rs.written[1]), 0);
    EXPECT_EQ(rs.names, std::vector<std::string>{"00001.jpg"});
    module->base.scan = nullptr;
    g_registry = nullptr;
}

} // namespace
