// Small containers of the scan and catalog code, as plain records with
// functions:
//
//   strhash      a string-keyed hash table with prime bucket counts whose
//                entries are caller-sized blocks (next pointer, key pointer,
//                then the caller's fields); bucket = lookup3 hashlittle over
//                the key and its NUL, initial value 0, modulo the bucket count
//   keyhash      a table of 64-bit keys to growable lists of 64-bit keys (the
//                children cache of a catalog: parent keynum -> child keynums)
//   bitarray     a bit array, first bit in the high bit of byte 0 (MSB first)
//   u64array     an array of u64 indexed by keynum, at most 2^32 - 1 values
//
// Implementation notes:
// - The keyed-list table is a std::unordered_map (hashed with FNV-1a 64 over
//   the key's eight little-endian bytes) of entries {key, list, count,
//   capacity}. Each key has exactly one entry; the bucket-head entries with
//   key 1 of a hand-made chain table are not modelled, except that a fresh
//   table holds one empty entry for key 1 (the root of a catalog), which
//   `hash_find` finds without creating. Entries are map nodes, so a pointer
//   to one stays valid until the table is freed.
// - Lists grow by 256 keys; a capacity of KEYLIST_BORROWED marks storage the
//   list does not own: it is never appended to, reallocated or freed.
// - Every index into a bit array or u64 array is checked against its count.
//
// Not promised: thread safety. The owner of a table serialises its use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace ZV {
class MsgPack;
}

// --- hashes -----------------------------------------------------------------

// lookup3 hashlittle (Jenkins, public domain) over length bytes with an
// initial value; byte-order independent as computed here.
uint32_t hash_lookup3(const void *data, size_t length, uint32_t initval);

enum : uint64_t {
    FNV1A64_BASIS = 0xcbf29ce484222325ull, // offset basis
    FNV1A64_PRIME = 0x100000001b3ull,
};

// FNV-1a 64 over length bytes, starting from basis (FNV1A64_BASIS for a
// fresh hash; a previous result to continue one).
uint64_t hash_fnv1a64(const void *data, size_t length, uint64_t basis = FNV1A64_BASIS);

// --- string-keyed table ------------------------------------------------------

// Every entry begins with this header; the caller's fields follow it within
// the entry size given at creation.
struct strhash_entry {
    strhash_entry *next; // next entry of the same bucket (chained blocks)
    char *key;           // NULL for an unused bucket head
};

struct strhash {
    uint32_t copy_keys;   // 1: keys are duplicated on insertion (and freed)
    uint32_t bucket_count;
    uint32_t entry_size;  // >= sizeof(strhash_entry)
    uint8_t *buckets;     // bucket_count entries of entry_size, zeroed at creation
};

// The first of the 21 primes 53, 97, ..., 50331653 that is at least n, or n
// itself when it is larger than all of them.
uint32_t strhash_prime_size(uint32_t n);

// A new table, or NULL when out of memory, when bucket_count is 0 or when
// entry_size is below sizeof(strhash_entry).
strhash *strhash_new(uint32_t bucket_count, uint32_t copy_keys, uint32_t entry_size);

// Bucket index of a key: hash_lookup3(key with its NUL, 0) % bucket count.
uint32_t strhash_index_(const strhash *table, const char *key);

// The entry with exactly this key. Without create: NULL when absent. With
// create: an absent key gets an entry (the bucket head when unused, else a
// new zero-filled block linked right after the head) holding the key (a copy
// when the table copies keys). NULL for a NULL table or key, or when memory
// runs out. Entries never move: they stay valid until strhash_free.
strhash_entry *strhash_find(strhash *table, const char *key, int create);

// Frees the chained blocks, copied keys, the bucket array and the table;
// nulls *table. NULL is ignored.
void strhash_free(strhash **table);

// --- keyed-list table (children cache) ---------------------------------------

enum : uint32_t {
    KEYLIST_STEP = 256,               // lists grow by this many keys
    KEYLIST_BORROWED = 0xFFFFFFFFu,   // capacity of storage not owned
};

// A list of keys. Owned storage comes from malloc/realloc; borrowed storage
// (capacity KEYLIST_BORROWED) belongs to someone else.
struct keylist {
    int64_t *keys = nullptr;
    uint32_t count = 0;
    uint32_t capacity = 0;
};

// Frees owned storage (borrowed storage is left alone) and empties the list.
void keylist_free(keylist *list);

struct hash_entry {
    int64_t key;       // the parent keynum
    keylist list;      // its children; a new entry has no storage, capacity 256
};

struct keyhash_hasher {
    size_t operator()(int64_t key) const;  // FNV-1a 64 over the 8 LE bytes
};

struct keyhash {
    uint32_t bucket_count;  // as asked at hash_init (informational)
    std::unordered_map<int64_t, hash_entry, keyhash_hasher> entries;
};

// Makes *table a new table sized for count parents. A count of 0 or less,
// or above UINT32_MAX, logs "hash_init: Invalid number %lld", leaves *table
// NULL and returns -12; no memory -10. The table starts with one empty entry
// for key 1. An existing *table is freed first.
int hash_init(keyhash **table, int64_t count);

// The entry of key. NULL for a NULL table; an absent key gives NULL without
// create, and with create a new entry (no storage, count 0, capacity 256).
hash_entry *hash_find(keyhash *table, int64_t key, int create);

// Appends n keys to the list of parent (created when absent). A borrowed list
// is left as it is (0). With shrink 1 the storage is cut to the count after.
// NULL table: "%s: Invalid input", -15; keys NULL with n > 0: -12; no memory
// while growing: -10 (the keys appended so far stay).
int childrencache_add_multiple(keyhash *table, int64_t parent, const int64_t *keys, uint32_t n, int shrink);
int childrencache_add(keyhash *table, int64_t parent, int64_t key);

// Replaces the list of an existing parent with a copy of n keys (count =
// capacity = n), freeing an owned old list. NULL table: -15; no entry for the
// parent: "%s: pid not found for %lld", -1; no keys or n = 0: -12 (old list
// kept); no memory: -10 (old list kept).
int childrencache_set(keyhash *table, int64_t parent, const int64_t *keys, uint32_t n);

// Hands out the list of parent. NULL table or out: -12; parent absent: -1.
// borrow 1: *out points at the entry's own storage, capacity KEYLIST_BORROWED
// (valid until the entry changes). Otherwise, when the entry has keys, the
// owned storage of *out is freed and replaced by a copy (count = capacity =
// n; no memory -10); an entry without keys leaves *out as it is.
int childrencache_get(keyhash *table, int64_t parent, keylist *out, int borrow);

// Frees owned lists and the table; nulls *table. NULL is ignored.
void childrencache_free(keyhash **table);

// --- bit array ---------------------------------------------------------------

struct bitarray {
    uint64_t bit_count = 0;
    uint32_t byte_count = 0;        // ceil(bit_count / 8)
    std::vector<uint8_t> bytes;     // byte_count bytes
};

enum : uint64_t { BITARRAY_MAX_BITS = uint64_t(UINT32_MAX) * 8 };

// count bits, all clear. A count above BITARRAY_MAX_BITS: -12; no memory -10
// (the array is then empty).
int bitarray_make(bitarray *array, uint64_t count);
// length x 8 bits copied from bytes (NULL with length 0 makes an empty array).
int bitarray_from_bytes(bitarray *array, const void *bytes, uint32_t length);
// false when i is at or beyond the bit count (or array is NULL).
bool bitarray_get(const bitarray *array, uint64_t i, int *bit);
// value 1 sets, 0 clears; other values and i out of range do nothing.
void bitarray_set(bitarray *array, uint64_t i, int value);
// The bytes and their count.
const uint8_t *bitarray_data(const bitarray *array, uint32_t *length);

// --- u64 array ---------------------------------------------------------------

struct u64array {
    uint64_t count = 0;
    std::vector<uint64_t> values;
};

enum : uint64_t { U64ARRAY_MAX_COUNT = uint64_t(UINT32_MAX) };

// count zeroed values, replacing old ones. count above U64ARRAY_MAX_COUNT:
// "u64array_make: Count too large: %lld", -12; no memory: -10 (count 0).
int u64array_make(u64array *array, uint64_t count);
// Bounds-checked access: an index at or beyond the count logs and gives -12
// (get then leaves *value 0).
int u64array_set(u64array *array, uint64_t i, uint64_t value);
int u64array_get(const u64array *array, uint64_t i, uint64_t *value);
// count = length / 8 values copied from little-endian bytes; NULL or a length
// below 8: -12; no memory -10.
int u64array_from_bytes(u64array *array, const void *bytes, size_t length);
// One byte block of count x 8 bytes (little-endian values). Read failure or a
// block whose length is not a multiple of 8: -12. Write failure: -1.
int u64array_unpack(u64array *array, ZV::MsgPack *packer);
int u64array_pack(const u64array *array, ZV::MsgPack *packer);
