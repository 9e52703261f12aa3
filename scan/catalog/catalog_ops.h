// The operations every found-file-system type with a catalog shares: its
// nodes listed, counted, ticked and recovered through the catalog. A type
// derives its operations object from CatalogOps and adds node_info (its own
// rows) and what else it has.
#pragma once

#include <string>
#include <vector>

#include "scan/catalog/fs_record.h"

class CatalogOps : public fs_ops {
public:
    int recover_marked(fs_record *record, const char *target) override;
    int recover_node(fs_record *record, uint64_t keynum, const char *target, std::string *path,
                     uint64_t *size) override;
    int select(fs_record *record, const int64_t *list, size_t count, uint32_t value) override;
    // While a scan writes the catalog its rows are counted on that connection.
    int num_children(fs_record *record, uint64_t keynum) override;
    // The children's node information (node_info with flags 0); children
    // whose information fails are left out.
    int children(fs_record *record, uint64_t keynum, std::vector<NodeInfo> *out) override;
};
