// ZV::Buffer: copies and moves, replace, lengths, refusals past 32 bits, sources inside the buffer.
#include "foundation/buffer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {
std::string contents(const ZV::Buffer &b) { return std::string(reinterpret_cast<const char *>(b.data()), b.length()); }
ZV::Buffer make(const std::string &s) { return ZV::Buffer(s.data(), s.size()); }
} // namespace

// A copy takes only the used bytes, never the spare storage behind them; a move leaves the source empty.
TEST(BufferCopyMove, CopiesOnlyUsedBytesAndMoveEmptiesSource)
{
    ZV::Buffer three = make("abc"), five = make("vwxyz");
    five = three;
    EXPECT_EQ(contents(five), "abc");
    ZV::Buffer copy(three);
    copy = three;
    EXPECT_EQ(contents(copy), "abc");
    ZV::Buffer spare = make("abcdefg");
    spare.setLength(2);
    ZV::Buffer fromSpare(spare);
    fromSpare.setLength(7);
    EXPECT_EQ(contents(fromSpare), std::string("ab\0\0\0\0\0", 7));
    ZV::Buffer moved(std::move(five));
    EXPECT_EQ(contents(moved), "abc");
    EXPECT_EQ(five.length(), 0u); // NOLINT(bugprone-use-after-move): the contract says empty
    five = std::move(moved);
    EXPECT_EQ(contents(five), "abc");
    EXPECT_EQ(moved.length(), 0u); // NOLINT(bugprone-use-after-move)
}

// Each row on a fresh "abcdefg"; a refused replace (null result) changes nothing, even when its sums wrap in 32 bits.
TEST(BufferReplace, ShorterEqualLongerAndOutOfRange)
{
    const struct { uint64_t offset, oldLength; const char *source; size_t newLength; const char *result; } rows[] = {
        {2, 3, "XY", 2, "abXYfg"}, {2, 1, "XYZ", 3, "abXYZdefg"}, {2, 2, "XY", 2, "abXYefg"},
        {7, 0, "hi", 2, "abcdefghi"}, // at the end with nothing replaced: an append
        {6, 2, "XY", 2, nullptr},     {0, 1, nullptr, 1, nullptr}, {0, 1, "X", 0, nullptr},
        {0xFFFFFFFFu, 2, "XY", 2, nullptr}, {2, 0xFFFFFFFFu, "XY", 2, nullptr},
        {2, 1, "X", SIZE_MAX, nullptr}, // result longer than a u32; the source is never read
    };
    for (const auto &r : rows) {
        ZV::Buffer b = make("abcdefg");
        SCOPED_TRACE(testing::Message() << "replace(" << r.offset << ", " << r.oldLength << ", " << r.newLength << ")");
        EXPECT_EQ(b.replace(r.offset, r.oldLength, r.source, r.newLength), r.result != nullptr);
        EXPECT_EQ(contents(b), r.result ? r.result : "abcdefg");
    }
}

// Sums past 32 bits are refused, never wrapped: erase does nothing, the growing calls throw before reading.
TEST(BufferReplace, SumsPastThirtyTwoBitsAreRefused)
{
    ZV::Buffer b = make("abcdefg");
    b.erase(0xFFFFFFFFu, 2);
    b.erase(1, 0xFFFFFFFFu);
    b.erase(6, 2);
    EXPECT_THROW(b.append("x", 0xFFFFFFFFu), std::length_error);
    EXPECT_THROW(b.append("x", SIZE_MAX), std::length_error);
    EXPECT_THROW(b.setLength(uint64_t(1) << 32), std::length_error);
    EXPECT_THROW(ZV::Buffer(size_t(uint64_t(1) << 32)), std::length_error);
    EXPECT_EQ(contents(b), "abcdefg");
}

// read stops at the used length; setLength keeps the storage, so old bytes reappear; append writes at the used length.
TEST(BufferLength, ReadEraseSetLengthAndAppend)
{
    ZV::Buffer b = make("abcdefg");
    char out[16] = {};
    EXPECT_EQ(std::string(out, b.read(5, 10, out)), "fg");
    EXPECT_EQ(b.read(7, 1, out), 0u);
    EXPECT_EQ(b.read(0, 1, nullptr), 0u);
    b.setLength(2);
    EXPECT_EQ(contents(b), "ab");
    b.setLength(7);
    EXPECT_EQ(contents(b), "abcdefg");
    b.erase(1, 2);
    EXPECT_EQ(contents(b), "adefg");
    ZV::Buffer big(100);
    big.setLength(2);
    big.append("XYZ", 3);
    EXPECT_EQ(contents(big), std::string("\0\0XYZ", 5));
    EXPECT_EQ(big.storageSize(), 100u); // the spare storage was reused
    big.reserve(10);
    EXPECT_EQ(big.storageSize(), 100u); // never shrinks
}

// A source inside the buffer's own storage survives a reallocation or a tail moving over it.
TEST(BufferAliasing, SourceInsideOwnStorage)
{
    ZV::Buffer b = make("abcd");
    b.append(b.data(), b.length());
    EXPECT_EQ(contents(b), "abcdabcd");
    ASSERT_TRUE(b.replace(0, 1, b.data() + 4, 4));
    EXPECT_EQ(contents(b), "abcdbcdabcd");
}
