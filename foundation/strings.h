// Engine string tables: English texts looked up in a per-language table.
//
// Engine texts are written in English in the code. When one is shown it is
// looked up in the process-wide string table, which maps the English key to
// its translation; a key without an entry yields the key itself, so English
// needs no table at all. The table is filled once, from a text in the
// .strings format that the front end hands over at engine creation (its
// embedded resource for the user's interface language; English has none, and
// an empty text loads no table), and is only read afterwards, without a lock.
//
// The .strings format, read code point by code point:
//
//     /* block comment */            // line comment up to the line feed
//     "English key" = "Translation";
//     "Say \"hi\"" = "Sag \"hallo\""  ; white space (SP TAB CR LF) anywhere
//                                      ; between the elements of an entry
//
//   - Comments stand only between entries. A comment running to the end of
//     the text ends the text.
//   - A quoted string ends at the next '"' not preceded by a backslash. The
//     pair backslash + '"' is the only escape and stands for '"'; every other
//     backslash is kept as it is ("\n" stays two characters).
//   - The last entry may lack its ';'. A later entry replaces an earlier one
//     with the same key.
//   - Anything else where a key, '=' or ';' belongs fails the parse, as does
//     a text that ends inside a key or a value or between a key and its
//     value. Entries stored before the failing point stay in the table, but
//     the load as a whole is reported as failed.
//
// Keys and values are held in NFC like every zorvant::u8string, so a key
// written with a combining accent matches the same key written composed.
#pragma once

#include <cstddef>
#include <functional>
#include <unordered_map>

#include "foundation/u8string.h"

namespace zorvant {

// Key to translation. Hashed with the string type's FNV-1a hash; keys are
// compared byte for byte (operator==), which is what the hash is consistent
// with: compare() would call canonically equivalent texts equal although
// they hash differently.
using StringTable = std::unordered_map<u8string, u8string, std::hash<u8string>, std::equal_to<u8string>>;

} // namespace zorvant

// Empties `table` (back to 8 buckets, load factor 1.0) and parses `text`
// into it. True when the whole text parsed; an empty text, or one of only
// white space and comments, parses into an empty table. Never throws for
// any text content.
bool parse_strings(const zorvant::u8string &text, zorvant::StringTable &table);

// Parses `length` bytes of UTF-8 at `text` into the process-wide table,
// replacing whatever it held. A length of 0 empties the table and succeeds
// (a null text is allowed then). The bytes need no terminating NUL.
// False on a syntax error, invalid UTF-8, a negative length or a null text
// with a length; a failure caused by an exception also writes the line
// "Exception @ 23: <what>" to standard output. Never throws.
// Call it before other threads read the table (engine creation).
bool load_strings(const char *text, int length);

// The translation of a NUL-terminated UTF-8 key, or the key itself when the
// table has no entry. A key that is not valid UTF-8 comes back with its
// invalid bytes replaced by U+FFFD; a null key gives an empty string. If
// the lookup fails with an exception, "Exception @ 45: <what>" is written to
// standard output and the key is returned. Never throws.
zorvant::u8string localize_string(const char *key);

// The translation of `english` as a C string that stays valid, unchanged,
// for the rest of the process (malloc'ed, never freed). The cache is keyed
// by the address of `english`, not its characters: pass texts whose storage
// outlives the process (string literals). Each address is translated and
// copied once; later calls return the identical pointer. Two addresses of
// equal texts get two copies with equal contents.
// The one exception is the result buffer of localize_path (see below),
// whose content changes from call to call: it is keyed by its content.
// When anything fails on the way, `english` itself is returned and nothing
// is cached, so a later call tries again. NULL gives NULL. Thread-safe.
const char *localize_cstring(const char *english);

// `path` with each '/'-separated component replaced by its translation,
// joined again with '/' (empty components, such as a leading '/', stay
// empty). The result lives in a 1024-byte buffer of the calling thread that
// the thread's next call overwrites; copy it, or pass it to
// localize_cstring, which copies it by content. A result longer than 1023
// bytes is cut at the last whole code point that fits. NULL gives "".
const char *localize_path(const char *path);

// The process-wide table, for diagnostics and tests. Read-only after
// engine creation.
const zorvant::StringTable &engine_string_table();

namespace zorvant::testing {
// Makes the next `count` cache misses of localize_cstring fail as if the
// translation had thrown. For tests of the "nothing is cached" path only.
void fail_next_localize_cstring(int count);
} // namespace zorvant::testing
