// Paths of the found tree as the command line shows and takes them:
//
//   "3"                                   scan 3 (its slot)
//   "3/Found Files/DCIM/100CAMERA/P1.JPG" a node of one of its file systems
//
// The first component is the scan's slot number, the second the file
// system's display name, the rest the catalog's names. A "/" or "%" inside a
// name is written "%2F" / "%25", a line feed or tab "%0A" / "%09" (a card's
// name must not break the line it is shown on), so every path shown can be
// passed back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"

namespace zvapp {

std::string escape_name(const std::string &name);
std::string unescape_name(const std::string &name);

// What the user is told of a found file system whose catalog can't be read
// (NODE_DAMAGED_CATALOG): the catalog's file in the workspace and what to do.
std::string damaged_catalog_text(HVEngine &engine, uint64_t keyref);
// The file systems of a scan listed with a damaged catalog, each with its
// path ("3/Found Files").
std::vector<std::pair<NodeInfo, std::string>> damaged_file_systems(HVEngine &engine, uint64_t scan_keyref);

// The keyref a path names; false (with *why) when it names nothing or lies
// inside a file system whose catalog is damaged.
bool resolve_path(HVEngine &engine, const std::string &path, uint64_t *keyref, std::string *why);

// Visits every node below keyref (depth first; a folder's children by name in
// byte order, a scan's file systems in the scan's order) with its path (prefix joined with the escaped names); recursive: the whole
// subtree, else the children only. visit returns false to stop.
void walk_nodes(HVEngine &engine, uint64_t keyref, const std::string &prefix, bool recursive,
                const std::function<bool(const NodeInfo &, const std::string &)> &visit);

} // namespace zvapp
