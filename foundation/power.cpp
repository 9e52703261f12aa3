// Counted power hold over the platform interface.

#include "foundation/power.h"

#include <cstdint>

#include "foundation/log.h"

namespace ZV {

void PowerImpLinux::keepAwake()
{
    // Nothing to call: without a session manager (no logind on a server or in
    // a container) there is no sleep to inhibit. Say so once, so a log reader
    // knows the hold was not passed on.
    if (!logged_) {
        logged_ = true;
        log_info("Power: no session manager to keep the system awake; holds are counted only");
    }
}

void PowerImpLinux::letSleep() {}

std::unique_ptr<PowerImp> makePowerImp()
{
    return std::make_unique<PowerImpLinux>();
}

Power::Power() : imp_(makePowerImp()) {}

Power::Power(std::unique_ptr<PowerImp> imp) : imp_(imp ? std::move(imp) : makePowerImp()) {}

Power::~Power()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ > 0) {
        count_ = 0;
        imp_->letSleep();
    }
}

void Power::hold()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == UINT32_MAX)
        return; // cannot count further; the system is kept awake already
    if (++count_ == 1)
        imp_->keepAwake();
}

void Power::release()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0)
        return;
    if (--count_ == 0)
        imp_->letSleep();
}

uint32_t Power::holdCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

} // namespace ZV
