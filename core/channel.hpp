// Unbounded multi-producer, single-consumer queue of driver messages. A send
// never waits; the receiver takes everything queued at once.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "core/op.hpp"
#include "core/runtime/runtime.hpp"

namespace velnor {

class Channel {
public:
    // Queues `m`; when the receiver is gone, hands it back untouched.
    // Returns true when queued.
    bool send(Msg& m);
    // Takes every queued message into `out` (cleared first). Returns false
    // when the sender is gone and nothing was queued: the channel is over.
    bool take_all(std::vector<Msg>& out);
    bool has_pending() const noexcept { return pending_.load(std::memory_order_seq_cst); }

    void set_waker(std::shared_ptr<rt::Waker> w);
    void close_sender();
    void close_receiver();

private:
    mutable std::mutex mu_;
    std::vector<Msg> queue_;
    bool sender_open_ = true;
    bool receiver_open_ = true;
    std::shared_ptr<rt::Waker> waker_;
    // Mirrors "queue_ not empty or sender closed" for the parking check.
    std::atomic<bool> pending_{false};
};

}  // namespace velnor
