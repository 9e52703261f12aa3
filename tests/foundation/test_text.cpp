// Small text helpers (formatting, lines, trimming, whole files, Base64) and the error object.
#include "foundation/text.h"

#include <cctype>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/error.h"
#include "support/test_support.h"

namespace {

// Decodes and hands back the bytes, or "<null>"; the size must be 0 for NULL.
std::string decode(const char *text, uint32_t *size_out = nullptr)
{
    uint32_t size = 0xDEADBEEF;
    uint8_t *bytes = base64_decode(text, &size);
    if (size_out)
        *size_out = size;
    std::string result = bytes ? std::string(reinterpret_cast<char *>(bytes), size) : size ? "<size?>" : "<null>";
    std::free(bytes);
    return result;
}

// An encoder of the test's own, to check the decoder against.
std::string encode(const std::string &bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t v = 0;
        for (size_t k = 0; k < 3; k++)
            v = v << 8 | (k < n ? uint8_t(bytes[i + k]) : 0);
        for (size_t k = 0; k < 4; k++)
            out.push_back(k <= n ? alphabet[(v >> (18 - 6 * k)) & 63] : '=');
    }
    return out;
}

} // namespace

TEST(Format, PrintfIntoString)
{
    EXPECT_EQ(ZV::format("%d-%s-%.2f", 42, "x", 1.5), "42-x-1.50");
    EXPECT_EQ(ZV::format("%s", ""), "");
    // Past 4 KiB: the second pass must see the same arguments as the first (va_copy).
    const std::string big(5000, 'z');
    EXPECT_EQ(ZV::format("%s|%d|%s", big.c_str(), 7, "end"), big + "|7|end");
    EXPECT_EQ(ZV::format("a%lsb", L"\u00FF"), ""); // the C locale cannot write it: a formatting error
}

// Only LF splits; a lone CR is an ordinary character, a CR right before the LF goes.
TEST(PopLine, SplitsAtLineFeedOnly)
{
    const char *cases[][3] = {{"a\r\nb", "a", "b"}, {"\nrest", "", "rest"}, {"\r\n", "", ""},
                              {"x\ry\r\r\nz\n", "x\ry\r", "z\n"}, {"no line\r", nullptr, nullptr}};
    for (const auto &c : cases) {
        std::string buffer = c[0], line = "old";
        EXPECT_EQ(ZV::popLine(buffer, line), c[1] != nullptr) << c[0];
        EXPECT_EQ(line, c[1] ? c[1] : "old") << c[0]; // no line: both strings unchanged
        EXPECT_EQ(buffer, c[2] ? c[2] : c[0]) << c[0];
    }
}

TEST(Trim, BothEndsInPlace)
{
    for (auto [text, expected] : std::vector<std::pair<std::string, std::string>>{
             {" \t\r\n \n", ""}, {"\t a \t b\r\n", "a \t b"}, {"x", "x"}}) {
        EXPECT_EQ(&ZV::trim(text), &text);
        EXPECT_EQ(text, expected);
    }
}

TEST(HexDigitValue, DigitsOfBothCasesAndNothingElse)
{
    const std::string digits = "0123456789abcdef";
    for (int value = 0; value < 16; ++value) {
        EXPECT_EQ(ZV::hexDigitValue(digits[size_t(value)]), value);
        EXPECT_EQ(ZV::hexDigitValue(char(std::toupper(digits[size_t(value)]))), value);
    }
    for (char c : {'g', 'G', 'x', ' ', '\0', '/', ':', '@', '`', '\xff'})
        EXPECT_EQ(ZV::hexDigitValue(c), -1) << int(c);
}

TEST(ReadTextFile, WholeFileMissingFileAndFolder)
{
    zvtest::TempDir dir;
    std::string content; // more than two 4096-byte chunks, NULs and CRLFs that must come back as they are
    for (int i = 0; i < 10000; i++)
        content.push_back(char(i % 7 == 0 ? 0 : (i % 13 == 0 ? '\r' : 'a' + i % 26)));
    content += "\r\n";
    zvtest::writeFile(dir / "cache.txt", content);
    EXPECT_EQ(ZV::readTextFile(dir / "cache.txt"), content);
    zvtest::writeFile(dir / "empty.txt", "");
    EXPECT_EQ(ZV::readTextFile(dir / "empty.txt"), "");
    EXPECT_EQ(ZV::readTextFile(dir / "missing.txt"), "");
    EXPECT_EQ(ZV::readTextFile(dir.path()), ""); // opening may work, reading fails
}

TEST(Base64, DecodesGroupsPaddingWhiteSpaceAndRejectsBadText)
{
    const char *null = "<null>";
    const std::pair<const char *, std::string> cases[] = {
        {"QUJD", "ABC"}, {"QQ==", "A"}, {"QQ", "A"}, {"+/+/", "\xFB\xFF\xBF"},
        {"QQ==QQ==", "AA"}, // "=" ends a group: skipping it would give 3 bytes
        {"QUI=QUJD", "ABABC"}, {"QU JD", "ABC"}, {" Zm9v\r\nYmFy\t\v\f", "foobar"}, // white space does not
        {"Q", null}, {"Q=", null}, {"Q===QUJD", null}, {"QUJD\x80", null}, {"QU-D", null}, {"", null}};
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(decode(text), expected) << '"' << text << '"';

    uint32_t size = 7;
    EXPECT_EQ(base64_decode(nullptr, &size), nullptr);
    EXPECT_EQ(size, 7u); // untouched
    EXPECT_EQ(base64_decode("QUJD", nullptr), nullptr);
    uint8_t *empty = base64_decode(" = \n==", &size); // no data at all: a real (empty) buffer
    EXPECT_NE(empty, nullptr);
    EXPECT_EQ(size, 0u);
    std::free(empty);
}

TEST(Base64, RandomDataRoundTrips)
{
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; round++) {
        std::string bytes(rng() % 200, '\0');
        for (char &c : bytes)
            c = char(rng());
        std::string text = encode(bytes);
        for (int k = int(rng() % 5); k > 0; k--) // wrap at random columns
            text.insert(rng() % (text.size() + 1), rng() % 2 ? "\n" : "  ");
        uint32_t size = 0;
        EXPECT_EQ(decode(text.c_str(), &size), bytes.empty() && text.empty() ? "<null>" : bytes) << text;
        EXPECT_EQ(size, bytes.size());
    }
}

TEST(ErrorObject, SetError)
{
    std::shared_ptr<ZV::Error> error;
    ZV::setError(&error, "ZV::Zip", -3, "bad entry \xC3\xA9");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain() + " " + std::to_string(error->code()) + " " + error->description().str(),
              "ZV::Zip -3 bad entry \xC3\xA9");
    EXPECT_TRUE(error->userInfo().empty());
    EXPECT_NO_THROW(ZV::setError(nullptr, "ZV::Zip", 1, nullptr)); // null out: nothing to do
    auto kept = error;
    EXPECT_THROW(ZV::setError(&error, "ZV::Zip", 1, nullptr), std::invalid_argument);
    EXPECT_EQ(error, kept);
}
