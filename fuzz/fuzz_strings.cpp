// The .strings loader on arbitrary bytes, then lookups of keys taken from
// the input. Checked besides memory safety: a refused load never throws; a
// key the table holds translates to its value; a key it lacks comes back
// unchanged; and the cache hands out a stable copy with the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/strings.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Tables are embedded resources of a few hundred kilobytes at most.
    if (size > (1u << 20))
        return 0;
    const char *text = reinterpret_cast<const char *>(data);
    bool loaded = load_strings(text, static_cast<int>(size));
    (void)loaded; // success or failure both leave a consistent table

    // Up to a few keys that the table holds: each must translate to its value.
    int checked = 0;
    for (const auto &entry : engine_string_table()) {
        if (++checked > 4)
            break;
        if (std::memchr(entry.first.data(), 0, entry.first.size()))
            continue; // a C-string key cannot reach past a NUL
        require(localize_string(entry.first.c_str()) == entry.second);
    }

    // The first line of the input as a key: translated if present, else itself.
    std::string key(text, size);
    key = key.substr(0, key.find_first_of(std::string("\n\0", 2)));
    zorvant::u8string result = localize_string(key.c_str());
    (void)result;
    const char *path = localize_path(key.c_str());
    require(std::strlen(path) < 1024);

    // A fixed address: the cache must keep answering with one stable copy.
    static const char kProbe[] = "Reconstructed Files";
    static const char *first = localize_cstring(kProbe);
    require(localize_cstring(kProbe) == first && std::strcmp(first, kProbe) == 0);
    return 0;
}
