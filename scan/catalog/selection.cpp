// Selection state of a catalog: the two-bit array, ticking and unticking
// nodes with the partial states of the folders above them, and loading the
// "sel-state" file (layout in selection.h).
//
// Implementation notes:
// - Every argument of catdb_select_node is checked before anything changes:
//   the keynums (callers pass them from the front end), the value and the
//   ancestor list, which must follow the parent links of the children
//   cache up to the root. A wrong list can therefore never leave folder
//   states and counters out of step.
// - The downward walk is iterative with a visited bit per keynum, so a deep
//   tree cannot exhaust the stack and a damaged parent cycle cannot loop; it
//   never stops halfway. A file always ends its branch.
// - The counters are recomputed from the array and the sizes whenever a
//   selection is loaded, so a crash between saving the record and saving
//   "sel-state" cannot leave them telling another story than the ticks.
#include "scan/catalog/selection.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "foundation/error_list.h"
#include "foundation/log.h"
#include "scan/catalog/catdb_internal.h"

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;
using SelGuard = std::lock_guard<std::mutex>;

constexpr const char *SELECTION_FILE = "sel-state";

// Item i's shift inside its byte: the first item in the high bits.
inline unsigned item_shift(uint64_t i)
{
    return 6 - 2 * (unsigned)(i % 4);
}

// Value of an item; the caller checked i.
inline uint32_t item_value(const tribool_array &array, uint64_t i)
{
    return (array.bytes[(size_t)(i / 4)] >> item_shift(i)) & 3u;
}

// The value of a keynum with the root mapped to the root selection (the
// selection lock held, keynum checked).
uint32_t value_of(const catdb_state *state, int64_t keynum)
{
    if (keynum == state->id_root)
        return state->root_selection;
    if (keynum < 0 || (uint64_t)keynum >= state->selection.item_count)
        return 0;
    return item_value(state->selection, (uint64_t)keynum);
}

// Sets a keynum's value, the root in both places (the selection lock held,
// keynum and value checked).
void set_value(catdb_state *state, int64_t keynum, uint32_t value)
{
    if (keynum == state->id_root)
        state->root_selection = value;
    if (keynum >= 0 && (uint64_t)keynum < state->selection.item_count)
        tribool_set(&state->selection, (uint64_t)keynum, value);
}

bool is_folder(const catdb_state *state, int64_t keynum)
{
    int bit = 0;
    return bitarray_get(&state->folders, (uint64_t)keynum, &bit) && bit != 0;
}

uint64_t size_of(const catdb_state *state, int64_t keynum)
{
    if (keynum < 0 || (uint64_t)keynum >= state->sizes.count)
        return 0;
    return state->sizes.values[(size_t)keynum];
}

const keylist *children_of(const catdb_state *state, int64_t keynum)
{
    if (state->children == nullptr)
        return nullptr;
    auto found = state->children->entries.find(keynum);
    if (found == state->children->entries.end() || found->second.list.count == 0)
        return nullptr;
    return &found->second.list;
}

// Moves a counter by one without wrapping below 0.
void move_counter(uint64_t *counter, bool up, uint64_t amount)
{
    if (up)
        *counter = catdb_add_sizes_(*counter, amount);
    else
        *counter = *counter >= amount ? *counter - amount : 0;
}

// A keynum that names a row of the catalog (the catalog open for reading).
bool is_node(const catdb_state *state, int64_t keynum)
{
    return keynum >= 0 && (uint64_t)keynum < state->item_count && (uint64_t)keynum < state->parents.size() &&
           state->parents[(size_t)keynum] >= 0;
}

// Recomputes the counters and the root selection from the array (the
// selection lock held).
void recount(catdb_state *state)
{
    uint64_t files = 0, folders = 0, bytes = 0;
    const uint64_t n = std::min<uint64_t>(state->selection.item_count, state->parents.size());
    for (uint64_t k = 0; k < n; ++k) {
        if (state->parents[(size_t)k] < 0 || item_value(state->selection, k) == 0)
            continue;
        if (is_folder(state, (int64_t)k)) {
            ++folders;
        } else {
            ++files;
            bytes = catdb_add_sizes_(bytes, size_of(state, (int64_t)k));
        }
    }
    state->selected[SEL_COUNTER_FILES] = files;
    state->selected[SEL_COUNTER_FOLDERS] = folders;
    state->selected[SEL_COUNTER_BYTES] = bytes;
    state->root_selection = state->id_root >= 0 && (uint64_t)state->id_root < state->selection.item_count
                                ? item_value(state->selection, (uint64_t)state->id_root)
                                : 0;
}

} // namespace

// --- the two-bit array ---------------------------------------------------------------------

int tribool_make(tribool_array *array, uint64_t item_count)
{
    if (array == nullptr || item_count > TRIBOOL_MAX_ITEMS)
        return -12;
    try {
        array->bytes.assign((size_t)((item_count + 3) / 4), 0);
    } catch (const std::exception &) {
        *array = tribool_array();
        return -10;
    }
    array->item_count = item_count;
    array->non_zero = 0;
    return 0;
}

int tribool_from_bytes(tribool_array *array, const uint8_t *bytes, size_t length)
{
    if (array == nullptr || (bytes == nullptr && length > 0) || length > TRIBOOL_MAX_ITEMS / 4)
        return -12;
    tribool_array made;
    try {
        made.bytes.assign(bytes, bytes + length);
    } catch (const std::exception &) {
        return -10;
    }
    made.item_count = (uint64_t)length * 4;
    for (size_t b = 0; b < length; ++b) {
        for (unsigned shift = 0; shift < 8; shift += 2) {
            unsigned value = (bytes[b] >> shift) & 3u;
            if (value == 3) {
                *array = tribool_array();
                return -12;
            }
            made.non_zero += value != 0;
        }
    }
    *array = std::move(made);
    return 0;
}

int tribool_get(const tribool_array *array, uint64_t i, uint32_t *out)
{
    if (array == nullptr || out == nullptr || i >= array->item_count)
        return -1;
    *out = item_value(*array, i);
    return 0;
}

int tribool_set(tribool_array *array, uint64_t i, uint32_t value)
{
    if (array == nullptr || i >= array->item_count || value > SEL_PARTIAL)
        return -12;
    uint8_t &byte = array->bytes[(size_t)(i / 4)];
    unsigned shift = item_shift(i);
    uint32_t old = (byte >> shift) & 3u;
    byte = (uint8_t)((byte & ~(3u << shift)) | (value << shift));
    if (old == 0 && value != 0)
        ++array->non_zero;
    else if (old != 0 && value == 0)
        --array->non_zero;
    return 0;
}

int tribool_fill(tribool_array *array, uint32_t value)
{
    if (array == nullptr || value > SEL_PARTIAL)
        return -12;
    static const uint8_t patterns[3] = {0x00, 0x55, 0xAA};
    std::fill(array->bytes.begin(), array->bytes.end(), patterns[value]);
    array->non_zero = value == 0 ? 0 : array->item_count;
    return 0;
}

int selection_parse(const uint8_t *data, size_t size, uint64_t item_count, tribool_array *out)
{
    if (out == nullptr || (data == nullptr && size > 0) || item_count > TRIBOOL_MAX_ITEMS)
        return -12;
    if (size == 0)
        return -1;
    const uint64_t needed = (item_count + 3) / 4;
    if ((uint64_t)size < needed)
        return -1;
    tribool_array made;
    int rc = tribool_make(&made, item_count);
    if (rc != 0)
        return rc;
    // Only the catalog's items count: the unused pairs of the last byte (a
    // whole-array fill sets them) and any bytes beyond are ignored.
    for (uint64_t i = 0; i < item_count; ++i) {
        uint32_t value = (data[(size_t)(i / 4)] >> item_shift(i)) & 3u;
        if (value == 3)
            return -12;
        if (value != 0)
            tribool_set(&made, i, value);
    }
    *out = std::move(made);
    return 0;
}

// --- catalog operations -----------------------------------------------------------------------

int catdb_get_selection_(catdb *db, int64_t keynum, uint32_t *out)
{
    if (db == nullptr || db->state == nullptr || out == nullptr)
        return -1;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    keynum = catdb_map_root_(state, keynum);
    SelGuard sel(state->sel_lock);
    if (keynum == state->id_root) {
        *out = state->root_selection;
        return 0;
    }
    if (keynum < 0)
        return -1;
    return tribool_get(&state->selection, (uint64_t)keynum, out);
}

int catdb_set_selection_(catdb *db, int64_t keynum, uint32_t value)
{
    if (db == nullptr || db->state == nullptr || value > SEL_PARTIAL)
        return -12;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    keynum = catdb_map_root_(state, keynum);
    SelGuard sel(state->sel_lock);
    if (keynum != state->id_root && (keynum < 0 || (uint64_t)keynum >= state->selection.item_count))
        return -12;
    set_value(state, keynum, value);
    return 0;
}

int catdb_set_all_selection_(catdb *db, uint32_t value)
{
    if (db == nullptr || db->state == nullptr || value > SEL_PARTIAL)
        return -12;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    SelGuard sel(state->sel_lock);
    tribool_fill(&state->selection, value);
    state->root_selection = value;
    return 0;
}

int catdb_select_downward_recurse_(catdb *db, int64_t keynum, uint32_t value)
{
    catdb_state *state = db->state;
    bitarray visited;
    int rc = bitarray_make(&visited, state->item_count);
    if (rc != 0)
        return rc;
    std::vector<int64_t> pending{keynum};
    SelGuard sel(state->sel_lock);
    while (!pending.empty()) {
        int64_t k = pending.back();
        pending.pop_back();
        int seen = 0;
        if (!bitarray_get(&visited, (uint64_t)k, &seen) || seen)
            continue;
        bitarray_set(&visited, (uint64_t)k, 1);
        uint32_t old = value_of(state, k) != 0 ? 1 : 0;
        set_value(state, k, value);
        if (!is_folder(state, k)) {
            if (old != value) {
                move_counter(&state->selected[SEL_COUNTER_FILES], value != 0, 1);
                move_counter(&state->selected[SEL_COUNTER_BYTES], value != 0, size_of(state, k));
            }
            continue; // a file ends its branch whether or not it changed
        }
        if (old != value)
            move_counter(&state->selected[SEL_COUNTER_FOLDERS], value != 0, 1);
        const keylist *children = children_of(state, k);
        if (children == nullptr)
            continue;
        for (uint32_t i = children->count; i > 0; --i)
            pending.push_back(children->keys[i - 1]);
    }
    return 0;
}

int catdb_select_upward_recurse_(catdb *db, const int64_t *list, size_t count)
{
    catdb_state *state = db->state;
    SelGuard sel(state->sel_lock);
    for (size_t i = 1; i < count; ++i) {
        int64_t ancestor = catdb_map_root_(state, list[i]);
        if (ancestor == CATDB_KEYNUM_NONE)
            return 0;
        uint32_t current = value_of(state, ancestor);
        uint32_t derived = 0;
        const keylist *children = children_of(state, ancestor);
        if (children != nullptr) {
            derived = value_of(state, children->keys[0]);
            for (uint32_t c = 1; c < children->count; ++c) {
                if (value_of(state, children->keys[c]) != derived) {
                    derived = SEL_PARTIAL;
                    break;
                }
            }
        }
        if (derived != current) {
            set_value(state, ancestor, derived);
            if (current == 0)
                move_counter(&state->selected[SEL_COUNTER_FOLDERS], true, 1);
            else if (derived == 0)
                move_counter(&state->selected[SEL_COUNTER_FOLDERS], false, 1);
        }
    }
    add_error(SEL_ERROR_NO_END_MARKER);
    return -15;
}

int catdb_select_node(catdb *db, const int64_t *list, size_t count, uint32_t value)
{
    if (db == nullptr || db->state == nullptr || list == nullptr || count == 0)
        return -12;
    if (value > SEL_SELECTED) {
        log_error("catdb_select_node: Invalid value %u", value);
        return -12;
    }
    catdb_state *state = db->state;
    Guard hold(state->lock);
    int rc = catdb_ensure_reading(db);
    if (rc != 0)
        return rc;
    size_t end = 0;
    while (end < count && list[end] != CATDB_KEYNUM_NONE)
        ++end;
    if (end == count) {
        log_error("catdb_select_node: ancestor list without end marker");
        add_error(SEL_ERROR_NO_END_MARKER);
        return -15;
    }
    if (end == 0)
        return -12;
    const int64_t node = catdb_map_root_(state, list[0]);
    if (node == state->id_root) {
        uint64_t bytes = 0;
        if (value != 0)
            for (uint64_t k = 0; k < state->sizes.count; ++k)
                bytes = catdb_add_sizes_(bytes, state->sizes.values[(size_t)k]);
        {
            SelGuard sel(state->sel_lock);
            tribool_fill(&state->selection, value);
            state->root_selection = value;
            state->selected[SEL_COUNTER_FILES] = value != 0 ? state->file_count : 0;
            state->selected[SEL_COUNTER_FOLDERS] = value != 0 ? state->folder_count : 0;
            state->selected[SEL_COUNTER_BYTES] = bytes;
        }
        catdb_post_selection_write_(db);
        return 0;
    }
    // The node and each ancestor must be rows, each the parent of the one
    // before, and the chain must end at the root.
    if (!is_node(state, node)) {
        log_error("catdb_select_node: Invalid keynum %llx", (unsigned long long)list[0]);
        return -12;
    }
    int64_t child = node;
    for (size_t i = 1; i < end; ++i) {
        int64_t ancestor = catdb_map_root_(state, list[i]);
        if (!is_node(state, ancestor) || !is_folder(state, ancestor) || state->parents[(size_t)child] != ancestor) {
            log_error("catdb_select_node: keynum %llx is not the parent of %llx", (unsigned long long)list[i],
                      (unsigned long long)child);
            return -12;
        }
        child = ancestor;
    }
    if (child != state->id_root) {
        log_error("catdb_select_node: ancestor list of %llx does not reach the root", (unsigned long long)node);
        return -12;
    }
    rc = catdb_select_downward_recurse_(db, node, value);
    if (rc == 0)
        rc = catdb_select_upward_recurse_(db, list, end + 1);
    catdb_post_selection_write_(db);
    return rc;
}

// --- loading and saving ------------------------------------------------------------------------

void catdb_clear_selection_(catdb_state *state)
{
    SelGuard sel(state->sel_lock);
    if (tribool_make(&state->selection, state->item_count) != 0)
        state->selection = tribool_array();
    state->root_selection = 0;
    for (uint64_t &counter : state->selected)
        counter = 0;
}

int catdb_read_selection_(catdb *db, uint64_t item_count)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    catdb_state *state = db->state;
    Guard hold(state->lock);
    std::string path = catdb_file_path_(state, SELECTION_FILE);
    std::vector<uint8_t> bytes;
    // A file from a larger catalog is fine (its tail is ignored), one far
    // larger is not a selection of this catalog.
    uint64_t limit = (item_count + 3) / 4 * 2 + 65536;
    int rc = path.empty() ? -12 : catdb_read_file_(path, limit, &bytes, "catdb_read_selection_");
    if (rc == -23 && access(path.c_str(), F_OK) == 0)
        rc = -1; // present but empty
    tribool_array loaded;
    if (rc == 0) {
        rc = selection_parse(bytes.data(), bytes.size(), item_count, &loaded);
        if (rc != 0)
            log_error("catdb_read_selection_: %s is damaged (%d); the ticks saved in it are lost", path.c_str(), rc);
    }
    if (rc != 0) {
        catdb_clear_selection_(state);
        return rc;
    }
    SelGuard sel(state->sel_lock);
    state->selection = std::move(loaded);
    recount(state);
    return 0;
}

int catdb_write_selection_snapshot_(catdb_state *state, const std::string &path)
{
    std::lock_guard<std::mutex> writing(state->write_lock);
    std::vector<uint8_t> bytes;
    uint64_t non_zero;
    {
        SelGuard sel(state->sel_lock);
        non_zero = state->selection.non_zero;
        if (non_zero != 0)
            bytes = state->selection.bytes;
    }
    if (non_zero == 0) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            const int failure = errno;
            log_error("%s: Can't unlink file %s: %s", "catdb_write_selection_", path.c_str(), strerror(errno));
            errno = failure;
            return -1;
        }
        return 0;
    }
    return catdb_write_file_atomic_(path, bytes.data(), bytes.size(), "catdb_write_selection_");
}

int catdb_write_selection_(catdb *db)
{
    if (db == nullptr || db->state == nullptr)
        return -12;
    Guard hold(db->state->lock);
    std::string path = catdb_file_path_(db->state, SELECTION_FILE);
    if (path.empty())
        return -12;
    return catdb_write_selection_snapshot_(db->state, path);
}

int catdb_get_selection_counters(catdb *db, uint64_t out[SEL_COUNTER_COUNT])
{
    if (db == nullptr || db->state == nullptr || out == nullptr)
        return -12;
    Guard hold(db->state->lock);
    SelGuard sel(db->state->sel_lock);
    memcpy(out, db->state->selected, sizeof db->state->selected);
    return 0;
}

int catdb_set_selection_counters(catdb *db, const uint64_t in[SEL_COUNTER_COUNT])
{
    if (db == nullptr || db->state == nullptr || in == nullptr)
        return -12;
    Guard hold(db->state->lock);
    SelGuard sel(db->state->sel_lock);
    memcpy(db->state->selected, in, sizeof db->state->selected);
    return 0;
}

int catdb_get_root_selection(catdb *db, uint32_t *out)
{
    if (db == nullptr || db->state == nullptr || out == nullptr)
        return -12;
    Guard hold(db->state->lock);
    SelGuard sel(db->state->sel_lock);
    *out = db->state->root_selection;
    return 0;
}

int catdb_set_root_selection(catdb *db, uint32_t value)
{
    if (db == nullptr || db->state == nullptr || value > SEL_PARTIAL)
        return -12;
    Guard hold(db->state->lock);
    SelGuard sel(db->state->sel_lock);
    db->state->root_selection = value;
    return 0;
}
