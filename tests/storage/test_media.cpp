// Media records: ids, the matching of returning disks, retain, release and seeking, partition media from real
// card images and loop devices, and the archive form.
#include <cstring>
#include <regex>

#include "foundation/archive.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "storage/media_stream.h"
#include "tests/storage/media_test_support.h"

using namespace mediatest;
using zvtest::mustRun;

namespace {

// Made before any test runs, so it is the process's first medium.
const uint32_t g_first_id = [] {
    Media *m = media_new(nullptr, "first", MEDIA_FILE, MEDIA_FLAG_UNLISTED);
    const uint32_t id = m != nullptr ? m->id : 0;
    media_free(&m);
    return id;
}();

// An 8 MiB card image with one FAT partition at `start` sectors (sfdisk, mkfs.fat --offset).
std::string mbrImage(const zvtest::TempDir &dir, int start)
{
    const std::string path = dir / "card.img", at = std::to_string(start);
    for (const char *tool : {"sfdisk", "mkfs.fat"})
        zvtest::requireTool(tool);
    mustRun("rm -f '" + path + "' && truncate -s 8M '" + path + "'");
    mustRun("printf 'label: dos\\nstart=" + at + ", type=c\\n' | sfdisk -q '" + path + "'");
    mustRun("mkfs.fat --offset " + at + " '" + path + "'");
    return path;
}

// The tests' file-system prescan: a FAT boot sector ("FAT" at 54, 55 AA) sets type 1, subtype 2.
int fatPrescan(Media *m)
{
    HV::ByteStreamMedia stream(m);
    uint8_t b[512];
    if (!stream.isOpen() || stream.read(b, 512) != 512 || std::memcmp(b + 54, "FAT", 3) != 0 || b[510] != 0x55 ||
        b[511] != 0xAA)
        return -1;
    m->fs_type = 1, m->fs_subtype = 2;
    return 0;
}

using MediaList = MediaFixture;
using MediaOpen = MediaFixture;
using MediaPartitions = MediaFixture;
using MediaArchive = MediaFixture;

} // namespace

TEST_F(MediaList, IdsFromOneNeverReusedAndDescribed)
{
    EXPECT_EQ(g_first_id, 1u);
    Media *a = media_new(nullptr, "a", MEDIA_FILE, 0);
    const uint32_t freed = a->id;
    media_free(&a);
    Media *b = media_new("/dev/zvX", "Card", MEDIA_DISK, 0);
    EXPECT_GT(b->id, freed);
    EXPECT_EQ(media_find_by_id(freed, 0), nullptr);
    EXPECT_EQ(media_find_by_id(b->id, 1), b);
    EXPECT_EQ(media_find_by_id(b->id, 2), nullptr); // attached, asked for detached only
    EXPECT_EQ(media_description(b), "id=" + std::to_string(b->id) + ", path=/dev/zvX, name=Card");
    EXPECT_EQ(media_child_id(b, 5), 0u); // beyond the list
}

// The scoring of a returning disk, with no device I/O: media_find_or_new only picks.
TEST_F(MediaList, FindOrNewScoring)
{
    const struct {
        const char *what, *old_path, *old_name;
        bool old_attached;
        const char *path, *name;
        int64_t old_size, size;
        bool taken;
    } cases[] = {
        {"new path, same size and name (4)", "/dev/zvA", "Card", false, "/dev/zvB", "Card", 1000, 1000, true},
        {"new path, other name (-4)", "/dev/zvA", "Card", false, "/dev/zvB", "Other", 1000, 1000, false},
        {"new path, stored name empty (0)", "/dev/zvA", "", false, "/dev/zvB", "Card", 1000, 1000, false},
        {"new path, given name empty (0)", "/dev/zvA", "Card", false, "/dev/zvB", "", 1000, 1000, false},
        {"same path, other name (-3)", "/dev/zvA", "Card", false, "/dev/zvA", "Other", 1000, 1000, false},
        {"same path, stored name empty (1)", "/dev/zvA", "", false, "/dev/zvA", "Card", 1000, 1000, true},
        {"same path, given name empty (1)", "/dev/zvA", "Card", false, "/dev/zvA", nullptr, 1000, 1000, true},
        {"Apple Read adds 1", "/dev/zvA", "Apple Read SD", false, "/dev/zvB", "Apple Read SD", 1000, 1000, true},
        {"same path attached, taken at once", "/dev/zvA", "Card", true, "/dev/zvA", "Other", 1000, 5, true},
        {"other path attached is skipped", "/dev/zvA", "Card", true, "/dev/zvB", "Card", 1000, 1000, false},
        {"different size is skipped", "/dev/zvA", "Card", false, "/dev/zvB", "Card", 1000, 2000, false},
        {"no stored size is not compared", "/dev/zvA", "Card", false, "/dev/zvB", "Card", 0, 2000, true},
        {"paths compared byte for byte", "/dev/zvA", "", false, "/dev/ZVA", "Card", 1000, 1000, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        media_free_all();
        Media *old = media_new(c.old_path, c.old_name, MEDIA_DISK, 0);
        old->orig_stop_pos = c.old_size;
        old->attached = c.old_attached;
        Media *got = media_find_or_new(c.path, c.name, c.size, 1, MEDIA_DISK);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got == old, c.taken);
        EXPECT_TRUE(got->attached && got->write_protected);
        EXPECT_STREQ(media_path(got), c.path); // a matched disk follows its new device path
    }
    // The best score wins over a newer, weaker candidate; a partition is never a candidate.
    media_free_all();
    Media *strong = media_new("/dev/zvC", "Card", MEDIA_DISK, 0), *weak = media_new("/dev/zvA", "Card", MEDIA_DISK, 0);
    Media *part = media_new("/dev/zvC", "Card", MEDIA_PARTITION, 0);
    weak->attached = strong->attached = part->attached = 0;
    EXPECT_EQ(media_find_or_new("/dev/zvC", "Card", 0, 0, MEDIA_DISK), strong);
    EXPECT_EQ(strong->write_protected, 0);
}

// Fault guard: the window is set before the map and checksum are read (not inside the match, under the list
// mutex), so a disk that comes back with another size is summed over its new window.
TEST_F(MediaList, ReturningDiskIsReadOverItsNewWindow)
{
    const std::string path = dir / "disk.bin";
    zvtest::writeFile(path, pattern(8 << 20, 2));
    Media *m = media_attach_disk(path.c_str(), "Card", 1, 4 << 20, 512);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(media_attach_disk(path.c_str(), "Card", 1, 8 << 20, 512), m);
    media_checksum fresh;
    ASSERT_EQ(media_checksum_refresh(m, &fresh, true), 0);
    EXPECT_EQ(0, std::memcmp(fresh.values, m->checksum.values, sizeof fresh.values));
}

// Fault guard for media_io_seek: it positions at the window offset, whatever a short read left behind.
TEST_F(MediaOpen, RetainReleaseSeekAndAbsoluteIoSeek)
{
    const std::string path = dir / "f.bin", bytes = pattern(4096);
    zvtest::writeFile(path, bytes);
    Media *m = fileMedium(path);
    m->start_pos = 512; // the window [512, 4096)
    clear_errors();
    ASSERT_TRUE(media_retain(m) == 0 && media_retain(m) == 0);
    ASSERT_EQ(media_seek(m, 100), 0);
    EXPECT_EQ(media_seek(m, 3584), -18); // exactly the length
    EXPECT_EQ(media_seek(m, -1), -18);
    EXPECT_EQ(m->byte_pos, 100);
    char buf[64];
    EXPECT_EQ(media_read(m, buf, 10), 10);
    ASSERT_EQ(media_io_seek(m, 200), 0);
    EXPECT_EQ(m->byte_pos, 200);
    ASSERT_EQ(media_read(m, buf, 64), 64);
    EXPECT_EQ(std::string(buf, 64), bytes.substr(712, 64));
    ASSERT_EQ(media_seek(m, 3584 - 10), 0);
    EXPECT_EQ(media_read(m, buf, 64), 10); // never past the window
    media_release(m);
    EXPECT_TRUE(file_is_open(m->io));
    media_release(m);
    EXPECT_FALSE(file_is_open(m->io));
    m->byte_pos = 7;
    media_release(m); // not retained: error 556, and still moved to the end
    EXPECT_EQ(m->byte_pos, 3584);
    EXPECT_EQ(media_retain(nullptr), -1);
    media_release(nullptr);
    EXPECT_EQ(error_list_str(), "[556 554 555]");
    EXPECT_EQ(media_seek(media_new(nullptr, "empty", MEDIA_FILE, 0), 0), -18);
}

TEST_F(MediaPartitions, SuperfloppyGivesOneWholeChildOnlyWithAFileSystem)
{
    zvtest::requireTool("mkfs.fat");
    const std::string path = dir / "floppy.img";
    mustRun("mkfs.fat -C '" + path + "' 1024");
    Media *m = media_attach_file(path.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->children.empty()); // no prescan hook: no file system found
    media_free_all();
    media_set_prescan_hook(fatPrescan);
    ASSERT_NE(m = media_attach_file(path.c_str()), nullptr);
    EXPECT_EQ(m->partition_scheme, (uint32_t)PARTITION_SCHEME_WHOLE);
    EXPECT_EQ(media_fs_code(m), 0x12u);
    ASSERT_EQ(m->children.size(), 1u);
    Media *child = media_find_attached_by_id(m->children[0]);
    ASSERT_NE(child, nullptr);
    EXPECT_STREQ(media_name(child), "Partition 0");
    EXPECT_EQ(child->parent, m);
    EXPECT_EQ(media_length(child), 1 << 20);
}

// Fault guard for child reuse: the same card again gets the same partition medium; a card swapped in the same
// reader with another layout gets a fresh one, and the old one keeps its window for the scans that refer to it.
TEST_F(MediaPartitions, MbrSliceAndCardSwapWithChangedLayout)
{
    const std::string path = mbrImage(dir, 2048), dump = mustRun("sfdisk --dump '" + path + "'");
    std::smatch part; // what sfdisk says it made
    ASSERT_TRUE(std::regex_search(dump, part, std::regex("start= *([0-9]+), size= *([0-9]+)")));
    media_set_prescan_hook(fatPrescan);
    Media *m = media_attach_file(path.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->partition_scheme, (uint32_t)PARTITION_MAP_MBR);
    ASSERT_EQ(m->children.size(), 1u);
    const uint32_t first = m->children[0];
    Media *child = media_find_by_id(first, 0);
    EXPECT_STREQ(media_name(child), "Partition 1");
    EXPECT_EQ(child->start_pos, std::stoll(part[1]) * 512); // 1 MiB
    EXPECT_EQ(media_length(child), std::stoll(part[2]) * 512);
    EXPECT_EQ(media_fs_code(child), 0x12u); // its boot sector was found at 1 MiB
    media_detach_path(path.c_str());
    EXPECT_EQ(media_attach_file(path.c_str()), m);
    EXPECT_EQ(m->children, std::vector<uint32_t>{first});
    media_detach_path(path.c_str());
    mbrImage(dir, 4096);
    EXPECT_EQ(media_attach_file(path.c_str()), m);
    ASSERT_EQ(m->children.size(), 2u);
    Media *fresh = media_find_attached_by_id(m->children[1]), *old = media_find_by_id(first, 2);
    ASSERT_TRUE(fresh != nullptr && old != nullptr);
    EXPECT_EQ(fresh->start_pos, 4096 * 512);
    EXPECT_EQ(old->start_pos, 2048 * 512);
}

// A card back under a new device node is matched to its detached medium; fault guard: block size 0 means 512.
TEST_F(MediaPartitions, SameImageThroughASecondLoopDeviceIsMatched)
{
    const std::string image = mbrImage(dir, 2048);
    zvtest::LoopDevice first(image);
    Media *m = media_attach_disk(first.path().c_str(), "Card Reader", 1, 8 << 20, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->block_size, 512);
    ASSERT_EQ(m->children.size(), 1u);
    const uint32_t child = m->children[0];
    media_detach_path(first.path().c_str());
    zvtest::LoopDevice second(image);
    EXPECT_EQ(media_attach_disk(second.path().c_str(), "Card Reader", 1, 8 << 20, 512), m);
    EXPECT_EQ(m->children, std::vector<uint32_t>{child});
    Media *part = media_find_attached_by_id(child);
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(media_path(part), second.path().c_str());
    HV::ByteStreamMedia stream(part);
    uint8_t boot[512];
    ASSERT_EQ(stream.read(boot, sizeof boot), 512);
    EXPECT_EQ(std::string((char *)boot, 512), zvtest::readFile(image).substr(1 << 20, 512));
}

TEST_F(MediaArchive, RoundTripNotListedAndMissingKey)
{
    const std::string path = mbrImage(dir, 2048), file = dir / "media.arch";
    Media *m = media_attach_file(path.c_str()), *r = nullptr;
    ASSERT_NE(m, nullptr);
    m->byte_pos = 1234, m->data_pos = 1000;
    archive *a = archive_new(file.c_str(), ARCHIVE_WRITE, 1);
    ASSERT_EQ(media_archive(m, a, true), 0);
    ASSERT_EQ(archive_free(&a), 0);
    a = archive_new(file.c_str(), ARCHIVE_READ, 0);
    ASSERT_EQ(media_unarchive(a, &r), 0);
    archive_free(&a);
    EXPECT_EQ(r->kind, (uint32_t)MEDIA_ARCHIVED);
    EXPECT_EQ(media_path(r), nullptr);
    EXPECT_STREQ(media_name(r), "card.img");
    EXPECT_EQ(std::make_tuple(r->orig_stop_pos, r->byte_pos, r->data_pos), std::make_tuple(8LL << 20, 1234LL, 1000LL));
    EXPECT_EQ(0, std::memcmp(r->checksum.values, m->checksum.values, sizeof r->checksum.values));
    ASSERT_EQ(r->partitions.entries.size(), 1u);
    EXPECT_EQ(r->partitions.entries[0].start, 1 << 20);
    EXPECT_EQ(media_find_by_id(r->id, 0), nullptr);
    media_free(&r);

    LogCapture log; // a record that stops after its name: refused with the missing key's code
    a = archive_new(file.c_str(), ARCHIVE_WRITE, 1);
    archive_start_block(a, "media", 1);
    archive_string(a, "media_path", "/dev/zvA");
    archive_string(a, "name", "Card");
    archive_end_block(a, "media");
    ASSERT_EQ(archive_free(&a), 0);
    a = archive_new(file.c_str(), ARCHIVE_READ, 0);
    EXPECT_EQ(media_unarchive(a, &r), -16);
    EXPECT_EQ(r, nullptr);
    EXPECT_TRUE(log.has("media_unarchive: archive error for -1"));
    archive_free(&a);
}
