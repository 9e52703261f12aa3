// The in-memory facts of a catalog and the two files that keep them beside
// cat.db, so that listing children, testing folders and reading sizes never
// needs SQL once a catalog is open for reading.
//
// "db-cache":
//
//   offset  size  field
//   0       8     FNV-1a 64 (basis 0xcbf29ce484222325, prime 0x100000001b3)
//                 of every byte from offset 8 to the end, little-endian
//   8       rest  packed items (foundation/msgpack.h), in order:
//                   file count    signed 64-bit item
//                   folder count  signed 64-bit item
//                   total size    signed 64-bit item (sum of `size` over rows)
//                   size block    byte block, items x 8 bytes: the size of
//                                 every keynum as a u64 little-endian
//                                 (folders and absent keynums hold 0)
//                   folder block  byte block, ceil(items / 8) bytes: keynum k
//                                 is bit 7 - k % 8 of byte k / 8, 1 = folder
//                   children hash byte block, 8 bytes: FNV-1a 64 of the whole
//                                 "children_cache" written with it,
//                                 little-endian
//
//   items is files + folders + 1 for catalogs numbered 1..n without gaps
//   (every catalog this system writes); a catalog whose ids leave gaps gets
//   max(id) + 1. The reader takes items from the size block and requires
//   items >= files + folders + 1, the folder block to be exactly
//   ceil(items / 8) bytes and nothing after the children hash. A db-cache
//   written before the children hash was kept ends after the folder block:
//   it parses, but the catalog does not use it (the caches are rebuilt).
//   Sizes read back (and the total) are clamped like every size the catalog
//   hands out: a value above INT64_MAX reads as 0.
//
// "children_cache":
//
//   offset  size  field
//   0       4     number of records, u32 little-endian
//   4       rest  records: parent keynum (packed signed 64-bit item), child
//                 count n (packed unsigned 32-bit item), n child keynums
//                 (packed signed 64-bit items, in "nodes" row order)
//
//   Records may come in any order; records of 0 children are skipped. The
//   root row (pid NULL) is a child of keynum 0, so every row is the child of
//   exactly one record. The file has no check value of its own: its hash is
//   kept in db-cache (above), and a file whose bytes do not hash to it is
//   not read. The reader also requires: a record count that the file's size
//   can hold, every keynum below items, no parent twice and no child twice,
//   the children adding up to files + folders, and the file consumed
//   exactly.
//
// Before either file is believed, db-cache is checked against "nodes": its
// files + folders must be the row count and its items max(rows, max(id)) + 1,
// so caches left from other rows are not used.
//
// Both files are written to "<name>.tmp", synced and renamed over the old
// one, children_cache first and db-cache last, so a crash leaves either the
// old pair, or a new children_cache with an old or missing db-cache (whose
// children hash then does not match). Any failed read rebuilds both from
// "SELECT id, pid, is_dir, size FROM nodes;".
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scan/catalog/catdb.h"
#include "scan/catalog/hash_tables.h"

constexpr const char *CATDB_CACHE_FILE = "db-cache";
constexpr const char *CATDB_CHILDREN_FILE = "children_cache";

// What "db-cache" holds, parsed.
struct dbcache_contents {
    int64_t file_count = 0;
    int64_t folder_count = 0;
    int64_t total_size = 0;
    uint64_t item_count = 0; // from the size block
    u64array sizes;
    bitarray folders;
    bool has_children_hash = false; // false for a db-cache of the older layout
    uint64_t children_hash = 0;     // FNV-1a 64 of "children_cache"
};

// Pure parse of a whole "db-cache" image. -23 when empty, -12 when too
// short, with a hash mismatch ("dbcache_parse: Invalid hash"), a failed
// unpack or an inconsistent length; 0 otherwise (sizes clamped).
int dbcache_parse(const uint8_t *data, size_t size, dbcache_contents *out);
// Builds a whole "db-cache" image (check value first) from the counts, the
// per-keynum arrays and the hash of the children file written with it. 0,
// -1 when the items cannot be packed, -10 no memory.
int dbcache_build(int64_t files, int64_t folders, int64_t total_size, const u64array *sizes,
                  const bitarray *folder_bits, uint64_t children_hash, std::vector<uint8_t> *out);

// Pure parse of a whole "children_cache" image for a catalog of item_count
// keynums holding row_count rows. *out is replaced by a new table on
// success (and left null on failure). -34 header unreadable, -12 any rule
// above broken, -10 no memory.
int childrencache_parse(const uint8_t *data, size_t size, uint64_t item_count, uint64_t row_count,
                        keyhash **out);

// Reads folder/name with childrencache_parse. -1 when the file is missing;
// with expected_hash given, -12 ("childrencache_read: Invalid hash") when
// the file's FNV-1a 64 is another.
int childrencache_read(keyhash **cache, const char *folder, const char *name, uint64_t item_count,
                       uint64_t row_count, const uint64_t *expected_hash = nullptr);
// Writes the table to folder/name atomically, records in ascending parent
// order, lists of 0 children left out; *hash (when given) gets the FNV-1a 64
// of the bytes written. -12 for a null or empty table, -3 on a write failure.
int childrencache_write(const keyhash *cache, const char *folder, const char *name, uint64_t *hash = nullptr);

// Catalog operations (the catalog lock held by the caller, a connection open).
// Loads both files into the catalog state; 0, or the failing step's code.
int catdb_read_cache_(catdb *db);
// Rebuilds the state from "nodes" and saves both files; returns the save's
// result (-12 when the catalog has no folder: nothing to list).
int catdb_regenerate_cache_(catdb *db);
// Saves both files from the state.
int catdb_write_cache_(catdb *db);
