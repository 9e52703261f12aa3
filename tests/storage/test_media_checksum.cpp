// Media checksums (sample positions on real files, the archive form and its damaged variants), the comparison
// scores and report, and the matching of a saved medium against the attached ones.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/archive.h"
#include "foundation/buf.h"
#include "storage/media.h"
#include "scan/fat_image_support.h"
#include "support/test_support.h"

namespace {

constexpr uint32_t ZERO_SAMPLE_CRC = 0xC71C0011u;

std::string patterned(size_t size) // bytes that differ in every 4096-byte sample
{
    std::string bytes(size, '\0');
    uint32_t x = 12345;
    for (char &c : bytes)
        c = char((x = x * 1103515245u + 12345u) >> 16);
    return bytes;
}

int scoreOf(uint32_t r) { return int16_t(uint16_t(r & 0xFFFF)); }
int maxOf(uint32_t r) { return int16_t(uint16_t(r >> 16)); }

// An attached and a saved medium alike in every field: 8 + 8 (window) + 4 (slice) + 8 (name) + 8 (one partition)
// + 16 x 4 (checksums) = 100 of 100.
struct Pair {
    Media *a = media_new(nullptr, "Card", MEDIA_DISK, MEDIA_FLAG_UNLISTED);
    Media *b = media_new(nullptr, "Card", MEDIA_ARCHIVED, MEDIA_FLAG_UNLISTED);
    Pair()
    {
        for (Media *m : {a, b}) {
            m->orig_start_pos = 0, m->orig_stop_pos = 1 << 30;
            m->partitions = {PARTITION_MAP_MBR, {{1, 1 << 20, 100 << 20}}};
            m->checksum.count = 16;
            for (int i = 0; i < 16; i++)
                m->checksum.values[i] = 0xABC00u + uint32_t(i);
        }
    }
    ~Pair() { media_free(&a), media_free(&b); }
};

class MediaMatchingTest : public ::testing::Test {
protected:
    void TearDown() override { media_free_all(); }
};
using MediaChecksumTest = MediaMatchingTest;

TEST_F(MediaChecksumTest, SamplesSpreadOverTheMedium)
{
    zvtest::TempDir dir;
    const struct { size_t size; bool zeros; int count; int64_t step; } cases[] = {
        {0, false, 0, 0}, {4095, false, 0, 0}, // shorter than a sample: no values
        {4096 + 15 * 512, false, 16, 0},       // every sample is the first 4096 bytes
        {4096 + 15 * 512 + 1, false, 16, 512},
        {1 << 20, false, 16, 69120},           // ((1 MiB - 4097) / 15 / 512) x 512
        {1 << 16, true, 16, 3584},             // zeros: every value the CRC of a zero sample
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        const std::string bytes = c.zeros ? std::string(c.size, '\0') : patterned(c.size);
        zvtest::writeFile(dir / std::to_string(c.size), bytes);
        Media *m = media_attach_file((dir / std::to_string(c.size)).c_str());
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->checksum.count, c.count);
        for (int i = 0; i < 16; i++)
            EXPECT_EQ(m->checksum.values[i], i >= c.count ? 0
                                             : c.zeros   ? ZERO_SAMPLE_CRC
                                                         : uint32_t(crc32(0, (const Bytef *)&bytes[i * c.step], 4096)))
                << "sample " << i;
        media_checksum record; // a refresh, retaining the medium itself, reads the same again
        EXPECT_EQ(media_checksum_refresh(m, &record, true), 0);
        EXPECT_EQ(record.count, c.count);
        EXPECT_EQ(memcmp(record.values, m->checksum.values, sizeof record.values), 0);
    }
    // A volume mounted since (its boot sector's dirty flags set: FAT16,
    // FAT32, exFAT's flags and use) keeps its checksum; its serial does not.
    for (const auto &[fat, offsets] : {std::make_pair(16, std::vector<int>{0x25}),
                                       std::make_pair(32, std::vector<int>{0x41})}) {
        SCOPED_TRACE(fat);
        const std::string image = dir / ("fat" + std::to_string(fat));
        zvtest::makeFat(image, fat, 40 * 1024);
        zvtest::fatPut(image, "DATA.BIN", patterned(100000));
        Media *m = media_attach_file(image.c_str());
        ASSERT_NE(m, nullptr);
        const media_checksum clean = m->checksum;
        std::string bytes = zvtest::readFile(image);
        for (int offset : offsets)
            bytes[offset] = char(bytes[offset] | 1);
        zvtest::writeFile(image, bytes);
        media_checksum now;
        ASSERT_EQ(media_checksum_refresh(m, &now, true), 0);
        EXPECT_EQ(memcmp(now.values, clean.values, sizeof now.values), 0) << "a dirty flag changed a sample";
        bytes[offsets[0] + 2] ^= 1; // the volume serial beside it: another card
        zvtest::writeFile(image, bytes);
        ASSERT_EQ(media_checksum_refresh(m, &now, true), 0);
        EXPECT_NE(memcmp(now.values, clean.values, sizeof now.values), 0);
    }
    std::string exfat = patterned(1 << 16);
    exfat.replace(0, 11, "\xEB\x76\x90" "EXFAT   ");
    exfat[510] = char(0x55), exfat[511] = char(0xAA);
    for (int flags : {0, 1}) {
        exfat[106] = char(flags * 2), exfat[107] = 0, exfat[112] = char(flags * 37);
        zvtest::writeFile(dir / ("exfat" + std::to_string(flags)), exfat);
    }
    Media *e0 = media_attach_file((dir / "exfat0").c_str()), *e1 = media_attach_file((dir / "exfat1").c_str());
    ASSERT_TRUE(e0 != nullptr && e1 != nullptr);
    EXPECT_EQ(e0->checksum.values[0], e1->checksum.values[0]);
    Pair no_path; // media without a file path
    EXPECT_EQ(media_checksum_refresh(no_path.b, &no_path.b->checksum, true), -1);
    EXPECT_EQ(media_checksum_refresh(nullptr, &no_path.b->checksum, true), -1);
}

// Fault guarded: "ncs" taken even when the values were not stored, so a saved scan made comparisons read past them.
TEST(MediaChecksumArchive, RoundTripAndDamagedRecords)
{
    zvtest::TempDir dir;
    const std::string path = dir / "csum.arch";
    media_checksum saved;
    saved.count = 16;
    for (int i = 0; i < 16; i++)
        saved.values[i] = 0x1000u * uint32_t(i + 1);
    const uint32_t half[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    // Read back: the status and count given; the values stay as they were.
    const struct { const char *block; int32_t ncs; const void *csum; uint32_t length; int status, count; } cases[] = {
        {"huge", 1000, saved.values, 64, 0, 16}, {"negative", -5, saved.values, 64, 0, 0},
        {"other length", 16, half, sizeof half, 0, 0}, {"missing", 16, nullptr, 0, -1, 0}};

    archive *a = archive_new(path.c_str(), ARCHIVE_WRITE, 1);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(media_checksum_archive(&saved, a), 0);
    for (const auto &c : cases)
        ASSERT_EQ(archive_start_block(a, c.block, 1) | archive_long(a, "ncs", c.ncs) |
                      (c.csum ? archive_bytes(a, "csum", c.csum, c.length) : 0) | archive_end_block(a, c.block),
                  0);
    ASSERT_EQ(archive_free(&a), 0);

    a = archive_new(path.c_str(), ARCHIVE_READ, 0);
    ASSERT_NE(a, nullptr);
    media_checksum back;
    ASSERT_EQ(media_checksum_unarchive(&back, a), 0);
    EXPECT_EQ(back.count, 16);
    EXPECT_EQ(memcmp(back.values, saved.values, 64), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.block);
        media_checksum record = saved;
        ASSERT_EQ(archive_start_block(a, c.block, 1), 0);
        EXPECT_EQ(media_checksum_unarchive(&record, a), c.status);
        EXPECT_EQ(record.count, c.count);
        EXPECT_EQ(memcmp(record.values, saved.values, 64), 0);
        ASSERT_EQ(archive_end_block(a, c.block), 0);
    }
    archive_free(&a);
}

TEST(MediaCompare, ScoresAndReportPerField)
{
    const auto both = [](const std::function<void(Media *)> &f) { return [f](Media *a, Media *b) { f(a), f(b); }; };
    const struct {
        const char *name;
        std::function<void(Media *a, Media *b)> change;
        int score, maximum;
        const char *report; // lines expected in the report
    } cases[] = {
        {"equal", [](Media *, Media *) {}, 100, 100, ""},
        {"saved smaller", [](Media *, Media *b) { b->orig_stop_pos -= 512; }, 100 - 16 - 1, 100 + 1,
         "The configurations differ in 2 details."},
        {"saved larger", [](Media *, Media *b) { b->orig_stop_pos += 512; }, 100 - 16 - 8, 100 + 8,
         "Stop offset: 1073741824 vs 1073742336.\nSize: "},
        {"other slice", [](Media *, Media *b) { b->slice = 2; }, 100 - 4 - 16, 100 - 4, "Media slice number: 0 vs 2."},
        {"other name", [](Media *, Media *b) { b->name[0] = 'X'; }, 100 - 16, 100,
         "Media name: Card vs Xard.\nThe names don't match (Card versus Xard)."},
        {"one name empty", [](Media *, Media *b) { b->name[0] = 0; }, 100 - 8, 100 - 8, ""},
        {"other partition start", [](Media *, Media *b) { b->partitions.entries[0].start += 512; }, 100 - 8, 100,
         "Partition 0 start: 1048576 vs 1049088.\nThe configurations differ in 1 details."},
        {"one partition more", [](Media *, Media *b) { b->partitions.entries.push_back({2, 1 << 29, 512}); }, 98, 100,
         "Number of partitions: 1 vs 2."},
        {"other map type", [](Media *, Media *b) { b->partitions.type = PARTITION_MAP_GPT; }, 100 - 8 - 16, 100 - 8,
         "Partition table type: 3 vs 2."},
        {"attached one is a partition", [](Media *a, Media *) { a->kind = MEDIA_PARTITION; }, 100 - 8, 100 - 8, ""},
        {"one sample differs", [](Media *, Media *b) { b->checksum.values[3] ^= 1; }, 100 - 5, 100 - 3,
         "1 of 16 checksums mismtached.\nThe contents differ in 1 of 16 places sampled."},
        {"fewer samples saved", [](Media *, Media *b) { b->checksum.count = 4; }, 100 - 48, 100 - 48, ""},
        {"no samples: configuration only", both([](Media *m) { m->checksum.count = 0; }), 36, 36, ""},
        // Fault guarded: equal zero samples (whose CRC is not 0) scored 4 instead of 1.
        {"blank card: zero samples",
         both([](Media *m) { std::fill(m->checksum.values, m->checksum.values + 16, ZERO_SAMPLE_CRC); }), 52, 52, ""},
        {"count beyond the array", both([](Media *m) { m->checksum.count = 1000; }), 100, 100, ""},
        // Fault guarded: the 16-bit score and maximum wrapped with thousands of partition entries.
        {"thousands of partitions saturate",
         both([](Media *m) { m->partitions.entries.assign(10000, media_partition_entry{1, 0, 512}); }), 32767, 32767,
         ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Pair p;
        c.change(p.a, p.b);
        buf_t *report = buf_new(0, 256);
        const uint32_t r = media_compare(p.a, p.b, report);
        const std::string text = buf_cstr(report);
        buf_free(report);
        EXPECT_EQ(scoreOf(r), c.score);
        EXPECT_EQ(maxOf(r), c.maximum);
        EXPECT_EQ(text.rfind("\nComparing id=", 0), 0u) << text;
        EXPECT_NE(text.find(c.report), std::string::npos) << text;
        EXPECT_EQ(r, media_compare(p.a, p.b, nullptr));
    }
}

// Samples from `written` on blank on both media; the names of the attached (a disk) and of the saved one.
std::function<void(Media *)> withNames(int written, const char *attached, const char *saved)
{
    return [=](Media *m) {
        std::fill(m->checksum.values + written, m->checksum.values + 16, ZERO_SAMPLE_CRC);
        m->identity = {true, {m->kind == MEDIA_DISK ? attached : saved}};
    };
}

// The same contents, the name aside: what an image the user names is taken
// by. Blank samples alone do not tell one card from another.
TEST(MediaSameContents, NameAsideOnlyWindowSliceAndSamplesCount)
{
    const auto both = [](const std::function<void(Media *)> &f) { return [f](Media *a, Media *b) { f(a), f(b); }; };
    const struct {
        const char *name;
        std::function<void(Media *a, Media *b)> change;
        bool same;
    } cases[] = {
        {"equal", [](Media *, Media *) {}, true},
        {"other name", [](Media *, Media *b) { b->name[0] = 'X'; }, true},
        {"other partition map", [](Media *, Media *b) { b->partitions.type = PARTITION_MAP_GPT; }, true},
        {"saved smaller", [](Media *, Media *b) { b->orig_stop_pos -= 512; }, false},
        {"other start", both([](Media *m) { m->orig_start_pos += 512; }), true},
        {"other start on one", [](Media *a, Media *) { a->orig_start_pos += 512; }, false},
        {"other slice", [](Media *, Media *b) { b->slice = 2; }, false},
        {"last sample differs", [](Media *, Media *b) { b->checksum.values[15] ^= 1; }, false},
        {"fewer samples saved (the rest unreadable then)", [](Media *, Media *b) { b->checksum.count = 4; }, true},
        {"fewer samples readable now", [](Media *a, Media *) { a->checksum.count = 4; }, false},
        // A card failing since its scan: the samples still read identify it, four of them or its names.
        {"four samples readable now, names kept",
         [&](Media *a, Media *b) { both(withNames(16, "serial 1", "serial 2"))(a, b), a->checksum.count = 4; }, true},
        {"three readable now, other names",
         [&](Media *a, Media *b) { both(withNames(16, "serial 1", "serial 2"))(a, b), a->checksum.count = 3; }, false},
        {"one readable now, same names",
         [&](Media *a, Media *b) { both(withNames(16, "serial 1", "serial 1"))(a, b), a->checksum.count = 1; }, true},
        {"none readable now, same names",
         [&](Media *a, Media *b) { both(withNames(16, "serial 1", "serial 1"))(a, b), a->checksum.count = 0; }, false},
        {"no samples", both([](Media *m) { m->checksum.count = 0; }), false},
        {"all samples blank",
         both([](Media *m) { std::fill(m->checksum.values, m->checksum.values + 16, ZERO_SAMPLE_CRC); }), false},
        {"one sample written among blank ones",
         both([](Media *m) { std::fill(m->checksum.values + 1, m->checksum.values + 16, ZERO_SAMPLE_CRC); }), true},
        {"count beyond the array", both([](Media *m) { m->checksum.count = 1000; }), true},
        {"a blank sample written since", [](Media *, Media *b) { b->checksum.values[3] = ZERO_SAMPLE_CRC; }, true},
        // Where fewer than four samples held data, the card's own names decide, when the record kept them.
        {"other names, four samples written", both(withNames(4, "serial 1", "serial 2")), true},
        {"other names, three samples written", both(withNames(3, "serial 1", "serial 2")), false},
        {"same names, one sample written", both(withNames(1, "serial 1", "serial 1")), true},
        {"other names, none kept when saved",
         [&](Media *a, Media *b) { both(withNames(1, "serial 1", "serial 2"))(a, b), b->identity.kept = false; }, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Pair p;
        c.change(p.a, p.b);
        EXPECT_EQ(media_same_contents(p.a, p.b), c.same);
    }
    EXPECT_FALSE(media_same_contents(nullptr, Pair().b));
}

TEST_F(MediaMatchingTest, SavedCardFoundUnderAnotherPath)
{
    zvtest::requireTool("sfdisk");
    zvtest::requireTool("mkfs.fat");
    zvtest::TempDir dir;
    zvtest::mustRun("mkdir '" + dir / "old" + "' '" + dir / "new" + "'");
    const std::string card = dir / "old/card.img", moved = dir / "new/card.img", saved_path = dir / "media.arch";
    zvtest::writeFile(card, patterned(8 << 20));
    zvtest::mustRun("printf 'label: dos\\nstart=2048, type=c\\n' | sfdisk -q '" + card + "'");
    zvtest::mustRun("mkfs.fat --offset 2048 '" + card + "' 7168");
    zvtest::writeFile(dir / "new/other.img", patterned(4 << 20).substr(1) + "x");

    // Save the card's medium as a scan would, take the card away, and read the saved medium back.
    Media *first = media_attach_file(card.c_str()), *saved = nullptr;
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->partitions.entries.size(), 1u);
    archive *a = archive_new(saved_path.c_str(), ARCHIVE_WRITE, 1);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(media_archive(first, a, false), 0);
    ASSERT_EQ(archive_free(&a), 0);
    media_detach_path(card.c_str());
    ASSERT_NE(a = archive_new(saved_path.c_str(), ARCHIVE_READ, 0), nullptr);
    ASSERT_EQ(media_unarchive(a, &saved), 0);
    archive_free(&a);

    // The same card back under another path, and another card beside it.
    zvtest::mustRun("ln '" + card + "' '" + moved + "'");
    Media *again = media_attach_file(moved.c_str()), *stranger = media_attach_file((dir / "new/other.img").c_str());
    ASSERT_TRUE(again && stranger && again != first);
    std::vector<media_match> list;
    const auto find = [&](Media *m) {
        const auto it = std::find_if(list.begin(), list.end(), [m](const media_match &x) { return x.media == m; });
        return it == list.end() ? nullptr : &*it;
    };
    list = media_find_matching(saved, 0.9, true);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[0].media, again);
    EXPECT_EQ(scoreOf(list[0].result), maxOf(list[0].result)); // ratio 1.0
    EXPECT_EQ(find(stranger), nullptr);

    list = media_find_matching(saved, 0, false); // level 0: every attached medium, best first
    ASSERT_NE(find(stranger), nullptr);
    EXPECT_LT(scoreOf(find(stranger)->result), 0);
    EXPECT_EQ(find(first), nullptr); // detached
    for (size_t i = 1; i < list.size(); i++)
        EXPECT_GE(float(scoreOf(list[i - 1].result)) / maxOf(list[i - 1].result),
                  float(scoreOf(list[i].result)) / maxOf(list[i].result));
    media_free(&saved);
}

// Matching walks the global list under its mutex: media another thread attaches and frees meanwhile are compared
// whole or not seen at all (the pointers handed back are not used: they may be freed already).
TEST(MediaMatchingThreads, ListChangesDuringMatching)
{
    zvtest::TempDir dir;
    zvtest::writeFile(dir / "card.img", patterned(64 << 10));
    Pair p;
    // A file system is found on the whole card: its child is kept and linked to the card.
    media_set_prescan_hook([](Media *m) { return m->fs_type = 1, 0; });
    std::atomic<bool> done{false};
    std::thread churn([&] {
        for (int i = 0; i < 500; i++) {
            Media *m = media_attach_file((dir / "card.img").c_str());
            EXPECT_NE(m, nullptr);
            media_free(&m);
        }
        done = true;
    });
    do // the sanitizers judge this test
        media_find_matching(p.b, 0, false);
    while (!done);
    churn.join();
    media_set_prescan_hook(nullptr);
    media_free_all(); // the cards' children stay listed
}

} // namespace
