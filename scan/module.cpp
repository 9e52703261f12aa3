// The file-module registry: the list of module records, the lookups, and the
// generic detect / extract / naming steps that a module without its own
// operation gets.
//
// Implementation notes
// - Records are calloc'ed to the size the module asks for, so a module's own
//   record (a struct beginning with a fil_module member) comes zero-filled.
//   fil_module stays a plain record for that reason.
// - The list is walked under g_registry_mutex. A pointer handed out stays
//   valid for the process (records are only freed by the test hook).
// - The span and naming side belongs to the thorough-scan store; it is
//   reached only through the installed fil_store_hooks, read under its own
//   mutex and copied, so installing hooks never races a dispatch.
// - Spans come back from files and saved scans, and modules measure what
//   they like: a subtype outside the module's table (or 0, "before detect")
//   is never written, measured or named, and a measured end is cut to the
//   medium's length; an end at or before the start is nothing measured (2).
#include "scan/module.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "foundation/buf.h"
#include "foundation/log.h"
#include "scan/scan_context.h"
#include "storage/media.h"

namespace {

std::mutex g_registry_mutex;
fil_module *g_head = nullptr;

std::mutex g_hooks_mutex;
fil_store_hooks g_hooks = {};

fil_store_hooks hooks_copy()
{
    std::lock_guard<std::mutex> lock(g_hooks_mutex);
    return g_hooks;
}

// The scan's thorough-scan store and its current span, or NULL.
fs_record *module_store(const fil_module *module)
{
    return module->scan != nullptr ? module->scan->store : nullptr;
}

// The subtype record of a module for a subtype number, or NULL when the
// module has no such entry (a span read back from a file may carry any
// number, so it is checked here rather than trusted). Entry 0 stands for
// "before detect" and is never a span's subtype.
fil_module_subtype *subtype_at(fil_module *module, uint32_t subtype)
{
    if (module->subtypes == nullptr || subtype == 0 || subtype >= module->subtype_count)
        return nullptr;
    return &module->subtypes[subtype];
}

// Whether a span of the module may carry the subtype: any subtype of a
// module without a table (it has nothing to index), else an entry of it.
bool subtype_allowed(fil_module *module, uint32_t subtype, const char *fn)
{
    if (module->subtypes == nullptr || subtype_at(module, subtype) != nullptr)
        return true;
    log_error("%s: %s has no subtype %u", fn, fil_module_id_text(module->id), (unsigned)subtype);
    return false;
}

} // namespace

void fil_module_set_store_hooks(const fil_store_hooks *hooks)
{
    std::lock_guard<std::mutex> lock(g_hooks_mutex);
    g_hooks = hooks != nullptr ? *hooks : fil_store_hooks{};
}

fil_store_hooks fil_module_store_hooks()
{
    return hooks_copy();
}

fil_module *fil_module_first()
{
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    return g_head;
}

fil_module *fil_module_find(uint32_t id)
{
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    for (fil_module *m = g_head; m != nullptr; m = m->next)
        if (m->id == id)
            return m;
    return nullptr;
}

int fil_module_count()
{
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    int n = 0;
    for (fil_module *m = g_head; m != nullptr; m = m->next)
        n++;
    return n;
}

fil_module *fil_module_get_or_create(uint32_t id, size_t record_size)
{
    if (record_size < sizeof(fil_module)) {
        log_error("%s: record size %zu below %zu for %s", "fil_module_get_or_create", record_size,
                  sizeof(fil_module), fil_module_id_text(id));
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    fil_module **tail = &g_head;
    for (fil_module *m = g_head; m != nullptr; m = m->next) {
        if (m->id == id) {
            // The record was made with the size of its first registration;
            // a caller that needs more would write past it.
            size_t made = 0;
            std::memcpy(&made, reinterpret_cast<const uint8_t *>(m) - sizeof(size_t), sizeof made);
            if (record_size > made) {
                log_error("%s: %s registered with %zu bytes, %zu asked", "fil_module_get_or_create",
                          fil_module_id_text(id), made, record_size);
                return nullptr;
            }
            return m;
        }
        tail = &m->next;
    }
    // The record size is kept just in front of the record, so a later
    // get_or_create can tell whether the record is large enough for it.
    const size_t header = alignof(std::max_align_t) > sizeof(size_t) ? alignof(std::max_align_t) : sizeof(size_t);
    auto *block = static_cast<uint8_t *>(std::calloc(1, header + record_size));
    if (block == nullptr) {
        log_error("%s: no memory for %s", "fil_module_get_or_create", fil_module_id_text(id));
        return nullptr;
    }
    auto *m = reinterpret_cast<fil_module *>(block + header);
    std::memcpy(reinterpret_cast<uint8_t *>(m) - sizeof(size_t), &record_size, sizeof record_size);
    m->id = id;
    if (id == FIL_MODULE_CBR) {
        m->next = g_head;
        g_head = m;
    } else {
        *tail = m;
    }
    return m;
}

int fil_module_detect(fil_module *module, const uint8_t *block, int32_t size)
{
    if (module == nullptr)
        return 0;
    if (module->detect != nullptr)
        return module->detect(module, block, size);
    if (module->fs_init != nullptr || module->enabled != 1 || module->recognise == nullptr)
        return 0;
    Media *media = scx_media(module->scan);
    if (media == nullptr)
        return 0;
    const int result = module->recognise(module, block, size);
    if ((int16_t)(result & 0xFFFF) < 1 || !subtype_allowed(module, module->cur_subtype, "fil_module_detect"))
        return 0;
    return fil_module_write_start(module, (uint64_t)media_data_pos(media), result);
}

int fil_module_write_start(fil_module *module, uint64_t position, int result)
{
    if (module == nullptr)
        return 0;
    const fil_store_hooks hooks = hooks_copy();
    fs_record *store = module_store(module);
    cbr_span *span = store != nullptr && hooks.current_span != nullptr ? hooks.current_span(store) : nullptr;
    if (span == nullptr)
        return 0; // a quick scan has no store: nothing to record the start in
    span->state = CBR_SPAN_DETECTED;
    span->start = position;
    span->end = position;
    span->module_id = module->id;
    span->subtype = module->cur_subtype;
    span->result = (uint32_t)result;
    if (hooks.write_span != nullptr)
        hooks.write_span(store);
    if (fil_module_subtype *st = subtype_at(module, module->cur_subtype))
        st->starts++;
    return 1;
}

int fil_module_extract(fil_module *module)
{
    if (module == nullptr)
        return 2;
    if (module->measure != nullptr)
        return module->measure(module);
    Media *media = scx_media(module->scan);
    const fil_store_hooks hooks = hooks_copy();
    fs_record *store = module_store(module);
    cbr_span *span = store != nullptr && hooks.current_span != nullptr ? hooks.current_span(store) : nullptr;
    if (module->extract == nullptr || media == nullptr || span == nullptr)
        return 2;
    if (span->start > (uint64_t)INT64_MAX || media_seek(media, (int64_t)span->start) != 0)
        return 2;
    // The module indexes its table with the subtype it is handed.
    if (!subtype_allowed(module, span->subtype, "fil_module_extract"))
        return 2;
    span->start = (uint64_t)media_byte_pos(media);
    span->end = 0;
    span->module_id = module->id;
    span->state = CBR_SPAN_DETECTED | CBR_SPAN_MEASURED;
    module->cur_subtype = span->subtype;
    const int rc = module->extract(module, media, store, span);
    if (rc != 0)
        return rc;
    // A file ends on the medium, and after its first byte: an end at or
    // before the start is nothing measured (not a file of size 0 or of a
    // size wrapped below 0).
    const uint64_t length = (uint64_t)media_length(media);
    const uint64_t end = module->end_pos < length ? module->end_pos : length;
    if (end <= span->start || !subtype_allowed(module, module->cur_subtype, "fil_module_extract"))
        return 2;
    span->end = end;
    span->subtype = module->cur_subtype;
    if (hooks.write_span != nullptr)
        hooks.write_span(store);
    if (fil_module_subtype *st = subtype_at(module, module->cur_subtype))
        st->starts++;
    return 0;
}

int fil_module_name_file(fil_module *module, cbr_span *span)
{
    if (module == nullptr || span == nullptr)
        return -1;
    if (module->naming != nullptr)
        return module->naming(module, span);
    if (!subtype_allowed(module, span->subtype, "fil_module_name_file"))
        return -12;
    fil_module_subtype *st = subtype_at(module, span->subtype);
    if (st == nullptr)
        return -1; // a module without a subtype table has no type folder either
    const fil_store_hooks hooks = hooks_copy();
    if (hooks.next_name == nullptr || hooks.add_now == nullptr || st->type_folder == nullptr)
        return -1;
    const char *number = hooks.next_name(st->type_folder);
    if (number == nullptr)
        return -1;
    const char *prefix = st->prefix != nullptr ? st->prefix : "";
    char name[256] = {};
    bool named = false;
    if (module->name_callback != nullptr) {
        const int rc = module->name_callback(module, st, module_store(module), span, name, prefix, number,
                                             st->extension);
        name[sizeof name - 1] = '\0';
        named = rc == 0 && name[0] != '\0';
    }
    if (!named) {
        if (st->extension != nullptr && st->extension[0] != '\0')
            std::snprintf(name, sizeof name, "%s%s.%s", prefix, number, st->extension);
        else
            std::snprintf(name, sizeof name, "%s%s", prefix, number);
    }
    return hooks.add_now(st->type_folder, name, span);
}

void fil_module_reset(fil_module *module)
{
    if (module == nullptr)
        return;
    module->scan_counter = 0;
    module->start_pos = 0;
    module->end_pos = 0;
    module->limit = 0;
    module->cur_subtype = 0;
    for (uint32_t i = 0; module->subtypes != nullptr && i < module->subtype_count; i++)
        module->subtypes[i].starts = 0;
    if (module->reset != nullptr)
        module->reset(module);
}

void fil_module_load_prefs(fil_module *module)
{
    if (module != nullptr && module->load_prefs != nullptr)
        module->load_prefs(module);
}

void fil_module_load_all_prefs()
{
    for (fil_module *m = fil_module_first(); m != nullptr; m = m->next)
        fil_module_load_prefs(m);
}

const char *fil_module_id_text(uint32_t id)
{
    thread_local char text[5];
    for (int i = 0; i < 4; i++) {
        const char c = (char)(id >> (24 - 8 * i));
        text[i] = c >= 0x20 && c < 0x7F ? c : '?';
    }
    text[4] = '\0';
    return text;
}

namespace fil_testing {

void clear_registry()
{
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    const size_t header = alignof(std::max_align_t) > sizeof(size_t) ? alignof(std::max_align_t) : sizeof(size_t);
    while (g_head != nullptr) {
        fil_module *m = g_head;
        g_head = m->next;
        buf_free(m->folders);
        std::free(reinterpret_cast<uint8_t *>(m) - header);
    }
}

} // namespace fil_testing
