// ZV::Timer: calls a function after an interval, once or repeatedly, on a
// thread of its own.
//
//   ZV::Timer reload;
//   reload.set(1500, [&] { queue_reload(); }, false);
//   reload.stop(); reload.start();   // on every device event
//
// Semantics:
// - start() always begins a fresh countdown, also when one is running or the
//   callback is running right now, so a burst of stop+start calls yields one
//   call, one interval after the last start. A start made while the callback
//   runs makes a one-shot timer fire again.
// - stop() cancels a pending call; a callback already running is not
//   interrupted.
// - A repeating timer starts its next countdown when the callback returns.
// - An empty callback is skipped; an exception from the callback is caught
//   and logged and the timer carries on.
// - start, stop and set may be called from any thread, the callback included.
// - The destructor returns promptly while the timer waits. When the callback
//   is running on another thread, the destructor waits for it to return, so
//   the callback never outlives what it refers to: do not destroy the timer
//   while holding a lock the callback takes. Destroying the timer from inside
//   its own callback is allowed; the thread then ends by itself afterwards.
//
// The first start launches the thread; a timer never started has none.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace ZV {

class Timer {
public:
    Timer();
    ~Timer();
    Timer(const Timer &) = delete;
    Timer &operator=(const Timer &) = delete;

    // Stores the interval (milliseconds; 0 or less fires at once), the
    // callback and the repeat flag; takes effect at the next countdown.
    void set(int32_t interval_ms, std::function<void()> callback, bool repeat);
    // Throws std::system_error when the thread cannot be started.
    void start();
    void stop();

    struct Imp;

private:
    // Shared with the worker thread so that destruction from inside the
    // callback leaves the worker a valid object to finish with.
    std::shared_ptr<Imp> imp_;
};

} // namespace ZV
