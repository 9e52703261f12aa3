// Recovered-name numbering (see nameseq.h).
#include "scan/thorough/nameseq.h"

nameseq_ctx *nameseq_new() { return nullptr; }
void nameseq_reset(nameseq_ctx *) {}
nameseq_ctx *nameseq_context() { return nullptr; }
nameseq_node *nameseq_find(nameseq_ctx *, const char *const *, size_t, bool) { return nullptr; }
nameseq_node *nameseq_find_in(nameseq_node *, const char *const *, size_t, bool) { return nullptr; }
void nameseq_folder_name(const nameseq_node *, char *buffer, size_t size)
{
    if (size > 0)
        buffer[0] = '\0';
}
const char *nameseq_next_name(const nameseq_node *) { return nullptr; }
int nameseq_add(nameseq_node *, const char *, cbr_span *, int64_t) { return -1; }
int nameseq_add_now(nameseq_node *, const char *, cbr_span *) { return -1; }
void nameseq_register_prefs() {}
nameseq_node *nameseq_category_node(nameseq_category) { return nullptr; }
