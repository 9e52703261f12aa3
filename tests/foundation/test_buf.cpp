// Growable buffers: limits, sizes, text, heap strings, sorting, fields, the pool, file input.
#include "foundation/buf.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "support/test_support.h"

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using BufPtr = std::unique_ptr<buf_t, void (*)(buf_t *)>;
using Ints = std::vector<int>;

BufPtr make(int elem_size = 1, int max_count = 0, Ints ints = {})
{
    BufPtr b(buf_new(0, 0), buf_free);
    EXPECT_EQ(buf_set_element_size(b.get(), elem_size), 0);
    b->max_count = max_count;
    buf_append(b.get(), ints.data(), (int)ints.size());
    return b;
}

Ints ints(const buf_t *b) { return Ints((const int *)b->data, (const int *)b->data + b->count); }

// Text of a buffer up to its count (a counted NUL dropped).
std::string text(const buf_t *b)
{
    std::string s((const char *)b->data, (size_t)b->count);
    return !s.empty() && s.back() == 0 ? s.substr(0, s.size() - 1) : s;
}

const std::string kBig(100 * 1024, 'x');

} // namespace

// Maximum count 10 holding 8: an append of 5 takes 2, an insert of 3 at 8 is refused, at 0 it pushes the tail out.
TEST(BufMaxCount, AppendsAreCutAndInsertsPushOutOrAreRefused)
{
    const Ints eight = {0, 1, 2, 3, 4, 5, 6, 7};
    const int five[] = {10, 11, 12, 13, 14};
    BufPtr b = make(4, 10, eight);
    EXPECT_EQ(buf_append(b.get(), five, 5), (int *)b->data + 8);
    EXPECT_EQ(ints(b.get()), (Ints{0, 1, 2, 3, 4, 5, 6, 7, 10, 11}));
    EXPECT_EQ(buf_append(b.get(), five, 1), nullptr); // full
    b = make(4, 10, eight);
    EXPECT_EQ(buf_insert(b.get(), five, 8, 3), nullptr);
    EXPECT_EQ(buf_insert(b.get(), five, 9, 1), nullptr); // past the count
    EXPECT_EQ(buf_insert(b.get(), five, 0, 3), b->data);
    EXPECT_EQ(ints(b.get()), (Ints{10, 11, 12, 0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(buf_remove(b.get(), nullptr, 8, 5), 2); // a remove past the end takes what is there
    EXPECT_EQ(buf_remove(b.get(), nullptr, 8, 1), 0);
}

// Size overflow fault: sizes past INT_MAX bytes wrapped into a small allocation and a large copy; now -10,
// error 224, data kept. Growth rounds to whole steps.
TEST(BufSizes, HugeRequestsFailWithMinusTenAndKeepTheData)
{
    BufPtr b = make();
    buf_strcat(b.get(), "kept");
    for (size_t bytes : {(size_t)INT_MAX - 5, (size_t)INT_MAX + 1, SIZE_MAX}) {
        clear_errors();
        EXPECT_EQ(buf_reserve(b.get(), bytes), BUF_NO_MEMORY) << bytes;
        EXPECT_EQ(error_list_str(), "[224]");
    }
    BufPtr wide = make(1 << 20); // 2^20 x 2^12 elements = 4 GiB
    EXPECT_EQ(buf_append(wide.get(), nullptr, 1 << 12), nullptr);
    EXPECT_EQ(buf_insert(wide.get(), nullptr, 0, 1 << 12), nullptr);
    EXPECT_EQ(std::string((char *)b->data, b->count), std::string("kept", 5));
    clear_errors();
    BufPtr exact(buf_new(1, 100), buf_free);
    buf_reserve(exact.get(), 1001);
    EXPECT_EQ(exact->allocation, 1100); // whole steps, no slack
    buf_append(exact.get(), nullptr, 1101);
    EXPECT_EQ(exact->allocation, 1300); // appends add a quarter of the steps
}

// Faults guarded: "/" + "b" lost the root; a source inside the buffer broke on growth; a reused va_list
// in the second printf pass (the 100 KiB row).
TEST(BufText, PrintfSpacedStrcatJoinAndPathComponents)
{
    using Op = void (*)(buf_t *);
    const Op spaced5 = [](buf_t *b) { buf_printf_spaced(b, "%d", 5); };
    const Op component = [](buf_t *b) { buf_append_path_component(b, "b"); };
    const Op join = [](buf_t *b) { buf_join(b, "cd", ", "); };
    const struct { const char *before; bool counted_nul; Op op; std::string expected; } rows[] = {
        {"abc", 0, spaced5, "abc 5"}, {"", 0, spaced5, "5"}, {"abc\n", 0, spaced5, "abc\n5"},
        {"x", 0, [](buf_t *b) { buf_printf_spaced(b, "y"); }, "x y"},
        {"/a/", 0, component, "/a/b"}, {"/a/", 1, component, "/a/b"}, {"/a", 1, component, "/a/b"},
        {"/", 0, component, "/b"}, {"/", 1, component, "/b"}, {"", 0, component, "b"},
        {"ab", 1, join, "ab, cd"}, {"", 0, join, "cd"},
        {"ab", 1, [](buf_t *b) { buf_strcat(b, "cd"); }, "abcd"},
        {"ab", 1, [](buf_t *b) { buf_strcat(b, (const char *)b->data); }, "abab"},
        {"head", 0, [](buf_t *b) { buf_printf(b, "[%s|%d|%s]", kBig.c_str(), 42, "tail"); },
         "head[" + kBig + "|42|tail]"},
    };
    for (const auto &row : rows) {
        BufPtr b = make();
        row.counted_nul ? (void)buf_strcat(b.get(), row.before) : (void)buf_printf(b.get(), "%s", row.before);
        row.op(b.get());
        EXPECT_EQ(text(b.get()), row.expected) << row.before;
        EXPECT_EQ(buf_cstr(b.get()), row.expected) << row.before; // NUL in memory
    }

    BufPtr b = make();
    buf_strcat(b.get(), "one");
    buf_append_cstr(b.get(), "two"); // NUL-separated list
    EXPECT_EQ(std::string((char *)b->data, 8), std::string("one\0two\0", 8));
    EXPECT_EQ(buf_strcat(make(4).get(), "x"), nullptr); // not a text buffer
    BufPtr capped = make(1, 6);                         // fault guarded: a cut text had no NUL
    buf_strcat(capped.get(), "abc");
    EXPECT_EQ(buf_strcat(capped.get(), "defg"), nullptr);
    EXPECT_EQ(buf_printf(capped.get(), "%s", "defghi"), -1);
    EXPECT_STREQ(buf_cstr(capped.get()), "abc");
}

// Element-kind fault: heap strings are freed by kind (1000 strdups, ASan checks), a u32 list of
// element size 4 holds no pointers; fixed slots are cut.
TEST(BufStrings, HeapStringsAreOwnedByKindAndSlotsAreCut)
{
    BufPtr list = make();
    for (int i = 0; i < 1000; ++i)
        ASSERT_NE(buf_append_strdup(list.get(), std::to_string(i).c_str()), nullptr);
    EXPECT_STREQ(buf_string_at(list.get(), 999), "999");
    EXPECT_EQ(buf_remove(list.get(), nullptr, 0, 10), 10); // freed here
    char *taken = nullptr;
    EXPECT_EQ(buf_remove(list.get(), &taken, 0, 1), 1); // handed over
    EXPECT_STREQ(taken, "10");
    free(taken);
    list->max_count = list->count;
    EXPECT_EQ(buf_append_strdup(list.get(), "no room"), nullptr); // copy freed
    EXPECT_NE(buf_insert(list.get(), nullptr, 0, 1), nullptr);    // pushes one out
    BufPtr ids = make(4, 0, {7, 3});
    EXPECT_EQ(buf_append_strdup(ids.get(), "x"), nullptr);
    EXPECT_EQ(buf_set_element_size(ids.get(), 8), -1);
    BufPtr slots = make(4);
    EXPECT_STREQ(buf_append_string(slots.get(), "abcdef"), "abc");
    EXPECT_EQ(std::memcmp(buf_append_string(slots.get(), nullptr), "\0\0\0\0", 4), 0);
}

// 5 into 1, 3, 7 gives 1, 3, 5, 7 and the new element; 3 gives the existing one.
TEST(BufSorted, SortUniqueSearchAndFindOrInsert)
{
    BufPtr b = make(4, 0, {7, 1, 3, 7, 1, 3, 3});
    b->compare = [](const void *key, const void *element) { return *(const int *)key - *(const int *)element; };
    buf_sort(b.get());
    EXPECT_EQ(buf_unique(b.get()), 3);
    EXPECT_EQ(ints(b.get()), (Ints{1, 3, 7}));
    const int keys[] = {1, 3, 7, 0, 5, 8};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(buf_bsearch(b.get(), &keys[i]), i < 3 ? i : -1) << keys[i];
    EXPECT_EQ(buf_find_or_insert(b.get(), &keys[4]), (int *)b->data + 2);
    EXPECT_EQ(ints(b.get()), (Ints{1, 3, 5, 7}));
    EXPECT_EQ(buf_find_or_insert(b.get(), &keys[1]), (int *)b->data + 1);
    EXPECT_EQ(b->count, 4);

    BufPtr bytes = make(2); // no compare function: bytes compare unsigned, 0x80 after 0x7f
    const uint8_t raw[] = {0x80, 0, 0x7f, 0xff, 0x7f, 0x01}, sorted[] = {0x7f, 0x01, 0x7f, 0xff, 0x80, 0};
    buf_append(bytes.get(), raw, 3);
    buf_sort(bytes.get());
    EXPECT_EQ(std::memcmp(bytes->data, sorted, 6), 0);
    EXPECT_EQ(buf_bsearch(bytes.get(), raw), 2);
    EXPECT_EQ(buf_bsearch(make(2).get(), raw), -1);
}

TEST(BufFields, SplitFieldsGivesOffsetAndLength)
{
    const struct { const char *text, *separators; std::vector<std::pair<uint32_t, uint32_t>> fields; } rows[] = {
        {",a,,b", ",", {{0, 0}, {1, 1}, {3, 0}, {4, 1}}}, {"ab;c d", "; ", {{0, 2}, {3, 1}, {5, 1}}},
        {"a,", ",", {{0, 1}, {2, 0}}}, {"abc", "", {{0, 3}}}, {"", ",", {}},
    };
    for (const auto &row : rows) {
        BufPtr b = make();
        EXPECT_EQ(buf_split_fields(b.get(), row.separators, row.text), (int)row.fields.size());
        ASSERT_EQ(b->count, (int)row.fields.size()) << row.text;
        for (int i = 0; i < b->count; ++i)
            EXPECT_EQ(std::make_pair(buf_field_at(b.get(), i).offset, buf_field_at(b.get(), i).length), row.fields[i])
                << row.text << i;
    }
    BufPtr text_buffer = make();
    buf_strcat(text_buffer.get(), "abc");
    EXPECT_EQ(buf_split_fields(text_buffer.get(), ",", "a,b"), -1); // would reinterpret its bytes
}

int g_release_calls = 0;

// Fault guarded: a reused named buffer began with stale text. It comes back as the same record, empty,
// allocation kept; release hook and auxiliary block are gone.
TEST(BufPool, NamedBuffersComeBackEmptyAndKeepTheirAllocation)
{
    buf_t *b = buf_pool_get_named("progress-text-is-long");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b->name, "progress-text-i");
    buf_printf(b, "stale %d", 1);
    b->release = [](buf_t *) { ++g_release_calls; };
    b->aux = malloc(32);
    uint8_t *data = b->data;
    buf_free(b);
    EXPECT_EQ(g_release_calls, 1);

    buf_t *again = buf_pool_get_named("progress-text-is-long");
    EXPECT_EQ(again, b);
    EXPECT_EQ(again->data, data);
    EXPECT_STREQ(buf_cstr(again), ""); // not "stale 1"
    EXPECT_TRUE(again->count == 0 && again->aux == nullptr && again->release == nullptr);
    buf_t *other = buf_pool_get_named("progress-text-is-long"); // the first is still in use
    EXPECT_NE(other, again);
    buf_free(again);
    buf_free(other);
    buf_pool_trim();
}

TEST(BufPoolThreads, ManyThreadsTakeAndReleasePooledBuffers)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            const std::string name = "worker" + std::to_string(t % 3);
            for (int i = 0; i < 500; ++i) {
                buf_t *b = (i % 2) ? buf_pool_get_named(name.c_str()) : buf_pool_get();
                ASSERT_EQ(b->count, 0);
                buf_printf(b, "%d:%d", t, i);
                ASSERT_EQ(std::string(buf_cstr(b)), std::to_string(t) + ":" + std::to_string(i));
                buf_free(b);
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    buf_pool_trim();
}

// Appends to the end, stops at end of file and at the maximum; a failing read (a folder: EISDIR) gives -1.
TEST(BufFile, AppendFileReadsOntoTheEnd)
{
    zvtest::TempDir dir;
    zvtest::writeFile(dir / "data.bin", "0123456789");
    file_t *file = file_open((dir / "data.bin").c_str(), "rb", 1);
    file_t *folder = file_open((dir / "write-only.bin").c_str(), "wb", 1); // its reads fail
    ASSERT_TRUE(file && folder);
    BufPtr b = make(1, 12);
    buf_append(b.get(), "head", 4);
    EXPECT_EQ(buf_append_file(b.get(), folder, 8), -1);
    EXPECT_EQ(buf_append_file(b.get(), file, 6), 6);
    EXPECT_EQ(buf_append_file(b.get(), file, 100), 2); // up to the maximum
    b->max_count = 0;
    EXPECT_EQ(buf_append_file(b.get(), file, 100), 2); // to the end of the file
    EXPECT_EQ(buf_append_file(b.get(), file, 100), 0);
    EXPECT_EQ(text(b.get()), "head0123456789");
    EXPECT_EQ(buf_append_file(make(4).get(), file, 1), -1); // not a byte buffer
    file_free(&file);
    file_free(&folder);
}
