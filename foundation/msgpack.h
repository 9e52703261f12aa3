// ZV::MsgPack: the tagged packing of engine commands and cache records.
//
// A record is a plain sequence of items with no framing around it; the
// reader must ask for the same types in the same order as the writer wrote
// them. Each item is one header byte, then its value bytes:
//
//   header  = ((value bytes - 1) << 4) | tag   for the integer tags 1..8
//           = tag                              for tags 9..12
//
//   tag  type                        value bytes
//   1    unsigned 8-bit              1
//   2    unsigned 16-bit             1..2
//   3    unsigned 32-bit             1..4
//   4    unsigned 64-bit             1..8
//   5    signed 8-bit, negative      1
//   6    signed 16-bit, negative     1..2
//   7    signed 32-bit, negative     1..4
//   8    signed 64-bit, negative     1..8
//   9    float                       4, IEEE 754 little-endian
//   10   double                      8, IEEE 754 little-endian
//   11   string                      a tag-3 length item, then the bytes (no NUL)
//   12   byte block                  a tag-3 length item, then the bytes
//
// Integers are big-endian in the fewest bytes their range needs. A signed
// value of 0 or more is written with the unsigned tag of its width, so tags
// 5..8 carry only negative values: the low bytes of the two's complement,
// with widths chosen by the writer's width (e.g. -128 takes 2 bytes, and
// -2147483648 takes 4 bytes as a 32-bit value but 5 as a 64-bit one).
// Examples: u32 300 = 13 01 2C; i32 -2 = 07 FE; "abc" = 0B 03 03 61 62 63;
// a NULL or empty string = 0B 03 00.
//
// Reading is defensive: a reader checks the tag and the width before taking
// the value and refuses a string or block length above maxItemLength or
// above what is left in the stream, so a damaged cache file never drives a
// large allocation. A refused item leaves the outputs untouched; the stream
// has then moved past what was read (the header alone, or two bytes for
// getUInt8/getInt8). Callers treat a failed read as a damaged record.
//
// Not promised: thread safety (one packer per thread), nor any recovery of
// the item boundary after a failed read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

#include "foundation/buffer.h"
#include "foundation/byte_stream.h"
#include "foundation/u8string.h"

namespace ZV {

class MsgPack {
public:
    // Item tags (the low four bits of a header byte).
    enum Tag : int {
        TagEnd = 0, // ends an add/get list
        TagUInt8 = 1,
        TagUInt16 = 2,
        TagUInt32 = 3,
        TagUInt64 = 4,
        TagInt8 = 5,
        TagInt16 = 6,
        TagInt32 = 7,
        TagInt64 = 8,
        TagFloat = 9,
        TagDouble = 10,
        TagString = 11,
        TagBytes = 12,
    };

    // Longest string or byte block written or read. Records hold names,
    // paths and small tables; 256 MiB is far above any of them and still an
    // allocation a damaged length may safely cause.
    static constexpr uint32_t maxItemLength = 256u << 20;

    // Writes and reads at the stream's position, which advances.
    explicit MsgPack(std::shared_ptr<ByteStream> stream);
    ~MsgPack();
    MsgPack(const MsgPack &) = delete;
    MsgPack &operator=(const MsgPack &) = delete;

    const std::shared_ptr<ByteStream> &stream() const { return stream_; }

    // --- writers: true when every byte of the item was written ----------------

    bool addUInt8(uint8_t value);
    bool addUInt16(uint16_t value);
    bool addUInt32(uint32_t value);
    bool addUInt64(uint64_t value);
    bool addInt8(int8_t value);
    bool addInt16(int16_t value);
    bool addInt32(int32_t value);
    bool addInt64(int64_t value);
    bool addFloat(float value);
    bool addDouble(double value);
    // A NULL string is written as the empty one. False for a text longer
    // than maxItemLength (nothing is written).
    bool addString(const char *text);
    // The bytes of text, NUL bytes included.
    bool addString(const std::string &text);
    // False, writing nothing, for NULL data, a length of 0 or a length above
    // maxItemLength.
    bool addBytes(const void *data, size_t length);

    // Writes a list of (tag, value) pairs: add(TagUInt32, n, TagString, s, 0).
    // Tags 1..11 are accepted; the list ends at its last pair, at tag 0 or at
    // any other tag (which is not written and is not an error). The result
    // is false as soon as one item fails.
    //
    // Each value keeps its C++ type (no C varargs), so a 64-bit tag given an
    // int still gets the right number. The value must suit its tag, checked
    // as the item is written: an integer must lie in the tag's range (tag 1
    // with 300, or tag 3 with -1, fails rather than being cut), tags 9 and 10
    // take floating-point values, tag 11 takes const char * (NULL = ""),
    // std::string or zorvant::u8string. A value of any other type does not
    // compile.
    template <typename... Args>
    bool add(const Args &...args)
    {
        return addList(args...);
    }

    // --- readers: false on another tag, an impossible width or length, or
    // the end of the stream. A NULL output skips the value. ---------------------

    bool getUInt8(uint8_t *out);   // header exactly 0x01
    bool getInt8(int8_t *out);     // header exactly 0x05 or 0x01
    bool getUInt16(uint16_t *out); // tag 2, 1..2 bytes
    bool getInt16(int16_t *out);   // tag 6, or tag 2 up to 32767
    bool getUInt32(uint32_t *out); // tag 3, 1..4 bytes
    bool getInt32(int32_t *out);   // tag 7, or tag 3 up to INT32_MAX
    bool getUInt64(uint64_t *out); // tag 4, 1..8 bytes
    bool getInt64(int64_t *out);   // tag 8, or tag 4 up to INT64_MAX
    bool getFloat(float *out);     // tag 9 (width bits ignored), 4 raw bytes
    bool getDouble(double *out);   // tag 10 (width bits ignored), 8 raw bytes
    // *out points into the packer's string scratch, NUL-terminated, valid
    // until the next string is read. Bytes after an embedded NUL are only
    // seen through the std::string form.
    bool getString(const char **out);
    bool getString(std::string *out);
    // Reads into the block scratch (valid until the next block is read);
    // the address and length are stored only when both outputs are given.
    bool getBytes(const uint8_t **data, uint32_t *length);

    // Reads a list of (tag, pointer) pairs ending like add. Pointers:
    // tags 1..8 an integer of exactly that width and signedness (uint32_t *
    // for tag 3, int64_t * for tag 8, ...), tag 9 float *, tag 10 double *,
    // tag 11 std::string * (a C-string pointer into the shared scratch would
    // be overwritten by the next string of the list, so it does not compile),
    // or nullptr to skip the value. A pointer that does not suit its tag
    // fails before anything is read.
    template <typename... Args>
    bool get(const Args &...args)
    {
        return getList(args...);
    }

private:
    // Integer items from the list forms: range-checked, then written with
    // the writer of the tag.
    bool addSigned(int tag, int64_t value);
    bool addUnsigned(int tag, uint64_t value);
    bool addReal(int tag, double value);
    bool addText(int tag, const char *text, size_t length);

    // The header and value bytes of an integer item: tag, width (1..8) and
    // the number's low bytes.
    bool writeInteger(int tag, unsigned width, uint64_t bits);
    // Reads a header; false at the end of the stream or for a tag outside 1..12.
    bool readHeader(int *tag, unsigned *width);
    // Reads width big-endian bytes.
    bool readValue(unsigned width, uint64_t *bits);
    // Reads an integer item whose tag is one of the two given (0 = none) and
    // whose width is at most maxWidth; *negative tells which tag was found.
    bool readInteger(int unsignedTag, int negativeTag, unsigned maxWidth, uint64_t *value, bool *negative);
    bool readSigned(int unsignedTag, int negativeTag, unsigned maxWidth, int64_t minimum, int64_t maximum,
                    int64_t *out);
    // Reads a tag-11/12 item into scratch; false on any refused length.
    bool readBlock(int tag, Buffer *scratch, bool terminate);

    template <typename T>
    static constexpr bool isTextType()
    {
        return std::is_same_v<T, const char *> || std::is_same_v<T, char *> || std::is_same_v<T, std::string> ||
               std::is_same_v<T, zorvant::u8string> || std::is_same_v<T, std::nullptr_t>;
    }

    template <typename V>
    bool addTagged(int tag, const V &value)
    {
        using T = std::decay_t<V>;
        static_assert(std::is_arithmetic_v<T> || std::is_enum_v<T> || isTextType<T>(),
                      "MsgPack::add takes integers, floating-point values and strings");
        if constexpr (std::is_enum_v<T>) {
            return addTagged(tag, static_cast<std::underlying_type_t<T>>(value));
        } else if constexpr (std::is_same_v<T, bool>) {
            return addUnsigned(tag, value ? 1u : 0u);
        } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
            return addSigned(tag, static_cast<int64_t>(value));
        } else if constexpr (std::is_integral_v<T>) {
            return addUnsigned(tag, static_cast<uint64_t>(value));
        } else if constexpr (std::is_floating_point_v<T>) {
            return addReal(tag, static_cast<double>(value));
        } else if constexpr (std::is_same_v<T, std::string>) {
            return addText(tag, value.data(), value.size());
        } else if constexpr (std::is_same_v<T, zorvant::u8string>) {
            return addText(tag, value.str().data(), value.str().size());
        } else if constexpr (std::is_same_v<T, std::nullptr_t>) {
            return addText(tag, nullptr, 0);
        } else {
            const char *text = value;
            return addText(tag, text, text != nullptr ? std::char_traits<char>::length(text) : 0);
        }
    }

    bool addList() { return true; }
    template <typename Tag>
    bool addList(const Tag & /*closing tag*/)
    {
        static_assert(std::is_integral_v<Tag> || std::is_enum_v<Tag>, "MsgPack::add: a tag must be an integer");
        return true; // a closing tag
    }
    template <typename Tag, typename V, typename... Rest>
    bool addList(const Tag &tag, const V &value, const Rest &...rest)
    {
        static_assert(std::is_integral_v<Tag> || std::is_enum_v<Tag>, "MsgPack::add: a tag must be an integer");
        const long long t = static_cast<long long>(tag);
        if (t < TagUInt8 || t > TagString)
            return true;
        if (!addTagged(static_cast<int>(t), value))
            return false;
        return addList(rest...);
    }

    // The tag a pointer's target type is read with; 0 when it suits none.
    template <typename T>
    static constexpr int tagForTarget()
    {
        if constexpr (std::is_same_v<T, float>)
            return TagFloat;
        else if constexpr (std::is_same_v<T, double>)
            return TagDouble;
        else if constexpr (std::is_same_v<T, std::string>)
            return TagString;
        else if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
            constexpr int base = std::is_signed_v<T> ? TagInt8 : TagUInt8;
            return sizeof(T) == 1 ? base : sizeof(T) == 2 ? base + 1 : sizeof(T) == 4 ? base + 2
                                                                     : sizeof(T) == 8 ? base + 3 : 0;
        } else
            return 0;
    }

    // Reads one item of a get list into a target of the tag's own type.
    bool getTagged(int tag, void *out);

    template <typename P>
    bool getTaggedChecked(int tag, const P &pointer)
    {
        if constexpr (std::is_same_v<P, std::nullptr_t>) {
            return getTagged(tag, nullptr);
        } else {
            static_assert(std::is_pointer_v<P>, "MsgPack::get takes pointers");
            using T = std::remove_pointer_t<P>;
            static_assert(!std::is_same_v<std::remove_cv_t<T>, const char *> &&
                              !std::is_same_v<std::remove_cv_t<T>, char *>,
                          "MsgPack::get: read strings of a list into std::string");
            static_assert(!std::is_const_v<T>, "MsgPack::get: a target must be writable");
            static_assert(tagForTarget<T>() != 0, "MsgPack::get: no tag reads into this type");
            if (tagForTarget<T>() != tag)
                return false;
            return getTagged(tag, pointer);
        }
    }

    bool getList() { return true; }
    template <typename Tag>
    bool getList(const Tag & /*closing tag*/)
    {
        static_assert(std::is_integral_v<Tag> || std::is_enum_v<Tag>, "MsgPack::get: a tag must be an integer");
        return true;
    }
    template <typename Tag, typename P, typename... Rest>
    bool getList(const Tag &tag, const P &pointer, const Rest &...rest)
    {
        static_assert(std::is_integral_v<Tag> || std::is_enum_v<Tag>, "MsgPack::get: a tag must be an integer");
        const long long t = static_cast<long long>(tag);
        if (t < TagUInt8 || t > TagString)
            return true;
        if (!getTaggedChecked(static_cast<int>(t), pointer))
            return false;
        return getList(rest...);
    }

    std::shared_ptr<ByteStream> stream_;
    Buffer string_; // the last string read, NUL-terminated
    Buffer bytes_;  // the last byte block read
};

} // namespace ZV
