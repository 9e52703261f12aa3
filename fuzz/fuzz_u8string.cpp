// Fuzz target: a u8string built from arbitrary bytes either refuses them with utf8::invalid_utf8 naming the first
// byte of the first bad sequence, or holds the input (ASCII or mark-free) or its NFC. Edits are checked by utf8proc.
#include "foundation/u8string.h"

#include <utf8proc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

using zorvant::u8string;
using size_type = u8string::size_type;

namespace {

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_u8string: %s\n", what);
        std::abort();
    }
}

struct Decoded {
    bool valid = true, ascii = true, marks = false;
    size_t bad_at = 0, count = 0; // byte offset of the first invalid sequence; code points
};

Decoded decode(const std::string &bytes) // with utf8proc's decoder, independent of the string type's
{
    Decoded d;
    const auto *p = reinterpret_cast<const utf8proc_uint8_t *>(bytes.data());
    for (size_t i = 0; i < bytes.size(); d.count++) {
        utf8proc_int32_t cp;
        utf8proc_ssize_t len = utf8proc_iterate(p + i, static_cast<utf8proc_ssize_t>(bytes.size() - i), &cp);
        if (len <= 0) {
            d.valid = false;
            d.bad_at = i;
            return d;
        }
        d.ascii = d.ascii && cp < 0x80;
        d.marks = d.marks || utf8proc_get_property(cp)->combining_class > 0;
        i += static_cast<size_t>(len);
    }
    return d;
}

std::string nfc(const std::string &bytes)
{
    utf8proc_uint8_t *out = nullptr;
    utf8proc_ssize_t r = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t *>(bytes.data()),
                                      static_cast<utf8proc_ssize_t>(bytes.size()), &out,
                                      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    check(r >= 0, "reference NFC failed on valid text");
    std::string result(reinterpret_cast<char *>(out), static_cast<size_t>(r));
    std::free(out);
    return result;
}

size_t offset_of(const std::string &bytes, size_t index) // byte offset of code point number index
{
    size_t i = 0;
    for (; i < bytes.size(); i++)
        if ((static_cast<unsigned char>(bytes[i]) & 0xC0) != 0x80 && index-- == 0)
            return i;
    return i;
}

// Bad bytes adopted unchecked by the byte-range constructor must end in an exception, never a crash or an overrun.
void probe_adopted(const std::string &input)
{
    const u8string adopted(input.begin(), input.end()), mark("\xCC\x81"), n_tilde("\xC3\xB1");
    const std::function<void(u8string &)> operations[] = {
        [](u8string &t) { (void)t.length(); },       [](u8string &t) { (void)t.at(1); },
        [&](u8string &t) { (void)t.find(n_tilde); }, [&](u8string &t) { (void)t.rfind(n_tilde); },
        [](u8string &t) { (void)t.find(0xC5u); },    [](u8string &t) { (void)zorvant::to_utf16(t); },
        [&](u8string &t) { t.insert(1, mark); },     [&](u8string &t) { t.replace(0, 1, mark); },
        [&](u8string &t) { t.append(mark); },        [](u8string &t) { t.erase(1, 2); },
        [](u8string &t) { t.pop_back(); },           [](u8string &t) { (void)t.compare(u8string("a\xC3\xB1"), true); },
    };
    for (const auto &operation : operations) {
        try {
            u8string t(adopted);
            operation(t);
        } catch (const std::exception &) {
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const Decoded want = decode(input);
    u8string s;
    try {
        s = u8string(input);
    } catch (const utf8::invalid_utf8 &e) {
        check(!want.valid, "valid UTF-8 refused");
        check(e.utf8_octet() == static_cast<uint8_t>(input[want.bad_at]), "exception names the wrong byte");
        probe_adopted(input);
        u8string kept("kept \xC3\xA9");
        try {
            kept.assign(input);
            check(false, "assign accepted what the constructor refused");
        } catch (const utf8::invalid_utf8 &) {
            check(kept.str() == "kept \xC3\xA9", "failed assign changed the text");
        }
        return 0;
    }
    check(want.valid, "invalid UTF-8 accepted");
    check(s.is_ascii_hint() == want.ascii, "ASCII flag");
    check(s.str() == (want.ascii || !want.marks ? input : nfc(input)), "not stored as given (no marks) or as NFC");
    const Decoded got = decode(s.str());
    check(got.valid && s.length() == got.count, "stored text is not valid UTF-8, or its length is wrong");
    if (size > 0 && std::string(input.c_str()).size() == size)
        check(u8string(input.c_str(), static_cast<size_type>(size)).str() == s.str(), "C-string constructor differs");

    const std::string &bytes = s.str();
    const size_t length = got.count;
    check(s.compare(u8string(s)) == 0 && s.compare(s, true) == 0, "compare with itself or a copy");
    check(zorvant::u8string_hash(s) == zorvant::u8string_hash(u8string(s)), "hash of a copy");

    // A slice [a, b) cut out of the text, chosen by the first input bytes.
    size_t a = length ? data[0] % (length + 1) : 0;
    size_t b = length ? a + (size > 1 ? data[1] : 0) % (length - a + 1) : 0;
    size_t from = offset_of(bytes, a), to = offset_of(bytes, b);
    const size_type pos = static_cast<size_type>(a), n = static_cast<size_type>(b - a);
    u8string slice(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(to));
    check(slice.length() == b - a, "length of a cut-out slice");
    check(s.compare(pos, n, slice) == 0, "compare with a slice of itself");
    if (b > a) {
        int first = s.find(slice), last = s.rfind(slice);
        check(first >= 0 && static_cast<size_t>(first) <= a, "find of a slice");
        check(last >= 0 && static_cast<size_t>(last) >= a, "rfind of a slice");
        check(s.find(static_cast<uint32_t>(s.at(pos))) >= 0, "find of a code point");
    }

    u8string erased(s);
    erased.erase(pos, n);
    check(erased.str() == bytes.substr(0, from) + bytes.substr(to), "erase bytes");
    check(erased.length() == length - (b - a), "erase length");

    u8string inserted(s);
    inserted.insert(pos, slice);
    Decoded di = decode(inserted.str());
    check(di.valid && di.count == inserted.length(), "insert left invalid text or a wrong length");
    std::string joined = bytes.substr(0, from) + slice.str() + bytes.substr(from);
    bool leads_with_mark = b > a && utf8proc_get_property(slice.at(0))->combining_class > 0;
    check(inserted.str() == (leads_with_mark ? nfc(joined) : joined), "insert bytes");

    u8string marked(s);
    marked.insert(marked.begin(), 0x0301);
    check(nfc(marked.str()) == marked.str(), "a mark inserted in front left text that is not NFC");
    check(u8string(zorvant::to_utf16(s)).str() == nfc(bytes), "UTF-16 round trip (always normalised)");
    u8string popped(s);
    popped.pop_back();
    check(popped.length() == (length > 0 ? length - 1 : 0) && decode(popped.str()).valid, "pop_back");
    return 0;
}
