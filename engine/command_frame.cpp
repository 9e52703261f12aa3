#include "engine/command_frame.h"

#include "foundation/engine_status.h"
#include "foundation/log.h"

HVCommandFrame::HVCommandFrame(const char *name, int state, ZV::Power &power, std::atomic<int> &depth, int line)
    : power_(power), depth_(depth), line_(line)
{
    power_.hold();
    if (depth_.fetch_add(1) == 0)
        begin_run_flags();
    previous_state_ = set_engine_state(state);
    log_push_context(name);
    log_info("CMD Started");
}

HVCommandFrame::~HVCommandFrame()
{
    if (depth_.fetch_sub(1) == 1)
        clear_run_flags();
    if (status_ == 0)
        log_info("CMD Succeeded");
    else if (status_ == -5)
        log_info("CMD Aborted");
    else
        log_error("CMD Failed (%d) line %d", status_, line_);
    log_pop_context();
    set_engine_state(previous_state_);
    power_.release();
}

int HVCommandFrame::finish(int status, int line)
{
    status_ = status;
    line_ = line;
    return status;
}
