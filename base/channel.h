// A bounded hand-over between the stages of a pipeline that run on their own
// threads (decode, render, encode): the producer waits while it is full, so
// the memory the stages hold does not grow with the length of the work.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace vistereo {

// A hand-over between two stages holding at most `capacity` items.
template <class T>
class Channel {
public:
    explicit Channel(size_t capacity) : capacity_(capacity) {}

    // False when the consumer has given up: the item is dropped.
    bool push(T item) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return items_.size() < capacity_; });
        if (abandoned_) return false;
        items_.push_back(std::move(item));
        ++pushed_;
        changed_.notify_all();
        return true;
    }
    // The next item, or nothing once the channel is closed and empty.
    std::optional<T> pop() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !items_.empty() || closed_; });
        if (items_.empty()) return std::nullopt;
        T item = std::move(items_.front());
        items_.pop_front();
        changed_.notify_all();
        return item;
    }
    // Returns once the consumer has taken everything handed over, or the
    // consumer has given up.
    void waitUntilTaken() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return items_.empty() || abandoned_; });
    }
    // The consumer has finished its first work on one more item it took.
    void finished() {
        std::lock_guard lock(mutex_);
        ++finished_;
        changed_.notify_all();
    }
    // Returns once the consumer has taken everything handed over and said it
    // finished with each, or has given up: for a producer that must not hold
    // its next item while the consumer's first work on the last one needs
    // the memory.
    void waitUntilFinished() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return finished_ == pushed_ || abandoned_; });
    }
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }
    // The consumer takes nothing more: what is left is handed back.
    std::deque<T> abandon() {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
        capacity_ = SIZE_MAX;
        changed_.notify_all();
        return std::move(items_);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<T> items_;
    size_t capacity_;
    size_t pushed_ = 0, finished_ = 0;
    bool closed_ = false;
    bool abandoned_ = false;
};

}  // namespace vistereo
