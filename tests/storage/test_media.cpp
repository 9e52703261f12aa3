// Media records: ids, the matching of returning disks, retain, release and seeking, partition media from real
// card images and loop devices, and the archive form.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include "foundation/archive.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "storage/media_stream.h"
#include "support/hang_guard.h"
#include "tests/storage/media_test_support.h"

using namespace mediatest;
using zvtest::mustRun;

namespace {

// Made before any test runs, so it is the process's first listed medium;
// an unlisted one made before it takes no id.
const uint32_t g_first_id = [] {
    Media *unlisted = media_new(nullptr, "saved", MEDIA_FILE, MEDIA_FLAG_UNLISTED);
    const bool none = unlisted != nullptr && unlisted->id == 0;
    media_free(&unlisted);
    Media *m = media_new(nullptr, "first", MEDIA_FILE, 0);
    const uint32_t id = m != nullptr && none ? m->id : 0;
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
using MediaDetachThreads = MediaFixture;

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

// Fault guard: a card that cannot be opened in the reader a card was read from matches none of that card's scans.
TEST_F(MediaList, UnreadableCardInTheSameReaderKeepsNoEarlierSamples)
{
    const std::string path = dir / "disk.bin";
    zvtest::writeFile(path, pattern(4 << 20, 3));
    Media *m = media_attach_disk(path.c_str(), "Card", 1, 4 << 20, 512);
    Media *saved = media_new(nullptr, "Card", MEDIA_ARCHIVED, MEDIA_FLAG_UNLISTED);
    ASSERT_TRUE(m != nullptr && saved != nullptr);
    saved->orig_stop_pos = m->orig_stop_pos, saved->checksum = m->checksum;
    ASSERT_EQ(media_find_matching(saved, 0.9, false).size(), 1u);
    media_detach_path(path.c_str());
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); // refused by the file layer, as a reader that cannot be read
    EXPECT_EQ(media_attach_disk(path.c_str(), "Card", 1, 4 << 20, 512), m);
    EXPECT_FALSE(media_same_contents(m, saved));
    EXPECT_TRUE(media_find_matching(saved, 0.9, false).empty());
    media_free(&saved);
}

// Fault guard for media_io_seek: it positions at the window offset, whatever a short read left behind.
TEST_F(MediaOpen, RetainReleaseSeekAndAbsoluteIoSeek)
{
    const std::string path = dir / "f.bin", bytes = pattern(8192);
    zvtest::writeFile(path, bytes);
    Media *m = fileMedium(path);
    m->start_pos = 512; // the window [512, 4096) ends inside the file
    m->stop_pos = 4096;
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

// Fault guarded: attaching a FIFO blocked for ever in the open. A FIFO, a character device, a folder or a missing
// file is refused at once (no medium is left behind), also when a FIFO took the place of a file attached before:
// that medium stays listed, detached. A disk named by a FIFO gets no map and no hang. Run in a child process,
// so that the faulty code fails the test instead of hanging it.
TEST_F(MediaOpen, AttachingAFifoOrAnotherSpecialFileNeitherBlocksNorOpensIt)
{
    LogCapture log;
    const std::string fifo = dir / "pipe", file = dir / "card.img";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    zvtest::writeFile(file, pattern(64 << 10));
    const zvtest::ChildOutcome outcome = zvtest::runInChild([&](const zvtest::ChildNotes &note) {
        int failures = 0;
        for (const std::string &path : {fifo, std::string("/dev/null"), dir.path(), dir / "missing"}) {
            note("attaching " + path);
            if (media_attach_file(path.c_str()) != nullptr)
                note("ATTACHED " + path), ++failures;
        }
        int listed = 0;
        media_for_each([&](Media *) { return ++listed, true; });
        if (listed != 0)
            note("media left in the list: " + std::to_string(listed)), ++failures;

        note("attaching the file, then a FIFO in its place");
        Media *m = media_attach_file(file.c_str());
        if (m == nullptr || media_length(m) != 64 << 10)
            note("the regular file did not attach"), ++failures;
        media_detach_path(file.c_str());
        unlink(file.c_str());
        mkfifo(file.c_str(), 0600);
        if (media_attach_file(file.c_str()) != nullptr)
            note("ATTACHED the FIFO put in place of the file"), ++failures;
        if (m == nullptr || media_find_by_id(m->id, 2) != m)
            note("the medium found again is not listed as detached"), ++failures;

        note("a disk named by a FIFO");
        Media *disk = media_attach_disk(fifo.c_str(), "Card", 1, 1 << 20, 512);
        if (disk == nullptr || !disk->partitions.entries.empty() || !disk->children.empty())
            note("the disk named by a FIFO was read"), ++failures;
        media_free_all();
        return failures;
    });
    EXPECT_TRUE(outcome.finished) << "hung; steps:\n" << outcome.notes;
    EXPECT_EQ(outcome.status, 0) << outcome.notes;
    EXPECT_TRUE(log.has("media_attach_file: Can't open " + fifo));
    EXPECT_TRUE(log.has("file_open: refused " + fifo + ": a FIFO"));
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

// A block device that ends inside its medium (a reader reporting an empty
// slot once the card is out) is a medium gone; a file that ends early, or
// any other error, is not.
TEST_F(MediaPartitions, EndOfDataOnABlockDeviceIsTheMediumGone)
{
    const std::string image = mbrImage(dir, 2048);
    zvtest::LoopDevice loop(image);
    Media *disk = media_attach_disk(loop.path().c_str(), "Card Reader", 1, 8 << 20, 512);
    Media *file = media_attach_file(image.c_str());
    ASSERT_TRUE(disk != nullptr && file != nullptr);
    EXPECT_TRUE(media_gone(disk, ENODATA));
    EXPECT_FALSE(media_gone(disk, EIO));
    EXPECT_FALSE(media_gone(file, ENODATA));
    EXPECT_TRUE(media_gone(file, ENOMEDIUM));
}

// A device removed while the engine thread reloads and reads its card: the device monitor's thread detaches
// every medium of the path, comparing their file objects' names under the list mutex, while each attach and
// each retain opens the medium's file object again, which sets that name anew. The sanitizers judge this test.
TEST_F(MediaDetachThreads, DeviceRemovedWhileTheCardIsReloadedAndRead)
{
    zvtest::requireTool("mkfs.fat");
    const std::string image = dir / "card.img";
    mustRun("mkfs.fat -C '" + image + "' 4096 >/dev/null");
    zvtest::LoopDevice device(image);
    const char *path = device.path().c_str();
    Media *m = media_attach_disk(path, "Card Reader", 1, 4 << 20, 512);
    ASSERT_NE(m, nullptr);
    std::atomic<bool> done{false};
    std::thread monitor([&] {
        while (!done)
            media_detach_path(path);
    });
    int failures = 0;
    for (int i = 0; i < 50; i++) {
        if (media_attach_disk(path, "Card Reader", 1, 4 << 20, 512) != m) // the reload
            ++failures;
        for (int read = 0; read < 20; read++) {
            if (media_retain(m) != 0) {
                ++failures;
                continue;
            }
            media_release(m);
        }
    }
    done = true;
    monitor.join();
    EXPECT_EQ(failures, 0);
    EXPECT_STREQ(media_path(m), path);
    media_detach_path(path);
    EXPECT_EQ(media_find_attached_by_id(m->id), nullptr);
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
    ASSERT_EQ(m->identity.names.size(), 2u); // sfdisk's disk id, mkfs.fat's volume
    EXPECT_TRUE(std::regex_match(m->identity.names[0], std::regex("disk id [0-9A-F]{8}")));
    EXPECT_TRUE(std::regex_match(m->identity.names[1], std::regex("FAT volume at byte 1048576: serial "
                                                                  "[0-9A-F]{4}-[0-9A-F]{4}, label \"NO NAME\"")));
    EXPECT_TRUE(r->identity.kept && r->identity.names == m->identity.names);
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

namespace {

// A saved medium with the window, positions and partition table given, written as media_archive writes it.
struct SavedMedium {
    int64_t start = 0, stop = 1 << 20, orig_start = 0, orig_stop = 1 << 20, byte_pos = 0, data_pos = 0;
    std::vector<media_partition_entry> entries{{1, 4096, 8192}};

    std::string write(const std::string &path) const
    {
        Media *m = media_new(nullptr, "Saved card", MEDIA_FILE, MEDIA_FLAG_UNLISTED);
        m->start_pos = start, m->stop_pos = stop, m->orig_start_pos = orig_start, m->orig_stop_pos = orig_stop;
        m->byte_pos = byte_pos, m->data_pos = data_pos, m->slice = 0;
        m->partitions.type = PARTITION_MAP_GPT;
        m->partitions.entries = entries;
        m->checksum.count = 2, m->checksum.values[0] = 0x12345678, m->checksum.values[1] = 0x9ABCDEF0;
        archive *a = archive_new(path.c_str(), ARCHIVE_WRITE, 1);
        EXPECT_EQ(media_archive(m, a, false), 0);
        EXPECT_EQ(archive_free(&a), 0);
        media_free(&m);
        return zvtest::readFile(path);
    }
};

// media_unarchive over archive bytes; the medium or NULL.
Media *restore(const std::string &bytes, int *status)
{
    archive *a = nullptr;
    Media *r = nullptr;
    *status = archive_load_memory(bytes.data(), bytes.size(), &a);
    if (*status == 0)
        *status = media_unarchive(a, &r);
    archive_free(&a);
    return r;
}

} // namespace

// Fault guarded: a saved medium's windows were taken as stored, so start -1 or INT64_MIN with stop INT64_MAX (and
// the same for the first window) overflowed in media_length and media_compare. Every window, position and
// partition entry read back must lie inside the medium; the record is refused otherwise. Edge values that a real
// medium has (an empty window, a position at the end, an entry up to the end) still come back.
TEST_F(MediaArchive, CraftedWindowsPositionsAndEntriesAreRefused)
{
    LogCapture log;
    const std::string path = dir / "saved.arch";
    const int64_t MIN = INT64_MIN, MAX = INT64_MAX;
    const struct { const char *what; std::function<void(SavedMedium &)> craft; } refused[] = {
        {"window INT64_MIN..INT64_MAX", [&](SavedMedium &s) { s.start = MIN, s.stop = MAX; }},
        {"window -1..INT64_MAX", [&](SavedMedium &s) { s.start = -1, s.stop = MAX; }},
        {"first window INT64_MIN..INT64_MAX", [&](SavedMedium &s) { s.orig_start = MIN, s.orig_stop = MAX; }},
        {"first window -1..INT64_MAX", [&](SavedMedium &s) { s.orig_start = -1, s.orig_stop = MAX; }},
        {"stop before start", [](SavedMedium &s) { s.start = 4096, s.stop = 512; }},
        {"first stop before start", [](SavedMedium &s) { s.orig_start = 4096, s.orig_stop = 512; }},
        {"negative stop", [](SavedMedium &s) { s.start = 0, s.stop = -512; }},
        {"byte_pos negative", [](SavedMedium &s) { s.byte_pos = -1; }},
        {"byte_pos past the end", [](SavedMedium &s) { s.byte_pos = (1 << 20) + 1; }},
        {"data_pos INT64_MAX", [&](SavedMedium &s) { s.data_pos = MAX; }},
        {"entry INT64_MAX + INT64_MAX", [&](SavedMedium &s) { s.entries = {{1, MAX, MAX}}; }},
        {"entry start negative", [](SavedMedium &s) { s.entries = {{1, -512, 1024}}; }},
        {"entry size negative", [](SavedMedium &s) { s.entries = {{1, 512, -1}}; }},
        {"entry past the end", [](SavedMedium &s) { s.entries = {{1, 4096, 8192}, {2, 1 << 19, (1 << 19) + 1}}; }},
    };
    Media *attached = media_new(nullptr, "Saved card", MEDIA_FILE, MEDIA_FLAG_UNLISTED);
    attached->stop_pos = attached->orig_stop_pos = 1 << 20;
    for (const auto &c : refused) {
        SCOPED_TRACE(c.what);
        SavedMedium saved;
        c.craft(saved);
        int status = 0;
        Media *r = restore(saved.write(path), &status);
        EXPECT_EQ(status, -16);
        EXPECT_EQ(r, nullptr);
        if (r != nullptr) { // what the old code went on to do with it: UBSan stops here on an overflow
            EXPECT_GE(media_length(r), 0);
            media_compare(attached, r, nullptr);
            media_free(&r);
        }
    }
    EXPECT_TRUE(log.has("media_unarchive: refused a saved medium: window (-1, 9223372036854775807)"));

    const struct { const char *what; std::function<void(SavedMedium &)> craft; int64_t length; } kept[] = {
        {"as saved", [](SavedMedium &) {}, 1 << 20},
        {"empty window, positions 0", [](SavedMedium &s) { s.start = s.stop = 4096; }, 0},
        {"positions at the end", [](SavedMedium &s) { s.byte_pos = s.data_pos = 1 << 20; }, 1 << 20},
        {"entry up to the end, empty entry", [](SavedMedium &s) { s.entries = {{1, 0, 1 << 20}, {2, 1 << 20, 0}}; },
         1 << 20},
        {"narrowed window inside a larger first one", [](SavedMedium &s) { s.start = 512, s.orig_stop = 8 << 20; },
         (1 << 20) - 512},
    };
    for (const auto &c : kept) {
        SCOPED_TRACE(c.what);
        SavedMedium saved;
        c.craft(saved);
        int status = -1;
        Media *r = restore(saved.write(path), &status);
        ASSERT_EQ(status, 0);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(media_length(r), c.length);
        EXPECT_EQ(r->partitions.entries.size(), saved.entries.size());
        EXPECT_EQ(r->checksum.values[1], 0x9ABCDEF0u);
        media_free(&r);
    }
    media_free(&attached);

    // media_length on its own: a window that begins before the file is empty, with no overflow.
    Media bare;
    for (auto [start, stop] : {std::pair{MIN, MAX}, {int64_t(-1), MAX}, {int64_t(-5), int64_t(10)}}) {
        bare.start_pos = start, bare.stop_pos = stop;
        EXPECT_EQ(media_length(&bare), 0) << start << " " << stop;
    }
    bare.start_pos = 0, bare.stop_pos = MAX;
    EXPECT_EQ(media_length(&bare), MAX);
}

// The seeds in fuzz/corpus/media_archive are records this writer makes; ZV_WRITE_MEDIA_ARCHIVE_SEEDS=1 writes
// them anew.
TEST_F(MediaArchive, FuzzCorpusIsWhatTheWriterMakes)
{
    SavedMedium plain, overflow, many;
    overflow.start = -1, overflow.stop = INT64_MAX, overflow.orig_start = INT64_MIN, overflow.orig_stop = INT64_MAX;
    many.entries.clear();
    for (int32_t i = 1; i <= 8; i++)
        many.entries.push_back({i, int64_t(i) << 16, 1 << 15});
    const std::map<std::string, std::string> seeds = {
        {"plain", plain.write(dir / "plain")},
        {"overflow", overflow.write(dir / "overflow")},
        {"eight-partitions", many.write(dir / "many")},
    };
    const std::filesystem::path folder =
        std::filesystem::path(ZV_SOURCE_DIR) / "fuzz/corpus/media_archive";
    for (const auto &[name, bytes] : seeds) {
        if (std::getenv("ZV_WRITE_MEDIA_ARCHIVE_SEEDS")) {
            std::filesystem::create_directories(folder);
            zvtest::writeFile(folder / name, bytes);
        }
        EXPECT_EQ(zvtest::readFile(folder / name), bytes) << name;
    }
}
