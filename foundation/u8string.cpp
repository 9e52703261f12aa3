// zorvant::u8string: UTF-8 text in NFC, addressed by code points.
//
// Implementation notes
// - Every way in from outside text runs one scan (scan_utf8) that decides
//   validity, ASCII-ness and whether any code point carries a non-zero
//   canonical combining class. Only text with such a mark goes through the
//   normaliser; plain and mark-free text is stored byte for byte. So a
//   singleton such as U+212B ANGSTROM SIGN given as UTF-8 stays as it is,
//   while the same text given as UTF-16 or UTF-32 (always normalised) becomes
//   U+00C5. replace() and erase() never renormalise: the NFC promise holds for
//   incoming text, for append and for insert of text that starts with a mark.
// - The ASCII flag is a hint that selects byte operations. It is only ever
//   set when every byte is below 0x80; whenever an operation cannot keep it
//   exact it becomes false, and false text is handled by the code-point paths,
//   which give the same answers for ASCII text. The one designed difference
//   is an empty needle: find at the end and rfind answer -1 on the
//   code-point path, a position on the byte path.
// - The cached length is the only synchronised member. length() on a string
//   that nobody changes may run in several threads at once; all of them
//   compute the same count and exchange it into the cache. Modifiers are not
//   synchronised: a string must not be changed while another thread uses it.
// - Positions travel as 32-bit code-point counts. Sums such as pos + n are
//   formed in 64 bits so that an n just below npos cannot wrap round to a
//   short range.
#include "foundation/u8string.h"

#include <utf8proc.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

namespace zorvant {

namespace {

using citer = std::string::const_iterator;

// Longest decomposition the code-point comparison accepts. The longest
// canonical decomposition, with or without case folding, in the library's
// tables has 4 code points (U+1F82), so the overflow error guards against
// future tables only.
constexpr utf8proc_ssize_t kDecompMax = 8;

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

bool is_valid_code_point(uint32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }

int combining_class(uint32_t cp)
{
    return utf8proc_get_property(static_cast<utf8proc_int32_t>(cp))->combining_class;
}

// NFC as utf8proc defines it: canonical decomposition, canonical ordering and
// canonical composition (STABLE | COMPOSE). A length of 0 means "up to the
// NUL", as the library's NULLTERM option expects.
std::string nfc(const char *p, size_t n)
{
    int options = UTF8PROC_STABLE | UTF8PROC_COMPOSE;
    if (n == 0)
        options |= UTF8PROC_NULLTERM;
    utf8proc_uint8_t *out = nullptr;
    utf8proc_ssize_t r = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t *>(p), static_cast<utf8proc_ssize_t>(n),
                                      &out, static_cast<utf8proc_option_t>(options));
    std::unique_ptr<utf8proc_uint8_t, void (*)(void *)> owner(out, &std::free);
    if (r < 0) {
        if (r == UTF8PROC_ERROR_NOMEM)
            throw std::bad_alloc();
        // The text was validated before; the library tells no position, so
        // the exception carries the first byte.
        throw utf8::invalid_utf8(static_cast<uint8_t>(n > 0 ? p[0] : 0));
    }
    return std::string(reinterpret_cast<const char *>(out), static_cast<size_t>(r));
}

// Units up to (not including) the first zero unit.
template <class Unit>
size_t units_to_zero(const Unit *s)
{
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

// Shared frame of the UTF-32 and UTF-16 constructors: the NULL test, the
// zero-terminated count, encoding by `encode`, then NFC.
template <class Unit, class Encode>
std::string wide_to_nfc(const Unit *s, size_t units, Encode encode)
{
    if (!s)
        throw std::invalid_argument("u8string NULL");
    if (units == 0)
        units = units_to_zero(s);
    std::string encoded;
    encoded.reserve(units);
    encode(s, s + units, encoded);
    return encoded.empty() ? encoded : nfc(encoded.data(), encoded.size());
}

// UTF-32 text, encoded and put in NFC. units = 0 means up to a zero unit.
// A surrogate or a value above U+10FFFF throws utf8::invalid_code_point.
std::string utf32_to_nfc(const char32_t *s, size_t units)
{
    return wide_to_nfc(s, units, [](const char32_t *first, const char32_t *last, std::string &out) {
        for (; first != last; ++first)
            utf8::append(static_cast<uint32_t>(*first), std::back_inserter(out));
    });
}

// UTF-16 text, surrogate pairs combined, put in NFC. units = 0 means up to a
// zero unit. An unpaired surrogate throws utf8::invalid_utf16.
std::string utf16_to_nfc(const char16_t *s, size_t units)
{
    return wide_to_nfc(s, units, [](const char16_t *first, const char16_t *last, std::string &out) {
        utf8::utf16to8(first, last, std::back_inserter(out));
    });
}

struct ScanResult {
    bool ascii = true;  // every code point below 128
    bool marks = false; // some code point has a non-zero combining class
};

// One checked pass over incoming UTF-8. Any invalid sequence (bad lead byte,
// truncated or overlong sequence, surrogate, value above U+10FFFF) throws
// utf8::invalid_utf8 carrying the first byte of that sequence; utfcpp reports
// some of these as other exception types, which are mapped here.
ScanResult scan_utf8(const char *p, size_t n)
{
    ScanResult result;
    const char *end = p + n;
    while (p != end) {
        unsigned char lead = static_cast<unsigned char>(*p);
        if (lead < 0x80) {
            ++p;
            continue;
        }
        result.ascii = false;
        uint32_t cp;
        try {
            cp = utf8::next(p, end);
        } catch (const utf8::exception &) {
            throw utf8::invalid_utf8(static_cast<uint8_t>(lead));
        }
        if (!result.marks && combining_class(cp) > 0)
            result.marks = true;
    }
    return result;
}

// Validates [p, p + n) and writes the bytes to keep into out: as given when
// the text is ASCII or mark-free, otherwise its NFC form. Returns the ASCII
// flag. out is untouched when this throws.
bool ingest_utf8(const char *p, size_t n, std::string &out)
{
    ScanResult scan = scan_utf8(p, n);
    if (scan.ascii || !scan.marks)
        out.assign(p, n);
    else
        out = nfc(p, n);
    return scan.ascii;
}

// Decodes the code point at p (checked) and moves p past it.
uint32_t next_code_point(citer &p, citer end)
{
    if (p != end && static_cast<unsigned char>(*p) < 0x80)
        return static_cast<unsigned char>(*p++);
    return utf8::next(p, end);
}

bool starts_with_mark(const char *first, const char *last)
{
    if (first == last)
        return false;
    if (static_cast<unsigned char>(*first) < 0x80)
        return false;
    return combining_class(utf8::next(first, last)) > 0;
}

// Steps p forward n code points; stepping beyond end throws utf8::not_enough_room.
citer step_exact(citer p, citer end, uint64_t n)
{
    for (; n > 0; --n) {
        if (p == end)
            throw utf8::not_enough_room();
        next_code_point(p, end);
    }
    return p;
}

// Steps p forward up to n code points, stopping at end; *taken gets the steps made.
citer step_upto(citer p, citer end, uint64_t n, uint64_t *taken = nullptr)
{
    uint64_t steps = 0;
    for (; steps < n && p != end; ++steps)
        next_code_point(p, end);
    if (taken)
        *taken = steps;
    return p;
}

// Code points in [first, last) of valid UTF-8: the bytes that are not continuation bytes.
size_t count_code_points(citer first, citer last)
{
    size_t n = 0;
    for (; first != last; ++first)
        n += !is_continuation(static_cast<unsigned char>(*first));
    return n;
}

// Checked count of the code points of the whole text.
size_t count_checked(const std::string &bytes)
{
    size_t n = 0;
    citer p = bytes.begin(), end = bytes.end();
    while (p != end) {
        next_code_point(p, end);
        ++n;
    }
    return n;
}

// Decomposes one valid code point for the comparison: canonical decomposition
// (STABLE | COMPOSE; composition itself needs more than one code point), plus
// case folding when asked. Returns the number of code points.
utf8proc_ssize_t decompose(uint32_t cp, bool ignoreCase, utf8proc_int32_t (&out)[kDecompMax])
{
    int options = UTF8PROC_STABLE | UTF8PROC_COMPOSE;
    if (ignoreCase)
        options |= UTF8PROC_CASEFOLD;
    int boundclass = 0;
    utf8proc_ssize_t r = utf8proc_decompose_char(static_cast<utf8proc_int32_t>(cp), out, kDecompMax,
                                                 static_cast<utf8proc_option_t>(options), &boundclass);
    if (r == UTF8PROC_ERROR_NOMEM)
        throw std::bad_alloc();
    if (r < 0)
        throw std::runtime_error("Unknown UTF decomp error");
    if (r > kDecompMax)
        throw std::runtime_error("UTF decomp buffer overflow");
    return r;
}

uint32_t fold_ascii(uint32_t c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// Compares two code points: -1, 0 or 1. Canonically equivalent code points
// are equal (U+212B equals U+00C5); with ignoreCase their case folds are
// compared. An invalid code point compares below everything.
int compare_code_points(uint32_t x, uint32_t y, bool ignoreCase)
{
    if (x < 0x80 && y < 0x80) {
        // For ASCII the general path below reduces to this: no ASCII code
        // point decomposes, and folding maps exactly A-Z to a-z.
        if (ignoreCase) {
            x = fold_ascii(x);
            y = fold_ascii(y);
        }
        return x == y ? 0 : (x > y ? 1 : -1);
    }
    if (!is_valid_code_point(x) || !is_valid_code_point(y))
        return -1;
    utf8proc_int32_t dx[kDecompMax], dy[kDecompMax];
    utf8proc_ssize_t lx = decompose(x, ignoreCase, dx);
    utf8proc_ssize_t ly = decompose(y, ignoreCase, dy);
    utf8proc_ssize_t common = std::min(lx, ly);
    for (utf8proc_ssize_t i = 0; i < common; i++) {
        if (dx[i] != dy[i])
            return dx[i] > dy[i] ? 1 : -1;
    }
    return lx == ly ? 0 : (lx > ly ? 1 : -1);
}

// The ASCII code point that c is canonically equivalent to, or -1. Three code
// points are (U+037E, U+1FEF, U+212A); an all-ASCII text can contain only
// those of the non-ASCII code points that find() treats as equal.
int ascii_equivalent(uint32_t c)
{
    if (!is_valid_code_point(c))
        return -1;
    utf8proc_int32_t d[kDecompMax];
    if (decompose(c, false, d) == 1 && d[0] >= 0 && d[0] < 0x80)
        return d[0];
    return -1;
}

size_t byte_offset(const std::string &bytes, const u8string::iterator &at)
{
    // An iterator of another string, or one made before this string last
    // changed size, would write outside the text: refuse it. A position
    // outside our bytes throws std::out_of_range, another range
    // std::logic_error, a position inside a sequence std::out_of_range.
    u8string::iterator here(at.base(), bytes.cbegin(), bytes.cend());
    (void)(here == at); // compares the ranges
    size_t offset = static_cast<size_t>(at.base() - bytes.cbegin());
    if (offset < bytes.size() && is_continuation(static_cast<unsigned char>(bytes[offset])))
        throw std::out_of_range("Invalid utf-8 iterator position");
    return offset;
}

int sign(int r) { return r < 0 ? -1 : (r > 0 ? 1 : 0); }

int to_position(size_t pos) { return pos <= INT_MAX ? static_cast<int>(pos) : -1; }

} // namespace

// --- iterator --------------------------------------------------------------

u8string::iterator::iterator(base_iterator pos, base_iterator start, base_iterator end) : it_(pos, start, end) {}

uint32_t u8string::iterator::operator*() const { return *it_; }

u8string::iterator &u8string::iterator::operator++()
{
    ++it_;
    ++index_;
    return *this;
}

u8string::iterator u8string::iterator::operator++(int)
{
    iterator before = *this;
    ++*this;
    return before;
}

u8string::iterator &u8string::iterator::operator--()
{
    --it_;
    --index_;
    return *this;
}

u8string::iterator u8string::iterator::operator--(int)
{
    iterator before = *this;
    --*this;
    return before;
}

bool u8string::iterator::operator==(const iterator &other) const { return it_ == other.it_; }

// --- construction ----------------------------------------------------------

u8string::u8string() : length_(-1), ascii_(true) {}

u8string::u8string(const char *s, size_type n) : length_(-1), ascii_(false)
{
    if (!s)
        throw std::invalid_argument("u8string NULL");
    size_t bytes = n != 0 ? n : std::strlen(s);
    ascii_ = ingest_utf8(s, bytes, bytes_);
}

u8string::u8string(const std::string &s) : length_(-1), ascii_(false) { assign(s); }

u8string::u8string(const char32_t *s, size_type n) : bytes_(utf32_to_nfc(s, n)), length_(-1), ascii_(false) {}

u8string::u8string(const std::u32string &s) : bytes_(utf32_to_nfc(s.data(), s.size())), length_(-1), ascii_(false) {}

u8string::u8string(const char16_t *s, size_type n) : bytes_(utf16_to_nfc(s, n)), length_(-1), ascii_(false) {}

u8string::u8string(const std::u16string &s) : bytes_(utf16_to_nfc(s.data(), s.size())), length_(-1), ascii_(false) {}

u8string::u8string(const u8string &other)
    : bytes_(other.bytes_), length_(other.length_.load()), ascii_(other.ascii_)
{
}

u8string::u8string(u8string &&other) noexcept
    : bytes_(std::move(other.bytes_)), length_(other.length_.load()), ascii_(other.ascii_)
{
    other.clear();
}

u8string &u8string::operator=(const u8string &other)
{
    u8string copy(other);
    swap(copy);
    return *this;
}

u8string &u8string::operator=(u8string &&other) noexcept
{
    if (this != &other) {
        bytes_ = std::move(other.bytes_);
        length_.store(other.length_.load());
        ascii_ = other.ascii_;
        other.clear();
    }
    return *this;
}

u8string &u8string::assign(const std::string &s)
{
    set_validated(s);
    return *this;
}

void u8string::set_validated(const std::string &s)
{
    // The flag is cleared first; the bytes change only once s has passed.
    ascii_ = false;
    std::string fresh;
    bool ascii = ingest_utf8(s.data(), s.size(), fresh);
    bytes_.swap(fresh);
    length_.store(-1);
    ascii_ = ascii;
}

std::string u8string::str() &&
{
    std::string out = std::move(bytes_);
    bytes_.clear();
    length_.store(-1);
    ascii_ = true;
    return out;
}

bool u8string::scan_ascii(const std::string &bytes)
{
    for (unsigned char b : bytes)
        if (b >= 0x80)
            return false;
    return true;
}

// --- queries ---------------------------------------------------------------

u8string::size_type u8string::count_length() const
{
    // With a true flag every byte is a code point; otherwise a checked pass.
    size_t count = ascii_ ? bytes_.size() : count_checked(bytes_);
    if (count > INT32_MAX)
        throw std::length_error("u8string too long");
    length_.exchange(static_cast<int32_t>(count));
    return static_cast<size_type>(count);
}

int32_t u8string::at(size_type i) const
{
    if (i >= length())
        return -1;
    if (ascii_)
        return static_cast<unsigned char>(bytes_[i]);
    citer p = step_exact(bytes_.cbegin(), bytes_.cend(), i);
    return static_cast<int32_t>(next_code_point(p, bytes_.cend()));
}

u8string::iterator u8string::begin() const { return iterator(bytes_.cbegin(), bytes_.cbegin(), bytes_.cend()); }

u8string::iterator u8string::end() const { return iterator(bytes_.cend(), bytes_.cbegin(), bytes_.cend()); }

int u8string::compare(const u8string &other, bool ignoreCase) const
{
    if (!ignoreCase && ascii_ && other.ascii_)
        return sign(bytes_.compare(other.bytes_)); // the whole-text byte path, without position checks
    return compare(0, npos, other, 0, npos, ignoreCase);
}

int u8string::compare(size_type pos, size_type n, const u8string &other, bool ignoreCase) const
{
    return compare(pos, n, other, 0, npos, ignoreCase);
}

int u8string::compare(size_type pos1, size_type cnt1, const u8string &other, size_type pos2, size_type cnt2,
                      bool ignoreCase) const
{
    if (!ignoreCase && ascii_ && other.ascii_) {
        if (pos1 > bytes_.size() || pos2 > other.bytes_.size())
            throw std::out_of_range("invalid string position");
        return sign(bytes_.compare(pos1, cnt1, other.bytes_, pos2, cnt2));
    }
    citer endA = bytes_.cend(), endB = other.bytes_.cend();
    citer a = step_exact(bytes_.cbegin(), endA, pos1);
    citer b = step_exact(other.bytes_.cbegin(), endB, pos2);
    citer stopA = cnt1 == npos ? endA : step_upto(a, endA, cnt1);
    citer stopB = cnt2 == npos ? endB : step_upto(b, endB, cnt2);
    while (a != stopA && b != stopB) {
        int r = compare_code_points(next_code_point(a, stopA), next_code_point(b, stopB), ignoreCase);
        if (r != 0)
            return r;
    }
    if (a != stopA)
        return 1;
    if (b != stopB)
        return -1;
    return 0;
}

int u8string::find(const u8string &s, size_type pos) const
{
    if (ascii_ && s.ascii_) {
        size_t r = bytes_.find(s.bytes_, pos);
        return r == std::string::npos ? -1 : to_position(r);
    }
    uint64_t skipped = 0;
    citer begin = bytes_.cbegin();
    citer start = step_upto(begin, bytes_.cend(), pos, &skipped);
    if (start == bytes_.cend())
        return -1; // nothing can start at the end, not even an empty needle
    // Exact code-point values: in valid UTF-8 that is a byte match that
    // starts on a lead byte.
    size_t r = bytes_.find(s.bytes_, static_cast<size_t>(start - begin));
    while (r != std::string::npos && is_continuation(static_cast<unsigned char>(bytes_[r])))
        r = bytes_.find(s.bytes_, r + 1);
    if (r == std::string::npos)
        return -1;
    return to_position(skipped + count_code_points(start, begin + static_cast<std::ptrdiff_t>(r)));
}

int u8string::find(uint32_t c, size_type pos) const
{
    if (ascii_) {
        // An all-ASCII text can only hold c itself, or the ASCII code point
        // that c is canonically equivalent to (U+212A KELVIN SIGN is K), as
        // the code-point path below would find.
        int target = c < 0x80 ? static_cast<int>(c) : ascii_equivalent(c);
        if (target < 0)
            return -1;
        size_t r = bytes_.find(static_cast<char>(target), pos);
        return r == std::string::npos ? -1 : to_position(r);
    }
    uint64_t index = 0;
    citer end = bytes_.cend();
    citer p = step_upto(bytes_.cbegin(), end, pos, &index);
    while (p != end) {
        if (compare_code_points(next_code_point(p, end), c, false) == 0)
            return to_position(index);
        ++index;
    }
    return -1;
}

int u8string::rfind(const u8string &s, size_type pos) const
{
    if (ascii_ && s.ascii_) {
        size_t r = bytes_.rfind(s.bytes_, pos);
        return r == std::string::npos ? -1 : to_position(r);
    }
    if (s.empty())
        return -1;
    uint64_t total = length();
    uint64_t needle = s.length();
    if (total == 0)
        return -1;
    // The match must lie within the first `limit` code points.
    uint64_t limit = std::min<uint64_t>(total, std::min<uint64_t>(pos, total - 1) + needle);
    citer begin = bytes_.cbegin();
    size_t limitBytes = static_cast<size_t>(step_exact(begin, bytes_.cend(), limit) - begin);
    if (s.bytes_.size() > limitBytes)
        return -1;
    size_t r = bytes_.rfind(s.bytes_, limitBytes - s.bytes_.size());
    while (r != std::string::npos && is_continuation(static_cast<unsigned char>(bytes_[r])))
        r = r == 0 ? std::string::npos : bytes_.rfind(s.bytes_, r - 1);
    if (r == std::string::npos)
        return -1;
    return to_position(count_code_points(begin, begin + static_cast<std::ptrdiff_t>(r)));
}

bool u8string::starts_with(const u8string &other) const { return compare(0, other.length(), other) == 0; }

bool u8string::ends_with(const u8string &other) const
{
    size_type mine = length(), theirs = other.length();
    if (mine < theirs)
        return false;
    return compare(mine - theirs, theirs, other) == 0;
}

// --- modifiers -------------------------------------------------------------

u8string &u8string::append(const u8string &s)
{
    if (ascii_ && s.ascii_) {
        bytes_.append(s.bytes_);
        store_byte_length();
        return *this;
    }
    if (s.bytes_.empty())
        return *this;
    if (starts_with_mark(s.bytes_.data(), s.bytes_.data() + s.bytes_.size())) {
        // A leading mark may compose with (or reorder against) what precedes
        // it: renormalise the whole text. s may be *this, so join first.
        std::string joined;
        joined.reserve(bytes_.size() + s.bytes_.size());
        joined.append(bytes_).append(s.bytes_);
        std::string normal = nfc(joined.data(), joined.size());
        bytes_.swap(normal);
    } else {
        bytes_.append(s.bytes_);
    }
    ascii_ = false;
    length_.store(-1, std::memory_order_relaxed);
    return *this;
}

// push_back() beyond its inline byte path.
void u8string::push_back_code_point(uint32_t c)
{
    char32_t unit = static_cast<char32_t>(c);
    append(u8string(&unit, 1)); // utf8::invalid_code_point for a surrogate or a value above U+10FFFF
}

// pop_back() beyond its inline byte path (which needs a flag and two bytes).
void u8string::pop_back_code_point()
{
    if (length() <= 1) {
        clear();
        return;
    }
    if (ascii_) {
        // Byte path: the exact count is the byte count; no read-modify-write needed.
        bytes_.pop_back();
        store_byte_length();
        return;
    }
    if (static_cast<unsigned char>(bytes_.back()) >= 0x80) {
        size_t lead = bytes_.size() - 1;
        while (lead > 0 && is_continuation(static_cast<unsigned char>(bytes_[lead])))
            --lead;
        bytes_.erase(lead);
    } else {
        bytes_.pop_back();
    }
    length_.fetch_sub(1);
}

u8string &u8string::insert(size_type pos, const u8string &s)
{
    if (ascii_ && s.ascii_) {
        if (pos > bytes_.size())
            throw std::out_of_range("invalid string position");
        bytes_.insert(pos, s.bytes_);
        store_byte_length();
        return *this;
    }
    if (pos > length())
        throw std::out_of_range("u8string insert");
    iterator at(step_exact(bytes_.cbegin(), bytes_.cend(), pos), bytes_.cbegin(), bytes_.cend());
    if (&s == this) {
        std::string copy = s.bytes_;
        insert_bytes(at, copy.data(), copy.data() + copy.size());
    } else {
        insert_bytes(at, s.bytes_.data(), s.bytes_.data() + s.bytes_.size());
    }
    return *this;
}

u8string::iterator u8string::insert(const iterator &at, uint32_t c)
{
    if (ascii_ && c < 0x80) {
        size_t offset = byte_offset(bytes_, at);
        bytes_.insert(offset, 1, static_cast<char>(c));
        store_byte_length();
        return iterator(bytes_.cbegin() + static_cast<std::ptrdiff_t>(offset), bytes_.cbegin(), bytes_.cend());
    }
    char32_t unit = static_cast<char32_t>(c);
    u8string one(&unit, 1); // utf8::invalid_code_point
    return insert_bytes(at, one.bytes_.data(), one.bytes_.data() + one.bytes_.size());
}

u8string::iterator u8string::insert_bytes(const iterator &at, const char *first, const char *last)
{
    size_t offset = byte_offset(bytes_, at);
    if (!starts_with_mark(first, last)) {
        bytes_.insert(offset, first, static_cast<size_t>(last - first));
        ascii_ = false;
        length_.store(-1, std::memory_order_relaxed);
        return iterator(bytes_.cbegin() + static_cast<std::ptrdiff_t>(offset), bytes_.cbegin(), bytes_.cend());
    }

    // The inserted text starts with a combining mark: renormalise the whole
    // text and return an iterator at the code point that preceded the
    // insertion point (the mark may have composed with it). Its index is the
    // number of code points before it, counted in normalised form, since
    // text put in by replace() may itself have been unnormalised.
    // At position 0 nothing precedes the mark; the result is then begin(),
    // the first code point of the normalised text.
    std::string joined;
    joined.reserve(bytes_.size() + static_cast<size_t>(last - first));
    joined.append(bytes_, 0, offset).append(first, last).append(bytes_, offset, std::string::npos);
    std::string normal = nfc(joined.data(), joined.size());

    uint64_t index = 0;
    if (offset > 0) {
        size_t previous = offset - 1;
        while (previous > 0 && is_continuation(static_cast<unsigned char>(bytes_[previous])))
            --previous;
        std::string before(bytes_, 0, previous);
        index = scan_ascii(before) ? before.size() : count_checked(nfc(before.data(), before.size()));
    }
    bytes_.swap(normal);
    ascii_ = false;
    length_.store(-1, std::memory_order_relaxed);
    citer p = step_upto(bytes_.cbegin(), bytes_.cend(), index);
    return iterator(p, bytes_.cbegin(), bytes_.cend());
}

u8string &u8string::erase(size_type pos, size_type n)
{
    if (ascii_) {
        if (pos > bytes_.size())
            throw std::out_of_range("invalid string position");
        bytes_.erase(pos, n);
        store_byte_length();
        return *this;
    }
    citer first = step_exact(bytes_.cbegin(), bytes_.cend(), pos); // utf8::not_enough_room beyond the end
    int32_t known = length_.load();
    citer last;
    if (n == npos || (known >= 0 && uint64_t(pos) + n >= uint64_t(known)))
        last = bytes_.cend();
    else
        last = step_upto(first, bytes_.cend(), n);
    bytes_.erase(static_cast<size_t>(first - bytes_.cbegin()), static_cast<size_t>(last - first));
    length_.store(-1, std::memory_order_relaxed);
    return *this;
}

u8string &u8string::replace(size_type pos, size_type n, const u8string &s)
{
    size_type total = length();
    if (pos == total)
        return append(s);
    if (ascii_ && s.ascii_) {
        if (pos > bytes_.size())
            throw std::out_of_range("invalid string position");
        bytes_.replace(pos, n, s.bytes_);
        store_byte_length();
        return *this;
    }
    if (pos > total)
        throw std::out_of_range("u8string replace");
    citer first = step_exact(bytes_.cbegin(), bytes_.cend(), pos);
    citer last = (n == npos || uint64_t(pos) + n >= total) ? bytes_.cend() : step_exact(first, bytes_.cend(), n);
    // std::string::replace copes with s being *this.
    bytes_.replace(static_cast<size_t>(first - bytes_.cbegin()), static_cast<size_t>(last - first), s.bytes_);
    ascii_ = false;
    length_.store(-1, std::memory_order_relaxed);
    return *this;
}

void u8string::clear()
{
    bytes_.clear();
    length_.store(0);
    ascii_ = true;
}

void u8string::swap(u8string &other) noexcept
{
    bytes_.swap(other.bytes_);
    length_.exchange(other.length_.exchange(length_.load()));
    std::swap(ascii_, other.ascii_);
}

// --- free functions --------------------------------------------------------

// Byte equality, so that equal strings always have equal hashes (the hash is
// over the bytes). compare() is the looser relation: canonically equivalent
// text such as U+212B and U+00C5 compares 0 there but differs here.
bool operator==(const u8string &a, const u8string &b) { return a.str() == b.str(); }

bool operator<(const u8string &a, const u8string &b) { return a.compare(b) < 0; }

u8string operator+(const u8string &a, const u8string &b)
{
    u8string joined(a);
    joined.append(b);
    return joined;
}

std::u16string to_utf16(const u8string &s)
{
    std::u16string out;
    out.reserve(s.size());
    utf8::utf8to16(s.str().begin(), s.str().end(), std::back_inserter(out));
    return out;
}

u8string lower_case(const u8string &s)
{
    std::string out;
    out.reserve(s.size());
    for (auto p = s.str().cbegin(); p != s.str().cend();)
        utf8::unchecked::append(
            static_cast<uint32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(utf8::unchecked::next(p)))),
            std::back_inserter(out));
    return u8string(out); // lowered marks may need composing again
}

uint32_t u8string_hash(const u8string &s)
{
    uint32_t hash = 0x811c9dc5u;
    for (unsigned char b : s.str()) {
        if (b == 0)
            break;
        hash ^= b;
        hash *= 16777619u;
    }
    return hash;
}

} // namespace zorvant
