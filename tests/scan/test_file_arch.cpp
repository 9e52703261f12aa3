// FileArch containers: round trips through real folders, the byte layout,
// member lookup, filters, and hostile containers that must leave the target
// (and everything around it) as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "fat_image_support.h"
#include "foundation/atomic_file.h"
#include "foundation/buf.h"
#include "foundation/file.h"
#include "scan/file_arch.h"
#include "scan/scan_context.h"
#include "support/full_disk.h"
#include "support/hang_guard.h"
#include "support/planted_temporary.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using zvtest::patternBytes;
using zvtest::Plant;
using zvtest::plant_at;
using zvtest::plant_when_created;
using zvtest::readFile;
using zvtest::TempDir;
using zvtest::writeFile;

namespace {

// Everything below root: relative path -> "dir", "link:<target>" or the bytes.
std::map<std::string, std::string> snapshot(const std::string &root)
{
    std::map<std::string, std::string> tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = fs::relative(it->path(), root).string();
        if (it->is_symlink())
            tree[rel] = "link:" + fs::read_symlink(it->path()).string();
        else
            tree[rel] = it->is_directory() ? "dir" : readFile(it->path().string());
    }
    return tree;
}

// A scan-like folder tree: nested folders, an empty folder, an empty file and
// files larger than the 32 KiB copy pieces.
void make_tree(const std::string &root)
{
    fs::create_directories(root + "/Scan.01/FAT.1");
    fs::create_directories(root + "/Scan.01/empty folder");
    writeFile(root + "/Scan.01/context", "context bytes");
    writeFile(root + "/Scan.01/FAT.1/cat.db", patternBytes(100000, 1));
    writeFile(root + "/Scan.01/FAT.1/sel-state", std::string(3, '\x55'));
    writeFile(root + "/Scan.01/FAT.1/empty", "");
    writeFile(root + "/Scan.01/FAT.1/fünf.txt", "utf-8 name");
}

// --- hand-made containers --------------------------------------------------------

std::string be64(uint64_t v)
{
    std::string s(8, '\0');
    for (int i = 0; i < 8; i++)
        s[i] = char(v >> (56 - 8 * i));
    return s;
}
std::string record(const std::string &type, const std::string &payload, uint64_t length)
{
    return std::string("Blk\0", 4) + type + std::string(16, '\0') + be64(length) + payload;
}
std::string record(const std::string &type, const std::string &payload) { return record(type, payload, payload.size()); }
std::string name_record(const std::string &type, const std::string &name) { return record(type, name + '\0'); }
std::string header(bool gzip = false)
{
    return "FileArch" + std::string(1, char(1)) + char(gzip ? 1 : 0) + std::string(6, '\0') +
           std::string("ZO3divi\0", 8);
}
std::string file_member(const std::string &name, const std::string &data)
{
    return name_record("fnam", name) + record("fdat", data);
}
std::string eof_record() { return record("eof ", ""); }
std::string with_backslashes(std::string path)
{
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::string gunzip(const std::string &path)
{
    zvtest::requireTool("gzip");
    return zvtest::mustRun("gzip -dc '" + path + "'");
}

int extract(const std::string &path, const std::string &target)
{
    return far_extract(path.c_str(), target.c_str(), nullptr, nullptr);
}
// Writes bytes as the container at path and extracts it into target.
int extract_bytes(const std::string &path, const std::string &bytes, const std::string &target)
{
    writeFile(path, bytes);
    return extract(path, target);
}

// --- round trips -------------------------------------------------------------------

// Writes a container of the kind at path over the folder dir/ws, as saving
// a scan does: the member "ScanInfoList" holding info, then the tree under
// folder. 0, or -1 when a step fails (or far_free leaves the pointer set).
int write_scan_container(const TempDir &dir, const std::string &path, int kind, const char *tag,
                         const std::string &info, const std::string &folder)
{
    FileArch *far = far_new(path.c_str(), (dir / "ws").c_str());
    if (far == nullptr)
        return -1;
    const bool ok = far_create(far, kind, tag) == 0 &&
                    far_add_member_bytes(far, "ScanInfoList", info.data(), info.size()) == 0 &&
                    far_add_path(far, folder.c_str(), 1) == 0 && far_finish(far) == 0;
    far_free(&far);
    return ok && far == nullptr ? 0 : -1;
}

// A new container at path over base, created plain with the creator tag.
FileArch *new_container(const std::string &path, const std::string &base, const char *tag = "t")
{
    FileArch *far = far_new(path.c_str(), base.c_str());
    if (far != nullptr && far_create(far, FAR_FILE_PLAIN, tag) != 0)
        far_free(&far);
    return far;
}

TEST(FileArch, PlainAndGzipRoundTripOfAFolderTree)
{
    TempDir dir;
    make_tree(dir / "ws");
    const std::string plain_path = dir / "plain.far", gzip_path = dir / "gzip.far";
    for (auto [path, kind] : {std::pair{plain_path, int(FAR_FILE_PLAIN)}, std::pair{gzip_path, int(FAR_FILE_GZIP)}})
        EXPECT_EQ(write_scan_container(dir, path, kind, "ZO3diviEXTRA", "info", dir / "ws/Scan.01/"), 0) << kind;
    // The layout: header, then records with backslash paths relative to the base.
    std::string plain = readFile(plain_path);
    ASSERT_GE(plain.size(), 24u);
    EXPECT_EQ(plain.substr(0, 24), header(false)); // creator tag cut to 7 bytes
    EXPECT_EQ(plain.substr(24, 2 * 32 + 13 + 4), file_member("ScanInfoList", "info"));
    EXPECT_EQ(plain.substr(24 + 32 * 2 + 13 + 4, 32 + 8), name_record("dnam", "Scan.01"));
    EXPECT_NE(plain.find(name_record("fnam", "Scan.01\\FAT.1\\cat.db")), std::string::npos);
    EXPECT_NE(plain.find(name_record("dnam", "Scan.01\\empty folder")), std::string::npos);
    EXPECT_EQ(plain.find("Scan.01/"), std::string::npos);
    EXPECT_EQ(plain.substr(plain.size() - 32), eof_record());
    // The gzip container is the same bytes compressed, with the gzip flag.
    std::string gz = readFile(gzip_path);
    ASSERT_GE(gz.size(), 2u);
    EXPECT_EQ(uint8_t(gz[0]), 0x1f);
    EXPECT_EQ(uint8_t(gz[1]), 0x8b);
    std::string unpacked = gunzip(gzip_path);
    ASSERT_EQ(unpacked.size(), plain.size());
    EXPECT_EQ(unpacked[9], 1);
    unpacked[9] = 0;
    EXPECT_EQ(unpacked, plain);
    // Both extract to the same tree as the original.
    auto original = snapshot(dir / "ws");
    for (const std::string &container : {plain_path, gzip_path}) {
        TempDir out;
        ASSERT_EQ(extract(container, out / "target"), 0) << container;
        auto back = snapshot(out / "target");
        EXPECT_EQ(back.at("ScanInfoList"), "info");
        back.erase("ScanInfoList");
        EXPECT_EQ(back, original) << container;
    }
}

TEST(FileArch, RelativeNamesAndTheBaseFolder)
{
    TempDir dir;
    fs::create_directories(dir / "ws");
    fs::create_directories(dir / "ws2");
    writeFile(dir / "ws2/f", "x");
    writeFile(dir / "ws/g", "y");
    std::string container = dir / "c.far";
    FileArch *far = new_container(container, dir / "ws/", nullptr);
    ASSERT_NE(far, nullptr);
    ASSERT_EQ(far_add_path(far, (dir / "ws/g").c_str(), 0), 0);
    // "ws2" shares the base's first characters but is not below it
    ASSERT_EQ(far_add_path(far, (dir / "ws2").c_str(), 1), 0);
    ASSERT_EQ(far_finish(far), 0);
    far_free(&far);
    std::string bytes = readFile(container);
    std::string outside = with_backslashes((dir / "ws2").substr(1));
    EXPECT_NE(bytes.find(name_record("fnam", "g")), std::string::npos);
    EXPECT_NE(bytes.find(name_record("dnam", outside)), std::string::npos);
    EXPECT_NE(bytes.find(name_record("fnam", outside + "\\f")), std::string::npos);
    // no base: the current folder
    far = far_new(container.c_str(), ".");
    ASSERT_NE(far, nullptr);
    EXPECT_EQ(far->base, fs::current_path().string());
    far_free(&far);
}

TEST(FileArch, CountOnlyPassTotalsSizesAndWritesNothing)
{
    TempDir dir;
    make_tree(dir / "ws");
    std::string container = dir / "c.far";
    FileArch *far = far_new(container.c_str(), (dir / "ws").c_str());
    ASSERT_NE(far, nullptr);
    far->count_only = 1;
    ASSERT_EQ(far_add_path(far, (dir / "ws/Scan.01").c_str(), 1), 0);
    EXPECT_EQ(far->total_size, 13u + 100000u + 3u + 0u + 10u);
    EXPECT_FALSE(fs::exists(container));
    EXPECT_EQ(far_finish(far), 0);
    EXPECT_FALSE(fs::exists(container));
    // after the count, the real pass: the count-only flag writes nothing even
    // with the container open
    far->count_only = 0;
    ASSERT_EQ(far_create(far, FAR_FILE_PLAIN, "ZO3divi"), 0);
    far->count_only = 1;
    ASSERT_EQ(far_add_path(far, (dir / "ws/Scan.01").c_str(), 1), 0);
    ASSERT_EQ(far_add_member_bytes(far, "ScanInfoList", "abc", 3), 0);
    EXPECT_EQ(far->total_size, 2 * 100026u + 3u);
    far->count_only = 0;
    ASSERT_EQ(far_finish(far), 0);
    far_free(&far);
    EXPECT_EQ(readFile(container), header() + eof_record());
}

TEST(FileArch, WriterRefusesWhatTheReaderWouldRefuse)
{
    TempDir dir;
    // a member name over 259 bytes (each component within the file system's limit)
    std::string deep = dir / ("ws/" + std::string(200, 'a') + "/" + std::string(60, 'b'));
    fs::create_directories(deep);
    std::string container = dir / "c.far";
    FileArch *far = new_container(container, dir / "ws");
    ASSERT_NE(far, nullptr);
    EXPECT_EQ(far_add_path(far, deep.c_str(), 0), -1);
    EXPECT_EQ(far_add_path(far, (dir / ("ws/" + std::string(200, 'a'))).c_str(), 0), 0); // 200 bytes: fine
    for (const char *name : {"../x", "a\\.\\b", ""})
        EXPECT_EQ(far_add_member_bytes(far, name, "x", 1), -1) << name;
    // neither file nor folder, and links, are refused when named
    EXPECT_EQ(far_add_path(far, "/dev/null", 0), -1);
    fs::create_symlink(dir / "ws", dir / "link");
    EXPECT_EQ(far_add_path(far, (dir / "link").c_str(), 1), -1);
    EXPECT_EQ(far_add_path(far, (dir / "missing").c_str(), 0), -1);
    // a link inside a walked folder is skipped, never followed
    writeFile(dir / "secret", "secret");
    fs::create_directories(dir / "ws/walk");
    fs::create_symlink(dir / "secret", dir / "ws/walk/to-secret");
    EXPECT_EQ(far_add_path(far, (dir / "ws/walk").c_str(), 1), 0);
    ASSERT_EQ(far_finish(far), 0);
    far_free(&far);
    std::string bytes = readFile(container);
    EXPECT_EQ(bytes.find("secret"), std::string::npos);
    EXPECT_EQ(bytes.find("..\\x"), std::string::npos);
}

// A write that fails only when the container is closed (a full disk) is a
// failed save, not a success.
// A path that cannot be added (gone, or neither a file nor a folder) is a
// failure of the side being read, with its cause, not of the container.
TEST(FileArch, AFailedAddNamesTheSourceSide)
{
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    for (const auto &[name, cause] : std::vector<std::pair<std::string, int>>{{"missing", ENOENT}, {"fifo", EINVAL}}) {
        FileArch *far = far_new((dir / "out.zvscan").c_str(), dir.path().c_str());
        ASSERT_NE(far, nullptr);
        ASSERT_EQ(far_create(far, FAR_FILE_PLAIN, "test"), 0);
        EXPECT_NE(far_add_path(far, (dir / name).c_str(), 0), 0);
        EXPECT_EQ(far->error_side, FAR_SIDE_SOURCE) << name;
        EXPECT_EQ(far->error, cause) << name;
        far_free(&far);
    }
}

TEST(FileArch, FinishReportsAFailedClose)
{
    zvtest::FullDisk full; // every write fails with ENOSPC
    for (int kind : {int(FAR_FILE_PLAIN), int(FAR_FILE_GZIP)}) {
        FileArch *far = far_new((full / ("saved" + std::to_string(kind))).c_str(), "/");
        ASSERT_NE(far, nullptr);
        ASSERT_EQ(far_create(far, kind, "ZO3divi"), 0) << kind; // buffered: nothing has failed yet
        ASSERT_EQ(far_add_member_bytes(far, "ScanInfoList", "list", 4), 0) << kind;
        EXPECT_EQ(far_finish(far), -1) << kind;
        far_free(&far);
    }
}

// A container takes its name only when finished: until then, and for good
// when it is freed unfinished, the file of that name is left as it was, and
// the temporary file beside it is gone afterwards. A folder is refused at
// once.
TEST(FileArch, OnlyAFinishedContainerTakesItsName)
{
    TempDir dir;
    const std::string path = dir / "c.far";
    writeFile(path, "earlier");
    auto names = [&] {
        std::vector<std::string> out;
        for (const auto &e : fs::directory_iterator(dir.path()))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    };
    FileArch *far = new_container(path, dir.path());
    ASSERT_NE(far, nullptr);
    ASSERT_EQ(far_add_member_bytes(far, "ScanInfoList", "list", 4), 0);
    const std::vector<std::string> during = names();
    ASSERT_EQ(during.size(), 2u);
    EXPECT_EQ(during[0].rfind(".c.far.zv-partial-", 0), 0u) << during[0];
    EXPECT_EQ(readFile(path), "earlier");
    far_free(&far);
    EXPECT_EQ(names(), std::vector<std::string>{"c.far"});
    EXPECT_EQ(readFile(path), "earlier");

    far = new_container(path, dir.path());
    ASSERT_NE(far, nullptr);
    ASSERT_EQ(far_add_member_bytes(far, "ScanInfoList", "list", 4), 0);
    ASSERT_EQ(far_finish(far), 0);
    far_free(&far);
    EXPECT_EQ(names(), std::vector<std::string>{"c.far"});
    buf_t *got = far_get_member(path.c_str(), "ScanInfoList", nullptr);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(got->data), size_t(got->count)), "list");
    buf_free(got);

    fs::create_directory(dir / "folder");
    far = far_new((dir / "folder").c_str(), dir.path().c_str());
    ASSERT_NE(far, nullptr);
    EXPECT_EQ(far_create(far, FAR_FILE_GZIP, "ZO3divi"), -1);
    far_free(&far);
    EXPECT_EQ(names(), (std::vector<std::string>{"c.far", "folder"}));
    EXPECT_TRUE(fs::is_empty(dir / "folder"));
}

// --- what is put under the temporary's name ---------------------------------------------

// Fault guarded: the container's temporary file was opened again by name
// after it was made (to write it, then to flush it): a link put at that
// name had its target overwritten by the save, and a FIFO held the save in
// open() for ever, deaf to signals, with the workspace locked. A link or a
// FIFO put there right after the temporary is made, or after far_create,
// is neither written through nor waited for, and is never renamed over the
// container's path: far_finish fails, the earlier file of that name and the
// link's target stay as they were, and the planted name is left alone. Run
// in a child process, so that a hang fails the test.
TEST(FileArch, WhatIsPutUnderTheTemporaryNameIsLeftAlone)
{
    TempDir dir, outside;
    const std::string path = dir / "c.far", victim = outside / "victim";
    const zvtest::ChildOutcome outcome = zvtest::runInChild([&](const zvtest::ChildNotes &note) {
        int failures = 0;
        for (const bool link : {true, false})
            for (const bool at_creation : {true, false}) {
                const std::string what = std::string(link ? "a link" : "a FIFO") +
                                         (at_creation ? " put at its creation" : " put after far_create");
                note(what);
                writeFile(path, "earlier");
                writeFile(victim, "precious");
                Plant plant{link, victim};
                if (at_creation)
                    atomic_file_set_test_hook(plant_when_created, &plant);
                FileArch *far = far_new(path.c_str(), dir.path().c_str());
                const int created = far != nullptr ? far_create(far, FAR_FILE_GZIP, "ZO3divi") : -1;
                atomic_file_set_test_hook(nullptr, nullptr);
                std::string planted;
                for (const auto &e : fs::directory_iterator(dir.path()))
                    if (e.path().filename().string().rfind(".c.far.zv-partial-", 0) == 0)
                        planted = e.path().string();
                if (!at_creation && created == 0 && !planted.empty()) {
                    const std::string folder = dir.path();
                    const int dir_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
                    plant_at(dir_fd, fs::path(planted).filename().c_str(), plant);
                    close(dir_fd);
                }
                if (created == 0 && far_add_member_bytes(far, "ScanInfoList", "list", 4) == 0 &&
                    far_finish(far) == 0)
                    note("  FINISHED over the planted name"), failures++;
                far_free(&far);
                if (readFile(path) != "earlier")
                    note("  the earlier file CHANGED"), failures++;
                if (readFile(victim) != "precious")
                    note("  WROTE through the link"), failures++;
                struct stat st;
                if (planted.empty() || lstat(planted.c_str(), &st) != 0 ||
                    (link ? !S_ISLNK(st.st_mode) : !S_ISFIFO(st.st_mode)))
                    note("  the planted name was not left alone"), failures++;
                else
                    unlink(planted.c_str());
            }
        return failures;
    }, 60);
    EXPECT_TRUE(outcome.finished) << "hung; steps:\n" << outcome.notes;
    EXPECT_EQ(outcome.status, 0) << outcome.notes;
}

// --- a file that changes while it is added ---------------------------------------------

// A file type whose writes pass through to the stdio stream and which, when
// the "fdat" header of the watched file goes out, changes that file.
struct Tamper {
    std::string path, replacement; // the watched file and what it becomes
    bool done = false;
};

int64_t tamper_write(file_t *f, const void *buffer, int64_t count)
{
    auto *tamper = static_cast<Tamper *>(f->vf->arg);
    if (!tamper->done && count == 32 && memcmp(static_cast<const char *>(buffer) + 4, "fdat", 4) == 0) {
        tamper->done = true;
        std::FILE *out = std::fopen(tamper->path.c_str(), "r+");
        if (out != nullptr) {
            EXPECT_EQ(ftruncate(fileno(out), 0), 0);
            std::fwrite(tamper->replacement.data(), 1, tamper->replacement.size(), out);
            std::fclose(out);
        }
    }
    size_t wrote = std::fwrite(buffer, 1, size_t(count), f->fp);
    f->pos += int64_t(wrote);
    return wrote == size_t(count) ? count : -3;
}

// Adds dir/ws/<name> (first holding before) to a plain container dir/c.far
// whose writes go through tamper_write, registered as a file type named for
// it. Returns the add's result and leaves the container open in *far.
int add_tampered(const TempDir &dir, const std::string &name, const std::string &before, Tamper *tamper,
                 FileArch **far)
{
    fs::create_directories(dir / "ws");
    writeFile(tamper->path = dir / ("ws/" + name), before);
    static vf_ops ops{};
    ops.write = tamper_write;
    const std::string type = "far-test-tamper-" + name;
    EXPECT_NE(file_register_vf(type.c_str(), &ops, tamper), nullptr);
    *far = new_container(dir / "c.far", dir / "ws");
    EXPECT_NE(*far, nullptr);
    if (*far == nullptr || file_set_vf((*far)->file, type.c_str()) != 0)
        return -100;
    return far_add_path(*far, tamper->path.c_str(), 0);
}

// A file that shrinks fails the add; one that grows keeps its declared length.
TEST(FileArch, AFileThatChangesWhileAdded)
{
    TempDir dir, out;
    Tamper shrink{"", "short"}, tamper{"", "1234567890"};
    FileArch *far = nullptr;
    EXPECT_EQ(add_tampered(dir, "sel-state", patternBytes(100000, 2), &shrink, &far), -1);
    EXPECT_TRUE(shrink.done);
    far_free(&far);
    ASSERT_EQ(add_tampered(dir, "log", "12345", &tamper, &far), 0);
    ASSERT_EQ(far_add_member_bytes(far, "after", "next", 4), 0);
    ASSERT_EQ(far_finish(far), 0);
    far_free(&far);
    ASSERT_EQ(extract(dir / "c.far", out.path()), 0);
    EXPECT_EQ(readFile(out / "log"), "12345");
    EXPECT_EQ(readFile(out / "after"), "next");
}

// --- member lookup ----------------------------------------------------------------------

TEST(FileArch, GetMemberExactNameAnySizeLimit)
{
    TempDir dir;
    std::string container = dir / "c.far";
    const std::string limit(size_t(FAR_MAX_MEMBER_SIZE), 'L');
    const std::string over(size_t(FAR_MAX_MEMBER_SIZE) + 1, 'O');
    FileArch *far = far_new(container.c_str(), dir.path().c_str());
    ASSERT_NE(far, nullptr);
    ASSERT_EQ(far_create(far, FAR_FILE_GZIP, "ZO3divi"), 0);
    buf_t *info = buf_new(0, 0);
    ASSERT_NE(info, nullptr);
    ASSERT_NE(buf_append(info, "scan list", 9), nullptr);
    ASSERT_EQ(far_add_member(far, "ScanInfoList", info), 0);
    buf_free(info);
    ASSERT_EQ(far_add_member_bytes(far, "big/limit", limit.data(), limit.size()), 0);
    ASSERT_EQ(far_add_member_bytes(far, "big\\over", over.data(), over.size()), 0);
    ASSERT_EQ(far_add_member_bytes(far, "empty", "", 0), 0);
    ASSERT_EQ(far_finish(far), 0);
    far_free(&far);
    // The member's bytes through far_get_member (into mine when given, which it must return), or
    // "<none>".
    auto get = [](const std::string &path, const char *name, buf_t *mine = nullptr) {
        buf_t *got = far_get_member(path.c_str(), name, mine);
        EXPECT_TRUE(mine == nullptr || got == mine) << name;
        std::string text = got ? std::string(reinterpret_cast<char *>(got->data), size_t(got->count)) : "<none>";
        if (got != nullptr && got != mine)
            buf_free(got);
        return text;
    };
    EXPECT_EQ(get(container, "ScanInfoList"), "scan list");
    EXPECT_EQ(get(container, "List"), "<none>"); // not by suffix
    EXPECT_EQ(get(container, "missing"), "<none>");
    // members after the first are found too; either separator names them
    buf_t *mine = buf_new(0, 0);
    EXPECT_EQ(get(container, "big\\limit", mine), limit);
    EXPECT_EQ(get(container, "big/over", mine), ""); // over 10 MiB: empty
    EXPECT_EQ(get(container, "empty", mine), "");
    buf_free(mine);
    // a damaged container gives nothing
    std::string cut = dir / "cut.far";
    writeFile(cut, readFile(container).substr(0, 40));
    EXPECT_EQ(get(cut, "big\\limit"), "<none>");
    EXPECT_EQ(get(dir / "none", "ScanInfoList"), "<none>");
}

// --- filters ------------------------------------------------------------------------------

struct FilterLog {
    std::string target;
    std::map<std::string, int> results; // by member path below the target
    std::string rewrite_from = {}, rewrite_to = {};
    std::vector<std::pair<int, std::string>> calls = {};
};

int logging_filter(void *context, char *path, size_t path_size, int kind, int64_t length)
{
    auto *log = static_cast<FilterLog *>(context);
    EXPECT_EQ(path_size, size_t(FAR_MAX_PATH));
    std::string full = path;
    std::string member = full.substr(log->target.size() + 1);
    log->calls.emplace_back(kind, member + (kind == FAR_KIND_FILE ? ":" + std::to_string(length) : ""));
    if (!log->rewrite_from.empty() && full.find(log->rewrite_from) == 0)
        snprintf(path, path_size, "%s", (log->rewrite_to + full.substr(log->rewrite_from.size())).c_str());
    auto it = log->results.find(member);
    return it == log->results.end() ? 0 : it->second;
}

std::string filter_container(const TempDir &dir)
{
    std::string path = dir / "f.far";
    writeFile(path, header() + name_record("dnam", "Scan.01") + name_record("dnam", "Scan.01\\FAT.1") +
                        file_member("Scan.01\\FAT.1\\cat.db", "db") + file_member("Scan.01\\context", "ctx") +
                        eof_record());
    return path;
}

TEST(FileArch, FilterSkipsStopsAndRewrites)
{
    TempDir dir;
    std::string container = filter_container(dir);
    auto run = [&](FilterLog &log) { return far_extract(container.c_str(), log.target.c_str(), logging_filter, &log); };
    // 0x30000 on a folder skips the folder, on a file its data
    FilterLog skip{dir / "t1", {{"Scan.01/FAT.1", 0x30000}, {"Scan.01/FAT.1/cat.db", 0x30000}}};
    ASSERT_EQ(run(skip), 0);
    EXPECT_EQ(skip.calls, (std::vector<std::pair<int, std::string>>{
                              {1, "Scan.01"}, {1, "Scan.01/FAT.1"}, {3, "Scan.01/FAT.1/cat.db:2"}, {3, "Scan.01/context:3"}}));
    EXPECT_EQ(snapshot(skip.target),
              (std::map<std::string, std::string>{{"Scan.01", "dir"}, {"Scan.01/context", "ctx"}}));
    // stop before: the low 16 bits come back, the record is not made
    FilterLog before{dir / "t2", {{"Scan.01/FAT.1", 0x40000 | 7}}};
    EXPECT_EQ(run(before), 7);
    EXPECT_EQ(snapshot(before.target), (std::map<std::string, std::string>{{"Scan.01", "dir"}}));
    // stop after: the file is made first
    FilterLog after{dir / "t3", {{"Scan.01/FAT.1/cat.db", 0x80000 | 0x1234}}};
    EXPECT_EQ(run(after), 0x1234);
    EXPECT_EQ(readFile(after.target + "/Scan.01/FAT.1/cat.db"), "db");
    EXPECT_FALSE(fs::exists(after.target + "/Scan.01/context"));
    // a negative result ends extraction with it
    FilterLog negative{dir / "t4", {{"Scan.01/context", -24}}};
    EXPECT_EQ(run(negative), -24);
    // rewriting the slot folder, as loading into another slot does
    const std::string t5 = dir / "t5";
    FilterLog rewrite{t5, {}, t5 + "/Scan.01", t5 + "/Scan.05"};
    ASSERT_EQ(run(rewrite), 0);
    EXPECT_EQ(readFile(t5 + "/Scan.05/FAT.1/cat.db"), "db");
    EXPECT_FALSE(fs::exists(t5 + "/Scan.01"));
}

TEST(FileArch, FilterCannotLeadOutOfTheTarget)
{
    TempDir dir;
    std::string container = filter_container(dir);
    fs::create_directories(dir / "outside");
    writeFile(dir / "outside/victim", "precious");
    const std::string target = dir / "target";
    for (const std::string &to : {dir / "outside", target + "/../outside", target + "/./x", target + "//x",
                                  target + "x", std::string("/tmp")}) {
        FilterLog log{target, {}, target + "/Scan.01", to};
        auto before = snapshot(dir.path());
        EXPECT_EQ(far_extract(container.c_str(), target.c_str(), logging_filter, &log), -1) << to;
        auto after = snapshot(dir.path());
        after.erase("target"); // the target itself may now exist, empty
        before.erase("target");
        EXPECT_EQ(after, before) << to;
        EXPECT_TRUE(!fs::exists(target) || fs::is_empty(target)) << to;
    }
}

// --- hostile and damaged containers ------------------------------------------------------

// The target holds "keep"; outside it lies "outside/victim". Every bad
// container starts with a valid member that would overwrite "keep".
struct Scene {
    TempDir dir;
    std::string target = dir / "ws";
    Scene()
    {
        fs::create_directories(target + "/Scan.01");
        writeFile(target + "/keep", "old");
        fs::create_directories(dir / "outside");
        writeFile(dir / "outside/victim", "precious");
    }
    // Extracts bytes (optionally gzip-compressed by the real tool); returns
    // the result and checks that nothing changed anywhere in the scene.
    int extract_unchanged(const std::string &bytes, const std::string &what, bool gzip = false)
    {
        std::string container = dir / "bad.far";
        writeFile(container, bytes);
        if (gzip) {
            zvtest::requireTool("gzip");
            zvtest::mustRun("gzip -f '" + container + "' && mv '" + container + ".gz' '" + container + "'");
        }
        auto before = snapshot(dir.path());
        int result = extract(container, target);
        EXPECT_EQ(snapshot(dir.path()), before) << what;
        EXPECT_EQ(readFile(dir / "outside/victim"), "precious") << what;
        EXPECT_EQ(readFile(target + "/keep"), "old") << what;
        return result;
    }
};

TEST(FileArch, HostileMemberNamesChangeNothing)
{
    Scene scene;
    const std::string good = header() + file_member("keep", "NEW");
    const std::string victim = with_backslashes(scene.dir / "outside/victim");
    const std::string long_name = std::string(200, 'a') + "\\" + std::string(58, 'b'); // 260 bytes with its NUL
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"dotdot file", file_member("..\\outside\\victim", "pwned")},
        {"dotdot inside", file_member("Scan.01\\..\\..\\outside\\victim", "pwned")},
        {"dotdot folder", name_record("dnam", "..\\outside\\new")},
        {"forward dotdot", file_member("../outside/victim", "pwned")},
        {"absolute backslash", file_member(victim, "pwned")},
        {"absolute slash", file_member((scene.dir / "outside/victim"), "pwned")},
        {"dot", name_record("dnam", ".")},
        {"dot component", file_member("Scan.01\\.\\x", "x")},
        {"empty component", file_member("Scan.01\\\\x", "x")},
        {"trailing separator", name_record("dnam", "Scan.01\\")},
        {"empty name", name_record("fnam", "") + record("fdat", "x")},
        {"NUL inside", record("fnam", std::string("ok\0..\\x\0", 8)) + record("fdat", "x")},
        {"no NUL", record("fnam", "keep") + record("fdat", "x")},
        {"260-byte folder name", name_record("dnam", long_name + "b")},
        {"huge name length", record("fnam", "x", uint64_t(1) << 40)},
    };
    for (const auto &[what, bad] : cases)
        EXPECT_EQ(scene.extract_unchanged(good + bad + eof_record(), what), -1) << what;
    // the 259-byte name is fine on its own
    TempDir out;
    std::string ok = scene.dir / "ok.far";
    EXPECT_EQ(extract_bytes(ok, header() + name_record("dnam", long_name) + eof_record(), out.path()), 0);
    EXPECT_TRUE(fs::is_directory(out / (std::string(200, 'a') + "/" + std::string(58, 'b'))));
    // a target so long that a name no longer fits the 1024-byte path
    std::string deep = scene.dir / (std::string(250, 'd') + "/" + std::string(250, 'e') + "/" + std::string(250, 'f'));
    std::string member = std::string(200, 'm') + "\\" + std::string(58, 'n');
    EXPECT_EQ(extract_bytes(ok, header() + name_record("dnam", member) + eof_record(), deep), -1);
    EXPECT_FALSE(fs::exists(deep));
}

TEST(FileArch, DamagedContainersChangeNothing)
{
    Scene scene;
    const std::string good = header() + file_member("keep", "NEW");
    const std::string whole = good + file_member("Scan.01\\data", patternBytes(70000, 3)) + eof_record();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"no end record", good},
        {"cut in a record header", good + std::string("Blk\0fdat", 8)},
        {"cut in the payload", whole.substr(0, whole.size() - 32 - 100)},
        {"cut in the header", whole.substr(0, 20)},
        {"fnam without fdat", good + name_record("fnam", "a") + eof_record()},
        {"fnam then fnam", good + name_record("fnam", "a") + file_member("b", "x") + eof_record()},
        {"fdat without fnam", good + record("fdat", "x") + eof_record()},
        {"fnam then dnam", good + name_record("fnam", "a") + name_record("dnam", "b") + eof_record()},
        {"unknown type", good + record("zzzz", "") + eof_record()},
        {"bad block magic", good + "Blx" + record("eof ", "").substr(3)},
        {"negative length", good + record("fdat", "", uint64_t(1) << 63) + eof_record()},
        {"length past the end", good + name_record("fnam", "a") + record("fdat", "xyz", uint64_t(1) << 62)},
        {"wrong version", whole.substr(0, 8) + char(2) + whole.substr(9)},
        {"not a container", "hello"},
        {"empty", ""},
    };
    for (const auto &[what, bad] : cases) {
        EXPECT_EQ(scene.extract_unchanged(bad, what), -1) << what;
        EXPECT_EQ(scene.extract_unchanged(bad, what + " (gzip)", true), -1) << what;
    }
    // the whole container is fine, plain and compressed, and so is one cut
    // after its end record
    std::string container = scene.dir / "whole.far";
    TempDir out;
    EXPECT_EQ(extract_bytes(container, whole + "trailing", out.path()), 0);
    EXPECT_EQ(readFile(out / "keep"), "NEW");
    // a gzip file cut short
    writeFile(container, whole);
    zvtest::requireTool("gzip");
    std::string gz = zvtest::mustRun("gzip -c '" + container + "'");
    writeFile(container, gz.substr(0, gz.size() / 2));
    auto before = snapshot(scene.dir.path());
    EXPECT_EQ(extract(container, scene.target), -1);
    EXPECT_EQ(snapshot(scene.dir.path()), before);
}

TEST(FileArch, LinksInsideTheTargetAreNotFollowed)
{
    Scene scene;
    const TempDir &dir = scene.dir;
    std::string target = scene.target, container = dir / "c.far";
    fs::create_directory_symlink(dir / "outside", target + "/linkdir");
    fs::create_symlink(dir / "outside/victim", target + "/linkfile");
    mkfifo((target + "/fifo").c_str(), 0600);
    auto outside = snapshot(dir / "outside");
    for (const std::string &bad : {file_member("linkdir\\victim", "pwned"), name_record("dnam", "linkdir\\sub"),
                                   file_member("linkfile", "pwned"), file_member("fifo", "x")}) {
        EXPECT_EQ(extract_bytes(container, header() + bad + eof_record(), target), -1);
        EXPECT_EQ(snapshot(dir / "outside"), outside);
        EXPECT_TRUE(fs::is_fifo(target + "/fifo"));
    }
    // a file where a folder should be
    writeFile(target + "/plain", "x");
    EXPECT_EQ(extract_bytes(container, header() + file_member("plain\\x", "y") + eof_record(), target), -1);
    EXPECT_EQ(readFile(target + "/plain"), "x");
}

// The seeds in fuzz/corpus/file_arch are made by the writer (and cut or
// poked), and so is the saved scan with a journal in
// fuzz/corpus/scan_context; ZV_WRITE_FILE_ARCH_SEEDS=1 writes them anew. The gzip seed is
// compared after decompression, as another zlib may compress differently.
TEST(FileArch, FuzzCorpusIsWhatTheWriterMakes)
{
    TempDir dir;
    fs::create_directories(dir / "ws/Scan.01/FAT.1");
    writeFile(dir / "ws/Scan.01/context", "ctx");
    writeFile(dir / "ws/Scan.01/FAT.1/cat.db", std::string(40, 'd'));
    writeFile(dir / "ws/Scan.01/FAT.1/sel-state", "\x55\xAA");
    std::map<std::string, std::string> made;
    for (int kind : {int(FAR_FILE_PLAIN), int(FAR_FILE_GZIP)}) {
        std::string container = dir / "seed.far";
        ASSERT_EQ(write_scan_container(dir, container, kind, "ZO3divi", "list", dir / "ws/Scan.01"), 0) << kind;
        made[kind == FAR_FILE_GZIP ? "saved-scan-gzip" : "saved-scan"] = readFile(container);
    }
    const std::string plain = made["saved-scan"];
    made["cut-in-payload"] = plain.substr(0, plain.size() - 40);
    made["hostile-dotdot"] = header() + file_member("ScanInfoList", "list") +
                             file_member("Scan.01\\..\\..\\victim", "pwned") + eof_record();
    made["hostile-link-name"] = header() + name_record("dnam", "Scan.01") + file_member("Scan.01\\x", "1") +
                                name_record("dnam", "Scan.01\\x\\y") + eof_record();
    // A saved scan of slot 1 whose catalog folder carries a journal, for
    // this target and for the saved-scan inputs of the scan-context one.
    writeFile(dir / "ws/Scan.01/FAT.1/cat.db-journal", std::string(4, '\x01') + "journal tail");
    ScanInfo info{};
    info.slot = 1;
    info.keyref = keyref_scan(1);
    std::snprintf(info.scan_name, sizeof info.scan_name, "Scan 1");
    uint8_t raw[SCAN_INFO_SIZE];
    scan_info_pack(info, raw);
    std::string container = dir / "journal.far";
    ASSERT_EQ(write_scan_container(dir, container, FAR_FILE_PLAIN, "ZO3divi",
                                   std::string(reinterpret_cast<const char *>(raw), sizeof raw), dir / "ws/Scan.01"),
              0);
    made["saved-scan-with-journal"] = readFile(container);
    const fs::path scan_context = fs::path(ZV_SOURCE_DIR) / "fuzz/corpus/scan_context";
    if (std::getenv("ZV_WRITE_FILE_ARCH_SEEDS"))
        writeFile(scan_context / "saved-scan-with-journal", made["saved-scan-with-journal"]);
    EXPECT_EQ(readFile(scan_context / "saved-scan-with-journal"), made["saved-scan-with-journal"]);

    const fs::path folder = fs::path(ZV_SOURCE_DIR) / "fuzz/corpus/file_arch";
    for (const auto &[name, bytes] : made) {
        if (std::getenv("ZV_WRITE_FILE_ARCH_SEEDS")) {
            fs::create_directories(folder);
            writeFile(folder / name, bytes);
        }
        if (name == "saved-scan-gzip") {
            std::string unpacked = gunzip((folder / name).string());
            ASSERT_GT(unpacked.size(), 9u);
            unpacked[9] = 0;
            EXPECT_EQ(unpacked, plain) << name;
        } else {
            EXPECT_EQ(readFile(folder / name), bytes) << name;
        }
    }
}

} // namespace

#include "support/hang_guard.h"

namespace {

// Name records over the 260 bytes a name may take are refused before their
// bytes are read. One just over the limit overran the name buffer by a
// byte, which only a sanitizer notices; an 8 KiB one overruns it by far.
// The extraction runs in a child process, so that an overrun fails this test
// rather than ending the whole run.
TEST(FileArch, OversizedNameRecordsAreRefusedBeforeTheyAreRead)
{
    Scene scene;
    const std::string big(8192, 'n');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"8 KiB folder name", name_record("dnam", big)},
        {"8 KiB file name", name_record("fnam", big) + record("fdat", "x")},
        {"8 KiB file name (gzip)", name_record("fnam", big) + record("fdat", "x")},
    };
    const auto before = snapshot(scene.dir.path());
    for (const auto &[what, bad] : cases) {
        std::string container = scene.dir / "big.far";
        writeFile(container, header() + file_member("keep", "NEW") + bad + eof_record());
        if (what.find("gzip") != std::string::npos) {
            zvtest::requireTool("gzip");
            zvtest::mustRun("gzip -f '" + container + "' && mv '" + container + ".gz' '" + container + "'");
        }
        const zvtest::ChildOutcome outcome = zvtest::runInChild([&](const zvtest::ChildNotes &note) {
            const int result = extract(container, scene.target);
            note("far_extract gave " + std::to_string(result));
            return result == -1 ? 0 : 1;
        }, 60);
        EXPECT_TRUE(outcome.finished) << what;
        EXPECT_EQ(outcome.status, 0) << what << ": " << outcome.notes;
        std::remove(container.c_str());
        EXPECT_EQ(snapshot(scene.dir.path()), before) << what;
    }
}

} // namespace
