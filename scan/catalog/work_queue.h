// WorkQueue: a first-in first-out queue of u32 requests with a mutex and a
// condition variable, shared by a posting thread and one worker.
//
// Besides the u32 values, a queue carries a stop message that is not a
// value: postStop() queues it and take() reports it by returning false, so
// no request number can ever be mistaken for "stop". A stop queued behind
// requests is seen only after them.
//
// Not promised: fairness between several takers (one worker is assumed).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

class WorkQueue {
public:
    WorkQueue() = default;
    WorkQueue(const WorkQueue &) = delete;
    WorkQueue &operator=(const WorkQueue &) = delete;

    // Appends a request and wakes a waiting taker.
    void post(uint32_t value)
    {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            items_.push_back(Message{value, false});
        }
        ready_.notify_one();
    }

    // Appends the stop message.
    void postStop()
    {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            items_.push_back(Message{0, true});
        }
        ready_.notify_one();
    }

    // Waits while the queue is empty, then removes the front message: true
    // with its value for a request, false for the stop message.
    bool take(uint32_t *value)
    {
        std::unique_lock<std::mutex> hold(mutex_);
        ready_.wait(hold, [this] { return !items_.empty(); });
        Message front = items_.front();
        items_.pop_front();
        if (!front.stop && value != nullptr)
            *value = front.value;
        return !front.stop;
    }

    // Removes the requests at the front up to (not including) the first stop
    // message, without waiting; returns how many were removed. A worker that
    // is about to act on the current state calls it to merge requests that
    // the same action serves.
    size_t coalesce()
    {
        std::lock_guard<std::mutex> hold(mutex_);
        size_t removed = 0;
        while (!items_.empty() && !items_.front().stop) {
            items_.pop_front();
            ++removed;
        }
        return removed;
    }

    size_t size() const
    {
        std::lock_guard<std::mutex> hold(mutex_);
        return items_.size();
    }

private:
    struct Message {
        uint32_t value;
        bool stop;
    };
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Message> items_;
};
