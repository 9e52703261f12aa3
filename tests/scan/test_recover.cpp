// Recovery of catalog nodes into a host folder (scan/catalog/recover.h):
// real catalogs of the stand-in file-system type over a raw image of known
// bytes, real target folders (a size-limited tmpfs for a full disk, a
// loop-mounted ext4 for the medium guard), and faults injected under the
// medium's reads through a registered virtual-file type.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/progress.h"
#include "fat_image_support.h"
#include "fs_test_support.h"
#include "scan/catalog/catdb_internal.h"
#include "scan/catalog/recover.h"
#include "scan/fat/fat_scan.h"
#include "storage/media_test_support.h"

namespace {

namespace fsys = std::filesystem;
using fstest::Node;
using mediatest::pattern;


// The stand-in type with dates and the catalog's recovery operations.
class RecoverOps : public fstest::TestOps {
public:
    int node_info(fs_record *r, uint64_t keynum, NodeInfo *out, int flags) override
    {
        const int rc = TestOps::node_info(r, keynum, out, flags);
        auto found = modified.find((int64_t)out->keynum);
        if (rc == 0 && found != modified.end()) {
            out->date_modified = found->second;
            out->date_created = found->second;
        }
        return rc;
    }
    int recover_marked(fs_record *r, const char *target) override { return catdb_recover_selected(&r->cat, target); }
    int recover_node(fs_record *r, uint64_t keynum, const char *target, std::string *path, uint64_t *size) override
    {
        return catdb_recover_node(&r->cat, (int64_t)keynum, target, path, size);
    }
    std::map<int64_t, int64_t> modified;
};

int recover_init(fs_record *record)
{
    const int rc = fstest::test_fs_init(record);
    record->ops.reset(new RecoverOps());
    return rc;
}

// Faults under a medium's reads: byte ranges that fail with EIO (a read
// stops short before them, as a device does), ENODEV from `gone` on (the
// card was pulled out), and an abort requested by the read that covers
// `abort_at`. Registered under the image path for the test's lifetime.
struct InjectedCard {
    std::vector<std::pair<int64_t, int64_t>> bad;
    int64_t gone = INT64_MAX;
    int64_t abort_at = -1;

    static ssize_t pread(file_t *f, void *buffer, size_t count, int64_t offset)
    {
        InjectedCard &c = *static_cast<InjectedCard *>(f->vf->arg);
        int64_t end = offset + (int64_t)count;
        if (c.abort_at >= offset && c.abort_at < end)
            request_abort();
        if (offset >= c.gone)
            return errno = ENODEV, -1;
        end = std::min(end, c.gone);
        for (const auto &range : c.bad) {
            if (range.first < end && range.second > offset) {
                if (range.first <= offset)
                    return errno = EIO, -1;
                end = range.first;
            }
        }
        return ::pread(f->fd, buffer, (size_t)(end - offset), offset);
    }
};

// Every entry below root: relative path -> content ("<dir>", "<link>").
std::map<std::string, std::string> tree(const std::string &root)
{
    std::map<std::string, std::string> out;
    for (auto it = fsys::recursive_directory_iterator(root); it != fsys::recursive_directory_iterator(); ++it) {
        const std::string rel = it->path().lexically_relative(root).string();
        if (it->is_symlink())
            out[rel] = "<link>";
        else if (it->is_directory())
            out[rel] = "<dir>";
        else
            out[rel] = zvtest::readFile(it->path().string());
    }
    return out;
}

bool has_error(int code)
{
    const std::string list = error_list_str();
    return list.find(std::to_string(code)) != std::string::npos;
}

class Recovery : public fstest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        fil_module *module = fstest::register_test_type();
        module->fs_init = recover_init;
        image = pattern(1 << 20, 7);
        medium = fileMedium(dir / "card.img", image);
        clear_errors();
        begin_run_flags();
    }
    void TearDown() override
    {
        clear_run_flags();
        Workspace::TearDown();
    }

    std::shared_ptr<fs_record> scanWith(const std::vector<Node> &nodes, Media *m = nullptr)
    {
        ScanContext *scan = scx_new(SCX_TYPE_QUICK, m != nullptr ? m : medium, workspace);
        if (scan == nullptr)
            throw std::runtime_error("scx_new");
        scx_begin(scan);
        std::shared_ptr<fs_record> fs = fs_new_of_type(scan, FS_TYPE_FAT);
        fstest::write_catalog(fs.get(), nodes);
        scan->scanned_here = 1;
        scx_finish(scan, 0);
        EXPECT_TRUE(fs_is_recoverable(fs.get()));
        return fs;
    }
    static RecoverOps &ops(fs_record *fs) { return *static_cast<RecoverOps *>(fs->ops.get()); }
    // Ticks a node; chain = the node, its parent, ..., the root.
    static void tick(fs_record *fs, std::vector<int64_t> chain, uint32_t value = 1)
    {
        chain.push_back(CATDB_KEYNUM_NONE);
        ASSERT_EQ(fs_select_nodes(fs, chain.data(), chain.size(), value), 0);
    }
    static uint32_t selection(fs_record *fs, int64_t keynum)
    {
        uint32_t value = 9;
        EXPECT_EQ(catdb_get_selection_(&fs->cat, keynum, &value), 0);
        return value;
    }
    // A medium over an image whose reads go through an InjectedCard.
    Media *injectedMedium(const std::string &path, InjectedCard *card)
    {
        zvtest::writeFile(path, image);
        static vf_ops table{};
        table.pread = &InjectedCard::pread;
        if (file_register_vf(path.c_str(), &table, card) == nullptr)
            throw std::runtime_error("file_register_vf");
        return attachedMedium(path, MEDIA_IMAGE, (int64_t)image.size());
    }
    std::string bytes(const std::vector<fs_extent> &extents, uint64_t size) const
    {
        std::string out;
        for (const fs_extent &e : extents)
            out += image.substr(e.start, e.length);
        out.resize(size, '\0');
        return out;
    }

    std::string image;
    Media *medium = nullptr;
    zvtest::TempDir out;
};

// --- names ---------------------------------------------------------------------------------------

TEST(RecoverNames, SafeNamesForTheHost)
{
    EXPECT_EQ(recover_safe_name("a/b"), "a_b");
    EXPECT_EQ(recover_safe_name("../../x"), ".._.._x");
    EXPECT_EQ(recover_safe_name("..\\..\\x"), ".._.._x");
    EXPECT_EQ(recover_safe_name(""), "_");
    EXPECT_EQ(recover_safe_name("."), "_.");
    EXPECT_EQ(recover_safe_name(".."), "_..");
    EXPECT_EQ(recover_safe_name("..."), "...");
    EXPECT_EQ(recover_safe_name(std::string("a\0b\x01\x1f\x7f", 6)), "a_b__\x7f");
    EXPECT_EQ(recover_safe_name("bad\xff\xfe.jpg"), "bad\xEF\xBF\xBD\xEF\xBF\xBD.jpg");
    EXPECT_EQ(recover_safe_name("\xed\xa0\x80x"), "\xEF\xBF\xBDx"); // an encoded surrogate
    EXPECT_EQ(recover_safe_name("CON<>:|?*.txt"), "CON<>:|?*.txt"); // legal on Linux file systems
    EXPECT_EQ(recover_windows_safe_name("CON.txt"), "_CON.txt");
    EXPECT_EQ(recover_windows_safe_name("a:b?.txt. "), "a_b_.txt__");

    // 255 UTF-16 units of CJK take 757 bytes: cut at a character boundary, extension kept.
    std::string cjk;
    for (int i = 0; i < 251; ++i)
        cjk += "\xE5\x86\x99"; // U+5199
    const std::string safe = recover_safe_name(cjk + ".jpg");
    EXPECT_LE(safe.size(), 255u);
    EXPECT_EQ(safe.size(), 83 * 3 + 4u);
    EXPECT_EQ(safe.substr(safe.size() - 4), ".jpg");
    // A long "extension" is no extension: the whole name is cut.
    const std::string odd = recover_safe_name("a." + std::string(300, 'e'));
    EXPECT_EQ(odd, "a." + std::string(253, 'e'));
}

TEST(RecoverNames, FreeNameSeriesStaysWithin255Bytes)
{
    EXPECT_EQ(recover_numbered_variant("photo.jpg", 1), "photo-01.jpg");
    EXPECT_EQ(recover_numbered_variant("photo.jpg", 2), "photo-02.jpg");
    EXPECT_EQ(recover_numbered_variant("clip", 1), "clip-01");
    EXPECT_EQ(recover_numbered_variant("clip", 100), "clip-100");
    EXPECT_EQ(recover_numbered_variant("a.tar.gz", 4998), "a.tar-4998.gz");
    // 250 + 10: the sanitizer cuts the base to 244, each suffix cuts it again.
    const std::string name = recover_safe_name(std::string(250, 'b') + "." + std::string(10, 'e'));
    EXPECT_EQ(name, std::string(244, 'b') + "." + std::string(10, 'e'));
    for (int n : {1, 99, 100, 4998}) {
        const std::string v = recover_numbered_variant(name, n);
        EXPECT_EQ(v.size(), 255u) << n;
        EXPECT_EQ(v.substr(v.size() - 11), "." + std::string(10, 'e')) << n;
    }
    // Multi-byte base: the cut keeps whole characters.
    std::string wide;
    for (int i = 0; i < 63; ++i)
        wide += "\xF0\x9F\x93\xB7"; // U+1F4F7, 252 bytes
    const std::string v = recover_numbered_variant(wide + ".x", 10);
    EXPECT_LE(v.size(), 255u);
    EXPECT_EQ(v, std::string(wide, 0, 62 * 4) + "-10.x");
    // No base to cut: the extension's start goes.
    EXPECT_EQ(recover_numbered_variant("ab." + std::string(252, 'e'), 7), "-07." + std::string(251, 'e'));
    // Leading and trailing dots start no extension.
    EXPECT_EQ(recover_numbered_variant(".profile", 1), ".profile-01");
    EXPECT_EQ(recover_numbered_variant("_..", 1), "_..-01");
}

// --- hostile names, free names, links ----------------------------------------------------------

TEST_F(Recovery, HostileNamesAllLandInsideTheTarget)
{
    std::string cjk;
    for (int i = 0; i < 251; ++i)
        cjk += "\xE5\x86\x99";
    const std::vector<Node> nodes = {
        {1, -1, 1, 0, "", {}},
        {2, 1, 1, 0, "../../x", {}},
        {3, 2, 0, 100, "a/b", {{1000, 100}}},
        {4, 1, 0, 101, ".", {{2000, 101}}},
        {5, 1, 0, 102, "..", {{3000, 102}}},
        {6, 1, 0, 103, "", {{4000, 103}}},
        {7, 1, 0, 104, cjk + ".jpg", {{5000, 104}}},
        {8, 1, 0, 105, "../../escape.txt", {{6000, 105}}},
        {9, 1, 1, 0, "..", {}},
        {10, 9, 0, 106, "up.txt", {{7000, 106}}},
        {11, 1, 0, 107, "x\\y.txt", {{8000, 107}}},
        {12, 1, 0, 108, "tab\tname\x01", {{9000, 108}}},
        {13, 1, 0, 109, "bad\xff.jpg", {{10000, 109}}},
        {14, 1, 1, 0, "/", {}},
        {15, 14, 0, 110, "/etc/passwd", {{11000, 110}}},
    };
    std::shared_ptr<fs_record> fs = scanWith(nodes);
    tick(fs.get(), {1});
    const std::string base = out / "a/b";
    std::filesystem::create_directories(base);
    for (const char *name : {"x", "escape.txt", "a/x", "a/escape.txt", "a/up.txt", "etc"})
        zvtest::writeFile(out / name, std::string("sentinel ") + name);
    const auto before = tree(out.path());

    EXPECT_EQ(fs_recover_marked(fs.get(), (base + "/target").c_str()), 0);
    const auto got = tree(base + "/target");
    auto content = [&](int64_t id) { return bytes(nodes[(size_t)id - 1].extents, (uint64_t)nodes[(size_t)id - 1].size); };
    const std::string cut = cjk.substr(0, 83 * 3) + ".jpg";
    const std::map<std::string, std::string> want = {
        {"Found Files", "<dir>"},
        {"Found Files/.._.._x", "<dir>"},
        {"Found Files/.._.._x/a_b", content(3)},
        {"Found Files/_.", content(4)},
        {"Found Files/_..", content(5)},
        {"Found Files/_", content(6)},
        {"Found Files/" + cut, content(7)},
        {"Found Files/.._.._escape.txt", content(8)},
        {"Found Files/_..-01", "<dir>"}, // the folder ".." meets the file ".." made a moment earlier
        {"Found Files/_..-01/up.txt", content(10)},
        {"Found Files/x_y.txt", content(11)},
        {"Found Files/tab_name_", content(12)},
        {"Found Files/bad\xEF\xBF\xBD.jpg", content(13)},
        {"Found Files/_-01", "<dir>"}, // "/" -> "_", taken by the file "" -> "_"
        {"Found Files/_-01/_etc_passwd", content(15)},
    };
    EXPECT_EQ(got, want);
    // Nothing outside the target changed or appeared.
    auto after = tree(out.path());
    for (auto it = after.begin(); it != after.end();)
        it = it->first.rfind("a/b/target", 0) == 0 ? after.erase(it) : std::next(it);
    after.erase("a/b"); // its own listing changed: the target folder is in it
    auto expected = before;
    expected.erase("a/b");
    EXPECT_EQ(after, expected);
    EXPECT_EQ(fs->recovered[0], 11u);
    EXPECT_EQ(fs->recovered[1], 3u);
}

TEST_F(Recovery, TakenNamesGetFreeNamesAndLinksAreNotFollowed)
{
    const std::vector<Node> nodes = {
        {1, -1, 1, 0, "", {}},
        {2, 1, 0, 10, "photo.jpg", {{100, 10}}},     // live
        {3, 1, 0, 11, "photo.jpg", {{200, 11}}},     // deleted, same name
        {4, 1, 0, 12, "clip", {{300, 12}}},
        {5, 1, 0, 13, "clip", {{400, 13}}},
        {6, 1, 1, 0, "DCIM", {}},
        {7, 6, 0, 14, "a.jpg", {{500, 14}}},
        {8, 1, 1, 0, "DCIM", {}},                     // a second folder of the name: merged
        {9, 8, 0, 15, "a.jpg", {{600, 15}}},
        {10, 1, 0, 16, "notes.txt", {{700, 16}}},     // the user's file has the name
        {11, 1, 1, 0, "Album", {}},                   // the user's file has the name
        {12, 11, 0, 17, "b.jpg", {{800, 17}}},
        {13, 1, 0, 18, "link.jpg", {{900, 18}}},      // a dangling link has the name
        {14, 1, 1, 0, "Pics", {}},                    // a link to an outside folder has the name
        {15, 14, 0, 19, "c.jpg", {{1000, 19}}},
        {16, 1, 0, 20, "kept.jpg", {{1100, 20}}},     // kept.jpg and kept-01.jpg exist
    };
    std::shared_ptr<fs_record> fs = scanWith(nodes);
    const std::string target = out / "target";
    std::filesystem::create_directories(target);
    std::filesystem::create_directories(out / "outside");
    zvtest::writeFile(target + "/notes.txt", "user notes");
    zvtest::writeFile(target + "/Album", "user album file");
    zvtest::writeFile(target + "/kept.jpg", "k0");
    zvtest::writeFile(target + "/kept-01.jpg", "k1");
    ASSERT_EQ(symlink((out / "outside/planted.jpg").c_str(), (target + "/link.jpg").c_str()), 0);
    ASSERT_EQ(symlink((out / "outside").c_str(), (target + "/Pics").c_str()), 0);

    std::string last;
    uint64_t size = 0;
    EXPECT_EQ(fs_recover_node(fs.get(), KEYNUM_FS_ROOT, target.c_str(), &last, &size), 0);
    auto content = [&](int64_t id) { return bytes(nodes[(size_t)id - 1].extents, (uint64_t)nodes[(size_t)id - 1].size); };
    const std::map<std::string, std::string> want = {
        {"photo.jpg", content(2)},
        {"photo-01.jpg", content(3)},
        {"clip", content(4)},
        {"clip-01", content(5)},
        {"DCIM", "<dir>"},
        {"DCIM/a.jpg", content(7)},
        {"DCIM/a-01.jpg", content(9)},
        {"notes.txt", "user notes"},
        {"notes-01.txt", content(10)},
        {"Album", "user album file"},
        {"Album-01", "<dir>"},
        {"Album-01/b.jpg", content(12)},
        {"link.jpg", "<link>"},
        {"link-01.jpg", content(13)},
        {"Pics", "<link>"},
        {"Pics-01", "<dir>"},
        {"Pics-01/c.jpg", content(15)},
        {"kept.jpg", "k0"},
        {"kept-01.jpg", "k1"},
        {"kept-02.jpg", content(16)},
    };
    EXPECT_EQ(tree(target), want);
    EXPECT_TRUE(tree(out / "outside").empty()); // neither link was followed
    EXPECT_EQ(last, target + "/kept-02.jpg");
    uint64_t total = 0;
    for (const Node &n : nodes)
        total += n.is_dir ? 0 : (uint64_t)n.size;
    EXPECT_EQ(size, total);

    // The selection is left alone by recover-node; recovering the same
    // file again takes the next free name.
    EXPECT_EQ(fs_recover_node(fs.get(), 2, target.c_str(), &last, &size), 0);
    EXPECT_EQ(last, target + "/photo-02.jpg");
    EXPECT_EQ(size, 10u);
}

TEST_F(Recovery, NumberedNamesAndSingleNodes)
{
    std::shared_ptr<fs_record> fs = scanWith({{1, -1, 1, 0, "", {}},
                                              {2, 1, 1, 0, "DCIM", {}},
                                              {3, 2, 0, 30, "IMG_0001.JPG", {{4096, 30}}},
                                              {4, 2, 0, 31, "noext", {{8192, 31}}},
                                              {5, 2, 0, 32, "a.b/c", {{9000, 32}}}});
    const std::string target = out / "prev";
    std::string last;
    uint64_t size = 0;
    ASSERT_EQ(fs_recover_node(fs.get(), 2, target.c_str(), &last, &size, 1), 0);
    EXPECT_EQ(fs->options, 0u); // restored
    const uint64_t base = (uint64_t)fs->slot << 56 | (uint64_t)fs->index << 40;
    char n3[64], n4[64], n5[64];
    std::snprintf(n3, sizeof n3, "%020llu.JPG", (unsigned long long)(base | 3));
    std::snprintf(n4, sizeof n4, "%020llu", (unsigned long long)(base | 4));
    std::snprintf(n5, sizeof n5, "%020llu.b_c", (unsigned long long)(base | 5));
    const std::map<std::string, std::string> want = {{"DCIM", "<dir>"},
                                                     {std::string("DCIM/") + n3, image.substr(4096, 30)},
                                                     {std::string("DCIM/") + n4, image.substr(8192, 31)},
                                                     {std::string("DCIM/") + n5, image.substr(9000, 32)}};
    EXPECT_EQ(tree(target), want);
    EXPECT_EQ(last, target + "/DCIM/" + n5);
    EXPECT_EQ(size, 93u);
    // One file alone goes straight into the target.
    ASSERT_EQ(fs_recover_node(fs.get(), 3, target.c_str(), &last, &size), 0);
    EXPECT_EQ(last, target + "/IMG_0001.JPG");
}

// --- exact bytes, partial data ------------------------------------------------------------------

TEST_F(Recovery, ExactByteRangesAcrossChunksAndExtents)
{
    std::vector<fs_extent> odd = {{1000, 777}, {5003, 1}, {70001, 200000}, {300000, 65536}, {513, 511}};
    std::vector<fs_extent> many;
    for (uint64_t i = 0; i < 20; ++i)
        many.push_back({(uint64_t)(900000 - i * 4099), 4099}); // backwards, unaligned, more than eight
    const uint64_t odd_size = 777 + 1 + 200000 + 65536 + 100; // the last extent is longer than what is left
    const std::vector<Node> nodes = {{1, -1, 1, 0, "", {}},
                                     {2, 1, 0, (int64_t)odd_size, "odd.bin", odd},
                                     {3, 1, 0, 20 * 4099, "many.bin", many},
                                     {4, 1, 0, 0, "empty.txt", {}},
                                     {5, 1, 0, (int64_t)image.size(), "all.img", {{0, image.size()}}}};
    std::shared_ptr<fs_record> fs = scanWith(nodes);
    tick(fs.get(), {1});
    ASSERT_EQ(fs_recover_marked(fs.get(), (out / "t").c_str()), 0);
    const std::string got = out / "t/Found Files";
    EXPECT_TRUE(zvtest::readFile(got + "/odd.bin") == bytes(odd, odd_size));
    EXPECT_TRUE(zvtest::readFile(got + "/many.bin") == bytes(many, 20 * 4099));
    EXPECT_TRUE(zvtest::readFile(got + "/all.img") == image);
    EXPECT_TRUE(fsys::exists(got + "/empty.txt"));
    EXPECT_EQ(fsys::file_size(got + "/empty.txt"), 0u);
    EXPECT_EQ(fs->recovered[0], 4u);
    EXPECT_EQ(fs->recovered[4], odd_size + 20 * 4099 + image.size());
}

TEST_F(Recovery, IncompleteDataIsKeptZeroFilledAndNotCounted)
{
    // The medium's window runs 64 KiB past the image file: reads there come back short.
    medium->stop_pos = medium->orig_stop_pos = (int64_t)image.size() + 65536;
    const uint64_t end = image.size();
    const std::vector<Node> nodes = {
        {1, -1, 1, 0, "", {}},
        {2, 1, 0, 5000, "short-chain.jpg", {{10000, 3000}}},          // extents end before the size
        {3, 1, 0, 4000, "short-read.jpg", {{end - 1000, 4000}}},      // the file's bytes end first
        {4, 1, 0, 3000, "beyond.jpg", {{end - 500, 500}, {end + 70000, 2500}}}, // past the window
        {5, 1, 0, 2000, "no-extents.jpg", {}},
        {6, 1, 0, 100, "good.jpg", {{20000, 100}}},
    };
    std::shared_ptr<fs_record> fs = scanWith(nodes);
    tick(fs.get(), {1});
    const int rc = fs_recover_marked(fs.get(), (out / "t").c_str());
    EXPECT_EQ(rc, -34); // the first failure
    const std::string got = out / "t/Found Files/";
    EXPECT_TRUE(zvtest::readFile(got + "short-chain.jpg") == image.substr(10000, 3000) + std::string(2000, '\0'));
    EXPECT_TRUE(zvtest::readFile(got + "short-read.jpg") == image.substr(end - 1000) + std::string(3000, '\0'));
    EXPECT_TRUE(zvtest::readFile(got + "beyond.jpg") == image.substr(end - 500) + std::string(2500, '\0'));
    EXPECT_FALSE(fsys::exists(got + "no-extents.jpg")); // nothing copied: nothing kept
    EXPECT_EQ(zvtest::readFile(got + "good.jpg"), image.substr(20000, 100));
    EXPECT_EQ(fs->recovered[0], 1u);
    EXPECT_EQ(fs->recovered[4], 100u);
    EXPECT_TRUE(logged("ends 2000 bytes before its size"));
    EXPECT_TRUE(logged("Short read in file: " + got + "short-read.jpg"));
    EXPECT_TRUE(logged("File extends beyond media: " + got + "beyond.jpg"));
    EXPECT_TRUE(logged("Incomplete file kept: \"" + got + "short-chain.jpg\""));
    EXPECT_TRUE(logged("Errors during recovery: "));
    EXPECT_TRUE(has_error(RECOVER_ERROR_BEYOND_MEDIA));
    // Only the complete file was unticked.
    EXPECT_EQ(selection(fs.get(), 6), 0u);
    for (int64_t k : {2, 3, 4, 5})
        EXPECT_EQ(selection(fs.get(), k), 1u) << k;
    EXPECT_EQ(fs_root_selection(fs.get()), (uint32_t)SEL_PARTIAL);
}

TEST_F(Recovery, ReadErrorGivesZeroedRestOfChunk)
{
    InjectedCard card;
    const int64_t bad = 196608 + 4096; // a block in the second chunk of the file
    card.bad = {{bad, bad + 512}};
    Media *m = injectedMedium(dir / "faulty.img", &card);
    const std::vector<Node> nodes = {{1, -1, 1, 0, "", {}}, {2, 1, 0, 393216, "video.mov", {{65536, 393216}}}};
    std::shared_ptr<fs_record> fs = scanWith(nodes, m);
    tick(fs.get(), {1});
    EXPECT_EQ(fs_recover_marked(fs.get(), (out / "t").c_str()), -34);
    std::string want = image.substr(65536, 393216);
    // The chunk [196608, 327680) is read short before the bad block; its rest is zeros.
    std::memset(&want[bad - 65536], 0, 327680 - bad);
    const std::string got = zvtest::readFile(out / "t/Found Files/video.mov");
    EXPECT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
    EXPECT_TRUE(logged("Read error in file: " + (out / "t/Found Files/video.mov") + " (error=5)"));
    EXPECT_TRUE(has_error(RECOVER_ERROR_READ));
    EXPECT_EQ(fs->recovered[0], 0u);
    EXPECT_EQ(selection(fs.get(), 2), 1u);
}

TEST_F(Recovery, MediumRemovedMidCopyStopsAndLeavesNoPartialFile)
{
    InjectedCard card;
    card.gone = 300000; // inside the second file
    Media *m = injectedMedium(dir / "pulled.img", &card);
    std::shared_ptr<fs_record> fs = scanWith({{1, -1, 1, 0, "", {}},
                                              {2, 1, 0, 1000, "a.jpg", {{0, 1000}}},
                                              {3, 1, 0, 400000, "b.mov", {{100000, 400000}}},
                                              {4, 1, 0, 1000, "c.jpg", {{2000, 1000}}}},
                                             m);
    tick(fs.get(), {1});
    EXPECT_EQ(fs_recover_marked(fs.get(), (out / "t").c_str()), -30);
    const std::map<std::string, std::string> want = {{"Found Files", "<dir>"},
                                                     {"Found Files/a.jpg", image.substr(0, 1000)}};
    EXPECT_EQ(tree(out / "t"), want);
    EXPECT_EQ(fs->recovered[0], 1u);
    EXPECT_EQ(fs->recovered[4], 1000u);
    EXPECT_EQ(selection(fs.get(), 3), 1u);
    EXPECT_EQ(selection(fs.get(), 4), 1u);
}

TEST_F(Recovery, AbortMidFileDeletesThePartialFile)
{
    InjectedCard card;
    card.abort_at = 200000; // read in the second chunk of b.mov
    Media *m = injectedMedium(dir / "abort.img", &card);
    std::shared_ptr<fs_record> fs = scanWith({{1, -1, 1, 0, "", {}},
                                              {2, 1, 0, 1000, "a.jpg", {{0, 1000}}},
                                              {3, 1, 0, 600000, "b.mov", {{65536, 600000}}},
                                              {4, 1, 0, 1000, "c.jpg", {{2000, 1000}}}},
                                             m);
    tick(fs.get(), {1});
    uint64_t totals[3] = {};
    EXPECT_EQ(scx_recover_marked(fs->scan, (out / "t").c_str(), totals), -5);
    const std::map<std::string, std::string> want = {{"Found Files", "<dir>"},
                                                     {"Found Files/a.jpg", image.substr(0, 1000)}};
    EXPECT_EQ(tree(out / "t"), want);
    EXPECT_EQ(totals[0], 1u);
    EXPECT_EQ(totals[2], 1000u);
    EXPECT_TRUE(logged("User abort during recovery"));
    EXPECT_EQ(selection(fs.get(), 3), 1u);
}

// --- the target ------------------------------------------------------------------------------------

TEST_F(Recovery, FullDiskStopsWithMinus3AndLeavesNoPartialFile)
{
    const std::string small = out / "small";
    std::filesystem::create_directories(small);
    zvtest::Mount mount = zvtest::Mount::tmpfs(small, "size=1m,mode=0700");
    std::shared_ptr<fs_record> fs = scanWith({{1, -1, 1, 0, "", {}},
                                              {2, 1, 0, 300000, "a.jpg", {{0, 300000}}},
                                              {3, 1, 0, 800000, "b.mov", {{100000, 800000}}},
                                              {4, 1, 0, 1000, "c.jpg", {{2000, 1000}}}});
    tick(fs.get(), {1});
    EXPECT_EQ(fs_recover_marked(fs.get(), (small + "/t").c_str()), -3);
    const std::map<std::string, std::string> want = {{"Found Files", "<dir>"},
                                                     {"Found Files/a.jpg", image.substr(0, 300000)}};
    EXPECT_EQ(tree(small + "/t"), want);
    EXPECT_EQ(fs->recovered[0], 1u);
    EXPECT_EQ(fs->recovered[4], 300000u);
    EXPECT_TRUE(has_error(RECOVER_ERROR_WRITE + ENOSPC * 1000));
    EXPECT_TRUE(logged("1101000 bytes selected"));
    EXPECT_EQ(selection(fs.get(), 2), 0u);
    EXPECT_EQ(selection(fs.get(), 3), 1u);
    EXPECT_EQ(selection(fs.get(), 4), 1u); // never tried
    mount.unmount();
}

TEST_F(Recovery, ClaimedSizeBeyondTheExtentsTakesNoDiskSpace)
{
    // A damaged or crafted entry claims 64 MiB over 4 KiB of data: on a
    // 1 MiB target it is kept incomplete (sparse tail), and the files after
    // it are still recovered instead of the run ending "disk full".
    const std::string small = out / "small";
    std::filesystem::create_directories(small);
    zvtest::Mount mount = zvtest::Mount::tmpfs(small, "size=1m,mode=0700");
    std::shared_ptr<fs_record> fs = scanWith({{1, -1, 1, 0, "", {}},
                                              {2, 1, 0, 64u << 20, "huge.jpg", {{0, 4096}}},
                                              {3, 1, 0, 1000, "c.jpg", {{2000, 1000}}}});
    tick(fs.get(), {1});
    EXPECT_EQ(fs_recover_marked(fs.get(), (small + "/t").c_str()), -34);
    const std::string got = small + "/t/Found Files/";
    ASSERT_TRUE(fsys::exists(got + "huge.jpg"));
    EXPECT_EQ(fsys::file_size(got + "huge.jpg"), 64u << 20);
    std::ifstream in(got + "huge.jpg", std::ios::binary);
    std::string head(4096, '\0');
    in.read(&head[0], 4096);
    EXPECT_TRUE(head == image.substr(0, 4096));
    EXPECT_EQ(zvtest::readFile(got + "c.jpg"), image.substr(2000, 1000));
    EXPECT_EQ(fs->recovered[0], 1u);
    EXPECT_EQ(selection(fs.get(), 2), 1u);
    EXPECT_EQ(selection(fs.get(), 3), 0u);
    in.close();
    mount.unmount();
}

TEST_F(Recovery, OverlongPathsAreReportedNeverCut)
{
    std::vector<Node> nodes = {{1, -1, 1, 0, "", {}}};
    const std::string long_name(200, 'd');
    int64_t id = 2, parent = 1;
    for (int level = 0; level < 25; ++level) {
        nodes.push_back({id, parent, 1, 0, long_name, {}});
        nodes.push_back({id + 1, id, 0, 10, "f.txt", {{(uint64_t)level * 10, 10}}});
        parent = id;
        id += 2;
    }
    std::shared_ptr<fs_record> fs = scanWith(nodes);
    tick(fs.get(), {1});
    const std::string target = out / "t";
    EXPECT_EQ(fs_recover_marked(fs.get(), target.c_str()), -1);
    EXPECT_TRUE(has_error(RECOVER_ERROR_OPEN + ENAMETOOLONG * 1000));
    // Every folder made has its full name; the deepest path stays below PATH_MAX.
    size_t deepest = 0, files = 0;
    for (const auto &entry : tree(target)) {
        const std::string leaf = fsys::path(entry.first).filename().string();
        if (entry.second == "<dir>" && leaf != "Found Files") {
            EXPECT_EQ(leaf, long_name);
        }
        if (entry.second != "<dir>")
            ++files;
        deepest = std::max(deepest, (target + "/" + entry.first).size());
    }
    EXPECT_LT(deepest, 4096u);
    EXPECT_GT(files, 15u);
    EXPECT_LT(files, 25u);
    EXPECT_EQ(fs->recovered[0], files);
}

TEST_F(Recovery, TargetOnTheMediumBeingRecoveredIsRefused)
{
    zvtest::requireTool("mkfs.ext4");
    const std::string img = dir / "disk.img";
    zvtest::mustRun("truncate -s 16M '" + img + "'");
    zvtest::LoopDevice loop(img);
    zvtest::mustRun("mkfs.ext4 -q '" + loop.path() + "'");
    const std::string mnt = out / "mnt";
    std::filesystem::create_directories(mnt);
    zvtest::mustRun("mount '" + loop.path() + "' '" + mnt + "'");
    struct Unmount {
        std::string at;
        ~Unmount() { zvtest::run("umount -l '" + at + "' 2>/dev/null"); }
    } unmount{mnt};
    Media *disk = media_new(loop.path().c_str(), "loop", MEDIA_DISK, 0);
    ASSERT_NE(disk, nullptr);
    disk->stop_pos = disk->orig_stop_pos = 16 << 20;
    disk->block_size = 512;
    disk->attached = 1;
    std::shared_ptr<fs_record> fs = scanWith({{1, -1, 1, 0, "", {}}, {2, 1, 0, 10, "a.jpg", {{0, 10}}}}, disk);
    EXPECT_EQ(recover_path_on_medium((mnt + "/x/y").c_str(), disk), 1);
    EXPECT_EQ(recover_path_on_medium(out.path().c_str(), disk), 0);
    EXPECT_EQ(recover_path_on_medium(out.path().c_str(), medium), 0); // an image file: no device
    const auto before = tree(mnt);
    std::string last;
    EXPECT_EQ(fs_recover_node(fs.get(), 2, (mnt + "/x/y").c_str(), &last, nullptr), -12);
    EXPECT_EQ(fs_recover_node(fs.get(), 2, mnt.c_str(), &last, nullptr), -12);
    EXPECT_EQ(tree(mnt), before); // nothing made, not even the parents
    EXPECT_TRUE(logged("is on the medium being recovered"));
    // Elsewhere it works.
    EXPECT_EQ(fs_recover_node(fs.get(), 2, (out / "elsewhere").c_str(), &last, nullptr), 0);
    EXPECT_EQ(zvtest::readFile(last), zvtest::readFile(loop.path()).substr(0, 10));
}

TEST_F(Recovery, FailingRootListingIsReportedAndTimesAreSet)
{
    std::shared_ptr<fs_record> fs = scanWith({{1, -1, 1, 0, "", {}},
                                              {2, 1, 1, 0, "DCIM", {}},
                                              {3, 2, 0, 10, "old.jpg", {{0, 10}}},
                                              {4, 2, 0, 10, "undated.jpg", {{10, 10}}},
                                              {5, 1, 0, 10, "$R$p.jpg", {{20, 10}}}});
    ops(fs.get()).modified = {{2, 1262304000}, {3, 4102444800}}; // 2010 and 2100 (past 2038)
    tick(fs.get(), {1});
    const std::string target = out / "t";
    ASSERT_EQ(fs_recover_marked(fs.get(), target.c_str()), 0);
    struct stat st;
    ASSERT_EQ(::stat((target + "/Found Files/DCIM/old.jpg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 4102444800);
    EXPECT_EQ(st.st_atime, 4102444800);
    ASSERT_EQ(::stat((target + "/Found Files/DCIM").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1262304000); // set after its files were written
    ASSERT_EQ(::stat((target + "/Found Files/DCIM/undated.jpg").c_str(), &st), 0);
    EXPECT_GT(st.st_mtime, 1600000000); // date 0: left at the time of writing, never 1979/1980
    EXPECT_TRUE(fsys::exists(target + "/Found Files/$R$p.jpg"));

    // A catalog that cannot be read is an error, never "nothing to do".
    ASSERT_EQ(catdb_close(&fs->cat), 0);
    zvtest::writeFile(fs->cat.state->folder + "/cat.db", "not a database at all, just text");
    const int rc = catdb_recover_selected(&fs->cat, (out / "t2").c_str());
    EXPECT_LT(rc, 0);
    EXPECT_NE(rc, -5);
}

TEST_F(Recovery, ProgressTextKeepsDollarNames)
{
    std::shared_ptr<fs_record> fs = scanWith({{1, -1, 1, 0, "", {}}, {2, 1, 0, 10, "$R$p.jpg", {{0, 10}}}});
    const std::string target = out / "t";
    std::filesystem::create_directories(target);
    const int fd = ::open(target.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    progress_push(0, 10);
    std::string shown;
    recover_options options{0, 0,
                            [](catdb *, int64_t, const char *, void *data) {
                                EngineProgress p;
                                progress_get(p);
                                *static_cast<std::string *>(data) = p.task_text;
                            },
                            &shown};
    {
        std::lock_guard<std::recursive_mutex> hold(fs->mutex);
        EXPECT_EQ(catdb_recover_tree_(&fs->cat, 2, fd, target, options), 0);
    }
    progress_pop();
    ::close(fd);
    EXPECT_EQ(shown.substr(0, 24), "Recovering \"$R$p.jpg\" (1");
}

// --- selection -----------------------------------------------------------------------------------

TEST_F(Recovery, ClearSelectionUpdatesFoldersAndCounters)
{
    const std::vector<Node> nodes = {
        {1, -1, 1, 0, "", {}},
        {2, 1, 1, 0, "DCIM", {}},
        {3, 2, 0, 100, "a.jpg", {{0, 100}}},
        {4, 2, 0, 200, "b.jpg", {{100, 200}}},
        {5, 1, 0, 300, "notes.txt", {{300, 300}}},
        {6, 1, 1, 0, "OTHER", {}},
        {7, 6, 0, 400, "c.jpg", {{600, 400}}},
        {8, 6, 0, 500, "d.jpg", {{1000, 500}}},
        {9, 1, 1, 0, "BROKEN", {}},
        {10, 9, 0, 600, "e.jpg", {{2000, 600}}},
        {11, 9, 0, 700, "f.jpg", {{3000, 100}}}, // short chain: fails with -34
        {12, 1, 1, 0, "EMPTY", {}},
    };
    std::shared_ptr<fs_record> fs = scanWith(nodes);
    tick(fs.get(), {2, 1});
    tick(fs.get(), {7, 6, 1});
    tick(fs.get(), {9, 1});
    tick(fs.get(), {12, 1});
    uint64_t c[5] = {};
    ASSERT_EQ(fs_get_selected(fs.get(), c), 0);
    EXPECT_EQ(c[SEL_COUNTER_FILES], 5u);
    EXPECT_EQ(c[SEL_COUNTER_BYTES], 100u + 200 + 400 + 600 + 700);
    EXPECT_EQ(selection(fs.get(), 6), (uint32_t)SEL_PARTIAL);

    EXPECT_EQ(fs_recover_marked(fs.get(), (out / "t").c_str()), -34);
    const auto got = tree(out / "t/Found Files");
    EXPECT_EQ(got.count("notes.txt"), 0u);  // not ticked: not visited
    EXPECT_EQ(got.count("OTHER/d.jpg"), 0u);
    EXPECT_EQ(got.count("OTHER/c.jpg"), 1u);
    EXPECT_EQ(got.count("EMPTY"), 1u);
    for (int64_t k : {2, 3, 4, 6, 7, 10, 12})
        EXPECT_EQ(selection(fs.get(), k), 0u) << k;
    EXPECT_EQ(selection(fs.get(), 11), 1u);
    EXPECT_EQ(selection(fs.get(), 9), (uint32_t)SEL_PARTIAL); // e.jpg unticked, f.jpg still ticked
    EXPECT_EQ(fs_root_selection(fs.get()), (uint32_t)SEL_PARTIAL);
    ASSERT_EQ(fs_get_selected(fs.get(), c), 0);
    EXPECT_EQ(c[SEL_COUNTER_FILES], 1u);
    EXPECT_EQ(c[SEL_COUNTER_BYTES], 700u);
    EXPECT_EQ(fs->recovered[0], 4u);
    EXPECT_EQ(fs->recovered[1], 4u);
    EXPECT_EQ(fs->recovered[4], 100u + 200 + 400 + 600);
    uint32_t h[3] = {};
    catdb_get_children_histogram(&fs->cat, h); // the root's, as the walk left it
    EXPECT_EQ(h[0], 4u); // DCIM, notes.txt, OTHER, EMPTY
    EXPECT_EQ(h[1], 0u);
    EXPECT_EQ(h[2], 1u); // BROKEN

    // What was saved and recounted from "sel-state" tells the same story.
    uint64_t live[5] = {};
    fs_get_selected(fs.get(), live);
    ASSERT_EQ(catdb_close(&fs->cat), 0);
    ASSERT_EQ(catdb_ensure_reading(&fs->cat), 0);
    uint64_t again[5] = {};
    fs_get_selected(fs.get(), again);
    EXPECT_EQ(again[SEL_COUNTER_FILES], live[SEL_COUNTER_FILES]);
    EXPECT_EQ(again[SEL_COUNTER_BYTES], live[SEL_COUNTER_BYTES]);
    EXPECT_EQ(selection(fs.get(), 11), 1u);
    EXPECT_EQ(selection(fs.get(), 3), 0u);
    EXPECT_EQ(fs_root_selection(fs.get()), (uint32_t)SEL_PARTIAL);

    // Nothing ticked: nothing to do.
    tick(fs.get(), {1}, 0);
    EXPECT_EQ(fs_recover_marked(fs.get(), (out / "t3").c_str()), 0);
    EXPECT_FALSE(fsys::exists(out / "t3"));
}

// The engine's thread recovers with clear-selection while a caller's thread
// asks for counters, children and node data of the same file system.
TEST_F(Recovery, RecoverWhileTheFrontEndReadsThreads)
{
    std::vector<Node> nodes = {{1, -1, 1, 0, "", {}}, {2, 1, 1, 0, "DCIM", {}}};
    for (int64_t i = 0; i < 200; ++i)
        nodes.push_back({3 + i, 2, 0, 4096, "f" + std::to_string(i) + ".jpg", {{(uint64_t)i * 4096, 4096}}});
    std::shared_ptr<fs_record> fs = scanWith(nodes);
    tick(fs.get(), {1});
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            uint64_t c[5];
            fs_get_selected(fs.get(), c);
            std::vector<NodeInfo> children;
            fs_node_children(fs.get(), 2, &children);
            EngineProgress p;
            progress_get(p);
        }
    });
    uint64_t totals[3] = {};
    const int rc = scx_recover_marked(fs->scan, (out / "t").c_str(), totals);
    done = true;
    reader.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(totals[0], 200u);
    EXPECT_EQ(totals[1], 1u);
    EXPECT_EQ(totals[2], 200u * 4096);
    uint64_t c[5] = {};
    fs_get_selected(fs.get(), c);
    EXPECT_EQ(c[SEL_COUNTER_FILES], 0u);
    EXPECT_EQ(c[SEL_COUNTER_BYTES], 0u);
    EXPECT_EQ(fs_root_selection(fs.get()), 0u);
}

// --- end to end: FAT images made with mkfs.fat and mtools --------------------------------------

// A quick-scanned FAT image, ticked whole and recovered; every file and
// folder compared with The Sleuth Kit's reading of the same image.
class FatRecovery : public fstest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        ASSERT_NE(fat_describe(), nullptr);
        clear_errors();
        begin_run_flags();
    }
    void TearDown() override
    {
        clear_run_flags();
        Workspace::TearDown();
    }

    // Attaches the image, quick-scans it through the type registry and ends
    // the scan: its FAT record, recoverable.
    fs_record *quickScanned(const std::string &path)
    {
        Media *m = media_attach_file(path.c_str());
        if (m == nullptr)
            throw std::runtime_error("media_attach_file " + path);
        ScanContext *scan = scx_new(SCX_TYPE_QUICK, m, workspace);
        if (scan == nullptr)
            throw std::runtime_error("scx_new");
        scx_begin(scan);
        const int rc = fs_quick_scan(scan);
        scan->scanned_here = 1;
        scx_finish(scan, rc);
        if (rc != 0 || scan->fs_list.size() != 1)
            throw std::runtime_error("quick scan failed: " + std::to_string(rc));
        fs_record *fs = scan->fs_list[0].get();
        EXPECT_TRUE(fs_is_recoverable(fs));
        return fs;
    }

    // Ticks the whole file system and recovers the scan into target.
    int recoverAll(fs_record *fs, const std::string &target, uint64_t totals[3])
    {
        int64_t chain[2] = {FAT_ID_ROOT, CATDB_KEYNUM_NONE};
        EXPECT_EQ(fs_select_nodes(fs, chain, 2, 1), 0);
        return scx_recover_marked(fs->scan, target.c_str(), totals);
    }

    // Every live file and folder fls lists is in folder, files equal to
    // icat's output and with fls's modification time; nothing else is there.
    void expectLikeSleuthkit(const std::string &image, const std::string &folder, uint64_t sector = 0,
                             const std::string &prefix = "")
    {
        std::map<std::string, int64_t> mtimes;
        for (const zvtest::FlsBodyEntry &e : zvtest::flsBody(image, sector))
            mtimes[e.name.substr(1)] = e.mtime;
        std::map<std::string, std::string> want;
        for (const zvtest::FlsEntry &e : zvtest::flsList(image, sector)) {
            if (e.deleted || e.path.empty() || e.path[0] == '$' || e.type == "v/v" ||
                e.path.find("(Volume Label Entry)") != std::string::npos)
                continue;
            const std::string at = prefix + e.path;
            if (e.type == "d/d") {
                want[at] = "<dir>";
            } else {
                want[at] = zvtest::icat(image, e.inode, false, sector);
            }
            struct stat st;
            ASSERT_EQ(::stat((folder + "/" + at).c_str(), &st), 0) << at;
            ASSERT_TRUE(mtimes.count(e.path)) << e.path;
            EXPECT_EQ((int64_t)st.st_mtime, mtimes[e.path]) << at;
        }
        auto got = tree(folder);
        if (!prefix.empty()) {
            for (auto it = got.begin(); it != got.end();)
                it = it->first.rfind(prefix, 0) == 0 ? std::next(it) : got.erase(it);
        }
        EXPECT_EQ(got.size(), want.size());
        for (const auto &[path, content] : want) {
            ASSERT_TRUE(got.count(path)) << path;
            EXPECT_TRUE(got[path] == content) << path;
        }
    }

    zvtest::ScopedEnv tz{"TZ", "UTC"};
};

class FatRecoveryTypes : public FatRecovery, public testing::WithParamInterface<int> {};

TEST_P(FatRecoveryTypes, RecoveredFilesAreIdenticalToIcat)
{
    using namespace zvtest;
    const int bits = GetParam();
    const std::string img = dir / "card.img";
    makeFat(img, bits, bits == 12 ? 2048 : bits == 16 ? 20480 : 65536, bits == 32 ? "-s 1" : "");
    const time_t t0 = 1262347445; // 2010-01-01 12:04:05 UTC
    fatLabel(img, "CARD" + std::to_string(bits));
    fatMkdir(img, "DCIM");
    fatMkdir(img, "DCIM/100CANON");
    fatMkdir(img, "Музыка");
    fatPut(img, "DCIM/100CANON/IMG_0001.JPG", patternBytes(70000, 1), t0);
    fatPut(img, "DCIM/100CANON/a rather long file name.jpeg", patternBytes(3001, 2), t0 + 86400 * 400);
    fatPut(img, "Музыка/песня номер один.mp3", patternBytes(5000, 3), t0 + 7);
    fatPut(img, "写真 2023 夏.jpg", patternBytes(1234, 4), t0 + 100);
    fatPut(img, "empty.txt", "", t0 + 300);
    fatPut(img, "gone.jpg", patternBytes(9000, 7), t0 + 500);
    fatDelete(img, "gone.jpg");
    // A file fragmented over the holes left between spacers.
    FatPatcher patcher(img);
    const uint32_t cluster = patcher.bytesPerCluster();
    fatMkdir(img, "frag");
    for (int i = 0; i < 6; i++) {
        fatPut(img, "frag/hole" + std::to_string(i), patternBytes(cluster, 10 + i), t0);
        fatPut(img, "frag/keep" + std::to_string(i), patternBytes(cluster, 30 + i), t0);
    }
    for (int i = 0; i < 6; i++)
        fatDelete(img, "frag/hole" + std::to_string(i));
    if (bits == 32) // FAT32 allocates after its next-free hint: point it at the first cluster
        patcher.putU32(patcher.getU16(48) * patcher.geometry().bytesPerSector + 492, 2);
    fatPut(img, "frag/fragmented.bin", patternBytes(cluster * 6 - 77, 50), t0 + 600);
    if (bits == 32) // the root directory spans several one-sector clusters
        for (int i = 0; i < 40; i++)
            fatPut(img, "many name number " + std::to_string(i) + ".txt", patternBytes(100 + i, 60 + i), t0);

    fs_record *fs = quickScanned(img);
    const std::string target = dir / "out";
    uint64_t totals[3] = {};
    ASSERT_EQ(recoverAll(fs, target, totals), 0) << error_list_str();
    expectLikeSleuthkit(img, target + "/Found Files");
    EXPECT_FALSE(fsys::exists(target + "/Found Files/gone.jpg")); // the quick scan lists live files only
    EXPECT_EQ(totals[0], fs->recovered[0]);
    EXPECT_GT(totals[0], 8u);
    uint64_t selected[5] = {};
    fs_get_selected(fs, selected);
    EXPECT_EQ(selected[SEL_COUNTER_FILES], 0u);
    EXPECT_EQ(fs_root_selection(fs), 0u);
}

INSTANTIATE_TEST_SUITE_P(Bits, FatRecoveryTypes, testing::Values(12, 16, 32));

TEST_F(FatRecovery, HostileLongNamesStayInsideTheTarget)
{
    using namespace zvtest;
    const std::string img = dir / "hostile.img";
    makeFat(img, 16, 20480);
    fatMkdir(img, "placeholder folder name");
    fatPut(img, "placeholder folder name/inner placeholder.jpg", patternBytes(2000, 1), 1262347445);
    fatPut(img, "placeholder file name one.jpg", patternBytes(3000, 2), 1262347445);
    fatPut(img, "placeholder file name two.jpg", patternBytes(4000, 3), 1262347445);
    fatPut(img, "placeholder file name three.jpg", patternBytes(5000, 4), 1262347445);
    {
        FatPatcher patcher(img);
        patcher.setLongName(patcher.find("placeholder folder name"), u"../..");
        patcher.setLongName(patcher.find("placeholder file name one.jpg"), u"../../escape.txt");
        patcher.setLongName(patcher.find("placeholder file name two.jpg"), u"a/b\\c.jpg");
        patcher.setLongName(patcher.find("placeholder file name three.jpg"), u"..");
    }
    zvtest::writeFile(dir / "escape.txt", "sentinel");
    fs_record *fs = quickScanned(img);
    const std::string target = dir / "deep/down/out";
    uint64_t totals[3] = {};
    ASSERT_EQ(recoverAll(fs, target, totals), 0) << error_list_str();
    const std::map<std::string, std::string> want = {
        {"Found Files", "<dir>"},
        {"Found Files/.._..", "<dir>"},
        {"Found Files/.._../inner placeholder.jpg", patternBytes(2000, 1)},
        {"Found Files/.._.._escape.txt", patternBytes(3000, 2)},
        {"Found Files/a_b_c.jpg", patternBytes(4000, 3)},
        {"Found Files/_..", patternBytes(5000, 4)},
    };
    EXPECT_EQ(tree(target), want);
    EXPECT_EQ(zvtest::readFile(dir / "escape.txt"), "sentinel");
    EXPECT_FALSE(fsys::exists(dir / "deep/escape.txt"));
    EXPECT_FALSE(fsys::exists(dir / "deep/down/escape.txt"));
}

TEST_F(FatRecovery, PartitionedCardRecoversBothVolumes)
{
    using namespace zvtest;
    const std::string img = dir / "card.img";
    PartitionedCard card = makePartitionedCard(img);
    fatMkdir(img, "DCIM", card.fat32Offset);
    fatPut(img, "DCIM/a.jpg", patternBytes(40000, 1), 1262347445, card.fat32Offset);
    fatMkdir(img, "DCIM", card.fat16Offset);
    fatPut(img, "DCIM/b.jpg", patternBytes(50000, 2), 1262347445 + 3600, card.fat16Offset);
    fs_record *fs = quickScanned(img);
    const std::string target = dir / "out";
    uint64_t totals[3] = {};
    ASSERT_EQ(recoverAll(fs, target, totals), 0) << error_list_str();
    const std::string second = "Volume at " + std::to_string(card.fat16Offset) + "/";
    expectLikeSleuthkit(img, target + "/Found Files", card.fat16Offset / 512, second);
    EXPECT_TRUE(zvtest::readFile(target + "/Found Files/DCIM/a.jpg") == patternBytes(40000, 1));
    EXPECT_TRUE(zvtest::readFile(target + "/Found Files/" + second + "DCIM/b.jpg") == patternBytes(50000, 2));
    EXPECT_EQ(totals[0], 2u);
}

} // namespace
