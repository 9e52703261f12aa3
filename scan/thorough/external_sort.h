// External merge sort of fixed-size records in a folder, through one 2 MiB
// buffer and the temporary files "0" to "3" of that folder.
//
// Pass 0 reads the input a buffer at a time, sorts each chunk in memory and
// writes the chunks (the first runs) alternately to "0" and "1". Each merge
// pass then reads the pair written last ("0"/"1" or "2"/"3") and merges run
// against run into the other pair, switching output file at each run's end.
// Runs are found by their order (a record smaller than the one before it
// begins a new run), so neighbouring runs that happen to follow each other
// in order merge for free. A pass that writes a single run ends the sort;
// its file is renamed over the output.
#pragma once

#include <cstddef>
#include <cstdint>

struct work_dir;
struct buf_t;
struct file_t;

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

// Merge state of one input (sort_desc::merge_flags).
enum : uint8_t {
    SORT_INPUT_CURRENT = 1, // its current-record slot holds a record
    SORT_INPUT_LAST = 2,    // its last-record slot holds the record taken last
    SORT_INPUT_RUN_END = 4, // the current record begins its next run
    SORT_INPUT_ENDED = 8,   // nothing more to read
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
    // Merge state, set up by external_sort for each pass. The first four
    // record slots of the buffer hold input 0's current and last record,
    // then input 1's.
    file_t *merge_input[2] = {};
    uint8_t merge_flags[2] = {};    // SORT_INPUT_* bits
    bool merge_failed = false;      // next_merge_key returned NULL for a failed read
};

// The pooled buffer "sort" with room for SORT_BUFFER_SIZE bytes, or NULL.
// Release it with buf_free.
buf_t *get_sort_buffer();
// Sorts the first `count` records of the folder's file `input` into the
// file `output` (the same name sorts in place). The capacity is the
// buffer's room in records when 0, and never more than that room. Returns
// 0 when the sorted records are in `output`, also for a count of 0 (nothing
// is then read or written); -1 otherwise, with an error code recorded, the
// temporaries removed and `input` as it was. The result replaces `output`
// in one rename; only then is `input` deleted, when it is another file and
// keep_input is clear. The names "0" to "3" are refused for either file.
int external_sort(sort_desc *sort, const char *input, const char *output);
// The next record of the merge of merge_input[0] and [1], valid until the
// next call; NULL at a run end (*runs_ended set: both inputs' runs ended,
// the next runs begin), at the end of both inputs, or after a failed read
// (merge_failed set, error 36 recorded).
const void *next_merge_key(sort_desc *sort, bool *runs_ended);
