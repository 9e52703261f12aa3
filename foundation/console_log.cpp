// The console log's writer, kept out of the header so every argument list
// shares one copy of the formatting and error handling.
#include "foundation/console_log.h"

#include <cstdio>
#include <new>
#include <string>

namespace ZV {
namespace detail {

void console_log_write(int level, const char *format, fmt::printf_args args) noexcept
{
    if (!format)
        format = "";
    try {
        std::string line;
        try {
            line = fmt::format("[{}] {}\n", level, fmt::vsprintf(fmt::string_view(format), args));
        } catch (const fmt::format_error &error) {
            line = fmt::format("[{}] {} (bad log format: {})\n", level, format, error.what());
        }
        std::fwrite(line.data(), 1, line.size(), stdout);
    } catch (const std::exception &) {
        // Out of memory: the line is dropped.
    }
}

} // namespace detail
} // namespace ZV
