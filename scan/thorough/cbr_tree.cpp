// The catalog tree of "Reconstructed Files": the store's catalog modes, its
// rows, node information and the names file.
#include "scan/thorough/cbr_store.h"

int cbr_build_tree(fs_record *) { return -15; }
int cbr_set_cat_mode(fs_record *, int) { return 0; }
int cbr_db_write_folder(fs_record *, const char *, uint64_t, uint64_t) { return -15; }
int cbr_db_write_node(fs_record *, const char *, uint64_t, uint64_t, const cbr_span *, int64_t) { return -15; }
int cbr_db_node_info(fs_record *, uint64_t, NodeInfo *, int) { return -15; }
int64_t cbr_write_name(fs_record *, const char *) { return -1; }
int cbr_read_name(fs_record *, int64_t, char *, size_t) { return -1; }
