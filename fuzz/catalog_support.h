// The small real catalog the catalog fuzzers open: a "nodes" table (id, pid,
// is_dir, size, num_children) holding
//
//   root 1 { folder 2 { file 4 (10), file 5 (20) }, folder 3 { file 6 (30) },
//            file 7 (40) }
//
// with its caches written by a first opening for reading.
#pragma once

#include <string>

#include "scan/catalog/catdb.h"
#include "scratch_support.h"

namespace fuzzsupport {

inline int make_nodes(catdb *db, fs_record *)
{
    return catdb_exec(db, "CREATE TABLE IF NOT EXISTS nodes (id INTEGER PRIMARY KEY, pid INTEGER, is_dir INTEGER, "
                          "size INTEGER, num_children INTEGER);");
}

// Writes the small catalog into folder through db and leaves it open for
// reading (the caches written); the caller queries it and frees db.
inline void open_small_catalog(const std::string &folder, catdb *db)
{
    require(catdb_new(db, nullptr) == 0);
    catdb_set_folder(db, folder.c_str());
    db->on_open_for_writing = make_nodes;
    require(catdb_ensure_writing(db) == 0);
    require(catdb_exec(db, "INSERT INTO nodes (id, pid, is_dir, size) VALUES (1, NULL, 1, 0), (2, 1, 1, 0), "
                           "(3, 1, 1, 0), (4, 2, 0, 10), (5, 2, 0, 20), (6, 3, 0, 30), (7, 1, 0, 40);") == 0);
    require(catdb_ensure_reading(db) == 0);
}

} // namespace fuzzsupport
