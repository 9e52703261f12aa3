// DiskCopy 4.2 header and checksum (layout in dc42_format.h).
#include "storage/images/dc42_format.h"

#include "foundation/sysutil.h"

namespace ZV {

namespace {

template <size_t N>
bool isOneOf(uint32_t value, const uint32_t (&accepted)[N])
{
    for (uint32_t a : accepted)
        if (value == a)
            return true;
    return false;
}

} // namespace

bool dc42_header_parse(const uint8_t *data, size_t size, DC42Header *header)
{
    if (data == nullptr || size < kDC42HeaderSize)
        return false;
    DC42Header safe;
    safe.dataSize = get_be32(data + 64);
    safe.tagSize = get_be32(data + 68);
    safe.dataChecksum = get_be32(data + 72);
    if (data[0] > kDC42MaxNameLength || get_be16(data + 82) != kDC42Marker)
        return false;
    if (safe.dataSize == 0 || safe.dataChecksum == 0)
        return false;
    if (!isOneOf(safe.tagSize, kDC42TagSizes) || !isOneOf(safe.dataSize, kDC42DataSizes))
        return false;
    *header = safe;
    return true;
}

uint32_t dc42_checksum_update(uint32_t sum, const uint8_t *data, size_t size)
{
    for (size_t i = 0; i + 1 < size; i += 2) {
        sum += get_be16(data + i);
        sum = sum >> 1 | sum << 31;
    }
    return sum;
}

} // namespace ZV
