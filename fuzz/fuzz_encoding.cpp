// Fuzzes the text conversions of media names and tags, and Base64.
//
// Input: byte 0 picks the encoding (low 3 bits: 0-7, so 0 and 5-7 are out of
// range for unicode_to_utf8) and the destination size (high 5 bits: 0-31,
// where 0 checks the "no room" guard); the rest is the text. Checked:
// - unicode_to_utf8 writes nothing outside dst, leaves a NUL within dstSize
//   and valid UTF-8 before it, and with a large buffer gives a prefix-free
//   superset of the small-buffer result;
// - text_to_utf8 and u8string::from_encoding give valid UTF-8 without a
//   trailing NUL and never throw;
// - UTF-8 -> UTF-16 -> UTF-8 gives valid text for any bytes, and gives the
//   same text back for valid UTF-8;
// - base64_decode never writes past its buffer and stays within its size bound.
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

void fuzz_c_buffer(const uint8_t *text, size_t n, int encoding, uint32_t dstSize)
{
    constexpr size_t kGuard = 16;
    std::vector<char> buffer(dstSize + kGuard, '\x5A');
    int status = unicode_to_utf8(text, uint32_t(n), encoding, buffer.data(), dstSize);
    for (size_t i = dstSize; i < buffer.size(); i++)
        check(buffer[i] == '\x5A');
    if (status != 0) {
        check(status == -1 || status == -15);
        for (char c : buffer)
            check(c == '\x5A'); // refusals write nothing
        return;
    }
    check(dstSize > 0 && n > 0 && encoding >= 1 && encoding <= 4);
    const void *nul = std::memchr(buffer.data(), 0, dstSize);
    check(nul != nullptr);
    std::string small(buffer.data());
    check(valid_utf8(small));

    // The cut result is a prefix of the uncut one.
    std::vector<char> large(3 * n + 4);
    check(unicode_to_utf8(text, uint32_t(n), encoding, large.data(), uint32_t(large.size())) == 0);
    check(std::string(large.data()).compare(0, small.size(), small) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 1 << 16)
        return 0;
    const int encoding = data[0] & 7;
    const uint32_t dstSize = data[0] >> 3;
    const uint8_t *text = data + 1;
    const size_t n = size - 1;

    fuzz_c_buffer(text, n, encoding, dstSize);

    // Second numbering; -1 (terminated) needs a terminator inside the data:
    // three zero bytes hold a whole zero unit whether n is even or odd.
    std::string terminated(reinterpret_cast<const char *>(text), n);
    terminated.append(3, '\0');
    for (int enc = -1; enc <= 4; enc++) {
        for (int length : {int(n), -1}) {
            std::string out = text_to_utf8(terminated.data(), enc, length);
            check(valid_utf8(out));
            check(out.empty() || out.back() != '\0');
            zorvant::u8string s = zorvant::u8string::from_encoding(terminated.data(), enc, length);
            check(valid_utf8(s.str()));
            check(out.empty() == s.empty());
        }
    }

    // UTF-8 -> UTF-16 -> UTF-8.
    const char *chars = reinterpret_cast<const char *>(text);
    for (unsigned cp : {CODEPAGE_MAC, CODEPAGE_WINDOWS_1252, CODEPAGE_UTF8}) {
        std::u16string wide = ZV::multiByteToWide(chars, int(n), cp);
        check(cp == CODEPAGE_UTF8 ? wide.size() <= n : wide.size() == n);
        zorvant::u8string back = ZV::wideToU8string(wide);
        check(valid_utf8(back.str()));
        if (cp == CODEPAGE_UTF8 && valid_utf8(std::string(chars, n)) && std::memchr(chars, 0, n) == nullptr)
            check(back.str() == zorvant::u8string(std::string(chars, n)).str());
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
