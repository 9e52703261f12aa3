#include "foundation/sysutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "foundation/log.h"

// The sanitizers' allocators abort on an impossible allocation instead of
// returning NULL (unless allocator_may_return_null is set).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZV_ALLOCATOR_ABORTS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZV_ALLOCATOR_ABORTS 1
#endif
#endif

// Test hooks of the random fallback, defined in sysutil.cpp.
namespace zv_test {
void random_bytes_force_fallback(bool force);
void random_bytes_reseed_fallback(uint64_t seed);
} // namespace zv_test

namespace {

double monotonic_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Fills count bytes between guard bytes on the heap (ASan sees overruns too).
bool fills_exactly(size_t count)
{
    std::vector<unsigned char> block(count + 16, 0xA5);
    random_bytes(block.data() + 8, count);
    for (size_t i = 0; i < 8; i++)
        if (block[i] != 0xA5 || block[8 + count + i] != 0xA5)
            return false;
    return true;
}

// Bit-by-bit reading of the field: the independent reference for get_bits.
uint32_t reference_bits(const uint8_t *p, uint32_t offset, uint32_t n)
{
    uint32_t value = 0;
    for (uint32_t bit = offset; bit < offset + n; bit++)
        value = (value << 1) | ((p[bit / 8] >> (7 - bit % 8)) & 1u);
    return value;
}

int compare_with_direction(void *context, const void *a, const void *b)
{
    int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
    return *static_cast<int *>(context) * ((x > y) - (x < y));
}

} // namespace

TEST(RandomBytes, WritesExactlyTheRequestedBytesFromEitherSource)
{
    for (bool fallback : {false, true}) {
        zv_test::random_bytes_force_fallback(fallback);
        for (size_t count : {0, 3, 8, 9, 1000})
            EXPECT_TRUE(fills_exactly(count)) << count << " bytes, fallback " << fallback;
    }
    zv_test::random_bytes_force_fallback(false);
}

TEST(RandomBytes, FallbackDrawsCountOverEightPlusOneNumbersLowByteFirst)
{
    zv_test::random_bytes_force_fallback(true);
    zv_test::random_bytes_reseed_fallback(12345);
    std::mt19937_64 model(12345);
    unsigned char three[3], eight[8], one;
    random_bytes(three, 3); // one draw, its three low-order bytes
    random_bytes(eight, 8); // two draws, the second unused
    random_bytes(&one, 1);
    zv_test::random_bytes_force_fallback(false);

    uint64_t first = model(), second = model();
    model();
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(three[i], (first >> (8 * i)) & 0xFF) << i;
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(eight[i], (second >> (8 * i)) & 0xFF) << i;
    EXPECT_EQ(one, model() & 0xFF);
}

TEST(SystemCalls, SleepSortErrorTextAndClock)
{
    for (uint64_t us : {0, 999, 2500}) {
        double start = monotonic_seconds();
        zv_usleep(us);
        EXPECT_GE(monotonic_seconds() - start, us < 1000 ? 0.001 : 0.002) << us; // lower bound only
    }

    std::vector<int> values = {5, 3, 9, 1, 7};
    int direction = -1;
    zv_qsort_r(values.data(), values.size(), sizeof(int), &direction, compare_with_direction);
    EXPECT_EQ(values, (std::vector<int>{9, 7, 5, 3, 1}));

    char small[6] = "xxxxx";
    zv_strerror_r(ENOENT, small, 5); // glibc hands back a static text here
    EXPECT_STREQ(small, "No s");
    zv_strerror_r(ENOENT, small, 0); // no room: untouched
    EXPECT_STREQ(small, "No s");
    EXPECT_EQ(ZV::errorString(99999).str(), "Unknown error 99999"); // and uses the buffer here

    time_t before = time(nullptr);
    uint64_t usec = time_usec();
    time_t after = time(nullptr);
    EXPECT_GE(static_cast<time_t>(usec / 1000000), before);
    EXPECT_LE(static_cast<time_t>(usec / 1000000), after);
}

TEST(HeapFormat, TwoPassesAndFailures)
{
    // A va_list reused between the counting and the writing pass garbles
    // every argument after the first.
    std::string filler(5000, 'f');
    char *text = strdup_printf("%d|%s|%zu|%s", 42, filler.c_str(), size_t{7}, "end");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text, "42|" + filler + "|7|end");
    free_and_null(text);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(ZV::stringWithFormat("%d items", 3).str(), "3 items");

    // A wide character with no multibyte form makes vsnprintf fail.
    const wchar_t bad[] = {static_cast<wchar_t>(0x110000), 0};
    EXPECT_EQ(strdup_printf("%ls", bad), nullptr);
    EXPECT_TRUE(ZV::stringWithFormat("%ls", bad).empty());
    EXPECT_THROW(ZV::stringWithFormat("%s", "\xff\xfe"), utf8::invalid_utf8);
}

TEST(BoundedCopy, LimitsReturnValuesAndZeroSize)
{
    char dst[4];
    safe_strncpy(dst, sizeof dst, "abcdef", 10);
    EXPECT_STREQ(dst, "abc");
    safe_strncpy(dst, sizeof dst, "abcdef", 2);
    EXPECT_STREQ(dst, "ab");
    safe_strcpy(dst, sizeof dst, nullptr);
    EXPECT_STREQ(dst, "ab");
    char ten[10], three[3];
    EXPECT_EQ(str_copy(ten, "ab", sizeof ten), 3u);
    EXPECT_EQ(str_copy(three, "abcd", sizeof three), 3u);
    EXPECT_STREQ(three, "ab");
    EXPECT_EQ(str_copy_trunc(dst, "abcdef", sizeof dst), 3u);
    copy_chars(ten, sizeof ten, "abcdef", 2);
    EXPECT_STREQ(ten, "ab");

    char guard[2] = {'g', 'g'}; // size 0: not even the NUL is written
    EXPECT_EQ(str_copy_trunc(guard, "abc", 0), 0u);
    EXPECT_EQ(str_copy(guard, "abc", 0), 0u);
    copy_chars(guard, 0, "abc", 3);
    EXPECT_EQ(std::string(guard, 2), "gg");
}

TEST(TextHelpers, TokensCaseAndTrim)
{
    char ab[] = "a,b", trailing[] = "a,", empty[] = "";
    char *cursor = ab;
    EXPECT_STREQ(zv_strsep(&cursor, ","), "a");
    EXPECT_STREQ(zv_strsep(&cursor, ","), "b");
    EXPECT_EQ(zv_strsep(&cursor, ","), nullptr);
    cursor = trailing;
    EXPECT_STREQ(zv_strsep(&cursor, ","), "a");
    EXPECT_EQ(zv_strsep(&cursor, ","), nullptr); // glibc's strsep would give ""
    cursor = empty;
    EXPECT_EQ(zv_strsep(&cursor, ","), nullptr);

    EXPECT_EQ(str_ends_with_nocase("IMG_0001.JPG", ".jpg"), 1);
    EXPECT_EQ(str_ends_with_nocase("jpg", ".jpg"), 0);
    char mixed[] = "Caf\xc3\xa9 xyz";
    str_toupper_ascii(mixed);
    EXPECT_STREQ(mixed, "CAF\xc3\xa9 XYZ"); // bytes of 128 and above stay
    char padded[] = " \t\r\nvalue x \r\n\t ";
    str_trim(padded);
    EXPECT_STREQ(padded, "value x");
}

TEST(ByteReaders, BitFieldsMatchABitByBitReference)
{
    const uint8_t abcd[2] = {0xAB, 0xCD};
    EXPECT_EQ(get_bits(abcd, 4, 8), 0xBCu);
    const uint8_t pattern[5] = {0xDE, 0xAD, 0xBE, 0xEF, 0x97};
    for (uint32_t offset = 0; offset < 8; offset++) {
        for (uint32_t n = 1; n <= 31; n++) {
            // Exactly the bytes the field covers, on the heap: one more is an overrun.
            std::vector<uint8_t> bytes(pattern, pattern + (offset + n + 7) / 8);
            EXPECT_EQ(get_bits(bytes.data(), offset, n), reference_bits(pattern, offset, n))
                << "offset " << offset << " n " << n;
        }
    }
    EXPECT_EQ(get_be32(pattern), 0xDEADBEEFu);
    EXPECT_EQ(get_le16(pattern), 0xADDEu);
    EXPECT_EQ(gcd64(12, 18), 6u);
    EXPECT_EQ(gcd64(7, 0), 7u);
}

TEST(Xcalloc, FailureIsLoggedWithBothSizes)
{
#ifdef ZV_ALLOCATOR_ABORTS
    GTEST_SKIP() << "the sanitizer's allocator aborts on an impossible allocation instead of returning NULL";
#else
    char pattern[] = "/tmp/zv_xcalloc_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string log_path = std::string(pattern) + "/ScanEngineLog.txt";
    log_open(log_path.c_str());
    volatile size_t huge = SIZE_MAX; // volatile: no compile-time size warning
    EXPECT_EQ(xcalloc(huge, 2), nullptr);
    log_close();
    std::ifstream in(log_path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("Can't allocate 18446744073709551615 x 2 bytes"), std::string::npos) << text.str();
    std::filesystem::remove_all(pattern);
#endif
}
