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
// - the catalog opened over the input as its children_cache always opens
//   (a bad file is rebuilt) and lists the same children as from a clean
//   cache, unless the input is itself a well-formed cache of that catalog
//   (a file without a check value of its own can be forged).
#include <cstdint>
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
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Fixture fixture;

    dbcache_contents contents;
    if (dbcache_parse(data, size, &contents) == 0) {
        require(contents.item_count >= (uint64_t)contents.file_count + (uint64_t)contents.folder_count + 1);
        require(contents.sizes.count == contents.item_count);
        require(contents.folders.bit_count >= contents.item_count);
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

    // The input as the children_cache of the real catalog.
    write_all(fixture.folder + "/db-cache", reinterpret_cast<const uint8_t *>(fixture.cleanCache.data()),
              fixture.cleanCache.size());
    write_all(fixture.folder + "/children_cache", data, size);
    keyhash *forged = nullptr;
    bool wellFormed = childrencache_parse(data, size, 8, 7, &forged) == 0;
    childrencache_free(&forged);
    catdb db{};
    require(catdb_new(&db, nullptr) == 0);
    catdb_set_folder(&db, fixture.folder.c_str());
    require(catdb_ensure_reading(&db) == 0);
    std::vector<int64_t> children;
    bool same = catdb_get_children_keynums(&db, 1, &children) == 3 && children == fixture.rootChildren &&
                catdb_get_children_keynums(&db, 2, &children) == 2 && children == fixture.folderChildren;
    require(same || wellFormed);
    catdb_free(&db);
    return 0;
}
