// ZV::Timer: one worker thread per timer, a mutex and a condition variable.
//
// Implementation notes:
// - Every start() raises `generation`. A countdown remembers the generation
//   it began under and is abandoned as soon as that changes, so a start
//   always restarts the countdown (stop+start bursts debounce to one call
//   after the last start), and a one-shot timer goes back to "stopped" after
//   its callback only when no start came in meanwhile.
// - Countdowns use the steady clock; a change of the wall clock does not
//   shorten or stretch them.
// - The worker shares ownership of Imp, so a destructor running inside the
//   callback can detach the worker instead of joining itself.
#include "foundation/timer.h"

#include "foundation/console_log.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace ZV {

namespace {
enum TimerState : int { kStopped = 0, kCounting = 1, kQuit = 2 };
}

struct Timer::Imp {
    int32_t interval = 0;            // milliseconds
    std::function<void()> callback;  // copied out before each call
    bool repeat = false;
    std::thread worker;
    int state = kStopped;
    uint64_t generation = 0;  // raised by every start
    std::mutex mutex;         // guards everything above
    std::condition_variable wake;

    void run();
};

void Timer::Imp::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (state != kQuit) {
        if (state == kStopped) {
            wake.wait(lock);
            continue;
        }
        const uint64_t gen = generation;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval > 0 ? interval : 0);
        while (state == kCounting && generation == gen && std::chrono::steady_clock::now() < deadline)
            wake.wait_until(lock, deadline);
        if (state != kCounting || generation != gen)
            continue;  // stopped, restarted or quitting: decide afresh

        std::function<void()> call = callback;
        lock.unlock();
        if (call) {
            try {
                call();
            } catch (const std::exception &ex) {
                ZV::log(2, "%s: callback failed: %s", "ZV::Timer", ex.what());
            } catch (...) {
                ZV::log(2, "%s: callback failed", "ZV::Timer");
            }
        }
        lock.lock();
        // A one-shot timer stops unless a start (or stop) came in during the
        // call; a repeating one simply counts down again.
        if (!repeat && state == kCounting && generation == gen)
            state = kStopped;
    }
}

Timer::Timer() : imp_(std::make_shared<Imp>()) {}

Timer::~Timer()
{
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(imp_->mutex);
        imp_->state = kQuit;
        worker = std::move(imp_->worker);
    }
    imp_->wake.notify_all();
    if (!worker.joinable())
        return;
    if (worker.get_id() == std::this_thread::get_id())
        worker.detach();  // inside the callback: the worker ends on its own and frees Imp
    else
        worker.join();
}

void Timer::set(int32_t interval_ms, std::function<void()> callback, bool repeat)
{
    std::lock_guard<std::mutex> lock(imp_->mutex);
    imp_->interval = interval_ms;
    imp_->callback = std::move(callback);
    imp_->repeat = repeat;
}

// start and stop notify while holding the mutex: once it is released they
// touch nothing, so the callback may destroy the timer the moment it can run.
void Timer::start()
{
    std::lock_guard<std::mutex> lock(imp_->mutex);
    if (!imp_->worker.joinable()) {
        std::shared_ptr<Imp> imp = imp_;
        imp_->worker = std::thread([imp] { imp->run(); });  // may throw std::system_error
    }
    imp_->state = kCounting;
    ++imp_->generation;
    imp_->wake.notify_all();
}

void Timer::stop()
{
    std::lock_guard<std::mutex> lock(imp_->mutex);
    imp_->state = kStopped;
    imp_->wake.notify_all();
}

} // namespace ZV
