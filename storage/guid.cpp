#include "storage/guid.h"

#include <stdexcept>

#include "foundation/sysutil.h"
#include "foundation/text.h"

namespace ZV {

namespace {

// Position in the 16 on-disk bytes of each of the 16 bytes of the text form,
// read left to right: the three leading fields are stored byte-reversed.
constexpr int kTextOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

} // namespace

Guid::Guid(const std::vector<uint8_t> &bytes) : Guid(bytes.data(), bytes.size()) {}

Guid::Guid(const uint8_t *bytes, size_t size) : bytes_{}
{
    if (bytes == nullptr || size != bytes_.size())
        throw std::invalid_argument("invalid Guid array size");
    for (size_t i = 0; i < size; ++i)
        bytes_[i] = bytes[i];
}

Guid Guid::random()
{
    Guid guid;
    random_bytes(guid.bytes_.data(), guid.bytes_.size());
    // The third field (bytes 6-7) is little-endian: its high byte, with the
    // version in its top nibble, is byte 7. Byte 8 begins the big-endian
    // tail and carries the variant.
    guid.bytes_[7] = uint8_t((guid.bytes_[7] & 0x0F) | 0x40);
    guid.bytes_[8] = uint8_t((guid.bytes_[8] & 0x3F) | 0x80);
    return guid;
}

bool Guid::parse(const std::string &text, Guid *out)
{
    if (text.size() != 36 || out == nullptr)
        return false;
    Bytes bytes{};
    size_t at = 0;
    for (int i = 0; i < 16; ++i) {
        if (at == 8 || at == 13 || at == 18 || at == 23) {
            if (text[at] != '-')
                return false;
            ++at;
        }
        const int high = hexDigitValue(text[at]);
        const int low = hexDigitValue(text[at + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[kTextOrder[i]] = uint8_t(high << 4 | low);
        at += 2;
    }
    *out = Guid(bytes);
    return true;
}

std::string Guid::toString() const
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        const uint8_t byte = bytes_[kTextOrder[i]];
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

bool Guid::isNull() const
{
    for (uint8_t byte : bytes_)
        if (byte != 0)
            return false;
    return true;
}

} // namespace ZV
