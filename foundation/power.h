// Keeping the computer awake while an engine command runs.
//
// ZV::Power counts holds: the first hold asks the platform to keep the system
// awake, the release that brings the count back to 0 lets it sleep again, so
// nested commands share one hold. The platform side is a small interface;
// tests hand in their own.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

namespace ZV {

class PowerImp {
public:
    virtual ~PowerImp() = default;
    virtual void keepAwake() = 0;
    virtual void letSleep() = 0;
};

// Linux: a server has no session manager to ask, so both calls do nothing;
// the first keepAwake logs (at information level) that the hold is counted
// only, once per object.
class PowerImpLinux : public PowerImp {
public:
    void keepAwake() override;
    void letSleep() override;

private:
    bool logged_ = false;
};

// The platform implementation for this system.
std::unique_ptr<PowerImp> makePowerImp();

class Power {
public:
    // Uses makePowerImp().
    Power();
    // Uses imp (a fake in tests); a null imp means makePowerImp().
    explicit Power(std::unique_ptr<PowerImp> imp);
    // Lets the system sleep first if a hold is still active.
    ~Power();
    Power(const Power &) = delete;
    Power &operator=(const Power &) = delete;

    void hold();
    // A release without a hold does nothing.
    void release();
    uint32_t holdCount() const;

private:
    mutable std::mutex mutex_;
    uint32_t count_ = 0;
    std::unique_ptr<PowerImp> imp_;
};

} // namespace ZV
