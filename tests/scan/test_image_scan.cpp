// Disk images from end to end: one small FAT card (a floppy and an 8 MiB
// card, made with mkfs.fat and mtools) in every container the image readers
// take -- VMDK written by qemu-img (monolithic and split sparse), UDIF with
// zlib, bzip2, raw, zero and ignored chunks, DiskCopy 4.2, the own format
// with 512- and 4096-byte sectors -- registered as an image, attached with
// media_attach_image and quick-scanned by start_scan with the FAT type: the
// catalog lists the same folders and files, with the same sizes and times,
// and reads the same file data as the raw card attached the same way. And
// files that are no images, some of them made to look like one to a reader,
// attached as images all the same: each keeps its own bytes.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "fat_image_support.h"
#include "foundation/buf.h"
#include "fs_test_support.h"
#include "scan/fat/fat_scan.h"
#include "scan/scan_driver.h"
#include "storage/images/image_file.h"
#include "storage/images/dc42_writer.h"
#include "storage/images/udif_writer.h"
#include "storage/images/vmdk_test_support.h"
#include "storage/images/zorvant_image_writer.h"
#include "storage/media_stream.h"

namespace {

using namespace zvtest;

constexpr time_t kT0 = 1262347444; // 2010-01-01 12:04:04 UTC (FAT keeps even seconds)

// The card's files by path: nested folders, long names (one in Cyrillic),
// incompressible photos, compressible text and an empty file.
std::map<std::string, std::string> cardFiles(size_t photo, uint32_t seed)
{
    std::string notes;
    for (int i = 0; i < 2000; ++i)
        notes += "note " + std::to_string(i) + " of the card\n";
    return {
        {"DCIM/100CANON/IMG_0001.JPG", patternBytes(photo, seed)},
        {"DCIM/100CANON/a rather long name for a photo.jpeg", patternBytes(photo / 3 + 123, seed + 1)},
        {"DCIM/100CANON/Deeper Folder Name/IMG_0002.JPG", patternBytes(5000, seed + 2)},
        {"Музыка/песня номер один.mp3", patternBytes(7000, seed + 3)},
        {"NOTES.TXT", notes},
        {"empty.txt", ""},
    };
}

const char *const kCardFolders[] = {"DCIM", "DCIM/100CANON", "DCIM/100CANON/Deeper Folder Name", "Музыка"};

// A FAT card image at path (bits, kib as mkfs.fat takes them) holding files.
void makeCard(const std::string &path, int bits, unsigned kib, const std::map<std::string, std::string> &files)
{
    // One sector per cluster: enough clusters for FAT16 on 8 MiB.
    makeFat(path, bits, kib, "--invariant -i 20250103 -s 1");
    fatLabel(path, "IMAGECARD");
    for (const char *folder : kCardFolders)
        fatMkdir(path, folder);
    for (const auto &[name, bytes] : files)
        fatPut(path, name, bytes, kT0);
}

// Two block tables, their chunks of 64 sectors stored in turn raw, zlib and
// bzip2 (all-zero ones as zero chunks), the second opened by a comment.
std::vector<UdifTablePlan> udifMixedPlan(const std::string &bytes)
{
    const uint64_t sectors = bytes.size() / 512, half = sectors / 2;
    const uint32_t turns[] = {udifRaw, udifZlib, udifBzip2};
    std::vector<UdifTablePlan> plan = {{"first (0)", {}}, {"second (1)", {{udifComment, 0}}}};
    int turn = 0;
    for (uint64_t s = 0; s < sectors; s += 64) {
        const uint64_t end = std::min(s + 64, s < half ? half : sectors);
        const bool zero = bytes.find_first_not_of('\0', s * 512) >= end * 512;
        plan[s < half ? 0 : 1].chunks.push_back({zero ? udifZero : turns[turn++ % 3], end - s});
        s = end - 64;
    }
    return plan;
}

struct Container {
    std::string name;
    std::string path; // what is registered and attached
};

// The raw card at raw in every container (files next to it); DiskCopy 4.2
// only for a floppy, the one size that format holds.
std::vector<Container> containersOf(const std::string &raw, bool floppy)
{
    const std::string bytes = readFile(raw), stem = raw.substr(0, raw.rfind('.'));
    std::vector<Container> out;
    const auto add = [&](const std::string &name, const std::string &path, const std::string &image) {
        writeFile(path, image);
        out.push_back({name, path});
    };
    vmdktest::toVmdk(raw, stem + ".vmdk");
    out.push_back({"VMDK monolithicSparse", stem + ".vmdk"});
    mustRun("mkdir -p " + shellQuote(stem + "-split"));
    vmdktest::toVmdk(raw, stem + "-split/card.vmdk", "subformat=twoGbMaxExtentSparse");
    out.push_back({"VMDK twoGbMaxExtentSparse", stem + "-split/card.vmdk"});
    add("UDIF zlib", stem + "-zlib.dmg", udifAssemble(udifBuild(bytes, udifUniformPlan(bytes, udifZlib, 64))));
    add("UDIF bzip2", stem + "-bzip2.dmg", udifAssemble(udifBuild(bytes, udifUniformPlan(bytes, udifBzip2, 256))));
    add("UDIF raw, zeros ignored", stem + "-raw.dmg",
        udifAssemble(udifBuild(bytes, udifUniformPlan(bytes, udifRaw, 64, udifIgnore))));
    add("UDIF mixed, two tables", stem + "-mixed.dmg", udifAssemble(udifBuild(bytes, udifMixedPlan(bytes), true)));
    if (floppy)
        add("DiskCopy 4.2", stem + ".dc42", dc42Image(bytes));
    add("own format, 512-byte sectors, zlib", stem + "-512.zimg", zorvantImage(bytes, {65536, 0, 512}));
    add("own format, 4096-byte sectors, bzip2", stem + "-4096.zimg", zorvantImage(bytes, {32768, 1, 4096}));
    return out;
}

// What a quick scan found: one line per node (path, size, times), the paths
// alone, and each file's data by path.
struct Scanned {
    std::string listing, paths;
    std::map<std::string, std::string> data;
};

// The medium's bytes from 0 to its length, read through a medium stream.
std::string mediumBytes(Media *m)
{
    HV::ByteStreamMedia stream(m);
    std::string out((size_t)media_length(m), '\0');
    if (!stream.isOpen() || stream.read(out.data(), (uint32_t)out.size()) != (int)out.size())
        ADD_FAILURE() << "medium " << media_path(m) << " not read whole";
    return out;
}

class ImageScan : public fstest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        ASSERT_NE(fat_describe(), nullptr);
        image_file_set_opener(nullptr); // the real readers
    }

    // Registers path as an image (registered: what file_open_disk_image
    // must give), attaches it as an image medium of size bytes.
    Media *attach(const std::string &path, int registered, int64_t size)
    {
        EXPECT_EQ(file_open_disk_image(path.c_str()), registered) << path;
        Media *m = media_attach_image(path.c_str());
        if (m == nullptr)
            throw std::runtime_error("media_attach_image " + path);
        EXPECT_EQ(m->kind, (uint32_t)MEDIA_IMAGE);
        EXPECT_EQ(media_length(m), size) << path;
        return m;
    }

    // Quick-scans the medium into slot 1, collects the FAT catalog and frees
    // the slot again.
    Scanned quickScan(Media *m)
    {
        Scanned out;
        EXPECT_EQ(start_scan(m->id, SCX_TYPE_QUICK, workspace), 0) << media_path(m);
        std::shared_ptr<ScanContext> scan = scx_in_slot(1);
        if (scan == nullptr || scan->fs_list.size() != 1 || scan->fs_list[0]->type != FS_TYPE_FAT) {
            ADD_FAILURE() << "no single FAT record after the scan of " << media_path(m);
        } else {
            fs_record *fs = scan->fs_list[0].get();
            std::map<std::string, NodeInfo> nodes;
            fstest::catalogNodes(fs, KEYNUM_FS_ROOT, "", &nodes);
            for (const auto &[path, node] : nodes) {
                const bool folder = (node.flags & NODE_FOLDER) != 0;
                out.listing += path + " " + std::to_string(folder ? 0 : node.data_size) + " m" +
                               std::to_string(node.date_modified) + " c" + std::to_string(node.date_created) + "\n";
                out.paths += path + "\n";
                if (!folder)
                    out.data[path] = fstest::nodeData(fs, node.keynum, node.data_size);
            }
        }
        scan.reset();
        ScanContext *slot = scx_in_slot(1).get();
        if (slot != nullptr) {
            EXPECT_EQ(scx_delete(&slot), 0);
        }
        return out;
    }

    ScopedEnv tz{"TZ", "UTC"};
};

} // namespace

// The raw card, attached as an image, is no image and reads as itself: its listing holds exactly the folders and
// files put on it, with their bytes. Every container of it lists and reads the same.
TEST_F(ImageScan, CardInEveryContainerListsLikeTheRawCard)
{
    const struct {
        const char *name;
        int bits;
        unsigned kib;
        size_t photo;
        bool floppy;
    } cards[] = {{"floppy.img", 12, 1440, 200 * 1024, true}, {"card.img", 16, 8192, 1 << 20, false}};
    for (const auto &card : cards) {
        SCOPED_TRACE(card.name);
        const std::string raw = dir / card.name;
        const std::map<std::string, std::string> files = cardFiles(card.photo, card.bits);
        makeCard(raw, card.bits, card.kib, files);
        const int64_t size = (int64_t)card.kib * 1024;

        const Scanned want = quickScan(attach(raw, -1, size));
        std::set<std::string> paths;
        for (const auto &entry : files)
            paths.insert(entry.first);
        for (const char *folder : kCardFolders)
            paths.insert(std::string(folder) + "/");
        std::string wantPaths;
        for (const std::string &path : paths)
            wantPaths += path + "\n";
        EXPECT_EQ(want.paths, wantPaths);
        for (const auto &[name, bytes] : files)
            EXPECT_TRUE(want.data.count(name) && want.data.at(name) == bytes) << name;
        EXPECT_NE(want.listing.find("DCIM/100CANON/IMG_0001.JPG " + std::to_string(card.photo) + " m" +
                                    std::to_string(kT0)),
                  std::string::npos)
            << want.listing;

        const std::string rawBytes = readFile(raw);
        for (const Container &c : containersOf(raw, card.floppy)) {
            SCOPED_TRACE(c.name);
            Media *m = attach(c.path, 0, size);
            EXPECT_TRUE(mediumBytes(m) == rawBytes);
            const Scanned got = quickScan(m);
            EXPECT_EQ(got.listing, want.listing);
            EXPECT_TRUE(got.data == want.data);
        }
    }
}

// Files that are no images -- raw card dumps, a small text file, and files that begin (or end) the way an image
// of some format does but are none -- attached as images: no reader takes them, and the medium covers and reads
// the file's own bytes. The VMDK descriptors name a FIFO and a device as extents: neither is opened (a FIFO
// would block the attach).
TEST_F(ImageScan, FilesThatAreNoImagesKeepTheirBytes)
{
    const std::string floppy = dir / "floppy.img", card = dir / "card.img";
    makeCard(floppy, 12, 1440, cardFiles(40000, 5));
    makeCard(card, 16, 8192, cardFiles(300000, 6));
    ASSERT_EQ(mkfifo((dir / "extent.fifo").c_str(), 0600), 0);
    const std::string descriptor = "# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n"
                                   "createType=\"monolithicSparse\"\n\n# Extent description\n";
    // A real UDIF trailer (its property list far beyond this file's end) after some text.
    const std::string floppyBytes = readFile(floppy);
    const std::string udif = udifAssemble(udifBuild(floppyBytes, udifUniformPlan(floppyBytes, udifZlib)));
    const std::string koly = "some text before a trailer\n" + udif.substr(udif.size() - 512);
    // A header "KDMV" of version 1 with nothing sane after it.
    std::string kdmv = "KDMV" + vmdktest::le(1, 4) + vmdktest::le(3, 4) + vmdktest::le(1u << 31, 8);
    kdmv.resize(1024, 'k');
    const struct {
        std::string name, bytes;
    } cases[] = {
        {"floppy dump", floppyBytes},
        {"card dump", readFile(card)},
        {"text", "A few notes about the card.\nNothing else.\n"},
        {"descriptor without extents", descriptor},
        {"descriptor of a FIFO extent", descriptor + "RW 2048 SPARSE \"extent.fifo\"\n"},
        {"descriptor of a device extent", descriptor + "RW 2048 SPARSE \"/dev/zero\"\n"},
        {"descriptor of a missing extent", descriptor + "RW 2048 SPARSE \"missing-s001.vmdk\"\n"},
        {"sparse header of nonsense", kdmv},
        {"own format of 0 sectors", zorvantImage("")},
        {"own format header only", "ZRVTDSK1" + std::string(8, '\0')},
        {"trailer after text", koly},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / (c.name + ".img");
        writeFile(path, c.bytes);
        Media *m = attach(path, -1, (int64_t)c.bytes.size());
        EXPECT_TRUE(mediumBytes(m) == c.bytes);
    }
}
