// Shared by the FAT reader tests: opening images, walking a whole tree the
// way the quick scan does, reading extents back, comparing a walk with fls
// and icat, and the sample card volume.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/buffer.h"
#include "foundation/byte_stream.h"
#include "scan/fat/fat_reader.h"
#include "scan/fat_image_support.h"
#include "support/test_support.h"

namespace fattest {

using ZV::Fat;
using zvtest::FatPatcher;

// 2021-05-06 07:08:10 UTC, the modification time of every sample file.
constexpr time_t kSampleTime = 1620284890;

inline std::shared_ptr<ZV::ByteStream> fileStream(const std::string &path)
{
    auto stream = std::make_shared<ZV::ByteStreamFile>(zorvant::u8string(path));
    if (!stream->open(ZV::ByteStream::modeRead))
        throw std::runtime_error("cannot open " + path);
    return stream;
}

// An in-memory image that counts the reads falling in a byte range.
class CountingStream : public ZV::ByteStreamBuffer {
public:
    CountingStream(ZV::Buffer *buffer, uint64_t from, uint64_t to) : ZV::ByteStreamBuffer(buffer), from_(from), to_(to)
    {
        open(modeRead);
    }
    int _read(void *destination, uint32_t count) override
    {
        if (position() < to_ && position() + count > from_)
            ++reads;
        return ZV::ByteStreamBuffer::_read(destination, count);
    }
    int reads = 0;

private:
    uint64_t from_, to_;
};

struct Item {
    std::string path;
    Fat::Entry entry;
    std::vector<Fat::Extent> extents;
    bool complete = false;
};

struct Tree {
    std::vector<Item> items;
    bool ok = true;     // every parseDirectory returned true
    int loops = 0;      // folders not entered because met before
};

// Walks the whole tree the way the quick scan does: depth first, each folder
// entered once.
inline void walkInto(Fat &fat, const Fat::Entry *dir, const std::string &prefix, uint32_t flags, Tree *tree,
                     std::set<uint32_t> *entered)
{
    std::vector<Item> folders;
    auto visit = [&](const Fat::Entry &e) {
        if (e.kind != Fat::kindFile && e.kind != Fat::kindDirectory)
            return true;
        Item item{prefix + Fat::displayName(e).c_str(), e, {}, false};
        if (e.kind == Fat::kindFile)
            item.extents = fat.clusterChain(e, &item.complete);
        else
            folders.push_back(item);
        tree->items.push_back(item);
        return tree->items.size() < 100000;
    };
    tree->ok = fat.parseDirectory(0, dir, visit, flags) && tree->ok;
    for (const Item &f : folders) {
        if (f.entry.flags & Fat::flagErased)
            continue;
        if (!entered->insert(f.entry.firstCluster).second)
            ++tree->loops;
        else
            walkInto(fat, &f.entry, f.path + "/", flags, tree, entered);
    }
}

inline Tree walkTree(Fat &fat, uint32_t flags = 0)
{
    Tree tree;
    std::set<uint32_t> entered;
    if (fat.fatType() == Fat::typeFat32)
        entered.insert(fat.rootCluster());
    walkInto(fat, nullptr, "", flags, &tree, &entered);
    return tree;
}

inline const Item *findItem(const Tree &tree, const std::string &path)
{
    for (const Item &item : tree.items)
        if (item.path == path)
            return &item;
    return nullptr;
}

// Opens the image (throwing when the reader refuses it) and walks it.
inline Tree walkImage(const std::string &image, uint32_t flags = 0)
{
    Fat fat(fileStream(image));
    if (!fat.open())
        throw std::runtime_error("cannot open the volume in " + image);
    return walkTree(fat, flags);
}

// A fresh mkfs.fat image in a folder of its own.
struct Volume {
    zvtest::TempDir dir;
    std::string image;
    Volume(int bits, unsigned kib, const std::string &options = "") : image(dir / "v.img")
    {
        zvtest::makeFat(image, bits, kib, options);
    }
    void put(const std::string &path, const std::string &bytes) const
    {
        zvtest::fatPut(image, path, bytes, kSampleTime);
    }
    Tree walk(uint32_t flags = 0) const { return walkImage(image, flags); }
};

inline std::string readExtents(const std::string &image, const std::vector<Fat::Extent> &extents)
{
    std::ifstream in(image, std::ios::binary);
    in.seekg(0, std::ios::end);
    const uint64_t size = static_cast<uint64_t>(in.tellg());
    std::string out;
    for (const Fat::Extent &e : extents) {
        if (e.start > size || e.length > size - e.start)
            throw std::runtime_error("extent past the image");
        std::string part(e.length, '\0');
        in.seekg(static_cast<std::streamoff>(e.start));
        in.read(&part[0], static_cast<std::streamsize>(e.length));
        out += part;
    }
    return out;
}

inline uint64_t totalLength(const std::vector<Fat::Extent> &extents)
{
    uint64_t n = 0;
    for (const auto &e : extents)
        n += e.length;
    return n;
}

// Characters outside the BMP, which fls leaves out of its names.
inline std::string withoutAstral(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size();)
        if (static_cast<unsigned char>(s[i]) >= 0xF0)
            i += 4; // a four-byte UTF-8 sequence
        else
            out += s[i++];
    return out;
}

// Live files and folders, their sizes, times and contents, as fls and icat
// see them.
inline void expectMatchesSleuthkit(const std::string &image, const Tree &tree)
{
    std::map<std::string, std::string> inodes; // path -> inode
    std::set<std::string> theirs;
    for (const auto &e : zvtest::flsList(image)) {
        if (e.deleted || e.path.empty() || e.path[0] == '$' || e.type[0] == 'v' || e.type[0] == 'V' ||
            e.path.find("(Volume Label Entry)") != std::string::npos)
            continue;
        theirs.insert(e.path);
        inodes[e.path] = e.inode;
    }
    std::set<std::string> ours;
    for (const Item &item : tree.items)
        if (!(item.entry.flags & Fat::flagErased))
            ours.insert(withoutAstral(item.path));
    EXPECT_EQ(ours, theirs);

    std::map<std::string, zvtest::FlsBodyEntry> body;
    for (const auto &b : zvtest::flsBody(image))
        body[b.name] = b;
    for (const Item &item : tree.items) {
        if (item.entry.kind != Fat::kindFile || (item.entry.flags & Fat::flagErased))
            continue;
        const std::string key = "/" + withoutAstral(item.path);
        SCOPED_TRACE(item.path);
        ASSERT_TRUE(body.count(key));
        const auto &b = body[key];
        EXPECT_EQ(b.size, item.entry.size);
        EXPECT_EQ(b.mtime, item.entry.modified);
        EXPECT_EQ(b.crtime, item.entry.created);
        EXPECT_EQ(b.atime, item.entry.accessed);
        EXPECT_TRUE(item.complete);
        EXPECT_EQ(readExtents(image, item.extents), zvtest::icat(image, inodes[withoutAstral(item.path)]));
    }
}

// A card-like volume: a label, folders three deep, long names in several
// scripts, a zero-length file, a lower-case 8.3 name,
// a fragmented file and a deleted one.
inline void fillSample(const std::string &image)
{
    const uint32_t cluster = FatPatcher(image).bytesPerCluster();
    zvtest::fatLabel(image, "CARDLBL");
    zvtest::fatMkdir(image, "DCIM");
    zvtest::fatMkdir(image, "DCIM/100CANON");
    zvtest::fatPut(image, "DCIM/100CANON/IMG_0001.JPG", zvtest::patternBytes(5000, 1), kSampleTime);
    zvtest::fatPut(image, "DCIM/100CANON/Holiday picture number two.jpg", zvtest::patternBytes(3 * cluster + 7, 2),
                   kSampleTime);
    zvtest::fatPut(image, "Ünïcødé café.txt", "accents", kSampleTime);
    zvtest::fatPut(image, "日本語の写真.jpg", zvtest::patternBytes(777, 3), kSampleTime);
    zvtest::fatPut(image, "Привет мир.txt", "cyrillic", kSampleTime);
    zvtest::fatPut(image, "empty.txt", "", kSampleTime);
    zvtest::fatPut(image, "abc.txt", "lower", kSampleTime);
    zvtest::fatMkdir(image, "a");
    zvtest::fatMkdir(image, "a/b");
    zvtest::fatMkdir(image, "a/b/c");
    zvtest::fatPut(image, "a/b/c/deep.txt", "deep", kSampleTime);
    // Fragmentation: a gap of two clusters is filled first, the rest lands
    // after the file that follows it.
    zvtest::fatPut(image, "one.bin", zvtest::patternBytes(cluster, 4), kSampleTime);
    zvtest::fatPut(image, "gap.bin", zvtest::patternBytes(2 * cluster, 5), kSampleTime);
    zvtest::fatPut(image, "two.bin", zvtest::patternBytes(cluster, 6), kSampleTime);
    zvtest::fatDelete(image, "gap.bin");
    // FAT32 keeps a next-free hint that would skip the gap: forget it.
    FatPatcher p(image);
    if (p.geometry().bits == 32)
        p.putU32(uint64_t(p.getU16(48)) * p.geometry().bytesPerSector + 492, 0xFFFFFFFF);
    zvtest::fatPut(image, "fragmented.bin", zvtest::patternBytes(5 * cluster + 100, 7), kSampleTime);
    zvtest::fatPut(image, "gone.jpg", zvtest::patternBytes(1500, 8), kSampleTime);
    zvtest::fatDelete(image, "gone.jpg");
}

struct Layout {
    int bits;
    unsigned kib;
    const char *options;
};

// Test names and failure messages show the layout, not the bytes of its pointer.
inline void PrintTo(const Layout &layout, std::ostream *os)
{
    *os << "FAT" << layout.bits << " " << layout.kib << " KiB" << (*layout.options ? " " : "") << layout.options;
}

// A 512-byte boot sector of a real volume.
inline std::vector<uint8_t> bootSectorOf(const std::string &image)
{
    const std::string all = zvtest::readFile(image).substr(0, 512);
    return std::vector<uint8_t>(all.begin(), all.end());
}

// Stores a little-endian value of width bytes.
inline void putLE(std::vector<uint8_t> &b, size_t at, uint32_t v, int width)
{
    for (int i = 0; i < width; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

inline bool parses(const std::vector<uint8_t> &boot, int *type = nullptr, Fat *into = nullptr)
{
    Fat local;
    Fat &fat = into ? *into : local;
    return fat.parseBootSector(boot.data(), boot.size(), type);
}

} // namespace fattest
