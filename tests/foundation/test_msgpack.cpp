// The tagged packing: byte-exact items, integer round trips, reader widening, typed lists, damaged input.
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/byte_stream.h"
#include "foundation/msgpack.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using M = ZV::MsgPack;
using Reader = std::function<bool(M &)>;

// A packer over a buffer of its own: empty for writing, or holding bytes to read.
struct Packed {
    ZV::Buffer buffer;
    std::shared_ptr<ZV::ByteStreamBuffer> stream;
    M pack;
    explicit Packed(const Bytes &bytes = {}, int mode = ZV::ByteStream::modeReadWrite)
        : buffer(bytes.data(), bytes.size()), stream(std::make_shared<ZV::ByteStreamBuffer>(&buffer, mode)),
          pack(stream) {}
    Bytes bytes() const { return Bytes(buffer.data(), buffer.data() + buffer.length()); }
};

// One value: its writer, its bytes, and a reader that must give it back.
struct WireCase { std::string what; Reader write; Bytes expected; Reader readsBack; };

template <typename T> struct Same { using type = T; };
template <typename T>
WireCase wire(std::string what, bool (M::*add)(T), bool (M::*get)(T *), typename Same<T>::type value, Bytes expected)
{
    return {what, [=](M &p) { return (p.*add)(value); }, std::move(expected),
            [=](M &p) { T got{}; return (p.*get)(&got) && std::memcmp(&got, &value, sizeof got) == 0; }};
}
#define W(Type, value, ...) wire(#Type " " #value, &M::add##Type, &M::get##Type, value, Bytes{__VA_ARGS__})

} // namespace

TEST(MsgPackWire, ByteExactItemsAndWidthBoundaries)
{
    const WireCase cases[] = {
        W(UInt32, 300, 0x13, 0x01, 0x2C),            W(Int32, -2, 0x07, 0xFE),
        W(Int64, 5, 0x04, 0x05),                     W(UInt64, 0x100000000ull, 0x44, 1, 0, 0, 0, 0),
        W(UInt64, 0xFFFFFFFFull, 0x34, 0xFF, 0xFF, 0xFF, 0xFF),
        W(UInt32, 255, 0x03, 0xFF),                  W(UInt32, 256, 0x13, 0x01, 0x00),
        W(Int8, -128, 0x05, 0x80),                   W(Int16, -127, 0x06, 0x81),
        W(Int16, -128, 0x16, 0xFF, 0x80),            W(Int16, INT16_MIN, 0x16, 0x80, 0x00),
        W(Int32, -127, 0x07, 0x81),                  W(Int32, -128, 0x17, 0xFF, 0x80),
        W(Int32, -32767, 0x17, 0x80, 0x01),          W(Int32, -32768, 0x27, 0xFF, 0x80, 0x00),
        W(Int32, -0x7FFFFF, 0x27, 0x80, 0x00, 0x01), W(Int32, -0x800000, 0x37, 0xFF, 0x80, 0x00, 0x00),
        W(Int32, INT32_MIN, 0x37, 0x80, 0x00, 0x00, 0x00), W(Int64, INT32_MIN, 0x48, 0xFF, 0x80, 0, 0, 0),
        W(Int64, INT64_MIN, 0x78, 0x80, 0, 0, 0, 0, 0, 0, 0),
        W(Float, 1.0f, 0x09, 0x00, 0x00, 0x80, 0x3F), W(Double, -2.0, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0xC0),
        {"string abc", [](M &p) { return p.addString("abc"); }, {0x0B, 0x03, 0x03, 'a', 'b', 'c'},
         [](M &p) { const char *s = nullptr; return p.getString(&s) && std::string(s) == "abc"; }},
        {"NULL string", [](M &p) { return p.addString(static_cast<const char *>(nullptr)); }, {0x0B, 0x03, 0x00},
         [](M &p) { std::string s = "x"; return p.getString(&s) && s.empty(); }},
        {"string with a NUL", [](M &p) { return p.addString(std::string("a\0b", 3)); }, {0x0B, 0x03, 0x03, 'a', 0, 'b'},
         [](M &p) { std::string s; return p.getString(&s) && s == std::string("a\0b", 3); }},
        {"byte block", [](M &p) { return p.addBytes("\x01\x02", 2); }, {0x0C, 0x03, 0x02, 0x01, 0x02},
         [](M &p) { const uint8_t *d; uint32_t n; return p.getBytes(&d, &n) && n == 2 && d[0] == 1 && d[1] == 2; }},
    };
    for (const WireCase &c : cases) {
        SCOPED_TRACE(c.what);
        Packed out, in(c.expected);
        ASSERT_TRUE(c.write(out.pack));
        EXPECT_EQ(c.expected, out.bytes());
        EXPECT_TRUE(c.readsBack(in.pack));
        EXPECT_EQ(c.expected.size(), in.stream->position());
        for (size_t cut = 0; cut < c.expected.size(); ++cut) { // fault guarded: cut input read past its end
            Packed part(Bytes(c.expected.begin(), c.expected.begin() + long(cut)), ZV::ByteStream::modeRead);
            EXPECT_FALSE(c.readsBack(part.pack)) << "cut at " << cut;
        }
    }
}

// Every integer type through its writer, its reader and the typed lists; every bit length, both signs.
TEST(MsgPackRoundTrip, RandomIntegersOfEveryType)
{
    std::mt19937_64 random(20240611);
    for (int round = 0; round < 2000; ++round) {
        const unsigned bits = unsigned(random() % 65);
        const uint64_t r = bits == 64 ? random() : random() & ((uint64_t(1) << bits) - 1);
        const int64_t s = (random() & 1) ? -int64_t(r >> 1) - int64_t(random() & 1) : int64_t(r >> 1);
        const auto wrote = std::make_tuple(uint8_t(r), uint16_t(r), uint32_t(r), r, int8_t(s), int16_t(s),
                                           int32_t(s), s);
        const auto &[w8, w16, w32, w64, v8, v16, v32, v64] = wrote;
        Packed p;
        ASSERT_TRUE(p.pack.addUInt8(w8) && p.pack.addUInt16(w16) && p.pack.addUInt32(w32) && p.pack.addUInt64(w64) &&
                    p.pack.addInt8(v8) && p.pack.addInt16(v16) && p.pack.addInt32(v32) && p.pack.addInt64(v64));
        ASSERT_TRUE(p.pack.add(M::TagUInt64, w64, M::TagInt64, v64, M::TagInt32, v32, M::TagInt8, v8, 0));
        ASSERT_TRUE(p.stream->seek(0));
        std::tuple<uint8_t, uint16_t, uint32_t, uint64_t, int8_t, int16_t, int32_t, int64_t> read;
        auto &[u8, u16, u32, u64, i8, i16, i32, i64] = read;
        ASSERT_TRUE(p.pack.getUInt8(&u8) && p.pack.getUInt16(&u16) && p.pack.getUInt32(&u32) &&
                    p.pack.getUInt64(&u64) && p.pack.getInt8(&i8) && p.pack.getInt16(&i16) &&
                    p.pack.getInt32(&i32) && p.pack.getInt64(&i64));
        ASSERT_EQ(wrote, read);
        ASSERT_TRUE(p.pack.get(M::TagUInt64, &u64, M::TagInt64, &i64, M::TagInt32, &i32, M::TagInt8, &i8, 0));
        ASSERT_EQ(wrote, read);
        ASSERT_EQ(p.buffer.length(), p.stream->position());
    }
}

// Signed readers take unsigned items that fit; unsigned readers never take a negative item; bad headers fail.
TEST(MsgPackWidening, ReadersAndTheTagsTheyAccept)
{
    const struct { const char *what; Bytes bytes; Reader read; bool accepted; } cases[] = {
        {"tag 3 by getInt32", {0x13, 0x01, 0x2C}, [](M &p) { int32_t v; return p.getInt32(&v) && v == 300; }, true},
        {"tag 7 by getUInt32", {0x07, 0xFE}, [](M &p) { return p.getUInt32(nullptr); }, false},
        {"tag 2 by getInt16", {0x02, 0x05}, [](M &p) { int16_t v; return p.getInt16(&v) && v == 5; }, true},
        {"u16 40000 by getInt16", {0x12, 0x9C, 0x40}, [](M &p) { return p.getInt16(nullptr); }, false},
        {"u32 2^31 by getInt32", {0x33, 0x80, 0, 0, 0}, [](M &p) { return p.getInt32(nullptr); }, false},
        {"u8 200 by getInt8", {0x01, 200}, [](M &p) { return p.getInt8(nullptr); }, false},
        {"tag 3 by getUInt64", {0x03, 0x07}, [](M &p) { return p.getUInt64(nullptr); }, false},
        {"tag 3 five bytes wide", {0x43, 1, 2, 3, 4, 5}, [](M &p) { return p.getUInt32(nullptr); }, false},
        {"u8 header two bytes wide", {0x11, 1, 2}, [](M &p) { return p.getUInt8(nullptr); }, false},
        {"odd widths are extended with ones", {0x27, 0x00, 0x00, 0x05},
         [](M &p) { int32_t v; return p.getInt32(&v) && v == int32_t(0xFF000005u); }, true},
        {"float with width bits", {0x39, 0, 0, 0x80, 0x3F}, [](M &p) { return p.getFloat(nullptr); }, true},
        {"tag 0", {0x00, 0x00}, [](M &p) { return p.getUInt16(nullptr); }, false},
        {"tag 13", {0x0D, 0x00}, [](M &p) { return p.getString(static_cast<std::string *>(nullptr)); }, false},
        {"stored empty block", {0x0C, 0x03, 0x00},
         [](M &p) { const uint8_t *d = nullptr; uint32_t n = 9; return p.getBytes(&d, &n) && n == 0 && d; }, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Packed in(c.bytes);
        EXPECT_EQ(c.accepted, c.read(in.pack));
    }
}

// Faults guarded: list values lost their C++ types (varargs widths); of several strings in one list only the
// last survived. Values and pointers that do not suit their tag are refused.
TEST(MsgPackLists, TypedAddAndGet)
{
    Packed p;
    EXPECT_TRUE(p.pack.add(M::TagUInt64, 5, M::TagDouble, 0.5, M::TagFloat, 1.0, 0));
    EXPECT_EQ((Bytes{0x04, 0x05, 0x0A, 0, 0, 0, 0, 0, 0, 0xE0, 0x3F, 0x09, 0, 0, 0x80, 0x3F}), p.bytes());
    Packed refused;
    EXPECT_FALSE(refused.pack.add(M::TagUInt8, 300) || refused.pack.add(M::TagUInt32, -1) ||
                 refused.pack.add(M::TagString, 7) || refused.pack.add(M::TagUInt32, "text"));
    EXPECT_EQ(0u, refused.buffer.length());
    // The list ends at tag 0 or at a tag it does not take.
    EXPECT_TRUE(refused.pack.add(M::TagUInt8, 1, M::TagBytes, 2, M::TagUInt8, 3));
    EXPECT_TRUE(refused.pack.add(0, 2, M::TagUInt8, 3));
    EXPECT_EQ((Bytes{0x01, 0x01}), refused.bytes());
    Packed s;
    ASSERT_TRUE(s.pack.add(M::TagString, "one", M::TagString, std::string("two"), M::TagString, nullptr,
                           M::TagInt16, int16_t(-3), 0));
    ASSERT_TRUE(s.stream->seek(0));
    std::string a, b, c = "x";
    int16_t n = 0;
    uint64_t wrong = 0;
    EXPECT_FALSE(s.pack.get(M::TagUInt32, &wrong)); // a pointer of another width: nothing read
    EXPECT_EQ(0u, s.stream->position());
    EXPECT_FALSE(s.pack.get(M::TagUInt64, &wrong)); // a number asked where a string lies
    EXPECT_EQ(1u, s.stream->position());            // only the header was taken
    ASSERT_TRUE(s.stream->seek(0));
    ASSERT_TRUE(s.pack.get(M::TagString, &a, M::TagString, &b, M::TagString, &c, M::TagInt16, &n, 0));
    EXPECT_EQ(std::make_tuple("one", "two", "", -3), std::make_tuple(a, b, c, int(n)));
    EXPECT_FALSE(s.pack.getUInt8(nullptr)); // the end
}

// Fault guarded: lying lengths and lengths past the cap fail cleanly, allocating nothing large.
TEST(MsgPackDamaged, LyingAndHugeLengths)
{
    const struct { const char *what; Bytes bytes; uint64_t refusedAt; } lies[] = { // refused after the length
        {"string of 4 GiB - 1", {0x0B, 0x33, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}, 6},
        {"block one past the cap", {0x0C, 0x33, 0x10, 0x00, 0x00, 0x01, 'a'}, 6},
        {"string of 1 MiB in 8 bytes", {0x0B, 0x23, 0x10, 0x00, 0x00, 'a', 'b', 'c'}, 5},
        {"length that is not tag 3", {0x0B, 0x04, 0x01, 'a'}, 2},
    };
    const uint8_t *data = nullptr;
    uint32_t n = 0;
    for (const auto &c : lies) {
        SCOPED_TRACE(c.what);
        Packed in(c.bytes, ZV::ByteStream::modeRead);
        std::string s = "untouched";
        EXPECT_FALSE(c.bytes[0] == 0x0B ? in.pack.getString(&s) : in.pack.getBytes(&data, &n));
        EXPECT_EQ("untouched", s);
        EXPECT_EQ(c.refusedAt, in.stream->position());
    }
    // The cap holds where the stream is long enough too: a sparse file.
    zvtest::TempDir dir;
    zvtest::writeFile(dir / "big", std::string("\x0C\x33\x10\x00\x00\x01", 6));
    ASSERT_EQ(0, truncate((dir / "big").c_str(), off_t(M::maxItemLength) + 64));
    auto file = std::make_shared<ZV::ByteStreamFile>(zorvant::u8string(dir / "big"));
    ASSERT_TRUE(file->open(ZV::ByteStream::modeRead));
    EXPECT_FALSE(M(file).getBytes(&data, &n));
    EXPECT_EQ(6u, file->position());
    Packed out; // refused on its length before any byte is looked at; an empty block cannot be written
    EXPECT_FALSE(out.pack.addBytes(&n, size_t(M::maxItemLength) + 1) || out.pack.addBytes("x", 0) ||
                 out.pack.addBytes(nullptr, 3));
    EXPECT_EQ(0u, out.buffer.length());
}
