// Fuzzes the text conversions of media names and tags, and Base64.
//
// Input: byte 0 = encoding (low 3 bits, 0-7: 0 and 5-7 are out of range for unicode_to_utf8) and
// dstSize (high 5 bits, 0-31: 0 is the "no room" guard); the rest is the text. Checked:
// - unicode_to_utf8 returns the status its arguments call for, writes nothing outside dst (nothing at
//   all when refusing), leaves valid UTF-8 and a NUL within dstSize, and the cut result is a prefix of
//   the uncut one;
// - text_to_utf8 and u8string::from_encoding never throw and give valid UTF-8 without a trailing NUL;
// - UTF-8 -> UTF-16 -> UTF-8 gives valid text for any bytes, and the same text back for valid UTF-8;
// - base64_decode stays inside its buffer and its size bound.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <utf8cpp/utf8.h>

#include "foundation/encoding.h"
#include "foundation/text.h"

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool valid_utf8(const std::string &s) { return utf8::is_valid(s.begin(), s.end()); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 1 << 16)
        return 0;
    const int encoding = data[0] & 7;
    const uint32_t dstSize = data[0] >> 3, n = uint32_t(size - 1);
    const char *text = reinterpret_cast<const char *>(data + 1);

    std::vector<char> buffer(dstSize + 16, '\x5A');
    const int status = unicode_to_utf8(text, n, encoding, buffer.data(), dstSize);
    const bool inRange = encoding >= 1 && encoding <= 4;
    if (dstSize > 0) // dstSize 0 is refused with either code
        check(status == (n == 0 || (inRange && encoding <= 2 && n % 2) ? -1 : inRange ? 0 : -15));
    for (size_t i = status == 0 ? dstSize : 0; i < buffer.size(); i++)
        check(buffer[i] == '\x5A');
    if (status == 0) {
        check(std::memchr(buffer.data(), 0, dstSize) != nullptr);
        const std::string cut(buffer.data());
        check(valid_utf8(cut));
        std::vector<char> large(3 * size_t(n) + 4);
        check(unicode_to_utf8(text, n, encoding, large.data(), uint32_t(large.size())) == 0);
        check(std::string(large.data()).compare(0, cut.size(), cut) == 0);
    } else {
        check(status == -1 || status == -15);
    }

    // Second numbering; -1 (terminated) needs a terminator inside the data:
    // three zero bytes hold a whole zero unit whether n is even or odd.
    std::string terminated(text, n);
    terminated.append(3, '\0');
    for (int enc = -1; enc <= 4; enc++) {
        for (int length : {int(n), -1}) {
            const std::string out = text_to_utf8(terminated.data(), enc, length);
            check(valid_utf8(out) && (out.empty() || out.back() != '\0'));
            const zorvant::u8string s = zorvant::u8string::from_encoding(terminated.data(), enc, length);
            check(valid_utf8(s.str()) && out.empty() == s.empty());
        }
    }

    for (unsigned cp : {CODEPAGE_MAC, CODEPAGE_WINDOWS_1252, CODEPAGE_UTF8}) {
        const std::u16string wide = ZV::multiByteToWide(text, int(n), cp);
        check(cp == CODEPAGE_UTF8 ? wide.size() <= n : wide.size() == n);
        const std::string back = ZV::wideToU8string(wide).str();
        check(valid_utf8(back));
        const std::string original(text, n);
        if (cp == CODEPAGE_UTF8 && valid_utf8(original) && original.find('\0') == std::string::npos)
            check(back == zorvant::u8string(original).str()); // the same text, put in NFC
    }

    // Base64 over the text up to its first NUL.
    const std::string b64(terminated.c_str());
    uint32_t decodedSize = 0;
    uint8_t *decoded = base64_decode(b64.c_str(), &decodedSize);
    if (decoded != nullptr) {
        check(decodedSize <= (b64.size() + 3) / 4 * 3);
        volatile uint8_t sink = 0;
        for (uint32_t i = 0; i < decodedSize; i++)
            sink = sink ^ decoded[i]; // ASan checks every byte is inside the block
        std::free(decoded);
    } else {
        check(decodedSize == 0);
    }
    return 0;
}
