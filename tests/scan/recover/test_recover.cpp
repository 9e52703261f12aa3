// Recovery of catalog nodes into a host folder (scan/recover/recover.h):
// real catalogs of the stand-in file-system type over a raw image of known
// bytes, real target folders (a size-limited tmpfs for a full disk, a
// loop-mounted ext4 for the medium guard), and faults injected under the
// medium's reads through a registered virtual-file type.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>
#include <tuple>

#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/progress.h"
#include "scan/fat_image_support.h"
#include "scan/fs_test_support.h"
#include "scan/catalog/catdb_internal.h"
#include "scan/recover/recover.h"
#include "scan/fat/fat_scan.h"
#include "storage/media_test_support.h"

namespace {

namespace fsys = std::filesystem;
using fstest::Node;
using mediatest::pattern;
using namespace std::string_literals;

// The stand-in type with dates and the catalog's recovery operations.
class RecoverOps : public fstest::TestOps {
public:
    int node_info(fs_record *r, uint64_t keynum, NodeInfo *out, int flags) override
    {
        const int rc = TestOps::node_info(r, keynum, out, flags);
        auto found = modified.find((int64_t)out->keynum);
        if (rc == 0 && found != modified.end())
            out->date_modified = out->date_created = found->second;
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

// The entries below the open folder fd into out (see tree).
void treeAt(int fd, const std::string &prefix, std::map<std::string, std::string> *out)
{
    DIR *dir = fdopendir(::dup(fd));
    if (dir == nullptr)
        throw std::runtime_error("fdopendir " + prefix);
    std::vector<std::string> names;
    while (dirent *entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    closedir(dir);
    for (const std::string &name : names) {
        struct stat st;
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            throw std::runtime_error("fstatat " + prefix + name);
        const int child = S_ISLNK(st.st_mode) ? -1 : ::openat(fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        std::string &entry = (*out)[prefix + name];
        if (S_ISLNK(st.st_mode)) {
            entry = "<link>";
            continue;
        }
        if (child < 0)
            throw std::runtime_error("openat " + prefix + name);
        if (S_ISDIR(st.st_mode)) {
            entry = "<dir>";
            treeAt(child, prefix + name + "/", out);
        } else {
            std::vector<char> chunk(65536); // not on the stack: the walk goes deep
            ssize_t got;
            while ((got = ::read(child, chunk.data(), chunk.size())) > 0)
                entry.append(chunk.data(), (size_t)got);
        }
        ::close(child);
    }
}

// Every entry below root: relative path -> content ("<dir>", "<link>").
// Read relative to open folders, so trees deeper than PATH_MAX are read too.
std::map<std::string, std::string> tree(const std::string &root)
{
    std::map<std::string, std::string> out;
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("open " + root);
    treeAt(fd, "", &out);
    ::close(fd);
    return out;
}

// The names in folder that start with the temporary prefix of a file being written.
std::vector<std::string> temporaries(const std::string &folder)
{
    std::vector<std::string> out;
    for (const auto &[path, content] : tree(folder))
        if (fsys::path(path).filename().string().rfind(RECOVER_TEMP_PREFIX, 0) == 0)
            out.push_back(path);
    return out;
}

bool has_error(int code) { return error_list_str().find(std::to_string(code)) != std::string::npos; }

// A file system made on a loop device over a fresh sparse image and mounted
// at point (root only), by `mount` or by a FUSE program; unmounted (lazily
// when busy) before the loop device goes. A missing tool fails the test.
class LoopMount {
public:
    LoopMount(const std::string &image, const std::string &size, const std::string &mkfs, const std::string &mounter,
              const std::string &point)
    {
        zvtest::requireTool(mkfs.substr(0, mkfs.find(' ')));
        zvtest::requireTool(mounter.substr(0, mounter.find(' ')));
        zvtest::mustRun("truncate -s " + size + " '" + image + "'");
        loop_ = std::make_unique<zvtest::LoopDevice>(image);
        zvtest::mustRun(mkfs + " '" + loop_->path() + "' >/dev/null");
        fsys::create_directories(point);
        zvtest::mustRun(mounter + " '" + loop_->path() + "' '" + point + "'");
        point_ = point;
    }
    ~LoopMount()
    {
        if (!point_.empty())
            zvtest::run("umount '" + point_ + "' 2>/dev/null || umount -l '" + point_ + "' 2>/dev/null");
    }
    LoopMount(const LoopMount &) = delete;
    LoopMount &operator=(const LoopMount &) = delete;

    const std::string &device() const { return loop_->path(); }
    const std::string &point() const { return point_; }

private:
    std::unique_ptr<zvtest::LoopDevice> loop_;
    std::string point_;
};

const Node kRoot = {1, -1, 1, 0, "", {}};

using Counts = std::pair<uint64_t, uint64_t>;
// The selection's counters: files, bytes.
Counts selected(fs_record *fs)
{
    uint64_t c[5] = {};
    EXPECT_EQ(fs_get_selected(fs, c), 0);
    return {c[SEL_COUNTER_FILES], c[SEL_COUNTER_BYTES]};
}

// A clean engine log, error list and run around each test.
class RunFixture : public fstest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        clear_errors();
        begin_run_flags();
    }
    void TearDown() override
    {
        clear_run_flags();
        Workspace::TearDown();
    }
};

class Recovery : public RunFixture {
protected:
    void SetUp() override
    {
        RunFixture::SetUp();
        fstest::register_test_type()->fs_init = recover_init;
        image = pattern(1 << 20, 7);
        medium = fileMedium(dir / "card.img", image);
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
    // Scanned with the whole tree ticked.
    std::shared_ptr<fs_record> ticked(const std::vector<Node> &nodes, Media *m = nullptr)
    {
        std::shared_ptr<fs_record> fs = scanWith(nodes, m);
        tick(fs.get(), {1});
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
    // A medium over a copy of the image whose reads go through a FaultyCard.
    Media *faultyMedium(const std::string &name)
    {
        card = std::make_unique<mediatest::FaultyCard>(dir / name, image);
        return attachedMedium(card->path, MEDIA_IMAGE, (int64_t)image.size());
    }
    std::string bytes(const std::vector<fs_extent> &extents, uint64_t size) const
    {
        std::string out;
        for (const fs_extent &e : extents)
            out += image.substr(e.start, e.length);
        out.resize(size, '\0');
        return out;
    }
    std::string content(const std::vector<Node> &nodes, int64_t id) const
    {
        return bytes(nodes[(size_t)id - 1].extents, (uint64_t)nodes[(size_t)id - 1].size);
    }
    // a.jpg, b.mov, c.jpg at the root: runs that stop in b.mov leave a.jpg alone.
    static std::vector<Node> threeFiles(int64_t a, int64_t b, uint64_t b_at)
    {
        return {kRoot, {2, 1, 0, a, "a.jpg", {{0, (uint64_t)a}}}, {3, 1, 0, b, "b.mov", {{b_at, (uint64_t)b}}},
                {4, 1, 0, 1000, "c.jpg", {{2000, 1000}}}};
    }
    std::map<std::string, std::string> onlyA(size_t a) const
    {
        return {{"Found Files", "<dir>"}, {"Found Files/a.jpg", image.substr(0, a)}};
    }

    // A 1 MiB tmpfs at out/small.
    zvtest::Mount smallDisk()
    {
        fsys::create_directories(out / "small");
        return zvtest::Mount::tmpfs(out / "small", "size=1m,mode=0700");
    }

    std::string image;
    Media *medium = nullptr;
    std::unique_ptr<mediatest::FaultyCard> card; // outlives the test body's records
    zvtest::TempDir out;
};

// --- names ---------------------------------------------------------------------------------------

TEST(RecoverNames, SafeNamesForTheHost)
{
    const struct {
        std::string in, want;
        bool windows;
    } cases[] = {
        {"a/b", "a_b", false}, {"../../x", ".._.._x", false}, {"..\\..\\x", ".._.._x", false}, {"", "_", false},
        {".", "_.", false}, {"..", "_..", false}, {"...", "...", false},
        {std::string("a\0b\x01\x1f\x7f", 6), "a_b___", false},
        // DEL, C1 and the bidirectional controls: one "_" per character.
        {"photo\u202Egpj.exe", "photo_gpj.exe", false}, {"a\u202Ab\u202Bc\u202Cd\u202De", "a_b_c_d_e", false},
        {"\u2066x\u2067y\u2068z\u2069.jpg", "_x_y_z_.jpg", false}, {"c1\u0085\u009F.txt", "c1__.txt", false},
        {"\u2065\u206A\u202F\u00A0ok", "\u2065\u206A\u202F\u00A0ok", false}, // neighbours stay
        {"photo\u202Egpj.exe", "photo_gpj.exe", true},
        {"bad\xff\xfe.jpg", "bad\xEF\xBF\xBD\xEF\xBF\xBD.jpg", false},
        {"\xed\xa0\x80x", "\xEF\xBF\xBDx", false},        // an encoded surrogate
        {"CON<>:|?*.txt", "CON<>:|?*.txt", false},         // legal on Linux file systems
        {"CON.txt", "_CON.txt", true}, {"a:b?.txt. ", "a_b_.txt__", true},
        // A card's file never looks like a temporary of a file being written.
        {".zv-partial-12-3", "_zv-partial-12-3", false}, {"x.zv-partial-1", "x.zv-partial-1", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.windows ? recover_windows_safe_name(c.in) : recover_safe_name(c.in), c.want) << c.in;

    // 255 UTF-16 units of CJK take 757 bytes: cut at a character boundary, extension kept.
    std::string cjk;
    for (int i = 0; i < 251; ++i)
        cjk += "\xE5\x86\x99"; // U+5199
    const std::string safe = recover_safe_name(cjk + ".jpg");
    EXPECT_LE(safe.size(), 255u);
    EXPECT_EQ(safe.size(), 83 * 3 + 4u);
    EXPECT_EQ(safe.substr(safe.size() - 4), ".jpg");
    // A long "extension" is no extension: the whole name is cut.
    EXPECT_EQ(recover_safe_name("a." + std::string(300, 'e')), "a." + std::string(253, 'e'));
}

TEST(RecoverNames, FreeNameSeriesStaysWithin255Bytes)
{
    const struct {
        std::string name;
        int n;
        std::string want;
    } cases[] = {
        {"photo.jpg", 1, "photo-01.jpg"}, {"photo.jpg", 2, "photo-02.jpg"}, {"clip", 1, "clip-01"},
        {"clip", 100, "clip-100"}, {"a.tar.gz", 4998, "a.tar-4998.gz"},
        {"ab." + std::string(252, 'e'), 7, "-07." + std::string(251, 'e')}, // no base to cut: the extension's start goes
        {".profile", 1, ".profile-01"}, {"_..", 1, "_..-01"}, // leading and trailing dots start no extension
    };
    for (const auto &c : cases)
        EXPECT_EQ(recover_numbered_variant(c.name, c.n), c.want) << c.name << " " << c.n;
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
}

// --- hostile names, free names, links ----------------------------------------------------------

TEST_F(Recovery, HostileNamesAllLandInsideTheTarget)
{
    std::string cjk;
    for (int i = 0; i < 251; ++i)
        cjk += "\xE5\x86\x99";
    const std::vector<Node> nodes = {
        kRoot, {2, 1, 1, 0, "../../x", {}}, {3, 2, 0, 100, "a/b", {{1000, 100}}}, {4, 1, 0, 101, ".", {{2000, 101}}},
        {5, 1, 0, 102, "..", {{3000, 102}}}, {6, 1, 0, 103, "", {{4000, 103}}},
        {7, 1, 0, 104, cjk + ".jpg", {{5000, 104}}}, {8, 1, 0, 105, "../../escape.txt", {{6000, 105}}},
        {9, 1, 1, 0, "..", {}}, {10, 9, 0, 106, "up.txt", {{7000, 106}}}, {11, 1, 0, 107, "x\\y.txt", {{8000, 107}}},
        {12, 1, 0, 108, "tab\tname\x01", {{9000, 108}}}, {13, 1, 0, 109, "bad\xff.jpg", {{10000, 109}}},
        {14, 1, 1, 0, "/", {}}, {15, 14, 0, 110, "/etc/passwd", {{11000, 110}}},
    };
    std::shared_ptr<fs_record> fs = ticked(nodes);
    const std::string base = out / "a/b";
    fsys::create_directories(base);
    for (const char *name : {"x", "escape.txt", "a/x", "a/escape.txt", "a/up.txt", "etc"})
        zvtest::writeFile(out / name, std::string("sentinel ") + name);
    const auto before = tree(out.path());

    EXPECT_EQ(fs_recover_marked(fs.get(), (base + "/target").c_str()), 0);
    auto c = [&](int64_t id) { return content(nodes, id); };
    std::map<std::string, std::string> want = {{"Found Files", "<dir>"}};
    for (const auto &[path, data] : std::map<std::string, std::string>{
             {".._.._x", "<dir>"}, {".._.._x/a_b", c(3)}, {"_.", c(4)}, {"_..", c(5)}, {"_", c(6)},
             {cjk.substr(0, 83 * 3) + ".jpg", c(7)}, {".._.._escape.txt", c(8)},
             {"_..-01", "<dir>"}, // the folder ".." meets the file ".." made a moment earlier
             {"_..-01/up.txt", c(10)}, {"x_y.txt", c(11)}, {"tab_name_", c(12)}, {"bad\xEF\xBF\xBD.jpg", c(13)},
             {"_-01", "<dir>"}, // "/" -> "_", taken by the file "" -> "_"
             {"_-01/_etc_passwd", c(15)}})
        want["Found Files/" + path] = data;
    EXPECT_EQ(tree(base + "/target"), want);
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
        kRoot,
        {2, 1, 0, 10, "photo.jpg", {{100, 10}}}, {3, 1, 0, 11, "photo.jpg", {{200, 11}}}, // live, deleted
        {4, 1, 0, 12, "clip", {{300, 12}}}, {5, 1, 0, 13, "clip", {{400, 13}}},
        {6, 1, 1, 0, "DCIM", {}}, {7, 6, 0, 14, "a.jpg", {{500, 14}}},
        {8, 1, 1, 0, "DCIM", {}}, {9, 8, 0, 15, "a.jpg", {{600, 15}}}, // a second folder of the name: merged
        // The user's file, a dangling link or a link to an outside folder has the name:
        {10, 1, 0, 16, "notes.txt", {{700, 16}}}, {11, 1, 1, 0, "Album", {}}, {12, 11, 0, 17, "b.jpg", {{800, 17}}},
        {13, 1, 0, 18, "link.jpg", {{900, 18}}}, {14, 1, 1, 0, "Pics", {}}, {15, 14, 0, 19, "c.jpg", {{1000, 19}}},
        {16, 1, 0, 20, "kept.jpg", {{1100, 20}}}, // kept.jpg and kept-01.jpg exist
    };
    std::shared_ptr<fs_record> fs = scanWith(nodes);
    const std::string target = out / "target";
    fsys::create_directories(target);
    fsys::create_directories(out / "outside");
    for (const auto &[name, text] : std::map<std::string, std::string>{
             {"notes.txt", "user notes"}, {"Album", "user album file"}, {"kept.jpg", "k0"}, {"kept-01.jpg", "k1"}})
        zvtest::writeFile(target + "/" + name, text);
    ASSERT_EQ(symlink((out / "outside/planted.jpg").c_str(), (target + "/link.jpg").c_str()), 0);
    ASSERT_EQ(symlink((out / "outside").c_str(), (target + "/Pics").c_str()), 0);

    std::string last;
    uint64_t size = 0;
    EXPECT_EQ(fs_recover_node(fs.get(), KEYNUM_FS_ROOT, target.c_str(), &last, &size), 0);
    auto c = [&](int64_t id) { return content(nodes, id); };
    const std::map<std::string, std::string> want = {
        {"photo.jpg", c(2)}, {"photo-01.jpg", c(3)}, {"clip", c(4)}, {"clip-01", c(5)},
        {"DCIM", "<dir>"}, {"DCIM/a.jpg", c(7)}, {"DCIM/a-01.jpg", c(9)},
        {"notes.txt", "user notes"}, {"notes-01.txt", c(10)},
        {"Album", "user album file"}, {"Album-01", "<dir>"}, {"Album-01/b.jpg", c(12)},
        {"link.jpg", "<link>"}, {"link-01.jpg", c(13)}, {"Pics", "<link>"}, {"Pics-01", "<dir>"},
        {"Pics-01/c.jpg", c(15)}, {"kept.jpg", "k0"}, {"kept-01.jpg", "k1"}, {"kept-02.jpg", c(16)},
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
    std::shared_ptr<fs_record> fs = scanWith({kRoot, {2, 1, 1, 0, "DCIM", {}}, {3, 2, 0, 30, "IMG_0001.JPG", {{4096, 30}}},
                                              {4, 2, 0, 31, "noext", {{8192, 31}}}, {5, 2, 0, 32, "a.b/c", {{9000, 32}}}});
    const std::string target = out / "prev";
    std::string last;
    uint64_t size = 0;
    ASSERT_EQ(fs_recover_node(fs.get(), 2, target.c_str(), &last, &size, 1), 0);
    EXPECT_EQ(fs->options, 0u); // restored
    const uint64_t base = (uint64_t)fs->slot << 56 | (uint64_t)fs->index << 40;
    auto numbered = [&](uint64_t k, const char *ext) {
        char name[64];
        std::snprintf(name, sizeof name, "DCIM/%020llu%s", (unsigned long long)(base | k), ext);
        return std::string(name);
    };
    const std::map<std::string, std::string> want = {{"DCIM", "<dir>"},
                                                     {numbered(3, ".JPG"), image.substr(4096, 30)},
                                                     {numbered(4, ""), image.substr(8192, 31)},
                                                     {numbered(5, ".b_c"), image.substr(9000, 32)}};
    EXPECT_EQ(tree(target), want);
    EXPECT_EQ(last, target + "/" + numbered(5, ".b_c"));
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
    std::shared_ptr<fs_record> fs = ticked({kRoot, {2, 1, 0, (int64_t)odd_size, "odd.bin", odd},
                                            {3, 1, 0, 20 * 4099, "many.bin", many}, {4, 1, 0, 0, "empty.txt", {}},
                                            {5, 1, 0, (int64_t)image.size(), "all.img", {{0, image.size()}}}});
    ASSERT_EQ(fs_recover_marked(fs.get(), (out / "t").c_str()), 0);
    const std::string got = out / "t/Found Files";
    for (const auto &[name, want] : {std::pair{"odd.bin", bytes(odd, odd_size)}, {"many.bin", bytes(many, 20 * 4099)},
                                     {"all.img", image}})
        EXPECT_TRUE(zvtest::readFile(got + "/" + name) == want) << name;
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
    std::shared_ptr<fs_record> fs = ticked({
        kRoot,
        {2, 1, 0, 5000, "short-chain.jpg", {{10000, 3000}}},          // extents end before the size
        {3, 1, 0, 4000, "short-read.jpg", {{end - 1000, 4000}}},      // the file's bytes end first
        {4, 1, 0, 3000, "beyond.jpg", {{end - 500, 500}, {end + 70000, 2500}}}, // past the window
        {5, 1, 0, 2000, "no-extents.jpg", {}},
        {6, 1, 0, 100, "good.jpg", {{20000, 100}}},
    });
    recover_notes_clear();
    EXPECT_EQ(fs_recover_marked(fs.get(), (out / "t").c_str()), -34); // the first failure
    const std::string got = out / "t/Found Files/";
    // Each file not recovered whole is noted: where it is kept, its size and
    // the bytes it misses; a file of which nothing was kept has no path.
    std::map<uint64_t, recover_note> notes;
    for (const recover_note &n : recover_notes_take())
        notes[n.keyref & 0xFFFFFFFFFFull] = n;
    ASSERT_EQ(notes.size(), 4u);
    for (const auto &[k, path, size, missing] :
         {std::tuple{2, "short-chain.jpg.incomplete", 5000, 2000}, {3, "short-read.jpg.incomplete", 4000, 3000},
          {4, "beyond.jpg.incomplete", 3000, 2500}, {5, "", 2000, 2000}}) {
        SCOPED_TRACE(k);
        EXPECT_EQ(notes[k].path, *path ? got + path : "");
        EXPECT_EQ(notes[k].size, (uint64_t)size);
        EXPECT_EQ(notes[k].missing, (uint64_t)missing);
        EXPECT_EQ(notes[k].host, 0);
    }
    // Never longer than what the extents cover on the medium; zeros only
    // where the medium's window claims bytes its file does not hold; never
    // under a name that looks complete.
    for (const auto &[name, want] : {std::pair{"short-chain.jpg", image.substr(10000, 3000)},
                                     {"short-read.jpg", image.substr(end - 1000) + std::string(3000, '\0')},
                                     {"beyond.jpg", image.substr(end - 500)}}) {
        EXPECT_TRUE(zvtest::readFile(got + name + ".incomplete") == want) << name;
        EXPECT_FALSE(fsys::exists(got + name)) << name;
    }
    EXPECT_FALSE(fsys::exists(got + "no-extents.jpg")); // nothing copied: nothing kept
    EXPECT_FALSE(fsys::exists(got + "no-extents.jpg.incomplete"));
    EXPECT_EQ(zvtest::readFile(got + "good.jpg"), image.substr(20000, 100));
    EXPECT_EQ(fs->recovered[0], 1u);
    EXPECT_EQ(fs->recovered[4], 100u);
    for (const std::string &line : {"data of \"" + got + "short-chain.jpg\" ends 2000 bytes before its size",
                                    "Short read in file: " + got + "short-read.jpg",
                                    "File extends beyond media: " + got + "beyond.jpg",
                                    "Incomplete file kept: \"" + got + "short-chain.jpg.incomplete\" (2000 of 5000 bytes missing)",
                                    "Errors during recovery: "s})
        EXPECT_TRUE(logged(line)) << line;
    EXPECT_TRUE(has_error(RECOVER_ERROR_BEYOND_MEDIA));
    // Only the complete file was unticked.
    EXPECT_EQ(selection(fs.get(), 6), 0u);
    for (int64_t k : {2, 3, 4, 5})
        EXPECT_EQ(selection(fs.get(), k), 1u) << k;
    EXPECT_EQ(fs_root_selection(fs.get()), (uint32_t)SEL_PARTIAL);
}

// A video of 900 KiB from 64 KiB into the card: each unreadable sector is
// the only part of the file left as zeros, and the unreadable ranges are
// listed in medium blocks.
TEST_F(Recovery, ReadErrorsZeroOnlyTheUnreadableSectors)
{
    const int64_t start = 65536, size = 900 * 1024;
    const struct {
        const char *what;
        std::vector<int64_t> bad; // medium blocks
        std::vector<std::string> ranges;
    } cases[] = {
        {"one sector 200 KiB into the file", {(start + 200 * 1024) / 512}, {"  blocks 528 to 528: "}},
        {"the first sector of a chunk", {(start + 131072) / 512}, {"  blocks 384 to 384: "}},
        {"neighbours merged, another chunk", {700, 701, 702, 1500}, {"  blocks 700 to 702: ", "  blocks 1500 to 1500: "}},
    };
    Media *m = faultyMedium("faulty.img");
    std::shared_ptr<fs_record> fs = ticked({kRoot, {2, 1, 0, size, "video.mov", {{(uint64_t)start, (uint64_t)size}}}}, m);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        clear_errors();
        card->bad = c.bad;
        const std::string target = out / ("t" + std::to_string(c.bad[0]));
        EXPECT_EQ(fs_recover_marked(fs.get(), target.c_str()), -34);
        std::string want = image.substr((size_t)start, (size_t)size);
        for (int64_t block : c.bad)
            std::memset(&want[(size_t)(block * 512 - start)], 0, 512);
        const std::string path = target + "/Found Files/video.mov";
        const std::string got = zvtest::readFile(path + ".incomplete");
        EXPECT_FALSE(fsys::exists(path));
        EXPECT_EQ(got.size(), want.size());
        EXPECT_TRUE(got == want);
        EXPECT_TRUE(logged("Read error in file: " + path + " (error=5)"));
        EXPECT_TRUE(logged("Unreadable parts of " + path + ".incomplete: " + std::to_string(c.bad.size()) +
                           " blocks of 512 bytes in " + std::to_string(c.ranges.size()) + " ranges"));
        for (const std::string &range : c.ranges)
            EXPECT_TRUE(logged(range + "Input/output error")) << range;
        EXPECT_TRUE(has_error(RECOVER_ERROR_READ));
        EXPECT_EQ(fs->recovered[0], 0u);
        EXPECT_EQ(selection(fs.get(), 2), 1u);
    }
}

TEST_F(Recovery, MediumRemovedMidCopyStopsAndLeavesNoPartialFile)
{
    Media *m = faultyMedium("pulled.img");
    card->gone = 300000; // inside the second file
    std::shared_ptr<fs_record> fs = ticked(threeFiles(1000, 400000, 100000), m);
    recover_notes_clear();
    EXPECT_EQ(fs_recover_marked(fs.get(), (out / "t").c_str()), -30);
    EXPECT_EQ(tree(out / "t"), onlyA(1000));
    // The cut file is noted with nothing kept: all of it missing, though
    // its first chunks had been copied before it was discarded.
    const std::vector<recover_note> notes = recover_notes_take();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].keyref & 0xFFFFFFFFFFull, 3u);
    EXPECT_EQ(notes[0].path, "");
    EXPECT_EQ(notes[0].size, 400000u);
    EXPECT_EQ(notes[0].missing, 400000u);
    EXPECT_EQ(fs->recovered[0], 1u);
    EXPECT_EQ(fs->recovered[4], 1000u);
    for (int64_t k : {3, 4})
        EXPECT_EQ(selection(fs.get(), k), 1u) << k;
}

// The abort is requested while the read in the second chunk of b.mov is held.
TEST_F(Recovery, AbortMidFileDeletesThePartialFileThreads)
{
    Media *m = faultyMedium("abort.img");
    card->gate_at = 200000;
    std::shared_ptr<fs_record> fs = ticked(threeFiles(1000, 600000, 65536), m);
    std::thread aborter([&] {
        EXPECT_TRUE(card->gateEntered());
        request_abort();
        card->openGate();
    });
    uint64_t totals[3] = {};
    EXPECT_EQ(scx_recover_marked(fs->scan, (out / "t").c_str(), totals), -5);
    aborter.join();
    EXPECT_EQ(tree(out / "t"), onlyA(1000));
    EXPECT_EQ(totals[0], 1u);
    EXPECT_EQ(totals[2], 1000u);
    EXPECT_TRUE(logged("User abort during recovery"));
    EXPECT_EQ(selection(fs.get(), 3), 1u);
}

// The progress of one folder's recovery runs against the bytes below it
// (it once ran against 0: "9.8 MB of 0 bytes").
TEST_F(Recovery, ProgressOfOneNodeCountsTheBytesBelowItThreads)
{
    Media *m = faultyMedium("progress.img");
    card->gate_at = 200000;
    std::shared_ptr<fs_record> fs = scanWith({kRoot, {2, 1, 1, 0, "DCIM", {}}, {3, 2, 0, 1000, "a.jpg", {{0, 1000}}},
                                              {4, 2, 0, 600000, "b.mov", {{65536, 600000}}}},
                                             m);
    EngineProgress seen;
    std::thread watcher([&] {
        EXPECT_TRUE(card->gateEntered());
        progress_get(seen);
        card->openGate();
    });
    std::string last;
    EXPECT_EQ(fs_recover_node(fs.get(), 2, (out / "t").c_str(), &last, nullptr, 0), 0);
    watcher.join();
    // a.jpg and the first chunk of b.mov are done by then.
    EXPECT_GT(seen.task_fraction, 0.0);
    EXPECT_LT(seen.task_fraction, 0.5);
    EXPECT_EQ(seen.task_text.find("of 0 bytes"), std::string::npos) << seen.task_text;
}

// --- the target ------------------------------------------------------------------------------------

TEST_F(Recovery, FullDiskStopsWithMinus3AndLeavesNoPartialFile)
{
    const std::string small = out / "small";
    zvtest::Mount mount = smallDisk();
    std::shared_ptr<fs_record> fs = ticked(threeFiles(300000, 800000, 100000));
    EXPECT_EQ(fs_recover_marked(fs.get(), (small + "/t").c_str()), -3);
    EXPECT_EQ(tree(small + "/t"), onlyA(300000));
    EXPECT_EQ(fs->recovered[0], 1u);
    EXPECT_EQ(fs->recovered[4], 300000u);
    EXPECT_TRUE(has_error(RECOVER_ERROR_WRITE + ENOSPC * 1000));
    EXPECT_TRUE(logged("1101000 bytes selected"));
    EXPECT_EQ(selection(fs.get(), 2), 0u);
    for (int64_t k : {3, 4}) // c.jpg never tried
        EXPECT_EQ(selection(fs.get(), k), 1u) << k;
    mount.unmount();
}

// A target that fills up in the middle of a file, or a card pulled out in
// the middle of one, inside a folder: the file is deleted and the walk ends
// there; the files after it, in the same folder or another, are not tried.
// The exFAT target (exfat-fuse) cannot reserve space, so its disk fills
// while the file is being written, as on a real stick.
TEST_F(Recovery, FullDiskOrPulledCardInsideAFolderStopsTheWalk)
{
    const std::string big = mediatest::pattern(4 << 20, 5);
    Media *big_medium = fileMedium(dir / "big.img", big);
    Media *pulled = faultyMedium("pulled.img");
    card->gone = 300000; // inside b.mov
    LoopMount stick(dir / "stick.img", "4M", "mkfs.exfat", "mount.exfat-fuse", out / "stick");
    const struct {
        const char *what;
        Media *medium;
        std::string source;
        int64_t b_size;
        std::string target;
        int rc;
        int error;
    } cases[] = {
        {"target full mid-file", big_medium, big, 3 << 20, stick.point() + "/t", -3, RECOVER_ERROR_WRITE + ENOSPC * 1000},
        {"card pulled mid-file", pulled, image, 400000, out / "t", -30, RECOVER_ERROR_READ},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        clear_errors();
        std::shared_ptr<fs_record> fs = ticked({kRoot, {2, 1, 1, 0, "DCIM", {}}, {3, 2, 0, 100000, "a.jpg", {{0, 100000}}},
                                                {4, 2, 0, c.b_size, "b.mov", {{100000, (uint64_t)c.b_size}}},
                                                {5, 2, 0, 1000, "c.jpg", {{900, 1000}}}, {6, 1, 1, 0, "OTHER", {}},
                                                {7, 6, 0, 1000, "d.jpg", {{2000, 1000}}}},
                                               c.medium);
        EXPECT_EQ(fs_recover_marked(fs.get(), c.target.c_str()), c.rc);
        std::map<std::string, std::string> got = tree(c.target);
        EXPECT_TRUE(got["Found Files/DCIM/a.jpg"] == c.source.substr(0, 100000));
        std::vector<std::string> names;
        for (const auto &entry : got)
            names.push_back(entry.first);
        EXPECT_EQ(names, (std::vector<std::string>{"Found Files", "Found Files/DCIM", "Found Files/DCIM/a.jpg"}));
        EXPECT_TRUE(has_error(c.error)) << error_list_str();
        EXPECT_EQ(fs->recovered[0], 1u);
        EXPECT_EQ(selection(fs.get(), 3), 0u);
        for (int64_t k : {4, 5, 7})
            EXPECT_EQ(selection(fs.get(), k), 1u) << k;
    }
}

// The selection counted more files than the walk could reach (as with a
// damaged children list): the recovery is a failure, never a success.
TEST_F(Recovery, FewerFilesThanSelectedIsAFailure)
{
    std::shared_ptr<fs_record> fs = ticked(threeFiles(1000, 2000, 5000));
    uint64_t c[SEL_COUNTER_COUNT] = {};
    {
        std::lock_guard<std::recursive_mutex> hold(fs->mutex);
        ASSERT_EQ(catdb_get_selection_counters(&fs->cat, c), 0);
        ASSERT_EQ(c[SEL_COUNTER_FILES], 3u);
        c[SEL_COUNTER_FILES] = 5;
        catdb_set_selection_counters(&fs->cat, c);
    }
    EXPECT_EQ(fs_recover_marked(fs.get(), (out / "t").c_str()), -1);
    EXPECT_EQ(tree(out / "t/Found Files").size(), 3u); // what could be reached was written
    EXPECT_EQ(fs->recovered[0], 3u);
    EXPECT_TRUE(logged("catdb_recover_selected: 3 of 5 selected files recovered"));
    EXPECT_TRUE(has_error(RECOVER_ERROR_SHORTFALL));
    EXPECT_TRUE(logged("Errors during recovery: "));
}

TEST_F(Recovery, ClaimedSizeBeyondTheExtentsIsNeverWritten)
{
    // A damaged or crafted entry claims 4,294,967,295 bytes over 4 KiB of
    // data: the file is kept with the 4 KiB its extent covers, reported
    // incomplete with the missing length, and the files after it are still
    // recovered on a 1 MiB target instead of the run ending "disk full".
    const std::string small = out / "small";
    zvtest::Mount mount = smallDisk();
    std::shared_ptr<fs_record> fs = ticked(
        {kRoot, {2, 1, 0, 4294967295LL, "huge.jpg", {{0, 4096}}}, {3, 1, 0, 1000, "c.jpg", {{2000, 1000}}}});
    EXPECT_EQ(fs_recover_marked(fs.get(), (small + "/t").c_str()), -34);
    const std::string got = small + "/t/Found Files/";
    ASSERT_TRUE(fsys::exists(got + "huge.jpg.incomplete"));
    EXPECT_FALSE(fsys::exists(got + "huge.jpg"));
    EXPECT_EQ(fsys::file_size(got + "huge.jpg.incomplete"), 4096u);
    EXPECT_TRUE(zvtest::readFile(got + "huge.jpg.incomplete") == image.substr(0, 4096));
    EXPECT_TRUE(logged("data of \"" + got + "huge.jpg\" ends 4294963199 bytes before its size"));
    EXPECT_TRUE(logged("Incomplete file kept: \"" + got + "huge.jpg.incomplete\""));
    EXPECT_EQ(zvtest::readFile(got + "c.jpg"), image.substr(2000, 1000));
    EXPECT_EQ(fs->recovered[0], 1u);
    EXPECT_EQ(selection(fs.get(), 2), 1u);
    EXPECT_EQ(selection(fs.get(), 3), 0u);
    mount.unmount();
}

// A crafted row whose size and extent run up to 2^63: the copy stops at the
// medium's end (the chunk end was once rounded past 2^63 and wrapped, and
// the read ran on far beyond the copy buffer).
TEST_F(Recovery, ExtentRunningTo2Pow63StopsAtTheMediumsEnd)
{
    std::shared_ptr<fs_record> fs =
        ticked({kRoot, {2, 1, 0, INT64_MAX, "huge.bin", {{512, (uint64_t)INT64_MAX - 512}}}});
    EXPECT_EQ(fs_recover_marked(fs.get(), (out / "t").c_str()), -18);
    const std::string got = out / "t/Found Files/huge.bin";
    EXPECT_TRUE(zvtest::readFile(got + ".incomplete") == image.substr(512));
    EXPECT_FALSE(fsys::exists(got));
    EXPECT_TRUE(logged("File extends beyond media: " + got));
    EXPECT_EQ(selection(fs.get(), 2), 1u);
}

// Every file the scan lists is recovered: 130 folders deep (the FAT scan
// enters 128 levels), a photo at the bottom and a file at every level, with
// names long enough that the host paths pass PATH_MAX halfway down.
TEST_F(Recovery, DeepFilesAreRecoveredPastPathMax)
{
    constexpr int kLevels = 130;
    std::vector<Node> nodes = {kRoot};
    const std::string long_name(40, 'd');
    int64_t id = 2, parent = 1;
    for (int level = 0; level < kLevels; ++level) {
        nodes.push_back({id, parent, 1, 0, long_name, {}});
        nodes.push_back({id + 1, id, 0, 10, "f.txt", {{(uint64_t)level * 10, 10}}});
        parent = id;
        id += 2;
    }
    nodes.push_back({id, parent, 0, 5000, "photo.jpg", {{100000, 5000}}});
    std::shared_ptr<fs_record> fs = ticked(nodes);
    const std::string target = out / "t";
    EXPECT_EQ(fs_recover_marked(fs.get(), target.c_str()), 0);
    std::map<std::string, std::string> want = {{"Found Files", "<dir>"}};
    std::string at = "Found Files";
    for (int level = 0; level < kLevels; ++level) {
        at += "/" + long_name;
        want[at] = "<dir>";
        want[at + "/f.txt"] = image.substr((size_t)level * 10, 10);
    }
    want[at + "/photo.jpg"] = image.substr(100000, 5000);
    EXPECT_GT((target + "/" + at).size(), 4096u);
    EXPECT_TRUE(tree(target) == want);
    EXPECT_EQ(fs->recovered[0], kLevels + 1u);
    EXPECT_EQ(selected(fs.get()), Counts(0, 0));
    EXPECT_FALSE(has_error(RECOVER_ERROR_RECURSION));
    zvtest::run("rm -rf '" + target + "'"); // deeper than the temporary folder's own removal reaches
}

// The medium is a loop device holding ext4 (kernel), btrfs (its own device
// numbers per subvolume) or ext4 through fuse2fs (FUSE: an anonymous device
// number); a target on it, through a link or below a mount point whose
// name has a blank, is refused before anything is made.
TEST_F(Recovery, TargetOnTheMediumBeingRecoveredIsRefused)
{
    const struct {
        const char *what, *size, *mkfs, *mounter, *point;
    } cases[] = {
        {"ext4", "16M", "mkfs.ext4 -q", "mount", "mnt"},
        {"btrfs", "128M", "mkfs.btrfs -q", "mount", "mnt btrfs"},
        {"fuse2fs", "16M", "mkfs.ext4 -q", "fuse2fs -o rw", "mnt fuse"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string img = dir / (std::string(c.what) + ".img");
        LoopMount mounted(img, c.size, c.mkfs, c.mounter, out / c.point);
        const std::string mnt = mounted.point();
        if (std::string(c.what) == "btrfs")
            zvtest::mustRun("btrfs -q subvolume create '" + mnt + "/sub'");
        const std::string link = out / (std::string("link-") + c.what);
        ASSERT_EQ(symlink(mnt.c_str(), link.c_str()), 0);
        const int64_t size = (int64_t)fsys::file_size(img);
        Media *disk = attachedMedium(mounted.device(), MEDIA_DISK, size);
        std::shared_ptr<fs_record> fs = scanWith({kRoot, {2, 1, 0, 10, "a.jpg", {{0, 10}}}}, disk);
        for (const std::string &on : {mnt + "/x/y", mnt, link + "/x", mnt + "/sub/x"})
            EXPECT_EQ(recover_path_on_medium(on.c_str(), disk), 1) << on;
        EXPECT_EQ(recover_path_on_medium(out.path().c_str(), disk), 0);
        EXPECT_EQ(recover_path_on_medium(out.path().c_str(), medium), 0); // an image file: no device
        const auto before = tree(mnt);
        std::string last;
        for (const std::string &target : {mnt + "/x/y", mnt, link + "/z"})
            EXPECT_EQ(fs_recover_node(fs.get(), 2, target.c_str(), &last, nullptr), -12) << target;
        EXPECT_EQ(tree(mnt), before); // nothing made, not even the parents
        EXPECT_TRUE(logged("is on the medium being recovered"));
        // Elsewhere it works.
        const std::string elsewhere = out / (std::string("elsewhere-") + c.what);
        EXPECT_EQ(fs_recover_node(fs.get(), 2, elsewhere.c_str(), &last, nullptr), 0);
        EXPECT_EQ(zvtest::readFile(last), zvtest::readFile(mounted.device()).substr(0, 10));
    }
}

// A FUSE target refuses renameat2's RENAME_NOREPLACE: fuse2fs then takes
// the final name by a hard link, exfat-fuse (no hard links) by an empty
// placeholder made with O_EXCL. Either way a taken name is never replaced
// and no temporary stays behind.
TEST_F(Recovery, FuseTargetsTakeFinalNamesWithoutReplacing)
{
    const struct {
        const char *what, *mkfs, *mounter;
    } cases[] = {
        {"fuse2fs", "mkfs.ext4 -q", "fuse2fs -o rw"},
        {"exfat-fuse", "mkfs.exfat", "mount.exfat-fuse"},
    };
    const std::vector<Node> nodes = {kRoot, {2, 1, 0, 3000, "photo.jpg", {{100, 3000}}},
                                     {3, 1, 1, 0, "DCIM", {}}, {4, 3, 0, 70000, "clip.mov", {{5000, 70000}}}};
    std::shared_ptr<fs_record> fs = scanWith(nodes);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        LoopMount mounted(dir / (std::string(c.what) + ".img"), "16M", c.mkfs, c.mounter, out / c.what);
        const std::string target = mounted.point() + "/t";
        fsys::create_directories(target);
        zvtest::writeFile(target + "/photo.jpg", "the user's photo");
        std::string last;
        EXPECT_EQ(fs_recover_node(fs.get(), KEYNUM_FS_ROOT, target.c_str(), &last, nullptr), 0);
        EXPECT_EQ(fs_recover_node(fs.get(), 2, target.c_str(), &last, nullptr), 0);
        EXPECT_EQ(last, target + "/photo-02.jpg");
        const std::map<std::string, std::string> want = {
            {"photo.jpg", "the user's photo"}, {"photo-01.jpg", content(nodes, 2)},
            {"photo-02.jpg", content(nodes, 2)}, {"DCIM", "<dir>"}, {"DCIM/clip.mov", content(nodes, 4)}};
        EXPECT_EQ(tree(target), want);
    }
}

// A run killed 1 MiB into a 4 MiB video leaves no file under the video's
// name, only a temporary that says what it is; the next run writes the
// video under its own name, not "-01" beside a torn copy.
TEST_F(Recovery, KilledMidCopyLeavesOnlyARecognisableTemporary)
{
    image = pattern(4 << 20, 11);
    Media *m = faultyMedium("slow.img");
    card->gate_at = (1 << 20) + 1; // the read of the second MiB is held
    std::shared_ptr<fs_record> fs = scanWith({kRoot, {2, 1, 0, 4 << 20, "video.mov", {{0, 4 << 20}}}}, m);
    const std::string target = out / "t";
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipe_fds[0]);
        std::thread tell([&] {
            if (card->gateEntered() && ::write(pipe_fds[1], "g", 1) == 1)
                return;
        });
        tell.detach();
        fs_recover_node(fs.get(), 2, target.c_str(), nullptr, nullptr);
        _exit(0); // the gate was never reached
    }
    ::close(pipe_fds[1]);
    struct pollfd wait_for{pipe_fds[0], POLLIN, 0};
    char note = 0;
    const bool held = ::poll(&wait_for, 1, 60000) == 1 && ::read(pipe_fds[0], &note, 1) == 1; // a bound, not a timing
    ::close(pipe_fds[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(held) << "the child never reached the held read";
    ASSERT_TRUE(WIFSIGNALED(status));

    auto left = tree(target);
    ASSERT_EQ(left.size(), 1u);
    const std::string temp = left.begin()->first;
    EXPECT_EQ(temp.rfind(RECOVER_TEMP_PREFIX + std::to_string(child) + "-", 0), 0u) << temp;
    EXPECT_TRUE(left.begin()->second == image.substr(0, 1 << 20)); // 1 MiB, not 4 MiB with zeros

    card->gate_at = -1;
    std::string last;
    EXPECT_EQ(fs_recover_node(fs.get(), 2, target.c_str(), &last, nullptr), 0);
    EXPECT_EQ(last, target + "/video.mov");
    left = tree(target);
    EXPECT_EQ(left.size(), 2u);
    EXPECT_TRUE(left["video.mov"] == image);
    EXPECT_TRUE(left.count(temp)); // left to the user, never counted or renamed
    EXPECT_EQ(temporaries(target), std::vector<std::string>{temp});
}

TEST_F(Recovery, FailingRootListingIsReportedAndTimesAreSet)
{
    std::shared_ptr<fs_record> fs = ticked({kRoot, {2, 1, 1, 0, "DCIM", {}}, {3, 2, 0, 10, "old.jpg", {{0, 10}}},
                                            {4, 2, 0, 10, "undated.jpg", {{10, 10}}}, {5, 1, 0, 10, "$R$p.jpg", {{20, 10}}}});
    ops(fs.get()).modified = {{2, 1262304000}, {3, 4102444800}}; // 2010 and 2100 (past 2038)
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
    std::shared_ptr<fs_record> fs = scanWith({kRoot, {2, 1, 0, 10, "$R$p.jpg", {{0, 10}}}});
    const std::string target = out / "t";
    fsys::create_directories(target);
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
    EXPECT_EQ(shown.back(), ')') << shown; // fault guarded: the closing parenthesis was missing
}

// --- selection -----------------------------------------------------------------------------------

TEST_F(Recovery, ClearSelectionUpdatesFoldersAndCounters)
{
    std::shared_ptr<fs_record> fs = scanWith({
        kRoot, {2, 1, 1, 0, "DCIM", {}}, {3, 2, 0, 100, "a.jpg", {{0, 100}}}, {4, 2, 0, 200, "b.jpg", {{100, 200}}},
        {5, 1, 0, 300, "notes.txt", {{300, 300}}}, {6, 1, 1, 0, "OTHER", {}}, {7, 6, 0, 400, "c.jpg", {{600, 400}}},
        {8, 6, 0, 500, "d.jpg", {{1000, 500}}}, {9, 1, 1, 0, "BROKEN", {}}, {10, 9, 0, 600, "e.jpg", {{2000, 600}}},
        {11, 9, 0, 700, "f.jpg", {{3000, 100}}}, // short chain: fails with -34
        {12, 1, 1, 0, "EMPTY", {}},
    });
    for (const std::vector<int64_t> &chain : std::vector<std::vector<int64_t>>{{2, 1}, {7, 6, 1}, {9, 1}, {12, 1}})
        tick(fs.get(), chain);
    EXPECT_EQ(selected(fs.get()), Counts(5, 100 + 200 + 400 + 600 + 700));
    EXPECT_EQ(selection(fs.get(), 6), (uint32_t)SEL_PARTIAL);

    EXPECT_EQ(fs_recover_marked(fs.get(), (out / "t").c_str()), -34);
    const auto got = tree(out / "t/Found Files");
    for (const auto &[path, count] : std::map<std::string, size_t>{
             {"notes.txt", 0}, {"OTHER/d.jpg", 0}, {"OTHER/c.jpg", 1}, {"EMPTY", 1}}) // not ticked: not visited
        EXPECT_EQ(got.count(path), count) << path;
    for (int64_t k : {2, 3, 4, 6, 7, 10, 12})
        EXPECT_EQ(selection(fs.get(), k), 0u) << k;
    EXPECT_EQ(selection(fs.get(), 11), 1u);
    EXPECT_EQ(selection(fs.get(), 9), (uint32_t)SEL_PARTIAL); // e.jpg unticked, f.jpg still ticked
    EXPECT_EQ(fs_root_selection(fs.get()), (uint32_t)SEL_PARTIAL);
    const Counts live = selected(fs.get());
    EXPECT_EQ(live, Counts(1, 700));
    EXPECT_EQ(fs->recovered[0], 4u);
    EXPECT_EQ(fs->recovered[1], 4u);
    EXPECT_EQ(fs->recovered[4], 100u + 200 + 400 + 600);
    uint32_t h[3] = {};
    catdb_get_children_histogram(&fs->cat, h); // the root's, as the walk left it
    // DCIM, notes.txt, OTHER, EMPTY; none; BROKEN
    EXPECT_EQ(std::vector<uint32_t>(h, h + 3), (std::vector<uint32_t>{4, 0, 1}));

    // What was saved and recounted from "sel-state" tells the same story.
    ASSERT_EQ(catdb_close(&fs->cat), 0);
    ASSERT_EQ(catdb_ensure_reading(&fs->cat), 0);
    EXPECT_EQ(selected(fs.get()), live);
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
    std::vector<Node> nodes = {kRoot, {2, 1, 1, 0, "DCIM", {}}};
    for (int64_t i = 0; i < 200; ++i)
        nodes.push_back({3 + i, 2, 0, 4096, "f" + std::to_string(i) + ".jpg", {{(uint64_t)i * 4096, 4096}}});
    std::shared_ptr<fs_record> fs = ticked(nodes);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            uint64_t c[5];
            fs_get_selected(fs.get(), c); // results change under the recovery: not checked
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
    EXPECT_EQ(std::vector<uint64_t>(totals, totals + 3), (std::vector<uint64_t>{200, 1, 200 * 4096}));
    EXPECT_EQ(selected(fs.get()), Counts(0, 0));
    EXPECT_EQ(fs_root_selection(fs.get()), 0u);
}

// --- end to end: FAT images made with mkfs.fat and mtools --------------------------------------

// A quick-scanned FAT image, ticked whole and recovered; every file and
// folder compared with The Sleuth Kit's reading of the same image.
class FatRecovery : public RunFixture {
protected:
    void SetUp() override
    {
        RunFixture::SetUp();
        ASSERT_NE(fat_describe(), nullptr);
    }

    // Attaches the image, quick-scans it through the type registry, ends the
    // scan (its FAT record must be recoverable), ticks the whole file system
    // and recovers the scan into target.
    fs_record *recovered(const std::string &path, const std::string &target, uint64_t *totals = nullptr)
    {
        uint64_t ignored[3] = {};
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
        int64_t chain[2] = {FAT_ID_ROOT, CATDB_KEYNUM_NONE};
        EXPECT_EQ(fs_select_nodes(fs, chain, 2, 1), 0);
        if (scx_recover_marked(scan, target.c_str(), totals != nullptr ? totals : ignored) != 0)
            throw std::runtime_error("recovery failed: " + error_list_str());
        return fs;
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
            want[at] = e.type == "d/d" ? "<dir>" : zvtest::icat(image, e.inode, false, sector);
            struct stat st;
            ASSERT_EQ(::stat((folder + "/" + at).c_str(), &st), 0) << at;
            ASSERT_TRUE(mtimes.count(e.path)) << e.path;
            EXPECT_EQ((int64_t)st.st_mtime, mtimes[e.path]) << at;
        }
        auto got = tree(folder);
        for (auto it = got.begin(); it != got.end();)
            it = it->first.rfind(prefix, 0) == 0 ? std::next(it) : got.erase(it);
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
    for (const char *folder : {"DCIM", "DCIM/100CANON", "Музыка"})
        fatMkdir(img, folder);
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

    const std::string target = dir / "out";
    uint64_t totals[3] = {};
    fs_record *fs = recovered(img, target, totals);
    expectLikeSleuthkit(img, target + "/Found Files");
    EXPECT_FALSE(fsys::exists(target + "/Found Files/gone.jpg")); // the quick scan lists live files only
    EXPECT_EQ(totals[0], fs->recovered[0]);
    EXPECT_GT(totals[0], 8u);
    EXPECT_EQ(selected(fs).first, 0u);
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
    FatPatcher patcher(img);
    for (const auto &[placeholder, name] : std::map<std::string, std::u16string>{
             {"placeholder folder name", u"../.."}, {"placeholder file name one.jpg", u"../../escape.txt"},
             {"placeholder file name two.jpg", u"a/b\\c.jpg"}, {"placeholder file name three.jpg", u".."}})
        patcher.setLongName(patcher.find(placeholder), name);
    zvtest::writeFile(dir / "escape.txt", "sentinel");
    const std::string target = dir / "deep/down/out";
    recovered(img, target);
    const std::map<std::string, std::string> want = {
        {"Found Files", "<dir>"}, {"Found Files/.._..", "<dir>"},
        {"Found Files/.._../inner placeholder.jpg", patternBytes(2000, 1)},
        {"Found Files/.._.._escape.txt", patternBytes(3000, 2)}, {"Found Files/a_b_c.jpg", patternBytes(4000, 3)},
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
    const std::string target = dir / "out";
    uint64_t totals[3] = {};
    recovered(img, target, totals);
    const std::string second = "Volume at " + std::to_string(card.fat16Offset) + "/";
    expectLikeSleuthkit(img, target + "/Found Files", card.fat16Offset / 512, second);
    EXPECT_TRUE(zvtest::readFile(target + "/Found Files/DCIM/a.jpg") == patternBytes(40000, 1));
    EXPECT_TRUE(zvtest::readFile(target + "/Found Files/" + second + "DCIM/b.jpg") == patternBytes(50000, 2));
    EXPECT_EQ(totals[0], 2u);
}

} // namespace
