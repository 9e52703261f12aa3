// Process-wide notification centre: see notify.h for the promises.
//
// Layout:
// - name table: name -> Entry, hashed with 32-bit FNV-1a (8 buckets to begin
//   with, load factor 1.0). An Entry holds the name's id (from 1, in order of
//   first sight), the thread delivering it now (none when idle) and the
//   arguments posted by other threads meanwhile.
// - observer list: shared Observer records {id, callback, context} in
//   registration order. A delivery copies the records of its id and checks,
//   under the lock, that each is still registered just before calling it; the
//   record's `running` count tells a removing thread to wait.
// - one mutex over all of it, never held while a callback runs.
#include "foundation/notify.h"

#include "foundation/console_log.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

struct Fnv1a {
    size_t operator()(const std::string &s) const noexcept
    {
        uint32_t h = 0x811C9DC5u;
        for (unsigned char c : s) {
            h ^= c;
            h *= 16777619u;
        }
        return h;
    }
};

struct Entry {
    uint32_t id = 0;
    std::thread::id deliverer;           // default id: nobody delivering
    std::deque<std::uintptr_t> pending;  // posts from other threads meanwhile
};

struct Observer {
    Observer(uint32_t i, notification_callback cb, void *ctx) : id(i), callback(cb), context(ctx) {}
    uint32_t id;
    notification_callback callback;
    void *context;
    bool removed = false;
    std::thread::id running_on;  // thread inside the callback now, if any
};

// Pending arguments of one name are kept distinct (pointer arguments must each
// arrive), but a storm of equal posts collapses into one; this bounds the queue
// by the number of distinct live arguments.
constexpr size_t kMaxPendingPerName = 1024;

class NotificationCenter {
public:
    NotificationCenter()
    {
        names_.max_load_factor(1.0f);
        names_.rehash(8);
    }

    void add(const char *name, notification_callback cb, void *ctx)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint32_t id = entry(name).id;
        for (const auto &o : observers_)
            if (o->id == id && o->callback == cb && o->context == ctx)
                return;
        observers_.push_back(std::make_shared<Observer>(id, cb, ctx));
    }

    void remove(const char *name, notification_callback cb, void *ctx)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        uint32_t id = entry(name).id;
        auto it = std::find_if(observers_.begin(), observers_.end(), [&](const auto &o) {
            return o->id == id && o->callback == cb && o->context == ctx;
        });
        if (it == observers_.end())
            return;
        std::shared_ptr<Observer> gone = *it;
        observers_.erase(it);
        gone->removed = true;
        // Wait for a call under way on another thread; from inside the
        // callback itself there is nothing to wait for.
        std::thread::id self = std::this_thread::get_id();
        idle_.wait(lock, [&] { return gone->running_on == std::thread::id() || gone->running_on == self; });
    }

    void post(const char *name, std::uintptr_t argument)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        Entry &e = entry(name);
        std::thread::id self = std::this_thread::get_id();
        if (e.deliverer == self)
            return;  // re-entrant post of the name being delivered: dropped
        if (e.deliverer != std::thread::id()) {
            // Another thread is delivering this name: it delivers ours next.
            if (std::find(e.pending.begin(), e.pending.end(), argument) == e.pending.end()) {
                if (e.pending.size() >= kMaxPendingPerName)
                    ZV::log(2, "%s: too many pending posts of %s, one dropped", "notification_post", name);
                else
                    e.pending.push_back(argument);
            }
            return;
        }
        e.deliverer = self;
        for (;;) {
            deliver(lock, e.id, name, argument);
            if (e.pending.empty())
                break;
            argument = e.pending.front();
            e.pending.pop_front();
        }
        e.deliverer = std::thread::id();
    }

private:
    // Called and returns with the lock held; releases it around each callback.
    void deliver(std::unique_lock<std::mutex> &lock, uint32_t id, const char *name, std::uintptr_t argument)
    {
        std::vector<std::shared_ptr<Observer>> round;
        for (const auto &o : observers_)
            if (o->id == id)
                round.push_back(o);
        std::thread::id self = std::this_thread::get_id();
        for (const auto &o : round) {
            if (o->removed || o->callback == nullptr)
                continue;
            o->running_on = self;
            lock.unlock();
            try {
                o->callback(name, argument, o->context);
            } catch (const std::exception &ex) {
                ZV::log(2, "%s: observer of %s failed: %s", "notification_post", name, ex.what());
            } catch (...) {
                ZV::log(2, "%s: observer of %s failed", "notification_post", name);
            }
            lock.lock();
            o->running_on = std::thread::id();
            if (o->removed)
                idle_.notify_all();
        }
    }

    // Finds the name's entry, creating it with the next id. Entries are never
    // removed, and unordered_map keeps references valid across rehashing.
    Entry &entry(const char *name)
    {
        auto [it, added] = names_.try_emplace(name);
        if (added)
            it->second.id = ++last_id_;
        return it->second;
    }

    std::mutex mutex_;
    std::condition_variable idle_;  // a removed observer's call has ended
    std::unordered_map<std::string, Entry, Fnv1a> names_;
    std::vector<std::shared_ptr<Observer>> observers_;
    uint32_t last_id_ = 0;
};

// Made on first use and never destroyed, so that posts from static
// initialisation or from threads still running at exit find it.
NotificationCenter &center()
{
    static NotificationCenter *instance = new NotificationCenter;
    return *instance;
}

} // namespace

void notification_add_observer(const char *name, notification_callback callback, void *context)
{
    if (name == nullptr || callback == nullptr)
        return;
    center().add(name, callback, context);
}

void notification_remove_observer(const char *name, notification_callback callback, void *context)
{
    if (name == nullptr || callback == nullptr)
        return;
    center().remove(name, callback, context);
}

void notification_post(const char *name, std::uintptr_t argument)
{
    if (name == nullptr)
        return;
    center().post(name, argument);
}
