#include "core/channel.hpp"

namespace velnor {

bool Channel::send(Msg& m) {
    std::shared_ptr<rt::Waker> waker;
    {
        std::lock_guard lk(mu_);
        if (!receiver_open_) return false;
        queue_.push_back(std::move(m));
        // seq_cst: the driver stores its parked flag and then loads this; we
        // store this and then exchange the parked flag. With anything weaker
        // both sides could miss the other's store and the driver would sleep
        // on a queued message.
        pending_.store(true, std::memory_order_seq_cst);
        waker = waker_;
    }
    if (waker) waker->wake();
    return true;
}

bool Channel::take_all(std::vector<Msg>& out) {
    out.clear();
    std::lock_guard lk(mu_);
    out.swap(queue_);
    pending_.store(!sender_open_, std::memory_order_seq_cst);
    return !(out.empty() && !sender_open_);
}

void Channel::set_waker(std::shared_ptr<rt::Waker> w) {
    std::lock_guard lk(mu_);
    waker_ = std::move(w);
}

void Channel::close_sender() {
    std::shared_ptr<rt::Waker> waker;
    {
        std::lock_guard lk(mu_);
        sender_open_ = false;
        pending_.store(true, std::memory_order_seq_cst);
        waker = waker_;
    }
    if (waker) waker->wake();
}

void Channel::close_receiver() {
    std::vector<Msg> left;
    {
        std::lock_guard lk(mu_);
        receiver_open_ = false;
        waker_.reset();
        left.swap(queue_);
    }
    // Messages that were queued but never taken: their callbacks are
    // destroyed without being called, outside the lock.
}

}  // namespace velnor
