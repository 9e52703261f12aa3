// Tests of zorvant::u8string: construction and validation, comparison and
// search with and without the ASCII hint, editing (including a randomized
// differential test against a UTF-32 model), the hash, and length() shared
// between threads.
#include "foundation/u8string.h"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

using zorvant::u8string;
using size_type = u8string::size_type;

namespace {

// Decodes with utf8proc's decoder, independent of the class; false on invalid UTF-8.
bool decode(const std::string &bytes, std::u32string *out)
{
    out->clear();
    const auto *p = reinterpret_cast<const utf8proc_uint8_t *>(bytes.data());
    for (size_t i = 0; i < bytes.size();) {
        utf8proc_int32_t cp;
        utf8proc_ssize_t n = utf8proc_iterate(p + i, static_cast<utf8proc_ssize_t>(bytes.size() - i), &cp);
        if (n <= 0)
            return false;
        out->push_back(static_cast<char32_t>(cp));
        i += static_cast<size_t>(n);
    }
    return true;
}

std::u32string decoded(const std::string &bytes)
{
    std::u32string out;
    EXPECT_TRUE(decode(bytes, &out));
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

bool all_ascii(const std::string &bytes)
{
    for (unsigned char b : bytes)
        if (b >= 0x80)
            return false;
    return true;
}

// ASCII text whose hint is false: UTF-32 input never sets the flag.
u8string unflagged(const std::string &ascii) { return u8string(std::u32string(ascii.begin(), ascii.end())); }

// Bytes adopted without validation or normalisation.
u8string raw(const std::string &bytes) { return u8string(bytes.begin(), bytes.end()); }

} // namespace

TEST(U8StringConstruct, IncomingTextIsValidatedAndNormalisedOnlyWhenMarked)
{
    EXPECT_THROW(u8string(static_cast<const char *>(nullptr)), std::invalid_argument);
    EXPECT_THROW(u8string(static_cast<const char32_t *>(nullptr)), std::invalid_argument);
    EXPECT_THROW(u8string(static_cast<const char16_t *>(nullptr)), std::invalid_argument);
    u8string empty("");
    EXPECT_TRUE(empty.is_ascii_hint());
    EXPECT_EQ(empty.length(), 0u);
    EXPECT_EQ(empty.at(0), -1);

    u8string composed("e\xCC\x81"); // e + U+0301 is stored as U+00E9
    EXPECT_EQ(composed.str(), "\xC3\xA9");
    EXPECT_EQ(composed.length(), 1u);
    // U+212B carries no mark: kept from UTF-8, normalised from UTF-16 and UTF-32.
    EXPECT_EQ(u8string("\xE2\x84\xAB").str(), "\xE2\x84\xAB");
    EXPECT_EQ(u8string(u"\u212B").str(), "\xC3\x85");
    EXPECT_EQ(u8string(U"\u212B").str(), "\xC3\x85");
    EXPECT_EQ(u8string("a\0b", 3).size(), 3u); // an explicit count keeps a NUL
    EXPECT_EQ(u8string("a\0b").size(), 1u);

    EXPECT_EQ(u8string(u"\U0001F600x").str(), "\xF0\x9F\x98\x80x");
    const char16_t lead_then_letter[] = {0xD83D, u'a', 0}, lead_last[] = {u'a', 0xD83D, 0}, lone_trail[] = {0xDE00, 0};
    EXPECT_THROW(u8string{lead_then_letter}, utf8::invalid_utf16);
    EXPECT_THROW(u8string{lead_last}, utf8::invalid_utf16);
    EXPECT_THROW(u8string{lone_trail}, utf8::invalid_utf16);
    const char32_t surrogate[] = {0xD800, 0}, too_big[] = {0x110000, 0};
    EXPECT_THROW(u8string{surrogate}, utf8::invalid_code_point);
    EXPECT_THROW(u8string{too_big}, utf8::invalid_code_point);

    EXPECT_EQ(raw("e\xCC\x81").length(), 2u); // adopted as is
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
        try {
            u8string s(bytes.c_str());
            ADD_FAILURE() << "no exception";
        } catch (const utf8::invalid_utf8 &e) {
            EXPECT_EQ(e.utf8_octet(), first);
        }
        u8string kept("\xC3\xB1" "and");
        EXPECT_THROW(kept.assign(bytes), utf8::invalid_utf8);
        EXPECT_EQ(kept.str(), "\xC3\xB1" "and");
        EXPECT_EQ(kept.length(), 4u);
    }
    u8string ascii("plain");
    EXPECT_THROW(ascii.assign("\xC3\x28"), utf8::invalid_utf8);
    EXPECT_FALSE(ascii.is_ascii_hint());
    EXPECT_EQ(ascii.compare(u8string("plain")), 0);
}

TEST(U8StringConstruct, CopyMoveAndSwapCarryBothHints)
{
    u8string mixed("\xC3\xB1" "a\xF0\x9F\x98\x80"), ascii("abcdef"), copy;
    ASSERT_EQ(mixed.length(), 3u);
    ascii.push_back('g'); // byte path: cached length 7
    copy = mixed;
    EXPECT_EQ(copy.cached_length(), 3);
    copy.swap(ascii);
    EXPECT_EQ(copy.cached_length(), 7);
    EXPECT_TRUE(copy.is_ascii_hint());
    EXPECT_EQ(ascii.cached_length(), 3);
    EXPECT_FALSE(ascii.is_ascii_hint());
    u8string moved(std::move(ascii));
    EXPECT_EQ(moved.length(), 3u);
    EXPECT_EQ(ascii.length(), 0u);
    EXPECT_EQ(std::move(moved).str(), mixed.str());
    EXPECT_EQ(moved.cached_length(), -1);
}

TEST(U8StringIterator, StepsAreCheckedAndForeignIteratorsRefused)
{
    u8string s("a\xC3\xB1\xF0\x9F\x98\x80"), other("a\xC3\xB1");
    u8string::iterator it = s.begin();
    ++it;
    EXPECT_EQ(*it++, 0xF1u);
    EXPECT_EQ(*it, 0x1F600u);
    EXPECT_EQ(it.index(), 2);
    EXPECT_TRUE(++it == s.end());
    EXPECT_THROW(++it, utf8::not_enough_room);
    EXPECT_THROW(--s.begin(), utf8::not_enough_room);
    EXPECT_THROW((void)(s.begin() == other.begin()), std::logic_error);
    EXPECT_ANY_THROW(s.insert(other.begin(), U'x')); // would write through another string's bytes
    EXPECT_EQ(s.str(), "a\xC3\xB1\xF0\x9F\x98\x80");
}

TEST(U8StringCompare, CodePointEquivalenceAndCase)
{
    EXPECT_GT(u8string("a").compare(u8string("A")), 0);
    EXPECT_EQ(u8string("a").compare(u8string("A"), true), 0);
    EXPECT_EQ(u8string("\xC3\x85").compare(u8string("\xE2\x84\xAB")), 0); // U+00C5, U+212B
    EXPECT_EQ(u8string("\xC3\x89T").compare(u8string("\xC3\xA9t"), true), 0);
    EXPECT_LT(u8string("\xC3\x89T").compare(u8string("\xC3\xA9t")), 0);
    EXPECT_GT(u8string("\xC3\xB1" "b").compare(u8string("\xC3\xB1")), 0);
    EXPECT_EQ(u8string("x\xC3\xB1yz").compare(1, 2, u8string("\xC3\xB1y")), 0);
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
    // Code points canonically equal to an ASCII one (U+212A KELVIN SIGN is K)
    // are found in ASCII text however it was made.
    for (uint32_t c : {0x212Au, 0x037Eu, 0x1FEFu, 0xC5u})
        EXPECT_EQ(u8string("zz9 Kk;`").find(c), unflagged("zz9 Kk;`").find(c));
    EXPECT_EQ(u8string("OK").find(0x212Au), 1);
}

TEST(U8StringFind, ExactNeedlesEquivalentCodePointsAndEmptyNeedles)
{
    u8string angstrom("x\xE2\x84\xAB");
    EXPECT_EQ(angstrom.find(0xC5u), 1);                 // an equivalent code point matches
    EXPECT_EQ(angstrom.find(u8string("\xC3\x85")), -1); // a needle compares exact values
    u8string text("a\xC3\xB1o\xC3\xB1o"), needle("\xC3\xB1o");
    EXPECT_EQ(text.find(needle, 2), 3);
    EXPECT_EQ(text.rfind(needle), 3);
    EXPECT_EQ(text.rfind(needle, 2), 1);
    EXPECT_EQ(text.rfind(needle, 0), -1);
    EXPECT_EQ(text.at(3), 0xF1);

    u8string flagged("abc"), mixed("a\xC3\xB1" "c"), none("");
    EXPECT_EQ(mixed.find(none, 1), 1);
    EXPECT_EQ(flagged.find(none, 3), 3);
    EXPECT_EQ(mixed.find(none, 3), -1);
    EXPECT_EQ(flagged.rfind(none, 1), 1);
    EXPECT_EQ(flagged.rfind(none), 3);
    EXPECT_EQ(mixed.rfind(none, 1), -1);
}

TEST(U8StringEdit, EdgeCases)
{
    u8string e("e"), r1("e"), r2("e"), pushed("e");
    e.append(u8string("\xCC\x81"));
    EXPECT_EQ(e.str(), "\xC3\xA9");
    r1.replace(1, 0, u8string("\xCC\x81")); // position == length appends
    EXPECT_EQ(r1.str(), "\xC3\xA9");
    r2.replace(0, 1, raw("e\xCC\x81")); // replacing does not renormalise
    EXPECT_EQ(r2.str(), "e\xCC\x81");
    pushed.push_back(0x301);
    EXPECT_EQ(pushed.str(), "\xC3\xA9");
    EXPECT_THROW(pushed.push_back(0xD800), utf8::invalid_code_point);

    u8string one("\xF0\x9F\x98\x80"), two("a\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
    one.pop_back();
    EXPECT_TRUE(one.empty() && one.is_ascii_hint() && one.length() == 0);
    one.pop_back();
    EXPECT_EQ(one.length(), 0u);
    two.pop_back();
    EXPECT_EQ(two.str(), "a\xF0\x9F\x98\x80");

    u8string ins("a\xC3\xB1");
    ins.insert(ins.length(), u8string("z"));
    EXPECT_EQ(ins.str(), "a\xC3\xB1z");
    EXPECT_THROW(ins.insert(ins.length() + 1, u8string("z")), std::out_of_range);
    EXPECT_THROW(u8string("ab").insert(3, u8string("z")), std::out_of_range);

    u8string er("a\xC3\xB1o" "b");
    er.erase(2);
    EXPECT_EQ(er.str(), "a\xC3\xB1");
    EXPECT_EQ(er.length(), 2u);
    EXPECT_FALSE(er.is_ascii_hint());
    EXPECT_THROW(er.erase(3), utf8::not_enough_room);
    EXPECT_THROW(u8string("ab").erase(3), std::out_of_range);
    EXPECT_THROW(er.replace(3, 1, u8string("x")), std::out_of_range);
}

TEST(U8StringEdit, CountsJustBelowNposDoNotWrap)
{
    const size_type big = 0xFFFFFFFEu; // pos + big wraps to a small number in 32 bits
    u8string a("x\xC3\xB1yz"), b("x\xC3\xB1yz"), c("wxyz"), d("wxyz");
    a.length();
    a.erase(2, big);
    EXPECT_EQ(a.str(), "x\xC3\xB1");
    b.replace(1, big, u8string("Q"));
    EXPECT_EQ(b.str(), "xQ");
    c.erase(1, big);
    EXPECT_EQ(c.str(), "w");
    d.replace(3, big, u8string("!"));
    EXPECT_EQ(d.str(), "wxy!");
    EXPECT_EQ(u8string("x\xC3\xB1yz").compare(1, big, u8string("\xC3\xB1yz")), 0);
}

TEST(U8StringEdit, MarkInsertedAtStartOrInsideIsNormalised)
{
    u8string s("xey"), t("xey"), u("ab"), v("ab");
    auto it = s.insert(s.begin(), 0x301); // nothing precedes: the result is begin()
    EXPECT_EQ(s.str(), "\xCC\x81xey");
    EXPECT_TRUE(it == s.begin());
    it = t.insert(++++t.begin(), 0x301); // composes with the e before it
    EXPECT_EQ(t.str(), "x\xC3\xA9y");
    EXPECT_EQ(*it, 0xE9u);
    u.insert(0, u8string("\xCC\xA3")); // U+0323, class 220
    u.insert(0, raw("\xCC\x81"));      // U+0301, class 230, in front of it: reordered
    EXPECT_EQ(u.str(), "\xCC\xA3\xCC\x81" "ab");
    it = v.insert(++v.begin(), U'\u00F1'); // not a mark: at the inserted code point
    EXPECT_EQ(*it, 0xF1u);
    EXPECT_EQ(v.str(), "a\xC3\xB1" "b");
}

// Random edits on mixed text, checked after every step against a UTF-32 model
// and utf8proc. Where an edit renormalises, the expected text is the
// library's NFC of what the model predicts.
TEST(U8StringDifferential, RandomEditsAgreeWithModel)
{
    const char32_t atoms[] = {U'a', U'e', U'o', U'K', U' ', 0xF1,    0xE9,    0x20AC, 0x212B,
                              0x1F600, 0x1D11E, 0x1100, 0x1161, 0x301, 0x308, 0x323, 0x31B};
    const size_t kAtoms = sizeof atoms / sizeof atoms[0], kMarks = 4; // the marks are last
    std::mt19937 rng(0x5EED1234u);
    auto pick = [&](size_t n) { return static_cast<size_type>(rng() % n); };
    // Operands: flagged ASCII, adopted bytes (may start with a mark), or validated UTF-8.
    auto operand = [&]() {
        std::u32string t;
        int kind = pick(3);
        if (kind != 0 && pick(4) == 0)
            t += atoms[kAtoms - 1 - pick(kMarks)];
        for (size_t n = 1 + pick(4); t.size() < n;)
            t += kind == 0 ? static_cast<char32_t>('a' + pick(26)) : atoms[pick(kAtoms)];
        return kind == 1 ? raw(encode(t)) : u8string(encode(t));
    };
    auto position = [&](size_t len) { return pick(10) == 0 ? static_cast<size_type>(len + 1) : pick(len + 1); };
    auto count = [&]() {
        const size_type counts[] = {u8string::npos, 0xFFFFFFFEu, 0, 1, 2, 3};
        return counts[pick(6)];
    };

    u8string s("start");
    std::u32string model = U"start";
    int ops[8] = {}, renormalisations = 0, failures = 0, byte_paths = 0, wide_pops = 0;
    for (int step = 0; step < 4000; step++) {
        SCOPED_TRACE("step " + std::to_string(step));
        const size_t len = model.size();
        const bool flag_before = s.is_ascii_hint();
        const std::string before = s.str();
        std::u32string expected = model; // before renormalisation
        bool renormalise = false, must_throw = false;
        const int op = len > 120 ? 7 : static_cast<int>(pick(7));
        try {
            if (op <= 2) { // append, insert, replace: the text of an operand
                u8string x = operand();
                std::u32string xm = decoded(x.str());
                size_type pos = op == 0 ? static_cast<size_type>(len) : position(len), n = count();
                must_throw = pos > len;
                renormalise = pos == len || op == 1 ? !xm.empty() && is_mark(xm[0]) : false;
                if (!must_throw) {
                    expected.replace(pos, op == 2 ? static_cast<size_t>(std::min<uint64_t>(n, len - pos)) : 0, xm);
                }
                op == 0 ? s.append(x) : op == 1 ? s.insert(pos, x) : s.replace(pos, n, x);
            } else if (op == 3) { // erase
                size_type pos = position(len), n = count();
                must_throw = pos > len;
                if (!must_throw)
                    expected.erase(pos, static_cast<size_t>(std::min<uint64_t>(n, len - pos)));
                s.erase(pos, n);
            } else if (op == 4) { // pop_back
                wide_pops += len > 1 && model.back() > 0xFFFF;
                len <= 1 ? expected.clear() : expected.pop_back();
                s.pop_back();
            } else if (op == 5) { // push_back or insert through an iterator: the code point goes in as its NFC
                char32_t c = pick(3) == 0 ? atoms[kAtoms - 1 - pick(kMarks)] : atoms[pick(kAtoms)];
                std::u32string cm = decoded(nfc(encode(std::u32string(1, c))));
                renormalise = is_mark(c);
                size_type pos = pick(2) ? static_cast<size_type>(len) : pick(len + 1);
                expected.insert(pos, cm);
                if (pos == len && pick(2)) {
                    s.push_back(c);
                } else {
                    u8string::iterator at = s.begin();
                    for (size_type i = 0; i < pos; i++)
                        ++at;
                    u8string::iterator it = s.insert(at, c);
                    long index = 0;
                    for (u8string::iterator walk = s.begin(); walk != it; ++walk)
                        index++;
                    std::string prefix = encode(model.substr(0, pos == 0 ? 0 : pos - 1));
                    if (!renormalise) {
                        EXPECT_TRUE(index == long(pos) && *it == cm[0]);
                    } else if (pos > 0 && nfc(prefix) == prefix) {
                        EXPECT_EQ(index, long(pos) - 1); // the code point before the mark
                    } else if (pos == 0) {
                        EXPECT_EQ(index, 0);
                    }
                }
            } else if (op == 6) { // start again from plain text now and then: keeps the byte paths busy
                s = pick(4) ? u8string("plain text") : u8string();
                expected = decoded(s.str());
            } else { // keep the text short
                s.erase(0, 60);
                expected.erase(0, 60);
            }
            ASSERT_FALSE(must_throw) << "op " << op;
        } catch (const std::out_of_range &) {
            ASSERT_TRUE(must_throw) << "op " << op;
        } catch (const utf8::not_enough_room &) {
            ASSERT_TRUE(must_throw && op == 3 && !flag_before) << "op " << op;
        }
        ops[op]++;
        byte_paths += flag_before && s.is_ascii_hint();
        if (must_throw) {
            ASSERT_EQ(s.str(), before) << "a failed edit changed the text";
            failures++;
            continue;
        }
        const std::string &bytes = s.str();
        std::u32string now;
        ASSERT_TRUE(decode(bytes, &now)) << "op " << op << " left invalid UTF-8";
        if (renormalise) {
            ASSERT_EQ(bytes, nfc(encode(expected))) << "op " << op;
            renormalisations++;
        } else {
            ASSERT_EQ(now, expected) << "op " << op;
        }
        model = now;
        ASSERT_TRUE(!s.is_ascii_hint() || all_ascii(bytes)) << "op " << op << ": true flag on non-ASCII bytes";
        int32_t cached = s.cached_length();
        ASSERT_TRUE(cached == -1 || cached == int32_t(model.size())) << "op " << op;
        ASSERT_TRUE(!flag_before || !s.is_ascii_hint() || op == 6 || cached == int32_t(bytes.size()))
            << "op " << op << ": a byte path left the cache unset";
        ASSERT_EQ(s.length(), model.size()) << "op " << op;
        if (!model.empty()) {
            size_type i = pick(model.size());
            ASSERT_EQ(s.at(i), int32_t(model[i]));
        }
    }
    for (int op = 0; op < 7; op++) // the run must have covered every path
        EXPECT_GT(ops[op], 300) << "op " << op;
    EXPECT_GT(renormalisations, 200);
    EXPECT_GT(failures, 100);
    EXPECT_GT(byte_paths, 200);
    EXPECT_GT(wide_pops, 20);
}

TEST(U8StringHash, Fnv1aOverBytesAgreesWithEquality)
{
    EXPECT_EQ(zorvant::u8string_hash(u8string("")), 0x811c9dc5u);
    EXPECT_EQ(zorvant::u8string_hash(u8string("a")), 0xe40c292cu);
    EXPECT_EQ(zorvant::u8string_hash(u8string("foobar")), 0xbf9cf968u);
    EXPECT_EQ(zorvant::u8string_hash(u8string("foobar\0tail", 11)), 0xbf9cf968u); // stops at the NUL
    // Equal keys hash alike: equivalent text with other bytes is another key.
    u8string sign("\xE2\x84\xAB"), letter("\xC3\x85");
    EXPECT_EQ(sign.compare(letter), 0);
    EXPECT_FALSE(sign == letter);
    std::unordered_set<u8string> keys{sign, letter, u8string("abc")};
    EXPECT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys.count(unflagged("abc")), 1u);
    EXPECT_EQ(keys.count(u8string(U"\u212B")), 1u); // normalised to U+00C5
}

// length() fills the cache from several threads at once on one shared string
// (copies and searches read it too). The CI runs this under ThreadSanitizer.
TEST(U8StringThreads, SharedLengthIsComputedSafely)
{
    std::string text;
    for (int i = 0; i < 3000; i++)
        text += "a\xC3\xB1\xE2\x82\xAC\xF0\x9F\x98\x80"; // 4 code points
    u8string holder(text);
    const u8string &shared = holder;
    const u8string needle("\xF0\x9F\x98\x80" "a");
    const unsigned kThreads = 8;
    for (int round = 0; round < 10; round++) {
        holder.invalidate_length(); // between rounds, while no thread runs
        std::atomic<unsigned> ready{0}, wrong{0};
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < kThreads; t++) {
            threads.emplace_back([&, t] {
                ready.fetch_add(1);
                while (ready.load() < kThreads) {
                }
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
