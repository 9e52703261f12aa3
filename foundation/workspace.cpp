// The engine's workspace folder name.
//
// Implementation notes: the name is handed out as a bare C string that
// callers may keep, so a name once published is never changed or freed.
// Each set makes a new string and publishes its address atomically; the
// older strings stay in a list (the engine sets the name once, so the list
// holds one or two entries in practice).
#include "foundation/workspace.h"

#include <atomic>
#include <cstring>
#include <forward_list>
#include <mutex>
#include <string>

namespace {

std::mutex g_names_mutex;
std::forward_list<std::string> g_names; // every name ever set, newest first
std::atomic<const char *> g_current{""};

// Bytes of text that fit in limit without cutting a UTF-8 sequence: a cut
// never lands on a continuation byte (10xxxxxx).
size_t utf8_prefix_length(const char *text, size_t length, size_t limit)
{
    if (length <= limit)
        return length;
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return cut;
}

} // namespace

const char *engine_workspace_name()
{
    return g_current.load(std::memory_order_acquire);
}

void engine_set_workspace_name(const char *application_name)
{
    static const char kSuffix[] = "Workspace";
    const size_t suffix_length = sizeof kSuffix - 1;
    const char *app = application_name != nullptr ? application_name : "";
    const size_t app_length = utf8_prefix_length(app, std::strlen(app), ENGINE_WORKSPACE_NAME_MAX - suffix_length);

    std::string name(app, app_length);
    name += kSuffix;
    std::lock_guard<std::mutex> lock(g_names_mutex);
    g_names.push_front(std::move(name));
    g_current.store(g_names.front().c_str(), std::memory_order_release);
}
