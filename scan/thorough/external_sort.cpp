// External merge sort (see external_sort.h).
//
// Files of the folder while sorting
//
//   input        read once, in pass 0; never written
//   "0", "1"     pass 0's runs, then the inputs or outputs of every other pass
//   "2", "3"     the other pair of each merge pass
//   output       replaced by the last pass's "0" or "2" in one rename
//
// Implementation notes
// - Nothing reaches `output` or touches `input` before the last pass has
//   been written and closed without error: the result goes over `output`
//   with one rename(2), which replaces an existing file atomically, and the
//   input is deleted only after that rename (and never when it is the
//   output). A failure at any point leaves the input as it was.
// - The temporaries are stdio streams, whose failed writes may show only at
//   the flush of fclose: every output is closed and its close checked before
//   a pass counts as written.
// - Each merge pass must write exactly `count` records. A pass that writes
//   fewer (a temporary shortened behind our back, a read failure taken for
//   the end of a file) fails the sort rather than hand on a result with
//   records missing.
#include "scan/thorough/external_sort.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/buf.h"
#include "foundation/engine_status.h"
#include "foundation/error_list.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/progress.h"
#include "foundation/strings.h"
#include "foundation/workdir.h"

namespace {

constexpr int SORT_TEMPORARIES = 4; // "0" to "3"
constexpr int SORT_MERGE_SLOTS = 4; // current and last record of each input

// The record slots of the merge at the start of the buffer.
uint8_t *current_slot(sort_desc *sort, int input)
{
    return sort->buffer->data + (size_t)(2 * input) * (size_t)sort->record_size;
}

uint8_t *last_slot(sort_desc *sort, int input)
{
    return sort->buffer->data + (size_t)(2 * input + 1) * (size_t)sort->record_size;
}

// The first `placeholder` of a translated text replaced by `value`. The
// translation comes from a string table, so it is never handed to printf as
// a format.
void fill_in(std::string &text, const char *placeholder, const std::string &value)
{
    const size_t at = text.find(placeholder);
    if (at != std::string::npos)
        text.replace(at, std::strlen(placeholder), value);
}

void set_pass_text(const sort_desc *sort, int pass)
{
    std::string text = localize_cstring("%s, pass %d");
    fill_in(text, "%s", progress_escape_name(sort->progress_name));
    fill_in(text, "%d", std::to_string(pass));
    progress_set_text(text.c_str());
}

bool is_temporary_name(const char *name)
{
    return name[0] >= '0' && name[0] < '0' + SORT_TEMPORARIES && name[1] == '\0';
}

struct compare_call {
    sort_compare_fn compare;
    void *context;
};

int compare_trampoline(const void *a, const void *b, void *call)
{
    const auto *c = static_cast<const compare_call *>(call);
    return c->compare(c->context, a, b);
}

// Sorts n records of the buffer in memory, in place.
void sort_chunk(sort_desc *sort, uint64_t n)
{
    if (sort->record_size == 8) {
        // The size of the start gaps: std::sort on whole records.
        struct record8 {
            uint8_t bytes[8];
        };
        static_assert(sizeof(record8) == 8, "8-byte records");
        auto *first = reinterpret_cast<record8 *>(sort->buffer->data);
        std::sort(first, first + n, [sort](const record8 &a, const record8 &b) {
            return sort->compare(sort->context, &a, &b) < 0;
        });
        return;
    }
    compare_call call{sort->compare, sort->context};
    qsort_r(sort->buffer->data, (size_t)n, (size_t)sort->record_size, compare_trampoline, &call);
}

// Closes a temporary that was written; false (error 79 recorded) when its
// data may not all have reached the file.
bool close_written(file_t **f, const char *caller, int number)
{
    if (file_free(f) == 0)
        return true;
    log_error("%s: Can't finish temporary %d", caller, number);
    add_error(SORT_ERROR_WRITE_RUN);
    return false;
}

void close_all(file_t **files, int n)
{
    for (int i = 0; i < n; i++)
        file_free(&files[i]);
}

// Pass 0: the input in chunks of the buffer's capacity, each sorted and
// written as one run to "0" and "1" in turn. 0 or -1.
int write_first_runs(sort_desc *sort, const char *input)
{
    file_t *in = dir_file_open(sort->folder, input, "rb", 2);
    if (in == nullptr) {
        log_error("external_sort: Can't open %s", input);
        add_error(SORT_ERROR_OPEN_INPUT);
        return -1;
    }
    file_t *runs[2] = {dir_file_open_num(sort->folder, 0, "wb"), dir_file_open_num(sort->folder, 1, "wb")};
    for (int i = 0; i < 2; i++) {
        if (runs[i] == nullptr) {
            log_error("external_sort: Can't create temporary %d", i);
            add_error(i == 0 ? SORT_ERROR_OPEN_0 : SORT_ERROR_OPEN_1);
            file_free(&in);
            close_all(runs, 2);
            return -1;
        }
    }
    progress_push(0, (int64_t)sort->count);
    set_pass_text(sort, 0);
    int rc = 0;
    uint64_t done = 0;
    for (int chunk = 0; done < sort->count; chunk ^= 1) {
        if (abort_requested()) {
            log_error("external_sort: aborted in pass 0");
            add_error(SORT_ERROR_ABORT_PASS0);
            rc = -1;
            break;
        }
        progress_set_done((int64_t)done);
        const uint64_t want = std::min(sort->capacity, sort->count - done);
        const int64_t got = file_read(in, sort->buffer->data, (int64_t)(want * (uint64_t)sort->record_size));
        const uint64_t n = got > 0 ? (uint64_t)got / (uint64_t)sort->record_size : 0;
        if (n == 0) {
            log_error("merge sort error: errno=%d, n=%d, keys %lld %lld", file_error(in), (int)want,
                      (long long)done, (long long)sort->count);
            add_error(SORT_ERROR_READ_INPUT);
            rc = -1;
            break;
        }
        sort_chunk(sort, n);
        if (file_write_full(runs[chunk], sort->buffer->data, (int64_t)(n * (uint64_t)sort->record_size)) != 0) {
            log_error("external_sort: Can't write a run of %llu records", (unsigned long long)n);
            add_error(SORT_ERROR_WRITE_RUN);
            rc = -1;
            break;
        }
        done += n;
    }
    progress_pop();
    file_free(&in);
    for (int i = 0; i < 2; i++)
        if (!close_written(&runs[i], "external_sort", i))
            rc = -1;
    return rc;
}

// One merge pass from the pair at in_base into the pair at out_base. 0 with
// *one_run telling whether the pass wrote a single run (into out_base), or -1.
int merge_pass(sort_desc *sort, int pass, int in_base, int out_base, bool *one_run)
{
    file_t *files[4] = {dir_file_open_num(sort->folder, in_base, "rb"),
                        dir_file_open_num(sort->folder, in_base + 1, "rb"),
                        dir_file_open_num(sort->folder, out_base, "wb"),
                        dir_file_open_num(sort->folder, out_base + 1, "wb")};
    for (int i = 0; i < 4; i++) {
        if (files[i] == nullptr) {
            log_error("external_sort: Can't open temporary %d in pass %d", i < 2 ? in_base + i : out_base + i - 2,
                      pass);
            add_error(SORT_ERROR_OPEN_MERGE_FIRST + i);
            close_all(files, 4);
            return -1;
        }
    }
    sort->merge_input[0] = files[0];
    sort->merge_input[1] = files[1];
    sort->merge_flags[0] = sort->merge_flags[1] = 0;
    sort->merge_failed = false;
    progress_push(0, (int64_t)sort->count);
    set_pass_text(sort, pass);
    int rc = 0;
    int out = 0;
    bool switched = false;
    uint64_t written = 0;
    for (;;) {
        bool runs_ended = false;
        const void *record = next_merge_key(sort, &runs_ended);
        if (record == nullptr) {
            if (sort->merge_failed) {
                rc = -1;
                break;
            }
            if (!runs_ended)
                break;
            out ^= 1;
            switched = true;
            continue;
        }
        if (file_write_full(files[2 + out], record, sort->record_size) != 0) {
            log_error("external_sort: Can't write record %llu in pass %d", (unsigned long long)written, pass);
            add_error(SORT_ERROR_WRITE_RUN);
            rc = -1;
            break;
        }
        progress_set_done((int64_t)++written);
        if (abort_requested()) {
            log_error("external_sort: aborted in pass %d", pass);
            add_error(SORT_ERROR_ABORT_MERGE);
            rc = -1;
            break;
        }
    }
    progress_pop();
    sort->merge_input[0] = sort->merge_input[1] = nullptr;
    close_all(files, 2);
    for (int i = 0; i < 2; i++)
        if (!close_written(&files[2 + i], "external_sort", out_base + i))
            rc = -1;
    if (rc == 0 && written != sort->count) {
        log_error("external_sort: pass %d wrote %llu of %llu records", pass, (unsigned long long)written,
                  (unsigned long long)sort->count);
        add_error(SORT_ERROR_READ);
        rc = -1;
    }
    *one_run = !switched;
    return rc;
}

// 0 when the description can be sorted with; logs and returns -1 otherwise.
int check_description(sort_desc *sort, const char *input, const char *output)
{
    if (sort == nullptr || input == nullptr || output == nullptr || *input == '\0' || *output == '\0') {
        log_error("external_sort: no description or file name");
        return -1;
    }
    if (is_temporary_name(input) || is_temporary_name(output)) {
        // The temporaries would overwrite (or, at the end, delete) it.
        log_error("external_sort: refused file name \"%s\" -> \"%s\"", input, output);
        return -1;
    }
    if (sort->folder == nullptr || sort->compare == nullptr || sort->buffer == nullptr ||
        sort->buffer->data == nullptr || sort->record_size <= 0) {
        log_error("external_sort: incomplete description");
        return -1;
    }
    const uint64_t room = (uint64_t)sort->buffer->allocation / (uint64_t)sort->record_size;
    if (room < SORT_MERGE_SLOTS) {
        log_error("external_sort: buffer of %d bytes too small for %d-byte records", sort->buffer->allocation,
                  sort->record_size);
        return -1;
    }
    if (sort->capacity == 0 || sort->capacity > room)
        sort->capacity = room;
    return 0;
}

} // namespace

buf_t *get_sort_buffer()
{
    buf_t *buffer = buf_pool_get_named("sort");
    if (buffer == nullptr)
        return nullptr;
    if (buf_reserve(buffer, SORT_BUFFER_SIZE) != 0) {
        log_error("get_sort_buffer: no memory for %zu bytes", SORT_BUFFER_SIZE);
        buf_free(buffer);
        return nullptr;
    }
    return buffer;
}

int external_sort(sort_desc *sort, const char *input, const char *output)
{
    if (check_description(sort, input, output) != 0)
        return -1;
    if (sort->count == 0) {
        // An input that exists but holds nothing is left as it is.
        file_t *in = dir_file_open(sort->folder, input, "rb", 2);
        if (in == nullptr) {
            log_error("external_sort: Can't open %s", input);
            add_error(SORT_ERROR_OPEN_INPUT);
            return -1;
        }
        file_free(&in);
        return 0;
    }
    const size_t depth = progress_depth();
    int rc = write_first_runs(sort, input);
    int base = 0; // the pair written last
    for (int pass = 1; rc == 0; pass++) {
        bool one_run = false;
        const int out_base = base == 0 ? 2 : 0;
        rc = merge_pass(sort, pass, base, out_base, &one_run);
        base = out_base;
        if (rc == 0 && one_run)
            break;
    }
    if (rc == 0) {
        if (dir_file_rename_num(sort->folder, base, output) != 0) {
            log_error("external_sort: Can't rename the result to %s: %s", output, std::strerror(errno));
            rc = -1;
        } else if (!sort->keep_input && std::strcmp(input, output) != 0 && dir_file_unlink(sort->folder, input) != 0) {
            log_warning("external_sort: Can't delete %s: %s", input, std::strerror(errno));
        }
    }
    for (int i = 0; i < SORT_TEMPORARIES; i++)
        dir_file_unlink_num(sort->folder, i);
    progress_pop_to(depth);
    return rc;
}

const void *next_merge_key(sort_desc *sort, bool *runs_ended)
{
    if (runs_ended != nullptr)
        *runs_ended = false;
    uint8_t *flags = sort->merge_flags;
    for (int i = 0; i < 2; i++) {
        if (flags[i] & (SORT_INPUT_CURRENT | SORT_INPUT_ENDED))
            continue;
        const int64_t got = file_read(sort->merge_input[i], current_slot(sort, i), sort->record_size);
        if (got < 0 || (got > 0 && got < sort->record_size)) {
            // A run file holds whole records: a part of one is damage.
            log_error("next_merge_key: Can't read input %d: %lld", i, (long long)got);
            add_error(SORT_ERROR_READ);
            sort->merge_failed = true;
            return nullptr;
        }
        if (got == 0) {
            flags[i] |= SORT_INPUT_ENDED;
            continue;
        }
        flags[i] |= SORT_INPUT_CURRENT;
        if ((flags[i] & SORT_INPUT_LAST) && sort->compare(sort->context, last_slot(sort, i), current_slot(sort, i)) > 0)
            flags[i] |= SORT_INPUT_RUN_END;
    }
    const bool live0 = flags[0] & SORT_INPUT_CURRENT, live1 = flags[1] & SORT_INPUT_CURRENT;
    int take;
    if (live0 && live1) {
        const bool end0 = flags[0] & SORT_INPUT_RUN_END, end1 = flags[1] & SORT_INPUT_RUN_END;
        if (end0 && end1) {
            flags[0] &= (uint8_t)~SORT_INPUT_RUN_END;
            flags[1] &= (uint8_t)~SORT_INPUT_RUN_END;
            if (runs_ended != nullptr)
                *runs_ended = true;
            return nullptr;
        }
        if (end0 != end1)
            take = end0 ? 1 : 0;
        else
            take = sort->compare(sort->context, current_slot(sort, 0), current_slot(sort, 1)) <= 0 ? 0 : 1;
    } else if (!live0 && !live1) {
        return nullptr;
    } else {
        take = live0 ? 0 : 1;
        if (flags[take] & SORT_INPUT_RUN_END) {
            flags[take] &= (uint8_t)~SORT_INPUT_RUN_END;
            if (runs_ended != nullptr)
                *runs_ended = true;
            return nullptr;
        }
    }
    std::memcpy(last_slot(sort, take), current_slot(sort, take), (size_t)sort->record_size);
    flags[take] = (uint8_t)((flags[take] & ~SORT_INPUT_CURRENT) | SORT_INPUT_LAST);
    return last_slot(sort, take);
}
