// Record headers of the FileArch container, shared by its writer and reader
// (the layout is described in file_arch.h).
#pragma once

#include <cstdint>
#include <cstring>

namespace far_internal {

enum RecordType : uint32_t {
    RECORD_NONE = 0,
    RECORD_DNAM = 1,
    RECORD_FNAM = 2,
    RECORD_FDAT = 3,
    RECORD_EOF = 4,
};

constexpr char kMagic[8] = {'F', 'i', 'l', 'e', 'A', 'r', 'c', 'h'};
constexpr uint8_t kVersion = 1;
constexpr char kBlockMagic[4] = {'B', 'l', 'k', '\0'};

inline const char *record_tag(RecordType type)
{
    switch (type) {
    case RECORD_DNAM: return "dnam";
    case RECORD_FNAM: return "fnam";
    case RECORD_FDAT: return "fdat";
    case RECORD_EOF: return "eof ";
    default: return nullptr;
    }
}

// Fills a 32-byte record header.
inline void record_header_encode(uint8_t out[32], RecordType type, uint64_t length)
{
    memset(out, 0, 32);
    memcpy(out, kBlockMagic, 4);
    memcpy(out + 4, record_tag(type), 4);
    for (int i = 0; i < 8; i++)
        out[24 + i] = uint8_t(length >> (56 - 8 * i));
}

// Parses a 32-byte record header: "Blk\0", a known type and a length that is
// not negative as a signed number. RECORD_NONE when it is not a record header
// (the 16 reserved bytes are not checked).
inline RecordType record_header_decode(const uint8_t in[32], uint64_t *length)
{
    if (memcmp(in, kBlockMagic, 4) != 0)
        return RECORD_NONE;
    uint64_t value = 0;
    for (int i = 0; i < 8; i++)
        value = value << 8 | in[24 + i];
    if (value > uint64_t(INT64_MAX))
        return RECORD_NONE;
    *length = value;
    for (RecordType type : {RECORD_DNAM, RECORD_FNAM, RECORD_FDAT, RECORD_EOF})
        if (memcmp(in + 4, record_tag(type), 4) == 0)
            return type;
    return RECORD_NONE;
}

} // namespace far_internal
