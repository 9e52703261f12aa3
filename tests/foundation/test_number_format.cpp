// Number and byte-count texts: exact texts, independence from the user's
// locale, translated unit names.
#include <clocale>
#include <climits>
#include <cstdint>
#include <locale>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "foundation/number_format.h"
#include "foundation/strings.h"
#include "support/test_support.h"

using ZV::NumberFormatter;

namespace {

// Checks every exact text of the number formatter; run plainly and under
// hostile locales below.
void expectExactTexts()
{
    struct IntCase { uint64_t value; const char *text; };
    for (const IntCase &c : {IntCase{0, "0"}, IntCase{999, "999"}, IntCase{1000, "1,000"},
                             IntCase{1234567, "1,234,567"},
                             IntCase{UINT64_MAX, "18,446,744,073,709,551,615"}})
        EXPECT_EQ(NumberFormatter::integerString(c.value), c.text) << c.value;

    struct DecCase { double value; int decimals; const char *text; };
    for (const DecCase &c : {DecCase{1.5, 2, "1.5"}, DecCase{2.0, 1, "2"}, DecCase{1024.0, 1, "1,024"},
                             DecCase{1.96, 1, "2"}, DecCase{0.96, 1, "1"}, DecCase{100, 0, "100"},
                             DecCase{100, 1, "100"}, DecCase{2.26, 1, "2.3"},
                             DecCase{1234.56, 1, "1,234.6"}, DecCase{1234.5, 3, "1,234.5"},
                             DecCase{0.0, 1, "0"}, DecCase{-1500.26, 1, "-1,500.3"},
                             DecCase{7.6, -3, "8"}})
        EXPECT_EQ(NumberFormatter::decimalString(c.value, c.decimals), c.text)
            << c.value << " with " << c.decimals;

    struct ByteCase { uint64_t count; int mode; const char *text; };
    for (const ByteCase &c : {ByteCase{0, 0, "0 bytes"}, ByteCase{2, 0, "2 bytes"},
                              ByteCase{1023, 0, "1,023 bytes"}, ByteCase{1024, 0, "1 KB"},
                              ByteCase{1536, 0, "1.5 KB"}, ByteCase{1073741824, 0, "1 GB"},
                              ByteCase{16106127360, 0, "15 GB"}, ByteCase{1000, 0, "1,000 bytes"},
                              ByteCase{1000, 1, "1 KB"}, ByteCase{1500000, 1, "1.5 MB"},
                              ByteCase{1536, 3, "1.5 KiB"}, ByteCase{1536, 2, "1.5 KB"},
                              ByteCase{1536, 7, "1.5 KB"}, ByteCase{1536, -1, "1.5 KB"},
                              ByteCase{1048552, 0, "1,024 KB"}, ByteCase{1048575, 0, "1,024 KB"},
                              ByteCase{1048576, 0, "1 MB"}, ByteCase{UINT64_MAX, 0, "16 EB"},
                              ByteCase{UINT64_MAX, 1, "18.4 EB"}, ByteCase{UINT64_MAX, 3, "16 EiB"}})
        EXPECT_EQ(NumberFormatter::byteCountString(c.count, c.mode, 1), c.text)
            << c.count << " in mode " << c.mode;
    for (int mode : {0, 1, 2, 3, 9})
        EXPECT_EQ(NumberFormatter::byteCountString(1, mode, 1), "1 byte") << "mode " << mode;
}

// A global C and C++ locale for one scope, restored afterwards.
class ScopedGlobalLocale {
public:
    ScopedGlobalLocale() : oldCpp_(std::locale()), oldC_(setlocale(LC_ALL, nullptr)) {}
    ~ScopedGlobalLocale()
    {
        std::locale::global(oldCpp_);
        setlocale(LC_ALL, oldC_.c_str());
    }

private:
    std::locale oldCpp_;
    std::string oldC_;
};

} // namespace

TEST(NumberFormat, ExactTexts)
{
    expectExactTexts();
}

TEST(NumberFormat, BadDecimalsStayBounded)
{
    // A huge precision is capped instead of making the stream allocate
    // gigabytes; the text keeps its value.
    EXPECT_EQ(NumberFormatter::decimalString(0.5, INT_MAX), "0.5");
    EXPECT_EQ(NumberFormatter::decimalString(3.0, INT_MIN), "3");
}

TEST(NumberFormat, LocaleNotInstalled)
{
    zvtest::ScopedEnv lang("LANG", "xx_XX.UTF-8");
    zvtest::ScopedEnv all("LC_ALL", "xx_XX.UTF-8");
    ScopedGlobalLocale restore;
    // The C library refuses the name, and so does the C++ library: a
    // formatter that started from the user's locale would throw here.
    EXPECT_EQ(setlocale(LC_ALL, ""), nullptr);
    EXPECT_THROW(std::locale(""), std::runtime_error);
    expectExactTexts();
}

TEST(NumberFormat, InstalledLocaleIgnored)
{
    ScopedGlobalLocale restore;
    // C.UTF-8 is always there on Debian; a locale with "," as decimal
    // point is tested too when the machine has one.
    const char *names[] = {"de_DE.UTF-8", "fr_FR.UTF-8", "nl_NL.UTF-8", "ru_RU.UTF-8", "C.UTF-8"};
    const char *used = nullptr;
    for (const char *name : names) {
        if (setlocale(LC_ALL, name) == nullptr)
            continue;
        std::locale::global(std::locale(name));
        used = name;
        break;
    }
    ASSERT_NE(used, nullptr) << "not even C.UTF-8 is installed";
    RecordProperty("locale", used);
    expectExactTexts();
}

TEST(NumberFormat, TranslatedUnitNames)
{
    const std::string table = "\"bytes\" = \"Bytes\"; \"byte\" = \"Byte\";\n"
                              "\"KB\" = \"kB\"; \"MiB\" = \"MiB (bin)\";";
    ASSERT_TRUE(load_strings(table.data(), static_cast<int>(table.size())));
    NumberFormatter::loadUnitNames();
    EXPECT_EQ(NumberFormatter::byteCountString(0, 0, 1), "0 Bytes");
    EXPECT_EQ(NumberFormatter::byteCountString(0, 3, 1), "0 Bytes");
    EXPECT_EQ(NumberFormatter::byteCountString(1, 0, 1), "1 Byte");
    EXPECT_EQ(NumberFormatter::byteCountString(1536, 0, 1), "1.5 kB");
    EXPECT_EQ(NumberFormatter::byteCountString(1572864, 3, 1), "1.5 MiB (bin)");
    EXPECT_EQ(NumberFormatter::byteCountString(1572864, 0, 1), "1.5 MB"); // no entry: English

    // An empty table restores the English names for the tests that follow.
    ASSERT_TRUE(load_strings(nullptr, 0));
    NumberFormatter::loadUnitNames();
    EXPECT_EQ(NumberFormatter::byteCountString(1536, 0, 1), "1.5 KB");
    EXPECT_EQ(NumberFormatter::byteCountString(1, 0, 1), "1 byte");
}
