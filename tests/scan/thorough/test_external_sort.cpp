// The external merge sort (against std::sort, through its passes, the merge
// of two runs files, and every way it can fail, which must leave the input
// as it was and no temporaries behind) and the start-gap analysis of the
// thorough-scan store (sorting "gaps" in place, the most frequent gaps and
// their log lines, the "cbr " module's after-processing entry).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../fs_test_support.h"
#include "foundation/buf.h"
#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/progress.h"
#include "foundation/workdir.h"
#include "scan/thorough/cbr_gaps.h"
#include "scan/thorough/cbr_store.h"
#include "scan/thorough/external_sort.h"
#include "support/test_support.h"

namespace {

using Records = std::vector<int64_t>;

std::string recordBytes(const Records &records)
{
    return std::string(reinterpret_cast<const char *>(records.data()), records.size() * sizeof(int64_t));
}

Records readRecords(const std::string &path)
{
    const std::string bytes = zvtest::readFile(path);
    Records records(bytes.size() / sizeof(int64_t));
    std::memcpy(records.data(), bytes.data(), records.size() * sizeof(int64_t));
    return records;
}

Records randomRecords(size_t n, uint32_t seed)
{
    std::mt19937_64 random(seed);
    Records records(n);
    for (int64_t &r : records)
        r = (int64_t)(random() % 5000) - 2500 + (random() % 4 == 0 ? INT64_MIN / 2 : 0); // duplicates, negatives
    return records;
}

bool hasError(int code)
{
    std::istringstream list(error_list_str().substr(1));
    std::string entry;
    while (list >> entry) {
        const size_t star = entry.find('*');
        if (std::atoi(entry.substr(star == std::string::npos ? 0 : star + 1).c_str()) == code)
            return true;
    }
    return false;
}

// The file holds exactly these records (a mismatch is told by size and
// first differing record, not by dumping the bytes).
testing::AssertionResult holds(const std::string &path, const Records &expected)
{
    if (!std::filesystem::exists(path))
        return testing::AssertionFailure() << path << " is missing";
    const Records got = readRecords(path);
    if (got == expected)
        return testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at])
        at++;
    return testing::AssertionFailure() << path << ": " << got.size() << " records, " << expected.size()
                                       << " expected, first difference at record " << at;
}

bool isRegularFile(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// What the test's compare function does besides comparing: it sees the sort
// description, so it knows when the merge passes run (merge_input set).
struct Probe {
    sort_desc *sort = nullptr;
    int maxPass = -1;                 // highest "pass N" shown while comparing
    bool watchPasses = false;
    std::function<void()> inMerge;    // runs once, at the first compare of a merge pass
    bool fired = false;
};

int compareInt64(void *context, const void *a, const void *b)
{
    auto *probe = static_cast<Probe *>(context);
    if (probe != nullptr && probe->sort != nullptr && probe->sort->merge_input[0] != nullptr) {
        if (probe->inMerge && !probe->fired) {
            probe->fired = true;
            probe->inMerge();
        }
        if (probe->watchPasses) {
            EngineProgress shown;
            progress_get(shown);
            const size_t at = shown.task_text.rfind("pass ");
            if (at != std::string::npos)
                probe->maxPass = std::max(probe->maxPass, std::atoi(shown.task_text.c_str() + at + 5));
        }
    }
    int64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    return x < y ? -1 : x > y ? 1 : 0;
}

class ExternalSort : public fstest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        clear_errors();
        folder = dir_new(workspace, "sort");
        ASSERT_NE(folder, nullptr);
        buffer = get_sort_buffer();
        ASSERT_NE(buffer, nullptr);
        ASSERT_GE(buffer->allocation, (int)SORT_BUFFER_SIZE);
    }
    void TearDown() override
    {
        clear_run_flags();
        buf_free(buffer);
        dir_free(&folder);
        Workspace::TearDown();
    }

public:
    std::string path(const std::string &name) const { return std::string(dir_path(folder)) + "/" + name; }

    // A description of 8-byte signed records over the test's folder.
    sort_desc describe(uint64_t count, uint64_t capacity = 0)
    {
        sort_desc sort;
        sort.buffer = buffer;
        sort.capacity = capacity;
        sort.count = count;
        sort.record_size = 8;
        sort.compare = compareInt64;
        sort.context = &probe;
        sort.folder = folder;
        std::snprintf(sort.progress_name, sizeof sort.progress_name, "%s", "Sorting test");
        return sort;
    }

    int sortFile(const Records &records, uint64_t capacity, const char *input, const char *output,
                 bool keepInput = false)
    {
        zvtest::writeFile(path(input), recordBytes(records));
        sort_desc sort = describe(records.size(), capacity);
        sort.keep_input = keepInput;
        probe.sort = &sort;
        const int rc = external_sort(&sort, input, output);
        probe.sort = nullptr;
        return rc;
    }

    void expectNoTemporaries() const
    {
        for (const char *name : {"0", "1", "2", "3"})
            EXPECT_FALSE(isRegularFile(path(name))) << name;
    }

    work_dir *folder = nullptr;
    buf_t *buffer = nullptr;
    Probe probe;
};

// Several buffers' worth (3 x 262144 + 17 records with duplicates and
// negative values) sorted in place, as std::sort sorts them.
TEST_F(ExternalSort, InPlaceAcrossSeveralBuffersMatchesStdSort)
{
    Records records = randomRecords(3 * 262144 + 17, 7);
    const size_t depth = progress_depth();
    ASSERT_EQ(sortFile(records, 0, "gaps", "gaps"), 0) << error_list_str();
    std::sort(records.begin(), records.end());
    EXPECT_TRUE(holds(path("gaps"), records));
    EXPECT_EQ(progress_depth(), depth);
    EXPECT_EQ(n_errors(), 0);
    expectNoTemporaries();
}

// Inputs of every shape against a small buffer (many runs, several merge
// passes), into another file, with and without keeping the input.
TEST_F(ExternalSort, ManyRunsIntoAnotherFile)
{
    struct Case {
        size_t count;
        const char *shape; // "random", "ascending", "descending", "equal"
        bool keepInput;
    };
    const Case cases[] = {{1, "random", false},      {4, "random", true},       {5, "descending", false},
                          {100, "random", true},     {1001, "random", false},   {1000, "ascending", false},
                          {1000, "descending", true}, {777, "equal", false},     {4097, "random", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + " " + c.shape);
        Records records = randomRecords(c.count, (uint32_t)c.count);
        if (std::strcmp(c.shape, "ascending") == 0)
            std::sort(records.begin(), records.end());
        else if (std::strcmp(c.shape, "descending") == 0)
            std::sort(records.rbegin(), records.rend());
        else if (std::strcmp(c.shape, "equal") == 0)
            std::fill(records.begin(), records.end(), -3);
        ASSERT_EQ(sortFile(records, 4, "in", "out", c.keepInput), 0) << error_list_str();
        std::sort(records.begin(), records.end());
        EXPECT_TRUE(holds(path("out"), records));
        EXPECT_EQ(isRegularFile(path("in")), c.keepInput);
        expectNoTemporaries();
        ::unlink(path("out").c_str());
        ::unlink(path("in").c_str());
    }
}

// A file that fits in one buffer takes pass 0 and exactly one merge pass,
// whose progress text names the pass.
TEST_F(ExternalSort, OneBufferTakesOneMergePass)
{
    probe.watchPasses = true;
    Records records = randomRecords(5000, 3);
    ASSERT_EQ(sortFile(records, 0, "gaps", "gaps"), 0);
    EXPECT_EQ(probe.maxPass, 1);
    std::sort(records.begin(), records.end());
    EXPECT_TRUE(holds(path("gaps"), records));

    // Eight runs of 1000 take three merge passes.
    probe.maxPass = -1;
    records = randomRecords(8000, 4);
    ASSERT_EQ(sortFile(records, 1000, "gaps", "gaps"), 0);
    EXPECT_EQ(probe.maxPass, 3);
}

// A count of 0 reads and writes nothing: the file is left as it is and the
// sort succeeds; a missing input is still an error.
TEST_F(ExternalSort, EmptyInputIsLeftAlone)
{
    ASSERT_EQ(sortFile({}, 0, "gaps", "gaps"), 0);
    EXPECT_TRUE(isRegularFile(path("gaps")));
    EXPECT_EQ(zvtest::readFile(path("gaps")), "");
    EXPECT_FALSE(isRegularFile(path("out")));
    expectNoTemporaries();

    sort_desc sort = describe(0);
    EXPECT_EQ(external_sort(&sort, "missing", "missing"), -1);
    EXPECT_TRUE(hasError(SORT_ERROR_OPEN_INPUT));
}

// Every failure ends with -1 and its code, the input as it was, and no
// temporary left. An obstacle named like a temporary is a folder, which no
// file can be opened over.
TEST_F(ExternalSort, FailuresKeepTheInput)
{
    struct Case {
        const char *what;
        std::function<void(ExternalSort *)> prepare;
        uint64_t extraCount; // records claimed beyond the file's
        int error;           // 0: none in particular
        const char *output;
    };
    const Case cases[] = {
        {"records missing from the input", nullptr, 5, SORT_ERROR_READ_INPUT, "in"},
        {"temporary 0 cannot be made", [](ExternalSort *t) { ::mkdir(t->path("0").c_str(), 0700); }, 0,
         SORT_ERROR_OPEN_0, "in"},
        {"temporary 1 cannot be made", [](ExternalSort *t) { ::mkdir(t->path("1").c_str(), 0700); }, 0,
         SORT_ERROR_OPEN_1, "in"},
        {"temporary 2 cannot be made", [](ExternalSort *t) { ::mkdir(t->path("2").c_str(), 0700); }, 0,
         SORT_ERROR_OPEN_MERGE_FIRST + 2, "in"},
        {"abort before pass 0", [](ExternalSort *) { request_abort(); }, 0, SORT_ERROR_ABORT_PASS0, "in"},
        {"abort in a merge pass", [](ExternalSort *t) { t->probe.inMerge = [] { request_abort(); }; }, 0,
         SORT_ERROR_ABORT_MERGE, "in"},
        // The result cannot be renamed over a folder: the input must survive
        // even though it was to be deleted.
        {"output is a folder",
         [](ExternalSort *t) {
             ::mkdir(t->path("out").c_str(), 0700);
             zvtest::writeFile(t->path("out") + "/x", "x");
         },
         0, 0, "out"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        clear_errors();
        begin_run_flags();
        probe = Probe();
        const Records records = randomRecords(3000, 11);
        zvtest::writeFile(path("in"), recordBytes(records));
        if (c.prepare)
            c.prepare(this);
        sort_desc sort = describe(records.size() + c.extraCount, 1000);
        probe.sort = &sort;
        const size_t depth = progress_depth();
        EXPECT_EQ(external_sort(&sort, "in", c.output), -1);
        EXPECT_EQ(progress_depth(), depth);
        EXPECT_TRUE(holds(path("in"), records));
        if (c.error != 0) {
            EXPECT_TRUE(hasError(c.error)) << error_list_str();
        }
        expectNoTemporaries();
        clear_run_flags();
        for (const char *name : {"0", "1", "2", "out/x", "out"})
            ::remove(path(name).c_str());
    }
    EXPECT_TRUE(logged("merge sort error: errno=0, n=5, keys 3000 3005"));
}

// A temporary that loses records between passes (here cut short while the
// merge reads it) fails the sort instead of handing on fewer records.
TEST_F(ExternalSort, RecordsLostInAMergeFailTheSort)
{
    // Two runs of 320 KB, each larger than a stream's 128 KiB buffer.
    const Records records = randomRecords(80000, 5);
    probe.inMerge = [this] { ASSERT_EQ(::truncate(path("1").c_str(), 0x20000), 0); };
    EXPECT_EQ(sortFile(records, 40000, "gaps", "gaps"), -1);
    EXPECT_TRUE(probe.fired);
    EXPECT_TRUE(hasError(SORT_ERROR_READ)) << error_list_str();
    EXPECT_TRUE(holds(path("gaps"), records));
    expectNoTemporaries();
}

// A workspace that fills up while the last pass is written: the stream
// fails only when it is closed, and the sort must see it.
TEST_F(ExternalSort, FullDiskInTheLastPassKeepsTheInput)
{
    zvtest::TempDir mountPoint;
    zvtest::Mount mount = zvtest::Mount::tmpfs(mountPoint.path(), "size=1m,mode=0700");
    work_dir *small = dir_new(nullptr, (mountPoint.path() + "/CBR.1").c_str());
    ASSERT_NE(small, nullptr);
    const std::string gaps = mountPoint.path() + "/CBR.1/gaps";
    const Records records = randomRecords(12800, 9); // 100 KiB: one run, written at close
    zvtest::writeFile(gaps, recordBytes(records));
    // Room for temporary "0" (25 pages) and 12 pages more: "2" cannot be finished.
    struct statvfs vfs;
    ASSERT_EQ(::statvfs(mountPoint.path().c_str(), &vfs), 0);
    const uint64_t room = (uint64_t)vfs.f_bavail * vfs.f_frsize;
    ASSERT_GT(room, 37u * 4096);
    zvtest::writeFile(mountPoint.path() + "/filler", std::string(room - 37 * 4096, 'f'));

    sort_desc sort = describe(records.size());
    sort.folder = small;
    EXPECT_EQ(external_sort(&sort, "gaps", "gaps"), -1);
    EXPECT_TRUE(hasError(SORT_ERROR_WRITE_RUN)) << error_list_str();
    EXPECT_TRUE(holds(gaps, records));
    for (const char *name : {"0", "1", "2", "3"})
        EXPECT_FALSE(isRegularFile(mountPoint.path() + "/CBR.1/" + name)) << name;
    dir_free(&small);
}

// The temporaries' own names are refused for the input and the output: the
// sort would overwrite the input or delete its own result.
TEST_F(ExternalSort, TemporaryNamesRefused)
{
    const Records records = randomRecords(50, 2);
    for (const auto &names : std::vector<std::pair<const char *, const char *>>{{"0", "0"}, {"1", "x"}, {"x", "2"}}) {
        SCOPED_TRACE(std::string(names.first) + " -> " + names.second);
        zvtest::writeFile(path(names.first), recordBytes(records));
        sort_desc sort = describe(records.size(), 4);
        EXPECT_EQ(external_sort(&sort, names.first, names.second), -1);
        EXPECT_TRUE(holds(path(names.first), records));
        ::unlink(path(names.first).c_str());
    }
}

// next_merge_key over two hand-made runs files: the smaller record first,
// input 0 first on equal keys, a run end reported once both inputs reached
// one (or the only live input did), and a failed read reported as such.
class MergeKey : public ExternalSort {
protected:
    // 16-byte records: a key the compare looks at, and a tag it does not.
    static int compareKeys(void *, const void *a, const void *b) { return compareInt64(nullptr, a, b); }

    void open(const std::vector<std::pair<int64_t, int64_t>> &in0, const std::vector<std::pair<int64_t, int64_t>> &in1)
    {
        for (int i = 0; i < 2; i++) {
            std::string bytes;
            for (const auto &r : i == 0 ? in0 : in1)
                bytes += recordBytes({r.first, r.second});
            zvtest::writeFile(path(std::to_string(i)), bytes);
            files[i] = dir_file_open_num(folder, i, "rb");
            ASSERT_NE(files[i], nullptr);
        }
        sort = describe(in0.size() + in1.size());
        sort.record_size = 16;
        sort.compare = compareKeys;
        sort.merge_input[0] = files[0];
        sort.merge_input[1] = files[1];
    }
    // The merge as text: "key/tag" per record, "|" for a run end.
    std::string merge()
    {
        std::string out;
        for (int guard = 0; guard < 100; guard++) {
            bool ended = true;
            const void *r = next_merge_key(&sort, &ended);
            if (r == nullptr && !ended)
                break;
            if (r == nullptr) {
                out += "| ";
                continue;
            }
            EXPECT_FALSE(ended);
            int64_t v[2];
            std::memcpy(v, r, 16);
            out += std::to_string(v[0]) + "/" + std::to_string(v[1]) + " ";
        }
        return out;
    }
    void TearDown() override
    {
        file_free(&files[0]);
        file_free(&files[1]);
        ExternalSort::TearDown();
    }

    file_t *files[2] = {};
    sort_desc sort;
};

TEST_F(MergeKey, RunsAndEqualKeys)
{
    open({{1, 0}, {5, 0}, {2, 0}, {3, 0}}, {{4, 1}, {0, 1}});
    EXPECT_EQ(merge(), "1/0 4/1 5/0 | 0/1 2/0 3/0 ");
    EXPECT_FALSE(sort.merge_failed);
    file_free(&files[0]);
    file_free(&files[1]);

    open({{7, 0}, {7, 2}, {9, 0}}, {{7, 1}, {9, 1}, {8, 1}});
    EXPECT_EQ(merge(), "7/0 7/2 7/1 9/0 9/1 | 8/1 ");

    file_free(&files[0]);
    file_free(&files[1]);
    open({}, {{3, 1}, {2, 1}, {1, 1}});
    EXPECT_EQ(merge(), "3/1 | 2/1 | 1/1 ");
}

TEST_F(MergeKey, FailedReadIsReported)
{
    open({{1, 0}}, {{2, 1}});
    file_free(&files[1]);
    files[1] = dir_file_open_num(folder, 1, "ab"); // open, but not for reading
    ASSERT_NE(files[1], nullptr);
    sort.merge_input[1] = files[1];
    bool ended = true;
    EXPECT_EQ(next_merge_key(&sort, &ended), nullptr);
    EXPECT_FALSE(ended);
    EXPECT_TRUE(sort.merge_failed);
    EXPECT_TRUE(hasError(SORT_ERROR_READ)) << error_list_str();
}

// --- the most frequent gaps ---------------------------------------------------------------

std::string listText(const std::vector<cbr_gap_count> &list)
{
    std::string out;
    for (const cbr_gap_count &g : list)
        out += std::to_string(g.value) + ":" + std::to_string(g.count) + " ";
    return out;
}

TEST(GapList, OrderAndEviction)
{
    std::vector<cbr_gap_count> list;
    cbr_gap_list_add(&list, 10, 2);
    cbr_gap_list_add(&list, 11, 5);
    cbr_gap_list_add(&list, 12, 2); // after the other count 2
    cbr_gap_list_add(&list, 13, 3);
    EXPECT_EQ(listText(list), "11:5 13:3 10:2 12:2 ");
    cbr_gap_list_add(&list, 12, 9); // present: raised by one, ahead of 10:2
    EXPECT_EQ(listText(list), "11:5 13:3 12:3 10:2 ");
    cbr_gap_list_add(&list, 10, 1);
    cbr_gap_list_add(&list, 10, 1);
    EXPECT_EQ(listText(list), "11:5 10:4 13:3 12:3 ");

    // Full: a larger count pushes the last entry out; one that would come
    // after the last place is not added.
    list.clear();
    for (uint64_t v = 0; v < CBR_GAP_LIST_MAX; v++)
        cbr_gap_list_add(&list, 100 + v, 10);
    cbr_gap_list_add(&list, 1, 10);
    cbr_gap_list_add(&list, 2, 9);
    ASSERT_EQ(list.size(), CBR_GAP_LIST_MAX);
    EXPECT_EQ(list.back().value, 100 + CBR_GAP_LIST_MAX - 1);
    cbr_gap_list_add(&list, 3, 11);
    ASSERT_EQ(list.size(), CBR_GAP_LIST_MAX);
    EXPECT_EQ(list.front().value, 3u);
    EXPECT_EQ(list.back().value, 100 + CBR_GAP_LIST_MAX - 2);
}

// The analysis over a real store of a thorough scan.
class StartGaps : public fstest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        clear_errors();
        module = cbr_describe();
        ASSERT_NE(module, nullptr);
        media = fileMedium(dir / "card.img", std::string(4096, '\0'));
        scan = scx_new(SCX_TYPE_THOROUGH, media, workspace);
        ASSERT_NE(scan, nullptr);
        ASSERT_NE(scan->store, nullptr);
        store = scan->store;
    }
    void TearDown() override
    {
        module->scan = nullptr;
        Workspace::TearDown();
    }
    std::string gapsPath() const { return std::string(dir_path(store->folder)) + "/gaps"; }
    std::vector<std::string> gapLines() const
    {
        std::vector<std::string> lines;
        std::istringstream log(zvtest::readFile(dir / "engine.log"));
        for (std::string line; std::getline(log, line);)
            if (const size_t at = line.find("gap["); at != std::string::npos)
                lines.push_back(line.substr(at));
        return lines;
    }

    fil_module *module = nullptr;
    Media *media = nullptr;
    ScanContext *scan = nullptr;
    fs_record *store = nullptr;
};

// "gaps" sorted in place as signed numbers, runs counted, the top 32 logged
// most frequent first (equal counts in ascending value order), through the
// "cbr " module's after-processing entry.
TEST_F(StartGaps, SortsCountsAndLogsTheTop32)
{
    Records gaps;
    for (int64_t v = 1; v <= 40; v++) // value v is there v times
        gaps.insert(gaps.end(), (size_t)v, v * 64);
    gaps.insert(gaps.end(), 40, -8); // as often as the largest, and sorts first
    std::shuffle(gaps.begin(), gaps.end(), std::mt19937(1));
    zvtest::writeFile(gapsPath(), recordBytes(gaps));

    module->scan = scan;
    ASSERT_EQ(cbr_module_after_processing(module), 0) << error_list_str();
    std::sort(gaps.begin(), gaps.end());
    EXPECT_TRUE(holds(gapsPath(), gaps));

    const std::vector<std::string> lines = gapLines();
    ASSERT_EQ(lines.size(), 32u);
    EXPECT_EQ(lines[0], "gap[0]: value=fffffffffffffff8 count=40");
    EXPECT_EQ(lines[1], "gap[1]: value=a00 count=40");
    EXPECT_EQ(lines[2], "gap[2]: value=9c0 count=39");
    EXPECT_EQ(lines[31], "gap[31]: value=280 count=10");
    const cbr_store *state = cbr_store_of(store);
    ASSERT_EQ(state->gap_counts.size(), 32u);
    EXPECT_EQ(state->gap_counts[31].value, 640u);
}

// A second analysis of the same store counts its file afresh.
TEST_F(StartGaps, SecondAnalysisCountsAfresh)
{
    zvtest::writeFile(gapsPath(), recordBytes({8, 8, 8, 16}));
    ASSERT_EQ(cbr_analyse_gaps(store), 0);
    ASSERT_EQ(cbr_analyse_gaps(store), 0);
    const std::vector<std::string> lines = gapLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "gap[0]: value=8 count=3");
    EXPECT_EQ(lines[3], "gap[1]: value=10 count=1");
}

// Nothing to sort: an empty or missing "gaps" is left alone and nothing is
// logged; a module without a scan, or a scan without a store, has nothing
// to analyse.
TEST_F(StartGaps, NothingToAnalyse)
{
    EXPECT_EQ(cbr_analyse_gaps(store), 0);
    zvtest::writeFile(gapsPath(), "");
    EXPECT_EQ(cbr_analyse_gaps(store), 0);
    EXPECT_TRUE(isRegularFile(gapsPath()));
    EXPECT_TRUE(gapLines().empty());
    EXPECT_EQ(cbr_module_after_processing(module), 0);
    EXPECT_EQ(cbr_module_after_processing(nullptr), 0);
    fs_record other;
    EXPECT_EQ(cbr_analyse_gaps(&other), -1);
    EXPECT_EQ(n_errors(), 0);
}

// A sort that fails records 424 and leaves "gaps" as it was.
TEST_F(StartGaps, FailedSortRecorded)
{
    const Records gaps = {64, 8, 64};
    zvtest::writeFile(gapsPath(), recordBytes(gaps));
    ASSERT_EQ(::mkdir((std::string(dir_path(store->folder)) + "/0").c_str(), 0700), 0);
    EXPECT_EQ(cbr_analyse_gaps(store), -1);
    EXPECT_TRUE(hasError(CBR_ERROR_GAP_SORT)) << error_list_str();
    EXPECT_TRUE(hasError(SORT_ERROR_OPEN_0)) << error_list_str();
    EXPECT_TRUE(holds(gapsPath(), gaps));
    EXPECT_TRUE(gapLines().empty());
}

} // namespace
