// The disk-image opener (the order of the readers, what it refuses, paths it
// cannot open) and the image stream (positions, reads at and past the end,
// sectors larger than 512 bytes), over the tests' own fake format; and raw
// card dumps, which no real reader may take for an image.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/images/disk_image_readers.h"
#include "tests/scan/fat_image_support.h"
#include "tests/storage/media_test_support.h"
#include "tests/storage/images/fake_disk_image.h"

using zvtest::FakeDiskImage;

namespace {

// A reader of the table that records its turn and where the stream stood,
// reads a few bytes (so the next one must start again at 0), then accepts
// with an image of `sectors` sectors or refuses by throwing.
struct ScriptedReader {
    std::string name;
    bool accepts;
    uint64_t sectors = 4;
};

struct Trace {
    std::vector<std::string> calls;
    std::vector<uint64_t> positions;
};

ZV::DiskImageReaders scripted(const std::vector<ScriptedReader> &stream, const ScriptedReader &path, Trace *trace)
{
    ZV::DiskImageReaders readers;
    for (const ScriptedReader &r : stream)
        readers.stream.push_back([r, trace](const std::shared_ptr<ZV::ByteStream> &s) -> std::shared_ptr<ZV::DiskImage> {
            trace->calls.push_back(r.name);
            trace->positions.push_back(s->position());
            char some[3];
            s->read(some, sizeof some);
            if (!r.accepts)
                throw std::invalid_argument("invalid disk image");
            return std::make_shared<FakeDiskImage>(512, r.sectors);
        });
    readers.path = [path, trace](const zorvant::u8string &) -> std::shared_ptr<ZV::DiskImage> {
        trace->calls.push_back(path.name);
        if (!path.accepts)
            throw 7; // not even a std::exception
        return std::make_shared<FakeDiskImage>(512, path.sectors);
    };
    return readers;
}

std::string joined(const std::vector<std::string> &names)
{
    std::string out;
    for (const std::string &n : names)
        out += (out.empty() ? "" : " ") + n;
    return out;
}

class DiskImageOpener : public testing::Test {
protected:
    zvtest::TempDir dir;
};

} // namespace

// The opener tries UDIF, DiskCopy 4.2 and the own format over one stream, each from position 0, then VMDK by
// path; the first that accepts (with at least one sector) wins. A path that is no regular file (missing, a
// FIFO, a folder) never reaches the stream readers -- a FIFO would block the open -- but still reaches VMDK.
TEST_F(DiskImageOpener, TriesTheReadersInOrder)
{
    const std::string file = dir / "disk.img";
    zvtest::writeFile(file, std::string(4096, 'x'));
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::vector<ScriptedReader> stream;
        ScriptedReader byPath;
        std::string calls;  // readers called, in order
        std::string winner; // "" for none
    } cases[] = {
        {file, {{"udif", true}, {"dc42", true}, {"own", true}}, {"vmdk", true}, "udif", "udif"},
        {file, {{"udif", false}, {"dc42", true}, {"own", true}}, {"vmdk", true}, "udif dc42", "dc42"},
        {file, {{"udif", false}, {"dc42", false}, {"own", true}}, {"vmdk", true}, "udif dc42 own", "own"},
        {file, {{"udif", false}, {"dc42", false}, {"own", false}}, {"vmdk", true}, "udif dc42 own vmdk", "vmdk"},
        {file, {{"udif", false}, {"dc42", false}, {"own", false}}, {"vmdk", false}, "udif dc42 own vmdk", ""},
        // An image of 0 sectors is no image: the next reader gets its turn.
        {file, {{"udif", true, 0}, {"dc42", true}, {"own", true}}, {"vmdk", true}, "udif dc42", "dc42"},
        {file, {{"udif", false}}, {"vmdk", true, 0}, "udif vmdk", ""},
        {dir / "missing.img", {{"udif", true}}, {"vmdk", true}, "vmdk", "vmdk"},
        {fifo, {{"udif", true}}, {"vmdk", false}, "vmdk", ""},
        {dir.path(), {{"udif", true}}, {"vmdk", false}, "vmdk", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path + " expecting " + c.calls);
        Trace trace;
        const auto image = ZV::disk_image_open_with(c.path, scripted(c.stream, c.byPath, &trace));
        EXPECT_EQ(joined(trace.calls), c.calls);
        for (uint64_t at : trace.positions)
            EXPECT_EQ(at, 0u);
        EXPECT_EQ(image != nullptr, !c.winner.empty());
        if (image != nullptr) {
            EXPECT_EQ(trace.calls.back(), c.winner);
        }
    }
}

// Raw card dumps (FAT12 floppy and FAT32 card images made by mkfs.fat) and a small text file are no images
// to any reader: the opener gives nothing, so they keep their own bytes.
TEST_F(DiskImageOpener, RawDumpsAreNoImages)
{
    const std::string floppy = dir / "floppy.img", card = dir / "card.img", text = dir / "notes.txt";
    zvtest::makeFat(floppy, 12, 1440);
    zvtest::makeFat(card, 32, 64 * 1024);
    zvtest::writeFile(text, "createType=\"monolithicSparse\"\nno extents here\n");
    for (const std::string &path : {floppy, card, text}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(ZV::DiskImage::open(path), nullptr);
    }
    EXPECT_EQ(ZV::DiskImage::openUDIF(nullptr), nullptr);
    auto stream = std::make_shared<ZV::ByteStreamFile>(card);
    ASSERT_TRUE(stream->open(ZV::ByteStream::modeRead));
    EXPECT_EQ(ZV::DiskImage::openUDIF(stream), nullptr);
}

// dmgValidatePosition: 1 inside, 2 exactly at the end, 0 (logged) for a position inside a sector or past the
// end; the sector is stored for both valid answers.
TEST(DiskImageStream, ValidatesPositions)
{
    FakeDiskImage image(512, 100);
    const struct {
        uint64_t position;
        int result;
        uint64_t sector;
        const char *log;
    } cases[] = {
        {0, 1, 0, ""},
        {99 * 512, 1, 99, ""},
        {100 * 512, 2, 100, ""},
        {513, 0, 777, "[2] ZV::ByteStreamDiskImage::dmgValidatePosition: Position is not sector aligned 513\n"},
        {101 * 512, 0, 777,
         "[2] ZV::ByteStreamDiskImage::dmgValidatePosition: Out of range sector 101 for position 51712\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.position);
        uint64_t sector = 777;
        testing::internal::CaptureStdout();
        EXPECT_EQ(ZV::ByteStreamDiskImage::dmgValidatePosition(&image, c.position, &sector), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.log);
        if (c.result != 0) {
            EXPECT_EQ(sector, c.sector);
        }
    }
}

// A 100-sector image: a seek to the end succeeds and reads 0, one sector beyond fails; 1024 bytes at sector 99
// give its 512; a failing sector fails the whole read; length, block size and alignment follow the image.
TEST(DiskImageStream, ReadsAtAndPastTheEnd)
{
    const std::string bytes = mediatest::pattern(100 * 512);
    auto image = std::make_shared<FakeDiskImage>(512, 100, bytes);
    ZV::ByteStreamDiskImage stream(image);
    ASSERT_TRUE(stream.isOpen());
    EXPECT_EQ(stream.length(), 100u * 512);
    EXPECT_EQ(stream.blockSize(), 512u);
    EXPECT_EQ(stream.alignment(), 512u);

    char buffer[1024];
    ASSERT_TRUE(stream.seek(100 * 512));
    EXPECT_EQ(stream.read(buffer, 512), 0);
    EXPECT_FALSE(stream.seek(101 * 512));
    ASSERT_TRUE(stream.seek(99 * 512));
    EXPECT_EQ(stream.read(buffer, 1024), 512);
    EXPECT_EQ(std::string(buffer, 512), bytes.substr(99 * 512));

    // Straight through the slots (no base alignment): whole sectors only.
    testing::internal::CaptureStdout();
    EXPECT_TRUE(stream._seek(100 * 512));
    EXPECT_FALSE(stream._seek(101 * 512));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Out of range sector 101"), std::string::npos);

    image->failAt = 42;
    image->reads.clear();
    EXPECT_EQ(stream.readAt(40 * 512, buffer, 1024), 1024); // sectors 40 and 41
    EXPECT_EQ(stream.readAt(41 * 512, buffer, 1024), -1);  // sector 42 fails: nothing partial
    EXPECT_EQ(image->reads, (std::vector<uint64_t>{40, 41, 41, 42}));
}

// Sectors of 4096 bytes: block size and alignment 4096, and 10 bytes at 5000 read sector 1 whole.
TEST(DiskImageStream, LargeSectors)
{
    const std::string bytes = mediatest::pattern(4 * 4096);
    auto image = std::make_shared<FakeDiskImage>(4096, 4, bytes);
    ZV::ByteStreamDiskImage stream(image);
    EXPECT_EQ(stream.blockSize(), 4096u);
    EXPECT_EQ(stream.alignment(), 4096u);
    EXPECT_EQ(stream.length(), 4u * 4096);
    char buffer[10];
    ASSERT_EQ(stream.readAt(5000, buffer, sizeof buffer), 10);
    EXPECT_EQ(std::string(buffer, 10), bytes.substr(5000, 10));
    EXPECT_EQ(image->reads, (std::vector<uint64_t>{1}));
}

// A stream over no image, or over an image whose sectors cannot be presented (0 sectors, a sector size that
// is no power of two, more bytes than a signed 64-bit size), stays closed and reads nothing.
TEST(DiskImageStream, UnusableGeometryStaysClosed)
{
    const std::shared_ptr<ZV::DiskImage> images[] = {
        nullptr,
        std::make_shared<FakeDiskImage>(512, 0),
        std::make_shared<FakeDiskImage>(1000, 1),
        std::make_shared<FakeDiskImage>(256, 1),
        std::make_shared<FakeDiskImage>(4096, 0),
    };
    for (const auto &image : images) {
        ZV::ByteStreamDiskImage stream(image);
        EXPECT_FALSE(stream.isOpen());
        char buffer[512];
        EXPECT_LE(stream.read(buffer, sizeof buffer), 0);
    }
    struct Huge : FakeDiskImage {
        Huge() : FakeDiskImage(4096, 1) {}
        uint64_t numSectors() override { return UINT64_MAX / 4096; }
    };
    Huge huge;
    EXPECT_FALSE(ZV::disk_image_geometry_ok(huge));
}
