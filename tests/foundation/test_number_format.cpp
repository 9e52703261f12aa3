// Number and byte-count texts: exact texts, independence from the user's locale, translated unit names.
#include <clocale>
#include <climits>
#include <cstdint>
#include <locale>
#include <string>

#include <gtest/gtest.h>

#include "foundation/number_format.h"
#include "foundation/strings.h"
#include "support/test_support.h"

using ZV::NumberFormatter;

namespace {

struct ByteCase { uint64_t count; int mode; const char *text; };

// Every exact text of the formatter; run plainly and under hostile locales below.
void expectExactTexts()
{
    struct IntCase { uint64_t value; const char *text; };
    for (const IntCase &c : {IntCase{0, "0"}, IntCase{999, "999"}, IntCase{1000, "1,000"},
                             IntCase{1234567, "1,234,567"}, IntCase{UINT64_MAX, "18,446,744,073,709,551,615"}})
        EXPECT_EQ(NumberFormatter::integerString(c.value), c.text) << c.value;

    struct DecCase { double value; int decimals; const char *text; };
    for (const DecCase &c : {DecCase{1.5, 2, "1.5"}, DecCase{2.0, 1, "2"}, DecCase{1024.0, 1, "1,024"},
                             DecCase{1.96, 1, "2"}, DecCase{0.96, 1, "1"}, DecCase{100, 0, "100"},
                             DecCase{100, 1, "100"}, DecCase{2.26, 1, "2.3"}, DecCase{1234.56, 1, "1,234.6"},
                             DecCase{1234.5, 3, "1,234.5"}, DecCase{0.0, 1, "0"}, DecCase{-1500.26, 1, "-1,500.3"},
                             DecCase{7.6, -3, "8"},
                             // A huge precision is capped instead of allocating gigabytes.
                             DecCase{0.5, INT_MAX, "0.5"}, DecCase{3.0, INT_MIN, "3"}})
        EXPECT_EQ(NumberFormatter::decimalString(c.value, c.decimals), c.text) << c.value << " with " << c.decimals;

    // The unit is chosen before rounding: 1,048,575 bytes stay "1,024 KB".
    for (const ByteCase &c : {ByteCase{0, 0, "0 bytes"}, ByteCase{2, 0, "2 bytes"}, ByteCase{1023, 0, "1,023 bytes"},
                              ByteCase{1024, 0, "1 KB"}, ByteCase{1536, 0, "1.5 KB"}, ByteCase{1073741824, 0, "1 GB"},
                              ByteCase{16106127360, 0, "15 GB"}, ByteCase{1000, 0, "1,000 bytes"},
                              ByteCase{1000, 1, "1 KB"}, ByteCase{1500000, 1, "1.5 MB"}, ByteCase{1536, 3, "1.5 KiB"},
                              ByteCase{1536, 2, "1.5 KB"}, ByteCase{1536, 7, "1.5 KB"}, ByteCase{1536, -1, "1.5 KB"},
                              ByteCase{1048552, 0, "1,024 KB"}, ByteCase{1048575, 0, "1,024 KB"},
                              ByteCase{1048576, 0, "1 MB"}, ByteCase{UINT64_MAX, 0, "16 EB"},
                              ByteCase{UINT64_MAX, 1, "18.4 EB"}, ByteCase{UINT64_MAX, 3, "16 EiB"}})
        EXPECT_EQ(NumberFormatter::byteCountString(c.count, c.mode, 1), c.text) << c.count << " in mode " << c.mode;
    for (int mode : {0, 1, 2, 3, 9})
        EXPECT_EQ(NumberFormatter::byteCountString(1, mode, 1), "1 byte") << "mode " << mode;
}

} // namespace

TEST(NumberFormat, ExactTexts)
{
    expectExactTexts();
}

// The texts ignore the user's locale: one that is not installed (a formatter built on the user's
// locale would throw) and an installed one, "," as decimal point when the machine has such a locale.
TEST(NumberFormat, UserLocaleIgnored)
{
    const std::locale oldCpp;
    const std::string oldC = setlocale(LC_ALL, nullptr);
    {
        SCOPED_TRACE("LANG=xx_XX.UTF-8");
        zvtest::ScopedEnv lang("LANG", "xx_XX.UTF-8"), all("LC_ALL", "xx_XX.UTF-8");
        EXPECT_EQ(setlocale(LC_ALL, ""), nullptr);
        EXPECT_THROW(std::locale(""), std::runtime_error);
        expectExactTexts();
    }
    const char *used = nullptr; // C.UTF-8 is always there on Debian
    for (const char *name : {"de_DE.UTF-8", "fr_FR.UTF-8", "nl_NL.UTF-8", "ru_RU.UTF-8", "C.UTF-8"})
        if (!used && setlocale(LC_ALL, name) != nullptr) {
            std::locale::global(std::locale(name));
            used = name;
        }
    EXPECT_NE(used, nullptr) << "not even C.UTF-8 is installed";
    SCOPED_TRACE(used ? used : "none");
    expectExactTexts();
    std::locale::global(oldCpp);
    setlocale(LC_ALL, oldC.c_str());
}

TEST(NumberFormat, TranslatedUnitNames)
{
    const std::string table = R"t("bytes" = "Bytes"; "byte" = "Byte"; "KB" = "kB"; "MiB" = "MiB (bin)";)t";
    ASSERT_TRUE(load_strings(table.data(), static_cast<int>(table.size())));
    NumberFormatter::loadUnitNames();
    for (const ByteCase &c : {ByteCase{0, 0, "0 Bytes"}, ByteCase{0, 3, "0 Bytes"}, ByteCase{1, 0, "1 Byte"},
                              ByteCase{1536, 0, "1.5 kB"}, ByteCase{1572864, 3, "1.5 MiB (bin)"},
                              ByteCase{1572864, 0, "1.5 MB"}}) // no entry: English
        EXPECT_EQ(NumberFormatter::byteCountString(c.count, c.mode, 1), c.text) << c.count << " in mode " << c.mode;
    // An empty table restores the English names for the tests that follow.
    ASSERT_TRUE(load_strings(nullptr, 0));
    NumberFormatter::loadUnitNames();
    EXPECT_EQ(NumberFormatter::byteCountString(1536, 0, 1), "1.5 KB");
    EXPECT_EQ(NumberFormatter::byteCountString(1, 0, 1), "1 byte");
}
