// Path rules of both layers. Input: a control byte (low 3 bits: a buffer size 0-7; upper 5 bits: a length 0-31 for
// delimiters, search text, folder prefix and start position), then the path. Checked besides memory safety: results
// stay inside their input, parents shrink until a root, POSIX components rejoin to the path up to doubled and
// trailing separators, and every u8string result holds as many code points as it says.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/paths.h"

using zorvant::u8string;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// A POSIX path with runs of "/" made single and a trailing "/" dropped ("/" itself stays when keepRoot).
std::string collapsed(const std::string &path, bool keepRoot)
{
    std::string out;
    for (char c : path)
        if (c != '/' || out.empty() || out.back() != '/')
            out += c;
    if (!out.empty() && out.back() == '/' && (out.size() > 1 || !keepRoot))
        out.pop_back();
    return out;
}

void checkCore(const std::string &path, size_t small, size_t cut)
{
    const char *p = path.c_str(), *end = p + path.size();
    const char *base = path_basename(p);
    require(base >= p && base <= end && std::strchr(base, '/') == nullptr);
    const char *ext = path_extension(p);
    require(ext == nullptr || (ext > p && ext <= end && ext >= base));
    std::string stripped = path; // strip_extension cuts exactly at the extension's dot, or nowhere
    strip_extension(&stripped[0]);
    require(std::strlen(stripped.c_str()) == (ext == nullptr ? path.size() : size_t(ext - p - 1)));
    std::string inPlace = path;
    path_dirname(&inPlace[0]);
    require(path.compare(0, std::strlen(inPlace.c_str()), inPlace.c_str()) == 0);

    // Exactly sized heap buffers let the address sanitizer see a single byte too many.
    std::vector<char> big(path.size() + 2);
    require(path_dirname_copy(p, big.data(), big.size()) == 0);
    std::vector<char> tiny(small ? small : 1);
    const int rc = path_dirname_copy(p, small ? tiny.data() : nullptr, small);
    require(rc == -1 || (rc == 0 && std::strcmp(tiny.data(), big.data()) == 0));

    // Components through a small buffer and through path_split agree, and rejoin to the collapsed path.
    size_t count = 0;
    for (const char *at = p, *next; (next = path_next_component(at, small ? tiny.data() : nullptr, small)); at = next)
        require(next > at && next <= end && (small == 0 || std::strlen(tiny.data()) < small) && ++count <= path.size());
    size_t n = 0;
    char **parts = path_split(p, &n);
    require(n == count && (parts != nullptr) == (count > 0));
    std::string joined;
    for (size_t i = 0; i < n; i++)
        joined += (i ? "/" : "") + std::string(parts[i]);
    free_string_array(parts, n);
    require(joined == collapsed(path, false));

    const bool letter = (p[0] >= 'a' && p[0] <= 'z') || (p[0] >= 'A' && p[0] <= 'Z');
    require(is_drive_path(p) == (letter && p[1] == ':'));
    const std::string folder = path.substr(0, cut);
    const char *rel = path_relative_to(p, folder.c_str());
    require(rel == nullptr || (rel >= p + folder.size() && rel <= end));
    path_exists(p);
    if (path.size() < 256) // stat walks a level per component; keep the run fast
        require(same_path(p, p) != 0);
}

// The two forms of the class layer: std::string counts bytes, u8string code points.
const std::string &bytesOf(const std::string &s) { return s; }
const std::string &bytesOf(const u8string &s) { return s.str(); }
size_t lengthOf(const std::string &s) { return s.size(); }
size_t lengthOf(const u8string &s) { return s.length(); }
void append(std::string &path, const std::string &part, int style) { ZV::appendPathComponent(path, part, style); }
void append(u8string &path, const u8string &part, int style) { zorvant::path_append(path, part, style); }
void checkLength(const std::string &) {}
void checkLength(const u8string &s) { require(s.length() == size_t(utf8::distance(s.str().begin(), s.str().end()))); }

template <class S>
void checkClass(const S &path, const S &other, size_t cut)
{
    for (int style : {0, 1, 2}) {
        const std::vector<S> parts = ZV::pathComponents(path, style);
        S joined;
        for (const S &part : parts) {
            require(!part.empty());
            checkLength(part);
            append(joined, part, style);
        }
        const S last = ZV::lastPathComponent(path, style);
        require(parts.empty() ? last.empty() : last == parts.back());
        require(style == 2 || bytesOf(joined) == collapsed(bytesOf(path), true));
        // Climbing ends: each parent is shorter until a root or the empty text.
        S up = path;
        for (size_t steps = 0; !up.empty() && !ZV::isRootPath(up, style); steps++) {
            const size_t before = up.size();
            ZV::removeLastPathComponent(up, style);
            checkLength(up);
            require(up.size() < before && steps <= path.size());
        }
        ZV::pathPrefix(path);
        ZV::isLongPathDrive(path);
        for (size_t pos = 0; pos < 6; pos++)
            ZV::hasDriveLetter(path, pos), ZV::isDriveRoot(path, pos);
    }
    for (bool compress : {false, true})
        for (const S &token : ZV::splitString(path, other, compress)) {
            checkLength(token);
            require(token.size() <= path.size() && (!compress || !token.empty()));
        }
    S edited = path;
    try {
        if (!ZV::replaceAll(edited, other, path, cut))
            require(edited == path);
        checkLength(edited);
    } catch (const std::out_of_range &) {
        require(cut > lengthOf(path));
    }
    require(ZV::hasPrefix(path, path));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 4096)
        return 0;
    const size_t small = data[0] & 7, cut = data[0] >> 3;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string other = text.substr(0, cut);
    checkCore(text.c_str(), small, cut);
    checkClass(text, other, cut);
    for (int style : {0, 1, 2}) {
        ZV::parentPath(text, style);
        const std::string ext = ZV::pathExtension(text, style), name = ZV::fileName(text, true, style);
        require(ext.size() < name.size() || ext.empty());
        require(ZV::fileName(text, false, style).size() <= name.size());
    }
    const std::string absolute = ZV::normalizePath(text);
    if (!absolute.empty() && absolute[0] == '/')
        for (const std::string &part : ZV::pathComponents(absolute, 1))
            require(part != "." && part != "..");
    try {
        checkClass(u8string(text), u8string(other), cut);
    } catch (const std::exception &) {
        // not UTF-8: the u8string forms are not reached
    }
    return 0;
}
