// The node-information query every catalog type runs for one node: the
// columns all "nodes" tables share come first in its query ("name", "pid"),
// the type's own columns after them.
#pragma once

#include <cstdint>
#include <functional>

struct fs_record;
struct NodeInfo;
struct sqlite3_stmt;

// Reads the node of a record's catalog into *out. With selection_only only
// the two selection bits of *out are refreshed (the lookup's result is
// returned). Otherwise *out is cleared; the catalog is made readable (a
// walk's writing connection is read as it is), the query is prepared once
// into *query and run for the node's id; a row fills keyref, keynum,
// parent, name and the selection bits, then fill adds the type's columns.
// 0; -12 when the node has no row or an argument is missing; -40 for a
// statement failure ("<fn>[<line>]: <message> (<code>)"); a failure to open
// the catalog as it is.
int fs_catalog_node_info(fs_record *record, uint64_t keynum, NodeInfo *out, int selection_only,
                         sqlite3_stmt **query, const char *sql, const char *fn,
                         const std::function<void(sqlite3_stmt *row, NodeInfo *out)> &fill);
