// The ids of the media, kept in the workspace: a card, an image file and
// each of their partitions keep their id from one run of the engine to the
// next (each command of the program is a run of its own), so the id the
// user reads in the media list names the same medium in the next command.
//
// The media layer's table (storage/media.h, media_ids_known) is kept in the
// settings store, section "Global": "media_ids_next" (the next fresh id),
// "media_ids_count" and "media_id_1" .. "media_id_<n>", each "<id>
// <identity>", least recently used first. An identity that cannot be
// stored (a path the store refuses) is logged by the store and not kept.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/engine.h"
#include "foundation/log.h"
#include "foundation/prefs.h"
#include "storage/media.h"

namespace {

constexpr const char *kSection = "Global";
constexpr const char *kNext = "media_ids_next";
constexpr const char *kCount = "media_ids_count";
// A path of up to 4096 bytes with the kind, size and window before it.
constexpr size_t kValueMax = 4096 + 256;
// The largest id kept: the commands take a medium id of up to nine digits
// (a longer number is taken for a path).
constexpr uint32_t kIdMax = 999999999;

std::string entry_key(size_t n)
{
    return "media_id_" + std::to_string(n);
}

// "<id> <identity>" with an id from 1 to kIdMax and an identity; false
// otherwise.
bool parse_entry(const char *text, media_known_id *out)
{
    char *end = nullptr;
    const unsigned long id = std::strtoul(text, &end, 10);
    if (end == text || *end != ' ' || end[1] == '\0' || id == 0 || id > kIdMax)
        return false;
    out->id = (uint32_t)id;
    out->identity = end + 1;
    return true;
}

std::string table_text(const std::vector<media_known_id> &known, uint32_t next)
{
    std::string text = std::to_string(next);
    for (const media_known_id &entry : known)
        text += "\n" + std::to_string(entry.id) + " " + entry.identity;
    return text;
}

} // namespace

void HVEngine::restoreMediaIds()
{
    std::vector<media_known_id> known;
    int64_t next = 0, count = 0;
    if (prefs_get_int(kSection, kNext, &next) != 0 || next < 0 || next > kIdMax)
        next = 0; // fresh ids count on from above the ids kept
    if (prefs_get_int(kSection, kCount, &count) != 0 || count < 0)
        count = 0;
    count = std::min<int64_t>(count, MEDIA_IDS_KEPT_MAX); // a damaged count reads no further
    std::vector<char> buffer(kValueMax);
    for (int64_t n = 1; n <= count; n++) {
        media_known_id entry;
        if (prefs_get_string(kSection, entry_key((size_t)n).c_str(), buffer.data(), buffer.size()) != 0)
            continue;
        if (parse_entry(buffer.data(), &entry))
            known.push_back(std::move(entry));
        else
            log_info("Kept media id %lld unreadable, dropped", (long long)n);
    }
    media_ids_restore(known, (uint32_t)next);
    uint32_t now_next = 0;
    kept_media_ids_ = table_text(media_ids_known(&now_next), now_next);
}

void HVEngine::keepMediaIds()
{
    uint32_t next = 0;
    const std::vector<media_known_id> known = media_ids_known(&next);
    std::string text = table_text(known, next);
    if (text == kept_media_ids_)
        return;
    prefs_begin_update();
    prefs_set_int(kSection, kNext, next);
    size_t n = 0;
    for (const media_known_id &entry : known)
        if (prefs_set_string(kSection, entry_key(n + 1).c_str(), (std::to_string(entry.id) + " " + entry.identity).c_str()) == 0)
            n++;
    prefs_set_int(kSection, kCount, (int64_t)n);
    prefs_end_update();
    kept_media_ids_ = std::move(text);
}
