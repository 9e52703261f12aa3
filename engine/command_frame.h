// The frame every engine command runs in.
//
// Made at the start of a command on the engine thread, it holds power (the
// computer stays awake), raises the command depth (the outermost command
// opens a run of abort and stop requests), sets the engine state, pushes the
// command's name as log context and logs "CMD Started". finish() records the
// command's status and the source line where it was decided; the end of the
// frame lowers the depth, at depth 0 clears the run's flags and progress,
// logs "CMD Succeeded" (0), "CMD Aborted" (-5) or "CMD Failed (%d) line %d",
// pops the log context, sets the engine state back and releases power.
// A frame never finished counts as failed (-1) at the line it was made.
#pragma once

#include <atomic>

#include "foundation/power.h"
#include "foundation/progress.h"

// The engine states of the commands (0 between commands).
enum : int {
    ENGINE_STATE_SCAN = 1,
    ENGINE_STATE_RECOVER = 2,
    ENGINE_STATE_RELOAD = 3,
    ENGINE_STATE_TREE = 7,
};

class HVCommandFrame {
public:
    // state: the engine state number while the command runs.
    HVCommandFrame(const char *name, int state, ZV::Power &power, std::atomic<int> &depth, int line);
    ~HVCommandFrame();
    HVCommandFrame(const HVCommandFrame &) = delete;
    HVCommandFrame &operator=(const HVCommandFrame &) = delete;

    // The command's status and the line that decided it; returns status.
    int finish(int status, int line);

private:
    ZV::Power &power_;
    std::atomic<int> &depth_;
    int previous_state_;
    int status_ = -1;
    int line_;
    ZV::ProgressStackGuard progress_; // no task of the command outlives it
};
