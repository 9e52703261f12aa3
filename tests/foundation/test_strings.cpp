// String tables, the .strings format, the translated-text cache and path translation.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "foundation/strings.h"

namespace {

using Entries = std::map<std::string, std::string>;

Entries entries_of(const zorvant::StringTable &table)
{
    Entries out;
    for (const auto &entry : table)
        out[entry.first.str()] = entry.second.str();
    return out;
}

bool load(const std::string &text) { return load_strings(text.data(), static_cast<int>(text.size())); }

// Every test starts and ends with the empty (English) table.
struct StringsTest : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(load_strings(nullptr, 0)); }
    void TearDown() override { load_strings(nullptr, 0); }
};

TEST(StringsFormat, ParsesAndRefusesAsDescribed)
{
    const struct {
        const char *name;
        std::string text;
        bool ok;
        Entries entries; // what the table holds afterwards, also after a failure
    } cases[] = {
        {"empty", "", true, {}}, {"empty key and value", R"(""="";)", true, {{"", ""}}},
        {"only space and comments", " \t\r\n/* a \"b\" = */ // \"x\"=\"y\";\n  ", true, {}},
        {"breaks and tabs around = and ;", "\"a\"\n\t=\t\n\"b\"\r\n\t;", true, {{"a", "b"}}},
        {"escaped quote; backslash-n kept", R"("k" = "say \"hi\"\n";)", true, {{"k", "say \"hi\"\\n"}}},
        {"later duplicate wins", R"("k"="1"; "k"="2";)", true, {{"k", "2"}}},
        {"final entry without ;", "\"k\"=\"v\"  \n", true, {{"k", "v"}}},
        {"final line comment without LF", "\"k\"=\"v\"; // end", true, {{"k", "v"}}},
        {"block comment to the end", "\"k\"=\"v\"; /* open", true, {{"k", "v"}}},
        {"CRLF lines", "\"a\" = \"1\";\r\n\"b\" = \"2\";\r\n", true, {{"a", "1"}, {"b", "2"}}},
        {"UTF-8", "\"Size\"=\"Gr\xC3\xB6\xC3\x9F" "e \xE2\x9C\x93\";", true, {{"Size", "Gr\xC3\xB6\xC3\x9F" "e \xE2\x9C\x93"}}},
        {"unterminated value", R"("a"="1"; "k"="v)", false, {{"a", "1"}}},
        {"stray letter between entries", R"("a"="1"; x "b"="2";)", false, {{"a", "1"}}},
        {"lone / at the end", R"("a"="1"; /)", false, {{"a", "1"}}},
        {"missing =", R"("a" "1";)", false, {}}, {"text ends after a key", R"("a" )", false, {}},
        {"unterminated key: a truncated table is a failure", R"("a"="1"; "b)", false, {{"a", "1"}}},
        {"junk instead of ;", R"("a"="1" x)", false, {}},
        {"comment inside an entry", R"("a" /* c */ = "1";)", false, {}},
        {"escaped closing quote runs on", R"("a\"="1";)", false, {}},
    };
    for (const auto &c : cases) {
        zorvant::StringTable table;
        table[zorvant::u8string("stale")] = zorvant::u8string("gone"); // parsing starts from empty
        EXPECT_EQ(parse_strings(zorvant::u8string(c.text), table), c.ok) << c.name;
        EXPECT_EQ(entries_of(table), c.entries) << c.name;
    }
}

TEST_F(StringsTest, LoadReplacesTheTableReadsOnlyTheLengthAndNeverThrows)
{
    ASSERT_TRUE(load(R"("old"="alt"; "Caf)" "e\xCC\x81" R"("="Bistro";)")); // e + combining acute
    EXPECT_EQ(localize_string("Caf\xC3\xA9").str(), "Bistro"); // both sides held in NFC
    ASSERT_TRUE(load_strings("\"new\"=\"neu\";\"hidden\"=\"x\";", 12)); // stops before "hidden"
    EXPECT_EQ(entries_of(engine_string_table()), (Entries{{"new", "neu"}})); // no merge with "old"
    EXPECT_TRUE(load_strings("", 0)); // an empty text loads no table
    EXPECT_TRUE(engine_string_table().empty());
    EXPECT_EQ(localize_string("new").str(), "new"); // absent: the key itself
    // Invalid UTF-8 fails the load; an invalid key comes back with U+FFFD instead of throwing.
    testing::internal::CaptureStdout();
    EXPECT_FALSE(load("\"a\"=\"\xC3\x28\";"));
    EXPECT_EQ(localize_string("bad \xFF key").str(), "bad \xEF\xBF\xBD key");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Exception @ 23: ", 0), 0u) << out;
    EXPECT_NE(out.find("\nException @ 45: "), std::string::npos) << out;
    EXPECT_FALSE(load(std::string("\"a\"=\"1\";\0\"b\"=\"2\";", 18))); // NUL where a key starts
    EXPECT_FALSE(load_strings(nullptr, 5));
    EXPECT_FALSE(load_strings("\"a\"=\"1\";", -1));
    EXPECT_EQ(localize_string(nullptr).str(), "");
}

TEST_F(StringsTest, CacheCopiesOncePerAddressAndRetriesAfterFailure)
{
    static const char english[] = "Reconstructed Files", same_text[] = "Reconstructed Files";
    const char *first = localize_cstring(english);
    EXPECT_NE(first, english); // a copy with equal bytes, the same pointer next time
    ASSERT_TRUE(load(R"("Reconstructed Files"="Rekonstruiert";)"));
    EXPECT_EQ(localize_cstring(english), first); // a later table changes nothing handed out
    EXPECT_STREQ(first, "Reconstructed Files");
    zorvant::testing::fail_next_localize_cstring(1);
    EXPECT_EQ(localize_cstring(same_text), same_text); // failure: the English pointer, nothing cached
    const char *other = localize_cstring(same_text);    // another address: its own copy
    EXPECT_STREQ(other, "Rekonstruiert");
    EXPECT_EQ(localize_cstring(same_text), other);
    EXPECT_EQ(localize_cstring(nullptr), nullptr);
}

TEST_F(StringsTest, PathTranslatesEachComponentAndIsCachedByContent)
{
    ASSERT_TRUE(load(R"("Scanning"="Analyse"; "Pictures"="Bilder"; "Audio"="Ton"; "Video"="Film";)"));
    const std::pair<const char *, const char *> cases[] = {
        {"Scanning/FAT", "Analyse/FAT"}, {"/Scanning//Pictures/", "/Analyse//Bilder/"},
        {"Pictures", "Bilder"}, {"", ""},
        {"bad\xFF/Pictures", "bad\xFF/Bilder"}, // a non-UTF-8 component stays as it is
    };
    for (const auto &c : cases)
        EXPECT_STREQ(localize_path(c.first), c.second) << c.first;
    EXPECT_STREQ(localize_path(nullptr), "");
    EXPECT_STREQ(localize_path(localize_path("Scanning/Pictures")), "Analyse/Bilder"); // own buffer as input
    std::string long_path = std::string(1022, 'a') + "\xC3\xA9/tail"; // U+00E9 would straddle byte 1023
    EXPECT_EQ(std::string(localize_path(long_path.c_str())), std::string(1022, 'a'));
    // The path buffer is reused: a cache keyed by its address would answer "Video" with "Ton".
    const char *audio = localize_cstring(localize_path("Audio"));
    EXPECT_STREQ(audio, "Ton");
    EXPECT_STREQ(localize_cstring(localize_path("Video")), "Film");
    EXPECT_EQ(localize_cstring(localize_path("Audio")), audio); // still a stable pointer
}

TEST(StringsThreads, ManyThreadsGetOneCopyOfANewText)
{
    static const char texts[16][4] = {"r0", "r1", "r2", "r3", "r4", "r5", "r6", "r7",
                                      "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15"}; // fresh
    constexpr int kThreads = 8;
    for (const char *text : texts) {
        std::atomic<int> ready{0};
        std::vector<const char *> results(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (ready++; ready.load() < kThreads;)
                    std::this_thread::yield();
                results[t] = localize_cstring(text);
            });
        for (auto &thread : threads)
            thread.join();
        for (const char *result : results)
            EXPECT_TRUE(result == results[0] && std::string(result) == text) << text; // one shared copy
        EXPECT_NE(results[0], text);
    }
}

TEST(StringsThreads, PathBuffersArePerThread)
{
    std::atomic<int> overwritten{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const std::string mine = "dir" + std::to_string(t) + "/file";
            for (int i = 0; i < 2000; ++i)
                overwritten += std::string(localize_path(mine.c_str())) != mine;
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(overwritten.load(), 0);
}

} // namespace
