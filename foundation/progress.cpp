// The progress stack, the overall progress and the poll that expands them.
//
// Implementation notes
// - Tasks are heap nodes owned by `g_nodes`; the first `g_depth` of them form
//   the stack. A pop lowers the depth and keeps the node for the next push, so
//   the current-task pointer handed to the lock-free setters always points at
//   live memory, and growing the node list never moves a task.
// - The current-task pointer is atomic: the setters read it without the stack
//   mutex. Pushes and pops normally happen on the command thread between the
//   loops that use the setters; a setter on another thread that races a pop
//   can at worst update a node that is no longer shown.
// - The poller takes the stack mutex, then each text's own mutex in turn (never
//   the other way round), copies the template and expands it from the atomics.
#include "foundation/progress.h"

#include "foundation/clock.h"
#include "foundation/duration.h"
#include "foundation/log.h"
#include "foundation/number_format.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

struct ProgressTask {
    std::mutex mutex;
    std::string text; // template, guarded by mutex
    std::atomic<uint32_t> code{0};
    std::atomic<int64_t> block{0};
    std::atomic<int64_t> block_count{0};
    std::atomic<int64_t> done{0};
    std::atomic<int64_t> total{0};
    std::atomic<double> remaining{0.0};
    std::atomic<int64_t> vars[4] = {};

    void reset(int64_t new_done, int64_t new_total)
    {
        code = 0;
        block = 0;
        block_count = 0;
        done = new_done;
        total = new_total;
        remaining = 0.0;
        for (auto &v : vars)
            v = 0;
        std::lock_guard<std::mutex> lock(mutex);
        text.clear();
    }
};

struct OverallProgress {
    std::mutex mutex;
    std::string text; // template, guarded by mutex
    std::atomic<uint64_t> phase_count{0};
    std::atomic<uint64_t> phase_number{0};
    std::atomic<double> last_fraction{0.0};
};

// The stack mutex also guards the display-variable table (display_vars below).
std::mutex g_stack_mutex;
std::vector<std::unique_ptr<ProgressTask>> g_nodes; // only grows; nodes never move
size_t g_depth = 0;                                 // guarded by g_stack_mutex
std::atomic<ProgressTask *> g_current{nullptr};
OverallProgress g_overall;

int check_var_index(int index)
{
    if (index < 0 || index > 3)
        throw std::out_of_range("bad v index");
    return index;
}

// Numbers read from a task (or the empty task) for one expansion.
struct TaskValues {
    uint32_t code = 0;
    int64_t block = 0, block_count = 0, done = 0, total = -1;
    double remaining = 0;
    int64_t vars[4] = {};
};

TaskValues read_values(const ProgressTask *task)
{
    TaskValues v;
    if (!task)
        return v; // the empty task: all 0, total -1
    v.code = task->code;
    v.block = task->block;
    v.block_count = task->block_count;
    v.done = task->done;
    v.total = task->total;
    v.remaining = task->remaining;
    for (int i = 0; i < 4; i++)
        v.vars[i] = task->vars[i];
    return v;
}

std::string byte_size(int64_t value)
{
    return ZV::NumberFormatter::byteCountString(value < 0 ? 0 : uint64_t(value), 0, 1);
}

// Negative counts show as 0, as sizes do: the empty task's total is -1, and
// read as unsigned it would show as 18,446,744,073,709,551,615.
std::string grouped(int64_t value) { return ZV::NumberFormatter::integerString(value < 0 ? 0 : uint64_t(value)); }

// The code as four characters, top byte first; a zero byte ends it, trailing
// blanks, tabs, CR and LF are removed. Bytes above 0x7F are taken as Latin-1
// so the text stays valid UTF-8.
std::string code_text(uint32_t code)
{
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned char c = (code >> shift) & 0xFF;
        if (c == 0)
            break;
        if (c < 0x80) {
            out += char(c);
        } else {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        }
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == '\t' || out.back() == '\r' || out.back() == '\n'))
        out.pop_back();
    return out;
}

// A remaining time that cannot be shown (the estimator found no progress,
// or a caller stored nonsense) gives an empty text rather than a made-up one.
std::string remaining_text(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0)
        return std::string();
    return ZV::durationString(seconds);
}

std::string expand(const std::string &tmpl, const TaskValues &task, uint64_t phase_number, uint64_t phase_count)
{
    std::string out;
    out.reserve(tmpl.size() + 32);
    for (size_t i = 0; i < tmpl.size(); i++) {
        char c = tmpl[i];
        if (c != '$') {
            out += c;
            continue;
        }
        if (i + 1 == tmpl.size()) { // a "$" at the end stays
            out += '$';
            break;
        }
        char kind = tmpl[i + 1];
        if ((kind == 'v' || kind == 'V') && i + 2 < tmpl.size() && tmpl[i + 2] >= '0' && tmpl[i + 2] <= '3') {
            int64_t value = task.vars[tmpl[i + 2] - '0'];
            out += kind == 'v' ? grouped(value) : byte_size(value);
            i += 2;
            continue;
        }
        switch (kind) {
        case 'z': out += byte_size(task.done); break;
        case 'Z': out += byte_size(task.total); break;
        case 'p': out += grouped(task.done); break;
        case 'P': out += grouped(task.total); break;
        case 'b': out += grouped(task.block); break;
        case 'B': out += grouped(task.block_count); break;
        case 'e': out += ZV::NumberFormatter::integerString(phase_number + 1); break;
        case 'E': out += ZV::NumberFormatter::integerString(phase_count); break;
        case 't': out += code_text(task.code); break;
        case 'R': out += remaining_text(task.remaining); break;
        case '$': out += '$'; break;
        default: // not a placeholder: keep the "$" and the character
            out += '$';
            out += kind;
            break;
        }
        i++;
    }
    return out;
}

std::string copy_text(std::mutex &mutex, const std::string &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    return text;
}

// done / total, clamped to 0..1: a done count past the total (or below 0)
// must not show as more than 100% (or as the -1 of "nothing running").
double task_fraction(const TaskValues &v)
{
    if (v.total <= 0)
        return -1.0;
    return std::min(1.0, std::max(0.0, double(v.done) / double(v.total)));
}

void set_text(const std::string &text)
{
    ProgressTask *task = g_current.load();
    if (!task)
        return;
    std::lock_guard<std::mutex> lock(task->mutex);
    task->text = text;
}

template <typename F> void with_current(F f)
{
    if (ProgressTask *task = g_current.load())
        f(*task);
}

} // namespace

void progress_push(int64_t done, int64_t total)
{
    std::lock_guard<std::mutex> lock(g_stack_mutex);
    if (g_depth == g_nodes.size())
        g_nodes.push_back(std::make_unique<ProgressTask>());
    ProgressTask *task = g_nodes[g_depth].get();
    task->reset(done, total);
    g_depth++;
    g_current.store(task);
}

void progress_pop()
{
    std::lock_guard<std::mutex> lock(g_stack_mutex);
    if (g_depth == 0)
        return;
    g_depth--;
    g_current.store(g_depth ? g_nodes[g_depth - 1].get() : nullptr);
}

size_t progress_depth()
{
    std::lock_guard<std::mutex> lock(g_stack_mutex);
    return g_depth;
}

void progress_pop_to(size_t depth)
{
    std::lock_guard<std::mutex> lock(g_stack_mutex);
    if (g_depth <= depth)
        return;
    g_depth = depth;
    g_current.store(g_depth ? g_nodes[g_depth - 1].get() : nullptr);
}

void progress_set_text(const char *text) { set_text(text ? text : ""); }

void progress_printf_text(const char *format, ...)
{
    if (!format)
        return;
    va_list args;
    va_start(args, format);
    char *text = nullptr;
    zv_vasprintf(&text, format, args);
    va_end(args);
    if (!text)
        return;
    set_text(text);
    std::free(text);
}

void progress_set_done(int64_t done) { with_current([&](ProgressTask &t) { t.done = done; }); }
void progress_set_done_total(int64_t done, int64_t total)
{
    with_current([&](ProgressTask &t) {
        t.done = done;
        t.total = total;
    });
}
void progress_increment() { with_current([](ProgressTask &t) { t.done.fetch_add(1); }); }
void progress_add(int64_t amount) { with_current([&](ProgressTask &t) { t.done.fetch_add(amount); }); }
void progress_set_block(int64_t block) { with_current([&](ProgressTask &t) { t.block = block; }); }
void progress_set_block_count(int64_t count) { with_current([&](ProgressTask &t) { t.block_count = count; }); }
void progress_set_code(uint32_t code) { with_current([&](ProgressTask &t) { t.code = code; }); }
void progress_set_remaining(double seconds) { with_current([&](ProgressTask &t) { t.remaining = seconds; }); }

void progress_set_var(int index, int64_t value)
{
    check_var_index(index);
    with_current([&](ProgressTask &t) { t.vars[index] = value; });
}

int64_t progress_get_var(int index)
{
    check_var_index(index);
    ProgressTask *task = g_current.load();
    return task ? task->vars[index].load() : 0;
}

void progress_set_overall_text(const char *text)
{
    std::lock_guard<std::mutex> lock(g_overall.mutex);
    g_overall.text = text ? text : "";
}

void progress_set_phases(uint64_t count)
{
    g_overall.phase_count = count;
    g_overall.phase_number = 0;
}

void progress_next_phase() { g_overall.phase_number.fetch_add(1); }

void progress_get(EngineProgress &record)
{
    uint64_t phase_count = g_overall.phase_count;
    uint64_t phase_number = g_overall.phase_number;

    std::unique_lock<std::mutex> lock(g_stack_mutex);
    // Without phases the current task is shown; with phases the bottom one.
    ProgressTask *task = g_depth == 0 ? nullptr : phase_count == 0 ? g_nodes[g_depth - 1].get() : g_nodes[0].get();
    TaskValues values = read_values(task);
    std::string task_template = task ? copy_text(task->mutex, task->text) : std::string();
    lock.unlock();

    if (phase_count == 0) {
        if (!task) {
            record.task_text.clear();
            record.overall_text.clear();
            record.task_fraction = record.overall_fraction = -1.0;
            return;
        }
        record.task_text = expand(task_template, values, phase_number, phase_count);
        record.task_fraction = task_fraction(values);
        record.overall_text = record.task_text;
        record.overall_fraction = record.task_fraction;
        return;
    }

    record.task_text = task ? expand(task_template, values, phase_number, phase_count) : std::string();
    record.task_fraction = task ? task_fraction(values) : -1.0;
    record.overall_text = expand(copy_text(g_overall.mutex, g_overall.text), values, phase_number, phase_count);

    // Clamped to 0..1: a done count above the total or one phase too many
    // must not show (and, through the ratchet, keep showing) more than 100%.
    double f = record.task_fraction < 0 ? 0.0 : record.task_fraction;
    double overall = double(phase_number) / double(phase_count) + f / double(phase_count);
    overall = std::min(1.0, std::max(0.0, overall));
    double last = g_overall.last_fraction.load();
    while (last < overall && !g_overall.last_fraction.compare_exchange_weak(last, overall)) {
    }
    record.overall_fraction = std::max(last, overall);
}

void progress_reset_run()
{
    {
        std::lock_guard<std::mutex> lock(g_stack_mutex);
        if (ProgressTask *task = g_current.load())
            task->reset(0, 0);
    }
    g_overall.phase_count = 0;
    g_overall.phase_number = 0;
    g_overall.last_fraction = 0.0;
    std::lock_guard<std::mutex> lock(g_overall.mutex);
    g_overall.text.clear();
}

std::string progress_escape_name(const char *name)
{
    std::string out;
    for (const char *p = name ? name : ""; *p; p++) {
        out += *p;
        if (*p == '$')
            out += '$';
    }
    return out;
}

// ---------------------------------------------------------------------------
// Display variables
//
// A fixed table of named counters that the file modules register once and
// then count into directly. Entries are never removed, so the storage handed
// out stays valid for the life of the process. Guarded by the stack mutex.

namespace {

constexpr size_t kMaxDisplayVars = 512;  // entries in the table
constexpr size_t kDisplayNameSize = 48;  // name field, NUL included
constexpr size_t kNameTableSlots = 16;   // context names and format texts each
constexpr size_t kContextNameSize = 32;  // 31 characters + NUL
constexpr size_t kFormatTextSize = 16;   // 15 characters + NUL
constexpr uint32_t kDisplayPoolSize = 1024;

struct DisplayVariable {
    char name[kDisplayNameSize]; // "" = free entry
    uint8_t context;             // index into g_contexts
    uint8_t format;              // index into g_formats
    int16_t kind;                // >= 0: inline value; -n: n bytes of the pool
    alignas(8) unsigned char value[8]; // inline storage, or the pool offset (u32)
};

DisplayVariable g_vars[kMaxDisplayVars];
size_t g_vars_used = 0;
char g_contexts[kNameTableSlots][kContextNameSize];
char g_formats[kNameTableSlots][kFormatTextSize];
alignas(8) unsigned char g_pool[kDisplayPoolSize];
uint32_t g_pool_used = 0; // always a multiple of 8

// Copies at most size - 1 bytes of text, backing off so that no UTF-8
// sequence is cut in half.
void copy_cut(char *dst, size_t size, const char *text)
{
    size_t n = std::strlen(text);
    if (n > size - 1) {
        n = size - 1;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            n--;
    }
    std::memcpy(dst, text, n);
    dst[n] = '\0';
}

// Index of `text` in a name table, putting it into the first empty slot when
// it is not there; -1 when the table is full. NULL counts as "".
template <size_t N> int intern(char (&table)[kNameTableSlots][N], const char *text)
{
    char cut[N];
    copy_cut(cut, N, text ? text : "");
    int free_slot = -1;
    for (size_t i = 0; i < kNameTableSlots; i++) {
        if (table[i][0] == '\0') {
            if (free_slot < 0)
                free_slot = int(i);
        } else if (std::strcmp(table[i], cut) == 0) {
            return int(i);
        }
    }
    // An empty text is stored in (and matched by) the first free slot, as a
    // slot whose name is empty: it never fills the table on its own.
    if (free_slot >= 0 && cut[0] != '\0')
        std::memcpy(table[free_slot], cut, N);
    return free_slot;
}

void *storage_of(DisplayVariable &var)
{
    if (var.kind >= 0)
        return var.value;
    uint32_t offset;
    std::memcpy(&offset, var.value, sizeof offset);
    return g_pool + offset;
}

} // namespace

int find_add_display_var(const char *name, int16_t kind, const char *context, const char *format, void **value)
{
    if (value)
        *value = nullptr;
    // An empty name marks a free entry; handing one out would let a later
    // variable take the same entry and the two counters would alias.
    if (!name || !*name || !value)
        return -1;
    char cut[kDisplayNameSize];
    copy_cut(cut, sizeof cut, name);
    if (std::strlen(name) >= kDisplayNameSize)
        log_info("find_add_display_var: name \"%s\" truncated to \"%s\".", name, cut);

    std::lock_guard<std::mutex> lock(g_stack_mutex);
    DisplayVariable *free_entry = nullptr;
    for (size_t i = 0; i < g_vars_used; i++) {
        DisplayVariable &var = g_vars[i];
        if (var.name[0] == '\0') {
            if (!free_entry)
                free_entry = &var;
        } else if (std::strcmp(var.name, cut) == 0) {
            *value = storage_of(var);
            return 0;
        }
    }
    if (!free_entry) {
        if (g_vars_used == kMaxDisplayVars)
            return -1;
        free_entry = &g_vars[g_vars_used++];
    }
    int context_index = intern(g_contexts, context);
    int format_index = intern(g_formats, format);
    if (context_index < 0 || format_index < 0)
        return -1;
    std::memset(free_entry->value, 0, sizeof free_entry->value);
    if (kind < 0) {
        // Slices are rounded up to 8 bytes so that every counter is aligned.
        uint32_t size = (uint32_t(-int32_t(kind)) + 7u) & ~7u;
        if (g_pool_used + size >= kDisplayPoolSize)
            return -1;
        std::memcpy(free_entry->value, &g_pool_used, sizeof g_pool_used);
        g_pool_used += size;
    }
    free_entry->kind = kind;
    free_entry->context = uint8_t(context_index);
    free_entry->format = uint8_t(format_index);
    std::memcpy(free_entry->name, cut, sizeof cut);
    *value = storage_of(*free_entry);
    return 0;
}

// ---------------------------------------------------------------------------
// Remaining-time estimator

namespace ZV {

RemainingTimeEstimator::RemainingTimeEstimator(Clock clock) : clock_(clock ? clock : &ZVClockGet) {}

void RemainingTimeEstimator::reset()
{
    base_clock_ = 0;
    settled_ = false;
    last_clock_ = 0;
    last_position_ = 0;
    readings_.clear();
    estimate_ = std::numeric_limits<double>::infinity();
}

bool RemainingTimeEstimator::reached_settle(uint64_t position, uint64_t total) const
{
    return double(position) >= double(total) * (kSettlePercent / 100.0);
}

void RemainingTimeEstimator::take_base(double now, uint64_t position, uint64_t total)
{
    base_clock_ = now;
    settled_ = reached_settle(position, total);
    readings_.clear();
    if (settled_)
        readings_.push_back({now, position});
}

double RemainingTimeEstimator::update(uint64_t position, uint64_t total)
{
    const double now = clock_();
    if (last_clock_ <= 0 || position < last_position_) {
        // The first reading, or a position that went back (a new pass): the
        // rate is measured from here on.
        last_clock_ = now;
        last_position_ = position;
        take_base(now, position, total);
        return estimate_;
    }
    if (!(now > last_clock_))
        return estimate_;
    last_clock_ = now;
    last_position_ = position;

    if (total <= position) {
        estimate_ = 0;
        return estimate_;
    }
    if (!settled_) {
        // What came before the first few per cent (caches, a filled
        // read-ahead buffer) says nothing of the medium's rate.
        take_base(now, position, total);
        return estimate_;
    }
    if (now - readings_.back().clock >= kReadingSeconds)
        readings_.push_back({now, position});
    while (readings_.size() > 1 && readings_[1].clock <= now - kWindowSeconds)
        readings_.pop_front();
    if (now - base_clock_ < kMeasureSeconds)
        return estimate_; // a burst or two would rule a rate measured over less
    const Reading &from = readings_.front();
    const double rate = double(position - from.position) / (now - from.clock);
    estimate_ = rate > 0 ? double(total - position) / rate : std::numeric_limits<double>::infinity();
    return estimate_;
}

} // namespace ZV
