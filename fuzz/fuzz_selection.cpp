// Fuzzes the selection-state reader: the pure parser, and the whole opening
// of a small real catalog whose "sel-state" is the input.
//
// Input: byte 0 chooses the item count for the pure parser (0..255); the
// whole input is the image. Checked:
// - the parser never crashes or reads beyond the input; a parsed array has
//   exactly the items asked for and an exact non-zero count;
// - the catalog always opens; its counters agree with the ticks it reports;
// - ticking a file afterwards gives its folder and the root the states
//   their children call for, and the counters still agree after closing
//   and reopening.
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "catalog_support.h"
#include "scan/catalog/catdb.h"
#include "scan/catalog/selection.h"

namespace {

using fuzzsupport::require;

// The small catalog of catalog_support.h: root 1 holds folders 2 and 3 and
// file 7; 2 holds files 4 and 5; 3 holds 6.
struct Node {
    int64_t id;
    bool folder;
    uint64_t size;
};
const Node nodes[] = {{1, true, 0}, {2, true, 0}, {3, true, 0}, {4, false, 10},
                      {5, false, 20}, {6, false, 30}, {7, false, 40}};

// The catalog's folder, made once and removed at exit.
struct Fixture {
    fuzzsupport::ScratchDir scratch;
    std::string folder = scratch.path();

    Fixture()
    {
        catdb db{};
        fuzzsupport::open_small_catalog(folder, &db); // writes the caches once
        catdb_free(&db);
    }
};

// The counters must say what the ticks say.
void check_counters(catdb *db)
{
    uint64_t files = 0, folders = 0, bytes = 0;
    for (const Node &node : nodes) {
        uint32_t value = 9;
        require(catdb_get_selection_(db, node.id, &value) == 0 && value <= 2);
        if (value == 0)
            continue;
        if (node.folder) {
            ++folders;
        } else {
            ++files;
            bytes += node.size;
        }
    }
    uint64_t counters[SEL_COUNTER_COUNT];
    require(catdb_get_selection_counters(db, counters) == 0);
    require(counters[SEL_COUNTER_FILES] == files && counters[SEL_COUNTER_FOLDERS] == folders &&
            counters[SEL_COUNTER_BYTES] == bytes);
}

uint32_t value_of(catdb *db, int64_t keynum)
{
    uint32_t value = 9;
    require(catdb_get_selection_(db, keynum, &value) == 0);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const Fixture fixture;
    const std::string &folder = fixture.folder;

    if (size >= 1) {
        tribool_array array;
        uint64_t items = data[0];
        if (selection_parse(data, size, items, &array) == 0) {
            require(array.item_count == items && array.bytes.size() == (items + 3) / 4);
            uint64_t non_zero = 0;
            for (uint64_t i = 0; i < items; ++i) {
                uint32_t value = 9;
                require(tribool_get(&array, i, &value) == 0 && value <= 2);
                non_zero += value != 0;
            }
            require(non_zero == array.non_zero);
        }
    }

    std::ofstream(folder + "/sel-state", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(data), (std::streamsize)size);
    catdb db{};
    require(catdb_new(&db, nullptr) == 0);
    catdb_set_folder(&db, folder.c_str());
    require(catdb_ensure_reading(&db) == 0);
    check_counters(&db);

    int64_t list[] = {4, 2, 1, CATDB_KEYNUM_NONE};
    require(catdb_select_node(&db, list, 4, size % 2) == 0);
    uint32_t a = value_of(&db, 4), b = value_of(&db, 5);
    require(value_of(&db, 2) == (a == b ? a : SEL_PARTIAL));
    uint32_t c = value_of(&db, 2), d = value_of(&db, 3), e = value_of(&db, 7);
    require(value_of(&db, 1) == (c == d && d == e ? c : SEL_PARTIAL));
    check_counters(&db);
    std::vector<uint64_t> before(SEL_COUNTER_COUNT);
    require(catdb_get_selection_counters(&db, before.data()) == 0);
    require(catdb_close(&db) == 0);
    require(catdb_ensure_reading(&db) == 0);
    std::vector<uint64_t> after(SEL_COUNTER_COUNT);
    require(catdb_get_selection_counters(&db, after.data()) == 0);
    require(before == after);
    catdb_free(&db);
    return 0;
}
