// Small text helpers (formatting, lines, trimming, whole files, Base64) and
// the error object.
#include "foundation/text.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "foundation/error.h"

namespace {

// Decodes and hands back the bytes, or "<null>".
std::string decode(const char *text, uint32_t *size_out = nullptr)
{
    uint32_t size = 0xDEADBEEF;
    uint8_t *bytes = base64_decode(text, &size);
    if (size_out)
        *size_out = size;
    if (bytes == nullptr)
        return "<null>";
    std::string result(reinterpret_cast<char *>(bytes), size);
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
    // Past 4 KiB: the second pass must see the same arguments as the first.
    const std::string big(5000, 'z');
    const std::string out = ZV::format("%s|%d|%s", big.c_str(), 7, "end");
    EXPECT_EQ(out, big + "|7|end");
    // A wide character the C locale cannot write is a formatting error.
    EXPECT_EQ(ZV::format("a%lsb", L"\u00FF"), "");
}

TEST(PopLine, SplitsAtLineFeedOnly)
{
    struct Case {
        const char *buffer, *line, *rest;
    };
    // a lone CR is an ordinary character; only a CR right before the LF goes
    for (Case c : {Case{"a\r\nb", "a", "b"}, Case{"\nrest", "", "rest"}, Case{"\r\n", "", ""},
                   Case{"x\ry\r\r\nz\n", "x\ry\r", "z\n"}}) {
        std::string buffer = c.buffer, line = "old";
        EXPECT_TRUE(ZV::popLine(buffer, line));
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(buffer, c.rest);
    }
    std::string buffer = "no line\r", line = "old";
    EXPECT_FALSE(ZV::popLine(buffer, line));
    EXPECT_EQ(line, "old");
    EXPECT_EQ(buffer, "no line\r");
}

TEST(Trim, BothEndsInPlace)
{
    std::string s = " \t\r\n \n";
    EXPECT_EQ(&ZV::trim(s), &s);
    EXPECT_EQ(s, "");
    s = "\t a \t b\r\n";
    EXPECT_EQ(ZV::trim(s), "a \t b");
    s = "x";
    EXPECT_EQ(ZV::trim(s), "x");
}

TEST(ReadTextFile, WholeFileMissingFileAndFolder)
{
    auto dir = std::filesystem::temp_directory_path() / ("zv_text_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(std::filesystem::create_directories(dir));

    // More than two chunks, with NULs and CRLFs that must come back as they are.
    std::string content;
    for (int i = 0; i < 10000; i++)
        content.push_back(char(i % 7 == 0 ? 0 : (i % 13 == 0 ? '\r' : 'a' + i % 26)));
    content += "\r\n";
    const auto file = dir / "cache.txt";
    std::ofstream(file, std::ios::binary) << content;
    EXPECT_EQ(ZV::readTextFile(file.string()), content);

    std::ofstream(dir / "empty.txt", std::ios::binary).flush();
    EXPECT_EQ(ZV::readTextFile((dir / "empty.txt").string()), "");
    EXPECT_EQ(ZV::readTextFile((dir / "missing.txt").string()), "");
    EXPECT_EQ(ZV::readTextFile(dir.string()), ""); // opening may work, reading fails
    std::filesystem::remove_all(dir);
}

TEST(Base64, DecodesGroupsPaddingAndWhiteSpace)
{
    EXPECT_EQ(decode("QUJD"), "ABC");
    EXPECT_EQ(decode("QQ=="), "A");
    EXPECT_EQ(decode("QQ"), "A");
    EXPECT_EQ(decode("QQ==QQ=="), "AA"); // "=" ends a group; skipping it would give 3 bytes
    EXPECT_EQ(decode("QUI=QUJD"), "ABABC");
    EXPECT_EQ(decode("QU JD"), "ABC"); // white space inside a group
    EXPECT_EQ(decode(" Zm9v\r\nYmFy\t\v\f"), "foobar");
    EXPECT_EQ(decode("+/+/"), "\xFB\xFF\xBF");
}

TEST(Base64, RejectsBadText)
{
    uint32_t size = 0;
    EXPECT_EQ(decode("Q"), "<null>");
    EXPECT_EQ(decode("Q="), "<null>");
    EXPECT_EQ(decode("Q===QUJD"), "<null>");
    EXPECT_EQ(decode("QUJD\x80"), "<null>");
    EXPECT_EQ(decode("QU-D"), "<null>");
    EXPECT_EQ(decode("", &size), "<null>");
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(base64_decode(nullptr, &size), nullptr);
    EXPECT_EQ(base64_decode("QUJD", nullptr), nullptr);
    // No data at all is not an error: a real (empty) buffer.
    uint8_t *empty = base64_decode(" = \n==", &size);
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
    EXPECT_EQ(error->domain(), "ZV::Zip");
    EXPECT_EQ(error->code(), -3);
    EXPECT_EQ(error->description().str(), "bad entry \xC3\xA9");
    EXPECT_TRUE(error->userInfo().empty());

    EXPECT_NO_THROW(ZV::setError(nullptr, "ZV::Zip", 1, nullptr));
    auto kept = error;
    EXPECT_THROW(ZV::setError(&error, "ZV::Zip", 1, nullptr), std::invalid_argument);
    EXPECT_EQ(error, kept);
}
