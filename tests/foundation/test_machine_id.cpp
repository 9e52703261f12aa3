// The machine id: its text form, the digest of a known id and the fallback.
#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "foundation/machine_id.h"
#include "support/test_support.h"

namespace {

std::string take(char *text)
{
    std::unique_ptr<char, decltype(&std::free)> owner(text, &std::free);
    return text != nullptr ? std::string(text) : std::string("(null)");
}

TEST(MachineIdFormat, HexGroupedPlacesDashes)
{
    unsigned char bytes[24];
    for (int i = 0; i < 24; i++)
        bytes[i] = static_cast<unsigned char>(i);
    const struct {
        size_t count;
        const char *expected;
    } cases[] = {
        {0, ""},
        {4, "00010203"},
        {5, "00010203-04"},
        {20, "00010203-0405-0607-0809-0A0B0C0D0E0F-10111213"},
        {24, "00010203-0405-0607-0809-0A0B0C0D0E0F-10111213-14151617"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(take(hex_grouped(bytes, c.count)), c.expected) << c.count;
    EXPECT_EQ(take(hex_grouped(nullptr, 0)), "");
    EXPECT_EQ(take(hex_grouped(nullptr, 3)), "(null)");
    const unsigned char high[2] = {0xAB, 0xFF};
    EXPECT_EQ(take(hex_grouped(high, 2)), "ABFF");
}

TEST(MachineIdDigest, KnownIdGivesKnownDigest)
{
    // Expected value from the shell:
    //   { printf 0123456789abcdef0123456789abcdef;
    //     printf 5a17c0de93b4e8f2061d7a3cc95e1b8047f2d6a90e3c5b71 | xxd -r -p; } | sha1sum
    const std::string expected = "59A3C3F9-ECAC-66E7-CF68-C4503A5F654D-D7105D38";
    zvtest::TempDir dir;
    const struct {
        const char *content;
        const char *expected;
    } cases[] = {
        {"0123456789abcdef0123456789abcdef\n", expected.c_str()},
        {"0123456789abcdef0123456789abcdef", expected.c_str()},
        {"  0123456789abcdef0123456789abcdef \r\nsecond line\n", expected.c_str()}, // first line, trimmed
        {"", "(null)"},
        {" \t\r\n", "(null)"},
        {"\nid on the second line\n", "(null)"},
    };
    for (const auto &c : cases) {
        zvtest::writeFile(dir / "machine-id", c.content);
        EXPECT_EQ(take(machine_id_from_file((dir / "machine-id").c_str())), c.expected) << c.content;
    }
    EXPECT_EQ(take(machine_id_from_file((dir / "missing").c_str())), "(null)");
    EXPECT_EQ(take(machine_id_from_file(dir.path().c_str())), "(null)"); // a folder
    EXPECT_EQ(take(machine_id_from_file(nullptr)), "(null)");
    EXPECT_EQ(take(machine_id_from_file("/dev/zero")), "(null)"); // endless, no line: bounded read
}

TEST(MachineIdDigest, ThisMachineAndFallback)
{
    EXPECT_STREQ(default_machine_id(), "00000000-0000-0000-C000-000000000046");
    const std::string id = take(machine_id());
    if (id == "(null)")
        return; // no machine-id file here: the caller takes the fallback above
    EXPECT_EQ(id.size(), 45u);
    EXPECT_EQ(std::count(id.begin(), id.end(), '-'), 5);
    EXPECT_EQ(take(machine_id()), id); // stable
}

} // namespace
