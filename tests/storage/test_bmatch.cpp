#include "storage/bmatch.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
struct Free { void operator()(bmatch *m) const { bmatch_free(&m); } };
using Matcher = std::unique_ptr<bmatch, Free>;

Matcher compiled(const std::string &pattern, const Bytes &mask = {})
{
    Matcher m(bmatch_new());
    EXPECT_EQ(bmatch_compile(m.get(), pattern.data(), mask.empty() ? nullptr : mask.data(),
                             int(pattern.size())), 0);
    return m;
}

// Feeds `stream` cut before each index in `cuts`, calling again with the same
// buffer after every hit. Returns every result as a stream end offset, with
// 0 for each "nothing more in this buffer"; with `hits_only`, just the hits.
std::vector<int> feed(bmatch *m, const std::string &stream, const std::vector<size_t> &cuts,
                      bool hits_only = false)
{
    std::vector<int> out;
    for (size_t i = 0, from = 0; i <= cuts.size(); i++) {
        size_t to = i < cuts.size() ? cuts[i] : stream.size();
        for (int r = 1; r > 0 && out.size() < 100000;) {
            r = bmatch_search(m, stream.data() + from, int(to - from));
            if (r != 0 || !hits_only)
                out.push_back(r > 0 ? int(from) + r : r);
        }
        from = to;
    }
    return out;
}

}  // namespace

// The matcher against a plain compare at every offset, on streams over a
// small alphabet (so matches, overlaps and near misses are frequent), cut at
// random points including empty and one-byte buffers. Masks: none, 0/0xFF
// only, or arbitrary bytes.
TEST(BmatchStream, AgreesWithNaiveSearchOverRandomCuts)
{
    std::mt19937 rng(20240517);
    const int lengths[] = {1, 2, 3, 5, 7, 8, 9, 10, 12, 17, 33};
    for (int round = 0; round < 3000; round++) {
        int n = lengths[rng() % std::size(lengths)], mask_kind = rng() % 3;
        std::string pat(n, 0), stream(rng() % 300, 0);
        Bytes mask(mask_kind ? n : 0);
        for (int i = 0; i < n; i++)
            pat[i] = "abAB"[rng() % 4];
        for (auto &k : mask)
            k = mask_kind == 1 ? (rng() % 4 ? 0xFF : 0) : uint8_t(rng());
        for (auto &c : stream)
            c = "abABc"[rng() % 5];
        for (int k = 0; k < 4 && stream.size() >= size_t(n); k++)  // plant a few copies
            stream.replace(rng() % (stream.size() - n + 1), n, pat);
        std::vector<size_t> cuts;
        for (size_t at = 0; at < stream.size(); at += rng() % (rng() % 2 ? 4 : 40))
            cuts.push_back(at);

        std::vector<int> want;
        for (size_t e = n; e <= stream.size(); e++) {
            bool ok = true;
            for (int j = 0; j < n && ok; j++) {
                uint8_t k = mask.empty() ? 0xFF : mask[j];
                ok = (stream[e - n + j] & k) == (pat[j] & k);
            }
            if (ok)
                want.push_back(int(e));
        }
        Matcher m = compiled(pat, mask);
        ASSERT_EQ(feed(m.get(), stream, cuts, true), want) << "round " << round;
    }
}

TEST(BmatchStream, MatchesStraddlingBuffers)
{
    const std::string p = "HEADER12tail";  // 8-byte head, 4-byte tail
    const std::string s = "xxHEADER12tailyyHEADER12tailzzHEADER12tail";
    // Heads cut after their 3rd and 4th byte: found in the next buffer.
    EXPECT_EQ(feed(compiled(p).get(), s, {5, 20}), (std::vector<int>{0, 14, 0, 28, 42, 0}));
    // Head ends the first buffer: the hit reports the 4 tail bytes it used
    // from the second.
    Matcher m = compiled(p);
    EXPECT_EQ(bmatch_search(m.get(), s.data(), 10), 0);
    EXPECT_EQ(bmatch_search(m.get(), s.data() + 10, 6), 4);
    // Tails spread over several buffers, one of them empty.
    EXPECT_EQ(feed(compiled(p).get(), s, {10, 12, 24, 24, 25}),
              (std::vector<int>{0, 0, 14, 0, 0, 0, 28, 42, 0}));
    // Nine As leave two candidates; the next buffer completes both and holds
    // one more full match; each is reported once, in order, then 0.
    EXPECT_EQ(feed(compiled("AAAAAAAAAA").get(), "AAAAAAAAAAAxAAAAAAAAAA", {9}),
              (std::vector<int>{0, 10, 11, 22, 0}));
}

TEST(BmatchStream, Masks)
{
    struct Case { std::string pat; Bytes mask; std::string text; std::vector<int> want; };
    const Case cases[] = {
        // 0 in the head matches any byte; 0xFF exact; no tail: the hit is
        // the index just past the last byte.
        {"a?c", {0xFF, 0, 0xFF}, "abcaXcaac", {3, 6, 9, 0}},
        // A partial head mask applies bit by bit: 0xDF folds ASCII case.
        {"ab", {0xDF, 0xDF}, "AbaBxab", {2, 4, 7, 0}},
        // In the tail likewise: high nibble only at byte 9.
        {"123456789A", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0xFF},
         "123456780A123456789A12345678IA", {10, 20, 0}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(feed(compiled(c.pat, c.mask).get(), c.text, {}), c.want) << c.pat;
}

TEST(BmatchStream, BadUseAndRecompile)
{
    Matcher m(bmatch_new());
    const uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(bmatch_search(m.get(), buf, 4), -1);  // not compiled
    EXPECT_NE(bmatch_compile(m.get(), buf, nullptr, 0), 0);
    EXPECT_NE(bmatch_compile(m.get(), buf, nullptr, -3), 0);
    EXPECT_NE(bmatch_compile(m.get(), nullptr, nullptr, 2), 0);
    EXPECT_NE(bmatch_compile(nullptr, buf, nullptr, 2), 0);
    EXPECT_EQ(bmatch_search(m.get(), buf, 4), -1);  // a failed compile leaves it unusable
    ASSERT_EQ(bmatch_compile(m.get(), buf + 1, nullptr, 1), 0);
    EXPECT_EQ(bmatch_search(m.get(), buf, -1), -1);
    EXPECT_EQ(bmatch_search(m.get(), nullptr, 4), -1);
    EXPECT_EQ(bmatch_search(nullptr, buf, 4), -1);
    EXPECT_EQ(bmatch_search(m.get(), nullptr, 0), 0);
    EXPECT_EQ(bmatch_search(m.get(), buf, 4), 2);

    // Compiling again drops a pending candidate.
    Matcher c = compiled("0123456789");
    EXPECT_EQ(bmatch_search(c.get(), "012345678", 9), 0);
    ASSERT_EQ(bmatch_compile(c.get(), "0123456789", nullptr, 10), 0);
    EXPECT_EQ(bmatch_search(c.get(), "9", 1), 0);

    bmatch *p = bmatch_new();
    bmatch_free(&p);
    EXPECT_EQ(p, nullptr);
    bmatch_free(&p);
}
