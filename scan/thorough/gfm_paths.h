// The record of the "gfm " module as the thorough scan calls it: the module
// source that lists the paths under which the file modules file their kinds,
// for the module list a saved scan keeps ("fmlist", cbr_archive.cpp). The
// module registers the record; a scan asks whatever record is registered
// under the id.
#pragma once

#include <vector>

#include "scan/module.h"

struct cbr_fmlist_entry; // scan/thorough/cbr_store.h

// Appends the module paths ("<category>/<type folder>/<prefix>.<ext>") of
// the modules the source knows, each with its module id and subtype. 0 or a
// negative code.
typedef int (*gfm_add_paths_fn)(fil_module *module, std::vector<cbr_fmlist_entry> *list);

// The module's record: the common fields, then its own operation.
struct gfm_module {
    fil_module base;
    gfm_add_paths_fn add_paths; // never NULL once described
};

// The registered "gfm " record, or NULL.
gfm_module *gfm_module_of(fil_module *module);
// Appends the module paths of the registered "gfm " module to list (nothing
// when it is not registered). 0 or the operation's failure.
int gfm_module_paths(std::vector<cbr_fmlist_entry> *list);
