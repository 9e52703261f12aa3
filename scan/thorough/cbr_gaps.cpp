// Start-gap analysis of a thorough scan: the differences between the start
// sectors of neighbouring measured files ("gaps", u64 little-endian, written
// while measuring) are sorted on disk and counted, and the most frequent
// ones are logged. On a card that a camera filled in order the top values
// tell the allocation unit and the usual file sizes; the analysis changes
// nothing else.
//
// Implementation notes
// - The list is emptied at the start of each analysis, so that the log
//   lines count the gaps of this "gaps" file only, however often the
//   analysis runs on one store.
#include "scan/thorough/cbr_gaps.h"

#include <cstring>
#include <string>

#include "foundation/buf.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/strings.h"
#include "foundation/workdir.h"
#include "scan/catalog/fs_record.h"
#include "scan/scan_context.h"
#include "scan/scan_context_internal.h"
#include "scan/thorough/external_sort.h"

namespace {

constexpr const char *GAPS_FILE = "gaps";
constexpr size_t GAP_SIZE = 8;
constexpr size_t GAPS_READ_CHUNK = 512; // values read at a time when counting

int64_t gap_at(const void *record)
{
    int64_t value;
    std::memcpy(&value, record, sizeof value); // little-endian host (cbr_store.h)
    return value;
}

// Signed 64-bit order, ascending.
int compare_gaps(void *, const void *a, const void *b)
{
    const int64_t x = gap_at(a), y = gap_at(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

// Counts the runs of equal values of the sorted file into the list. 0 or -1.
int count_gaps(fs_record *record, std::vector<cbr_gap_count> *list)
{
    file_t *in = dir_file_open(record->folder, GAPS_FILE, "rb", 2);
    if (in == nullptr) {
        log_error("cbr_analyse_gaps: Can't open the sorted %s", GAPS_FILE);
        return -1;
    }
    uint8_t chunk[GAPS_READ_CHUNK * GAP_SIZE];
    bool have = false;
    int64_t value = 0;
    uint64_t run = 0;
    int rc = 0;
    for (;;) {
        const int64_t got = file_read(in, chunk, sizeof chunk);
        if (got < 0) {
            log_error("cbr_analyse_gaps: Can't read the sorted %s", GAPS_FILE);
            rc = -1;
            break;
        }
        const size_t n = (size_t)got / GAP_SIZE;
        if (n == 0)
            break;
        for (size_t i = 0; i < n; i++) {
            const int64_t v = gap_at(chunk + i * GAP_SIZE);
            if (have && v == value) {
                run++;
                continue;
            }
            if (have)
                cbr_gap_list_add(list, (uint64_t)value, run);
            have = true, value = v, run = 1;
        }
    }
    if (rc == 0 && have)
        cbr_gap_list_add(list, (uint64_t)value, run);
    file_free(&in);
    return rc;
}

} // namespace

void cbr_gap_list_add(std::vector<cbr_gap_count> *list, uint64_t value, uint64_t count)
{
    for (size_t i = 0; i < list->size(); i++) {
        if ((*list)[i].value != value)
            continue;
        (*list)[i].count++;
        for (; i > 0 && (*list)[i - 1].count < (*list)[i].count; i--)
            std::swap((*list)[i - 1], (*list)[i]);
        return;
    }
    size_t at = 0;
    while (at < list->size() && (*list)[at].count >= count)
        at++;
    if (at >= CBR_GAP_LIST_MAX)
        return;
    if (list->size() >= CBR_GAP_LIST_MAX)
        list->pop_back();
    if (list->capacity() < CBR_GAP_LIST_MAX)
        list->reserve(CBR_GAP_LIST_MAX);
    list->insert(list->begin() + (std::ptrdiff_t)at, cbr_gap_count{value, count});
}

int cbr_analyse_gaps(fs_record *record)
{
    cbr_store *store = cbr_store_of(record);
    if (store == nullptr || record->folder == nullptr) {
        log_error("cbr_analyse_gaps: not a thorough-scan store");
        return -1;
    }
    store->gap_counts.clear();
    const uint64_t n = dir_file_size(record->folder, GAPS_FILE) / GAP_SIZE;
    if (n == 0)
        return 0;
    sort_desc sort;
    sort.buffer = get_sort_buffer();
    if (sort.buffer == nullptr) {
        add_error(CBR_ERROR_GAP_SORT);
        return -1;
    }
    sort.capacity = SORT_BUFFER_SIZE / GAP_SIZE;
    sort.count = n;
    sort.record_size = (int)GAP_SIZE;
    sort.compare = compare_gaps;
    sort.folder = record->folder;
    std::string name = localize_cstring("Sorting %s start gaps");
    if (const size_t at = name.find("%s"); at != std::string::npos)
        name.replace(at, 2, cbr_root_name());
    scx_internal::copy_text(sort.progress_name, sizeof sort.progress_name, name.c_str());
    const int rc = external_sort(&sort, GAPS_FILE, GAPS_FILE);
    buf_free(sort.buffer);
    if (rc != 0) {
        log_error("cbr_analyse_gaps: Can't sort %llu start gaps", (unsigned long long)n);
        add_error(CBR_ERROR_GAP_SORT);
        return -1;
    }
    if (count_gaps(record, &store->gap_counts) != 0) {
        add_error(CBR_ERROR_GAP_SORT);
        return -1;
    }
    for (size_t i = 0; i < store->gap_counts.size(); i++)
        log_info("gap[%d]: value=%llx count=%lld", (int)i, (unsigned long long)store->gap_counts[i].value,
                 (long long)store->gap_counts[i].count);
    return 0;
}

int cbr_module_after_processing(fil_module *module)
{
    if (module == nullptr || module->scan == nullptr || module->scan->store == nullptr)
        return 0;
    return cbr_analyse_gaps(module->scan->store);
}
