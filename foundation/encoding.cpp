// Conversions between the encodings of media text and UTF-8 / UTF-16.
//
// Implementation notes:
// - Everything goes through UTF-16, the way the platform converters of the
//   original design did: code-page bytes become UTF-16 units by table
//   (codepages.cpp), UTF-16 becomes UTF-8 by a decoder of our own around
//   utfcpp's encoder. utfcpp's utf16to8 throws on an unpaired surrogate; ours
//   writes U+FFFD instead. Deleted or damaged FAT long-name entries carry such
//   surrogates, and an exception there would end a whole scan.
// - UTF-8 to UTF-16 first replaces every invalid sequence by U+FFFD
//   (utf8::replace_invalid, one mark per maximal bad sequence), then converts
//   the now valid bytes with utf8::utf8to16.
// - Output size is proportional to the input (at most 3 bytes of UTF-8 per
//   input byte or unit), and the input is already in memory, so no further
//   cap is applied here; callers bound what they read from media.
// - glibc's iconv is not used: its CP1252 rejects the five undefined bytes and
//   its results depend on which gconv modules are installed.
#include "foundation/encoding.h"

#include <climits>
#include <cstring>
#include <iterator>

#include <utf8cpp/utf8.h>

#include "foundation/log.h"

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

bool is_lead_surrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_trail_surrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Reads 16-bit unit i of a byte sequence in the given byte order. The bytes
// come from media buffers at any offset, so they are never read as uint16_t.
inline uint32_t unit_at(const uint8_t *bytes, size_t i, bool bigEndian)
{
    const uint8_t *p = bytes + 2 * i;
    return bigEndian ? (uint32_t(p[0]) << 8 | p[1]) : (uint32_t(p[1]) << 8 | p[0]);
}

// Appends the UTF-8 form of count UTF-16 units, read through unit(i), to out.
// A lead surrogate followed by a trail surrogate is one code point; any other
// surrogate becomes U+FFFD. Never throws (other than std::bad_alloc).
template <class UnitReader>
void utf16_append_utf8(size_t count, UnitReader unit, std::string &out)
{
    out.reserve(out.size() + count);
    auto it = std::back_inserter(out);
    for (size_t i = 0; i < count; i++) {
        uint32_t cp = unit(i);
        if (cp < 0x80) {
            out.push_back(char(cp));
            continue;
        }
        if (is_lead_surrogate(cp)) {
            uint32_t next = i + 1 < count ? unit(i + 1) : 0;
            if (is_trail_surrogate(next)) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (next - 0xDC00);
                i++;
            } else {
                cp = kReplacement;
            }
        } else if (is_trail_surrogate(cp)) {
            cp = kReplacement;
        }
        // cp is now a valid scalar value, so the unchecked encoder is safe.
        it = utf8::unchecked::append(cp, it);
    }
}

void strip_trailing_nuls(std::string &s)
{
    size_t n = s.size();
    while (n > 0 && s[n - 1] == '\0')
        n--;
    s.resize(n);
}

// Single-byte code page -> UTF-16 through the table for bytes 0x80-0xFF.
std::u16string codepage_to_utf16(const uint8_t *bytes, size_t n, const char16_t *high)
{
    std::u16string out;
    out.resize(n);
    for (size_t i = 0; i < n; i++)
        out[i] = bytes[i] < 0x80 ? char16_t(bytes[i]) : high[bytes[i] - 0x80];
    return out;
}

// UTF-8 -> UTF-16; invalid sequences become U+FFFD.
std::u16string utf8_to_utf16(const char *text, size_t n)
{
    std::u16string out;
    const char *end = text + n;
    if (utf8::find_invalid(text, end) == end) {
        utf8::utf8to16(text, end, std::back_inserter(out));
        return out;
    }
    std::string repaired;
    repaired.reserve(n + 8);
    utf8::replace_invalid(text, end, std::back_inserter(repaired), kReplacement);
    utf8::utf8to16(repaired.begin(), repaired.end(), std::back_inserter(out));
    return out;
}

// The common core of text_to_utf8 and unicode_to_utf8, free of the int
// length limit of the public interface. encoding: second numbering.
std::string convert_to_utf8(const uint8_t *bytes, size_t n, int encoding)
{
    std::string out;
    switch (encoding) {
    case TEXT_UTF16LE:
        utf16_append_utf8(n / 2, [bytes](size_t i) { return unit_at(bytes, i, false); }, out);
        break;
    case TEXT_UTF16BE:
        if (n % 2 != 0)
            return out;
        utf16_append_utf8(n / 2, [bytes](size_t i) { return unit_at(bytes, i, true); }, out);
        break;
    case TEXT_MAC_ROMAN:
    case TEXT_CP1252: {
        const char16_t *high = codepage_high_table(encoding == TEXT_MAC_ROMAN ? CODEPAGE_MAC : CODEPAGE_WINDOWS_1252);
        std::u16string wide = codepage_to_utf16(bytes, n, high);
        utf16_append_utf8(wide.size(), [&wide](size_t i) { return uint32_t(wide[i]); }, out);
        break;
    }
    default:
        return out;
    }
    strip_trailing_nuls(out);
    return out;
}

// Length of text up to its terminator: a zero unit for UTF-16, else a zero byte.
size_t terminated_length(const uint8_t *bytes, int encoding)
{
    if (encoding != TEXT_UTF16LE && encoding != TEXT_UTF16BE)
        return std::strlen(reinterpret_cast<const char *>(bytes));
    size_t n = 0;
    while (bytes[n] != 0 || bytes[n + 1] != 0)
        n += 2;
    return n;
}

// Code-page bytes of UTF-16 text for the single-byte code pages: each code
// point that the table holds gives its byte, any other gives '?', the way the
// platform substitutes its default character.
std::string utf16_to_codepage(const char16_t *text, size_t n, const char16_t *high)
{
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; i++) {
        char16_t u = text[i];
        if (u < 0x80) {
            out.push_back(char(u));
            continue;
        }
        if (is_lead_surrogate(u) && i + 1 < n && is_trail_surrogate(text[i + 1]))
            i++; // one code point outside the BMP: one substitute
        char byte = '?';
        for (int k = 0; k < 128; k++) {
            if (high[k] == u) {
                byte = char(0x80 + k);
                break;
            }
        }
        out.push_back(byte);
    }
    return out;
}

} // namespace

std::string text_to_utf8(const void *text, int encoding, int byteLength)
{
    if (text == nullptr || byteLength < -1 || encoding < TEXT_UTF16LE || encoding > TEXT_CP1252)
        return std::string();
    const auto *bytes = static_cast<const uint8_t *>(text);
    size_t n = byteLength == -1 ? terminated_length(bytes, encoding) : size_t(byteLength);
    return convert_to_utf8(bytes, n, encoding);
}

int unicode_to_utf8(const void *src, uint32_t byteCount, int encoding, char *dst, uint32_t dstSize)
{
    if (byteCount == 0 || src == nullptr)
        return -1;
    // A documented precondition (dstSize >= 1); checked because the cut
    // below would otherwise write dst[-1].
    if (dst == nullptr || dstSize == 0)
        return -1;
    if ((encoding == 1 || encoding == 2) && byteCount % 2 != 0) {
        log_error("%s: Uneven number of bytes passed in", "unicode_to_utf8");
        return -1;
    }
    const auto *bytes = static_cast<const uint8_t *>(src);
    if (encoding == 2) {
        // Big-endian text that is all ASCII (first byte of every unit 0,
        // second at most 0x7F) is copied byte by byte, at most dstSize - 1.
        bool ascii = true;
        for (uint32_t i = 0; i < byteCount && ascii; i += 2)
            ascii = bytes[i] == 0 && bytes[i + 1] <= 0x7F;
        if (ascii) {
            uint32_t units = byteCount / 2;
            uint32_t n = units < dstSize - 1 ? units : dstSize - 1;
            for (uint32_t i = 0; i < n; i++)
                dst[i] = char(bytes[2 * i + 1]);
            dst[n] = '\0';
            return 0;
        }
    }
    if (encoding < 1 || encoding > 4)
        return -15;

    std::string text = convert_to_utf8(bytes, byteCount, encoding - 1);
    if (text.empty())
        log_error("%s: Couldn't convert %u bytes to utf8 from %d", "unicode_to_utf8", byteCount, encoding);

    // Cut to dstSize - 1 bytes, but never inside a multi-byte sequence: a
    // half character would make the buffer invalid UTF-8, and the next
    // u8string built from it would throw. When byte n is a continuation
    // byte (10xxxxxx), step back to the lead byte of its sequence.
    size_t n = text.size();
    if (n > dstSize - 1) {
        n = dstSize - 1;
        while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80)
            n--;
    }
    std::memcpy(dst, text.data(), n);
    dst[n] = '\0';
    dst[dstSize - 1] = '\0';
    return 0;
}

int cp1252_to_utf8(const void *src, uint32_t byteCount, char *dst, uint32_t dstSize)
{
    return unicode_to_utf8(src, byteCount, 4, dst, dstSize);
}

int utf16_to_utf8(const void *units, uint32_t unitCount, char *dst, uint32_t dstSize, int bigEndian)
{
    // More than 2^31 units would overflow the byte count; no name is that long.
    if (unitCount > UINT32_MAX / 2)
        return -1;
    return unicode_to_utf8(units, unitCount * 2, bigEndian ? 2 : 1, dst, dstSize);
}

zorvant::u8string zorvant::u8string::from_encoding(const void *bytes, int encoding, int length)
{
    if (encoding < TEXT_UTF16LE || encoding > TEXT_CP1252)
        return u8string();
    return u8string(text_to_utf8(bytes, encoding, length));
}

namespace ZV {

std::u16string multiByteToWide(const char *text, int length, unsigned codePage)
{
    if (text == nullptr || length == 0 || length < -1)
        return std::u16string();
    size_t n = length == -1 ? std::strlen(text) + 1 : size_t(length);
    if (codePage == CODEPAGE_UTF8)
        return utf8_to_utf16(text, n);
    const char16_t *high = codepage_high_table(codePage);
    if (high == nullptr)
        return std::u16string();
    return codepage_to_utf16(reinterpret_cast<const uint8_t *>(text), n, high);
}

std::u16string utf8ToWide(const char *text, int length)
{
    return multiByteToWide(text, length, CODEPAGE_UTF8);
}

std::u16string utf8ToWide(const std::string &text)
{
    return multiByteToWide(text.c_str(), -1, CODEPAGE_UTF8);
}

zorvant::u8string wideToU8string(const char16_t *text, int count, unsigned codePage)
{
    if (text == nullptr || count == 0 || count < -1)
        return zorvant::u8string();
    size_t n = 0;
    if (count == -1) {
        while (text[n] != 0)
            n++;
        n++; // the terminator is converted too, then removed below
    } else {
        n = size_t(count);
    }
    std::string bytes;
    if (codePage == CODEPAGE_UTF8) {
        utf16_append_utf8(n, [text](size_t i) { return uint32_t(text[i]); }, bytes);
    } else {
        const char16_t *high = codepage_high_table(codePage);
        if (high == nullptr)
            return zorvant::u8string();
        bytes = utf16_to_codepage(text, n, high);
    }
    strip_trailing_nuls(bytes);
    return zorvant::u8string(bytes);
}

zorvant::u8string wideToU8string(const std::u16string &text, unsigned codePage)
{
    if (text.size() > size_t(INT_MAX))
        return zorvant::u8string();
    return wideToU8string(text.data(), int(text.size()), codePage);
}

} // namespace ZV
