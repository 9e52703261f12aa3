// zorvant::u8string: the engine's text type.
//
// The bytes are always valid UTF-8. Text that arrives from outside is kept in
// Unicode NFC when it carries combining marks (UTF-16 and UTF-32 input is
// always normalised). Positions and counts are code points; searches return
// a code-point position or -1. Two hints speed up plain text: a cached
// code-point count (-1 = unknown, the only member that is atomic) and an
// all-ASCII flag (true is never wrong; false means "not known to be ASCII").
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <type_traits>

#include <utf8cpp/utf8.h>

namespace zorvant {

class u8string {
public:
    using size_type = uint32_t;
    static constexpr size_type npos = 0xFFFFFFFFu;

    // Checked iterator over code points of a byte range, with a running index
    // that starts at 0 and follows every step forward (+1) and back (-1).
    class iterator {
    public:
        using base_iterator = std::string::const_iterator;
        using iterator_category = std::bidirectional_iterator_tag;
        using value_type = uint32_t;
        using difference_type = std::ptrdiff_t;
        using pointer = const uint32_t *;
        using reference = uint32_t;

        iterator() = default;
        // Throws std::out_of_range "Invalid utf-8 iterator position" when pos lies outside [start, end].
        iterator(base_iterator pos, base_iterator start, base_iterator end);

        uint32_t operator*() const;
        iterator &operator++();   // utf8::not_enough_room at the end
        iterator operator++(int);
        iterator &operator--();   // utf8::not_enough_room at the start
        iterator operator--(int);
        // std::logic_error "Comparing utf-8 iterators defined with different ranges"
        bool operator==(const iterator &other) const;
        bool operator!=(const iterator &other) const { return !(*this == other); }

        base_iterator base() const { return it_.base(); }
        long index() const { return index_; }

    private:
        utf8::iterator<base_iterator> it_;
        long index_ = 0;
    };

    // --- construction -----------------------------------------------------
    u8string();
    // UTF-8 bytes; n = 0 means up to the terminating NUL. Null s throws
    // std::invalid_argument "u8string NULL"; invalid UTF-8 throws utf8::invalid_utf8.
    u8string(const char *s, size_type n = 0); // NOLINT(google-explicit-constructor)
    u8string(const std::string &s);           // NOLINT(google-explicit-constructor)
    // UTF-32; n = 0 means up to a zero unit. Always stored in NFC.
    explicit u8string(const char32_t *s, size_type n = 0);
    explicit u8string(const std::u32string &s);
    // UTF-16 ("wide" text); n = 0 means up to a zero unit. Always stored in NFC.
    explicit u8string(const char16_t *s, size_type n = 0);
    explicit u8string(const std::u16string &s);
    // Adopts bytes cut out of an existing u8string: no validation, no normalisation.
    template <class It,
              class = std::enable_if_t<!std::is_integral<It>::value &&
                                       std::is_same<typename std::iterator_traits<It>::value_type, char>::value>>
    u8string(It first, It last) : bytes_(first, last), length_(-1), ascii_(scan_ascii(bytes_))
    {
    }

    u8string(const u8string &other);
    u8string(u8string &&other) noexcept;
    u8string &operator=(const u8string &other);
    u8string &operator=(u8string &&other) noexcept;
    ~u8string() = default;

    // Replaces the content with UTF-8 text (validated; NFC when it carries
    // marks). On invalid input the old bytes stay and the flag becomes false.
    u8string &assign(const std::string &s);

    // Conversion from a legacy encoding: 0 UTF-16LE, 1 UTF-16BE, 2 Mac Roman,
    // 3 Windows-1252; length -1 = up to the first zero byte. Other encodings
    // give an empty string.
    static u8string from_encoding(const void *bytes, int encoding, int length);

    // --- queries ----------------------------------------------------------
    // Inline so that the cached case costs what std::string::size() costs.
    size_type length() const
    {
        int32_t cached = length_.load();
        return cached >= 0 ? static_cast<size_type>(cached) : count_length();
    }
    bool empty() const { return bytes_.empty(); }
    int32_t at(size_type i) const; // -1 when i >= length()
    iterator begin() const;
    iterator end() const;

    int compare(const u8string &other, bool ignoreCase = false) const;
    int compare(size_type pos, size_type n, const u8string &other, bool ignoreCase = false) const;
    int compare(size_type pos1, size_type cnt1, const u8string &other, size_type pos2, size_type cnt2,
                bool ignoreCase = false) const;

    int find(const u8string &s, size_type pos = 0) const;
    // First code point at or after pos that is canonically equal to c (on
    // ASCII text too: U+212A KELVIN SIGN finds K), or -1.
    int find(uint32_t c, size_type pos = 0) const;
    int rfind(const u8string &s, size_type pos = npos) const;
    bool starts_with(const u8string &other) const;
    bool ends_with(const u8string &other) const;

    // --- modifiers --------------------------------------------------------
    u8string &append(const u8string &s);
    u8string &operator+=(const u8string &s) { return append(s); }
    // The byte paths of push_back and pop_back are inline: they are the
    // common way of building short ASCII texts.
    void push_back(uint32_t c)
    {
        if (ascii_ && c < 0x80) {
            bytes_.push_back(static_cast<char>(c));
            store_byte_length();
            return;
        }
        push_back_code_point(c);
    }
    void pop_back()
    {
        if (ascii_ && bytes_.size() > 1) {
            bytes_.pop_back();
            store_byte_length();
            return;
        }
        pop_back_code_point();
    }
    u8string &insert(size_type pos, const u8string &s);
    // Returns an iterator at the inserted code point. When c is a combining
    // mark the whole text is renormalised and the iterator points at the code
    // point that preceded the insertion point (c may have composed with it);
    // at the very start nothing precedes c, and the result is begin().
    // An iterator of another string, or one made before this string last
    // changed size, is refused (std::out_of_range or std::logic_error).
    iterator insert(const iterator &at, uint32_t c);
    u8string &erase(size_type pos, size_type n = npos);
    u8string &replace(size_type pos, size_type n, const u8string &s);
    void clear();
    void swap(u8string &other) noexcept;
    void invalidate_length() { length_.store(-1); }

    // --- bytes ------------------------------------------------------------
    const std::string &str() const & { return bytes_; }
    std::string str() &&; // hands the bytes over, leaving this empty (cached length -1)
    const char *c_str() const { return bytes_.c_str(); }
    const char *data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); } // bytes, not code points
    bool is_ascii_hint() const { return ascii_; }
    int32_t cached_length() const { return length_.load(); }

private:
    static bool scan_ascii(const std::string &bytes);
    size_type count_length() const; // counts, fills the cache
    void push_back_code_point(uint32_t c);
    void pop_back_code_point();
    // With a true flag the code-point count is the byte count (kept unknown
    // if it does not fit the cache). Modifiers are not synchronised with
    // other users of the string, so a relaxed store is enough.
    void store_byte_length()
    {
        length_.store(bytes_.size() <= 0x7FFFFFFF ? static_cast<int32_t>(bytes_.size()) : -1,
                      std::memory_order_relaxed);
    }
    // Common core of both inserts: inserts [first, last) at `at`.
    iterator insert_bytes(const iterator &at, const char *first, const char *last);
    void set_validated(const std::string &s); // validate + store (NFC if marks)

    std::string bytes_;
    // mutable: length() is const but fills the cache; several threads may do
    // so at once on one unchanging string, hence the atomic.
    mutable std::atomic<int32_t> length_;
    bool ascii_;
};

// Byte equality, consistent with the hash. compare() is looser: canonically
// equivalent texts (U+212B and U+00C5) compare 0 there but differ here.
bool operator==(const u8string &a, const u8string &b);
inline bool operator!=(const u8string &a, const u8string &b) { return !(a == b); }
bool operator<(const u8string &a, const u8string &b); // compare() < 0
u8string operator+(const u8string &a, const u8string &b);

// UTF-16 form of the bytes, for interfaces that take wide text.
std::u16string to_utf16(const u8string &s);

// The text with each code point in its simple lower case (utf8proc), one for
// one (no letter becomes two, as a full case fold would make of "ß"):
// "IMG_0001.JPG" -> "img_0001.jpg", "ÉTÉ" -> "été". For matching names
// without regard to case.
u8string lower_case(const u8string &s);

// 32-bit FNV-1a over the bytes up to the first NUL.
uint32_t u8string_hash(const u8string &s);

} // namespace zorvant

namespace std {
template <>
struct hash<zorvant::u8string> {
    size_t operator()(const zorvant::u8string &s) const { return zorvant::u8string_hash(s); }
};
} // namespace std
