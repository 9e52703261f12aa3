// The process-wide engine state number and the run flags that long loops poll.
//
// State: 0 while idle; while a command runs the engine stores its number
// (1 scan, 2 recovery, 3 media-list reload, 7 tree information, 8 clone,
// 9 format, 12 card test, 13 boot disk) and 0 again when it ends.
//
// Flags: abort requested, stop requested, abort enabled, stop enabled. Every
// change is one atomic operation, so the block reader's read-ahead thread and
// the front end's thread may poll and request at any time.
//
// The run rule (abort and stop requests against the end of a command)
// -------------------------------------------------------------------
// A request belongs to the run it was made in. A "run" lasts from
// begin_run_flags() (the engine's command frame calls it when the command
// depth rises from 0) to clear_run_flags() (called when the depth falls back
// to 0). The two request bits and the "run open" bit live in one atomic byte:
//   - request_abort / request_stop set their bit only while the run is open;
//     outside a run they change nothing and return 0. A Cancel click that
//     arrives after a command has ended is therefore dropped, and can never
//     abort the next queued command.
//   - clear_run_flags clears both request bits and closes the run in a single
//     exchange. A request racing it is ordered either before it (it lands in
//     the ending run, which is over anyway, and is cleared) or after it (no
//     run is open: dropped). It can neither be lost while its command still
//     runs nor leak into the next one.
//   - begin_run_flags opens the run; a request made after it belongs to the
//     new command, which is what a user who clicks Cancel while it runs wants.
// Callers outside the engine (tests, tools) that want requests to count must
// open a run first, exactly as the engine does.
#pragma once

// Stores the state and returns the previous one (atomic exchange).
int set_engine_state(int state);
int get_engine_state();
// Whether the state is not 0.
int engine_is_busy();

// Opens a run (see the run rule above); requests are accepted from now on.
// Does not clear anything: the request bits are already clear, because they
// cannot be set while no run is open. Returns whether a run was open already.
int begin_run_flags();
// Whether a run is open.
int run_flags_open();

// Sets abort requested while a run is open; returns the previous value
// (0 and no change when no run is open).
int request_abort();
int abort_requested();

// Sets stop requested when stop is enabled and a run is open; returns the
// previous value. Otherwise returns 0 and changes nothing.
int request_stop();
int stop_requested();
// Clears stop requested and returns its previous value (the thorough scan
// calls it after its block loop so the stop does not reach later phases).
int clear_stop_request();

// The flag becomes true only for the argument 1; any other value clears it.
// Each returns the previous value. The enabled flags keep their values across
// runs: each command sets the ones it uses.
int set_abort_enabled(int enabled);
int set_stop_enabled(int enabled);
int abort_enabled();
int stop_enabled();

// End of the outermost command: clears abort requested and stop requested and
// closes the run (one atomic exchange, see the run rule); resets the current
// progress task's counters, code, remaining time, variables and text, and the
// overall progress (phase count, phase number, last overall fraction, text).
// It pops no task (ZV::ProgressStackGuard does that) and leaves the enabled
// flags alone.
void clear_run_flags();
