// The engine log ("ScanEngineLog.txt" in the workspace) and the log-file
// object under it. Lines are "<:mm:ss.ms: ><tag ><contexts><message>", with an
// hour header whenever the hour (or the time-zone offset) changes.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "foundation/sysutil.h"

enum : uint32_t {
    LOG_CRITICAL = 0,
    LOG_ERROR = 1,
    LOG_WARNING = 2,
    LOG_INFO = 3,
    LOG_USER = 4,
    LOG_VERBOSE = 10,
    LOG_DEBUG = 15,
    LOG_TRACE = 16,
    LOG_PATH = 0xFFFFFFFFu, // always written, no tag
};

enum : uint32_t {
    LOGFILE_PATH_LINE = 1, // write the log's own path as the first line
    LOGFILE_ROTATE = 2,    // shift older copies aside when opening a log over
                           // 1 MiB or begun on another day (five copies kept)
};

struct LogFile {
    uint64_t last_hour_key; // all ones until the first line
    int fd;                 // write-only, O_APPEND, close-on-exec
    uint32_t threshold;     // lines above it are dropped (4 after opening)
    uint32_t flags;         // LOGFILE_* (24 bits)
    std::string path;       // UTF-8
    uint64_t generation;    // never reused; keys the per-thread context stacks
};

// Log-file object.
LogFile *logfile_open(const char *path, uint32_t flags);
void logfile_close(LogFile *log);
void logfile_set_level(LogFile *log, uint32_t level);
void logfile_printf(LogFile *log, uint32_t level, const char *format, ...) ZV_PRINTF(3, 4);
void logfile_vprintf(LogFile *log, uint32_t level, const char *format, va_list args) ZV_PRINTF(3, 0);
// Copy n (0 newest .. 4 oldest) of a log path: stem + n + extension; -1 is the path itself.
std::string logfile_rotated_path(const std::string &path, int n);

// Engine log. Writing a line leaves errno as it was, so a failing step may
// log before it hands its errno on.
void log_open(const char *path);
void log_close();
void log_error(const char *format, ...) ZV_PRINTF(1, 2);
void log_warning(const char *format, ...) ZV_PRINTF(1, 2);
void log_info(const char *format, ...) ZV_PRINTF(1, 2);
void log_message(uint32_t level, const std::string &text);
// n = 0: the log itself; n >= 1: older copy n - 1.
std::string log_file_path(int n);
void log_push_context(const char *text);
void log_pop_context();

// Tests replace the wall clock with their own source (NULL restores it).
typedef void (*log_time_source)(int64_t *seconds, int32_t *microseconds);
void log_set_time_source(log_time_source source);
