// The engine log and the log-file object.
//
// File layout (plain UTF-8 text, no byte-order mark, appended to):
//
//   2024-07-01 14:00:00 +200          hour header: date, hour, offset east of UTC
//   :05:09.5  : /work/ScanEngineLog.txt      the path line (no tag)
//   :05:09.5  : [U] log level changed
//   :05:10.120: [I] Scan TS block 17 read   tag, context texts, message
//
// The offset prints as its whole hours with a sign and then the remaining
// minutes: +5:30 is "+530", -8:00 is "-800", UTC is "+000". A new header is
// written whenever the local hour, day, month or offset differs from the one
// of the previous line (the year is not compared), so a log read on its own
// still tells the full time of every line.
//
// Implementation notes
// - Older copies: opening with LOGFILE_ROTATE shifts ScanEngineLog.txt to
//   ScanEngineLog0.txt, 0 to 1 ... 3 to 4, and deletes 4 first, when the log
//   is due: over 1 MiB, or begun on another day than today (the date of its
//   first line, the hour header, against today's local date from the log's
//   clock). The program opens the engine log at every command, so a log
//   rotated at every opening would lose a scan's lines five commands later.
//   A missing or empty log is not due; one that is no regular file, or whose
//   first line is no header, is. A copy that cannot be moved is reported on
//   standard error and the rest goes on.
// - Context texts belong to a thread and to one opening of the engine log.
//   They are keyed by the LogFile's generation number, which is never reused,
//   so a log object that happens to reuse a freed address starts clean. The
//   stacks of logs that are no longer open are dropped on the next push/pop.
// - The engine log's pointer is only read or replaced under one mutex, so a
//   thread may log while another reopens the log (the engine does that when its
//   workspace folder moves).
// - A LogFile itself has no lock: one writer at a time. The engine front ends
//   serialise through the engine-log mutex.
// - The offset comes from tm_gmtoff, so summer time shows (+200 in Paris in
//   July, +100 in January).
#include "foundation/log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t kNoHourKey = ~uint64_t{0};
constexpr uint32_t kFlagMask = 0xFFFFFFu;  // the flags are a 24-bit field
constexpr uint32_t kHighestThreshold = 16; // logfile_set_level ignores anything above
constexpr int kOldestCopy = 4;             // copies 0 (newest) .. 4 (oldest)
constexpr off_t kRotateBytes = 1 << 20;    // a log over 1 MiB is set aside on opening
constexpr int32_t kMicrosPerSecond = 1000000;

std::atomic<log_time_source> g_time_source{nullptr};
std::atomic<uint64_t> g_next_generation{1}; // 0 means "no log"

// Engine-log globals. g_engine_mutex guards both and serialises the writers.
std::mutex g_engine_mutex;
LogFile *g_engine_log = nullptr;
std::string g_engine_path;

// This thread's context texts, per log generation, in push order.
thread_local std::map<uint64_t, std::vector<std::string>> t_contexts;

const char *level_tag(uint32_t level)
{
    switch (level) {
    case LOG_CRITICAL: return "[C]";
    case LOG_ERROR: return "[E]";
    case LOG_WARNING: return "[W]";
    case LOG_INFO: return "[I]";
    case LOG_USER: return "[U]";
    case LOG_VERBOSE: return "[V]";
    case LOG_DEBUG: return "[D]";
    case LOG_PATH: return nullptr;
    default: return level >= LOG_TRACE ? "[T]" : nullptr;
    }
}

bool level_passes(const LogFile *log, uint32_t level)
{
    return level == LOG_PATH || level <= log->threshold;
}

void current_time(int64_t *seconds, int32_t *microseconds)
{
    log_time_source source = g_time_source.load(std::memory_order_acquire);
    if (source) {
        *seconds = 0;
        *microseconds = 0;
        source(seconds, microseconds);
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    *seconds = now.tv_sec;
    *microseconds = static_cast<int32_t>(now.tv_nsec / 1000);
}

// Writes every byte, retrying after signals and short writes. Other errors
// (disk full, a closed descriptor) drop the rest: write errors are not reported.
void write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (written == 0)
            return; // no progress possible; never spin
        data += written;
        size -= static_cast<size_t>(written);
    }
}

// The line writer: contexts, filter, hour header, line head, tag, message.
void write_line(LogFile *log, uint32_t level, const char *message, int64_t seconds,
                int32_t microseconds)
{
    if (!level_passes(log, level))
        return;

    std::string text;
    auto stack = t_contexts.find(log->generation);
    if (stack != t_contexts.end()) {
        for (const std::string &context : stack->second) {
            text += context;
            text += ' ';
        }
    }
    text += message;
    if (text.empty())
        return;

    // A time source may hand out any microsecond count; carry it into seconds.
    seconds += microseconds / kMicrosPerSecond;
    microseconds %= kMicrosPerSecond;
    if (microseconds < 0) {
        microseconds += kMicrosPerSecond;
        seconds -= 1;
    }

    time_t when = static_cast<time_t>(seconds);
    struct tm local;
    if (!localtime_r(&when, &local)) {
        // Out of the C library's range: a recognisable 1970-01-01 00:00 +000.
        std::memset(&local, 0, sizeof local);
        local.tm_year = 70;
        local.tm_mday = 1;
    }
    long offset_minutes = local.tm_gmtoff / 60; // east of UTC, truncated

    uint64_t hour_key = (uint64_t{static_cast<uint32_t>(offset_minutes)} << 32) |
                        (uint64_t{static_cast<uint8_t>(local.tm_mon)} << 16) |
                        (uint64_t{static_cast<uint8_t>(local.tm_mday)} << 8) |
                        uint64_t{static_cast<uint8_t>(local.tm_hour)};

    std::string out;
    char chunk[96];
    if (hour_key != log->last_hour_key) {
        log->last_hour_key = hour_key;
        std::snprintf(chunk, sizeof chunk, "%d-%02d-%02d %02d:00:00 %+02ld%02d\n",
                      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      offset_minutes / 60, static_cast<int>(std::labs(offset_minutes % 60)));
        out += chunk;
    }
    std::snprintf(chunk, sizeof chunk, ":%02d:%02d.%-3ld: ", local.tm_min, local.tm_sec,
                  static_cast<long>(microseconds / 1000));
    out += chunk;
    if (const char *tag = level_tag(level)) {
        out += tag;
        out += ' ';
    }
    out += text;
    if (text.back() != '\n')
        out += '\n';
    write_all(log->fd, out.data(), out.size());
}

// Shifts the older copies up by one, keeping at most five.
void rotate_copies(const std::string &path)
{
    for (int n = kOldestCopy; n >= -1; --n) {
        std::string name = logfile_rotated_path(path, n);
        struct stat info;
        // lstat: a dangling link still counts as a copy and is moved, not followed.
        if (lstat(name.c_str(), &info) != 0)
            continue;
        if (n == kOldestCopy) {
            if (unlink(name.c_str()) != 0)
                std::fprintf(stderr, "Can't unlink %s\n", name.c_str());
        } else {
            std::string next = logfile_rotated_path(path, n + 1);
            if (std::rename(name.c_str(), next.c_str()) != 0)
                std::fprintf(stderr, "Can't rename %s to %s\n", name.c_str(), next.c_str());
        }
    }
}

// Today's local date as the hour headers print it ("2024-07-01").
std::string today_text()
{
    int64_t seconds;
    int32_t microseconds;
    current_time(&seconds, &microseconds);
    time_t when = static_cast<time_t>(seconds);
    struct tm local;
    if (!localtime_r(&when, &local))
        return std::string();
    char text[32];
    std::snprintf(text, sizeof text, "%d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    return text;
}

// Whether the log at path is set aside before opening (see the notes above).
bool rotation_due(const std::string &path)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        return false;
    if (!S_ISREG(info.st_mode))
        return true; // a link or anything else there is moved aside, never followed
    if (info.st_size == 0)
        return false;
    if (info.st_size > kRotateBytes)
        return true;
    char head[32] = {};
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return true;
    ssize_t got = read(fd, head, sizeof head - 1);
    close(fd);
    int year = 0, month = 0, day = 0, hour = 0;
    if (got <= 0 || std::sscanf(head, "%d-%2d-%2d %2d:00:00 ", &year, &month, &day, &hour) != 4)
        return true;
    char begun[32];
    std::snprintf(begun, sizeof begun, "%d-%02d-%02d", year, month, day);
    return today_text() != begun;
}

// Drops this thread's stacks of logs other than the one with generation keep
// (0 drops all). Only the engine log carries contexts, so any other key is a
// closed log.
void drop_stale_stacks(uint64_t keep)
{
    for (auto it = t_contexts.begin(); it != t_contexts.end();) {
        if (it->first != keep)
            it = t_contexts.erase(it);
        else
            ++it;
    }
}

uint64_t engine_generation()
{
    std::lock_guard<std::mutex> lock(g_engine_mutex);
    return g_engine_log ? g_engine_log->generation : 0;
}

// Keeps errno as the caller had it: a failing step logs before it hands
// its errno on.
ZV_PRINTF(2, 0) void engine_vprintf(uint32_t level, const char *format, va_list args)
{
    const int error = errno;
    {
        std::lock_guard<std::mutex> lock(g_engine_mutex);
        if (g_engine_log)
            logfile_vprintf(g_engine_log, level, format, args);
    }
    errno = error;
}

} // namespace

// ---- Log-file object ----

LogFile *logfile_open(const char *path, uint32_t flags)
{
    if (!path || !*path)
        return nullptr;
    flags &= kFlagMask;
    try {
        std::string name(path);
        // Each opening reads the time-zone setting afresh (localtime_r alone
        // keeps the one it saw first); the rotation compares local dates.
        tzset();
        if ((flags & LOGFILE_ROTATE) && rotation_due(name))
            rotate_copies(name);

        // A link is not followed and a FIFO's open never waits for a
        // reader; a FIFO or socket is refused (a device such as /dev/full
        // is kept). Writes then block as usual.
        int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
        if (fd < 0)
            return nullptr;
        struct stat info;
        const int status = fcntl(fd, F_GETFL);
        if (fstat(fd, &info) != 0 || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || status < 0 ||
            fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
            close(fd);
            return nullptr;
        }
        lseek(fd, 0, SEEK_END);

        LogFile *log = new (std::nothrow) LogFile{kNoHourKey, fd, LOG_USER, flags, std::move(name),
                                                  g_next_generation.fetch_add(1)};
        if (!log) {
            close(fd);
            return nullptr;
        }
        if (flags & LOGFILE_PATH_LINE)
            logfile_printf(log, LOG_PATH, "%s", path);
        return log;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void logfile_close(LogFile *log)
{
    if (!log)
        return;
    t_contexts.erase(log->generation);
    if (log->fd >= 0)
        close(log->fd);
    delete log;
}

void logfile_set_level(LogFile *log, uint32_t level)
{
    if (!log || level > kHighestThreshold)
        return;
    log->threshold = level;
    logfile_printf(log, level, "log level changed");
}

void logfile_printf(LogFile *log, uint32_t level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    logfile_vprintf(log, level, format, args);
    va_end(args);
}

void logfile_vprintf(LogFile *log, uint32_t level, const char *format, va_list args)
{
    if (!log || !format || !level_passes(log, level))
        return; // filtering first spares the formatting; the result is the same
    char *message = nullptr;
    if (vasprintf(&message, format, args) < 0)
        return; // out of memory: the line is dropped
    int64_t seconds;
    int32_t microseconds;
    current_time(&seconds, &microseconds);
    try {
        write_line(log, level, message, seconds, microseconds);
    } catch (const std::bad_alloc &) {
        // dropped, as a failed formatting is
    }
    std::free(message);
}

std::string logfile_rotated_path(const std::string &path, int n)
{
    if (n < 0)
        return path;
    size_t slash = path.rfind('/');
    size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    // A dot in a folder name or at the start of the file name (".log") is no extension.
    bool has_extension = dot != std::string::npos && dot > name_start;
    std::string rotated = has_extension ? path.substr(0, dot) : path;
    rotated += std::to_string(n);
    if (has_extension)
        rotated += path.substr(dot);
    return rotated;
}

void log_set_time_source(log_time_source source)
{
    g_time_source.store(source, std::memory_order_release);
}

// ---- Engine log ----

void log_open(const char *path)
{
    std::lock_guard<std::mutex> lock(g_engine_mutex);
    if (g_engine_log) {
        logfile_close(g_engine_log);
        g_engine_log = nullptr;
    }
    g_engine_log = logfile_open(path, LOGFILE_PATH_LINE | LOGFILE_ROTATE);
    if (g_engine_log)
        logfile_set_level(g_engine_log, LOG_USER);
    g_engine_path = path ? path : "";
}

void log_close()
{
    std::lock_guard<std::mutex> lock(g_engine_mutex);
    logfile_close(g_engine_log);
    g_engine_log = nullptr;
}

void log_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    engine_vprintf(LOG_ERROR, format, args);
    va_end(args);
}

void log_warning(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    engine_vprintf(LOG_WARNING, format, args);
    va_end(args);
}

void log_info(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    engine_vprintf(LOG_INFO, format, args);
    va_end(args);
}

void log_message(uint32_t level, const std::string &text)
{
    const int error = errno;
    {
        std::lock_guard<std::mutex> lock(g_engine_mutex);
        if (g_engine_log)
            logfile_printf(g_engine_log, level, "%s", text.c_str());
    }
    errno = error;
}

std::string log_file_path(int n)
{
    std::lock_guard<std::mutex> lock(g_engine_mutex);
    if (g_engine_path.empty())
        return std::string();
    return n <= 0 ? g_engine_path : logfile_rotated_path(g_engine_path, n - 1);
}

// The stacks are this thread's own, so only the log pointer needs the lock.
void log_push_context(const char *text)
{
    uint64_t generation = engine_generation();
    if (generation == 0)
        return;
    drop_stale_stacks(generation);
    t_contexts[generation].emplace_back(text ? text : "");
}

void log_pop_context()
{
    uint64_t generation = engine_generation();
    drop_stale_stacks(generation);
    auto stack = t_contexts.find(generation);
    if (stack == t_contexts.end())
        return;
    if (!stack->second.empty())
        stack->second.pop_back();
    if (stack->second.empty())
        t_contexts.erase(stack);
}
