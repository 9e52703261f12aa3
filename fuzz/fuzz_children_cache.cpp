// Fuzzes the children-cache readers: the pure parsers of "db-cache" and
// "children_cache", and the whole opening of a small real catalog whose
// children_cache is replaced by the input.
//
// Input: byte 0 chooses the keynum count for the pure children parser
// (1..256) and byte 1 its row count (at most keynums - 1); the rest is the
// image. The whole input is also parsed as a db-cache image.
// Checked:
// - no parser crashes, reads outside the input or allocates beyond it;
// - a children table that parses keeps every rule: keynums below the
//   count, each child once, the children adding up to the rows;
// - a db-cache that parses holds only sizes a catalog hands out (none above
//   INT64_MAX);
// - the catalog opened over the input as its children_cache always opens
//   (a bad file is rebuilt): beside the clean db-cache, whose children hash
//   only the clean file matches, it lists the same children as from a clean
//   cache; beside a db-cache sealed with the input's own hash (as if the
//   pair had been forged together), it does so too unless the input is
//   itself a well-formed cache of that catalog.
//
// Seeds (corpus/children_cache/) are the small catalog's cache files as the
// catalog writes them; tests/scan/test_children_cache.cpp checks them.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "catalog_support.h"
#include "scan/catalog/catdb.h"
#include "scan/catalog/children_cache.h"
#include "scan/catalog/hash_tables.h"

namespace {

using fuzzsupport::require;

std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(const std::string &path, const uint8_t *data, size_t size)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char *>(data), size);
}

// The small catalog (catalog_support.h), made once; its clean caches are
// kept to restore before every run.
struct Fixture {
    fuzzsupport::ScratchDir scratch;
    std::string folder = scratch.path();
    std::string cleanCache;
    std::vector<int64_t> rootChildren, folderChildren;

    Fixture()
    {
        catdb db{};
        fuzzsupport::open_small_catalog(folder, &db);
        require(catdb_get_children_keynums(&db, 1, &rootChildren) == 3);
        require(catdb_get_children_keynums(&db, 2, &folderChildren) == 2);
        catdb_free(&db);
        cleanCache = read_all(folder + "/db-cache");
        require(dbcache_parse(reinterpret_cast<const uint8_t *>(cleanCache.data()), cleanCache.size(), &clean) == 0);
    }

    // The clean db-cache with its children hash replaced by that of bytes.
    std::string sealedFor(const uint8_t *bytes, size_t size) const
    {
        std::vector<uint8_t> image;
        require(dbcache_build(clean.file_count, clean.folder_count, clean.total_size, &clean.sizes, &clean.folders,
                              hash_fnv1a64(bytes, size), &image) == 0);
        return std::string(image.begin(), image.end());
    }

    dbcache_contents clean;
};

// Opens the catalog over the given cache files; whether it lists the root's
// and folder 2's children as from its clean caches. The opening itself must
// always succeed (bad files are rebuilt).
bool same_listing(const Fixture &fixture, const std::string &dbCache, const uint8_t *children, size_t size)
{
    write_all(fixture.folder + "/db-cache", reinterpret_cast<const uint8_t *>(dbCache.data()), dbCache.size());
    write_all(fixture.folder + "/children_cache", children, size);
    catdb db{};
    require(catdb_new(&db, nullptr) == 0);
    catdb_set_folder(&db, fixture.folder.c_str());
    require(catdb_ensure_reading(&db) == 0);
    std::vector<int64_t> listed;
    const bool same = catdb_get_children_keynums(&db, 1, &listed) == 3 && listed == fixture.rootChildren &&
                      catdb_get_children_keynums(&db, 2, &listed) == 2 && listed == fixture.folderChildren;
    catdb_free(&db);
    return same;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Fixture fixture;

    dbcache_contents contents;
    if (dbcache_parse(data, size, &contents) == 0) {
        require(contents.item_count >= (uint64_t)contents.file_count + (uint64_t)contents.folder_count + 1);
        require(contents.sizes.count == contents.item_count);
        require(contents.folders.bit_count >= contents.item_count);
        require(contents.total_size >= 0);
        for (uint64_t value : contents.sizes.values)
            require(value <= (uint64_t)INT64_MAX);
    }

    if (size >= 2) {
        uint64_t items = 1 + (uint64_t)data[0];
        uint64_t rows = data[1] % items;
        keyhash *table = nullptr;
        if (childrencache_parse(data + 2, size - 2, items, rows, &table) == 0) {
            uint64_t total = 0;
            std::vector<bool> seen(items, false);
            for (const auto &entry : table->entries) {
                // A fresh table holds an empty entry of its own (key 1).
                require(entry.second.list.count == 0 || (entry.first >= 0 && (uint64_t)entry.first < items));
                for (uint32_t i = 0; i < entry.second.list.count; ++i) {
                    int64_t child = entry.second.list.keys[i];
                    require(child >= 0 && (uint64_t)child < items && !seen[(size_t)child]);
                    seen[(size_t)child] = true;
                    ++total;
                }
            }
            require(total == rows);
        } else {
            require(table == nullptr);
        }
        childrencache_free(&table);
    }

    // The input as the children_cache of the real catalog, beside the clean
    // db-cache and beside one sealed with the input's hash.
    keyhash *forged = nullptr;
    const bool wellFormed = childrencache_parse(data, size, 8, 7, &forged) == 0;
    childrencache_free(&forged);
    require(same_listing(fixture, fixture.cleanCache, data, size));
    require(same_listing(fixture, fixture.sealedFor(data, size), data, size) || wellFormed);
    return 0;
}
