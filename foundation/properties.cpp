// The engine's property tree over the settings store.
//
// Implementation notes
// - Values are not cached in the tree: every prop_get_ll reads the settings
//   store, so a reload of "settings.ini" (or prefs_reset) is seen at once and
//   the tree never disagrees with the file.
// - A property's record keeps the default of its first use; prop_log_all
//   shows that default for a property whose stored value is missing or out of
//   range, which is what prop_get_ll would return.
// - One mutex guards the tree. It is taken before the settings store's own
//   mutex, never after it (the store does not call back here), so the two
//   cannot deadlock.
#include "foundation/properties.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "foundation/error_list.h"
#include "foundation/log.h"
#include "foundation/prefs.h"

namespace {

// Error-list code: a property could not be stored in the settings store.
constexpr int kErrorPropertyNotStored = 308;

const char *const kPermPromoteChoices[] = {"None", "For items with no access", "For all items", nullptr};
const char *const kChownChoices[] = {"None", "For all items", nullptr};

constexpr int64_t kInt32Max = 2147483647;

// Case-insensitive for ASCII letters only, as the settings store compares
// section names, so two nodes never share one section.
bool sameName(const std::string &a, const char *b)
{
    size_t n = strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

} // namespace

const PropSchema prop_schema_enabled = {
    "enabled", PROP_TYPE_BOOL, 0, 1, "Enabled", "Whether this part of the scan runs.", nullptr};
// A FAT folder holds at most 65,536 entries of 32 bytes (2 MiB), so a larger
// limit would never apply.
const PropSchema prop_schema_max_dir_entries = {
    "max_dir_entries", PROP_TYPE_INT32, 1, 65536, "Maximum folder entries",
    "Folders with more entries than this are taken to be damaged and are not listed.", nullptr};
const PropSchema prop_schema_make_items_visible = {
    "make_items_visible", PROP_TYPE_BOOL, 0, 1, "Make items visible",
    "Clears the hidden mark of recovered items.", nullptr};
const PropSchema prop_schema_clear_lock = {
    "clear_lock", PROP_TYPE_BOOL, 0, 1, "Clear lock", "Clears the locked mark of recovered items.", nullptr};
const PropSchema prop_schema_perm_promote = {
    "perm_promote", PROP_TYPE_CHOICE, 0, 2, "Promote permissions",
    "Gives recovered items read and write access for their owner.", kPermPromoteChoices};
const PropSchema prop_schema_chown = {
    "chown", PROP_TYPE_CHOICE, 0, 1, "Change owner", "Makes the current user the owner of recovered items.",
    kChownChoices};
const PropSchema prop_schema_slow_detection_enabled = {
    "slow_detection_enabled", PROP_TYPE_BOOL, 0, 1, "Detect slow reads",
    "Detect slow reads from drives and display a warning in the GUI.", nullptr};
const PropSchema prop_schema_slow_duration_ms = {
    "slow_duration_ms", PROP_TYPE_INT32, 0, kInt32Max, "Slow read time (ms)",
    "The read time in milliseconds required for a drive to be detected as slow.", nullptr};
const PropSchema prop_schema_slow_read_suppress_count = {
    "slow_read_suppress_count", PROP_TYPE_INT32, 0, 100, "Min slow reads",
    "The minimum number of slow reads for a drive required to be detected as slow (requires restarting HV).",
    nullptr};

// Files larger than the largest medium the engine reads (2^62 bytes) are no
// size a module could measure; the bound only keeps a hand edit sane.
const PropSchema prop_schema_max_file_size = {
    "max_file_size", PROP_TYPE_INT64, 1, (int64_t)1 << 62, "Maximum file size",
    "Files of this kind are not followed past this many bytes.", nullptr};
const PropSchema prop_schema_min_image_dim = {
    "min_image_dim", PROP_TYPE_INT32, 0, 65535, "Minimum image size",
    "Images whose width and height are both below this many pixels (thumbnails) are not offered; 0 offers all.",
    nullptr};

struct PropNode {
    struct Property {
        const PropSchema *schema;
        int flags;
        int64_t first_default; // the default of the first prop_get_ll
    };

    std::string name;
    std::string path; // names from the root joined by "/"
    std::vector<std::unique_ptr<PropNode>> children;
    std::vector<Property> properties;
};

namespace {

struct Tree {
    std::mutex mutex;
    PropNode root;
    // Every property as created, for prop_log_all: {node, index into its properties}.
    std::vector<std::pair<const PropNode *, size_t>> created;
};

// Never destroyed: node pointers handed out stay valid until the process ends.
Tree &tree()
{
    static Tree *instance = new Tree;
    return *instance;
}

const PropNode::Property *findProperty(const PropNode &node, const char *name)
{
    for (const PropNode::Property &property : node.properties)
        if (sameName(property.schema->name, name))
            return &property;
    return nullptr;
}

// The stored value when it is a whole base-10 number inside the schema's range.
bool readStoredValue(const std::string &section, const PropSchema &schema, int64_t *value)
{
    char text[64];
    if (prefs_get_string(section.c_str(), schema.name, text, sizeof text) != 0)
        return false;
    if (strlen(text) == sizeof text - 1) // cut short: not a number we wrote
        return false;
    errno = 0;
    char *end = nullptr;
    long long number = strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE)
        return false;
    if (number < schema.minimum || number > schema.maximum)
        return false;
    *value = number;
    return true;
}

} // namespace

PropNode *prop_node(const char *path, int flags)
{
    if (path == nullptr)
        return nullptr;
    Tree &t = tree();
    std::lock_guard<std::mutex> lock(t.mutex);
    PropNode *node = &t.root;
    const char *at = path;
    while (*at != '\0') {
        const char *slash = strchr(at, '/');
        size_t length = slash ? static_cast<size_t>(slash - at) : strlen(at);
        std::string name(at, length);
        at += length + (slash ? 1 : 0);
        if (name.empty())
            continue;
        PropNode *child = nullptr;
        for (const auto &candidate : node->children)
            if (sameName(candidate->name, name.c_str()))
                child = candidate.get();
        if (child == nullptr) {
            if (!(flags & PROP_NODE_CREATE))
                return nullptr;
            auto made = std::make_unique<PropNode>();
            made->name = name;
            made->path = node->path.empty() ? name : node->path + "/" + name;
            child = made.get();
            node->children.push_back(std::move(made));
        }
        node = child;
    }
    return node == &t.root ? nullptr : node;
}

const char *prop_node_path(const PropNode *node)
{
    return node ? node->path.c_str() : "";
}

int64_t prop_get_ll(PropNode *node, const PropSchema *schema, int64_t value_default, int flags)
{
    if (node == nullptr || schema == nullptr || schema->name == nullptr) {
        add_error(kErrorPropertyNotStored);
        return value_default;
    }
    Tree &t = tree();
    std::lock_guard<std::mutex> lock(t.mutex);
    int64_t value = value_default;
    if (!readStoredValue(node->path, *schema, &value)) {
        value = value_default;
        if (prefs_set_int(node->path.c_str(), schema->name, value_default) != 0) {
            add_error(kErrorPropertyNotStored);
            return value_default;
        }
    }
    if (findProperty(*node, schema->name) == nullptr) {
        node->properties.push_back({schema, flags, value_default});
        t.created.emplace_back(node, node->properties.size() - 1);
    }
    return value;
}

void prop_log_all()
{
    struct Line {
        std::string path;
        const PropSchema *schema;
        int64_t first_default;
    };
    std::vector<Line> lines;
    {
        Tree &t = tree();
        std::lock_guard<std::mutex> lock(t.mutex);
        for (const auto &[node, index] : t.created) {
            const PropNode::Property &property = node->properties[index];
            lines.push_back({node->path, property.schema, property.first_default});
        }
    }
    log_push_context("Def");
    for (const Line &line : lines) {
        int64_t value = line.first_default;
        readStoredValue(line.path, *line.schema, &value);
        std::string choice;
        if (line.schema->choices != nullptr && value >= 0) {
            int64_t i = 0;
            while (line.schema->choices[i] != nullptr && i < value)
                ++i;
            if (line.schema->choices[i] != nullptr)
                choice = std::string(" (") + line.schema->choices[i] + ")";
        }
        log_info("%s/%s = %lld%s", line.path.c_str(), line.schema->name, static_cast<long long>(value),
                 choice.c_str());
    }
    log_pop_context();
}
