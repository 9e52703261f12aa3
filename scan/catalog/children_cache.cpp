// The catalog's in-memory facts and their two cache files, "db-cache" and
// "children_cache" (layouts in children_cache.h).
//
// Implementation notes:
// - Parsing is split from reading: dbcache_parse and childrencache_parse
//   take whole file images and are what the tests and the fuzz target call.
// - The per-keynum arrays have max(files + folders + 1, max(id) + 1)
//   entries, so that no row's id can fall outside them. Our writers number
//   ids 1..n, where both are the same; ids far sparser than the row count
//   (CATDB_MAX_ID_SLACK) mean a damaged catalog, refused rather than
//   allocated for.
// - The rebuild counts files, folders and sizes in the same pass that
//   fills the lists, so the cross-check "children add up to the rows" holds
//   by construction for every cache this system writes.
// - A row whose pid is NULL (the root) or names no keynum of the catalog is
//   listed under keynum 0, which no row uses.
// - children_cache is believed only when its bytes hash to the value kept in
//   db-cache and db-cache agrees with the row count and largest id of
//   "nodes". Its structural rules alone let a few bit flips through (a
//   flipped child count can move a node under another parent and still add
//   up); a cache is derived data, so anything doubtful is rebuilt.
// - Sizes are clamped where they are read back (catdb_stored_size_), so that
//   no counter or listing ever sees a negative row size as a huge one.
#include "scan/catalog/children_cache.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include <sqlite3.h>

#include "foundation/buffer.h"
#include "foundation/byte_stream.h"
#include "foundation/log.h"
#include "foundation/msgpack.h"
#include "foundation/sysutil.h"
#include "scan/catalog/catdb_internal.h"

namespace {

// Largest cache file read into memory. The size block of 8 bytes per keynum
// is one packed item, limited to ZV::MsgPack::maxItemLength (256 MiB, 33.5
// million keynums); twice that is above any file this system writes.
constexpr uint64_t CATDB_MAX_CACHE_FILE = 2 * (uint64_t)ZV::MsgPack::maxItemLength + 4096;

// Keynums a rebuild accepts beyond 4 x (rows + 1): a catalog whose ids are
// sparser than that is damaged (our writers leave no gaps).
constexpr uint64_t CATDB_MAX_ID_SLACK = 1u << 20;

// Smallest packed record of children_cache: parent (2 bytes) + count (2 bytes).
constexpr size_t MIN_RECORD_BYTES = 4;
// Smallest packed child keynum: header + one value byte.
constexpr size_t MIN_CHILD_BYTES = 2;

} // namespace

int catdb_read_file_(const std::string &path, uint64_t limit, std::vector<uint8_t> *out, const char *caller)
{
    out->clear();
    // O_NONBLOCK: a FIFO under a cache's name is refused below, not waited for.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? -23 : -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    if ((uint64_t)info.st_size > limit) {
        log_error("%s: %s is too large (%lld bytes)", caller, path.c_str(), (long long)info.st_size);
        close(fd);
        return -12;
    }
    if (info.st_size == 0) {
        close(fd);
        return -23;
    }
    out->resize((size_t)info.st_size);
    size_t done = 0;
    while (done < out->size()) {
        ssize_t n = read(fd, out->data() + done, out->size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += (size_t)n;
    }
    close(fd);
    if (done != out->size()) {
        log_error("%s: Couldn't read bytes of %s", caller, path.c_str());
        out->clear();
        return -1;
    }
    return 0;
}

namespace {

// A packer over a copy of bytes, positioned at their start.
struct Reader {
    ZV::Buffer buffer;
    std::shared_ptr<ZV::ByteStreamBuffer> stream;
    std::unique_ptr<ZV::MsgPack> packer;

    Reader(const uint8_t *data, size_t size) : buffer(data, size)
    {
        stream = std::make_shared<ZV::ByteStreamBuffer>(&buffer, ZV::ByteStream::modeRead);
        packer = std::make_unique<ZV::MsgPack>(stream);
    }
    bool atEnd() const { return stream->position() == buffer.length(); }
    uint64_t left() const { return buffer.length() - stream->position(); }
};

// A packer writing into a buffer.
struct Writer {
    ZV::Buffer buffer;
    std::shared_ptr<ZV::ByteStreamBuffer> stream;
    std::unique_ptr<ZV::MsgPack> packer;

    Writer()
    {
        stream = std::make_shared<ZV::ByteStreamBuffer>(&buffer, ZV::ByteStream::modeWrite);
        packer = std::make_unique<ZV::MsgPack>(stream);
    }
};

} // namespace

// --- db-cache ---------------------------------------------------------------------------

int dbcache_parse(const uint8_t *data, size_t size, dbcache_contents *out)
{
    if (out == nullptr || (data == nullptr && size > 0))
        return -12;
    if (size == 0)
        return -23;
    if (size < 9)
        return -12;
    if (size > ZV::Buffer::maxLength)
        return -12;
    if (hash_fnv1a64(data + 8, size - 8) != get_le64(data)) {
        log_error("%s: Invalid hash", "dbcache_parse");
        return -12;
    }
    Reader reader(data + 8, size - 8);
    int64_t files, folders, total;
    if (!reader.packer->getInt64(&files) || !reader.packer->getInt64(&folders) ||
        !reader.packer->getInt64(&total))
        return -12;
    if (files < 0 || folders < 0 || (uint64_t)files > U64ARRAY_MAX_COUNT ||
        (uint64_t)folders > U64ARRAY_MAX_COUNT - 1 - (uint64_t)files)
        return -12;
    uint64_t minimum_items = (uint64_t)files + (uint64_t)folders + 1;

    const uint8_t *block = nullptr;
    uint32_t length = 0;
    if (!reader.packer->getBytes(&block, &length) || length % 8 != 0)
        return -12;
    uint64_t items = length / 8;
    if (items < minimum_items || items > U64ARRAY_MAX_COUNT)
        return -12;
    dbcache_contents parsed;
    int rc = u64array_from_bytes(&parsed.sizes, block, length);
    if (rc != 0)
        return rc;
    for (uint64_t &size : parsed.sizes.values)
        size = catdb_stored_size_((int64_t)size);
    if (!reader.packer->getBytes(&block, &length) || length != (items + 7) / 8)
        return -12;
    rc = bitarray_from_bytes(&parsed.folders, block, length);
    if (rc != 0)
        return rc;
    if (!reader.atEnd()) {
        if (!reader.packer->getBytes(&block, &length) || length != 8)
            return -12;
        parsed.has_children_hash = true;
        parsed.children_hash = get_le64(block);
    }
    if (!reader.atEnd())
        return -12;
    parsed.file_count = files;
    parsed.folder_count = folders;
    parsed.total_size = (int64_t)catdb_stored_size_(total);
    parsed.item_count = items;
    *out = std::move(parsed);
    return 0;
}

int dbcache_build(int64_t files, int64_t folders, int64_t total_size, const u64array *sizes,
                  const bitarray *folder_bits, uint64_t children_hash, std::vector<uint8_t> *out)
{
    if (sizes == nullptr || folder_bits == nullptr || out == nullptr)
        return -12;
    try {
        Writer writer;
        uint8_t placeholder[8] = {0};
        uint8_t children[8];
        set_le(children, children_hash, 8);
        uint32_t length = 0;
        const uint8_t *bits = bitarray_data(folder_bits, &length);
        if (writer.stream->write(placeholder, 8) != 8 || !writer.packer->addInt64(files) ||
            !writer.packer->addInt64(folders) || !writer.packer->addInt64(total_size) ||
            u64array_pack(sizes, writer.packer.get()) != 0 || !writer.packer->addBytes(bits, length) ||
            !writer.packer->addBytes(children, sizeof children))
            return -1;
        uint8_t *bytes = writer.buffer.data();
        set_le(bytes, hash_fnv1a64(bytes + 8, writer.buffer.length() - 8), 8);
        out->assign(bytes, bytes + writer.buffer.length());
        return 0;
    } catch (const std::exception &) {
        return -10;
    }
}

// --- children_cache -----------------------------------------------------------------------

int childrencache_parse(const uint8_t *data, size_t size, uint64_t item_count, uint64_t row_count,
                        keyhash **out)
{
    if (out == nullptr || (data == nullptr && size > 0))
        return -12;
    *out = nullptr;
    if (size < 4)
        return -34;
    if (size > ZV::Buffer::maxLength || item_count == 0 || item_count > U64ARRAY_MAX_COUNT)
        return -12;
    uint32_t records = get_le32(data);
    if (records > (size - 4) / MIN_RECORD_BYTES) {
        log_error("childrencache_parse: %u records cannot fit in %zu bytes", records, size);
        return -12;
    }
    keyhash *table = nullptr;
    int64_t buckets = records < 5 ? 5 : (int64_t)records + records / 5;
    int rc = hash_init(&table, buckets);
    if (rc != 0)
        return rc;
    std::unique_ptr<keyhash *, void (*)(keyhash **)> guard(&table, childrencache_free);

    bitarray seen; // keynums already listed as a child
    rc = bitarray_make(&seen, item_count);
    if (rc != 0)
        return rc;
    Reader reader(data + 4, size - 4);
    std::vector<int64_t> scratch;
    uint64_t children_total = 0;
    for (uint32_t r = 0; r < records; ++r) {
        int64_t parent;
        uint32_t n;
        if (!reader.packer->getInt64(&parent) || !reader.packer->getUInt32(&n))
            return -12;
        if (parent < 0 || (uint64_t)parent >= item_count)
            return -12;
        if (n == 0)
            continue;
        if (n > reader.left() / MIN_CHILD_BYTES || n > row_count - children_total)
            return -12;
        hash_entry *entry = hash_find(table, parent, 0);
        if (entry != nullptr && entry->list.count > 0)
            return -12; // the same parent twice
        scratch.resize(n);
        for (uint32_t i = 0; i < n; ++i) {
            int64_t child;
            if (!reader.packer->getInt64(&child) || child < 0 || (uint64_t)child >= item_count)
                return -12;
            int bit = 0;
            bitarray_get(&seen, (uint64_t)child, &bit);
            if (bit)
                return -12; // a child under two parents, or twice under one
            bitarray_set(&seen, (uint64_t)child, 1);
            scratch[i] = child;
        }
        rc = childrencache_add_multiple(table, parent, scratch.data(), n, 1);
        if (rc != 0)
            return rc;
        children_total += n;
    }
    if (!reader.atEnd() || children_total != row_count)
        return -12;
    guard.release();
    *out = table;
    return 0;
}

int childrencache_read(keyhash **cache, const char *folder, const char *name, uint64_t item_count,
                       uint64_t row_count, const uint64_t *expected_hash)
{
    if (cache == nullptr || folder == nullptr || name == nullptr)
        return -12;
    std::string path = std::string(folder) + "/" + name;
    // Each child takes at most 9 bytes, each record at most 14 more.
    uint64_t limit = 4 + row_count * 9 + item_count * 14;
    std::vector<uint8_t> bytes;
    int rc = catdb_read_file_(path, limit, &bytes, "childrencache_read");
    if (rc == -23 && access(path.c_str(), F_OK) != 0)
        return -1;
    if (rc == -23)
        return -34; // empty: no header
    if (rc != 0)
        return rc;
    if (expected_hash != nullptr && hash_fnv1a64(bytes.data(), bytes.size()) != *expected_hash) {
        log_error("%s: Invalid hash", "childrencache_read");
        return -12;
    }
    keyhash *table = nullptr;
    rc = childrencache_parse(bytes.data(), bytes.size(), item_count, row_count, &table);
    if (rc != 0)
        return rc;
    childrencache_free(cache);
    *cache = table;
    return 0;
}

int childrencache_write(const keyhash *cache, const char *folder, const char *name, uint64_t *hash)
{
    if (cache == nullptr || folder == nullptr || name == nullptr)
        return -12;
    std::vector<const hash_entry *> entries;
    for (const auto &item : cache->entries)
        if (item.second.list.count > 0)
            entries.push_back(&item.second);
    if (entries.empty())
        return -12;
    std::sort(entries.begin(), entries.end(),
              [](const hash_entry *a, const hash_entry *b) { return a->key < b->key; });
    if (entries.size() > UINT32_MAX)
        return -12;
    try {
        Writer writer;
        uint32_t records = (uint32_t)entries.size();
        uint8_t header[4] = {(uint8_t)records, (uint8_t)(records >> 8), (uint8_t)(records >> 16),
                             (uint8_t)(records >> 24)};
        if (writer.stream->write(header, 4) != 4)
            return -3;
        for (const hash_entry *entry : entries) {
            if (!writer.packer->addInt64(entry->key) || !writer.packer->addUInt32(entry->list.count))
                return -3;
            for (uint32_t i = 0; i < entry->list.count; ++i)
                if (!writer.packer->addInt64(entry->list.keys[i]))
                    return -3;
        }
        std::string path = std::string(folder) + "/" + name;
        if (hash != nullptr)
            *hash = hash_fnv1a64(writer.buffer.data(), writer.buffer.length());
        return catdb_write_file_atomic_(path, writer.buffer.data(), writer.buffer.length(), "childrencache_write");
    } catch (const std::exception &) {
        log_error("childrencache_write: out of memory");
        return -10;
    }
}

// --- catalog state ---------------------------------------------------------------------------

void catdb_free_facts_(catdb_state *state)
{
    childrencache_free(&state->children);
    state->sizes = u64array();
    state->folders = bitarray();
    state->parents.clear();
    state->parents.shrink_to_fit();
    state->file_count = state->folder_count = state->total_size = state->item_count = 0;
}

int catdb_index_parents_(catdb_state *state)
{
    try {
        state->parents.assign(state->item_count, -1);
    } catch (const std::exception &) {
        return -10;
    }
    if (state->children == nullptr)
        return 0;
    for (const auto &item : state->children->entries) {
        const keylist &list = item.second.list;
        for (uint32_t i = 0; i < list.count; ++i)
            if (list.keys[i] >= 0 && (uint64_t)list.keys[i] < state->item_count)
                state->parents[(size_t)list.keys[i]] = item.first;
    }
    return 0;
}

namespace {

// The keynum count a catalog of rows rows whose largest id is max_id needs,
// or 0 when its ids are too sparse to be ours (logged).
uint64_t items_for(int64_t rows, int64_t max_id)
{
    if (rows < 0 || max_id < 0)
        return 0;
    uint64_t items = std::max<uint64_t>((uint64_t)rows + 1, (uint64_t)max_id + 1);
    if (items > U64ARRAY_MAX_COUNT || items > 4 * ((uint64_t)rows + 1) + CATDB_MAX_ID_SLACK) {
        log_error("catdb_regenerate_cache_: ids up to %lld for %lld rows: the catalog is damaged", (long long)max_id,
                  (long long)rows);
        return 0;
    }
    return items;
}

// Row count and largest id of "nodes" (two queries that need no scan of
// the rows' contents). 0 or the query's failure.
int count_rows(catdb *db, int64_t *rows, int64_t *max_id)
{
    int rc = catdb_get_int64_for_sql_(db, "SELECT COUNT(*) FROM nodes;", rows);
    if (rc == 0)
        rc = catdb_get_int64_for_sql_(db, "SELECT IFNULL(MAX(id), 0) FROM nodes;", max_id);
    return rc;
}

// Caches describe the rows as a rebuild found them: files + folders are the
// rows and items follows from the largest id. Caches of other rows (a
// catalog changed behind the catalog's back, or files put beside it) are not
// believed: -12, logged.
int check_against_nodes(catdb *db, uint64_t rows, uint64_t items)
{
    int64_t count = 0, max_id = 0;
    int rc = count_rows(db, &count, &max_id);
    if (rc != 0)
        return rc;
    if (count < 0 || max_id < 0 || (uint64_t)count != rows ||
        items != std::max<uint64_t>((uint64_t)count + 1, (uint64_t)max_id + 1)) {
        log_info("catdb_read_cache_: the caches count %llu rows in %llu keynums; nodes holds %lld rows up to id %lld",
                 (unsigned long long)rows, (unsigned long long)items, (long long)count, (long long)max_id);
        return -12;
    }
    return 0;
}

} // namespace

int catdb_read_cache_(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    catdb_state *state = db->state;
    std::lock_guard<std::recursive_mutex> hold(state->lock);
    catdb_free_facts_(state);
    std::vector<uint8_t> bytes;
    int rc = catdb_read_file_(catdb_file_path_(state, CATDB_CACHE_FILE), CATDB_MAX_CACHE_FILE, &bytes,
                             "catdb_read_cache_");
    if (rc != 0)
        return rc;
    dbcache_contents contents;
    rc = dbcache_parse(bytes.data(), bytes.size(), &contents);
    if (rc != 0)
        return rc;
    bytes.clear();
    bytes.shrink_to_fit();
    if (!contents.has_children_hash) {
        log_info("catdb_read_cache_: db-cache of an older layout (no check value of children_cache)");
        return -12;
    }
    uint64_t rows = (uint64_t)contents.file_count + (uint64_t)contents.folder_count;
    rc = check_against_nodes(db, rows, contents.item_count);
    if (rc != 0)
        return rc;
    keyhash *children = nullptr;
    rc = childrencache_read(&children, state->folder.c_str(), CATDB_CHILDREN_FILE, contents.item_count, rows,
                            &contents.children_hash);
    if (rc != 0) {
        log_info("catdb_read_cache_: children_cache unusable (%d)", rc);
        return rc;
    }
    state->file_count = (uint64_t)contents.file_count;
    state->folder_count = (uint64_t)contents.folder_count;
    state->total_size = (uint64_t)contents.total_size;
    state->item_count = contents.item_count;
    state->sizes = std::move(contents.sizes);
    state->folders = std::move(contents.folders);
    state->children = children;
    rc = catdb_index_parents_(state);
    if (rc != 0)
        catdb_free_facts_(state);
    return rc;
}

int catdb_regenerate_cache_(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    catdb_state *state = db->state;
    std::lock_guard<std::recursive_mutex> hold(state->lock);
    catdb_free_facts_(state);
    if (db->conn == nullptr)
        return -12;
    int64_t rows = 0, max_id = 0;
    int rc = count_rows(db, &rows, &max_id);
    if (rc != 0)
        return rc;
    const uint64_t items = items_for(rows, max_id);
    if (items == 0)
        return -12;
    rc = u64array_make(&state->sizes, items);
    if (rc == 0)
        rc = bitarray_make(&state->folders, items);
    if (rc == 0)
        rc = hash_init(&state->children, rows > 0 ? rows / 4 + 1 : 1);
    if (rc != 0) {
        catdb_free_facts_(state);
        return rc;
    }

    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db->conn, "SELECT id, pid, is_dir, size FROM nodes;", -1, &stmt, nullptr) != SQLITE_OK) {
        CATDB_LOG_SQLITE(db->conn);
        catdb_free_facts_(state);
        return -40;
    }
    uint64_t files = 0, folders = 0, total = 0, skipped = 0;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        int64_t id = sqlite3_column_int64(stmt, 0);
        if (sqlite3_column_type(stmt, 0) != SQLITE_INTEGER || id < 0 || (uint64_t)id >= items) {
            ++skipped;
            continue;
        }
        int64_t pid = sqlite3_column_int64(stmt, 1);
        if (sqlite3_column_type(stmt, 1) == SQLITE_NULL || pid < 0 || (uint64_t)pid >= items)
            pid = 0;
        const uint64_t size = catdb_stored_size_(sqlite3_column_int64(stmt, 3));
        total = catdb_add_sizes_(total, size);
        if (sqlite3_column_int64(stmt, 2) != 0) {
            bitarray_set(&state->folders, (uint64_t)id, 1);
            ++folders;
        } else {
            u64array_set(&state->sizes, (uint64_t)id, size);
            ++files;
        }
        int added = childrencache_add(state->children, pid, id);
        if (added != 0) {
            sqlite3_finalize(stmt);
            catdb_free_facts_(state);
            return added;
        }
    }
    if (rc != SQLITE_DONE) {
        CATDB_LOG_SQLITE(db->conn);
        sqlite3_finalize(stmt);
        catdb_free_facts_(state);
        return -40;
    }
    sqlite3_finalize(stmt);
    if (skipped > 0)
        log_warning("catdb_regenerate_cache_: %llu rows without a usable id left out",
                    (unsigned long long)skipped);
    state->file_count = files;
    state->folder_count = folders;
    state->total_size = total;
    state->item_count = items;
    if (folders == 0) {
        log_error("%s: Invalid number %lld", "catdb_regenerate_cache_", 0ll);
        catdb_free_facts_(state);
        return -12;
    }
    rc = catdb_index_parents_(state);
    if (rc == 0)
        rc = catdb_write_cache_(db);
    if (rc != 0)
        catdb_free_facts_(state);
    return rc;
}

int catdb_write_cache_(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    catdb_state *state = db->state;
    std::lock_guard<std::recursive_mutex> hold(state->lock);
    if (state->folder.empty()) {
        log_error("%s: Couldn't get db path", "catdb_write_cache_");
        return -12;
    }
    uint64_t children_hash = 0;
    int rc = childrencache_write(state->children, state->folder.c_str(), CATDB_CHILDREN_FILE, &children_hash);
    if (rc != 0) {
        log_error("%s: error", "catdb_write_cache_");
        return rc;
    }
    std::vector<uint8_t> image;
    rc = dbcache_build((int64_t)state->file_count, (int64_t)state->folder_count, (int64_t)state->total_size,
                       &state->sizes, &state->folders, children_hash, &image);
    if (rc == 0)
        rc = catdb_write_file_atomic_(catdb_file_path_(state, CATDB_CACHE_FILE), image.data(), image.size(),
                                      "catdb_write_cache_");
    if (rc != 0)
        log_error("%s: error", "catdb_write_cache_");
    return rc;
}
