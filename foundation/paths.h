// Path rules of both layers.
//
// Every path is text: UTF-8 in a zorvant::u8string or a std::string, or a
// NUL-terminated C string in the core.
//
// Class layer (namespace ZV, plus zorvant::path_separator/path_append/
// path_join): style-aware operations. A style is 0 native, 1 POSIX, 2
// Windows; on this platform native means POSIX. The Windows style stays
// available as pure text rules (drive letters, "\\?\" long paths, "\\.\"
// devices, "\\" UNC names) for names that come from Windows media or
// settings. In Windows style only the backslash separates and "/" is an
// ordinary character; in POSIX style a backslash is ordinary. A style other
// than 0, 1 or 2 throws std::invalid_argument "invalid path style".
//
// Where both forms exist, the zorvant::u8string overload counts positions and
// lengths in code points and the std::string overload in bytes; otherwise
// they behave the same.
//
// Core (global namespace): small C-string functions that know only "/".
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "foundation/u8string.h"

namespace ZV {

enum PathStyle : int {
    kPathStyleNative = 0,  // resolves to kPathStylePOSIX here
    kPathStylePOSIX = 1,   // separator "/"
    kPathStyleWindows = 2, // separator "\"
};

// 0 becomes 1; 1 and 2 are returned as they are; anything else throws
// std::invalid_argument "invalid path style".
int resolvePathStyle(int style);

// Windows prefixes, each built once: "\\?\" (long path), "\\.\" (device),
// "\\" (UNC).
const std::string &longPathPrefix();
const std::string &devicePathPrefix();
const std::string &uncPathPrefix();

// --- data model (both forms) -------------------------------------------

// The first of long-path, device and UNC prefix that begins the path; "" for none.
zorvant::u8string pathPrefix(const zorvant::u8string &path);
std::string pathPrefix(const std::string &path);
// At least two characters from pos, the one at pos an ASCII letter, the next ":".
bool hasDriveLetter(const zorvant::u8string &text, size_t pos = 0);
bool hasDriveLetter(const std::string &text, size_t pos = 0);
// Exactly three characters from pos to the end: a drive letter and a backslash ("C:\").
bool isDriveRoot(const zorvant::u8string &text, size_t pos = 0);
bool isDriveRoot(const std::string &text, size_t pos = 0);
// Begins with "\\?\" and has a drive letter at position 4.
bool isLongPathDrive(const zorvant::u8string &path);
bool isLongPathDrive(const std::string &path);
// Windows: "C:\" or "\\?\C:\"; POSIX: exactly "/". Not "C:", "\\?\C:" or "//".
bool isRootPath(const zorvant::u8string &path, int style = kPathStyleNative);
bool isRootPath(const std::string &path, int style = kPathStyleNative);

// --- components and parents --------------------------------------------

// Splits at the separator, dropping empty components. POSIX: a leading "/"
// becomes a first component "/" ("/a//b/" gives "/", "a", "b"). Windows: a
// prefix is joined to the first component ("\\server\share\x" gives
// "\\server", "share", "x") and a drive gets its backslash back ("C:\a" gives
// "C:\", "a"; "C:" gives "C:\"; "\\?\C:" gives "\\?\C:\").
std::vector<zorvant::u8string> pathComponents(const zorvant::u8string &path, int style = kPathStyleNative);
std::vector<std::string> pathComponents(const std::string &path, int style = kPathStyleNative);
// The last of pathComponents, or "" when there is none ("/" gives "/").
zorvant::u8string lastPathComponent(const zorvant::u8string &path, int style = kPathStyleNative);
std::string lastPathComponent(const std::string &path, int style = kPathStyleNative);
// Cuts the path to its parent in place. A root or empty path is left alone;
// one trailing separator is ignored; POSIX keeps a leading "/" ("/a" and "//"
// give "/"); Windows gives a drive its backslash back ("C:\a" gives "C:\").
// A path without a separator becomes "". The result is always shorter than
// the argument unless the argument was a root or empty, so a loop that climbs
// to the top ends.
void removeLastPathComponent(zorvant::u8string &path, int style = kPathStyleNative);
void removeLastPathComponent(std::string &path, int style = kPathStyleNative);
// A cut copy; the argument is left alone.
std::string parentPath(const std::string &path, int style = kPathStyleNative);

// --- joining -------------------------------------------------------------

// An empty component changes nothing; otherwise a separator is put in between
// unless the path is empty, already ends with one, or the component begins
// with one. Joining the components of a path gives the path back up to
// doubled and trailing separators.
void appendPathComponent(std::string &path, const std::string &component, int style = kPathStyleNative);
// first and second appended in turn to an empty text, native style.
std::string joinPath(const std::string &first, const std::string &second);
std::string joinPathComponents(const std::vector<std::string> &components, int style = kPathStyleNative);

// --- names ---------------------------------------------------------------

// The characters after the last "." of the last component: "gz" for
// "archive.tar.gz", "profile" for ".profile", "" for "a." and "a".
std::string pathExtension(const std::string &path, int style = kPathStyleNative);
// The last component; without keepExtension a non-empty extension and its dot
// are cut off (".profile" gives "", "a." stays "a.").
std::string fileName(const std::string &path, bool keepExtension, int style = kPathStyleNative);

// Absolute form of a path, by text alone (the path need not exist): runs of
// "/" after the first two characters are collapsed (so a leading "//" stays,
// as a UNC prefix would); a relative path is taken from getcwd(); "." and ".."
// are resolved in the text, a ".." at the root staying at the root. A
// trailing "/" is kept. When the current folder cannot be read, or the path
// is empty, the collapsed text is returned.
std::string normalizePath(const std::string &path);

// --- text helpers ----------------------------------------------------------

// Cuts text at every character of the delimiter set. A delimiter at the very
// first position gives no token, a delimiter right after another gives an
// empty token unless compress, text after the last delimiter gives a last
// token and a trailing delimiter none: ",a,,b," gives "a", "", "b".
std::vector<zorvant::u8string> splitString(const zorvant::u8string &text, const zorvant::u8string &delimiters,
                                           bool compress = false);
std::vector<std::string> splitString(const std::string &text, const std::string &delimiters, bool compress = false);
// Replaces every occurrence of search from position start on, each next search
// beginning right after the inserted replacement. True when something was
// replaced. An empty search text matches nothing. A start past the end throws
// std::out_of_range "invalid string position".
bool replaceAll(zorvant::u8string &text, const zorvant::u8string &search, const zorvant::u8string &replacement,
                size_t start = 0);
bool replaceAll(std::string &text, const std::string &search, const std::string &replacement, size_t start = 0);
bool hasPrefix(const zorvant::u8string &text, const zorvant::u8string &prefix);
bool hasPrefix(const std::string &text, const std::string &prefix);

} // namespace ZV

namespace zorvant {

// "/" for styles 0 and 1, "\" for 2; built once, thread-safely, on first use.
const u8string &path_separator(int style = ZV::kPathStyleNative);
// The u8string form of ZV::appendPathComponent.
void path_append(u8string &path, const u8string &component, int style = ZV::kPathStyleNative);
// first and second appended in turn to an empty text, native style.
u8string path_join(const u8string &first, const u8string &second);

} // namespace zorvant

// --- core: C strings, "/" only ------------------------------------------------

// Just after the last "/", or the path itself; NULL for NULL.
const char *path_basename(const char *path);
inline char *path_basename(char *path) { return const_cast<char *>(path_basename(static_cast<const char *>(path))); }
// Just after the last "." when that dot lies after the last "/"; else NULL.
const char *path_extension(const char *path);
inline char *path_extension(char *path) { return const_cast<char *>(path_extension(static_cast<const char *>(path))); }
// Writes a NUL over the dot of the extension (the last "." after the last
// "/"); a dot in a folder name is left alone ("Scan.01/spans" stays).
void strip_extension(char *path);
// Cuts a path to its folder in place: "/a/b" and "/a/b/" give "/a", "/x" and
// "/" give "/", "a/b" gives "a", "a/b/" gives "a/b", "a" gives "". Note that
// path_dirname_copy gives "a" for "a/b/": callers choose on purpose.
void path_dirname(char *path);
// POSIX dirname into out: NULL or "" give "."; trailing "/" are ignored; only
// "/" gives "/"; no "/" gives ".". Returns 0, or -1 (out empty when out_size
// > 0) when out is NULL, out_size < 2 or the folder does not fit.
int path_dirname_copy(const char *path, char *out, size_t out_size);
// Copies the characters up to the next "/" into buffer (cut to size - 1 and
// NUL-terminated; nothing is written when buffer is NULL or size 0) and
// returns a pointer past the "/" characters that follow; NULL when text is
// NULL or empty.
const char *path_next_component(const char *text, char *buffer, size_t size);
// malloc'ed array of malloc'ed components: a leading "/" gives an empty first
// component, runs of "/" and a trailing "/" give none. NULL (and *count 0)
// for NULL, "" or no count pointer, or when memory runs out.
char **path_split(const char *path, size_t *count);
void free_string_array(char **array, size_t count);
// At least two characters, a letter (either case) then ":".
int is_drive_path(const char *path);
// When path begins with folder followed by "/" (or folder itself ends in
// "/"), the rest of path after that "/"; else NULL.
const char *path_relative_to(const char *path, const char *folder);
// 1 when stat(2) succeeds, else 0.
int path_exists(const char *path);
// 1 when both name the same place (same device, inode and mode), 0 when not,
// -1 on error. Two missing paths compare by their folders and then by their
// last components, byte for byte.
int same_path(const char *a, const char *b);
