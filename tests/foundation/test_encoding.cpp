// Conversions of media text (UTF-16 LE/BE, Mac Roman, Windows-1252) to UTF-8 and between UTF-8 and UTF-16.
#include "foundation/encoding.h"

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <utf8cpp/utf8.h>

#include "foundation/log.h"
#include "support/test_support.h"

namespace {

const std::string kFFFD = "\xEF\xBF\xBD", kEmoji = "\xF0\x9F\x98\x80"; // U+FFFD, U+1F600

std::string bytes_of(std::initializer_list<int> values)
{
    return std::string(values.begin(), values.end());
}

// unicode_to_utf8 into a buffer of dstSize bytes followed by guard bytes: the text, or what went wrong.
std::string convert(const std::string &src, int encoding, uint32_t dstSize = 16)
{
    std::vector<char> buffer(dstSize + 8, '#');
    int status = unicode_to_utf8(src.data(), uint32_t(src.size()), encoding, buffer.data(), dstSize);
    if (std::string(buffer.data() + dstSize, 8) != std::string(8, '#'))
        return "<overrun>";
    if (status != 0)
        return "<" + std::to_string(status) + ">";
    return std::memchr(buffer.data(), 0, dstSize) ? buffer.data() : "<unterminated>";
}

} // namespace

// Empty input, dstSize 0 (would write dst[-1]), NULL dst, encodings outside 1-4: refused, nothing written.
TEST(UnicodeToUtf8, RefusalsWriteNothing)
{
    char dst[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(unicode_to_utf8("A", 0, 4, dst, sizeof dst), -1);
    EXPECT_EQ(unicode_to_utf8("A", 1, 4, dst, 0), -1);
    EXPECT_EQ(unicode_to_utf8("A", 1, 4, nullptr, 4), -1);
    EXPECT_EQ(unicode_to_utf8("AB", 2, 5, dst, sizeof dst), -15);
    EXPECT_EQ(unicode_to_utf8("AB", 2, 0, dst, sizeof dst), -15);
    EXPECT_EQ(std::string(dst, 4), "xxxx");
}

TEST(UnicodeToUtf8, BigEndianAsciiAndGeneralPath)
{
    const std::string fat32 = bytes_of({0, 'F', 0, 'A', 0, 'T', 0, '3', 0, '2'});
    char dst[16];
    ASSERT_EQ(utf16_to_utf8(fat32.data(), 5, dst, sizeof dst, 1), 0); // 5 units, big-endian flag
    EXPECT_STREQ(dst, "FAT32");
    EXPECT_EQ(convert(fat32, 2, 4), "FAT");
    EXPECT_EQ(convert(bytes_of({0x00, 0xE9}), 2), "\xC3\xA9"); // not ASCII: general path
}

// A cut by bytes would leave half a sequence, and the next u8string built from the buffer would throw.
TEST(UnicodeToUtf8, CutNeverSplitsACharacter)
{
    EXPECT_EQ(convert(bytes_of({0xE9, 0x00, 0xE9, 0x00}), 1, 4), "\xC3\xA9"); // "éé" into 4 bytes
    const std::string emoji = bytes_of({'a', 0, 0x3D, 0xD8, 0x00, 0xDE});       // "a" + U+1F600
    for (uint32_t size = 2; size <= 5; size++)
        EXPECT_EQ(convert(emoji, 1, size), "a") << size;
    EXPECT_EQ(convert(emoji, 1, 6), "a" + kEmoji);
    EXPECT_EQ(convert(emoji, 1, 1), "");
}

// Damaged FAT long names carry lone surrogates: U+FFFD as on Windows, never an exception.
TEST(UnicodeToUtf8, LoneSurrogatesBecomeReplacementCharacter)
{
    EXPECT_EQ(convert(bytes_of({0x00, 0xD8, 'A', 0}), 1), kFFFD + "A"); // lead, no trail
    EXPECT_EQ(convert(bytes_of({'A', 0, 0x00, 0xDC}), 1), "A" + kFFFD); // lone trail
    EXPECT_EQ(convert(bytes_of({'A', 0, 0x00, 0xD8}), 1), "A" + kFFFD); // lead as last unit
    EXPECT_EQ(convert(bytes_of({0xD8, 0x00, 0xD8, 0x3D, 0xDE, 0x00}), 2), kFFFD + kEmoji);
}

TEST(UnicodeToUtf8, CodePages)
{
    EXPECT_EQ(convert("\x80", 4), "\xE2\x82\xAC"); // euro sign
    EXPECT_EQ(convert("\x81", 4), "\xC2\x81");     // undefined byte kept as U+0081, as Windows does
    char dst[8];
    ASSERT_EQ(cp1252_to_utf8("\x9F\xE9", 2, dst, sizeof dst), 0);
    EXPECT_STREQ(dst, "\xC5\xB8\xC3\xA9");         // Ÿ é
    EXPECT_EQ(convert("\x8E", 3), "\xC3\xA9");     // Mac Roman é
    EXPECT_EQ(convert("\xDB", 3), "\xE2\x82\xAC"); // Mac Roman euro (current mapping)
    EXPECT_EQ(convert("\xF0", 3), "\xEF\xA3\xBF"); // Apple logo, U+F8FF
}

// A typo in a table shows up as two bytes with one code point, or a byte that maps to ASCII or a surrogate.
TEST(UnicodeToUtf8, CodePageTablesAreOneToOne)
{
    for (unsigned cp : {unsigned(CODEPAGE_MAC_ROMAN), unsigned(CODEPAGE_WINDOWS_1252), 437u}) {
        const char16_t *high = cp == 437 ? cp437_high_table() : codepage_high_table(cp);
        ASSERT_NE(high, nullptr);
        std::set<char16_t> seen(high, high + 128);
        EXPECT_EQ(seen.size(), 128u) << cp;
        EXPECT_GE(*seen.begin(), 0x80) << cp;
        EXPECT_EQ(seen.lower_bound(0xD800), seen.lower_bound(0xE000)) << cp;
    }
    EXPECT_EQ(codepage_high_table(437), nullptr); // short names only, not a text code page
    std::string oem;
    for (uint8_t byte : {0x41, 0x82, 0xB0, 0xE0})
        cp437_append_utf8(byte, oem);
    EXPECT_EQ(oem, "A\xC3\xA9\xE2\x96\x91\xCE\xB1"); // A e-acute light-shade alpha
    // The way back: code points whose code-page bytes C3 A9 happen to be the UTF-8 of é.
    EXPECT_EQ(ZV::wideToU8string(u"\u00C3\u00A9", CODEPAGE_WINDOWS_1252).str(), "\xC3\xA9");
    EXPECT_EQ(ZV::wideToU8string(u"\u221A\u00A9", CODEPAGE_MAC).str(), "\xC3\xA9");
    EXPECT_EQ(ZV::wideToU8string(u"\u4E00", CODEPAGE_WINDOWS_1252).str(), "?"); // not in the code page
    EXPECT_THROW(ZV::wideToU8string(u"\u00E9", CODEPAGE_WINDOWS_1252), utf8::exception); // lone E9 is not UTF-8
}

TEST(UnicodeToUtf8Log, UnevenAndUnconvertibleInputIsLogged)
{
    zvtest::TempDir dir;
    log_open((dir / "ScanEngineLog.txt").c_str());
    char dst[8] = "keep";
    EXPECT_EQ(unicode_to_utf8("abc", 3, 2, dst, sizeof dst), -1);
    EXPECT_STREQ(dst, "keep");
    EXPECT_EQ(unicode_to_utf8("\0\0\0", 4, 1, dst, sizeof dst), 0); // converts to nothing: still success
    EXPECT_STREQ(dst, "");
    log_close();
    const std::string log = zvtest::readFile(dir / "ScanEngineLog.txt");
    EXPECT_NE(log.find("unicode_to_utf8: Uneven number of bytes passed in"), std::string::npos) << log;
    EXPECT_NE(log.find("unicode_to_utf8: Couldn't convert 4 bytes to utf8 from 1"), std::string::npos) << log;
}

TEST(TextToUtf8, LengthsTerminatorsAndEncodings)
{
    const std::string le = bytes_of({'a', 0, 'b', 0, 0, 0, 'c', 0});
    EXPECT_EQ(text_to_utf8(le.data(), TEXT_UTF16LE, -1), "ab"); // up to the zero unit
    EXPECT_EQ(text_to_utf8(le.data(), TEXT_UTF16LE, 8), std::string("ab\0c", 4));
    EXPECT_EQ(text_to_utf8(le.data(), TEXT_UTF16LE, 3), "a");    // odd last byte ignored
    EXPECT_EQ(text_to_utf8(le.data(), TEXT_UTF16LE, 6), "ab");   // trailing NUL removed
    EXPECT_EQ(text_to_utf8(le.data() + 4, TEXT_UTF16LE, 2), ""); // only NUL
    EXPECT_EQ(text_to_utf8("\0a\0", TEXT_UTF16BE, 3), "");       // odd big-endian
    EXPECT_EQ(text_to_utf8("caf\x8E", TEXT_MAC_ROMAN, -1), "caf\xC3\xA9");
    EXPECT_EQ(text_to_utf8("abc", 4, 3), "");
    EXPECT_EQ(text_to_utf8("abc", TEXT_CP1252, -2), "");
}

TEST(FromEncoding, ValidatesAndNormalises)
{
    using zorvant::u8string;
    const std::string decomposed = bytes_of({'e', 0, 0x01, 0x03, 0, 0, 0, 0}); // e + U+0301, two NUL units
    u8string s = u8string::from_encoding(decomposed.data(), TEXT_UTF16LE, 8);
    EXPECT_EQ(s.str(), "\xC3\xA9");
    EXPECT_EQ(s.length(), 1u);
    EXPECT_TRUE(u8string::from_encoding("\0a\0", TEXT_UTF16BE, 3).empty());
    EXPECT_TRUE(u8string::from_encoding("abc", 7, 3).empty());
    const std::string damaged = bytes_of({'x', 0, 0x00, 0xDC}); // lone surrogate: must not throw
    EXPECT_EQ(u8string::from_encoding(damaged.data(), TEXT_UTF16LE, 4).str(), "x" + kFFFD);
}

TEST(WideConversion, Utf8ToUtf16AndBack)
{
    EXPECT_EQ(ZV::utf8ToWide("h\xC3\xA9", -1), std::u16string(u"h\u00E9\0", 3)); // terminator converted
    EXPECT_EQ(ZV::utf8ToWide(std::string("ab")), std::u16string(u"ab\0", 3));
    EXPECT_EQ(ZV::utf8ToWide("abc", 0), u"");
    EXPECT_EQ(ZV::multiByteToWide("abc", 3, 437), u"");
    // Invalid UTF-8: a bad lead byte, a truncated sequence, an encoded surrogate.
    EXPECT_EQ(ZV::utf8ToWide("a\xFF" "b\xE2\x82" "c\xED\xA0\x80", -1), std::u16string(u"a\uFFFDb\uFFFDc\uFFFD\0", 7));
    for (const char *text : {"", "plain", "\xC3\xA9t\xC3\xA9", "\xE4\xB8\x80\xE2\x82\xAC", "\xF0\x9F\x98\x80 emoji",
                             "a\xF4\x8F\xBF\xBFz"}) {
        std::u16string wide = ZV::utf8ToWide(std::string(text));
        EXPECT_EQ(ZV::wideToU8string(wide).str(), text);
        EXPECT_EQ(ZV::wideToU8string(wide.data(), -1, CODEPAGE_UTF8).str(), text);
    }
    EXPECT_EQ(ZV::wideToU8string(u"e\u0301").str(), "\xC3\xA9"); // NFC
    EXPECT_EQ(ZV::wideToU8string(std::u16string(u"a\xD800")).str(), "a" + kFFFD);
    EXPECT_TRUE(ZV::wideToU8string(u"abc", 437).empty());
}
