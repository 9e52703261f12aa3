// The engine's property tree: named nodes ("Scanning/FAT", "Drive Failure
// Detection") that hold integer properties described by schema entries.
//
// Values live in the settings store ("settings.ini"): the section is the
// node's path, the key the property's name. The tree itself records which
// properties exist (their schema entry and flags) so that prop_log_all can
// list them; it lives for the whole process, so node pointers stay valid.
//
// Node names compare without regard to ASCII case, as the settings store's
// section names do, so "fat" and "FAT" are one node and one section.
//
// All functions may be called from any thread.
#pragma once

#include <cstdint>

// Value types of a schema entry.
enum PropType : int {
    PROP_TYPE_BOOL = 1,   // 0 or 1
    PROP_TYPE_INT32 = 2,  // signed 32-bit
    PROP_TYPE_INT64 = 3,  // signed 64-bit
    PROP_TYPE_CHOICE = 4, // index into choices
};

// Describes one property. minimum and maximum bound the values accepted
// from the settings file (see prop_get_ll).
struct PropSchema {
    const char *name;               // key in the settings file
    int type;                       // PropType
    int64_t minimum;                // smallest accepted value
    int64_t maximum;                // largest accepted value
    const char *title;              // short text for a settings screen
    const char *description;        // one sentence for a settings screen
    const char *const *choices;     // NULL-terminated texts of a choice, else NULL
};

// prop_node flag: create the missing nodes of the path.
enum : int { PROP_NODE_CREATE = 32 };

// The schema entries the scanning modules and the drive monitor read. The
// defaults their callers pass are given beside each.
extern const PropSchema prop_schema_enabled;                  // bool; default 1
extern const PropSchema prop_schema_max_dir_entries;          // 1..65536; default 10000
extern const PropSchema prop_schema_make_items_visible;       // bool
extern const PropSchema prop_schema_clear_lock;               // bool
extern const PropSchema prop_schema_perm_promote;             // choice of 3
extern const PropSchema prop_schema_chown;                    // choice of 2
extern const PropSchema prop_schema_slow_detection_enabled;   // bool; default 1
extern const PropSchema prop_schema_slow_duration_ms;         // int32 >= 0; default 3000
extern const PropSchema prop_schema_slow_read_suppress_count; // int32 0..100; default 3
// File modules ("File Modules" and its category nodes).
extern const PropSchema prop_schema_max_file_size;            // int64 >= 1 (bytes)
extern const PropSchema prop_schema_min_image_dim;            // int32 0..65535 (pixels; 0 off)

struct PropNode;

// The node at a path of names joined by "/" (empty names, as in "a//b" or
// a leading "/", are skipped). With PROP_NODE_CREATE in flags the missing
// nodes are made; otherwise NULL when a node is absent. NULL for a NULL
// path or one without names.
PropNode *prop_node(const char *path, int flags);

// The node's path, its names joined by "/" as given when they were made.
const char *prop_node_path(const PropNode *node);

// The integer property of schema under node: the value stored in the
// settings file (section = the node's path, key = the schema's name), else
// value_default. A stored text that is not a whole base-10 number, or a
// number outside [minimum, maximum], counts as absent: the default is used
// and written over it, since a value out of range (a choice index a later
// version added, a hand edit) says nothing reliable about what was meant.
// On first use the property joins the node with flags. When the default
// cannot be stored, error 308 is added to the error list, the property is
// not created, and value_default is returned. A NULL node or schema also
// records 308 and returns the default.
int64_t prop_get_ll(PropNode *node, const PropSchema *schema, int64_t value_default, int flags);

// Logs, at information level within the log context "Def", one line per
// property of the tree in creation order: "<path>/<name> = <value>", with
// " (<choice text>)" after a choice's value.
void prop_log_all();
