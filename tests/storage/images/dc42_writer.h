// Writes DiskCopy 4.2 images for the tests from the published layout: an
// 84-byte big-endian header (name, data size, tag size, data and tag
// checksums, disk format, format byte, marker 0x0100), the data, the tags.
// It shares no code with the reader: the checksum is computed here by the
// documented rule (per big-endian 16-bit word: add, then rotate right by 1).
//
// Named header offsets let tests poke single fields to make refused images.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "tests/storage/images/byte_order_support.h"

namespace zvtest {

struct DC42Field {
    static constexpr size_t nameLength = 0;   // 1 byte
    static constexpr size_t name = 1;         // 63 bytes
    static constexpr size_t dataSize = 64;    // 4
    static constexpr size_t tagSize = 68;     // 4
    static constexpr size_t dataChecksum = 72;// 4
    static constexpr size_t tagChecksum = 76; // 4
    static constexpr size_t diskFormat = 80;  // 1
    static constexpr size_t formatByte = 81;  // 1
    static constexpr size_t marker = 82;      // 2
    static constexpr size_t headerSize = 84;
};

// The documented checksum over bytes (an even count).
inline uint32_t dc42Checksum(const std::string &bytes)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        sum += uint32_t(uint8_t(bytes[i])) << 8 | uint8_t(bytes[i + 1]);
        sum = sum >> 1 | sum << 31;
    }
    return sum;
}

// A DiskCopy 4.2 image of data (its length becomes the data size) with tags
// after it. Disk format 1 and format byte 0x22 (an 800 KiB disk), as the
// original program wrote them; the reader looks at neither.
inline std::string dc42Image(const std::string &data, const std::string &tags = "",
                             const std::string &name = "zorvant test")
{
    if (name.size() > 63)
        throw std::invalid_argument("dc42Image: name too long");
    std::string image(DC42Field::headerSize, '\0');
    image[DC42Field::nameLength] = char(name.size());
    image.replace(DC42Field::name, name.size(), name);
    putBigEndian(image, DC42Field::dataSize, data.size(), 4);
    putBigEndian(image, DC42Field::tagSize, tags.size(), 4);
    putBigEndian(image, DC42Field::dataChecksum, dc42Checksum(data), 4);
    putBigEndian(image, DC42Field::tagChecksum, dc42Checksum(tags), 4);
    image[DC42Field::diskFormat] = 1;
    image[DC42Field::formatByte] = 0x22;
    putBigEndian(image, DC42Field::marker, 0x0100, 2);
    return image + data + tags;
}

} // namespace zvtest
