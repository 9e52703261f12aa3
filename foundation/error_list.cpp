// The process-wide error list.
//
// Up to kMaxEntries {code, count} pairs in the order they were recorded. A
// code recorded again right after itself raises the count of the last entry;
// after another code it becomes a new entry; once the list is full, new codes
// are dropped (a repeat of the last one still counts). The text form is
// "[" entries joined by one blank "]", an entry with count 1 as "%d" and one
// with count n >= 2 as "n*code": 283, 307, 307 gives "[283 2*307]".
//
// add_error_errno folds errno into the code as code + errno * 1000. Those are
// Linux errno values, which differ from the Windows C runtime's for all but
// the oldest ones (ETIMEDOUT is 110 here, 138 there; ENOSPC 28 is the same),
// so a recorded number names the Linux error.
//
// Every operation takes the one mutex: the engine thread, the block reader's
// thread and the catalog worker all record codes. An exception inside (a
// failed lock or allocation) is logged and swallowed; nothing is rethrown.

#include "foundation/error_list.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "foundation/log.h"

namespace {

// The list reports what went wrong first; 30 entries are plenty for a scan's
// end line and keep it short.
constexpr int kMaxEntries = 30;

struct ErrorEntry {
    int code;
    int count;
};

struct ErrorList {
    std::mutex mutex;
    ErrorEntry entries[kMaxEntries] = {};
    int used = 0;
};

// Constant-initialised (std::mutex has a constexpr constructor), so codes
// recorded during other files' static initialisation are safe.
ErrorList g_errors;

void add_acc(int code)
{
    try {
        std::lock_guard<std::mutex> lock(g_errors.mutex);
        if (g_errors.used > 0 && g_errors.entries[g_errors.used - 1].code == code) {
            ErrorEntry &last = g_errors.entries[g_errors.used - 1];
            if (last.count < INT32_MAX) // a count that cannot grow stays at its maximum
                last.count++;
        } else if (g_errors.used < kMaxEntries) {
            g_errors.entries[g_errors.used++] = ErrorEntry{code, 1};
        }
    } catch (...) {
        log_error("exception in _add_acc");
    }
}

} // namespace

void add_error(int code)
{
    log_error("add_error: %d", code);
    add_acc(code);
}

void add_error_errno(int code)
{
    // Logging formats and writes, which may change errno: take it first, and
    // give it back to the caller unchanged.
    int saved_errno = errno;
    log_error("add_error_errno: %d %d", code, saved_errno);
    // Wrapping arithmetic: an absurd code must not overflow a signed int.
    add_acc(static_cast<int>(static_cast<unsigned>(code) + static_cast<unsigned>(saved_errno) * 1000u));
    errno = saved_errno;
}

void clear_errors()
{
    try {
        std::lock_guard<std::mutex> lock(g_errors.mutex);
        g_errors.used = 0;
    } catch (...) {
        log_error("exception in clear_errors");
    }
}

int n_errors()
{
    try {
        std::lock_guard<std::mutex> lock(g_errors.mutex);
        return g_errors.used;
    } catch (...) {
        log_error("exception in n_errors");
        return 0;
    }
}

char *error_list_string()
{
    try {
        std::string text = "[";
        {
            std::lock_guard<std::mutex> lock(g_errors.mutex);
            for (int i = 0; i < g_errors.used; i++) {
                const ErrorEntry &e = g_errors.entries[i];
                if (i > 0)
                    text += ' ';
                if (e.count >= 2)
                    text += std::to_string(e.count) + '*';
                text += std::to_string(e.code);
            }
        }
        text += ']';
        char *result = static_cast<char *>(std::malloc(text.size() + 1));
        if (result == nullptr)
            throw std::bad_alloc();
        std::memcpy(result, text.c_str(), text.size() + 1);
        return result;
    } catch (...) {
        log_error("exception in error_list_string");
        return nullptr;
    }
}

std::string error_list_str()
{
    char *text = error_list_string();
    if (text == nullptr)
        return std::string();
    std::string result;
    try {
        result = text;
    } catch (...) {
        result.clear();
    }
    std::free(text);
    return result;
}
