// The external merge sort (against std::sort, the number of merge passes,
// the merge of two runs files, and the ways it can fail, each of which must
// leave the input as it was and no temporary behind) and the start-gap
// analysis of the thorough-scan store ("gaps" sorted in place, the most
// frequent gaps and their log lines, the "cbr " module's after-processing).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
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

Records randomRecords(size_t n, uint32_t seed)
{
    std::mt19937_64 random(seed);
    Records records(n);
    for (int64_t &r : records) // duplicates and negative values
        r = (int64_t)(random() % 5000) - 2500 + (random() % 4 == 0 ? INT64_MIN / 2 : 0);
    return records;
}

// The file holds exactly these records; a mismatch is told by sizes and the
// first differing record rather than by a dump of the bytes.
testing::AssertionResult holds(const std::string &path, const Records &expected)
{
    if (!std::filesystem::exists(path))
        return testing::AssertionFailure() << path << " is missing";
    const std::string bytes = zvtest::readFile(path);
    Records got(bytes.size() / sizeof(int64_t));
    std::memcpy(got.data(), bytes.data(), got.size() * sizeof(int64_t));
    if (got == expected && bytes.size() % sizeof(int64_t) == 0)
        return testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at])
        at++;
    return testing::AssertionFailure() << path << ": " << bytes.size() << " bytes, " << expected.size()
                                       << " records expected, first difference at record " << at;
}

bool hasError(int code)
{
    std::istringstream list(error_list_str().substr(1));
    for (std::string entry; list >> entry;)
        if (std::atoi(entry.substr(entry.find('*') == std::string::npos ? 0 : entry.find('*') + 1).c_str()) == code)
            return true;
    return false;
}

bool isRegularFile(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The test's compare sees the sort description: while merge_input is set a
// merge pass runs, whose number the progress text shows.
struct Probe {
    sort_desc *sort = nullptr;
    int maxPass = 0;
    std::function<void()> inMerge; // runs once, at the first compare of a merge pass
};

int compareInt64(void *context, const void *a, const void *b)
{
    auto *probe = static_cast<Probe *>(context);
    if (probe != nullptr && probe->sort != nullptr && probe->sort->merge_input[0] != nullptr) {
        if (probe->inMerge)
            std::exchange(probe->inMerge, nullptr)();
        EngineProgress shown;
        progress_get(shown);
        const size_t at = shown.task_text.rfind(", pass ");
        if (at != std::string::npos)
            probe->maxPass = std::max(probe->maxPass, std::atoi(shown.task_text.c_str() + at + 7));
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

    // 8-byte signed records in the test's folder.
    sort_desc describe(uint64_t count, uint64_t capacity = 0)
    {
        sort_desc sort;
        sort.buffer = buffer, sort.capacity = capacity, sort.count = count, sort.record_size = 8;
        sort.compare = compareInt64, sort.context = &probe, sort.folder = folder;
        std::snprintf(sort.progress_name, sizeof sort.progress_name, "%s", "Sorting test");
        return sort;
    }

    int sortFile(const Records &records, uint64_t capacity, const char *input, const char *output,
                 bool keepInput = false, uint64_t claimed = 0)
    {
        zvtest::writeFile(path(input), recordBytes(records));
        sort_desc sort = describe(records.size() + claimed, capacity);
        sort.keep_input = keepInput;
        probe.sort = &sort;
        const size_t depth = progress_depth();
        const int rc = external_sort(&sort, input, output);
        EXPECT_EQ(progress_depth(), depth);
        probe.sort = nullptr;
        return rc;
    }

    // None of "0" to "3" is left in the folder (but `kept`, the input).
    void expectNoTemporaries(const std::string &in = "", const std::string &kept = "") const
    {
        for (const char *name : {"0", "1", "2", "3"})
            EXPECT_TRUE(kept == name || !isRegularFile((in.empty() ? path("") : in + "/") + name)) << name;
    }

    work_dir *folder = nullptr;
    buf_t *buffer = nullptr;
    Probe probe;
};

// Every shape of input as std::sort sorts it, in place or into another file
// (the input kept or deleted), with the merge passes it takes: one for a
// file that fits the buffer, one for ascending chunks (the runs files hold
// one run each), three for eight runs, two for 3 x 262144 + 17 records.
TEST_F(ExternalSort, SortsAsStdSortDoes)
{
    struct Case {
        size_t count;
        uint64_t capacity; // 0: the whole buffer
        const char *shape;
        const char *output; // "in": in place
        bool keepInput;
        int passes; // 0: not checked
    };
    const Case cases[] = {{3 * 262144 + 17, 0, "random", "in", false, 2},
                          {5000, 0, "random", "in", false, 1},
                          {8000, 1000, "random", "out", false, 3},
                          {1000, 4, "ascending", "out", true, 1},
                          {1000, 4, "descending", "out", false, 0},
                          {777, 4, "equal", "in", false, 0},
                          {4097, 4, "random", "out", true, 0},
                          {1, 4, "random", "out", false, 0},
                          {5, 4, "descending", "in", false, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + " " + c.shape + " -> " + c.output);
        probe.maxPass = 0;
        Records records = randomRecords(c.count, (uint32_t)c.count);
        if (std::strcmp(c.shape, "ascending") == 0)
            std::sort(records.begin(), records.end());
        else if (std::strcmp(c.shape, "descending") == 0)
            std::sort(records.rbegin(), records.rend());
        else if (std::strcmp(c.shape, "equal") == 0)
            std::fill(records.begin(), records.end(), -3);
        ASSERT_EQ(sortFile(records, c.capacity, "in", c.output, c.keepInput), 0) << error_list_str();
        std::sort(records.begin(), records.end());
        EXPECT_TRUE(holds(path(c.output), records));
        EXPECT_EQ(isRegularFile(path("in")), c.keepInput || std::strcmp(c.output, "in") == 0);
        if (c.passes != 0) {
            EXPECT_EQ(probe.maxPass, c.passes);
        }
        expectNoTemporaries();
        ::unlink(path("out").c_str());
    }
    EXPECT_EQ(n_errors(), 0);
}

// A count of 0 reads and writes nothing: the file is left as it is and the
// sort succeeds; a missing input is still an error.
TEST_F(ExternalSort, EmptyInputIsLeftAlone)
{
    ASSERT_EQ(sortFile({}, 0, "gaps", "gaps"), 0);
    EXPECT_TRUE(isRegularFile(path("gaps")));
    EXPECT_EQ(std::filesystem::file_size(path("gaps")), 0u);
    expectNoTemporaries();
    sort_desc sort = describe(0);
    EXPECT_EQ(external_sort(&sort, "missing", "missing"), -1);
    EXPECT_TRUE(hasError(SORT_ERROR_OPEN_INPUT));
}

// Every failure ends with -1 and its code, the input as it was, and no
// temporary left. An obstacle named like a temporary is a folder, over which
// no file can be opened.
TEST_F(ExternalSort, FailuresKeepTheInput)
{
    struct Case {
        const char *what;
        std::function<void(ExternalSort *)> prepare;
        uint64_t claimed;  // records claimed beyond the file's
        int error;         // 0: none in particular
        const char *input, *output;
        size_t count = 3000;
        uint64_t capacity = 1000;
    };
    const auto obstacle = [](const char *name) {
        return [name](ExternalSort *t) { ::mkdir(t->path(name).c_str(), 0700); };
    };
    const Case cases[] = {
        {"records missing from the input", nullptr, 5, SORT_ERROR_READ_INPUT, "in", "in"},
        {"temporary 0 cannot be made", obstacle("0"), 0, SORT_ERROR_OPEN_0, "in", "in"},
        {"temporary 1 cannot be made", obstacle("1"), 0, SORT_ERROR_OPEN_1, "in", "in"},
        {"temporary 2 cannot be made", obstacle("2"), 0, SORT_ERROR_OPEN_MERGE_FIRST + 2, "in", "in"},
        {"abort before pass 0", [](ExternalSort *) { request_abort(); }, 0, SORT_ERROR_ABORT_PASS0, "in", "in"},
        {"abort in a merge pass", [](ExternalSort *t) { t->probe.inMerge = [] { request_abort(); }; }, 0,
         SORT_ERROR_ABORT_MERGE, "in", "in"},
        // The result cannot be renamed over a folder; the input, to be
        // deleted after a good rename, must survive.
        {"output is a folder",
         [](ExternalSort *t) {
             ::mkdir(t->path("out").c_str(), 0700);
             zvtest::writeFile(t->path("out") + "/x", "x");
         },
         0, 0, "in", "out"},
        // The temporaries' own names: the sort would write over its input
        // or delete its result.
        {"input named 0", nullptr, 0, 0, "0", "0"},
        {"output named 2", nullptr, 0, 0, "in", "2"},
        // Runs of 320 KB, larger than a stream's 128 KiB buffer; "1" cut
        // short while the merge reads it: records lost must fail the sort.
        {"a runs file loses records",
         [](ExternalSort *t) {
             t->probe.inMerge = [t] { ASSERT_EQ(::truncate(t->path("1").c_str(), 0x20000), 0); };
         },
         0, SORT_ERROR_READ, "in", "in", 80000, 40000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        clear_errors();
        begin_run_flags();
        probe = Probe();
        const Records records = randomRecords(c.count, 11);
        zvtest::writeFile(path(c.input), recordBytes(records));
        if (c.prepare)
            c.prepare(this);
        EXPECT_EQ(sortFile(records, c.capacity, c.input, c.output, false, c.claimed), -1);
        EXPECT_TRUE(holds(path(c.input), records));
        if (c.error != 0) {
            EXPECT_TRUE(hasError(c.error)) << error_list_str();
        }
        expectNoTemporaries("", c.input);
        clear_run_flags();
        for (const char *name : {"0", "1", "2", "out/x", "out", c.input})
            ::remove(path(name).c_str());
    }
    EXPECT_TRUE(logged("merge sort error: errno=0, n=5, keys 3000 3005"));
}

// A workspace that fills up while the last pass is written: the stream
// fails only when it is closed, and the sort must see it.
TEST_F(ExternalSort, FullDiskInTheLastPassKeepsTheInput)
{
    zvtest::TempDir mountPoint;
    zvtest::Mount mount = zvtest::Mount::tmpfs(mountPoint.path(), "size=1m,mode=0700");
    const std::string store = mountPoint.path() + "/CBR.1";
    work_dir *small = dir_new(nullptr, store.c_str());
    ASSERT_NE(small, nullptr);
    const Records records = randomRecords(12800, 9); // 100 KiB: one run, written at close
    zvtest::writeFile(store + "/gaps", recordBytes(records));
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
    EXPECT_TRUE(holds(store + "/gaps", records));
    expectNoTemporaries(store);
    dir_free(&small);
}

// next_merge_key over two hand-made runs files of 16-byte records (a key the
// compare looks at, a tag it does not): the smaller key first, input 0 first
// on equal keys, a run end once both inputs reached one or the only live
// input did, and a failed read told from the end of the files.
TEST_F(ExternalSort, MergeKey)
{
    using Runs = std::vector<std::pair<int64_t, int64_t>>;
    struct Case {
        Runs in0, in1;
        const char *merged; // "key/tag" per record, "|" per run end
    };
    const Case cases[] = {{{{1, 0}, {5, 0}, {2, 0}, {3, 0}}, {{4, 1}, {0, 1}}, "1/0 4/1 5/0 | 0/1 2/0 3/0 "},
                          {{{7, 0}, {7, 2}, {9, 0}}, {{7, 1}, {9, 1}, {8, 1}}, "7/0 7/2 7/1 9/0 9/1 | 8/1 "},
                          {{}, {{3, 1}, {2, 1}, {1, 1}}, "3/1 | 2/1 | 1/1 "},
                          {{{1, 0}}, {{2, 1}}, nullptr}}; // input 1 open for appending only: its read fails
    for (const Case &c : cases) {
        file_t *files[2] = {};
        sort_desc sort = describe(c.in0.size() + c.in1.size());
        sort.record_size = 16;
        sort.context = nullptr;
        for (int i = 0; i < 2; i++) {
            std::string bytes;
            for (const auto &r : i == 0 ? c.in0 : c.in1)
                bytes += recordBytes({r.first, r.second});
            zvtest::writeFile(path(std::to_string(i)), bytes);
            files[i] = dir_file_open_num(folder, i, i == 1 && c.merged == nullptr ? "ab" : "rb");
            sort.merge_input[i] = files[i];
        }
        std::string merged;
        bool ended = false;
        for (int guard = 0; guard < 20; guard++) {
            const void *r = next_merge_key(&sort, &ended);
            if (r == nullptr && !ended)
                break;
            int64_t v[2];
            if (r != nullptr)
                std::memcpy(v, r, 16);
            merged += r == nullptr ? "| " : std::to_string(v[0]) + "/" + std::to_string(v[1]) + " ";
        }
        if (c.merged != nullptr) {
            EXPECT_EQ(merged, c.merged);
            EXPECT_FALSE(sort.merge_failed);
        } else {
            EXPECT_EQ(merged, "");
            EXPECT_TRUE(sort.merge_failed);
            EXPECT_TRUE(hasError(SORT_ERROR_READ)) << error_list_str();
        }
        file_free(&files[0]);
        file_free(&files[1]);
    }
}

// --- the most frequent gaps ---------------------------------------------------------------

TEST(GapList, OrderAndEviction)
{
    std::vector<cbr_gap_count> list;
    const auto text = [&list] {
        std::string out;
        for (const cbr_gap_count &g : list)
            out += std::to_string(g.value) + ":" + std::to_string(g.count) + " ";
        return out;
    };
    for (const auto &[value, count] : std::vector<std::pair<uint64_t, uint64_t>>{{10, 2}, {11, 5}, {12, 2}, {13, 3}})
        cbr_gap_list_add(&list, value, count);
    EXPECT_EQ(text(), "11:5 13:3 10:2 12:2 "); // 12 after the other count 2
    cbr_gap_list_add(&list, 12, 9);            // present: raised by one, ahead of 10:2
    EXPECT_EQ(text(), "11:5 13:3 12:3 10:2 ");
    cbr_gap_list_add(&list, 10, 1);
    cbr_gap_list_add(&list, 10, 1);
    EXPECT_EQ(text(), "11:5 10:4 13:3 12:3 ");

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

// The analysis over the real store of a thorough scan.
class StartGaps : public fstest::Workspace {
protected:
    void SetUp() override
    {
        Workspace::SetUp();
        clear_errors();
        module = cbr_describe();
        ASSERT_NE(module, nullptr);
        scan = scx_new(SCX_TYPE_THOROUGH, fileMedium(dir / "card.img", std::string(4096, '\0')), workspace);
        ASSERT_NE(scan, nullptr);
        ASSERT_NE(scan->store, nullptr);
        store = scan->store;
        gaps = std::string(dir_path(store->folder)) + "/gaps";
    }
    void TearDown() override
    {
        module->scan = nullptr;
        Workspace::TearDown();
    }
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
    ScanContext *scan = nullptr;
    fs_record *store = nullptr;
    std::string gaps;
};

// "gaps" sorted in place as signed numbers, runs counted, the top 32 logged
// most frequent first (equal counts in ascending order), through the "cbr "
// module's after-processing; a second analysis counts the file afresh.
TEST_F(StartGaps, SortsCountsAndLogsTheTop32)
{
    Records values;
    for (int64_t v = 1; v <= 40; v++) // v x 64 is there v times
        values.insert(values.end(), (size_t)v, v * 64);
    values.insert(values.end(), 40, -8); // as often as the most frequent, and first in order
    std::shuffle(values.begin(), values.end(), std::mt19937(1));
    zvtest::writeFile(gaps, recordBytes(values));

    module->scan = scan;
    ASSERT_EQ(cbr_module_after_processing(module), 0) << error_list_str();
    std::sort(values.begin(), values.end());
    EXPECT_TRUE(holds(gaps, values));
    ASSERT_EQ(cbr_analyse_gaps(store), 0);

    const std::vector<std::string> lines = gapLines();
    ASSERT_EQ(lines.size(), 64u);
    EXPECT_EQ(lines[0], "gap[0]: value=fffffffffffffff8 count=40");
    EXPECT_EQ(lines[1], "gap[1]: value=a00 count=40");
    EXPECT_EQ(lines[2], "gap[2]: value=9c0 count=39");
    EXPECT_EQ(lines[31], "gap[31]: value=280 count=10");
    EXPECT_TRUE(std::equal(lines.begin(), lines.begin() + 32, lines.begin() + 32));
    ASSERT_EQ(cbr_store_of(store)->gap_counts.size(), 32u);
    EXPECT_EQ(cbr_store_of(store)->gap_counts[31].value, 640u);
}

// Nothing to analyse: a missing or empty "gaps" (left alone, nothing
// logged), a module without a scan, a record that is not a store. A sort
// that fails records 424 and leaves "gaps" as it was.
TEST_F(StartGaps, NothingToAnalyseAndFailures)
{
    EXPECT_EQ(cbr_analyse_gaps(store), 0);
    zvtest::writeFile(gaps, "");
    EXPECT_EQ(cbr_analyse_gaps(store), 0);
    EXPECT_TRUE(isRegularFile(gaps));
    EXPECT_EQ(cbr_module_after_processing(module), 0);
    EXPECT_EQ(cbr_module_after_processing(nullptr), 0);
    fs_record other;
    EXPECT_EQ(cbr_analyse_gaps(&other), -1);
    EXPECT_EQ(n_errors(), 0);

    zvtest::writeFile(gaps, recordBytes({64, 8, 64}));
    ASSERT_EQ(::mkdir((std::string(dir_path(store->folder)) + "/0").c_str(), 0700), 0);
    EXPECT_EQ(cbr_analyse_gaps(store), -1);
    EXPECT_TRUE(hasError(CBR_ERROR_GAP_SORT)) << error_list_str();
    EXPECT_TRUE(hasError(SORT_ERROR_OPEN_0)) << error_list_str();
    EXPECT_TRUE(holds(gaps, {64, 8, 64}));
    EXPECT_TRUE(gapLines().empty());
}

} // namespace
