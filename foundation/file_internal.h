// Internal interface between the parts of the file layer (file.cpp, the
// window of kind 3 in file_window.cpp, the gzip streams of kind 4 in
// file_gzip.cpp). Not for use outside them.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/file.h"
#include "foundation/sysutil.h"

// Error-list code of a failed flush or close (the others are listed in file.h).
constexpr int kFileCloseFailedError = 535;

// The attached type's table, or NULL.
inline const vf_ops *type_ops(const file_t *f)
{
    return f->vf != nullptr ? f->vf->ops : nullptr;
}

// The name for log lines.
inline const char *name_or_null(const file_t *f)
{
    return f->name != nullptr ? f->name : "(null)";
}

// The C library's text for errnum, as a string that outlives the log call.
inline std::string error_text(int errnum)
{
    return ZV::errorString(errnum).str();
}

// True when the file was opened for writing (write-only or read-write).
bool file_opened_for_writing(const file_t *f);
// Records a lost write: sets the write-failed flag.
void file_note_write_failure();

// Positioned transfers of kinds 1 and 3: through the type's pread/pwrite
// slots when set, else the descriptor.
// Reads until count bytes, the end of the file or an error. Returns the
// bytes read; *failure is 0, or the errno of the error that stopped it
// (logged as the xpread line), so a short count at the end of the file can
// be told from one cut by an error.
int64_t file_pread_all(file_t *f, void *buffer, size_t count, int64_t offset, int *failure);
// Writes all count bytes, continuing short writes. count, or -1 with errno
// (ENOSPC when a write made no progress) after logging the xpwrite line and
// recording error 13.
int64_t file_pwrite_all(file_t *f, const void *buffer, size_t count, int64_t offset);

// Reports a read that began at position and started at the clock time
// started (ZVClockGet) to the slow-read callback when it took long enough.
void file_time_read(file_t *f, int64_t position, double started);

// Kind 3 (file_window.cpp).
int64_t window_read(file_t *f, void *buffer, int64_t count);
int64_t window_write(file_t *f, const void *buffer, int64_t count);
// Writes every dirty run of the window back. 0, or -3 after logging,
// recording error 534 and setting the write-failed flag; the runs not
// written stay dirty and the window stays where it is.
int window_write_back(file_t *f);
// Forgets the window's content (dirty or not): start, end and map cleared.
void window_reset(file_t *f);

// Kind 4 (file_gzip.cpp). gzip_open wraps f->fd in a stream with f->mode;
// on failure closes the descriptor and returns -1.
int gzip_open(file_t *f);
int64_t gzip_read(file_t *f, void *buffer, int64_t count);
int64_t gzip_write(file_t *f, const void *buffer, int64_t count);
int gzip_seek(file_t *f, int64_t position);
// gzclose: 0, -3 for a file opened for writing (data may be lost), -1 for
// one opened for reading.
int gzip_close(file_t *f);
