// The name of the engine's workspace folder: the application name followed
// by "Workspace". The engine sets it once at start; the recursive delete
// (remove_tree_safe, dirutil.h) refuses any path without a component equal
// to it.
#pragma once

// The current name; "" until engine_set_workspace_name is called. The text
// stays valid and unchanged for the life of the process, also after a later
// call sets another name, so a caller may keep the pointer.
const char *engine_workspace_name();

// Sets the name to application_name followed by "Workspace" (NULL counts as
// ""). The whole name is at most ENGINE_WORKSPACE_NAME_MAX bytes: a longer
// application name is cut, at a UTF-8 character boundary, so that
// "Workspace" always ends the name. Safe to call from any thread.
void engine_set_workspace_name(const char *application_name);

constexpr unsigned ENGINE_WORKSPACE_NAME_MAX = 200;
