// DiskCopy 4.2 on-disk layout: the 84-byte header and the data checksum.
//
// Header (big-endian numbers):
//
//   offset  size  field                      accepted
//        0     1  image name length          at most 63
//        1    63  image name (length-prefixed, not read)
//       64     4  data size in bytes         409600, 819200, 737280 or 1474560
//       68     4  tag size in bytes          0, 9600 or 19200
//       72     4  data checksum              not 0
//       76     4  tag checksum               not read
//       80     1  disk format                not read
//       81     1  format byte                not read
//       82     2  marker                     0x0100
//
// The data follows the header: sector n occupies bytes 84 + n x 512 to
// 84 + n x 512 + 511. The tag bytes follow the data and are not read.
//
// Data checksum: a 32-bit sum over the data taken as big-endian 16-bit
// words; after adding each word the sum is rotated right by one bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ZV {

constexpr uint32_t kDC42HeaderSize = 84;
constexpr uint32_t kDC42SectorSize = 512;
constexpr uint32_t kDC42MaxNameLength = 63;
constexpr uint16_t kDC42Marker = 0x0100;
// The four floppy sizes a DiskCopy 4.2 image holds (400, 800, 720 and 1440 KiB).
constexpr uint32_t kDC42DataSizes[] = {409600, 819200, 737280, 1474560};
// The tag sizes: none, 12 bytes per sector of a 400 KiB or an 800 KiB disk.
constexpr uint32_t kDC42TagSizes[] = {0, 9600, 19200};

// The header fields the reader uses.
struct DC42Header {
    uint32_t dataSize = 0;      // bytes of sector data after the header
    uint32_t tagSize = 0;       // bytes of tags after the data
    uint32_t dataChecksum = 0;  // stored checksum of the data
};

// Parses and checks the header (size bytes at data). False, with *header
// untouched, when fewer than kDC42HeaderSize bytes are given or a field is
// not accepted (see the table above).
bool dc42_header_parse(const uint8_t *data, size_t size, DC42Header *header);

// The data checksum carried on over size bytes (an even count: a trailing
// odd byte is ignored), starting from sum.
uint32_t dc42_checksum_update(uint32_t sum, const uint8_t *data, size_t size);

} // namespace ZV
