// The subcommands of the command line (cli_commands.cpp).
#pragma once

#include <string>
#include <vector>

namespace zvapp {

// Writes "zorvant: <message>" and a hint to standard error; EXIT_USAGE.
int usage_error(const std::string &message);
// Starts the engine on the folder that holds the workspace, runs the
// subcommand args[0] with its arguments, shuts the engine down. The exit code.
int run_command(const std::string &home, const std::vector<std::string> &args);

} // namespace zvapp
