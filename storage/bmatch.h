// Byte-pattern search over a stream handed over in consecutive buffers.
//
// The first up to 8 bytes of the pattern (the head) are found with a
// shift-or automaton: an 8-bit state register and a 256-entry table in which
// bit i of entry c is 0 when byte value c may stand at head position i. The
// bytes after the 8th (the tail) are compared directly once the head has
// matched. The state carries over from one buffer to the next, so a head may
// straddle two buffers; a head found so close to the end of a buffer that its
// tail runs past it becomes a pending candidate, finished against the start
// of the following buffers.
//
// An optional mask gives one byte per pattern byte: a buffer byte b matches
// pattern byte p under mask m when (b & m) == (p & m). Mask 0 matches any
// byte, 0xFF only p itself, anything else bit by bit, in the head and in the
// tail alike.
//
// A matcher belongs to one thread at a time.
#pragma once

#include <cstdint>

struct bmatch;  // opaque; see storage/bmatch.cpp

// Returns a new, not yet compiled matcher, or nullptr when out of memory.
bmatch *bmatch_new();

// Compiles `pattern` (n bytes) with `mask` (n bytes, or nullptr for exact
// bytes) into `matcher`, dropping any previous pattern, automaton state and
// pending candidates. Returns 0 on success, non-zero when the matcher or the
// pattern is null, when n < 1, or when memory for the tail runs out; after a
// failure the matcher is left uncompiled and every search returns -1.
int bmatch_compile(bmatch *matcher, const void *pattern, const void *mask, int n);

// Searches `length` bytes of `buffer`, the next part of the stream.
// Returns the exclusive end index of a match within this buffer (the number
// of bytes of this buffer up to and including the match's last byte), 0 when
// no further match ends in this buffer, or -1 for a null, uncompiled or
// failed matcher, a negative length, or a null buffer with length > 0.
//
// After a hit, calling again with the same buffer reports the next match in
// it (overlapping matches included), each exactly once and in the order of
// their ends; after 0, the next call takes the next buffer of the stream.
// A match is reported in the buffer holding its last byte; where it began is
// not promised to be recoverable from the result alone when it straddles.
int bmatch_search(bmatch *matcher, const void *buffer, int length);

// Frees *matcher with its tail and pending candidates and sets *matcher to
// nullptr. Null pointers are ignored.
void bmatch_free(bmatch **matcher);
