// The folder path index (see path_index.h).
#include "scan/path_index.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <unordered_map>

#include "foundation/log.h"

namespace {

// Initial room: the index is small (a few hundred module paths), 200
// requests the 389-bucket size a prime-sized table would use.
constexpr size_t PATH_INDEX_INITIAL_BUCKETS = 389;

struct PathIndex {
    std::mutex mutex;
    std::unordered_map<std::string, path_index_entry> entries; // node-based: entries never move
    PathIndex() { entries.reserve(PATH_INDEX_INITIAL_BUCKETS); }
};

// Never destroyed: entries are handed out for the life of the process, and
// static destructors of other modules may still look at them.
PathIndex &the_index()
{
    static PathIndex *index = new PathIndex;
    return *index;
}

bool key_allowed(uint64_t key)
{
    uint32_t module = uint32_t(key >> 16);
    uint16_t subtype = uint16_t(key);
    if (module == 0xFFFFFFFFu || subtype == 0xFFFF)
        return false;
    if (module == 0 && subtype != 0)
        return false;
    return true;
}

bool holds(const path_index_entry *entry, uint64_t key)
{
    return std::binary_search(entry->kinds.begin(), entry->kinds.end(), key);
}

} // namespace

const path_index_entry *path_index_register(const char *path, uint64_t key, uint32_t flags)
{
    if (path == nullptr)
        return nullptr;
    while (*path == '/')
        path++;
    if (*path == '\0' || !key_allowed(key)) {
        log_error("path_index_register: refused key 0x%llx for \"%s\"", static_cast<unsigned long long>(key), path);
        return nullptr;
    }
    PathIndex &index = the_index();
    std::lock_guard<std::mutex> lock(index.mutex);
    const path_index_entry *result = nullptr;
    try {
        std::string current = path;
        for (;;) {
            auto it = index.entries.find(current);
            if (it == index.entries.end()) {
                it = index.entries.emplace(current, path_index_entry()).first;
                it->second.path = current;
            }
            path_index_entry &entry = it->second;
            if (key != 0) {
                auto at = std::lower_bound(entry.kinds.begin(), entry.kinds.end(), key);
                if (at == entry.kinds.end() || *at != key)
                    entry.kinds.insert(at, key);
            }
            if (result == nullptr)
                result = &entry;
            if (!(flags & PATH_INDEX_PARENTS))
                break;
            size_t cut = current.rfind('/');
            if (cut == std::string::npos || cut == 0)
                break;
            current.resize(cut);
        }
    } catch (const std::bad_alloc &) {
        log_error("path_index_register: no memory for \"%s\"", path);
        return nullptr;
    }
    return result;
}

const path_index_entry *path_index_find_kind(uint64_t key, const path_index_entry *const *entries, size_t count)
{
    if (entries == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(the_index().mutex);
    for (size_t i = 0; i < count; i++)
        if (entries[i] != nullptr && !entries[i]->kinds.empty() && holds(entries[i], key))
            return entries[i];
    return nullptr;
}

const path_index_entry *path_index_find_kind(uint64_t key, const std::vector<const path_index_entry *> &entries)
{
    return path_index_find_kind(key, entries.data(), entries.size());
}

const path_index_entry *path_index_lookup(const char *path)
{
    if (path == nullptr)
        return nullptr;
    while (*path == '/')
        path++;
    PathIndex &index = the_index();
    std::lock_guard<std::mutex> lock(index.mutex);
    auto it = index.entries.find(path);
    return it == index.entries.end() ? nullptr : &it->second;
}

std::vector<uint64_t> path_index_entry_kinds(const path_index_entry *entry)
{
    if (entry == nullptr)
        return {};
    std::lock_guard<std::mutex> lock(the_index().mutex);
    return entry->kinds;
}
