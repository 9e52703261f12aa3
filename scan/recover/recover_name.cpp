// Names that recovery writes to the host.
//
// A catalog name comes from the medium and may hold anything: a FAT long
// name can carry "/", "\", "..", control characters and unpaired surrogates
// (decoded to U+FFFD or to invalid bytes by other writers); an all-blank
// short name gives an empty name; 255 UTF-16 units can take 765 bytes of
// UTF-8, three times what a Linux name may hold (NAME_MAX is 255 bytes).
// Every component recovery creates passes recover_safe_name:
//
//   1. invalid UTF-8 sequences    -> U+FFFD (one per maximal bad sequence)
//   2. "/", "\", NUL, 0x01-0x1F,  -> "_" (one per character)
//      DEL, U+0080-U+009F, the
//      bidirectional controls
//      U+202A-U+202E and
//      U+2066-U+2069
//   3. "", ".", ".."              -> "_", "_.", "_.."
//      ".zv-partial-..."          -> "_zv-partial-...": that name marks
//                                    a file still being written
//   4. more than 255 bytes        -> cut at a character boundary; an
//                                    extension of at most 127 bytes (dot
//                                    included) is kept and the base cut
//
// The bidirectional controls reorder what follows them on screen:
// "photo\u202Egpj.exe" shows as "photoexe.jpg" in a file manager, so a
// crafted entry could pass a program off as a photo.
//
// Characters that Windows file systems refuse (<>:"|?*, a trailing dot or
// blank, device names such as CON) are legal on Linux file systems and are
// kept; only a target that refuses a name with EINVAL gets the Windows-safe
// form (recover_windows_safe_name), once.
//
// Free names: "base-NN.ext" with "-%02d" (so -01 .. -99, then -100 ..
// -4998), measured in bytes for every n, the base cut first and then the
// start of the extension so the name stays within 255 bytes.
#include "scan/recover/recover.h"

#include <utf8cpp/utf8.h>

#include <cinttypes>
#include <cstdio>
#include <iterator>

#include "scan/catalog/fs_record.h"
#include "scan/scan_context.h"

namespace {

// An extension longer than this (dot included) is not an extension worth
// keeping: the name is cut as a whole.
constexpr size_t KEPT_EXTENSION_MAX = 127;

// Characters that never reach a name on the host (see the top of this file).
bool is_control(uint32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

bool is_continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Bytes of the longest prefix of valid UTF-8 text that fits in limit and
// ends at a character boundary.
size_t prefix_within(const std::string &text, size_t limit)
{
    if (text.size() <= limit)
        return text.size();
    size_t n = limit;
    while (n > 0 && is_continuation(text[n]))
        --n;
    return n;
}

// Start of the longest suffix of valid UTF-8 text that fits in limit and
// begins at a character boundary.
size_t suffix_start_within(const std::string &text, size_t limit)
{
    if (text.size() <= limit)
        return 0;
    size_t s = text.size() - limit;
    while (s < text.size() && is_continuation(text[s]))
        ++s;
    return s;
}

// Cuts valid UTF-8 to limit bytes, keeping a short extension.
std::string cut_keeping_extension(const std::string &name, size_t limit)
{
    if (name.size() <= limit)
        return name;
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        const size_t extension = name.size() - dot; // dot included
        if (extension <= KEPT_EXTENSION_MAX && extension < limit)
            return name.substr(0, prefix_within(name.substr(0, dot), limit - extension)) + name.substr(dot);
    }
    return name.substr(0, prefix_within(name, limit));
}

bool is_windows_reserved_base(const std::string &name)
{
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char &c : base)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL")
        return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

} // namespace

std::string recover_safe_name(const std::string &name)
{
    std::string text;
    if (utf8::find_invalid(name.begin(), name.end()) == name.end())
        text = name;
    else
        utf8::replace_invalid(name.begin(), name.end(), std::back_inserter(text), 0xFFFD);
    std::string mapped;
    mapped.reserve(text.size());
    for (auto it = text.begin(); it != text.end();) {
        const auto start = it;
        const uint32_t c = utf8::unchecked::next(it); // valid: checked above
        if (is_control(c) || c == '/' || c == '\\')
            mapped += '_';
        else
            mapped.append(start, it);
    }
    text.swap(mapped);
    if (text.empty())
        return "_";
    if (text == "." || text == "..")
        return "_" + text;
    if (text.rfind(RECOVER_TEMP_PREFIX, 0) == 0)
        text[0] = '_';
    return cut_keeping_extension(text, RECOVER_NAME_MAX);
}

std::string recover_windows_safe_name(const std::string &name)
{
    std::string text = recover_safe_name(name);
    for (char &c : text)
        if (c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' || c == '*')
            c = '_';
    for (size_t i = text.size(); i > 0 && (text[i - 1] == '.' || text[i - 1] == ' '); --i)
        text[i - 1] = '_';
    if (is_windows_reserved_base(text))
        text = cut_keeping_extension("_" + text, RECOVER_NAME_MAX);
    return text;
}

std::string recover_numbered_variant(const std::string &name, int n)
{
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%02d", n);
    const std::string tail(suffix);
    // A leading dot (".profile") or a trailing one ("_..") starts no extension.
    const size_t dot = name.rfind('.');
    const bool has_extension = dot != std::string::npos && dot > 0 && dot + 1 < name.size();
    std::string base = has_extension ? name.substr(0, dot) : name;
    std::string extension = has_extension ? name.substr(dot + 1) : std::string();
    const size_t total = base.size() + tail.size() + (has_extension ? 1 + extension.size() : 0);
    if (total > RECOVER_NAME_MAX) {
        const size_t excess = total - RECOVER_NAME_MAX;
        if (base.size() > excess) {
            base.resize(prefix_within(base, base.size() - excess));
        } else {
            // The base cannot give enough: the extension's start goes too.
            base.clear();
            const size_t room = RECOVER_NAME_MAX - tail.size() - (has_extension ? 1 : 0);
            extension = extension.substr(suffix_start_within(extension, room));
        }
    }
    return base + tail + (has_extension ? "." + extension : std::string());
}

int fs_recovered_name(fs_record *record, std::string *out, uint64_t keynum)
{
    if (record == nullptr || out == nullptr)
        return -1;
    NodeInfo info;
    if (fs_node_info(record, keynum, &info, 0) != 0)
        return -1;
    const uint64_t number =
        (uint64_t)(record->slot & 0xF) << 56 | (uint64_t)(record->index & 0xFFF) << 40 | (keynum & KEYNUM_MASK);
    char digits[32];
    std::snprintf(digits, sizeof digits, "%020" PRIu64, number);
    std::string name = digits;
    const size_t dot = info.name.rfind('.');
    if (dot != std::string::npos)
        name += "." + info.name.substr(dot + 1);
    *out = recover_safe_name(name);
    return 0;
}
