// Fuzz target for the path rules of both layers.
//
// Input: one control byte, then the path text. The low three bits of the
// control byte give a small buffer size (0 to 7) for the functions that write
// into a caller's buffer; the upper five bits give a length (0 to 31) used for
// a delimiter set, a search text, a folder prefix and a start position.
//
// Checked besides "no crash, no hang, no out-of-bounds access": results stay
// inside their input, parents get strictly shorter until a root, joining the
// components of a POSIX path gives the path back up to doubled and trailing
// separators, and every u8string result holds as many code points as it says.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
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

// A POSIX path with runs of "/" made single and a trailing "/" dropped ("/" stays).
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
    const char *p = path.c_str();
    const char *end = p + path.size();

    const char *base = path_basename(p);
    require(base >= p && base <= end && std::strchr(base, '/') == nullptr);
    const char *ext = path_extension(p);
    require(ext == nullptr || (ext > p && ext <= end && ext >= base));

    std::string stripped = path;
    strip_extension(&stripped[0]);
    size_t kept = std::strlen(stripped.c_str());
    require(ext == nullptr ? kept == path.size() : kept == size_t(ext - p - 1));

    std::string inPlace = path;
    path_dirname(&inPlace[0]);
    require(path.compare(0, std::strlen(inPlace.c_str()), inPlace.c_str()) == 0);

    // Exactly sized heap buffers let the address sanitizer see a single byte too many.
    std::vector<char> big(path.size() + 2);
    require(path_dirname_copy(p, big.data(), big.size()) == 0);
    std::unique_ptr<char[]> tiny(new char[small ? small : 1]);
    int rc = path_dirname_copy(p, small ? tiny.get() : nullptr, small);
    require(rc == -1 || (rc == 0 && std::strcmp(tiny.get(), big.data()) == 0));

    // Components, through a small buffer and through path_split.
    size_t count = 0;
    for (const char *at = p, *next; (next = path_next_component(at, small ? tiny.get() : nullptr, small)); at = next) {
        require(next > at && next <= end);
        require(small == 0 || std::strlen(tiny.get()) < small);
        require(++count <= path.size());
    }
    size_t n = 0;
    char **parts = path_split(p, &n);
    require(n == count && (parts != nullptr) == (count > 0));
    std::string joined;
    for (size_t i = 0; i < n; i++)
        joined += (i ? "/" : "") + std::string(parts[i]);
    free_string_array(parts, n);
    require(joined == collapsed(path, false));

    bool letter = (p[0] >= 'a' && p[0] <= 'z') || (p[0] >= 'A' && p[0] <= 'Z');
    require(is_drive_path(p) == (letter && p[1] == ':'));
    std::string folder = path.substr(0, cut);
    const char *rel = path_relative_to(p, folder.c_str());
    require(rel == nullptr || (rel >= p + folder.size() && rel <= end));

    path_exists(p);
    if (path.size() < 256) // stat walks a level per component; keep the run fast
        require(same_path(p, p) != 0);
}

const std::string &bytesOf(const std::string &s) { return s; }
const std::string &bytesOf(const u8string &s) { return s.str(); }

void append(std::string &path, const std::string &part, int style) { ZV::appendPathComponent(path, part, style); }
void append(u8string &path, const u8string &part, int style) { zorvant::path_append(path, part, style); }

// Characters: bytes of a std::string, code points of a u8string.
size_t lengthOf(const std::string &s) { return s.size(); }
size_t lengthOf(const u8string &s) { return s.length(); }

void checkLength(const std::string &) {}

void checkLength(const u8string &s)
{
    require(s.length() == static_cast<u8string::size_type>(utf8::distance(s.str().begin(), s.str().end())));
}

template <class S>
void checkClass(const S &path, const S &other, size_t cut)
{
    for (int style : {0, 1, 2}) {
        std::vector<S> parts = ZV::pathComponents(path, style);
        for (const S &part : parts) {
            require(!part.empty());
            checkLength(part);
        }
        S last = ZV::lastPathComponent(path, style);
        require(parts.empty() ? last.empty() : last == parts.back());
        if (style != 2) {
            S joined;
            for (const S &part : parts)
                append(joined, part, style);
            require(bytesOf(joined) == collapsed(bytesOf(path), true));
        }
        // Climbing ends: each parent is shorter until a root or the empty text.
        S up = path;
        for (size_t steps = 0; !up.empty() && !ZV::isRootPath(up, style); steps++) {
            S before = up;
            ZV::removeLastPathComponent(up, style);
            checkLength(up);
            require(up.size() < before.size() && steps <= path.size());
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
    size_t small = data[0] & 7, cut = data[0] >> 3;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    std::string other = text.substr(0, cut);

    checkCore(text.c_str(), small, cut);
    checkClass(text, other, cut);

    for (int style : {0, 1, 2}) {
        ZV::parentPath(text, style);
        std::string ext = ZV::pathExtension(text, style);
        std::string name = ZV::fileName(text, true, style);
        require(ext.size() < name.size() || ext.empty());
        require(ZV::fileName(text, false, style).size() <= name.size());
    }
    std::string absolute = ZV::normalizePath(text);
    if (!absolute.empty() && absolute[0] == '/')
        for (const std::string &part : ZV::pathComponents(absolute, 1))
            require(part != "." && part != "..");

    try {
        u8string path(text), delimiters(other);
        checkClass(path, delimiters, cut);
    } catch (const std::exception &) {
        // not UTF-8: the u8string forms are not reached
    }
    return 0;
}
