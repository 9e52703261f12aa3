// Hash tables, bit arrays and u64 arrays of the catalog (see hash_tables.h).
#include "scan/catalog/hash_tables.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/log.h"
#include "foundation/msgpack.h"

// --- hashes -----------------------------------------------------------------

namespace {

inline uint32_t rotate_left(uint32_t x, int k)
{
    return (x << k) | (x >> (32 - k));
}

inline void lookup3_mix(uint32_t &a, uint32_t &b, uint32_t &c)
{
    a -= c; a ^= rotate_left(c, 4);  c += b;
    b -= a; b ^= rotate_left(a, 6);  a += c;
    c -= b; c ^= rotate_left(b, 8);  b += a;
    a -= c; a ^= rotate_left(c, 16); c += b;
    b -= a; b ^= rotate_left(a, 19); a += c;
    c -= b; c ^= rotate_left(b, 4);  b += a;
}

inline void lookup3_final(uint32_t &a, uint32_t &b, uint32_t &c)
{
    c ^= b; c -= rotate_left(b, 14);
    a ^= c; a -= rotate_left(c, 11);
    b ^= a; b -= rotate_left(a, 25);
    c ^= b; c -= rotate_left(b, 16);
    a ^= c; a -= rotate_left(c, 4);
    b ^= a; b -= rotate_left(a, 14);
    c ^= b; c -= rotate_left(b, 24);
}

inline uint32_t load_le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

// The little-endian variant read byte by byte, so the result does not depend
// on the host's byte order or the key's alignment.
uint32_t hash_lookup3(const void *data, size_t length, uint32_t initval)
{
    const uint8_t *k = static_cast<const uint8_t *>(data);
    uint32_t a, b, c;
    a = b = c = 0xdeadbeefu + uint32_t(length) + initval;
    while (length > 12) {
        a += load_le32(k);
        b += load_le32(k + 4);
        c += load_le32(k + 8);
        lookup3_mix(a, b, c);
        length -= 12;
        k += 12;
    }
    switch (length) {
    case 12: c += uint32_t(k[11]) << 24; [[fallthrough]];
    case 11: c += uint32_t(k[10]) << 16; [[fallthrough]];
    case 10: c += uint32_t(k[9]) << 8; [[fallthrough]];
    case 9: c += k[8]; [[fallthrough]];
    case 8: b += uint32_t(k[7]) << 24; [[fallthrough]];
    case 7: b += uint32_t(k[6]) << 16; [[fallthrough]];
    case 6: b += uint32_t(k[5]) << 8; [[fallthrough]];
    case 5: b += k[4]; [[fallthrough]];
    case 4: a += uint32_t(k[3]) << 24; [[fallthrough]];
    case 3: a += uint32_t(k[2]) << 16; [[fallthrough]];
    case 2: a += uint32_t(k[1]) << 8; [[fallthrough]];
    case 1: a += k[0]; break;
    case 0: return c;
    }
    lookup3_final(a, b, c);
    return c;
}

uint64_t hash_fnv1a64(const void *data, size_t length, uint64_t basis)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint64_t hash = basis;
    for (size_t i = 0; i < length; i++) {
        hash ^= p[i];
        hash *= FNV1A64_PRIME;
    }
    return hash;
}

// --- string-keyed table ------------------------------------------------------

uint32_t strhash_prime_size(uint32_t n)
{
    static const uint32_t primes[] = {
        53,      97,      193,      389,      769,      1543,     3079,
        6151,    12289,   24593,    49157,    98317,    196613,   393241,
        786433,  1572869, 3145739,  6291469,  12582917, 25165843, 50331653,
    };
    for (uint32_t prime : primes)
        if (prime >= n)
            return prime;
    return n;
}

strhash *strhash_new(uint32_t bucket_count, uint32_t copy_keys, uint32_t entry_size)
{
    if (bucket_count == 0 || entry_size < sizeof(strhash_entry)) {
        log_error("strhash_new: invalid size %u x %u", bucket_count, entry_size);
        return nullptr;
    }
    // Entries are laid out back to back in the bucket array; round the size
    // up so every entry's pointers stay aligned.
    const uint32_t align = alignof(strhash_entry);
    if (entry_size > UINT32_MAX - align)
        return nullptr;
    entry_size = (entry_size + align - 1) / align * align;
    strhash *table = static_cast<strhash *>(calloc(1, sizeof(strhash)));
    if (table == nullptr)
        return nullptr;
    table->buckets = static_cast<uint8_t *>(calloc(bucket_count, entry_size));
    if (table->buckets == nullptr) {
        free(table);
        return nullptr;
    }
    table->copy_keys = copy_keys ? 1 : 0;
    table->bucket_count = bucket_count;
    table->entry_size = entry_size;
    return table;
}

uint32_t strhash_index_(const strhash *table, const char *key)
{
    return hash_lookup3(key, strlen(key) + 1, 0) % table->bucket_count;
}

strhash_entry *strhash_find(strhash *table, const char *key, int create)
{
    if (table == nullptr || key == nullptr)
        return nullptr;
    uint32_t index = strhash_index_(table, key);
    strhash_entry *head = reinterpret_cast<strhash_entry *>(table->buckets + size_t(index) * table->entry_size);
    if (head->key == nullptr) {
        if (!create)
            return nullptr;
        char *stored = table->copy_keys ? strdup(key) : const_cast<char *>(key);
        if (stored == nullptr)
            return nullptr;
        head->key = stored;
        return head;
    }
    for (strhash_entry *entry = head; entry != nullptr; entry = entry->next)
        if (strcmp(entry->key, key) == 0)
            return entry;
    if (!create)
        return nullptr;
    strhash_entry *entry = static_cast<strhash_entry *>(calloc(1, table->entry_size));
    if (entry == nullptr)
        return nullptr;
    entry->key = table->copy_keys ? strdup(key) : const_cast<char *>(key);
    if (entry->key == nullptr) {
        free(entry);
        return nullptr;
    }
    entry->next = head->next;
    head->next = entry;
    return entry;
}

void strhash_free(strhash **table)
{
    if (table == nullptr || *table == nullptr)
        return;
    strhash *t = *table;
    for (uint32_t i = 0; i < t->bucket_count; i++) {
        strhash_entry *head = reinterpret_cast<strhash_entry *>(t->buckets + size_t(i) * t->entry_size);
        strhash_entry *entry = head->next;
        while (entry != nullptr) {
            strhash_entry *next = entry->next;
            if (t->copy_keys)
                free(entry->key);
            free(entry);
            entry = next;
        }
        if (t->copy_keys)
            free(head->key);
    }
    free(t->buckets);
    free(t);
    *table = nullptr;
}

// --- keyed-list table --------------------------------------------------------

void keylist_free(keylist *list)
{
    if (list == nullptr)
        return;
    if (list->capacity != KEYLIST_BORROWED)
        free(list->keys);
    list->keys = nullptr;
    list->count = 0;
    list->capacity = 0;
}

size_t keyhash_hasher::operator()(int64_t key) const
{
    uint8_t bytes[8];
    uint64_t k = uint64_t(key);
    for (int i = 0; i < 8; i++)
        bytes[i] = uint8_t(k >> (8 * i));
    return size_t(hash_fnv1a64(bytes, sizeof bytes));
}

namespace {

// Room reserved up front whatever count is asked: a count read from a damaged
// file must not drive a huge allocation; the map grows as parents arrive.
constexpr uint32_t KEYHASH_MAX_RESERVE = 1u << 20;

hash_entry new_entry(int64_t key)
{
    hash_entry entry;
    entry.key = key;
    entry.list.capacity = KEYLIST_STEP;
    return entry;
}

} // namespace

int hash_init(keyhash **table, int64_t count)
{
    if (table == nullptr)
        return -12;
    childrencache_free(table);
    if (count <= 0 || count > int64_t(UINT32_MAX)) {
        log_error("hash_init: Invalid number %lld", static_cast<long long>(count));
        return -12;
    }
    try {
        keyhash *t = new keyhash;
        t->bucket_count = uint32_t(count);
        try {
            t->entries.reserve(count < KEYHASH_MAX_RESERVE ? size_t(count) : KEYHASH_MAX_RESERVE);
            t->entries.emplace(1, new_entry(1));
        } catch (...) {
            delete t;
            throw;
        }
        *table = t;
    } catch (const std::bad_alloc &) {
        log_error("hash_init: no memory for %lld", static_cast<long long>(count));
        return -10;
    }
    return 0;
}

hash_entry *hash_find(keyhash *table, int64_t key, int create)
{
    if (table == nullptr)
        return nullptr;
    auto it = table->entries.find(key);
    if (it != table->entries.end())
        return &it->second;
    if (!create)
        return nullptr;
    try {
        return &table->entries.emplace(key, new_entry(key)).first->second;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

int childrencache_add_multiple(keyhash *table, int64_t parent, const int64_t *keys, uint32_t n, int shrink)
{
    if (table == nullptr) {
        log_error("childrencache_add_multiple: Invalid input");
        return -15;
    }
    if (keys == nullptr && n > 0)
        return -12;
    hash_entry *entry = hash_find(table, parent, 1);
    if (entry == nullptr) {
        log_error("childrencache_add_multiple: pid not found for %lld", static_cast<long long>(parent));
        return -1;
    }
    keylist &list = entry->list;
    if (list.capacity == KEYLIST_BORROWED)
        return 0;
    for (uint32_t i = 0; i < n; i++) {
        if (list.keys == nullptr || list.count >= list.capacity) {
            // first storage: the entry's capacity (256 for a new entry); full:
            // 256 more; a capacity cut to nothing by a shrink starts again
            uint64_t capacity = list.keys == nullptr ? list.capacity : uint64_t(list.capacity) + KEYLIST_STEP;
            if (capacity <= list.count)
                capacity = uint64_t(list.count) + KEYLIST_STEP;
            if (capacity >= KEYLIST_BORROWED) {
                log_error("childrencache_add_multiple: list of %lld is full", static_cast<long long>(parent));
                return -10;
            }
            void *grown = realloc(list.keys, size_t(capacity) * sizeof(int64_t));
            if (grown == nullptr) {
                log_error("childrencache_add_multiple: no memory for %llu children of %lld",
                          static_cast<unsigned long long>(capacity),
                          static_cast<long long>(parent));
                return -10;
            }
            list.keys = static_cast<int64_t *>(grown);
            list.capacity = uint32_t(capacity);
        }
        list.keys[list.count++] = keys[i];
    }
    if (shrink == 1 && list.keys != nullptr && list.count < list.capacity) {
        if (list.count == 0) {
            free(list.keys);
            list.keys = nullptr;
            list.capacity = 0;
        } else {
            void *cut = realloc(list.keys, size_t(list.count) * sizeof(int64_t));
            if (cut != nullptr) { // a failed cut keeps the larger storage
                list.keys = static_cast<int64_t *>(cut);
                list.capacity = list.count;
            }
        }
    }
    return 0;
}

int childrencache_add(keyhash *table, int64_t parent, int64_t key)
{
    return childrencache_add_multiple(table, parent, &key, 1, 0);
}

int childrencache_set(keyhash *table, int64_t parent, const int64_t *keys, uint32_t n)
{
    if (table == nullptr) {
        log_error("childrencache_set: Invalid input");
        return -15;
    }
    hash_entry *entry = hash_find(table, parent, 0);
    if (entry == nullptr) {
        log_error("childrencache_set: pid not found for %lld", static_cast<long long>(parent));
        return -1;
    }
    if (keys == nullptr || n == 0 || n == KEYLIST_BORROWED)
        return -12;
    int64_t *copy = static_cast<int64_t *>(malloc(size_t(n) * sizeof(int64_t)));
    if (copy == nullptr) {
        log_error("childrencache_set: no memory for %u children", n);
        return -10;
    }
    memcpy(copy, keys, size_t(n) * sizeof(int64_t));
    keylist_free(&entry->list);
    entry->list.keys = copy;
    entry->list.count = n;
    entry->list.capacity = n;
    return 0;
}

int childrencache_get(keyhash *table, int64_t parent, keylist *out, int borrow)
{
    if (table == nullptr || out == nullptr)
        return -12;
    hash_entry *entry = hash_find(table, parent, 0);
    if (entry == nullptr)
        return -1;
    if (borrow) {
        keylist_free(out);
        out->keys = entry->list.keys;
        out->count = entry->list.count;
        out->capacity = KEYLIST_BORROWED;
        return 0;
    }
    if (entry->list.count == 0 || entry->list.keys == nullptr)
        return 0;
    uint32_t n = entry->list.count;
    int64_t *copy = static_cast<int64_t *>(malloc(size_t(n) * sizeof(int64_t)));
    if (copy == nullptr) {
        log_error("childrencache_get: no memory for %u children", n);
        return -10;
    }
    memcpy(copy, entry->list.keys, size_t(n) * sizeof(int64_t));
    keylist_free(out);
    out->keys = copy;
    out->count = n;
    out->capacity = n;
    return 0;
}

void childrencache_free(keyhash **table)
{
    if (table == nullptr || *table == nullptr)
        return;
    for (auto &item : (*table)->entries)
        keylist_free(&item.second.list);
    delete *table;
    *table = nullptr;
}

// --- bit array ---------------------------------------------------------------

int bitarray_make(bitarray *array, uint64_t count)
{
    if (array == nullptr)
        return -12;
    if (count > BITARRAY_MAX_BITS) {
        log_error("bitarray_make: Count too large: %lld", static_cast<long long>(count));
        return -12;
    }
    uint32_t bytes = uint32_t((count + 7) / 8);
    try {
        std::vector<uint8_t> fresh(bytes, 0);
        array->bytes.swap(fresh);
    } catch (const std::bad_alloc &) {
        log_error("bitarray_make: no memory for %llu bits", static_cast<unsigned long long>(count));
        *array = bitarray();
        return -10;
    }
    array->bit_count = count;
    array->byte_count = bytes;
    return 0;
}

int bitarray_from_bytes(bitarray *array, const void *bytes, uint32_t length)
{
    if (array == nullptr || (bytes == nullptr && length > 0))
        return -12;
    try {
        const uint8_t *p = static_cast<const uint8_t *>(bytes);
        std::vector<uint8_t> fresh(p, p + length);
        array->bytes.swap(fresh);
    } catch (const std::bad_alloc &) {
        *array = bitarray();
        return -10;
    }
    array->bit_count = uint64_t(length) * 8;
    array->byte_count = length;
    return 0;
}

bool bitarray_get(const bitarray *array, uint64_t i, int *bit)
{
    if (array == nullptr || i >= array->bit_count || i / 8 >= array->bytes.size())
        return false;
    if (bit)
        *bit = (array->bytes[i / 8] >> (7 - i % 8)) & 1;
    return true;
}

void bitarray_set(bitarray *array, uint64_t i, int value)
{
    if (array == nullptr || i >= array->bit_count || i / 8 >= array->bytes.size())
        return;
    uint8_t mask = uint8_t(0x80u >> (i % 8));
    if (value == 1)
        array->bytes[i / 8] |= mask;
    else if (value == 0)
        array->bytes[i / 8] &= uint8_t(~mask);
}

const uint8_t *bitarray_data(const bitarray *array, uint32_t *length)
{
    if (array == nullptr) {
        if (length)
            *length = 0;
        return nullptr;
    }
    if (length)
        *length = array->byte_count;
    return array->bytes.data();
}

// --- u64 array ---------------------------------------------------------------

int u64array_make(u64array *array, uint64_t count)
{
    if (array == nullptr)
        return -12;
    if (count > U64ARRAY_MAX_COUNT) {
        log_error("u64array_make: Count too large: %lld", static_cast<long long>(count));
        return -12;
    }
    array->values.clear();
    array->values.shrink_to_fit();
    array->count = 0;
    try {
        array->values.assign(size_t(count), 0);
    } catch (const std::bad_alloc &) {
        log_error("u64array_make: no memory for %llu values", static_cast<unsigned long long>(count));
        return -10;
    }
    array->count = count;
    return 0;
}

int u64array_set(u64array *array, uint64_t i, uint64_t value)
{
    if (array == nullptr || i >= array->count || i >= array->values.size()) {
        log_error("u64array_set: index %llu out of range", static_cast<unsigned long long>(i));
        return -12;
    }
    array->values[i] = value;
    return 0;
}

int u64array_get(const u64array *array, uint64_t i, uint64_t *value)
{
    if (value)
        *value = 0;
    if (array == nullptr || i >= array->count || i >= array->values.size()) {
        log_error("u64array_get: index %llu out of range", static_cast<unsigned long long>(i));
        return -12;
    }
    if (value)
        *value = array->values[i];
    return 0;
}

int u64array_from_bytes(u64array *array, const void *bytes, size_t length)
{
    if (array == nullptr || bytes == nullptr || length < 8)
        return -12;
    uint64_t count = length / 8;
    int status = u64array_make(array, count);
    if (status != 0)
        return status;
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    for (uint64_t i = 0; i < count; i++) {
        uint64_t v = 0;
        for (int b = 7; b >= 0; b--)
            v = v << 8 | p[i * 8 + b];
        array->values[i] = v;
    }
    return 0;
}

int u64array_unpack(u64array *array, ZV::MsgPack *packer)
{
    if (array == nullptr || packer == nullptr)
        return -12;
    const uint8_t *data = nullptr;
    uint32_t length = 0;
    if (!packer->getBytes(&data, &length) || length % 8 != 0) {
        log_error("u64array_unpack: bad value block");
        return -12;
    }
    return u64array_from_bytes(array, data, length);
}

int u64array_pack(const u64array *array, ZV::MsgPack *packer)
{
    if (array == nullptr || packer == nullptr || array->count == 0 || array->count > ZV::MsgPack::maxItemLength / 8)
        return -1;
    try {
        std::vector<uint8_t> bytes(size_t(array->count) * 8);
        for (uint64_t i = 0; i < array->count; i++)
            for (int b = 0; b < 8; b++)
                bytes[i * 8 + b] = uint8_t(array->values[i] >> (8 * b));
        if (!packer->addBytes(bytes.data(), bytes.size())) {
            log_error("u64array_pack: write failed");
            return -1;
        }
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
}
