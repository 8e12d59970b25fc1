#include "edge_queue.hpp"

#include <utility>

namespace edge {

bool request_queue::reserve(size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool fits = held_requests_ < max_requests_ && (held_bytes_ + len <= max_bytes_ || held_bytes_ == 0);
    if (fits && !closed_) {
        ++held_requests_;
        held_bytes_ += len;
        return true;
    }
    waiters_ = true;
    return false;
}

void request_queue::unreserve(size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    --held_requests_;
    held_bytes_ -= len;
}

bool request_queue::push(request &&r) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!closed_) {
            queued_bytes_ += r.charge;
            queue_.push_back(std::move(r));
            cv_.notify_one();
            return true;
        }
        --held_requests_;
        held_bytes_ -= r.charge;
    }
    request dropped = std::move(r); // its token settles outside the lock
    return false;
}

std::optional<request> request_queue::take(std::chrono::milliseconds wait) {
    std::optional<request> out;
    bool wake = false;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, wait, [this] { return closed_ || !queue_.empty(); });
        if (closed_ || queue_.empty())
            return std::nullopt;
        out.emplace(std::move(queue_.front()));
        queue_.pop_front();
        --held_requests_;
        held_bytes_ -= out->charge;
        queued_bytes_ -= out->charge;
        wake = std::exchange(waiters_, false);
    }
    if (wake && on_room_)
        on_room_();
    return out;
}

void request_queue::close() {
    std::deque<request> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        dropped.swap(queue_);
        for (const auto &r : dropped)
            held_bytes_ -= r.charge;
        held_requests_ -= dropped.size();
        queued_bytes_ = 0;
    }
    cv_.notify_all();
    // dropped goes here, outside the lock: each token tells its connection.
}

size_t request_queue::queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

size_t request_queue::queued_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queued_bytes_;
}

} // namespace edge
