// Fuzzes the tagged-packing readers over a buffer stream.
//
// Input: byte 0 = number of "program" bytes p (low 4 bits, 0-15); bytes
// 1..p choose the readers, in turn; the rest is the packed stream. Readers
// are called until the stream is used up or makes no progress. Checked:
// - no reader crashes, reads outside the input or allocates beyond it (a
//   string or block never comes back longer than the input);
// - every failed reader leaves its output untouched;
// - every value read, written again and read back, gives the same value
//   (the writer and the readers agree on the wire format).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "foundation/buffer.h"
#include "foundation/byte_stream.h"
#include "foundation/msgpack.h"

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// A packer over a fresh buffer, for the write-and-read-back checks.
struct Scratch {
    ZV::Buffer buffer;
    std::shared_ptr<ZV::ByteStreamBuffer> stream =
        std::make_shared<ZV::ByteStreamBuffer>(&buffer, ZV::ByteStream::modeReadWrite);
    ZV::MsgPack pack{stream};
    void rewind() { check(stream->seek(0)); }
};

template <typename T, typename Add, typename Get>
void roundTrip(T value, Add add, Get get)
{
    Scratch s;
    check((s.pack.*add)(value));
    s.rewind();
    T again{};
    check((s.pack.*get)(&again));
    check(std::memcmp(&again, &value, sizeof value) == 0);
}

// Calls one reader; returns whether it succeeded.
template <typename T, typename Add, typename Get>
bool readNumber(ZV::MsgPack &pack, Add add, Get get)
{
    T value;
    std::memset(&value, 0xA5, sizeof value);
    T before = value;
    if (!(pack.*get)(&value)) {
        check(std::memcmp(&value, &before, sizeof value) == 0);
        return false;
    }
    roundTrip(value, add, get);
    return true;
}

using M = ZV::MsgPack;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > (1u << 20))
        return 0;
    const size_t programLength = std::min<size_t>(data[0] & 0x0F, size - 1);
    const uint8_t *program = data + 1;
    const uint8_t *packed = data + 1 + programLength;
    const size_t packedLength = size - 1 - programLength;

    ZV::Buffer buffer(packed, packedLength);
    auto stream = std::make_shared<ZV::ByteStreamBuffer>(&buffer, ZV::ByteStream::modeRead);
    ZV::MsgPack pack(stream);

    for (unsigned step = 0, stalls = 0; stream->position() < packedLength && stalls < 4; ++step) {
        const uint64_t before = stream->position();
        const unsigned op = programLength != 0 ? program[step % programLength] % 16 : step % 16;
        switch (op) {
        case 0: readNumber<uint8_t>(pack, &M::addUInt8, &M::getUInt8); break;
        case 1: readNumber<uint16_t>(pack, &M::addUInt16, &M::getUInt16); break;
        case 2: readNumber<uint32_t>(pack, &M::addUInt32, &M::getUInt32); break;
        case 3: readNumber<uint64_t>(pack, &M::addUInt64, &M::getUInt64); break;
        case 4: readNumber<int8_t>(pack, &M::addInt8, &M::getInt8); break;
        case 5: readNumber<int16_t>(pack, &M::addInt16, &M::getInt16); break;
        case 6: readNumber<int32_t>(pack, &M::addInt32, &M::getInt32); break;
        case 7: readNumber<int64_t>(pack, &M::addInt64, &M::getInt64); break;
        case 8: readNumber<float>(pack, &M::addFloat, &M::getFloat); break;
        case 9: readNumber<double>(pack, &M::addDouble, &M::getDouble); break;
        case 10: {
            const char *text = nullptr;
            if (pack.getString(&text)) {
                check(text != nullptr && std::strlen(text) <= packedLength);
                Scratch s;
                check(s.pack.addString(text));
                s.rewind();
                const char *again = nullptr;
                check(s.pack.getString(&again) && std::strcmp(again, text) == 0);
            } else {
                check(text == nullptr);
            }
            break;
        }
        case 11: {
            std::string text = "unchanged";
            if (pack.getString(&text)) {
                check(text.size() <= packedLength);
                Scratch s;
                check(s.pack.addString(text));
                s.rewind();
                std::string again;
                check(s.pack.getString(&again) && again == text);
            } else {
                check(text == "unchanged");
            }
            break;
        }
        case 12: {
            const uint8_t *bytes = nullptr;
            uint32_t length = 0xFFFFFFFF;
            if (pack.getBytes(&bytes, &length)) {
                check(bytes != nullptr && length <= packedLength);
                if (length != 0) {
                    Scratch s;
                    check(s.pack.addBytes(bytes, length));
                    s.rewind();
                    const uint8_t *again = nullptr;
                    uint32_t againLength = 0;
                    check(s.pack.getBytes(&again, &againLength) && againLength == length &&
                          std::memcmp(again, bytes, length) == 0);
                }
            } else {
                check(bytes == nullptr && length == 0xFFFFFFFF);
            }
            break;
        }
        case 13: {
            uint32_t a = 0;
            std::string s;
            int64_t b = 0;
            double d = 0;
            pack.get(M::TagUInt32, &a, M::TagString, &s, M::TagInt64, &b, M::TagDouble, &d, 0);
            check(s.size() <= packedLength);
            break;
        }
        case 14: {
            std::string s1, s2;
            int8_t c = 0;
            pack.get(M::TagString, &s1, M::TagInt8, &c, M::TagString, &s2, M::TagUInt64, nullptr, 0);
            check(s1.size() <= packedLength && s2.size() <= packedLength);
            break;
        }
        default: {
            // Skips of every kind (NULL outputs).
            const int tag = int(step % 11) + 1;
            pack.get(tag, nullptr, 0);
            break;
        }
        }
        check(stream->position() <= packedLength);
        stalls = stream->position() == before ? stalls + 1 : 0;
    }
    return 0;
}
