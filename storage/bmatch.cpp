// Byte-pattern search: shift-or head, direct tail compare, pending candidates.
//
// Implementation notes
// - Shift-or: state = (state << 1) | table[c] per byte. Bit i of the state is
//   0 when the last i + 1 bytes match head positions 0..i, so the head ends at
//   the current byte when the bit of the last head position (the match bit)
//   is 0. The state starts as 0xFF, so no match is reported before a whole
//   head has been seen.
// - Skipping: table entries are kept 32 bits wide with every bit from the
//   head length L up 0, so a 0 at the match bit moves up unchanged with each
//   later shift. Eight bytes then fold into one step,
//   state = (state << 8) | table[c0] << 7 | ... | table[c7], whose terms do
//   not depend on each other; a 0 in bits L-1 .. L+6 says a head ended in
//   those eight bytes, which are then walked one by one. Those bits come
//   only from state bits below L-1 and the eight table entries, so older
//   head ends (already handled) never show through.
// - Pending candidates: a head whose tail runs past the end of a buffer is
//   kept with the number of tail bytes already compared. Candidates are
//   settled once, when a buffer is first seen: each either fails, completes
//   (its end index in this buffer is queued as a hit) or is still cut short.
//   Completed ones end within the first tail-length bytes, before any head
//   found in this buffer can complete, so queued hits come out first and in
//   order. Settling once is what makes a repeated call with the same buffer
//   go on where it left off instead of comparing the candidates again.
// - Live candidates all began within the last tail-length bytes of the
//   stream, one per head end, so there are at most tail-length of them; both
//   lists are reserved to that size when compiling and never grow later.
#include "storage/bmatch.h"

#include <cstring>
#include <new>
#include <vector>

struct bmatch {
    uint8_t valid = 1;       // 1 once created
    uint8_t compiled = 0;    // 1 after a successful compile
    uint8_t head_length = 0; // min(pattern length, 8)
    uint8_t match_bit = 0;   // 1 << (head_length - 1)
    uint8_t state = 0xFF;    // the shift-or register
    bool in_buffer = false;  // candidates already settled for the current buffer
    int resume = 0;          // index in the current buffer where scanning goes on
    uint32_t table[256];     // bit i is 0 when that byte may stand at head position i;
                             // bits from head_length up are 0 once compiled
    std::vector<uint8_t> tail;      // pattern bytes 8 .. n-1
    std::vector<uint8_t> tail_mask; // their mask bytes, empty when no mask
    int tail_length = 0;
    std::vector<int> pending;       // tail bytes matched per candidate, in creation order
    std::vector<int> hits;          // end indices of candidates completed in this buffer
    size_t next_hit = 0;            // first hit not yet reported

    bmatch() { std::memset(table, 0xFF, sizeof table); }
};

bmatch *bmatch_new() { return new (std::nothrow) bmatch(); }

int bmatch_compile(bmatch *m, const void *pattern, const void *mask, int n)
{
    if (!m || !m->valid)
        return 1;
    m->compiled = 0;
    m->pending.clear();
    m->hits.clear();
    m->tail.clear();
    m->tail_mask.clear();
    m->tail_length = 0;
    if (!pattern || n < 1)
        return 1;  // an empty pattern has no last head position to test
    const auto *p = static_cast<const uint8_t *>(pattern);
    const auto *k = static_cast<const uint8_t *>(mask);
    int head = n < 8 ? n : 8;
    int tail = n - head;
    try {
        m->tail.assign(p + head, p + n);
        if (k)
            m->tail_mask.assign(k + head, k + n);
        m->pending.reserve(tail);
        m->hits.reserve(tail);
    } catch (const std::bad_alloc &) {
        m->tail.clear();
        m->tail_mask.clear();
        return 1;
    }
    for (auto &entry : m->table)
        entry = (1u << head) - 1;
    for (int i = 0; i < head; i++) {
        unsigned msk = k ? k[i] : 0xFFu;
        for (unsigned c = 0; c < 256; c++)
            if ((c & msk) == (p[i] & msk))
                m->table[c] &= ~(1u << i);
    }
    m->head_length = uint8_t(head);
    m->match_bit = uint8_t(1u << (head - 1));
    m->tail_length = tail;
    m->state = 0xFF;
    m->resume = 0;
    m->in_buffer = false;
    m->next_hit = 0;
    m->compiled = 1;
    return 0;
}

// Compares `count` buffer bytes with the tail from tail index `from`.
static bool tail_equal(const bmatch *m, int from, const uint8_t *b, int count)
{
    const uint8_t *t = m->tail.data() + from;
    if (m->tail_mask.empty())
        return std::memcmp(t, b, size_t(count)) == 0;
    const uint8_t *k = m->tail_mask.data() + from;
    for (int j = 0; j < count; j++)
        if ((b[j] & k[j]) != (t[j] & k[j]))
            return false;
    return true;
}

// Advances every pending candidate over the start of a new buffer, queuing
// the end index of each one whose tail completes here.
static void settle_pending(bmatch *m, const uint8_t *b, int length)
{
    m->hits.clear();
    m->next_hit = 0;
    size_t kept = 0;
    for (int done : m->pending) {
        int want = m->tail_length - done;
        int count = want < length ? want : length;
        if (!tail_equal(m, done, b, count))
            continue;
        if (count == want)
            m->hits.push_back(count);
        else
            m->pending[kept++] = done + count;
    }
    m->pending.resize(kept);
}

int bmatch_search(bmatch *m, const void *buffer, int length)
{
    if (!m || !m->valid || !m->compiled || length < 0 || (!buffer && length > 0))
        return -1;
    const auto *b = static_cast<const uint8_t *>(buffer);
    if (!m->in_buffer) {
        settle_pending(m, b, length);
        m->in_buffer = true;
        m->resume = 0;
    }
    if (m->next_hit < m->hits.size())
        return m->hits[m->next_hit++];

    const uint32_t *t = m->table;
    const unsigned match_bit = m->match_bit;
    const unsigned window = 0xFFu << (m->head_length - 1); // match bit of the last 8 steps
    const int tail_length = m->tail_length;
    unsigned s = m->state;
    int i = m->resume;
    while (i < length) {
        for (; length - i >= 8; i += 8) {
            const uint8_t *q = b + i;
            unsigned n = (s << 8) | t[q[0]] << 7 | t[q[1]] << 6 | t[q[2]] << 5 | t[q[3]] << 4 |
                         t[q[4]] << 3 | t[q[5]] << 2 | t[q[6]] << 1 | t[q[7]];
            if (~n & window)
                break;  // a head ends in these 8 bytes
            s = n;
        }
        for (int stop = length - i >= 8 ? i + 8 : length; i < stop; i++) {
            s = (s << 1) | t[b[i]];
            if (s & match_bit)
                continue;
            int avail = length - i - 1;
            int count = tail_length < avail ? tail_length : avail;
            if (tail_length && !tail_equal(m, 0, b + i + 1, count))
                continue;
            if (count == tail_length) {
                m->state = uint8_t(s);
                m->resume = i + 1;
                return i + 1 + tail_length;
            }
            m->pending.push_back(count);  // within the reserve, see above
        }
    }
    m->state = uint8_t(s);
    m->resume = 0;
    m->in_buffer = false;
    return 0;
}

void bmatch_free(bmatch **m)
{
    if (!m)
        return;
    delete *m;
    *m = nullptr;
}
