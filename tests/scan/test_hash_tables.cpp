// Hash tables, bit arrays and u64 arrays of the catalog.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/buffer.h"
#include "foundation/byte_stream.h"
#include "foundation/msgpack.h"
#include "scan/catalog/hash_tables.h"

namespace {

TEST(HashFunctions, PublishedVectors)
{
    // lookup3 hashlittle
    EXPECT_EQ(hash_lookup3("", 0, 0), 0xdeadbeefu);
    EXPECT_EQ(hash_lookup3("", 0, 0xdeadbeef), 0xbd5b7ddeu);
    EXPECT_EQ(hash_lookup3("Four score and seven years ago", 30, 0), 0x17770551u);
    EXPECT_EQ(hash_lookup3("Four score and seven years ago", 30, 1), 0xcd628161u);
    // FNV-1a 64
    EXPECT_EQ(hash_fnv1a64("", 0), 0xcbf29ce484222325ull);
    EXPECT_EQ(hash_fnv1a64("a", 1), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(hash_fnv1a64("foobar", 6), 0x85944171f73967e8ull);
    // continuing a hash gives the hash of the whole
    EXPECT_EQ(hash_fnv1a64("bar", 3, hash_fnv1a64("foo", 3)), 0x85944171f73967e8ull);
    // the children table hashes the key's little-endian bytes
    const uint8_t le[8] = {0x01, 0x02, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(keyhash_hasher()(0x0201), size_t(hash_fnv1a64(le, 8)));
}

TEST(StrHash, PrimeLadder)
{
    const uint32_t ladder[] = {53,     97,      193,     389,     769,      1543,     3079,
                               6151,   12289,   24593,   49157,   98317,    196613,   393241,
                               786433, 1572869, 3145739, 6291469, 12582917, 25165843, 50331653};
    uint32_t below = 0;
    for (uint32_t prime : ladder) {
        EXPECT_EQ(strhash_prime_size(prime), prime);
        EXPECT_EQ(strhash_prime_size(below + 1), prime);
        below = prime;
    }
    EXPECT_EQ(strhash_prime_size(0), 53u);
    EXPECT_EQ(strhash_prime_size(200), 389u);
    EXPECT_EQ(strhash_prime_size(50331654), 50331654u);
    EXPECT_EQ(strhash_prime_size(UINT32_MAX), UINT32_MAX);
}

struct NamedValue {
    strhash_entry header;
    int value;
};

TEST(StrHash, FindCreateChainsAndKeyOwnership)
{
    EXPECT_EQ(strhash_new(0, 1, sizeof(NamedValue)), nullptr);
    EXPECT_EQ(strhash_new(53, 1, sizeof(strhash_entry) - 1), nullptr);
    EXPECT_EQ(strhash_find(nullptr, "a", 1), nullptr);

    // One bucket: every key shares it, so the chain rules show.
    strhash *table = strhash_new(1, 1, sizeof(NamedValue));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(strhash_index_(table, "anything"), 0u);
    EXPECT_EQ(strhash_find(table, "alpha", 0), nullptr);
    std::string alpha = "alpha";
    strhash_entry *head = strhash_find(table, alpha.c_str(), 1);
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(head), table->buckets); // the bucket head takes the first key
    EXPECT_NE(head->key, alpha.c_str());                           // copied
    reinterpret_cast<NamedValue *>(head)->value = 1;
    strhash_entry *beta = strhash_find(table, "beta", 1);
    strhash_entry *gamma = strhash_find(table, "gamma", 1);
    ASSERT_TRUE(beta && gamma);
    EXPECT_EQ(head->next, gamma); // new entries go right after the head
    EXPECT_EQ(gamma->next, beta);
    EXPECT_EQ(reinterpret_cast<NamedValue *>(gamma)->value, 0); // zero-filled
    reinterpret_cast<NamedValue *>(beta)->value = 2;
    alpha[0] = 'X'; // the table's copy is unaffected
    EXPECT_EQ(strhash_find(table, "alpha", 0), head);
    EXPECT_EQ(reinterpret_cast<NamedValue *>(strhash_find(table, "beta", 1))->value, 2);
    EXPECT_EQ(strhash_find(table, "alph", 0), nullptr); // exact equality only
    strhash_free(&table);
    EXPECT_EQ(table, nullptr);

    // Without copying, the caller's pointer is kept; the bucket follows lookup3.
    static const char kept[] = "Images/JPEG";
    table = strhash_new(strhash_prime_size(200), 0, sizeof(NamedValue));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->bucket_count, 389u);
    EXPECT_EQ(strhash_index_(table, kept), hash_lookup3(kept, sizeof kept, 0) % 389);
    strhash_entry *entry = strhash_find(table, kept, 1);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->key, kept);
    strhash_free(&table);
}

TEST(KeyHash, InitRefusesBadCountsAndFindsTheRootEntry)
{
    keyhash *table = nullptr;
    EXPECT_EQ(hash_init(&table, 0), -12);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(hash_init(&table, -5), -12);
    EXPECT_EQ(table, nullptr);
    // a count whose low 32 bits are 0 once made a table without buckets
    EXPECT_EQ(hash_init(&table, int64_t(1) << 32), -12);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(hash_find(nullptr, 1, 1), nullptr);

    ASSERT_EQ(hash_init(&table, 5), 0);
    hash_entry *root = hash_find(table, 1, 0);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->list.count, 0u);
    EXPECT_EQ(hash_find(table, 2, 0), nullptr);
    hash_entry *made = hash_find(table, 2, 1);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->key, 2);
    EXPECT_EQ(made->list.keys, nullptr);
    EXPECT_EQ(made->list.capacity, 256u);
    EXPECT_EQ(hash_find(table, 2, 0), made);
    // a huge count reserves little up front and still works
    ASSERT_EQ(hash_init(&table, int64_t(UINT32_MAX)), 0);
    EXPECT_EQ(hash_find(table, 2, 0), nullptr);
    childrencache_free(&table);
    EXPECT_EQ(table, nullptr);
}

TEST(KeyHash, ListsGrowBy256AndKeepOrder)
{
    keyhash *table = nullptr;
    EXPECT_EQ(childrencache_add(nullptr, 1, 2), -15);
    ASSERT_EQ(hash_init(&table, 10), 0);
    for (int64_t k = 0; k < 600; k++)
        ASSERT_EQ(childrencache_add(table, 7, 1000 + k), 0);
    hash_entry *entry = hash_find(table, 7, 0);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->list.count, 600u);
    EXPECT_EQ(entry->list.capacity, 768u);
    for (uint32_t i = 0; i < 600; i++)
        ASSERT_EQ(entry->list.keys[i], 1000 + int64_t(i));

    const int64_t more[] = {5, 6, 7};
    ASSERT_EQ(childrencache_add_multiple(table, 7, more, 3, 1), 0);
    EXPECT_EQ(entry->list.count, 603u);
    EXPECT_EQ(entry->list.capacity, 603u); // shrunk to the count
    ASSERT_EQ(childrencache_add(table, 7, 8), 0);
    EXPECT_EQ(entry->list.capacity, 859u);
    EXPECT_EQ(entry->list.keys[603], 8);
    EXPECT_EQ(childrencache_add_multiple(table, 7, nullptr, 2, 0), -12);
    // an empty list shrunk to nothing can grow again
    ASSERT_EQ(childrencache_add_multiple(table, 9, nullptr, 0, 1), 0);
    ASSERT_EQ(childrencache_add(table, 9, 3), 0);
    EXPECT_EQ(hash_find(table, 9, 0)->list.keys[0], 3);
    childrencache_free(&table);
}

TEST(KeyHash, SetGetAndBorrowedLists)
{
    keyhash *table = nullptr;
    ASSERT_EQ(hash_init(&table, 3), 0);
    const int64_t first[] = {2, 3, 4};
    const int64_t second[] = {9};
    EXPECT_EQ(childrencache_set(nullptr, 1, first, 3), -15);
    EXPECT_EQ(childrencache_set(table, 42, first, 3), -1); // no entry
    ASSERT_EQ(childrencache_set(table, 1, first, 3), 0);
    hash_entry *root = hash_find(table, 1, 0);
    EXPECT_EQ(root->list.count, 3u);
    EXPECT_EQ(root->list.capacity, 3u);
    // n = 0 or no keys: -12 and the old list stays
    EXPECT_EQ(childrencache_set(table, 1, second, 0), -12);
    EXPECT_EQ(childrencache_set(table, 1, nullptr, 1), -12);
    ASSERT_EQ(root->list.count, 3u);
    EXPECT_EQ(root->list.keys[2], 4);

    // a copy is the caller's; a borrowed list is the entry's own storage
    keylist copy;
    EXPECT_EQ(childrencache_get(nullptr, 1, &copy, 0), -12);
    EXPECT_EQ(childrencache_get(table, 77, &copy, 0), -1);
    ASSERT_EQ(childrencache_get(table, 1, &copy, 0), 0);
    EXPECT_EQ(copy.count, 3u);
    EXPECT_EQ(copy.capacity, 3u);
    EXPECT_NE(copy.keys, root->list.keys);
    keylist borrowed;
    ASSERT_EQ(childrencache_get(table, 1, &borrowed, 1), 0);
    EXPECT_EQ(borrowed.keys, root->list.keys);
    EXPECT_EQ(borrowed.capacity, KEYLIST_BORROWED);
    keylist_free(&borrowed); // not freed: the entry still owns it
    EXPECT_EQ(root->list.keys[0], 2);

    // an entry without keys leaves the output as it was
    ASSERT_NE(hash_find(table, 5, 1), nullptr);
    ASSERT_EQ(childrencache_get(table, 5, &copy, 0), 0);
    EXPECT_EQ(copy.count, 3u);
    keylist_free(&copy);

    // an entry lent storage it does not own is never appended to or freed
    static int64_t outside[2] = {11, 12};
    hash_entry *lent = hash_find(table, 6, 1);
    lent->list.keys = outside;
    lent->list.count = 2;
    lent->list.capacity = KEYLIST_BORROWED;
    EXPECT_EQ(childrencache_add(table, 6, 13), 0);
    EXPECT_EQ(lent->list.count, 2u);
    EXPECT_EQ(outside[1], 12);
    ASSERT_EQ(childrencache_set(table, 6, second, 1), 0); // replaced, the old storage left alone
    EXPECT_EQ(lent->list.keys[0], 9);
    lent = hash_find(table, 8, 1);
    lent->list.keys = outside;
    lent->list.count = 2;
    lent->list.capacity = KEYLIST_BORROWED;
    childrencache_free(&table); // must not free `outside` (ASan would say so)
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(outside[0], 11);
}

TEST(BitArray, MsbFirstAndBounds)
{
    bitarray bits;
    ASSERT_EQ(bitarray_make(&bits, 8), 0);
    int bit = 7;
    EXPECT_FALSE(bitarray_get(&bits, 8, &bit));
    EXPECT_EQ(bit, 7);
    bitarray_set(&bits, 8, 1); // out of range: nothing
    uint32_t length = 0;
    const uint8_t *data = bitarray_data(&bits, &length);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(data[0], 0);
    bitarray_set(&bits, 0, 1);
    bitarray_set(&bits, 6, 1);
    EXPECT_EQ(bitarray_data(&bits, nullptr)[0], 0x82);
    bitarray_set(&bits, 6, 2); // neither 0 nor 1: nothing
    EXPECT_EQ(bits.bytes[0], 0x82);
    bitarray_set(&bits, 6, 0);
    EXPECT_EQ(bits.bytes[0], 0x80);
    ASSERT_TRUE(bitarray_get(&bits, 0, &bit));
    EXPECT_EQ(bit, 1);

    ASSERT_EQ(bitarray_make(&bits, 13), 0); // old bits dropped, 2 bytes
    EXPECT_EQ(bits.byte_count, 2u);
    bitarray_set(&bits, 9, 1);
    EXPECT_EQ(bits.bytes[1], 0x40);
    EXPECT_FALSE(bitarray_get(&bits, 13, nullptr)); // inside the last byte, past the count

    const uint8_t raw[] = {0x01, 0xF0};
    ASSERT_EQ(bitarray_from_bytes(&bits, raw, 2), 0);
    EXPECT_EQ(bits.bit_count, 16u);
    ASSERT_TRUE(bitarray_get(&bits, 7, &bit));
    EXPECT_EQ(bit, 1);
    ASSERT_TRUE(bitarray_get(&bits, 12, &bit));
    EXPECT_EQ(bit, 0);
    EXPECT_EQ(bitarray_make(&bits, BITARRAY_MAX_BITS + 1), -12);
}

TEST(U64Array, LimitsBoundsAndPacking)
{
    u64array values;
    EXPECT_EQ(u64array_make(&values, uint64_t(1) << 32), -12);
    ASSERT_EQ(u64array_make(&values, 3), 0);
    uint64_t v = 99;
    EXPECT_EQ(u64array_get(&values, 3, &v), -12);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(u64array_set(&values, 3, 1), -12);
    EXPECT_EQ(u64array_set(&values, UINT64_MAX, 1), -12);
    ASSERT_EQ(u64array_set(&values, 2, 0x0102030405060708ull), 0);
    ASSERT_EQ(u64array_get(&values, 2, &v), 0);
    EXPECT_EQ(v, 0x0102030405060708ull);

    const uint8_t le[] = {1, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xEE};
    EXPECT_EQ(u64array_from_bytes(&values, nullptr, 8), -12);
    EXPECT_EQ(u64array_from_bytes(&values, le, 7), -12);
    ASSERT_EQ(u64array_from_bytes(&values, le, sizeof le), 0); // the odd byte is dropped
    EXPECT_EQ(values.count, 2u);
    EXPECT_EQ(values.values[0], 1u);
    EXPECT_EQ(values.values[1], 0x0102030405060708ull);

    // one byte block of count x 8 little-endian bytes
    ZV::Buffer out;
    {
        auto stream = std::make_shared<ZV::ByteStreamBuffer>(&out, ZV::ByteStream::modeReadWrite);
        ZV::MsgPack packer(stream);
        ASSERT_EQ(u64array_pack(&values, &packer), 0);
    }
    std::vector<uint8_t> bytes(out.data(), out.data() + out.length());
    ASSERT_EQ(bytes.size(), 3u + 16u); // 0x0C, tag-3 length 16, the values
    EXPECT_EQ(bytes[0], 0x0C);
    EXPECT_EQ(std::memcmp(bytes.data() + 3, le, 16), 0);
    {
        ZV::Buffer in(bytes.data(), bytes.size());
        auto stream = std::make_shared<ZV::ByteStreamBuffer>(&in, ZV::ByteStream::modeRead);
        ZV::MsgPack packer(stream);
        u64array back;
        ASSERT_EQ(u64array_unpack(&back, &packer), 0);
        EXPECT_EQ(back.values, values.values);
        EXPECT_EQ(u64array_unpack(&back, &packer), -12); // nothing left
    }
    {
        bytes[2] = 15; // a block that is not whole values
        bytes.pop_back();
        ZV::Buffer in(bytes.data(), bytes.size());
        auto stream = std::make_shared<ZV::ByteStreamBuffer>(&in, ZV::ByteStream::modeRead);
        ZV::MsgPack packer(stream);
        u64array back;
        EXPECT_EQ(u64array_unpack(&back, &packer), -12);
    }
    u64array empty;
    ZV::Buffer sink;
    auto stream = std::make_shared<ZV::ByteStreamBuffer>(&sink, ZV::ByteStream::modeReadWrite);
    ZV::MsgPack packer(stream);
    EXPECT_EQ(u64array_pack(&empty, &packer), -1);
}

} // namespace
