// Child processes: run an external program, hand what it prints to a
// callback, wait for it and give its exit status.
//
// The child gets:
// - the program path as given (no PATH search, no shell) and one argv
//   element per argument, so an argument with blanks stays one argument;
// - standard input from /dev/null, standard output and standard error both
//   into one pipe that the caller reads;
// - the caller's environment and current folder;
// - no other descriptor: everything the engine opens is close-on-exec, and
//   the spawn also closes every descriptor from 3 up, so a descriptor opened
//   elsewhere without close-on-exec (by a library, say) does not leak either;
// - its own process group, so that stopping it also stops what it started.
//
// Results: the exit code (0 to 255); 128 + the signal number for a child
// ended by a signal (logged); 1 when the callback stopped it; and
// kProcessNotStarted when it could not be started at all, which never
// looks like success.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "foundation/u8string.h"

namespace ZV {

// Receives each chunk of output (at most 1024 bytes; a line may be split
// between chunks), then once (nullptr, 0) at the end. Returning false stops
// the child (the final call still happens).
using ProcessOutputCallback = std::function<bool(const char *data, size_t length)>;

// The result of a child that could not be started (pipe or spawn failure).
constexpr int kProcessNotStarted = -1;

// Runs program with arguments (not including the program itself as argv[0];
// argv[0] is the program path). Blocks until the child ends. The callback
// runs on the calling thread. When the child ends while a grandchild still
// holds the output pipe open, what the pipe holds is drained and the call
// returns instead of waiting for the grandchild.
int runProcess(const zorvant::u8string &program, const std::vector<zorvant::u8string> &arguments,
               const ProcessOutputCallback &callback);

// Clears output, then collects all output of the child into it.
int runProcessOutput(const zorvant::u8string &program, const std::vector<zorvant::u8string> &arguments,
                     zorvant::u8string &output);

// Same, into a byte string (output that is not valid UTF-8 kept as is).
int runProcessOutput(const zorvant::u8string &program, const std::vector<zorvant::u8string> &arguments,
                     std::string &output);

// The full path of the running program's file; empty when it cannot be read.
zorvant::u8string executablePath();

} // namespace ZV
