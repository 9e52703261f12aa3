#include "foundation/buffer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

std::string contents(const ZV::Buffer &b)
{
    return std::string(reinterpret_cast<const char *>(b.data()), b.length());
}

ZV::Buffer make(const std::string &s)
{
    return ZV::Buffer(s.data(), s.size());
}

} // namespace

TEST(BufferCopyMove, CopiesOnlyUsedBytesAndMoveEmptiesSource)
{
    ZV::Buffer three = make("abc");
    ZV::Buffer five = make("vwxyz");
    five = three;
    EXPECT_EQ(contents(five), "abc");

    ZV::Buffer copy(three);
    copy = three;
    EXPECT_EQ(contents(copy), "abc");

    ZV::Buffer spare = make("abcdefg");
    spare.setLength(2);
    ZV::Buffer fromSpare(spare); // the hidden bytes 2-6 are not copied
    fromSpare.setLength(7);
    EXPECT_EQ(contents(fromSpare), std::string("ab\0\0\0\0\0", 7));

    ZV::Buffer moved(std::move(five));
    EXPECT_EQ(contents(moved), "abc");
    EXPECT_EQ(five.length(), 0u); // NOLINT(bugprone-use-after-move): the contract says empty
    five = std::move(moved);
    EXPECT_EQ(contents(five), "abc");
    EXPECT_EQ(moved.length(), 0u); // NOLINT(bugprone-use-after-move)
}

TEST(BufferReplace, ShorterEqualLongerAndOutOfRange)
{
    ZV::Buffer b = make("abcdefg");
    ASSERT_TRUE(b.replace(2, 3, "XY", 2));
    EXPECT_EQ(contents(b), "abXYfg");

    b = make("abcdefg");
    ASSERT_TRUE(b.replace(2, 1, "XYZ", 3));
    EXPECT_EQ(contents(b), "abXYZdefg");

    b = make("abcdefg");
    ASSERT_TRUE(b.replace(2, 2, "XY", 2));
    EXPECT_EQ(contents(b), "abXYefg");
    EXPECT_FALSE(b.replace(6, 2, "XY", 2));
    EXPECT_FALSE(b.replace(0, 1, nullptr, 1));
    EXPECT_FALSE(b.replace(0, 1, "X", 0));
    EXPECT_EQ(contents(b), "abXYefg");

    // At the end with nothing replaced: an append.
    ASSERT_TRUE(b.replace(7, 0, "hi", 2));
    EXPECT_EQ(contents(b), "abXYefghi");
}

TEST(BufferReplace, SumsPastThirtyTwoBitsAreRefused)
{
    ZV::Buffer b = make("abcdefg");
    EXPECT_FALSE(b.replace(0xFFFFFFFFu, 2, "XY", 2)); // wraps to 1 in 32 bits
    EXPECT_FALSE(b.replace(2, 0xFFFFFFFFu, "XY", 2));
    EXPECT_FALSE(b.replace(2, 1, "X", SIZE_MAX)); // result longer than a u32; source never read
    b.erase(0xFFFFFFFFu, 2);
    b.erase(1, 0xFFFFFFFFu);
    b.erase(6, 2);
    EXPECT_EQ(contents(b), "abcdefg");
    EXPECT_THROW(b.append("x", 0xFFFFFFFFu), std::length_error); // checked before reading
    EXPECT_THROW(b.append("x", SIZE_MAX), std::length_error);
    EXPECT_THROW(b.setLength(uint64_t(1) << 32), std::length_error);
    EXPECT_THROW(ZV::Buffer(size_t(uint64_t(1) << 32)), std::length_error);
    EXPECT_EQ(contents(b), "abcdefg");
}

TEST(BufferLength, ReadEraseSetLengthAndAppend)
{
    ZV::Buffer b = make("abcdefg");
    char out[16] = {};
    EXPECT_EQ(b.read(5, 10, out), 2u);
    EXPECT_EQ(std::string(out, 2), "fg");
    EXPECT_EQ(b.read(7, 1, out), 0u);
    EXPECT_EQ(b.read(0, 1, nullptr), 0u);

    b.erase(1, 2);
    EXPECT_EQ(contents(b), "adefg");

    b = make("abcdefg");
    b.setLength(2);
    EXPECT_EQ(contents(b), "ab");
    b.setLength(7);
    EXPECT_EQ(contents(b), "abcdefg"); // the storage kept the old bytes

    ZV::Buffer big(100);
    big.setLength(2);
    big.append("XYZ", 3);
    EXPECT_EQ(big.length(), 5u);
    EXPECT_EQ(big.storageSize(), 100u); // the spare storage was reused
    EXPECT_EQ(contents(big), std::string("\0\0XYZ", 5));

    big.reserve(10); // never shrinks
    EXPECT_EQ(big.storageSize(), 100u);
}

TEST(BufferAliasing, SourceInsideOwnStorage)
{
    ZV::Buffer b = make("abcd");
    b.append(b.data(), b.length()); // may reallocate while copying
    EXPECT_EQ(contents(b), "abcdabcd");
    ASSERT_TRUE(b.replace(0, 1, b.data() + 4, 4)); // the tail moves over the source
    EXPECT_EQ(contents(b), "abcdbcdabcd");
}
