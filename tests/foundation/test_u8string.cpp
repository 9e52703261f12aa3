// Tests of zorvant::u8string: construction and validation, compare and find with and without the ASCII hint,
// editing (with a randomized differential test against a UTF-32 model), the hash, and length() across threads.
#include "foundation/u8string.h"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

using zorvant::u8string;
using size_type = u8string::size_type;

namespace {

constexpr size_type kBig = 0xFFFFFFFEu; // pos + kBig wraps to a small number in 32 bits

// Decodes with utf8proc's decoder, independent of the class; nullopt on invalid UTF-8.
std::optional<std::u32string> decode(const std::string &bytes)
{
    std::u32string out;
    const auto *p = reinterpret_cast<const utf8proc_uint8_t *>(bytes.data());
    for (size_t i = 0; i < bytes.size();) {
        utf8proc_int32_t cp;
        utf8proc_ssize_t n = utf8proc_iterate(p + i, static_cast<utf8proc_ssize_t>(bytes.size() - i), &cp);
        if (n <= 0)
            return std::nullopt;
        out.push_back(static_cast<char32_t>(cp));
        i += static_cast<size_t>(n);
    }
    return out;
}

std::string encode(const std::u32string &text) { return utf8::utf32to8(text); }

std::string nfc(const std::string &bytes) // the reference, straight from the library
{
    utf8proc_uint8_t *out = nullptr;
    utf8proc_ssize_t r = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t *>(bytes.data()),
                                      static_cast<utf8proc_ssize_t>(bytes.size()), &out,
                                      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    std::string result = r < 0 ? "<NFC failed>" : std::string(reinterpret_cast<char *>(out), static_cast<size_t>(r));
    std::free(out);
    return result;
}

bool is_mark(char32_t c) { return utf8proc_get_property(static_cast<utf8proc_int32_t>(c))->combining_class > 0; }

// ASCII text whose hint is false: UTF-32 input never sets the flag.
u8string unflagged(const std::string &ascii) { return u8string(std::u32string(ascii.begin(), ascii.end())); }

// Bytes adopted without validation or normalisation.
u8string raw(const std::string &bytes) { return u8string(bytes.begin(), bytes.end()); }

u8string::iterator nth(const u8string &s, size_t k) // the iterator k code points from the start
{
    u8string::iterator it = s.begin();
    while (k-- > 0)
        ++it;
    return it;
}

} // namespace

TEST(U8StringConstruct, IncomingTextIsValidatedAndNormalisedOnlyWhenMarked)
{
    EXPECT_THROW(u8string(static_cast<const char *>(nullptr)), std::invalid_argument);
    EXPECT_THROW(u8string(static_cast<const char32_t *>(nullptr)), std::invalid_argument);
    EXPECT_THROW(u8string(static_cast<const char16_t *>(nullptr)), std::invalid_argument);
    u8string empty("");
    EXPECT_TRUE(empty.is_ascii_hint() && empty.length() == 0 && empty.at(0) == -1);

    const struct { const char *what; u8string s; std::string bytes; } stored[] = {
        {"e + U+0301 becomes U+00E9", "e\xCC\x81", "\xC3\xA9"},
        {"U+212B has no mark: kept from UTF-8", "\xE2\x84\xAB", "\xE2\x84\xAB"},
        {"U+212B from UTF-16 is normalised", u8string(u"\u212B"), "\xC3\x85"},
        {"U+212B from UTF-32 is normalised", u8string(U"\u212B"), "\xC3\x85"},
        {"an explicit count keeps a NUL", u8string("a\0b", 3), std::string("a\0b", 3)},
        {"a NUL ends a C string", "a\0b", "a"},
        {"a UTF-16 surrogate pair", u8string(u"\U0001F600x"), "\xF0\x9F\x98\x80x"},
        {"adopted bytes are kept as they are", raw("e\xCC\x81"), "e\xCC\x81"},
    };
    for (const auto &c : stored) {
        EXPECT_EQ(c.s.str(), c.bytes) << c.what;
        EXPECT_EQ(c.s.length(), decode(c.bytes).value().size()) << c.what;
    }
    for (std::u16string bad : {u"\xD83D" u"a", u"a\xD83D", u"\xDE00"}) // lead then letter, lead last, lone trail
        EXPECT_THROW(u8string{bad}, utf8::invalid_utf16);
    for (char32_t bad : {0xD800u, 0x110000u})
        EXPECT_THROW(u8string(std::u32string(1, bad)), utf8::invalid_code_point);
    EXPECT_TRUE(raw("plain").is_ascii_hint());
    EXPECT_EQ(zorvant::to_utf16(u8string("a\xF0\x9F\x98\x80")), u"a\U0001F600");
}

TEST(U8StringConstruct, InvalidUtf8ThrowsWithFirstByteAndAssignKeepsOldText)
{
    const std::pair<std::string, uint8_t> cases[] = {
        {"x\xC3\x28", 0xC3},        // lead byte without its trail byte
        {"\xC0\xAF", 0xC0},         // overlong "/"
        {"ab\xED\xA0\x80", 0xED},   // encoded surrogate U+D800
        {"\xF4\x90\x80\x80", 0xF4}, // above U+10FFFF
        {"ok \xE2\x82", 0xE2},      // truncated at the end
        {"\x80", 0x80},             // stray trail byte
    };
    for (const auto &[bytes, first] : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        uint8_t octet = 0; // stays 0 when nothing is thrown
        try {
            u8string s(bytes.c_str());
        } catch (const utf8::invalid_utf8 &e) {
            octet = e.utf8_octet();
        }
        EXPECT_EQ(octet, first);
        u8string kept("\xC3\xB1" "and");
        EXPECT_THROW(kept.assign(bytes), utf8::invalid_utf8);
        EXPECT_TRUE(kept.str() == "\xC3\xB1" "and" && kept.length() == 4);
    }
    u8string ascii("plain");
    EXPECT_THROW(ascii.assign("\xC3\x28"), utf8::invalid_utf8);
    EXPECT_TRUE(!ascii.is_ascii_hint() && ascii.compare(u8string("plain")) == 0);
}

// The cached length is atomic, so copy, move and swap are written by hand: they must carry both hints.
TEST(U8StringConstruct, CopyMoveAndSwapCarryBothHints)
{
    u8string mixed("\xC3\xB1" "a\xF0\x9F\x98\x80"), ascii("abcdef"), copy;
    ASSERT_EQ(mixed.length(), 3u);
    ascii.push_back('g'); // byte path: cached length 7
    u8string copied(ascii);
    EXPECT_TRUE(copied.cached_length() == 7 && copied.is_ascii_hint());
    copy = mixed;
    EXPECT_EQ(copy.cached_length(), 3);
    copy.swap(ascii);
    EXPECT_TRUE(copy.cached_length() == 7 && copy.is_ascii_hint());
    EXPECT_TRUE(ascii.cached_length() == 3 && !ascii.is_ascii_hint());
    u8string moved(std::move(ascii));
    EXPECT_TRUE(moved.length() == 3 && ascii.length() == 0);
    EXPECT_EQ(std::move(moved).str(), mixed.str());
    EXPECT_EQ(moved.cached_length(), -1);
}

TEST(U8StringIterator, StepsAreCheckedAndForeignIteratorsRefused)
{
    u8string s("a\xC3\xB1\xF0\x9F\x98\x80"), other("a\xC3\xB1");
    u8string::iterator it = ++s.begin();
    EXPECT_EQ(*it++, 0xF1u);
    EXPECT_TRUE(*it == 0x1F600u && it.index() == 2);
    EXPECT_TRUE(++it == s.end());
    EXPECT_THROW(++it, utf8::not_enough_room);
    EXPECT_THROW(--s.begin(), utf8::not_enough_room);
    EXPECT_THROW((void)(s.begin() == other.begin()), std::logic_error);
    EXPECT_ANY_THROW(s.insert(other.begin(), U'x')); // would write through another string's bytes
    EXPECT_EQ(s.str(), "a\xC3\xB1\xF0\x9F\x98\x80");
}

TEST(U8StringCompare, CodePointEquivalenceAndCase)
{
    const struct { u8string a, b; bool ignore_case; int sign; } cases[] = {
        {"a", "A", false, 1},                  {"a", "A", true, 0},
        {"\xC3\x89T", "\xC3\xA9t", true, 0},     {"\xC3\x89T", "\xC3\xA9t", false, -1},
        {"\xC3\xB1" "b", "\xC3\xB1", false, 1},   {"\xC3\x85", "\xE2\x84\xAB", false, 0}, // U+00C5 and U+212B
    };
    for (const auto &c : cases) {
        int r = c.a.compare(c.b, c.ignore_case);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a.str() << " / " << c.b.str() << " ignoreCase " << c.ignore_case;
    }
    EXPECT_EQ(u8string("x\xC3\xB1yz").compare(1, 2, u8string("\xC3\xB1y")), 0);
    EXPECT_EQ(u8string("x\xC3\xB1yz").compare(1, kBig, u8string("\xC3\xB1yz")), 0);
    EXPECT_TRUE(u8string("\xE2\x84\xAB-ring").starts_with(u8string("\xC3\x85")));
    EXPECT_TRUE(u8string("x\xC3\xB1").ends_with(u8string("\xC3\xB1")));
    EXPECT_FALSE(u8string("G").ends_with(u8string("JPG")));
    // A start beyond the text: the byte path and the code-point path fail differently.
    EXPECT_THROW(u8string("abc").compare(4, 1, u8string("a")), std::out_of_range);
    EXPECT_THROW(u8string("\xC3\xB1").compare(2, 1, u8string("a")), utf8::not_enough_room);
}

TEST(U8StringCompare, AsciiTextGivesTheSameAnswersWithoutTheHint)
{
    const std::string texts[] = {"", "a", "abc", "abd", "ABC", "abcabcab", "zz9 Kk;`"};
    for (const std::string &x : texts) {
        for (const std::string &y : texts) {
            SCOPED_TRACE(x + " / " + y);
            u8string fx(x.c_str()), fy(y.c_str()), ux = unflagged(x), uy = unflagged(y);
            ASSERT_TRUE(fx.is_ascii_hint() && !ux.is_ascii_hint());
            for (bool ic : {false, true}) {
                EXPECT_EQ(ux.compare(uy, ic), fx.compare(fy, ic));
                EXPECT_EQ(fx.compare(uy, ic), fx.compare(fy, ic));
            }
            for (size_type p1 = 0; p1 <= x.size(); p1++)
                for (size_type p2 = 0; p2 <= y.size(); p2++)
                    for (size_type n : {0u, 2u, u8string::npos})
                        EXPECT_EQ(ux.compare(p1, n, uy, p2, n), fx.compare(p1, n, fy, p2, n));
            for (size_type pos = 0; !y.empty() && pos <= x.size() + 1; pos++) { // empty needles: see U8StringFind
                EXPECT_EQ(ux.find(uy, pos), fx.find(fy, pos));
                EXPECT_EQ(ux.rfind(uy, pos), fx.rfind(fy, pos));
                EXPECT_EQ(ux.find(static_cast<uint32_t>(y[0]), pos), fx.find(static_cast<uint32_t>(y[0]), pos));
            }
        }
    }
    // Code points canonically equal to an ASCII one (U+212A KELVIN SIGN is K) are found however the text was made.
    for (uint32_t c : {0x212Au, 0x037Eu, 0x1FEFu, 0xC5u})
        EXPECT_EQ(u8string("zz9 Kk;`").find(c), unflagged("zz9 Kk;`").find(c));
    EXPECT_EQ(u8string("OK").find(0x212Au), 1);
}

TEST(U8StringFind, ExactNeedlesEquivalentCodePointsAndEmptyNeedles)
{
    const u8string angstrom("x\xE2\x84\xAB"), text("a\xC3\xB1o\xC3\xB1o"), needle("\xC3\xB1o");
    const u8string flagged("abc"), mixed("a\xC3\xB1" "c"), none("");
    const struct { const char *what; int got, want; } cases[] = {
        {"an equivalent code point matches", angstrom.find(0xC5u), 1},
        {"a needle compares exact values", angstrom.find(u8string("\xC3\x85")), -1},
        {"find from 2", text.find(needle, 2), 3},
        {"rfind", text.rfind(needle), 3},
        {"rfind at or before 2", text.rfind(needle, 2), 1},
        {"rfind at or before 0", text.rfind(needle, 0), -1},
        {"at(3)", text.at(3), 0xF1},
        {"empty needle below the length", mixed.find(none, 1), 1},
        {"empty needle at the length, flags true", flagged.find(none, 3), 3},
        {"empty needle at the length, flag false", mixed.find(none, 3), -1},
        {"rfind empty needle, flags true", flagged.rfind(none, 1), 1},
        {"rfind empty needle to npos, flags true", flagged.rfind(none), 3},
        {"rfind empty needle, flag false", mixed.rfind(none, 1), -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(U8StringEdit, EdgeCasesAndCountsJustBelowNpos)
{
    using Edit = std::function<void(u8string &)>;
    const struct { const char *what; std::string start; Edit edit; std::string bytes; bool flag; } cases[] = {
        {"append a mark", "e", [](u8string &s) { s.append(u8string("\xCC\x81")); }, "\xC3\xA9", false},
        {"replace at the end", "e", [](u8string &s) { s.replace(1, 0, u8string("\xCC\x81")); }, "\xC3\xA9", false},
        {"replace keeps marks", "e", [](u8string &s) { s.replace(0, 1, raw("e\xCC\x81")); }, "e\xCC\x81", false},
        {"push_back a mark", "e", [](u8string &s) { s.push_back(0x301); }, "\xC3\xA9", false},
        {"pop_back a 4-byte code point", "a\xF0\x9F\x98\x80\xF0\x9F\x98\x80", [](u8string &s) { s.pop_back(); },
         "a\xF0\x9F\x98\x80", false},
        {"pop_back the only code point", "\xF0\x9F\x98\x80", [](u8string &s) { s.pop_back(); }, "", true},
        {"pop_back on empty text", "", [](u8string &s) { s.pop_back(); }, "", true},
        {"insert at the length appends", "a\xC3\xB1", [](u8string &s) { s.insert(s.length(), u8string("z")); },
         "a\xC3\xB1z", false},
        {"a mark inserted at the start", "xey", [](u8string &s) { s.insert(s.begin(), 0x301); }, "\xCC\x81xey", false},
        {"a mark inserted after e", "xey", [](u8string &s) { s.insert(nth(s, 2), 0x301); }, "x\xC3\xA9y", false},
        {"marks inserted at the start are reordered", "ab", [](u8string &s) { s.insert(0, u8string("\xCC\xA3")),
                                                                              s.insert(0, raw("\xCC\x81")); },
         "\xCC\xA3\xCC\x81" "ab", false}, // U+0323 has class 220, U+0301 class 230
        {"erase(2) keeps a false flag", "a\xC3\xB1o" "b", [](u8string &s) { s.erase(2); }, "a\xC3\xB1", false},
        // n = 0xFFFFFFFE: "pos + n reaches past the length" must not wrap.
        {"erase big", "x\xC3\xB1yz", [](u8string &s) { (void)s.length(), s.erase(2, kBig); }, "x\xC3\xB1", false},
        {"replace big", "x\xC3\xB1yz", [](u8string &s) { s.replace(2, kBig, u8string("Q")); }, "x\xC3\xB1Q", false},
        {"erase big, bytes", "wxyz", [](u8string &s) { s.erase(1, kBig); }, "w", true},
        {"replace big, bytes", "wxyz", [](u8string &s) { s.replace(3, kBig, u8string("!")); }, "wxy!", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        u8string s(c.start);
        c.edit(s);
        EXPECT_EQ(s.str(), c.bytes);
        EXPECT_EQ(s.length(), decode(c.bytes).value().size());
        EXPECT_EQ(s.is_ascii_hint(), c.flag);
    }
    u8string mixed("a\xC3\xB1"), ascii("ab");
    EXPECT_THROW(mixed.push_back(0xD800), utf8::invalid_code_point);
    EXPECT_THROW(mixed.insert(mixed.length() + 1, u8string("z")), std::out_of_range);
    EXPECT_THROW(ascii.insert(3, u8string("z")), std::out_of_range);
    EXPECT_THROW(mixed.erase(3), utf8::not_enough_room);
    EXPECT_THROW(ascii.erase(3), std::out_of_range);
    EXPECT_THROW(mixed.replace(3, 1, u8string("x")), std::out_of_range);
    EXPECT_EQ(mixed.str(), "a\xC3\xB1");
    EXPECT_EQ(ascii.str(), "ab");
}

// Random edits on mixed text, checked after every step against a UTF-32 model and utf8proc; where an edit
// renormalises, the expected text is the library's NFC of what the model predicts.
TEST(U8StringDifferential, RandomEditsAgreeWithModel)
{
    const std::u32string atoms = U"aeoK \u00F1\u00E9\u20AC\u212B\U0001F600\U0001D11E\u1100\u1161" // then 4 marks:
                                 U"\u0301\u0308\u0323\u031B";
    const size_type counts[] = {u8string::npos, kBig, 0, 1, 2, 3};
    std::mt19937 rng(0x5EED1234u);
    auto pick = [&](size_t n) { return static_cast<size_type>(rng() % n); };
    auto mark = [&] { return atoms[atoms.size() - 1 - pick(4)]; };
    auto operand = [&] { // flagged ASCII, adopted bytes (may start with a mark), or validated UTF-8
        std::u32string t;
        size_type kind = pick(3);
        if (kind != 0 && pick(4) == 0)
            t += mark();
        for (size_t n = 1 + pick(4); t.size() < n;)
            t += kind == 0 ? static_cast<char32_t>('a' + pick(26)) : atoms[pick(atoms.size())];
        return kind == 1 ? raw(encode(t)) : u8string(encode(t));
    };
    u8string s("start");
    std::u32string model = U"start";
    int ops[8] = {}, renormalisations = 0, failures = 0, byte_paths = 0, wide_pops = 0;
    for (int step = 0; step < 4000; step++) {
        const size_t len = model.size();
        const bool flag_before = s.is_ascii_hint();
        const std::string before = s.str();
        std::u32string expected = model; // before renormalisation
        bool renormalise = false, must_throw = false;
        const int op = len > 120 ? 7 : static_cast<int>(pick(7));
        SCOPED_TRACE("step " + std::to_string(step) + ", op " + std::to_string(op));
        try {
            if (op <= 3) { // append, insert or replace with an operand's text; erase
                u8string x = op < 3 ? operand() : u8string();
                std::u32string xm = decode(x.str()).value();
                size_type pos = op == 0 ? len : pick(10) == 0 ? len + 1 : pick(len + 1), n = counts[pick(6)];
                must_throw = pos > len;
                renormalise = (pos == len || op == 1) && !xm.empty() && is_mark(xm[0]);
                if (!must_throw)
                    expected.replace(pos, op >= 2 ? static_cast<size_t>(std::min<uint64_t>(n, len - pos)) : 0, xm);
                op == 0 ? s.append(x) : op == 1 ? s.insert(pos, x) : op == 2 ? s.replace(pos, n, x) : s.erase(pos, n);
            } else if (op == 4) {
                wide_pops += len > 1 && model.back() > 0xFFFF;
                len <= 1 ? expected.clear() : expected.pop_back();
                s.pop_back();
            } else if (op == 5) { // push_back or insert through an iterator: the code point goes in as its NFC
                char32_t c = pick(3) == 0 ? mark() : atoms[pick(atoms.size())];
                std::u32string cm = decode(nfc(encode(std::u32string(1, c)))).value();
                renormalise = is_mark(c);
                size_type pos = pick(2) ? static_cast<size_type>(len) : pick(len + 1);
                expected.insert(pos, cm);
                if (pos == len && pick(2)) {
                    s.push_back(c);
                } else { // the result points at the inserted code point, or at the one before a mark
                    u8string::iterator it = s.insert(nth(s, pos), c);
                    std::string prefix = encode(model.substr(0, pos == 0 ? 0 : pos - 1));
                    if (!renormalise) {
                        EXPECT_TRUE(it == nth(s, pos) && *it == cm[0]);
                    } else if (pos == 0 || nfc(prefix) == prefix) {
                        EXPECT_TRUE(it == nth(s, pos == 0 ? 0 : pos - 1));
                    }
                }
            } else if (op == 6) { // start again from plain text now and then: keeps the byte paths busy
                s = pick(4) ? u8string("plain text") : u8string();
                expected = decode(s.str()).value();
            } else { // keep the text short
                s.erase(0, 60);
                expected.erase(0, 60);
            }
            ASSERT_FALSE(must_throw);
        } catch (const std::out_of_range &) {
            ASSERT_TRUE(must_throw);
        } catch (const utf8::not_enough_room &) {
            ASSERT_TRUE(must_throw && op == 3 && !flag_before);
        }
        ops[op]++;
        byte_paths += flag_before && s.is_ascii_hint();
        failures += must_throw;
        if (must_throw) {
            ASSERT_EQ(s.str(), before) << "a failed edit changed the text";
            continue;
        }
        const std::string &bytes = s.str();
        ASSERT_TRUE(decode(bytes)) << "invalid UTF-8";
        ASSERT_EQ(bytes, renormalise ? nfc(encode(expected)) : encode(expected));
        renormalisations += renormalise;
        model = decode(bytes).value();
        const int32_t cached = s.cached_length();
        ASSERT_FALSE(s.is_ascii_hint() && std::any_of(bytes.begin(), bytes.end(), [](char b) { return b & 0x80; }))
            << "true flag on non-ASCII bytes";
        ASSERT_TRUE(cached == -1 || cached == int32_t(model.size()));
        ASSERT_TRUE(!flag_before || !s.is_ascii_hint() || op == 6 || cached == int32_t(bytes.size()))
            << "a byte path left the cache unset";
        ASSERT_EQ(s.length(), model.size());
        const size_type i = pick(model.size() + 1);
        ASSERT_EQ(s.at(i), i < model.size() ? int32_t(model[i]) : -1);
    }
    for (int op = 0; op < 7; op++) // the run must have covered every path
        EXPECT_GT(ops[op], 300) << "op " << op;
    EXPECT_TRUE(renormalisations > 200 && failures > 100 && byte_paths > 200 && wide_pops > 20)
        << renormalisations << " " << failures << " " << byte_paths << " " << wide_pops;
}

TEST(U8StringHash, Fnv1aOverBytesAgreesWithEquality)
{
    EXPECT_EQ(zorvant::u8string_hash(u8string("")), 0x811c9dc5u);
    EXPECT_EQ(zorvant::u8string_hash(u8string("a")), 0xe40c292cu);
    EXPECT_EQ(zorvant::u8string_hash(u8string("foobar")), 0xbf9cf968u);
    EXPECT_EQ(zorvant::u8string_hash(u8string("foobar\0tail", 11)), 0xbf9cf968u); // stops at the NUL
    // Guards the hash/equality mismatch: equivalent text with other bytes is another key, so equal keys hash alike.
    u8string sign("\xE2\x84\xAB"), letter("\xC3\x85");
    EXPECT_TRUE(sign.compare(letter) == 0 && !(sign == letter));
    std::unordered_set<u8string> keys{sign, letter, u8string("abc")};
    EXPECT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys.count(unflagged("abc")), 1u);
    EXPECT_EQ(keys.count(u8string(U"\u212B")), 1u); // normalised to U+00C5
}

// lower_case maps each code point to its simple lower case, one for one: the
// count of letters stays, ASCII and non-ASCII capitals both lower, and text
// that arrived decomposed lowers from its composed form.
TEST(U8StringCase, LowerCaseMapsEachLetterToOne)
{
    const std::vector<std::pair<u8string, std::string>> cases = {
        {u8string("IMG_0001.JPG"), "img_0001.jpg"},
        {u8string("already lower 123"), "already lower 123"},
        {u8string("\xC3\x89T\xC3\x89 \xC3\x80 NICE.Jpg"), "\xC3\xA9t\xC3\xA9 \xC3\xA0 nice.jpg"},
        {u8string("STRA\xC3\x9F" "E"), "stra\xC3\x9F" "e"},                                  // ß stays one letter
        {u8string("\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x99\xCE\x91"), "\xCF\x83\xCE\xBF\xCF\x86\xCE\xB9\xCE\xB1"}, // ΣΟΦΙΑ
        {u8string(U"E\u0301TE"), "\xC3\xA9te"},
        {u8string(""), ""},
    };
    for (const auto &[text, want] : cases) {
        const u8string lowered = zorvant::lower_case(text);
        EXPECT_EQ(lowered.str(), want) << text.str();
        EXPECT_EQ(lowered.length(), text.length()) << text.str();
    }
}

// length() fills the cache from several threads at once on one shared string (copies and searches read it too).
TEST(U8StringThreads, SharedLengthIsComputedSafely)
{
    std::string text;
    for (int i = 0; i < 3000; i++)
        text += "a\xC3\xB1\xE2\x82\xAC\xF0\x9F\x98\x80"; // 4 code points
    u8string shared(text);
    const u8string needle("\xF0\x9F\x98\x80" "a");
    const unsigned kThreads = 8;
    for (int round = 0; round < 10; round++) {
        shared.invalidate_length(); // between rounds, while no thread runs
        std::atomic<unsigned> ready{0}, wrong{0};
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < kThreads; t++) {
            threads.emplace_back([&, t] {
                for (ready.fetch_add(1); ready.load() < kThreads;)
                    std::this_thread::yield();
                for (int k = 0; k < 20; k++) {
                    wrong += shared.length() != 12000u;
                    wrong += t % 2 == 0 && u8string(shared).length() != 12000u;
                    wrong += t % 4 == 1 && shared.find(needle, 11990) != 11991;
                }
            });
        }
        for (std::thread &th : threads)
            th.join();
        EXPECT_EQ(wrong.load(), 0u);
        EXPECT_EQ(shared.cached_length(), 12000);
    }
}
