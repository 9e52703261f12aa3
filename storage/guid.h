// ZV::Guid: the 16-byte identifier of GUID partition tables.
//
// The bytes are kept exactly as a GPT stores them: the first three fields
// little-endian (4, 2 and 2 bytes), then 8 bytes in order. The text form
// C12A7328-F81F-11D2-BA4B-00A0C93EC93B is therefore stored as
//   28 73 2A C1  1F F8  D2 11  BA 4B 00 A0 C9 3E C9 3B.
// Two GUIDs are equal when their 16 bytes are. The zero GUID means "none".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ZV {

class Guid {
public:
    using Bytes = std::array<uint8_t, 16>;

    // The zero GUID.
    constexpr Guid() : bytes_{} {}
    // From 16 bytes in on-disk order.
    constexpr explicit Guid(const Bytes &bytes) : bytes_(bytes) {}
    // From a byte array in on-disk order; any size other than 16 throws
    // std::invalid_argument "invalid Guid array size".
    explicit Guid(const std::vector<uint8_t> &bytes);
    Guid(const uint8_t *bytes, size_t size);

    // A new random GUID (version 4): 122 bits from the system's random
    // source, the version nibble 4 in the high half of byte 7 and the variant
    // bits 10 at the top of byte 8, which is where the on-disk order puts
    // them (so the text form reads xxxxxxxx-xxxx-4xxx-[89ab]xxx-...).
    static Guid random();

    // Parses the text form (36 characters, hex digits in either case, dashes
    // at 8, 13, 18 and 23) into on-disk order. False, with *out unchanged,
    // for anything else.
    static bool parse(const std::string &text, Guid *out);
    // The text form in upper case.
    std::string toString() const;

    bool isNull() const;
    const Bytes &bytes() const { return bytes_; }
    const uint8_t *data() const { return bytes_.data(); }

    bool operator==(const Guid &other) const { return bytes_ == other.bytes_; }
    bool operator!=(const Guid &other) const { return bytes_ != other.bytes_; }

    // Partition types (on-disk order).
    static const Guid ESP;       // EFI system partition C12A7328-F81F-11D2-BA4B-00A0C93EC93B
    static const Guid HFSPlus;   // Apple HFS+ 48465300-0000-11AA-AA11-00306543ECAC
    static const Guid AppleBoot; // Apple boot 426F6F74-0000-11AA-AA11-00306543ECAC
    static const Guid Null;      // the zero GUID

private:
    Bytes bytes_;
};

inline constexpr Guid Guid::ESP{Guid::Bytes{0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                            0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}};
inline constexpr Guid Guid::HFSPlus{Guid::Bytes{0x00, 0x53, 0x46, 0x48, 0x00, 0x00, 0xAA, 0x11,
                                                0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC}};
inline constexpr Guid Guid::AppleBoot{Guid::Bytes{0x74, 0x6F, 0x6F, 0x42, 0x00, 0x00, 0xAA, 0x11,
                                                  0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC}};
inline constexpr Guid Guid::Null{};

} // namespace ZV
