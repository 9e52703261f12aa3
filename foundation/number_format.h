// Counts as the engine shows them: whole numbers with thousands separators
// ("1,234,567"), decimals with trailing zeros dropped ("1.5", "2") and byte
// counts scaled to a unit ("1.5 KB", "1,024 KB", "1 byte").
//
// The texts never follow the user's regional settings: the decimal point is
// always "." and the thousands separator always ",", in groups of three, so
// the same count reads the same in every log, report and progress line.
// Unit names alone are translated, once, at engine start (loadUnitNames).
#pragma once

#include <cstdint>
#include <locale>
#include <string>

namespace ZV {

// Number punctuation of the formatting locale: the "C" locale's, with ","
// between groups of three digits. The decimal point stays the "C" ".".
class comma_numpunct : public std::numpunct<char> {
protected:
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

// Holds no data: every operation is static and thread-safe, so callers may
// use an instance (the status object keeps one) or the class name alike.
class NumberFormatter {
public:
    virtual ~NumberFormatter() = default;

    // value in decimal with "," between groups of three digits:
    // 0, 999, 1,000, 18,446,744,073,709,551,615.
    static std::string integerString(uint64_t value);

    // value in fixed notation with `decimals` digits after the point (rounded
    // to nearest on the double's exact value) and "," grouping in the integer
    // part; then zeros after the decimal point are dropped, and a point left
    // last is dropped too: 1.50 -> "1.5", 1.96 -> "2", 1234.56 -> "1,234.6".
    // With 0 decimals there is no point and nothing is dropped ("100").
    // A negative `decimals` counts as 0, more than 40 as 40 (a double has
    // no more meaningful digits, and a huge precision would only make the
    // stream allocate a huge buffer). NaN and infinities give "nan",
    // "inf" and "-inf" (the stream's own texts; no caller passes them).
    static std::string decimalString(double value, int decimals);

    // count scaled to a unit, then one blank and the unit name:
    //   mode 1: divisor 1000, decimal names (KB = 1000 bytes);
    //   mode 3: divisor 1024, binary names (KiB);
    //   mode 0, 2 and any other value: divisor 1024, decimal names
    //   (KB = 1024 bytes). Every caller passes mode 0 and 1 decimal.
    // The unit is chosen before rounding, so 1,048,575 bytes in mode 0 read
    // "1,024 KB", not "1 MB". A count of exactly 1 reads "1 byte" in every
    // mode, 0 reads "0 bytes". Never throws for a 64-bit count (the largest
    // reaches the EB unit); std::bad_alloc aside.
    static std::string byteCountString(uint64_t count, int mode, int decimals);

    // Translates the unit names through the engine string table
    // (localize_string of "byte", "bytes", "KB".."BB", "KiB".."BiB"; a key
    // without an entry stays English). Call once at engine start, after the
    // table is loaded and before any other thread formats a byte count: the
    // names are read afterwards without a lock.
    static void loadUnitNames();
};

} // namespace ZV
