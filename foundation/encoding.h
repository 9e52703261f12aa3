// Text encodings found on media and their conversion to UTF-8, the engine's
// only internal text encoding, and to UTF-16 for wide-text interfaces.
//
// Two numberings of the same four encodings are in use; do not mix them:
//
//   encoding                   unicode_to_utf8   text_to_utf8, u8string::from_encoding
//   UTF-16 little-endian              1                  0  (FAT long names)
//   UTF-16 big-endian                 2                  1  (tags inside media files)
//   Macintosh code page (Mac Roman)   3                  2
//   Windows code page 1252            4                  3
//
// Damaged input never stops a conversion: an unpaired UTF-16 surrogate and an
// invalid UTF-8 sequence each become U+FFFD, and every code-page byte maps to
// some code point. Only the string type (u8string) throws, and only for bytes
// that are not UTF-8, which these converters never produce for code page 65001.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/u8string.h"

// Second numbering (text_to_utf8, zorvant::u8string::from_encoding).
enum : int {
    TEXT_UTF16LE = 0,
    TEXT_UTF16BE = 1,
    TEXT_MAC_ROMAN = 2,
    TEXT_CP1252 = 3,
};

// Code pages understood by ZV::multiByteToWide and ZV::wideToU8string.
enum : unsigned {
    CODEPAGE_MAC = 2,          // "the current Macintosh code page": fixed to Mac Roman
    CODEPAGE_WINDOWS_1252 = 1252,
    CODEPAGE_MAC_ROMAN = 10000,
    CODEPAGE_UTF8 = 65001,
};

// Converts byteCount bytes of src (first numbering, 1-4) into NUL-terminated
// UTF-8 in dst. Returns 0 on success, -1 for no input (byteCount 0, NULL src),
// no room (NULL dst, dstSize 0) or an odd byte count in a UTF-16 encoding
// (logged), -15 for an encoding outside 1-4. With -1 and -15 dst is not
// written. Text longer than dstSize - 1 bytes is cut before the last code
// point that does not fit whole, so dst always holds valid UTF-8. Text that
// converts to nothing is logged and is still success (dst = ""). Never throws.
int unicode_to_utf8(const void *src, uint32_t byteCount, int encoding, char *dst, uint32_t dstSize);

// unicode_to_utf8 with encoding 4 (Windows-1252).
int cp1252_to_utf8(const void *src, uint32_t byteCount, char *dst, uint32_t dstSize);

// unicode_to_utf8 over unitCount 16-bit units stored as bytes in the given
// order (bigEndian non-zero: encoding 2, else 1). units need no alignment.
int utf16_to_utf8(const void *units, uint32_t unitCount, char *dst, uint32_t dstSize, int bigEndian);

// UTF-8 form of byteLength bytes of text (second numbering, 0-3). byteLength
// -1 means up to the terminator: the first zero byte for the code pages, the
// first zero 16-bit unit for UTF-16. Trailing NULs are removed; NULs inside the
// text stay. UTF-16LE ignores an odd last byte; UTF-16BE with an odd length,
// another encoding, a NULL text or a length below -1 give "". Never throws.
std::string text_to_utf8(const void *text, int encoding, int byteLength);

// The UTF-16 values of bytes 0x80-0xFF of a single-byte code page (2 and 10000
// Mac Roman, 1252 Windows-1252), or NULL for any other code page.
const char16_t *codepage_high_table(unsigned codePage);

// The UTF-16 values of bytes 0x80-0xFF of code page 437, the OEM code page of
// FAT short names. Only the FAT reader decodes it, byte by byte, so the text
// converters above do not take it as a code page.
const char16_t *cp437_high_table();

// Appends the UTF-8 form (1 to 3 bytes) of one code page 437 byte to out.
void cp437_append_utf8(uint8_t byte, std::string &out);

namespace ZV {

// Code-page text (2/10000 Mac Roman, 1252, 65001 UTF-8) as UTF-16. length -1
// means NUL-terminated, and the terminator is converted too (the result ends
// with one NUL unit). Length 0, a NULL text or an unknown code page give an
// empty result. Invalid UTF-8 sequences become U+FFFD.
std::u16string multiByteToWide(const char *text, int length, unsigned codePage);
std::u16string utf8ToWide(const char *text, int length);
// Passes the string's characters with length -1, so the result ends with one NUL unit.
std::u16string utf8ToWide(const std::string &text);

// UTF-16 text converted to bytes of the code page (65001 for all engine uses;
// 2/10000 and 1252 substitute "?" for what they cannot hold), trailing NUL
// bytes removed, then assigned to a u8string (validated; NFC when it carries
// combining marks). count -1 means up to and including a zero unit. Unpaired
// surrogates become U+FFFD. An unknown code page gives an empty string. Throws
// the string type's exceptions for bytes that are not UTF-8 (only possible
// with the single-byte code pages).
// (No default code page here: with one, wideToU8string(u"x", 1252) would read 1252 as a count.)
zorvant::u8string wideToU8string(const char16_t *text, int count, unsigned codePage);
zorvant::u8string wideToU8string(const std::u16string &text, unsigned codePage = CODEPAGE_UTF8);

} // namespace ZV
