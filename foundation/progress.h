// Progress of the running engine command, as the front end shows it.
//
// The command thread keeps a stack of progress tasks; the top one is the
// current task, and every setter below acts on it with one atomic store, so
// per-block updates never wait and never format text. The front end polls
// `progress_get` about ten times a second; only then are the templates
// expanded, with "$" placeholders filled in from the task's numbers:
//
//   $z $Z       done / total as a byte size ("1.5 MB"; negative shows as 0)
//   $p $P       done / total as a grouped whole number ("1,234"; negative
//               shows as 0, so the empty task's total of -1 is no huge number)
//   $b $B       block / block count, grouped (negative shows as 0)
//   $e $E       phase number + 1 / phase count, grouped
//   $v0..$v3    a task variable, grouped (negative shows as 0); $V0..$V3 the
//               same as a byte size
//   $t          the task's four-character code, trailing blanks removed
//   $R          the remaining time as a duration text ("About 3 minutes");
//               empty when the remaining time is negative, NaN or infinite
//   $$          one "$"
// Any other "$x" is copied as it is, and a "$" at the very end stays "$".
// A name inserted into a template must go through progress_escape_name, or
// a file called "$p.jpg" would show a number instead of its name.
//
// Storage: tasks live in nodes that are never freed or moved while the
// process runs; a pop only marks the node unused and a later push reuses it.
// A setter that races a pop (for instance from a helper thread) therefore
// writes into a node no one shows, never into freed memory. The stack itself
// and the display-variable table are guarded by one mutex, which the poller
// holds while it reads tasks.
//
// With an empty stack every setter does nothing, and a pop does nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <string>

#include "foundation/engine_status.h"
#include "foundation/sysutil.h"

// The progress record handed to the front end.
struct EngineProgress {
    double overall_fraction = -1.0; // 0..1, or -1 when nothing is running
    std::string overall_text;       // expanded, UTF-8
    double task_fraction = -1.0;    // done / total of the task shown, or -1
    std::string task_text;          // expanded, UTF-8
};

// Pushes a task (code, block, block count, remaining time and variables 0,
// empty text) and makes it current.
void progress_push(int64_t done, int64_t total);
// Removes the top task; the one below, or none, becomes current.
void progress_pop();
// Number of tasks on the stack.
size_t progress_depth();
// Pops until at most `depth` tasks remain.
void progress_pop_to(size_t depth);

// Template of the current task (copied under the task's mutex).
void progress_set_text(const char *text); // NULL counts as ""
// printf rules, any length; a format error leaves the text unchanged.
void progress_printf_text(const char *format, ...) ZV_PRINTF(1, 2);

void progress_set_done(int64_t done);
void progress_set_done_total(int64_t done, int64_t total);
void progress_increment();
void progress_add(int64_t amount);
void progress_set_block(int64_t block);
void progress_set_block_count(int64_t count);
void progress_set_code(uint32_t code); // four characters, first one in the top byte
void progress_set_remaining(double seconds);
// index 0..3; any other index throws std::out_of_range("bad v index"),
// whether or not a task exists.
void progress_set_var(int index, int64_t value);
// The current task's variable (0 with an empty stack); same index rule.
int64_t progress_get_var(int index);

// Overall progress, shown across the phases of a multi-phase command.
void progress_set_overall_text(const char *text); // NULL counts as ""
// Sets the phase count and resets the phase number to 0.
void progress_set_phases(uint64_t count);
void progress_next_phase();

// Fills the whole record:
// - without phases: the current task's text and fraction, and the same as
//   overall text and fraction (-1 and empty texts with no task);
// - with phases: the bottom task (the first pushed) is shown; the overall
//   fraction is (phase number + task fraction) / phase count, clamped to
//   0..1, and never goes backwards within a run (clear_run_flags resets it).
// A task fraction is done / total clamped to 0..1, or -1 when total is 0 or
// less.
void progress_get(EngineProgress &record);

// The other half of clear_run_flags (which also closes the run's requests):
// resets the current task (counters, code, remaining, variables, text) and
// the overall progress (phases, last overall fraction, text). Pops nothing.
void progress_reset_run();

// `name` with every "$" doubled, for inserting names into templates
// ("$p.jpg" -> "$$p.jpg"). NULL gives "".
std::string progress_escape_name(const char *name);

// Named counters the file modules count into (shown by diagnostic views).
// Returns 0 and the storage through *value: 8 inline bytes for kind >= 0, or
// -kind bytes (rounded up to 8 for alignment) of a 1024-byte shared pool for a
// negative kind. An existing name returns its storage unchanged. Returns -1
// and *value = NULL when the name is NULL or empty, when all 512 entries or
// one of the 16-name context and format tables are full, or when the pool
// has no room. Names longer than 47 bytes are cut (and logged each time).
int find_add_display_var(const char *name, int16_t kind, const char *context, const char *format,
                         void **value);

namespace ZV {

// Pops the progress stack back to the depth it had when the guard was made,
// so a command that returns early (or throws) leaves no stale task behind.
// Make one at the start of each command, on the command thread.
class ProgressStackGuard {
public:
    ProgressStackGuard() : depth_(progress_depth()) {}
    ~ProgressStackGuard() { progress_pop_to(depth_); }
    ProgressStackGuard(const ProgressStackGuard &) = delete;
    ProgressStackGuard &operator=(const ProgressStackGuard &) = delete;

private:
    size_t depth_;
};

// Remaining seconds from successive positions: what is left divided by the
// rate measured over the last kWindowSeconds (units moved / seconds passed
// since a reading kept from then), so bursts of a read-ahead reader (a buffer
// handed over at once, then a wait for the next) even out instead of the fast
// updates ruling an average of rates, and a change of speed (a card whose
// last part reads at a hundredth of the speed) shows in the estimate within
// about that window, where a rate since the start would follow it only by
// the end. The base is taken where the position reaches the first few per
// cent of the total (kSettlePercent), so that a start served from caches or a
// filled read-ahead buffer does not count, and the rate counts as measured
// once kMeasureSeconds have passed since the base: one burst more or less
// then moves the estimate a little only. Until then there is no estimate
// (+infinity: $R shows nothing), never a guess that says "A few seconds" on a
// scan that has most of its way to go.
// Not thread-safe: one estimator per loop.
class RemainingTimeEstimator {
public:
    using Clock = double (*)(); // seconds, monotonic
    static constexpr double kSettlePercent = 3;
    static constexpr double kMeasureSeconds = 2;
    // The rate is measured over this span (once it has passed since the
    // base): long enough that a read-ahead reader's bursts even out, short
    // enough that a change of speed shows within a minute.
    static constexpr double kWindowSeconds = 30;
    // One reading a second is kept for the window (about 32 at most).
    static constexpr double kReadingSeconds = 1;

    // `clock` defaults to ZVClockGet; tests pass their own.
    explicit RemainingTimeEstimator(Clock clock = nullptr);

    // Back to no reading and no estimate (the clock source stays).
    void reset();
    // The first call (or the first after reset) only records the reading and
    // returns the last estimate (+infinity at first); a call at the same or an
    // earlier clock reading returns the last estimate unchanged, and so does
    // one whose position went back (a new pass: the base is taken again
    // there). A call that reaches kSettlePercent of the total for the first
    // time takes the base there. Otherwise: 0 when the position is at or past
    // the total; the last estimate while less than kMeasureSeconds have passed
    // since the base; else what is left / the rate since the newest reading
    // kept at least kWindowSeconds ago (the base while there is none), or
    // +infinity when nothing moved since then.
    double update(uint64_t position, uint64_t total);

private:
    struct Reading {
        double clock;
        uint64_t position;
    };

    bool reached_settle(uint64_t position, uint64_t total) const;
    // Forgets the readings and takes the base at this one when it lies past
    // the first few per cent.
    void take_base(double now, uint64_t position, uint64_t total);

    Clock clock_;
    double base_clock_ = 0;
    bool settled_ = false; // the base lies past the first few per cent
    double last_clock_ = 0;
    uint64_t last_position_ = 0;
    std::deque<Reading> readings_; // from the base on, one a second, the oldest one at least a window ago
    double estimate_ = std::numeric_limits<double>::infinity();
};

} // namespace ZV
