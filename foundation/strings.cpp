// The process-wide string table, its lookup, the translated-text cache and
// the path translation (the format and the promises are in strings.h).
//
// Implementation notes
// - The table and the cache are function-local objects, so they exist before
//   any caller, also one running from another file's static initialiser.
//   The cache is allocated once and never destroyed: its copies must stay
//   valid for the whole process, and a thread still translating while the
//   process exits must not meet a destroyed mutex.
// - The cache is keyed by address, hashed over the pointer's full width (a
//   64-bit address has eight bytes; hashing four would put every literal of
//   one 4 GiB region in lockstep with another's).
// - localize_path hands out a buffer whose content changes from call to call.
//   An address key would return the translation of whatever the buffer held
//   first, so localize_cstring recognises that buffer and keys it by content.
//   The buffer is per thread, so scan and catalog threads do not overwrite
//   each other's results.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include <utf8cpp/utf8.h>

#include "foundation/strings.h"

namespace {

// Size of localize_path's result buffer, terminating NUL included.
constexpr size_t kPathBufferSize = 1024;

zorvant::StringTable &table()
{
    static zorvant::StringTable instance = [] {
        zorvant::StringTable empty(8);
        empty.max_load_factor(1.0f);
        return empty;
    }();
    return instance;
}

// The diagnostic lines of the loader (23) and of the lookup (45).
void report_exception(int where, const char *what)
{
    std::printf("Exception @ %d: %s\n", where, what);
    std::fflush(stdout);
}

struct PointerHash {
    size_t operator()(const char *p) const { return std::hash<const void *>()(p); }
};

struct TextCache {
    std::mutex mutex;
    std::unordered_map<const char *, char *, PointerHash> by_address{8};
    std::unordered_map<std::string, char *> by_content{8}; // localize_path results only
    TextCache()
    {
        by_address.max_load_factor(1.0f);
        by_content.max_load_factor(1.0f);
    }
};

TextCache &cache()
{
    static TextCache *instance = new TextCache; // never freed, see above
    return *instance;
}

std::atomic<int> g_injected_failures{0};

thread_local char t_path_buffer[kPathBufferSize];

bool in_path_buffer(const char *p)
{
    // Compared as integers: relational operators on pointers into different
    // objects are unspecified.
    auto at = reinterpret_cast<uintptr_t>(p);
    auto start = reinterpret_cast<uintptr_t>(t_path_buffer);
    return at >= start && at < start + kPathBufferSize;
}

// malloc'ed copy of the translation's bytes up to its first NUL. Throws
// std::bad_alloc when memory runs out.
char *translated_copy(const char *english)
{
    zorvant::u8string translated = localize_string(english);
    size_t length = std::strlen(translated.c_str());
    char *copy = static_cast<char *>(std::malloc(length + 1));
    if (!copy)
        throw std::bad_alloc();
    std::memcpy(copy, translated.c_str(), length);
    copy[length] = '\0';
    return copy;
}

} // namespace

const zorvant::StringTable &engine_string_table() { return table(); }

bool load_strings(const char *text, int length)
{
    if (length < 0 || (!text && length > 0))
        return false;
    try {
        zorvant::u8string parsed_text;
        if (length > 0)
            parsed_text = zorvant::u8string(text, static_cast<zorvant::u8string::size_type>(length));
        return parse_strings(parsed_text, table());
    } catch (const std::exception &e) {
        report_exception(23, e.what());
    } catch (...) {
    }
    return false;
}

zorvant::u8string localize_string(const char *key)
{
    if (!key)
        return zorvant::u8string();
    try {
        zorvant::u8string wanted(key);
        const zorvant::StringTable &strings = table();
        auto found = strings.find(wanted);
        return found != strings.end() ? found->second : wanted;
    } catch (const std::exception &e) {
        report_exception(45, e.what());
    } catch (...) {
    }
    // The key itself. The usual cause of getting here is a key that is not
    // UTF-8, which the string type refuses; its invalid bytes become U+FFFD.
    try {
        std::string repaired;
        utf8::replace_invalid(key, key + std::strlen(key), std::back_inserter(repaired));
        return zorvant::u8string(repaired);
    } catch (...) {
        return zorvant::u8string();
    }
}

namespace {

// The cached translation under key, made and stored on first use. Called
// with the cache's mutex held; throws when the copy cannot be made or kept.
template <class Map, class Key>
const char *cached_translation(Map &map, Key key, const char *english)
{
    auto found = map.find(key);
    if (found != map.end())
        return found->second;
    if (g_injected_failures.load() > 0 && g_injected_failures.fetch_sub(1) > 0)
        throw std::runtime_error("injected failure");
    char *copy = translated_copy(english);
    try {
        map.emplace(std::move(key), copy);
    } catch (...) {
        std::free(copy);
        throw;
    }
    return copy;
}

} // namespace

const char *localize_cstring(const char *english)
{
    if (!english)
        return nullptr;
    try {
        TextCache &texts = cache();
        std::lock_guard<std::mutex> lock(texts.mutex);
        // The path buffer is reused for every path, so it is keyed by content.
        if (in_path_buffer(english))
            return cached_translation(texts.by_content, std::string(english), english);
        return cached_translation(texts.by_address, english, english);
    } catch (...) {
        return english; // nothing cached: a later call tries again
    }
}

const char *localize_path(const char *path)
{
    char *out = t_path_buffer;
    size_t used = 0;
    // Appends as much of [bytes, bytes + n) as fits, cut at a code point.
    // True when the result is complete: cut, or no byte of room is left.
    // Nothing may follow a cut, or a '/' could land after half a name.
    auto append = [&](const char *bytes, size_t n) {
        size_t room = kPathBufferSize - 1 - used;
        bool cut = n > room;
        if (cut) {
            n = room;
            while (n > 0 && (static_cast<unsigned char>(bytes[n]) & 0xC0) == 0x80)
                --n; // bytes[n] would start the cut-off part mid-sequence
        }
        std::memcpy(out + used, bytes, n);
        used += n;
        return cut || used == kPathBufferSize - 1;
    };
    if (path) {
        // Work on a copy: the caller may pass this thread's own buffer.
        std::string source(path);
        size_t start = 0;
        for (;;) {
            size_t slash = source.find('/', start);
            std::string component = source.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            if (!component.empty() && utf8::is_valid(component.begin(), component.end())) {
                zorvant::u8string translated = localize_string(component.c_str());
                component.assign(translated.c_str()); // up to a NUL a translation might hold
            }
            // A component that is not UTF-8 is kept byte for byte.
            if (append(component.data(), component.size()) || slash == std::string::npos)
                break;
            if (append("/", 1))
                break;
            start = slash + 1;
        }
    }
    out[used] = '\0';
    return out;
}

namespace zorvant::testing {
void fail_next_localize_cstring(int count) { g_injected_failures.store(count); }
} // namespace zorvant::testing
