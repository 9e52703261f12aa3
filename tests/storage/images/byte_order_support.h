// Stores of big- and little-endian fields into the bytes of an image, for
// the test writers and the tests that damage what they wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace zvtest {

// Stores value big-endian in count bytes at offset of bytes; throws
// std::out_of_range when the field does not fit.
inline void putBigEndian(std::string &bytes, size_t offset, uint64_t value, int count)
{
    if (offset > bytes.size() || size_t(count) > bytes.size() - offset)
        throw std::out_of_range("putBigEndian past the end");
    for (int i = count - 1; i >= 0; --i, value >>= 8)
        bytes[offset + size_t(i)] = char(uint8_t(value));
}

// The same, little-endian.
inline void putLittleEndian(std::string &bytes, size_t offset, uint64_t value, int count)
{
    if (offset > bytes.size() || size_t(count) > bytes.size() - offset)
        throw std::out_of_range("putLittleEndian past the end");
    for (int i = 0; i < count; ++i, value >>= 8)
        bytes[offset + size_t(i)] = char(uint8_t(value));
}

} // namespace zvtest
