// Engine state and run flags. See engine_status.h for the run rule.
#include "foundation/engine_status.h"

#include "foundation/progress.h"

#include <atomic>
#include <cstdint>

namespace {

// Bits of the run word. Abort and stop requests share one atomic byte with the
// "run open" mark so that closing a run and clearing its requests is a single
// exchange that no request can slip between.
enum : uint8_t {
    RUN_ABORT = 1,
    RUN_STOP = 2,
    RUN_OPEN = 4,
};

std::atomic<int> g_state{0};
std::atomic<uint8_t> g_run{0};
std::atomic<uint8_t> g_abort_enabled{0};
std::atomic<uint8_t> g_stop_enabled{0};

// Sets `bit` only while the run is open; returns whether it was set before.
int set_run_bit(uint8_t bit)
{
    uint8_t old = g_run.load();
    do {
        if (!(old & RUN_OPEN))
            return 0;
        if (old & bit)
            return 1;
    } while (!g_run.compare_exchange_weak(old, uint8_t(old | bit)));
    return 0;
}

} // namespace

int set_engine_state(int state) { return g_state.exchange(state); }
int get_engine_state() { return g_state.load(); }
int engine_is_busy() { return g_state.load() != 0; }

int begin_run_flags() { return (g_run.fetch_or(RUN_OPEN) & RUN_OPEN) != 0; }
int run_flags_open() { return (g_run.load() & RUN_OPEN) != 0; }

int request_abort() { return set_run_bit(RUN_ABORT); }
int abort_requested() { return (g_run.load() & RUN_ABORT) != 0; }

int request_stop()
{
    if (!g_stop_enabled.load())
        return 0;
    return set_run_bit(RUN_STOP);
}

int stop_requested() { return (g_run.load() & RUN_STOP) != 0; }
int clear_stop_request() { return (g_run.fetch_and(uint8_t(~RUN_STOP)) & RUN_STOP) != 0; }

int set_abort_enabled(int enabled) { return g_abort_enabled.exchange(enabled == 1 ? 1 : 0); }
int set_stop_enabled(int enabled) { return g_stop_enabled.exchange(enabled == 1 ? 1 : 0); }
int abort_enabled() { return g_abort_enabled.load(); }
int stop_enabled() { return g_stop_enabled.load(); }

void clear_run_flags()
{
    g_run.exchange(0);
    progress_reset_run();
}
