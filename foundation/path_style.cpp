// Style-aware path rules of the class layer.
//
// Implementation notes
// - Every character the path rules look at ("/", "\", ":", "?", ".", the
//   drive letter) is ASCII, and in UTF-8 an ASCII byte never occurs inside a
//   multi-byte sequence. So each rule is written once, over the bytes
//   (std::string_view), and the std::string and zorvant::u8string overloads
//   only adapt their types through Text<S>. Code points matter in just two
//   places, and Text<S> handles both: a position given by the caller
//   (hasDriveLetter, isDriveRoot, replaceAll) is turned into a byte offset,
//   and splitString walks characters, so a u8string delimiter set may hold
//   any code point.
// - Pieces of a u8string cut at ASCII boundaries are valid UTF-8, so results
//   are built with u8string's adopting constructor (no second validation and
//   no re-normalisation of text that was already normalised).
// - Native style is POSIX on this platform. The Windows style is kept as pure
//   text rules; nothing here asks the system about drives.
#include "foundation/paths.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include <unistd.h>

namespace ZV {
namespace {

using zorvant::u8string;
constexpr size_t npos = std::string_view::npos;

template <class S>
struct Text;

template <>
struct Text<std::string> {
    static std::string_view view(const std::string &s) { return s; }
    static std::string make(std::string_view bytes) { return std::string(bytes); }
    // Byte offset of character pos; npos when pos lies past the end.
    static size_t offset(std::string_view bytes, size_t pos) { return pos <= bytes.size() ? pos : npos; }
    // Reads the character at byte i into c and returns the byte after it.
    static size_t next(std::string_view bytes, size_t i, uint32_t &c)
    {
        c = static_cast<unsigned char>(bytes[i]);
        return i + 1;
    }
};

template <>
struct Text<u8string> {
    static std::string_view view(const u8string &s) { return {s.data(), s.size()}; }
    static u8string make(std::string_view bytes) { return u8string(bytes.data(), bytes.data() + bytes.size()); }
    static size_t offset(std::string_view bytes, size_t pos)
    {
        size_t i = 0;
        for (size_t n = 0; n < pos; n++) {
            if (i >= bytes.size())
                return npos;
            uint32_t c;
            i = next(bytes, i, c);
        }
        return i;
    }
    // A u8string always holds valid UTF-8; utf8::next still checks the end.
    static size_t next(std::string_view bytes, size_t i, uint32_t &c)
    {
        const char *p = bytes.data() + i;
        c = utf8::next(p, bytes.data() + bytes.size());
        return static_cast<size_t>(p - bytes.data());
    }
};

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

char separatorOf(int style)
{
    return resolvePathStyle(style) == kPathStyleWindows ? '\\' : '/';
}

// --- the rules, over bytes ----------------------------------------------------

std::string_view prefixOf(std::string_view path)
{
    for (const std::string *prefix : {&longPathPrefix(), &devicePathPrefix(), &uncPathPrefix()})
        if (startsWith(path, *prefix))
            return *prefix;
    return {};
}

bool driveLetterAt(std::string_view text, size_t i)
{
    if (i > text.size() || text.size() - i < 2 || text[i + 1] != ':')
        return false;
    char c = text[i];
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool driveRootAt(std::string_view text, size_t i)
{
    return i <= text.size() && text.size() - i == 3 && driveLetterAt(text, i) && text[i + 2] == '\\';
}

bool longPathDrive(std::string_view path)
{
    return startsWith(path, longPathPrefix()) && driveLetterAt(path, 4);
}

bool rootPath(std::string_view path, int style)
{
    if (resolvePathStyle(style) == kPathStylePOSIX)
        return path == "/";
    return driveRootAt(path, 0) || (startsWith(path, longPathPrefix()) && driveRootAt(path, 4));
}

void splitDroppingEmpty(std::string_view text, char sep, std::vector<std::string> &out)
{
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(sep, start);
        if (end == npos)
            end = text.size();
        if (end > start)
            out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::vector<std::string> componentsOf(std::string_view path, int style)
{
    std::vector<std::string> out;
    if (path.empty())
        return out;
    style = resolvePathStyle(style);
    char sep = separatorOf(style);
    if (style == kPathStylePOSIX) {
        if (path[0] == '/')
            out.emplace_back("/");
        splitDroppingEmpty(path, sep, out);
        return out;
    }
    std::string_view prefix = prefixOf(path);
    splitDroppingEmpty(path.substr(prefix.size()), sep, out);
    if (!out.empty()) {
        out[0].insert(0, prefix);
        // A drive keeps its backslash: "C:" alone still names the root of C.
        if (driveLetterAt(out[0], 0) || longPathDrive(path))
            out[0] += '\\';
    }
    return out;
}

std::string parentOf(std::string_view path, int style)
{
    style = resolvePathStyle(style);
    char sep = separatorOf(style);
    if (path.empty() || rootPath(path, style))
        return std::string(path);
    if (path.back() == sep)
        path.remove_suffix(1);
    size_t cut = path.rfind(sep);
    if (cut == npos)
        return {};
    std::string out(path.substr(0, style == kPathStylePOSIX && cut == 0 ? 1 : cut));
    if (style == kPathStyleWindows && ((out.size() == 2 && driveLetterAt(out, 0)) || longPathDrive(out)))
        out += '\\';
    return out;
}

// --- the type adapters ------------------------------------------------------

template <class S>
std::vector<S> componentsT(const S &path, int style)
{
    std::vector<S> out;
    for (const std::string &c : componentsOf(Text<S>::view(path), style))
        out.push_back(Text<S>::make(c));
    return out;
}

template <class S>
S lastComponentT(const S &path, int style)
{
    std::vector<std::string> parts = componentsOf(Text<S>::view(path), style);
    return parts.empty() ? S() : Text<S>::make(parts.back());
}

template <class S>
void appendT(S &path, const S &component, int style)
{
    char sep = separatorOf(style);
    std::string_view p = Text<S>::view(path), c = Text<S>::view(component);
    if (c.empty())
        return;
    if (!p.empty() && p.back() != sep && c.front() != sep)
        path += Text<S>::make(std::string_view(&sep, 1));
    path += component;
}

template <class S>
S joinT(const S &first, const S &second)
{
    S out;
    appendT(out, first, kPathStyleNative);
    appendT(out, second, kPathStyleNative);
    return out;
}

template <class S>
std::vector<S> splitT(const S &text, const S &delimiters, bool compress)
{
    std::string_view t = Text<S>::view(text), d = Text<S>::view(delimiters);
    std::vector<uint32_t> set;
    for (size_t i = 0; i < d.size();) {
        uint32_t c;
        i = Text<S>::next(d, i, c);
        set.push_back(c);
    }
    std::sort(set.begin(), set.end());

    std::vector<S> out;
    size_t start = 0; // byte where the current token begins
    for (size_t i = 0; i < t.size();) {
        uint32_t c;
        size_t after = Text<S>::next(t, i, c);
        if (std::binary_search(set.begin(), set.end(), c)) {
            if (i > 0 && (i > start || !compress))
                out.push_back(Text<S>::make(t.substr(start, i - start)));
            start = after;
        }
        i = after;
    }
    if (start < t.size())
        out.push_back(Text<S>::make(t.substr(start)));
    return out;
}

template <class S>
bool replaceT(S &text, const S &search, const S &replacement, size_t start)
{
    std::string_view t = Text<S>::view(text), s = Text<S>::view(search), r = Text<S>::view(replacement);
    size_t from = Text<S>::offset(t, start);
    if (from == npos)
        throw std::out_of_range("invalid string position");
    if (s.empty())
        return false;
    // Searching the untouched rest of the old text is the same as searching
    // the new text right after each inserted replacement.
    std::string out(t.substr(0, from));
    bool replaced = false;
    for (size_t hit; (hit = t.find(s, from)) != npos; from = hit + s.size()) {
        out.append(t.substr(from, hit - from));
        out.append(r);
        replaced = true;
    }
    if (!replaced)
        return false;
    out.append(t.substr(from));
    text = Text<S>::make(out);
    return true;
}

template <class S>
size_t offsetOf(const S &text, size_t pos)
{
    return Text<S>::offset(Text<S>::view(text), pos);
}

} // namespace

int resolvePathStyle(int style)
{
    if (style == kPathStyleNative)
        return kPathStylePOSIX;
    if (style != kPathStylePOSIX && style != kPathStyleWindows)
        throw std::invalid_argument("invalid path style");
    return style;
}

const std::string &longPathPrefix()
{
    static const std::string prefix = "\\\\?\\";
    return prefix;
}

const std::string &devicePathPrefix()
{
    static const std::string prefix = "\\\\.\\";
    return prefix;
}

const std::string &uncPathPrefix()
{
    static const std::string prefix = "\\\\";
    return prefix;
}

// --- public overloads: one line each over the templates ---------------------------

u8string pathPrefix(const u8string &path) { return Text<u8string>::make(prefixOf(Text<u8string>::view(path))); }
std::string pathPrefix(const std::string &path) { return std::string(prefixOf(path)); }

bool hasDriveLetter(const u8string &text, size_t pos) { return driveLetterAt(Text<u8string>::view(text), offsetOf(text, pos)); }
bool hasDriveLetter(const std::string &text, size_t pos) { return driveLetterAt(text, pos); }
bool isDriveRoot(const u8string &text, size_t pos) { return driveRootAt(Text<u8string>::view(text), offsetOf(text, pos)); }
bool isDriveRoot(const std::string &text, size_t pos) { return driveRootAt(text, pos); }
bool isLongPathDrive(const u8string &path) { return longPathDrive(Text<u8string>::view(path)); }
bool isLongPathDrive(const std::string &path) { return longPathDrive(path); }
bool isRootPath(const u8string &path, int style) { return rootPath(Text<u8string>::view(path), style); }
bool isRootPath(const std::string &path, int style) { return rootPath(path, style); }

std::vector<u8string> pathComponents(const u8string &path, int style) { return componentsT(path, style); }
std::vector<std::string> pathComponents(const std::string &path, int style) { return componentsT(path, style); }
u8string lastPathComponent(const u8string &path, int style) { return lastComponentT(path, style); }
std::string lastPathComponent(const std::string &path, int style) { return lastComponentT(path, style); }

void removeLastPathComponent(u8string &path, int style)
{
    path = Text<u8string>::make(parentOf(Text<u8string>::view(path), style));
}

void removeLastPathComponent(std::string &path, int style) { path = parentOf(path, style); }
std::string parentPath(const std::string &path, int style) { return parentOf(path, style); }

void appendPathComponent(std::string &path, const std::string &component, int style) { appendT(path, component, style); }
std::string joinPath(const std::string &first, const std::string &second) { return joinT(first, second); }

std::string joinPathComponents(const std::vector<std::string> &components, int style)
{
    std::string out;
    for (const std::string &c : components)
        appendT(out, c, style);
    return out;
}

std::string pathExtension(const std::string &path, int style)
{
    std::string name = lastComponentT(path, style);
    size_t dot = name.rfind('.');
    return dot == npos ? std::string() : name.substr(dot + 1);
}

std::string fileName(const std::string &path, bool keepExtension, int style)
{
    std::string name = lastComponentT(path, style);
    size_t dot = name.rfind('.');
    if (!keepExtension && dot != npos && dot + 1 < name.size())
        name.erase(dot);
    return name;
}

// Makes a path absolute by text alone: unlike realpath(3) this neither needs
// the path to exist nor follows symbolic links, so "a/link/.." is "a".
std::string normalizePath(const std::string &path)
{
    std::string collapsed = path;
    if (collapsed.size() >= 2)
        while (replaceAll(collapsed, std::string("//"), std::string("/"), 2)) {
        }
    if (collapsed.empty())
        return collapsed;

    std::string root, rest;
    if (startsWith(collapsed, "//")) {
        root = "//";
        rest = collapsed.substr(2);
    } else if (collapsed[0] == '/') {
        root = "/";
        rest = collapsed.substr(1);
    } else {
        char *cwd = getcwd(nullptr, 0);
        if (cwd == nullptr || cwd[0] != '/') {
            std::free(cwd);
            return collapsed;
        }
        root = "/";
        rest = std::string(cwd + 1) + "/" + collapsed;
        std::free(cwd);
    }

    std::vector<std::string> parts, kept;
    splitDroppingEmpty(rest, '/', parts);
    for (std::string &part : parts) {
        if (part == ".")
            continue;
        if (part == "..") {
            if (!kept.empty())
                kept.pop_back(); // at the root ".." stays at the root
            continue;
        }
        kept.push_back(std::move(part));
    }
    std::string out = root;
    for (size_t i = 0; i < kept.size(); i++) {
        if (i > 0)
            out += '/';
        out += kept[i];
    }
    if (!kept.empty() && collapsed.back() == '/')
        out += '/';
    return out;
}

std::vector<u8string> splitString(const u8string &text, const u8string &delimiters, bool compress)
{
    return splitT(text, delimiters, compress);
}

std::vector<std::string> splitString(const std::string &text, const std::string &delimiters, bool compress)
{
    return splitT(text, delimiters, compress);
}

bool replaceAll(u8string &text, const u8string &search, const u8string &replacement, size_t start)
{
    return replaceT(text, search, replacement, start);
}

bool replaceAll(std::string &text, const std::string &search, const std::string &replacement, size_t start)
{
    return replaceT(text, search, replacement, start);
}

bool hasPrefix(const u8string &text, const u8string &prefix)
{
    return startsWith(Text<u8string>::view(text), Text<u8string>::view(prefix));
}

bool hasPrefix(const std::string &text, const std::string &prefix) { return startsWith(text, prefix); }

} // namespace ZV

namespace zorvant {

const u8string &path_separator(int style)
{
    static const u8string posix("/");
    static const u8string windows("\\");
    return ZV::resolvePathStyle(style) == ZV::kPathStyleWindows ? windows : posix;
}

void path_append(u8string &path, const u8string &component, int style) { ZV::appendT(path, component, style); }
u8string path_join(const u8string &first, const u8string &second) { return ZV::joinT(first, second); }

} // namespace zorvant
