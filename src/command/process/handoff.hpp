// Hands one value at a time from a producer thread to a consumer thread. The
// producer waits until the consumer has taken the value, so between them the
// two hold at most two values: the one being handed over and the one being
// used or made.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

namespace marlinox::command {

template <class T>
class Handoff {
public:
    // False when the consumer has cancelled: the value is dropped.
    bool give(T value) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !slot_ || cancelled_; });
        if (cancelled_) return false;
        slot_.emplace(std::move(value));
        changed_.notify_all();
        changed_.wait(lock, [&] { return !slot_ || cancelled_; });
        return !cancelled_;
    }
    // No more values will come.
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }
    // Stops both sides: give() and take() return at once from now on.
    void cancel() {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }
    // The next value; nothing once closed and drained, or cancelled.
    std::optional<T> take() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return slot_ || closed_ || cancelled_; });
        if (cancelled_ || !slot_) return std::nullopt;
        std::optional<T> value(std::move(slot_));
        slot_.reset();
        changed_.notify_all();
        return value;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<T> slot_;
    bool closed_ = false;
    bool cancelled_ = false;
};

}  // namespace marlinox::command
