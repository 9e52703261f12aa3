// Operations shared by the catalog types (catalog_ops.h).
#include "scan/catalog/catalog_ops.h"

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "scan/catalog/catdb.h"
#include "scan/catalog/selection.h"
#include "scan/recover/recover.h"

int CatalogOps::recover_marked(fs_record *record, const char *target)
{
    return catdb_recover_selected(&record->cat, target);
}

int CatalogOps::recover_node(fs_record *record, uint64_t keynum, const char *target, std::string *path,
                             uint64_t *size)
{
    return catdb_recover_node(&record->cat, (int64_t)keynum, target, path, size);
}

int CatalogOps::select(fs_record *record, const int64_t *list, size_t count, uint32_t value)
{
    return catdb_select_node(&record->cat, list, count, value);
}

int CatalogOps::num_children(fs_record *record, uint64_t keynum)
{
    std::lock_guard<std::recursive_mutex> hold(*catdb_mutex(&record->cat));
    if (catdb_mode(&record->cat) != CATDB_MODE_WRITE) {
        const int rc = catdb_ensure_reading(&record->cat);
        if (rc != 0)
            return rc;
    }
    uint32_t n = 0;
    const int got = catdb_get_num_children(&record->cat, (int64_t)keynum, &n);
    return got != 0 ? got : (int)std::min<uint32_t>(n, INT32_MAX);
}

int CatalogOps::children(fs_record *record, uint64_t keynum, std::vector<NodeInfo> *out)
{
    struct listing {
        CatalogOps *ops;
        std::vector<NodeInfo> *out;
    } context{this, out};
    return catdb_node_children(
        &record->cat, (int64_t)keynum,
        [](void *c, catdb *, fs_record *r, int64_t child) {
            auto *l = static_cast<listing *>(c);
            NodeInfo info;
            const int rc = l->ops->node_info(r, (uint64_t)child, &info, 0);
            if (rc == 0)
                l->out->push_back(std::move(info));
            return rc;
        },
        &context);
}
