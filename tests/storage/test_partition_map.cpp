// Partition maps read from media: images made by sfdisk, sgdisk, parted and hformat (checked against
// sfdisk's own listing), a GPT on a 4096-byte-sector loop device, hand-made damaged maps, and the archive form.
#include <malloc.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/archive.h"
#include "storage/media.h"
#include "support/hang_guard.h"
#include "support/test_support.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t), void (*)(const volatile void *));
size_t __sanitizer_get_allocated_size(const volatile void *);
size_t __sanitizer_get_current_allocated_bytes();
}
#endif

namespace {

using Entries = std::vector<std::pair<int64_t, int64_t>>; // {start, size} in bytes
constexpr int64_t S = 512;

// The entries as {start, size}, checking that slices count 1, 2, 3 ...
Entries entriesOf(const media_partition_table &table)
{
    Entries entries;
    for (const media_partition_entry &e : table.entries) {
        EXPECT_EQ(e.slice, int32_t(entries.size() + 1));
        entries.push_back({e.start, e.size});
    }
    return entries;
}

// Hand-made image bytes: MBR/EBR entries, a GPT header and entries (array at byte 1024), Apple map entries.
struct Image {
    std::vector<uint8_t> b;
    explicit Image(size_t size) : b(size) {}
    void put(size_t at, uint64_t v, int n, bool big = false)
    {
        for (int i = 0; i < n; i++)
            b[at + i] = uint8_t(v >> 8 * (big ? n - 1 - i : i));
    }
    void mbr(size_t sector, int index, uint8_t type, uint32_t first, uint32_t count)
    {
        const size_t e = sector * S + 446 + 16 * index;
        b[e + 4] = type, put(e + 8, first, 4), put(e + 12, count, 4), put(sector * S + 510, 0xAA55, 2);
    }
    void gptHeader(uint64_t array_lba, uint32_t count, uint32_t entry_size)
    {
        memcpy(&b[512], "EFI PART", 8);
        put(512 + 72, array_lba, 8), put(512 + 80, count, 4), put(512 + 84, entry_size, 4);
    }
    void gpt(size_t index, uint32_t entry_size, uint64_t first, uint64_t last)
    {
        const size_t at = 1024 + index * entry_size;
        b[at] = 0xAF, put(at + 32, first, 8), put(at + 40, last, 8);
    }
    void apple(size_t n, uint32_t map_entries, uint32_t first, uint32_t blocks, const char *type = "Apple_HFS")
    {
        put(n * S, 0x504D, 2, true), put(n * S + 4, map_entries, 4, true);
        put(n * S + 8, first, 4, true), put(n * S + 12, blocks, 4, true);
        strncpy((char *)&b[n * S + 48], type, 32);
    }
};

class PartitionMapTest : public ::testing::Test {
protected:
    void TearDown() override { media_free_all(); }

    // Reads an attached medium's map once more directly; the table attaching made must agree.
    void expectMap(Media *m, int status, uint32_t type, const Entries &entries)
    {
        ASSERT_NE(m, nullptr);
        media_partition_table table;
        ASSERT_EQ(media_retain(m), 0);
        EXPECT_EQ(media_read_partition_map(m, &table), status);
        media_release(m);
        EXPECT_EQ(table.type, type);
        EXPECT_EQ(entriesOf(table), entries);
        EXPECT_EQ(entriesOf(m->partitions), entries);
        EXPECT_EQ(m->partitions.type, entries.empty() ? uint32_t(PARTITION_MAP_NONE) : type);
    }
    void expectMap(const Image &image, const char *name, int status, uint32_t type, const Entries &entries)
    {
        SCOPED_TRACE(name);
        zvtest::writeFile(dir / name, std::string(image.b.begin(), image.b.end()));
        expectMap(attach(dir / name), status, type, entries);
    }
    static Media *attach(const std::string &path) { return media_attach_file(path.c_str()); }
    std::string sparseImage(const std::string &name, const std::string &size)
    {
        zvtest::mustRun("truncate -s " + size + " '" + dir / name + "'");
        return dir / name;
    }
    zvtest::TempDir dir;
};

// sfdisk's listing in bytes, without extended containers (types 5 and f), which the map replaces by their logicals.
Entries sfdiskList(const std::string &device)
{
    const std::string json = zvtest::mustRun("sfdisk --json '" + device + "'");
    std::smatch unit;
    EXPECT_TRUE(std::regex_search(json, unit, std::regex(R"("sectorsize":\s*(\d+))")));
    const int64_t sector = std::stoll(unit[1]);
    const std::regex row(R"re("start":\s*(\d+),\s*"size":\s*(\d+),\s*"type":\s*"([0-9A-Fa-f-]+)")re");
    Entries rows;
    for (auto it = std::sregex_iterator(json.begin(), json.end(), row); it != std::sregex_iterator(); ++it)
        if ((*it)[3] != "5" && (*it)[3] != "f")
            rows.push_back({std::stoll((*it)[1]) * sector, std::stoll((*it)[2]) * sector});
    return rows;
}

std::string sfdisk(const std::string &device, const std::string &script)
{
    return "printf '" + script + "' | sfdisk -q --no-reread --no-tell-kernel '" + device + "'";
}

// Differential: maps made by the real tools read as sfdisk lists them.
TEST_F(PartitionMapTest, ToolMadeMapsMatchSfdisk)
{
    for (const char *tool : {"sfdisk", "sgdisk", "mkfs.fat"})
        zvtest::requireTool(tool);
    const std::string fat = sparseImage("fat.img", "64M"), chain = sparseImage("chain.img", "16M");
    const std::string gaps = sparseImage("gaps.img", "16M"), big = sparseImage("big.img", "16M");
    zvtest::mustRun(sfdisk(fat, "label: dos\\nstart=2048, type=c\\n") + " && mkfs.fat -F 32 --offset 2048 '" + fat +
                    "' 64512");
    zvtest::mustRun(sfdisk(chain, "label: dos\\nstart=2048, size=4096, type=c\\nstart=8192, size=20480, type=5\\n"
                                  "start=10240, size=2048\\nstart=14336, size=2048\\nstart=18432, size=2048\\n"));
    zvtest::mustRun(sfdisk(gaps, "label: gpt\\nx1 : start=2048, size=2048\\nx3 : start=8192, size=4096\\n"));
    zvtest::mustRun("sgdisk -o --resize-table=256 -n 1:2048:+1M -n 200:8192:+2M '" + big + "'");
    const struct { std::string image; uint32_t type; Entries entries; } cases[] = {
        {fat, PARTITION_MAP_MBR, {{1 << 20, 63 << 20}}}, // a card with one FAT32 partition
        {chain, PARTITION_MAP_MBR, {{1 << 20, 2 << 20}, {5 << 20, 1 << 20}, {7 << 20, 1 << 20}, {9 << 20, 1 << 20}}},
        {gaps, PARTITION_MAP_GPT, {{1 << 20, 1 << 20}, {4 << 20, 2 << 20}}}, // entry 2 unused: not numbered
        {big, PARTITION_MAP_GPT, {{1 << 20, 1 << 20}, {4 << 20, 2 << 20}}},  // entry 200 past the usual 128
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.image);
        EXPECT_EQ(sfdiskList(c.image), c.entries);
        expectMap(attach(c.image), 0, c.type, c.entries);
    }
}

// Fault guarded: LBAs fixed at 512 bytes missed a 4Kn GPT and took its protective MBR entry as a partition.
TEST_F(PartitionMapTest, GptOnFourKnLoopDevice)
{
    if (!zvtest::LoopDevice::available())
        GTEST_SKIP() << "loop devices need root";
    zvtest::requireTool("sfdisk");
    const std::string image = sparseImage("4kn.img", "32M");
    {
        zvtest::LoopDevice loop(image, 4096);
        zvtest::mustRun(sfdisk(loop.path(), "label: gpt\\nstart=256, size=1024\\nstart=2048, size=512\\n"));
        const Entries listed{{1 << 20, 4 << 20}, {8 << 20, 2 << 20}};
        ASSERT_EQ(sfdiskList(loop.path()), listed);
        expectMap(media_attach_disk(loop.path().c_str(), "Test card", 1, 32 << 20, 4096), 0, PARTITION_MAP_GPT, listed);
        media_free_all(); // before the loop device goes
    }
    // The same bytes as a file count 512-byte sectors: no GPT at byte 512, and the 0xEE entry is no partition.
    expectMap(attach(image), 0, PARTITION_MAP_MBR, {});
}

// The descriptor's block size counts the entries' blocks unless an HFS volume inside shows another.
TEST_F(PartitionMapTest, AppleMapWithHfsVolumes)
{
    zvtest::requireTool("parted");
    zvtest::requireTool("hformat");
    const std::string image = sparseImage("mac.img", "64M");
    zvtest::mustRun("parted -s '" + image + "' mklabel mac mkpart one hfs 1MiB 5MiB mkpart two hfs 5MiB 9MiB");
    const Entries as_made{{1 << 20, 4 << 20}, {5 << 20, 4 << 20}};
    expectMap(attach(image), 0, PARTITION_MAP_APPLE, as_made);
    const auto descriptor_block = [&](const char *bytes) {
        zvtest::mustRun("printf '" + std::string(bytes) + "' | dd of='" + image + "' bs=1 seek=2 conv=notrunc");
    };
    descriptor_block("\\010\\000"); // 2048, and no HFS volume to tell otherwise: 2048 is used
    expectMap(attach(image), 0, PARTITION_MAP_APPLE, {{4 << 20, 16 << 20}, {20 << 20, 16 << 20}});

    // An HFS volume in partition one shows 512-byte blocks (its score's signed half is tested); two keeps that size.
    descriptor_block("\\002\\000");
    zvtest::mustRun("HOME='" + dir.path() + "' hformat -l Card '" + image + "' 1"); // hformat keeps state in $HOME
    descriptor_block("\\010\\000");
    expectMap(attach(image), 0, PARTITION_MAP_APPLE, as_made);
}

// Fault guarded: GPT entry count, size and LBAs trusted (reads of gigabytes, i64 overflow, entries off the medium).
TEST_F(PartitionMapTest, DamagedGptIsCappedAndChecked)
{
    const uint64_t huge = uint64_t(1) << 62;
    Image checks(64 << 10);
    checks.gptHeader(2, 8, 128);
    checks.gpt(0, 128, 34, 40), checks.gpt(1, 128, 0, 40), checks.gpt(2, 128, 50, 49); // ok; unused; first > last
    checks.gpt(3, 128, 60, 128), checks.gpt(4, 128, huge, huge + 1); // past the medium; LBA x 512 overflows
    checks.gpt(5, 128, 127, 127);                                     // the last sector
    expectMap(checks, "entry checks", 0, PARTITION_MAP_GPT, {{34 * S, 7 * S}, {127 * S, S}});

    Image many(4 << 20);
    many.gptHeader(2, 0xFFFFFFFF, 128), many.gpt(4095, 128, 2000, 2000), many.gpt(4096, 128, 3000, 3000);
    expectMap(many, "count 0xFFFFFFFF capped at 4096", 0, PARTITION_MAP_GPT, {{2000 * S, S}});
    Image wide(4 << 20);
    wide.gptHeader(2, 1000, 4096), wide.gpt(255, 4096, 7000, 7000), wide.gpt(256, 4096, 7001, 7001);
    expectMap(wide, "4096-byte entries, array capped at 1 MiB", 0, PARTITION_MAP_GPT, {{7000 * S, S}});
    Image far(64 << 10);
    far.gptHeader(huge, 4, 128);
    expectMap(far, "array LBA far beyond the medium", 0, PARTITION_MAP_GPT, {});
    for (uint32_t entry_size : {64u, 4097u, 1u << 20}) {
        Image odd(4 << 20);
        odd.gptHeader(2, 1, entry_size), odd.gpt(0, 128, 34, 40);
        expectMap(odd, ("entry size " + std::to_string(entry_size)).c_str(), -1, PARTITION_MAP_GPT, {});
    }
}

// Fault guarded: a cyclic EBR chain looped for ever, and MBR entries were added with no range check.
TEST_F(PartitionMapTest, DamagedMbrEndsWithSaneEntries)
{
    Image cycle(64 << 10);
    cycle.mbr(0, 0, 0x05, 2, 100);
    cycle.mbr(2, 0, 0x83, 10, 1), cycle.mbr(2, 1, 0x05, 1, 5); // logical at 12, next EBR at 3
    cycle.mbr(3, 0, 0x83, 10, 1), cycle.mbr(3, 1, 0x05, 1, 5); // logical at 13, next EBR at 3 again
    expectMap(cycle, "EBR linking to itself", 0, PARTITION_MAP_MBR, {{12 * S, S}, {13 * S, S}});

    Image off(64 << 10);
    off.mbr(0, 0, 0xEE, 1, 127), off.mbr(0, 1, 0x0C, 8, 8);
    off.mbr(0, 2, 0x0C, 100, 100), off.mbr(0, 3, 0x0C, 0xFFFFFFF0, 0x20); // both end past 128 sectors
    expectMap(off, "entries off the medium and protective", 0, PARTITION_MAP_MBR, {{8 * S, 8 * S}});
}

TEST_F(PartitionMapTest, AppleScanAndMediaWithoutMap)
{
    expectMap(Image(0), "empty medium", -1, PARTITION_MAP_NONE, {});
    expectMap(Image(100), "shorter than a sector", 0, PARTITION_MAP_NONE, {});
    expectMap(Image(64 << 10), "no map at all", 0, PARTITION_MAP_NONE, {});

    Image counted(64 << 10);
    counted.put(0, 0x4552, 2, true), counted.put(2, 512, 2, true);
    counted.apple(1, 4, 1, 63, "Apple_partition_map"); // the map's own entry: skipped
    counted.apple(2, 4, 64, 16), counted.apple(3, 4, 100, 8, "Apple_RAID");
    counted.apple(4, 4, 64, 4, "Hidden_HFS"), counted.apple(5, 4, 80, 8); // same start; past the map's count
    expectMap(counted, "Apple map counting 4 entries", 0, PARTITION_MAP_APPLE, {{64 * S, 16 * S}, {100 * S, 8 * S}});

    Image loose(64 << 10); // no descriptor, no map entry: sectors 1 to 63 are scanned
    loose.apple(40, 0, 64, 16), loose.apple(70, 0, 90, 16); // sector 70 is past 63
    loose.apple(41, 0, 0, 0), loose.apple(42, 0, 0, 128);   // empty; the whole medium
    expectMap(loose, "Apple entries without map", 0, PARTITION_MAP_APPLE, {{64 * S, 16 * S}});

    Image capped(1 << 20);
    capped.apple(1, 0xFFFFFFFF, 1, 63, "Apple_partition_map");
    capped.apple(1000, 0, 1500, 8), capped.apple(1030, 0, 1600, 8);
    expectMap(capped, "Apple map count capped at 1024", 0, PARTITION_MAP_APPLE, {{1500 * S, 8 * S}});
}

// The process's heap in use now and at its highest since reset(). The plain build takes the C library's count
// of bytes in use and the kernel's peak resident size (VmHWM, reset through clear_refs); under ASan, whose
// quarantine keeps freed blocks resident, the allocator's own count and a peak kept by its malloc hooks.
class HeapMeter {
public:
    HeapMeter()
    {
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_install_malloc_and_free_hooks(
            [](const volatile void *, size_t size) { peakAdd((int64_t)size); },
            [](const volatile void *p) { currentRef() -= (int64_t)__sanitizer_get_allocated_size(p); });
#endif
    }
    void reset()
    {
#if defined(__SANITIZE_ADDRESS__)
        currentRef() = 0, peakRef() = 0;
#else
        std::ofstream("/proc/self/clear_refs") << "5"; // the peak resident size starts again from now
        if (status("VmHWM") > status("VmRSS") + (1 << 20))
            throw std::runtime_error("/proc/self/clear_refs did not reset VmHWM");
        rss_ = status("VmRSS");
#endif
        in_use_ = inUse();
    }
    int64_t grown() const { return inUse() - in_use_; } // bytes still held since reset()
    int64_t peak() const                                 // highest growth since reset()
    {
#if defined(__SANITIZE_ADDRESS__)
        return peakRef().load();
#else
        return status("VmHWM") - rss_;
#endif
    }

private:
#if defined(__SANITIZE_ADDRESS__)
    static std::atomic<int64_t> &currentRef() { static std::atomic<int64_t> v{0}; return v; }
    static std::atomic<int64_t> &peakRef() { static std::atomic<int64_t> v{0}; return v; }
    static void peakAdd(int64_t size)
    {
        const int64_t now = currentRef() += size;
        int64_t seen = peakRef().load();
        while (now > seen && !peakRef().compare_exchange_weak(seen, now)) {
        }
    }
    static int64_t inUse() { return (int64_t)__sanitizer_get_current_allocated_bytes(); }
#else
    static int64_t inUse()
    {
        const struct mallinfo2 info = mallinfo2();
        return (int64_t)(info.uordblks + info.hblkhd);
    }
    // A "kB" line of /proc/self/status, in bytes.
    static int64_t status(const std::string &key)
    {
        std::ifstream in("/proc/self/status");
        for (std::string line; std::getline(in, line);)
            if (line.compare(0, key.size() + 1, key + ":") == 0)
                return std::stoll(line.substr(key.size() + 1)) * 1024;
        throw std::runtime_error("no " + key + " in /proc/self/status");
    }
    int64_t rss_ = 0;
#endif
    int64_t in_use_ = 0;
};

// Fault guarded: every partition medium kept the 128 KiB window of its closed file object, so a crafted GPT of
// 4096 entries held 512 MiB and a 1023-entry Apple map 128 MiB. Measured in a child process, attaching each
// image must neither hold nor at any moment need more than a small budget per partition.
TEST_F(PartitionMapTest, ManyPartitionsCostLittleMemory)
{
    constexpr int64_t per_partition = 1024;          // a medium, its closed file object and names: about 600
    constexpr int64_t peak_allowance = 16 << 20;     // one window at a time, the map reader's buffers, the list
    struct Crafted { const char *what; std::string path; size_t partitions; };
    std::vector<Crafted> images;
    {
        Image gpt(40 << 20); // 4096 entries of 16 sectors from 1 MiB on
        gpt.gptHeader(2, 4096, 128);
        for (size_t i = 0; i < 4096; i++)
            gpt.gpt(i, 128, 2048 + 16 * i, 2048 + 16 * i + 15);
        zvtest::writeFile(dir / "gpt.img", std::string(gpt.b.begin(), gpt.b.end()));
        images.push_back({"GPT of 4096 entries", dir / "gpt.img", 4096});
    }
    {
        Image apple(16 << 20); // a descriptor, then 1023 HFS entries of 16 blocks
        apple.put(0, 0x4552, 2, true), apple.put(2, 512, 2, true);
        for (uint32_t n = 1; n <= 1023; n++)
            apple.apple(n, 1024, 2048 + 16 * n, 16);
        zvtest::writeFile(dir / "apple.img", std::string(apple.b.begin(), apple.b.end()));
        images.push_back({"Apple map of 1023 entries", dir / "apple.img", 1023});
    }
    for (const Crafted &image : images) {
        SCOPED_TRACE(image.what);
        const zvtest::ChildOutcome outcome = zvtest::runInChild([&](const zvtest::ChildNotes &note) {
            HeapMeter meter;
            meter.reset();
            Media *m = media_attach_file(image.path.c_str());
            const int64_t held = meter.grown(), peak = meter.peak();
            const size_t made = m != nullptr ? m->children.size() : 0;
            note("partitions " + std::to_string(made) + ", held " + std::to_string(held) + " bytes (" +
                 std::to_string(held / (int64_t)image.partitions) + " per partition), peak " + std::to_string(peak));
            int failures = 0;
            if (made != image.partitions)
                note("FAILED: not every partition was made"), ++failures;
            if (held > per_partition * (int64_t)image.partitions)
                note("FAILED: too much held"), ++failures;
            if (peak > per_partition * (int64_t)image.partitions + peak_allowance)
                note("FAILED: too high a peak"), ++failures;
            media_free_all();
            return failures;
        });
        EXPECT_TRUE(outcome.finished) << outcome.notes;
        EXPECT_EQ(outcome.status, 0) << outcome.notes;
        std::printf("%s: %s", image.what, outcome.notes.c_str());
    }
}

// No "partition_type" without entries; a count the archive cannot back ends in an error with the entries found.
TEST(PartitionMapArchive, RoundTripEmptyAndDamagedCounts)
{
    zvtest::TempDir dir;
    const std::string path = dir / "table.arch";
    media_partition_table full, none, back;
    full.type = PARTITION_MAP_GPT;
    full.entries = {{1, 1 << 20, 4 << 20}, {2, int64_t(5) << 40, int64_t(3) << 33}};
    archive *a = archive_new(path.c_str(), ARCHIVE_WRITE, 1);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(media_partition_table_archive(&full, a), 0);
    ASSERT_EQ(archive_start_block(a, "none", 1) | media_partition_table_archive(&none, a) |
                  archive_end_block(a, "none"), 0);
    ASSERT_EQ(archive_start_block(a, "damaged", 1) | archive_long(a, "partition_num_entries", 1000) |
                  archive_long(a, "partition_entry_slice", 1) | archive_quad(a, "partition_entry_start", 512) |
                  archive_quad(a, "partition_entry_size", 512) | archive_end_block(a, "damaged"),
              0); // 1000 entries announced, one stored
    ASSERT_EQ(archive_free(&a), 0);

    a = archive_new(path.c_str(), ARCHIVE_READ, 0);
    ASSERT_NE(a, nullptr);
    back.type = 7;
    back.entries = {{9, 9, 9}};
    ASSERT_EQ(media_partition_table_unarchive(&back, a), 0);
    EXPECT_EQ(back.type, full.type);
    EXPECT_EQ(entriesOf(back), entriesOf(full));
    ASSERT_EQ(archive_start_block(a, "none", 1), 0);
    int32_t value = -1;
    EXPECT_EQ(unarchive_long(a, "partition_num_entries", &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(unarchive_long(a, "partition_type", &value), -1);
    ASSERT_EQ(archive_end_block(a, "none"), 0);
    ASSERT_EQ(archive_start_block(a, "damaged", 1), 0);
    EXPECT_EQ(media_partition_table_unarchive(&back, a), -1);
    EXPECT_EQ(back.entries.size(), 1u);
    ASSERT_EQ(archive_end_block(a, "damaged"), 0);
    archive_free(&a);
}

} // namespace
