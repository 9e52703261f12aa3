// The file-system layer: the one place where an engine path (UTF-8 text)
// reaches the operating system.
//
// Every call takes a zorvant::u8string path and hands its bytes to the
// kernel unchanged (Linux paths are byte strings, so there is no wide form).
// The core, which works with C strings, has utf8_* forms that build a
// u8string first: a NULL or non-UTF-8 C string fails with errno EINVAL
// before anything reaches the system. A path holding a NUL byte also fails
// with EINVAL instead of being cut short at the NUL.
//
// Conventions
// - Every descriptor and every stream opened here is close-on-exec, so a
//   child process (a helper tool) never inherits a handle to an image or a
//   recovered file.
// - New files are created with mode 0666 and new folders with 0777, both
//   reduced by the process umask, whatever mode the caller passes: the
//   caller's argument exists for the callers' sake and is ignored, so files
//   recovered for a user are readable as that user's umask says.
// - Failures return -1 (or false, or 0 for sizes) with errno set; ZV::fopen
//   can also hand back a ZV::Error of domain "ZV::SYSTEM".
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "foundation/error.h"
#include "foundation/u8string.h"

namespace ZV {

// --- conversions ------------------------------------------------------------

// UTF-8 form of UTF-16 text. length -1 means up to the first zero unit.
// Unpaired surrogates become U+FFFD; trailing NUL bytes of the result are
// cut. A NULL text gives "".
std::string toUTF8(const char16_t *text, long length = -1);
std::string toUTF8(const std::u16string &text);

// The form in which a path reaches the system: on Linux its UTF-8 bytes,
// unchanged (no long-path prefix exists or is needed).
std::string longPath(const zorvant::u8string &path);

// --- file system calls --------------------------------------------------------

// open(2) with O_CLOEXEC added; new files get 0666 & ~umask (permission is
// ignored). Returns the descriptor, or -1 with errno.
int open(const zorvant::u8string &path, int flags, int permission = 0666);

// fopen with "b" added when the mode has none (no meaning on Linux, kept so
// modes read the same everywhere) and "e" (close-on-exec). Returns NULL on
// failure, with errno set and, when error is not NULL, a "ZV::SYSTEM" error
// for errno stored through it. A NULL or malformed mode (not starting with
// r, w or a) fails with EINVAL.
FILE *fopen(const zorvant::u8string &path, const char *mode, std::shared_ptr<Error> *error = nullptr);

// stat(2), following symbolic links. 0 or -1 with errno.
int stat(const zorvant::u8string &path, struct stat *buffer);
int unlink(const zorvant::u8string &path);
int rmdir(const zorvant::u8string &path);
// rename(2): an existing target file is replaced atomically. 0 or -1.
int rename(const zorvant::u8string &oldPath, const zorvant::u8string &newPath);
// mkdir(2) with 0777 & ~umask (permission is ignored). 0 or -1 with errno.
int mkdir(const zorvant::u8string &path, int permission = 0777);

// Creates every missing folder of a path. 0 on success (also when all were
// there), -1 with errno otherwise: EINVAL for a path without components,
// ENOTDIR when a component exists but is not a folder, or mkdir's errno
// (ENAMETOOLONG, ENOSPC, ...). A root "/" is never created; a relative
// first component is. A folder that another thread or process creates
// between our test and our mkdir counts as created. permission is ignored
// (see mkdir).
int makeDirectories(const zorvant::u8string &path, int permission = 0777);

// True when stat succeeds; *isDirectory (when given) tells whether the path
// is a folder.
bool fileExists(const zorvant::u8string &path, bool *isDirectory = nullptr);

// Size in bytes of a regular file, or of a block device (asked from the
// device, since stat gives 0 for it). 0 for anything else and on failure.
uint64_t fileSize(const zorvant::u8string &path);

// Size in bytes of what an open descriptor names: a block device is asked
// for its size (stat gives 0 for it), anything else reports its stat size.
// False when fstat or the device fails.
bool descriptorSize(int fd, uint64_t *size);

// Sets access and modification time to time (seconds since 1970, whole
// seconds). True on success.
bool setFileTimes(const zorvant::u8string &path, time_t time);

// Linux file systems keep a birth time but offer no call to set it, so this
// always returns false with errno ENOTSUP. Callers treat that as "not
// available", not as an error of the file.
bool setFileCreationTime(const zorvant::u8string &path, time_t time);

// --- folders of the user ------------------------------------------------------

// $HOME when set and not empty, else the home folder of the user's password
// entry, else "" (never an error). A value that is not UTF-8 is skipped.
zorvant::u8string homeDirectory();

// The per-user folders of the XDG base-directory rules. Each is taken from
// its environment variable when that holds an absolute path, else from its
// default below $HOME; "" when neither is known.
enum class KnownFolder {
    ApplicationData, // $XDG_CONFIG_HOME, else $HOME/.config (settings)
    LocalData,       // $XDG_DATA_HOME,   else $HOME/.local/share
    Cache,           // $XDG_CACHE_HOME,  else $HOME/.cache
};
zorvant::u8string knownFolderPath(KnownFolder folder);
// knownFolderPath(KnownFolder::ApplicationData).
zorvant::u8string applicationDataDirectory();

// --- errors -------------------------------------------------------------------

std::shared_ptr<Error> makeError(const std::string &domain, int code, const zorvant::u8string &description);
// Domain "ZV::SYSTEM", code errnum, the C library's text for errnum. errno is
// the same afterwards as before.
std::shared_ptr<Error> systemError(int errnum);
// Stores systemError(errnum) through error when it is not NULL; keeps errno.
void setSystemError(std::shared_ptr<Error> *error, int errnum);

// Owns a stdio stream and the error of the open that made it. The stream is
// closed when the holder goes away.
struct ScopedFile {
    FILE *file = nullptr;
    std::shared_ptr<Error> error;

    ScopedFile() = default;
    explicit ScopedFile(FILE *f) : file(f) {}
    // ZV::fopen(path, mode, &error).
    ScopedFile(const zorvant::u8string &path, const char *mode);
    ~ScopedFile();
    ScopedFile(const ScopedFile &) = delete;
    ScopedFile &operator=(const ScopedFile &) = delete;

    explicit operator bool() const { return file != nullptr; }
};

} // namespace ZV

// --- C-string forms for the core ------------------------------------------------
// Each builds a u8string (EINVAL and -1 / NULL for a NULL or non-UTF-8 text)
// and calls the ZV form. Errors are reported through errno only.

// The engine string for a C-string path: its bytes validated as UTF-8 but
// not normalised, since a path names a file by its exact bytes (a name stored
// decomposed would not be found under its NFC form). False with errno EINVAL
// for NULL or text that is not UTF-8, ENOMEM when memory runs out.
bool utf8_path_text(const char *path, zorvant::u8string &out);

int utf8_open(const char *path, int flags, int permission);
FILE *utf8_fopen(const char *path, const char *mode);
int utf8_stat(const char *path, struct stat *buffer);
int utf8_unlink(const char *path);
int utf8_rmdir(const char *path);
int utf8_rename(const char *oldPath, const char *newPath);

// --- kinds of file ------------------------------------------------------------------

// What kind of file that is not a regular one the mode (of stat or lstat)
// gives, in words for a message: "a folder", "a symbolic link", "a block
// device", "a character device", "a FIFO", "a socket", else "a special file".
const char *file_kind_text(mode_t mode);

// --- positioned and plain descriptor I/O ------------------------------------------
// pread(2), pwrite(2) and write(2) repeated while they fail with EINTR; the
// last result is returned (a short count is returned as it is). pread and
// pwrite are the kernel's own: atomic, and the descriptor's offset is left
// where it was, so one descriptor may serve several threads.

ssize_t pread_eintr(int fd, void *buffer, size_t count, int64_t offset);
ssize_t pwrite_eintr(int fd, const void *buffer, size_t count, int64_t offset);
ssize_t write_eintr(int fd, const void *buffer, size_t count);
