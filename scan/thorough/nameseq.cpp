// Recovered-name numbering (see nameseq.h).
//
// Counters of a naming node
//
//   file_counter      the number the next file of this type gets; it runs on
//                     across the numbered folders (00001, 00002, ... whatever
//                     folder a file lands in)
//   folder_position   entries in the node's current folder: files for a type
//                     folder, new sub-folders for a folder above it
//   folder_number     which of the node's folders is current: 0 "JPEG",
//                     1 "JPEG1", 2 "JPEG2", ...
//   created           the current folder has its catalog row
//
// Implementation notes
// - A category (a child of the root) never rolls over. A new numbered type
//   folder adds an entry to its category's folder, and once max_dir_entries
//   of them had accumulated the climb used to clear the category's created
//   flag, so that a second row named like the category ("Images") would have
//   been made below the store's root. The climb therefore stops at the
//   category: its folder holds as many type folders as there are.
// - max_dir_entries comes from a user preference; a value below 1 would roll
//   every file into a folder of its own, so it reads as the default.
// - The number format is made once per context ("%05lld") and applied to the
//   64-bit file counter: past 99999 the names simply grow a digit.
#include "scan/thorough/nameseq.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "foundation/properties.h"
#include "foundation/strings.h"
#include "scan/catalog/fs_record.h"
#include "scan/scan_context.h"

namespace {

// Digits of a file number (leading zeros).
constexpr int kNumberWidth = 5;

// The preference node of the numbering: the localized "Scanning" and
// "Reconstructed Files".
PropNode *prefs_node()
{
    std::string path = localize_cstring("Scanning");
    path += '/';
    path += localize_cstring("Reconstructed Files");
    return prop_node(path.c_str(), PROP_NODE_CREATE);
}

int64_t read_max_dir_entries()
{
    return prop_get_ll(prefs_node(), &prop_schema_max_dir_entries, FS_DEFAULT_MAX_DIR_ENTRIES, 1);
}

// The context's folder limit, a value below 1 read as the default.
int64_t folder_limit(const nameseq_ctx *ctx)
{
    return ctx->max_dir_entries < 1 ? FS_DEFAULT_MAX_DIR_ENTRIES : ctx->max_dir_entries;
}

// Copies a name cut to the node's field at a UTF-8 character boundary.
void set_name(nameseq_node *node, const char *name)
{
    size_t n = std::strlen(name);
    if (n > NAMESEQ_NAME_SIZE - 1) {
        n = NAMESEQ_NAME_SIZE - 1;
        while (n > 0 && ((uint8_t)name[n] & 0xC0) == 0x80)
            n--;
    }
    std::memcpy(node->name, name, n);
    node->name[n] = '\0';
}

// The nodes below node (node itself not included), parents before children.
std::vector<nameseq_node *> nodes_below(nameseq_node *node)
{
    std::vector<nameseq_node *> out;
    for (nameseq_node *c = node->first_child; c != nullptr; c = c->next_sibling)
        out.push_back(c);
    for (size_t i = 0; i < out.size(); i++)
        for (nameseq_node *c = out[i]->first_child; c != nullptr; c = c->next_sibling)
            out.push_back(c);
    return out;
}

// Makes sure the node's current folder has its catalog row: its parents'
// first, then the folder callback. 0, or the callback's failure.
int ensure_folder(nameseq_node *node)
{
    if (node->created)
        return 0;
    if (node->parent != nullptr) {
        const int rc = ensure_folder(node->parent);
        if (rc < 0)
            return rc;
    }
    nameseq_ctx *ctx = node->ctx;
    if (ctx != nullptr && ctx->folder_callback != nullptr) {
        const int rc = ctx->folder_callback(node);
        if (rc < 0)
            return rc;
    }
    node->created = true;
    return 0;
}

} // namespace

nameseq_ctx *nameseq_new()
{
    auto *ctx = new nameseq_ctx();
    ctx->root.ctx = ctx;
    ctx->root.created = true;
    ctx->max_dir_entries = FS_DEFAULT_MAX_DIR_ENTRIES;
    std::snprintf(ctx->format, sizeof ctx->format, "%%0%dlld", kNumberWidth);
    return ctx;
}

void nameseq_free(nameseq_ctx **ctx)
{
    if (ctx == nullptr || *ctx == nullptr)
        return;
    for (nameseq_node *node : nodes_below(&(*ctx)->root))
        delete node;
    delete *ctx;
    *ctx = nullptr;
}

void nameseq_reset(nameseq_ctx *ctx)
{
    if (ctx == nullptr)
        return;
    for (nameseq_node *node : nodes_below(&ctx->root)) {
        node->file_counter = 1;
        node->folder_position = 0;
        node->folder_number = 0;
        node->created = false;
        node->cat_id = 0;
        node->parent_cat_id = 0;
    }
    ctx->max_dir_entries = read_max_dir_entries();
}

nameseq_node *nameseq_find(nameseq_ctx *ctx, const char *const *names, size_t count, bool create)
{
    return ctx != nullptr ? nameseq_find_in(&ctx->root, names, count, create) : nullptr;
}

nameseq_node *nameseq_find_in(nameseq_node *node, const char *const *names, size_t count, bool create)
{
    if (node == nullptr || (names == nullptr && count > 0))
        return nullptr;
    nameseq_node *at = node;
    for (size_t i = 0; i < count; i++) {
        if (names[i] == nullptr)
            return nullptr;
        nameseq_node probe;
        set_name(&probe, names[i]);
        nameseq_node *child = at->first_child;
        while (child != nullptr && std::strcmp(child->name, probe.name) != 0)
            child = child->next_sibling;
        if (child == nullptr) {
            if (!create)
                return nullptr;
            child = new nameseq_node();
            std::memcpy(child->name, probe.name, sizeof child->name);
            child->parent = at;
            child->ctx = at->ctx;
            child->next_sibling = at->first_child;
            at->first_child = child;
        }
        at = child;
    }
    return at;
}

void nameseq_folder_name(const nameseq_node *node, char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return;
    if (node == nullptr)
        buffer[0] = '\0';
    else if (node->folder_number == 0)
        std::snprintf(buffer, size, "%s", node->name);
    else
        std::snprintf(buffer, size, "%s%lld", node->name, (long long)node->folder_number);
}

const char *nameseq_next_name(const nameseq_node *node)
{
    thread_local char text[64];
    if (node == nullptr || node->ctx == nullptr)
        return nullptr;
    // The format is the context's own, made by nameseq_new.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(text, sizeof text, node->ctx->format, (long long)node->file_counter);
#pragma GCC diagnostic pop
    return text;
}

int nameseq_add(nameseq_node *node, const char *name, cbr_span *span, int64_t date)
{
    if (node == nullptr || node->ctx == nullptr)
        return -1;
    nameseq_ctx *ctx = node->ctx;
    const int64_t limit = folder_limit(ctx);
    for (nameseq_node *n = node; n->parent != nullptr; n = n->parent) {
        n->folder_position++;
        if (n->parent == &ctx->root || n->folder_position <= limit)
            break;
        n->folder_number++;
        n->created = false;
        n->folder_position = 1;
    }
    const int rc = ensure_folder(node);
    if (rc < 0)
        return rc;
    node->file_counter++;
    return ctx->file_callback != nullptr ? ctx->file_callback(node, name, span, date) : -1;
}

int nameseq_add_now(nameseq_node *node, const char *name, cbr_span *span)
{
    // The catalog date of such a file is the time of its scan.
    int64_t date = (int64_t)std::time(nullptr);
    const fs_record *store = node != nullptr && node->ctx != nullptr ? node->ctx->store : nullptr;
    if (store != nullptr && store->scan != nullptr && store->scan->start_time.seconds > 0)
        date = store->scan->start_time.seconds;
    return nameseq_add(node, name, span, date);
}

void nameseq_register_prefs()
{
    read_max_dir_entries();
}
