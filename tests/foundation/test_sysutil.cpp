#include "foundation/sysutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "foundation/log.h"
#include "support/test_support.h"

// The sanitizers' allocators abort on an impossible allocation instead of returning NULL.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZV_ALLOCATOR_ABORTS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZV_ALLOCATOR_ABORTS 1
#endif
#endif

namespace zv_test { // hooks of the random fallback, defined in sysutil.cpp
void random_bytes_force_fallback(bool force);
void random_bytes_reseed_fallback(uint64_t seed);
} // namespace zv_test

// Both sources write exactly count bytes: guard bytes around a heap block (ASan sees overruns too).
// The fallback draws count / 8 + 1 numbers and copies their bytes in the machine's (little-endian) order.
TEST(RandomBytes, ExactSizesFromEitherSourceAndFallbackDraws)
{
    for (bool fallback : {false, true}) {
        zv_test::random_bytes_force_fallback(fallback);
        for (size_t count : {0, 3, 8, 9, 1000}) {
            std::vector<unsigned char> block(count + 16, 0xA5);
            random_bytes(block.data() + 8, count);
            block.erase(block.begin() + 8, block.end() - 8); // leaves the guard bytes
            EXPECT_EQ(block, std::vector<unsigned char>(16, 0xA5)) << count << " bytes, fallback " << fallback;
        }
    }
    zv_test::random_bytes_reseed_fallback(12345); // the fallback is still forced
    unsigned char three[3], eight[8], one;
    random_bytes(three, 3); // one draw, its three low-order bytes
    random_bytes(eight, 8); // two draws, the second unused
    random_bytes(&one, 1);
    zv_test::random_bytes_force_fallback(false);

    std::mt19937_64 model(12345);
    const uint64_t draws[4] = {model(), model(), model(), model()}; // draws[2] is the unused one
    EXPECT_EQ(std::memcmp(three, &draws[0], 3), 0);
    EXPECT_EQ(std::memcmp(eight, &draws[1], 8), 0);
    EXPECT_EQ(one, draws[3] & 0xFF);
}

TEST(SystemCalls, SleepSortErrorTextAndClock)
{
    for (uint64_t us : {0, 999, 2500}) { // whole milliseconds, at least one; lower bound only
        auto start = std::chrono::steady_clock::now();
        zv_usleep(us);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(us < 1000 ? 1 : 2)) << us;
    }

    std::vector<int> values = {5, 3, 9, 1, 7};
    int direction = -1; // the context must reach the comparator as its first argument
    zv_qsort_r(values.data(), values.size(), sizeof(int), &direction, [](void *context, const void *a, const void *b) {
        int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
        return *static_cast<int *>(context) * ((x > y) - (x < y));
    });
    EXPECT_EQ(values, (std::vector<int>{9, 7, 5, 3, 1}));

    char small[6] = "xxxxx";
    zv_strerror_r(ENOENT, small, 5); // glibc hands back a static text here
    zv_strerror_r(ENOENT, small, 0); // no room: untouched
    EXPECT_STREQ(small, "No s");
    EXPECT_EQ(ZV::errorString(99999).str(), "Unknown error 99999"); // and uses the buffer here

    time_t before = time(nullptr), usec_seconds = static_cast<time_t>(time_usec() / 1000000);
    EXPECT_GE(usec_seconds, before);
    EXPECT_LE(usec_seconds, time(nullptr));
}

TEST(HeapFormat, TwoPassesAndFailures)
{
    // Past 4 KiB: a va_list reused between the counting and the writing pass garbles the later arguments.
    std::string filler(5000, 'f');
    char *text = strdup_printf("%d|%s|%zu|%s", 42, filler.c_str(), size_t{7}, "end");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text, "42|" + filler + "|7|end");
    free_and_null(text);
    EXPECT_EQ(ZV::stringWithFormat("%d items", 3).str(), "3 items");

    const wchar_t bad[] = {static_cast<wchar_t>(0x110000), 0}; // no multibyte form: vsnprintf fails
    EXPECT_EQ(strdup_printf("%ls", bad), nullptr);
    EXPECT_TRUE(ZV::stringWithFormat("%ls", bad).empty());
    EXPECT_THROW(ZV::stringWithFormat("%s", "\xff\xfe"), utf8::invalid_utf8);
}

TEST(BoundedCopy, LimitsReturnValuesAndZeroSize)
{
    char dst[4], ten[10], three[3];
    safe_strncpy(dst, sizeof dst, "abcdef", 10);
    EXPECT_STREQ(dst, "abc");
    safe_strncpy(dst, sizeof dst, "abcdef", 2);
    EXPECT_STREQ(dst, "ab");
    safe_strcpy(dst, sizeof dst, nullptr);
    EXPECT_STREQ(dst, "ab");
    EXPECT_EQ(str_copy(ten, "ab", sizeof ten), 3u);
    EXPECT_EQ(str_copy(three, "abcd", sizeof three), 3u);
    EXPECT_STREQ(three, "ab");
    EXPECT_EQ(str_copy_trunc(dst, "abcdef", sizeof dst), 3u);
    copy_chars(ten, sizeof ten, "abcdef", 2);
    EXPECT_STREQ(ten, "ab");

    char guard[2] = {'g', 'g'}; // size 0 (size - 1 = SIZE_MAX if unguarded): not even the NUL is written
    EXPECT_EQ(str_copy_trunc(guard, "abc", 0), 0u);
    EXPECT_EQ(str_copy(guard, "abc", 0), 0u);
    copy_chars(guard, 0, "abc", 3);
    EXPECT_EQ(std::string(guard, 2), "gg");
}

TEST(TextHelpers, TokensCaseAndTrim)
{
    // glibc's strsep would give a final "" for "a," and "" for "".
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"a,b", {"a", "b"}}, {"a,", {"a"}}, {"", {}}};
    for (auto [text, expected] : cases) {
        char *cursor = text.data(), *token;
        std::vector<std::string> tokens;
        for (int i = 0; i < 4 && (token = zv_strsep(&cursor, ",")) != nullptr; i++)
            tokens.push_back(token);
        EXPECT_EQ(tokens, expected) << '"' << text << '"';
    }

    EXPECT_EQ(str_ends_with_nocase("IMG_0001.JPG", ".jpg"), 1);
    EXPECT_EQ(str_ends_with_nocase("jpg", ".jpg"), 0);
    char mixed[] = "Caf\xc3\xa9 xyz", padded[] = " \t\r\nvalue x \r\n\t ";
    str_toupper_ascii(mixed);
    EXPECT_STREQ(mixed, "CAF\xc3\xa9 XYZ"); // bytes of 128 and above stay
    str_trim(padded);
    EXPECT_STREQ(padded, "value x");
}

// 31 bits at offset 7 span 5 bytes: a 32-bit accumulator loses the top bits.
TEST(ByteReaders, BitFieldsMatchABitByBitReference)
{
    const uint8_t abcd[2] = {0xAB, 0xCD}, pattern[5] = {0xDE, 0xAD, 0xBE, 0xEF, 0x97};
    EXPECT_EQ(get_bits(abcd, 4, 8), 0xBCu);
    for (uint32_t offset = 0; offset < 8; offset++) {
        for (uint32_t n = 1; n <= 31; n++) {
            uint32_t reference = 0; // read bit by bit, most significant first
            for (uint32_t bit = offset; bit < offset + n; bit++)
                reference = (reference << 1) | ((pattern[bit / 8] >> (7 - bit % 8)) & 1u);
            // Exactly the bytes the field covers, on the heap: one more is an overrun.
            std::vector<uint8_t> bytes(pattern, pattern + (offset + n + 7) / 8);
            EXPECT_EQ(get_bits(bytes.data(), offset, n), reference) << "offset " << offset << " n " << n;
        }
    }
    EXPECT_EQ(get_be32(pattern), 0xDEADBEEFu);
    EXPECT_EQ(get_le16(pattern), 0xADDEu);
    EXPECT_EQ(gcd64(12, 18), 6u);
    EXPECT_EQ(gcd64(7, 0), 7u);
}

// "%d x %d" with size_t arguments would print garbage on LP64.
TEST(Xcalloc, FailureIsLoggedWithBothSizes)
{
#ifdef ZV_ALLOCATOR_ABORTS
    GTEST_SKIP() << "the sanitizer's allocator aborts on an impossible allocation instead of returning NULL";
#else
    zvtest::TempDir dir;
    log_open((dir / "ScanEngineLog.txt").c_str());
    volatile size_t huge = SIZE_MAX; // volatile: no compile-time size warning
    EXPECT_EQ(xcalloc(huge, 2), nullptr);
    log_close();
    const std::string log = zvtest::readFile(dir / "ScanEngineLog.txt");
    EXPECT_NE(log.find("Can't allocate 18446744073709551615 x 2 bytes"), std::string::npos) << log;
#endif
}
