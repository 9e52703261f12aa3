// The class layer's console log: "[<level>] <message>\n" on standard output
// for levels up to 4. Higher levels print nothing (the FAT and disk-image
// readers trace at 6 and 7, so those lines stay silent).
//
// Formats follow printf's rules but are checked against the actual argument
// types at run time (length modifiers such as "%lu" are accepted and ignored).
// A format that does not match its arguments never throws: the line then
// carries the format itself and the reason.
//
// Lines are written with one stdio call each; nothing else is promised about
// lines logged at once from several threads.
#pragma once

#include <fmt/printf.h>

namespace ZV {

constexpr int kConsoleLogThreshold = 4;

namespace detail {
void console_log_write(int level, const char *format, fmt::printf_args args) noexcept;
}

// ZV::log(3, "Can't open %s: %lu", name, code). Arguments are taken by value so
// that string literals decay to const char*.
template <typename... Args>
void log(int level, const char *format, Args... args) noexcept
{
    if (level > kConsoleLogThreshold)
        return;
    detail::console_log_write(level, format, fmt::make_printf_args(args...));
}

} // namespace ZV
