// The "gfm " module: the module source that would list the paths under
// which the file modules file their kinds, for the module list a saved scan
// keeps ("fmlist", scan/thorough/cbr_archive.cpp; its record and the scan's
// call of it are in scan/thorough/gfm_paths.h). The built-in modules need no
// such list, so its operation adds nothing and the saved list is empty; a
// scan loaded later can still translate the module ids of a list another
// program wrote.
//
// The module finds no files: filter flag 1 (built-in source), a prefilter
// that refuses every byte value, no recognise.
#pragma once

#include "scan/thorough/gfm_paths.h"

// Registers "gfm " (or finds it). The module, or NULL.
fil_module *gfm_describe();
