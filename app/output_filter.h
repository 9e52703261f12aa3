// What the program prints reaches the terminal with its control characters
// shown, not obeyed: a card's names (a FAT long name may hold an escape
// sequence) would otherwise move the cursor, change colours or retitle the
// user's terminal.
#pragma once

namespace zvapp {

// Replaces stdout and stderr by streams over the same descriptors that
// write the C0 controls but line feed and tab, DEL and the C1 controls
// (U+0080-U+009F, and a byte 0x80-0x9F that is no part of a UTF-8
// character) escaped: "\x1b", "\x7f", "\u009b", "\x9b". Everything else
// (UTF-8 text, other invalid bytes) passes as it is. Standard output is
// line-buffered on a terminal and fully buffered otherwise, standard error
// unbuffered, as before; both are flushed at exit. A descriptor 0-2 the
// caller left closed is first opened on /dev/null for reading, so no file
// the program opens takes its place (writes to it fail instead). Called first in main,
// before anything is printed and before any other thread is started.
void output_filter_install();

// Flushes standard output at the end of the program; the exit status:
// status, or 1 in its place when status is 0 but some of the output could
// not be written (a full disk, a closed descriptor), which is said on
// standard error. A reader that ended (`| head`) changes nothing.
int output_finish(int status);

// Writes the terminal's own control sequence text (the progress line's
// carriage return and erase-line) to standard output as it is, after what
// the filtered stream holds.
void output_raw(const char *text);

} // namespace zvapp
