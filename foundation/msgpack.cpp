// ZV::MsgPack: writing and reading the tagged packing (layout in msgpack.h).
//
// Implementation notes
// - Integer widths: an unsigned value takes the fewest bytes that hold it.
//   A negative value of a writer of W bytes takes the fewest k bytes with
//   value >= -(2^(8k-1) - 1), at most W; so the most negative value of each
//   width (-128, -32768, ...) needs one byte more than its positive twin,
//   except at the writer's full width.
// - Decoding negative items: widths 1, 2, 4 and 8 are sign-extended; widths
//   3, 5, 6 and 7 are only written for negative values and are extended with
//   ones.
// - A signed reader also accepts the unsigned item of its width (that is how
//   non-negative values are written), but only when the value fits its type:
//   an unsigned 40000 read as a 16-bit signed number would otherwise come
//   back as -25536.
// - Floats and doubles are IEEE 754 bit patterns stored little-endian. The
//   bits are taken with memcpy and written byte by byte.
#include "foundation/msgpack.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

namespace ZV {

static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "the tagged packing stores IEEE 754 floats");
static_assert(sizeof(float) == 4 && sizeof(double) == 8, "the tagged packing stores 4- and 8-byte floats");
// The bits of a float are taken through memcpy into an integer of the same
// byte order; the value bytes are then written low byte first explicitly.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the tagged packing is built for little-endian hosts");
#if defined(__FLOAT_WORD_ORDER__)
static_assert(__FLOAT_WORD_ORDER__ == __BYTE_ORDER__, "floats must share the integers' byte order");
#endif

namespace {

// Strings and blocks up to this length are read without asking the stream
// how many bytes remain: a damaged length of this size costs nothing to
// allocate, and the read of the bytes then fails on its own.
constexpr uint32_t unverifiedItemLength = 64u << 10;

// Bytes an unsigned value needs (at least 1).
unsigned unsignedWidth(uint64_t value)
{
    unsigned width = 1;
    while (width < 8 && (value >> (8 * width)) != 0)
        ++width;
    return width;
}

// Bytes a negative value needs for a writer of maxWidth bytes.
unsigned negativeWidth(int64_t value, unsigned maxWidth)
{
    for (unsigned width = 1; width < maxWidth; ++width) {
        const int64_t lowest = -((int64_t(1) << (8 * width - 1)) - 1);
        if (value >= lowest)
            return width;
    }
    return maxWidth;
}

// Value of a negative-tag item of width bytes (see the notes above).
int64_t decodeNegative(uint64_t bits, unsigned width)
{
    if (width == 8)
        return static_cast<int64_t>(bits);
    const uint64_t high = ~uint64_t(0) << (8 * width);
    const bool signExtended = width == 1 || width == 2 || width == 4;
    if (!signExtended || (bits >> (8 * width - 1)) != 0)
        bits |= high;
    return static_cast<int64_t>(bits);
}

} // namespace

MsgPack::MsgPack(std::shared_ptr<ByteStream> stream) : stream_(std::move(stream)) {}

MsgPack::~MsgPack() = default;

// --- writers ---------------------------------------------------------------------

bool MsgPack::writeInteger(int tag, unsigned width, uint64_t bits)
{
    uint8_t item[9];
    item[0] = static_cast<uint8_t>(((width - 1) << 4) | unsigned(tag));
    for (unsigned i = 0; i < width; ++i)
        item[1 + i] = static_cast<uint8_t>(bits >> (8 * (width - 1 - i)));
    return stream_ && stream_->write(item, 1 + width) == int(1 + width);
}

bool MsgPack::addUInt8(uint8_t value) { return writeInteger(TagUInt8, 1, value); }

bool MsgPack::addUInt16(uint16_t value) { return writeInteger(TagUInt16, unsignedWidth(value), value); }

bool MsgPack::addUInt32(uint32_t value) { return writeInteger(TagUInt32, unsignedWidth(value), value); }

bool MsgPack::addUInt64(uint64_t value) { return writeInteger(TagUInt64, unsignedWidth(value), value); }

bool MsgPack::addInt8(int8_t value)
{
    if (value >= 0)
        return addUInt8(static_cast<uint8_t>(value));
    return writeInteger(TagInt8, 1, static_cast<uint64_t>(int64_t(value)));
}

bool MsgPack::addInt16(int16_t value)
{
    if (value >= 0)
        return addUInt16(static_cast<uint16_t>(value));
    return writeInteger(TagInt16, negativeWidth(value, 2), static_cast<uint64_t>(int64_t(value)));
}

bool MsgPack::addInt32(int32_t value)
{
    if (value >= 0)
        return addUInt32(static_cast<uint32_t>(value));
    return writeInteger(TagInt32, negativeWidth(value, 4), static_cast<uint64_t>(int64_t(value)));
}

bool MsgPack::addInt64(int64_t value)
{
    if (value >= 0)
        return addUInt64(static_cast<uint64_t>(value));
    return writeInteger(TagInt64, negativeWidth(value, 8), static_cast<uint64_t>(value));
}

bool MsgPack::addFloat(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint8_t item[5] = {TagFloat, uint8_t(bits), uint8_t(bits >> 8), uint8_t(bits >> 16), uint8_t(bits >> 24)};
    return stream_ && stream_->write(item, sizeof item) == int(sizeof item);
}

bool MsgPack::addDouble(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    uint8_t item[9];
    item[0] = TagDouble;
    for (unsigned i = 0; i < 8; ++i)
        item[1 + i] = static_cast<uint8_t>(bits >> (8 * i));
    return stream_ && stream_->write(item, sizeof item) == int(sizeof item);
}

// Header, length item and bytes of a string or block. The header and the
// length go out in one write, the bytes (when there are any) in a second.
bool MsgPack::addText(int tag, const char *text, size_t length)
{
    if ((tag != TagString && tag != TagBytes) || length > maxItemLength || !stream_)
        return false;
    const unsigned width = unsignedWidth(length);
    uint8_t head[6];
    head[0] = static_cast<uint8_t>(tag);
    head[1] = static_cast<uint8_t>(((width - 1) << 4) | TagUInt32);
    for (unsigned i = 0; i < width; ++i)
        head[2 + i] = static_cast<uint8_t>(length >> (8 * (width - 1 - i)));
    if (stream_->write(head, 2 + width) != int(2 + width))
        return false;
    return length == 0 || stream_->write(text, static_cast<uint32_t>(length)) == int(length);
}

bool MsgPack::addString(const char *text)
{
    return addText(TagString, text, text != nullptr ? std::strlen(text) : 0);
}

bool MsgPack::addString(const std::string &text) { return addText(TagString, text.data(), text.size()); }

bool MsgPack::addBytes(const void *data, size_t length)
{
    if (data == nullptr || length == 0)
        return false;
    return addText(TagBytes, static_cast<const char *>(data), length);
}

bool MsgPack::addSigned(int tag, int64_t value)
{
    switch (tag) {
    case TagUInt8:
    case TagUInt16:
    case TagUInt32:
    case TagUInt64:
        return value >= 0 && addUnsigned(tag, static_cast<uint64_t>(value));
    case TagInt8:
        return value >= INT8_MIN && value <= INT8_MAX && addInt8(static_cast<int8_t>(value));
    case TagInt16:
        return value >= INT16_MIN && value <= INT16_MAX && addInt16(static_cast<int16_t>(value));
    case TagInt32:
        return value >= INT32_MIN && value <= INT32_MAX && addInt32(static_cast<int32_t>(value));
    case TagInt64:
        return addInt64(value);
    default:
        return false; // not an integer tag
    }
}

bool MsgPack::addUnsigned(int tag, uint64_t value)
{
    switch (tag) {
    case TagUInt8:
        return value <= UINT8_MAX && addUInt8(static_cast<uint8_t>(value));
    case TagUInt16:
        return value <= UINT16_MAX && addUInt16(static_cast<uint16_t>(value));
    case TagUInt32:
        return value <= UINT32_MAX && addUInt32(static_cast<uint32_t>(value));
    case TagUInt64:
        return addUInt64(value);
    case TagInt8:
    case TagInt16:
    case TagInt32:
    case TagInt64:
        return value <= uint64_t(INT64_MAX) && addSigned(tag, static_cast<int64_t>(value));
    default:
        return false;
    }
}

bool MsgPack::addReal(int tag, double value)
{
    if (tag == TagDouble)
        return addDouble(value);
    if (tag != TagFloat)
        return false;
    // A double beyond the float range becomes an infinity (the conversion
    // itself would be undefined).
    if (std::isfinite(value) && std::fabs(value) > double(FLT_MAX))
        return addFloat(value > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity());
    return addFloat(static_cast<float>(value));
}

// --- readers ---------------------------------------------------------------------

bool MsgPack::readHeader(int *tag, unsigned *width)
{
    uint8_t header;
    if (!stream_ || stream_->read(&header, 1) != 1)
        return false;
    *tag = header & 0x0F;
    *width = (header >> 4) + 1u;
    return *tag >= TagUInt8 && *tag <= TagBytes;
}

bool MsgPack::readValue(unsigned width, uint64_t *bits)
{
    uint8_t bytes[8];
    if (stream_->read(bytes, width) != int(width))
        return false;
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i)
        value = (value << 8) | bytes[i];
    *bits = value;
    return true;
}

bool MsgPack::readInteger(int unsignedTag, int negativeTag, unsigned maxWidth, uint64_t *value, bool *negative)
{
    int tag;
    unsigned width;
    if (!readHeader(&tag, &width))
        return false;
    if (tag == unsignedTag)
        *negative = false;
    else if (negativeTag != 0 && tag == negativeTag)
        *negative = true;
    else
        return false;
    uint64_t bits;
    if (width > maxWidth || !readValue(width, &bits))
        return false;
    *value = *negative ? static_cast<uint64_t>(decodeNegative(bits, width)) : bits;
    return true;
}

bool MsgPack::readSigned(int unsignedTag, int negativeTag, unsigned maxWidth, int64_t minimum, int64_t maximum,
                         int64_t *out)
{
    uint64_t bits;
    bool negative;
    if (!readInteger(unsignedTag, negativeTag, maxWidth, &bits, &negative))
        return false;
    if (!negative) {
        if (bits > static_cast<uint64_t>(maximum))
            return false;
        *out = static_cast<int64_t>(bits);
        return true;
    }
    const int64_t value = static_cast<int64_t>(bits);
    if (value < minimum || value > maximum)
        return false;
    *out = value;
    return true;
}

bool MsgPack::getUInt8(uint8_t *out)
{
    uint8_t item[2];
    if (!stream_ || stream_->read(item, 2) != 2 || item[0] != TagUInt8)
        return false;
    if (out != nullptr)
        *out = item[1];
    return true;
}

bool MsgPack::getInt8(int8_t *out)
{
    uint8_t item[2];
    if (!stream_ || stream_->read(item, 2) != 2)
        return false;
    if (item[0] != TagInt8 && item[0] != TagUInt8)
        return false;
    if (item[0] == TagUInt8 && item[1] > INT8_MAX)
        return false; // an unsigned byte this reader cannot hold
    if (out != nullptr)
        *out = static_cast<int8_t>(item[1]);
    return true;
}

bool MsgPack::getUInt16(uint16_t *out)
{
    uint64_t value;
    bool negative;
    if (!readInteger(TagUInt16, 0, 2, &value, &negative))
        return false;
    if (out != nullptr)
        *out = static_cast<uint16_t>(value);
    return true;
}

bool MsgPack::getInt16(int16_t *out)
{
    int64_t value;
    if (!readSigned(TagUInt16, TagInt16, 2, INT16_MIN, INT16_MAX, &value))
        return false;
    if (out != nullptr)
        *out = static_cast<int16_t>(value);
    return true;
}

bool MsgPack::getUInt32(uint32_t *out)
{
    uint64_t value;
    bool negative;
    if (!readInteger(TagUInt32, 0, 4, &value, &negative))
        return false;
    if (out != nullptr)
        *out = static_cast<uint32_t>(value);
    return true;
}

bool MsgPack::getInt32(int32_t *out)
{
    int64_t value;
    if (!readSigned(TagUInt32, TagInt32, 4, INT32_MIN, INT32_MAX, &value))
        return false;
    if (out != nullptr)
        *out = static_cast<int32_t>(value);
    return true;
}

bool MsgPack::getUInt64(uint64_t *out)
{
    uint64_t value;
    bool negative;
    if (!readInteger(TagUInt64, 0, 8, &value, &negative))
        return false;
    if (out != nullptr)
        *out = value;
    return true;
}

bool MsgPack::getInt64(int64_t *out)
{
    int64_t value;
    if (!readSigned(TagUInt64, TagInt64, 8, INT64_MIN, INT64_MAX, &value))
        return false;
    if (out != nullptr)
        *out = value;
    return true;
}

bool MsgPack::getFloat(float *out)
{
    int tag;
    unsigned width;
    uint8_t bytes[4];
    if (!readHeader(&tag, &width) || tag != TagFloat || stream_->read(bytes, 4) != 4)
        return false;
    const uint32_t bits = bytes[0] | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
    if (out != nullptr)
        std::memcpy(out, &bits, sizeof bits);
    return true;
}

bool MsgPack::getDouble(double *out)
{
    int tag;
    unsigned width;
    uint8_t bytes[8];
    if (!readHeader(&tag, &width) || tag != TagDouble || stream_->read(bytes, 8) != 8)
        return false;
    uint64_t bits = 0;
    for (unsigned i = 8; i-- > 0;)
        bits = (bits << 8) | bytes[i];
    if (out != nullptr)
        std::memcpy(out, &bits, sizeof bits);
    return true;
}

// Header (tag only; its width bits carry nothing for strings and blocks),
// the length item, then the bytes into scratch. The length is refused above
// maxItemLength and above what the stream still holds before anything is
// allocated. With terminate, a NUL follows the bytes (not counted in the
// scratch's used length). A failure may leave the scratch changed.
bool MsgPack::readBlock(int expectedTag, Buffer *scratch, bool terminate)
{
    int tag;
    unsigned width;
    if (!readHeader(&tag, &width) || tag != expectedTag)
        return false;
    uint32_t length;
    if (!getUInt32(&length) || length > maxItemLength)
        return false;
    if (length > unverifiedItemLength) {
        const uint64_t end = stream_->length();
        const uint64_t at = stream_->position();
        if (at > end || length > end - at)
            return false;
    }
    try {
        // One spare byte: room for the NUL, and an empty block still has
        // an address.
        scratch->reserve(size_t(length) + 1);
        scratch->setLength(length);
    } catch (const std::bad_alloc &) {
        return false;
    } catch (const std::length_error &) {
        return false;
    }
    if (length != 0 && stream_->read(scratch->data(), length) != int(length))
        return false;
    if (terminate)
        scratch->data()[length] = 0;
    return true;
}

bool MsgPack::getString(const char **out)
{
    if (!readBlock(TagString, &string_, true))
        return false;
    if (out != nullptr)
        *out = reinterpret_cast<const char *>(string_.data());
    return true;
}

bool MsgPack::getString(std::string *out)
{
    if (!readBlock(TagString, &string_, true))
        return false;
    if (out != nullptr)
        out->assign(reinterpret_cast<const char *>(string_.data()), string_.length());
    return true;
}

bool MsgPack::getBytes(const uint8_t **data, uint32_t *length)
{
    if (!readBlock(TagBytes, &bytes_, false))
        return false;
    if (data != nullptr && length != nullptr) {
        *data = bytes_.data();
        *length = bytes_.length();
    }
    return true;
}

bool MsgPack::getTagged(int tag, void *out)
{
    switch (tag) {
    case TagUInt8:
        return getUInt8(static_cast<uint8_t *>(out));
    case TagUInt16:
        return getUInt16(static_cast<uint16_t *>(out));
    case TagUInt32:
        return getUInt32(static_cast<uint32_t *>(out));
    case TagUInt64:
        return getUInt64(static_cast<uint64_t *>(out));
    case TagInt8:
        return getInt8(static_cast<int8_t *>(out));
    case TagInt16:
        return getInt16(static_cast<int16_t *>(out));
    case TagInt32:
        return getInt32(static_cast<int32_t *>(out));
    case TagInt64:
        return getInt64(static_cast<int64_t *>(out));
    case TagFloat:
        return getFloat(static_cast<float *>(out));
    case TagDouble:
        return getDouble(static_cast<double *>(out));
    case TagString:
        return getString(static_cast<std::string *>(out));
    default:
        return false;
    }
}

} // namespace ZV
