// External merge sort of fixed-size records in a folder, through one 2 MiB
// buffer and the temporary files "0" to "3" of that folder.
#pragma once

#include <cstddef>
#include <cstdint>

struct work_dir;
struct buf_t;

// Error-list codes of the sort.
enum : int {
    SORT_ERROR_READ = 36,         // reading a run while merging
    SORT_ERROR_OPEN_INPUT = 75,
    SORT_ERROR_OPEN_0 = 76,
    SORT_ERROR_OPEN_1 = 77,
    SORT_ERROR_READ_INPUT = 78,
    SORT_ERROR_WRITE_RUN = 79,
    SORT_ERROR_ABORT_PASS0 = 80,
    SORT_ERROR_OPEN_MERGE_FIRST = 81, // 81 to 84: the merge files
    SORT_ERROR_ABORT_MERGE = 85,
};

constexpr size_t SORT_BUFFER_SIZE = 0x200000;

typedef int (*sort_compare_fn)(void *context, const void *a, const void *b);

struct sort_desc {
    buf_t *buffer = nullptr;        // the pooled "sort" buffer
    uint64_t capacity = 0;          // records the buffer holds
    uint64_t count = 0;             // records of the input
    int record_size = 0;
    sort_compare_fn compare = nullptr;
    void *context = nullptr;
    work_dir *folder = nullptr;     // holds the input, the output and "0".."3"
    char progress_name[81] = {};
    bool keep_input = false;
};

buf_t *get_sort_buffer();
int external_sort(sort_desc *sort, const char *input, const char *output);
// The next record of the merge, or NULL (*runs_ended set when both inputs'
// runs ended).
const void *next_merge_key(sort_desc *sort, bool *runs_ended);
