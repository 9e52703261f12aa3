// Sources of file modules. The engine has one, the built-in source
// "BUILTIN", whose modules carry filter flag 1 (scan/module.h). When it is
// disabled a thorough scan asks only modules of another kind: those with
// filter flag 2 or 3 and without flag 1 (the file-system modules).
//
// The state is process-wide and may be read from any thread.
#pragma once

// Makes the built-in source the current one (the engine's start calls it
// first; later calls change nothing).
void prop_use_builtin_source();
// Whether the built-in source is enabled (1) or not (0); enabled unless
// fm_src_set_builtin_enabled turned it off.
int fm_src_builtin_enabled();
// Enables (non-zero) or disables (0) the built-in source; returns the
// previous state.
int fm_src_set_builtin_enabled(int enabled);
// The name of the current source, "BUILTIN" once prop_use_builtin_source
// ran, else "".
const char *fm_src_current_name();
