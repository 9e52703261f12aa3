// Small text helpers shared by many layers: printf-style formatting into a
// std::string, taking lines off a buffer, trimming, hexadecimal digits,
// reading a whole text file and Base64 decoding (the data elements of XML property lists).
//
// The error list as text (error_list_str) is in foundation/error_list.h, the
// error object (ZV::Error) in foundation/error.h.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "foundation/sysutil.h"
#include "foundation/u8string.h"

namespace ZV {

// printf-style formatting. A formatting error, or a result of length 0,
// gives "". Never throws for a bad format (std::bad_alloc aside).
std::string format(const char *format, ...) ZV_PRINTF(1, 2);
// The same over an argument list; args is not consumed (the formatting walks
// copies of it), so the caller may still va_end it or reuse it.
std::string vformat(const char *format, va_list args) ZV_PRINTF(1, 0);

// Takes the first line off buffer. With no line feed (0x0A) in buffer:
// false, and neither string changes. Otherwise line = the bytes before the
// first line feed, less a carriage return directly before it; buffer loses
// those bytes and the line feed; true. A lone CR is an ordinary byte.
bool popLine(std::string &buffer, std::string &line);

// Removes blanks, tabs, CRs and LFs from both ends of text, in place.
std::string &trim(std::string &text);

// The value of a hexadecimal digit (0-9, a-f, A-F): 0 to 15; -1 for any
// other character.
int hexDigitValue(char c);

// The whole content of a file, bytes as they are. "" when the file cannot be
// opened or a read fails part-way (a partial text is never handed out as the
// whole file). Nothing is reported: callers take "" as "no file".
std::string readTextFile(const zorvant::u8string &path);

} // namespace ZV

// Decodes Base64 text (alphabet A-Z a-z 0-9 + /). White space is skipped
// anywhere; "=" ends the current group, so padded blocks may follow each
// other. Groups of 4, 3 and 2 characters give 3, 2 and 1 bytes.
// Returns a malloc'ed buffer (the caller frees it) and stores its size, or
// NULL on failure: NULL text or size (size untouched), empty text, a group
// of a single character, any other byte (every byte >= 0x80 included), or a
// result of 4 GiB or more (size cannot hold it). Text with no data at all
// (only white space and "=") gives a non-NULL buffer of size 0.
uint8_t *base64_decode(const char *text, uint32_t *size);
