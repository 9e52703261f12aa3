// The multi-picture index of a JPEG file: the image list of its APP2
// "MPF\0" segment (layout in jpeg.h).
//
// Implementation notes
// - Only the first IFD is read, and of it only the MP Entry tag (0xB002);
//   the version and image-count tags add nothing the entry list does not
//   say. The entry list must lie inside the segment, as the format asks:
//   the measure never reads the medium for the index beyond its segment.
// - Every field that leads somewhere is checked in subtraction form against
//   the bytes there are before it is followed; an index that fails any
//   check is not used at all (the file is then measured as its first image
//   alone), rather than used in part.
#include <cstring>

#include "foundation/sysutil.h"
#include "modules/jpeg.h"

namespace {

constexpr uint16_t kMpEntryTag = 0xB002;
constexpr size_t kTiffHeaderSize = 8;
constexpr size_t kIfdEntrySize = 12;
constexpr size_t kImageEntrySize = 16;

// The index's integers in its byte order.
struct tiff_reader {
    const uint8_t *bytes; // from the byte-order mark on
    bool big_endian;
    uint16_t u16(size_t at) const { return big_endian ? get_be16(bytes + at) : get_le16(bytes + at); }
    uint32_t u32(size_t at) const { return big_endian ? get_be32(bytes + at) : get_le32(bytes + at); }
};

} // namespace

int jpeg_mpf_parse(const uint8_t *body, size_t size, jpeg_mpf_image *images, int capacity)
{
    if (body == nullptr || size < 4 + kTiffHeaderSize || std::memcmp(body, "MPF\0", 4) != 0)
        return -1;
    const size_t n = size - 4; // bytes from the byte-order mark on
    tiff_reader tiff{body + 4, false};
    if (tiff.bytes[0] == 'M' && tiff.bytes[1] == 'M')
        tiff.big_endian = true;
    else if (tiff.bytes[0] != 'I' || tiff.bytes[1] != 'I')
        return -1;
    if (tiff.u16(2) != 42)
        return -1;
    const uint32_t ifd = tiff.u32(4);
    if (ifd > n || n - ifd < 2)
        return -1;
    const size_t count = tiff.u16(ifd);
    if (count > (n - ifd - 2) / kIfdEntrySize)
        return -1;
    for (size_t i = 0; i < count; i++) {
        const size_t entry = ifd + 2 + i * kIfdEntrySize;
        if (tiff.u16(entry) != kMpEntryTag)
            continue;
        const uint32_t bytes = tiff.u32(entry + 4);
        const uint32_t at = tiff.u32(entry + 8);
        if (bytes == 0 || bytes % kImageEntrySize != 0 || at > n || n - at < bytes)
            return -1;
        const uint32_t listed = bytes / kImageEntrySize;
        if (images == nullptr || capacity < 0 || listed > (uint32_t)capacity)
            return -1;
        for (uint32_t k = 0; k < listed; k++) {
            const size_t image = at + k * kImageEntrySize;
            images[k].attributes = tiff.u32(image);
            images[k].size = tiff.u32(image + 4);
            images[k].offset = tiff.u32(image + 8);
        }
        return (int)listed;
    }
    return -1;
}
