// Number and byte-count texts. See number_format.h.
//
// Implementation notes
// - The formatting locale is the "C" locale with the comma_numpunct facet,
//   built once. Starting from the user's locale instead (std::locale(""))
//   would change nothing in the output, since only the number punctuation
//   shapes a written number, but under glibc it throws std::runtime_error as
//   soon as LANG or LC_ALL names a locale that is not installed, which is
//   common in containers and would break the first progress poll.
// - The unit names live in a function-local static so that they hold their
//   English texts even for a caller that runs among the static initialisers.
#include "foundation/number_format.h"

#include <array>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include "foundation/strings.h"

namespace ZV {
namespace {

// The largest precision passed to the stream; see decimalString in the header.
constexpr int kMaxDecimals = 40;

// Number of entries in each unit list: bytes, K, M, G, T, P, E, Z, Y, B.
constexpr size_t kUnitCount = 10;

struct UnitNames {
    std::string singular = "byte";
    std::string plural = "bytes";
    std::array<std::string, kUnitCount> decimal{"bytes", "KB", "MB", "GB", "TB",
                                                "PB",    "EB", "ZB", "YB", "BB"};
    std::array<std::string, kUnitCount> binary{"bytes", "KiB", "MiB", "GiB", "TiB",
                                               "PiB",   "EiB", "ZiB", "YiB", "BiB"};
};

UnitNames &unitNames()
{
    static UnitNames names;
    return names;
}

const std::locale &formattingLocale()
{
    // The locale takes ownership of the facet (its reference count starts
    // at 0).
    static const std::locale locale(std::locale::classic(), new comma_numpunct);
    return locale;
}

std::string translated(const char *key)
{
    return localize_string(key).str();
}

} // namespace

std::string NumberFormatter::integerString(uint64_t value)
{
    std::ostringstream out;
    out.imbue(formattingLocale());
    out << value;
    return out.str();
}

std::string NumberFormatter::decimalString(double value, int decimals)
{
    if (decimals < 0)
        decimals = 0;
    if (decimals > kMaxDecimals)
        decimals = kMaxDecimals;
    std::ostringstream out;
    out.imbue(formattingLocale());
    out << std::fixed << std::setprecision(decimals) << value;
    std::string text = out.str();
    // Only zeros after a decimal point are dropped: "100" stays "100".
    if (text.find('.') != std::string::npos) {
        size_t end = text.find_last_not_of('0');
        text.erase(end + 1);
        if (!text.empty() && text.back() == '.')
            text.pop_back();
    }
    return text;
}

std::string NumberFormatter::byteCountString(uint64_t count, int mode, int decimals)
{
    const UnitNames &names = unitNames();
    double divisor = 1024.0;
    const std::array<std::string, kUnitCount> *units = &names.decimal;
    if (mode == 1)
        divisor = 1000.0;
    else if (mode == 3)
        units = &names.binary;

    double value = static_cast<double>(count);
    size_t index = 0;
    while (value >= divisor) {
        value /= divisor;
        ++index;
    }
    // 2^64 - 1 ends at index 6 (EB); the check keeps a wrong divisor from
    // ever reading past the list.
    if (index >= kUnitCount)
        throw std::out_of_range("invalid array<T, N> subscript");
    const std::string &unit = count == 1 ? names.singular : (*units)[index];
    return decimalString(value, decimals) + " " + unit;
}

void NumberFormatter::loadUnitNames()
{
    static const char *const kDecimalKeys[kUnitCount] = {nullptr, "KB", "MB", "GB", "TB",
                                                         "PB",    "EB", "ZB", "YB", "BB"};
    static const char *const kBinaryKeys[kUnitCount] = {nullptr, "KiB", "MiB", "GiB", "TiB",
                                                        "PiB",   "EiB", "ZiB", "YiB", "BiB"};
    UnitNames &names = unitNames();
    names.plural = translated("bytes");
    names.singular = translated("byte");
    names.decimal[0] = names.plural;
    names.binary[0] = names.plural;
    for (size_t i = 1; i < kUnitCount; ++i) {
        names.decimal[i] = translated(kDecimalKeys[i]);
        names.binary[i] = translated(kBinaryKeys[i]);
    }
}

} // namespace ZV
