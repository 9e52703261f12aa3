// The machine id: a text that stays the same on one installation and differs
// between installations without revealing the installation's own id.
//
// It is the SHA-1 digest of the first line of the system's machine-id file
// (white space trimmed) followed by a fixed 24-byte constant, written as
// uppercase hex digits in groups of 8-4-4-4-12-8 (45 characters). When the id
// cannot be made, callers use default_machine_id().
#pragma once

#include <cstddef>

// The id as a malloc'ed text (the caller frees it), from /etc/machine-id or
// else /var/lib/dbus/machine-id; NULL when neither gives a non-empty line,
// the digest cannot be computed, or memory runs out.
char *machine_id();

// The same from the given file (the tests inject their own).
char *machine_id_from_file(const char *path);

// The fallback text "00000000-0000-0000-C000-000000000046" (static).
const char *default_machine_id();

// Uppercase hex pairs with a "-" before every byte index that is 4 or more
// and either below 12 and even, or 16 or more and a multiple of 4. Returns a
// malloc'ed text (an empty one for count 0), or NULL when memory runs out or
// bytes is NULL with a count above 0.
char *hex_grouped(const void *bytes, size_t count);
