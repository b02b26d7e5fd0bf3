// Completions handed from the driver thread to one event loop, and the flag
// that lets only the first of a burst ring the loop's doorbell.
//
//     if (queue.push(item)) ring();            // any thread
//
//     for (;;) {                               // the loop's drain
//         auto batch = queue.take();
//         if (batch.empty()) {
//             if (queue.quiet()) break;        // else: a push slipped in, and it is ours
//             continue;
//         }
//         settle(batch);
//     }
//
// The flag is true while a wake-up is owed or being answered. The ordering
// that keeps wake-ups from being lost comes from the mutex, which both
// sides take between writing one variable and reading the other: `push`
// appends under the lock before its exchange; `quiet` stores false before
// its look under the lock. If that look came first, its store
// happens-before the push's exchange, which then reads false and rings.
// Otherwise the look sees the item and the drain goes on. Were the look a
// lock-free read of the length, both flag accesses would need seq_cst:
// with release/acquire alone the drain could read an empty queue and the
// push a stale true, and the item would sit unannounced.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace velnor {

template <class T>
class CompletionQueue {
public:
    // Any thread. True when the caller must ring: the queue went from quiet
    // to owed.
    bool push(T item) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            items_.push_back(std::move(item));
            queued_.store(items_.size(), std::memory_order_release);
        }
        // acq_rel: the ring must follow our own append, and a true read
        // here must see the owner of the owed wake-up.
        return !pending_.exchange(true, std::memory_order_acq_rel);
    }

    // Everything queued, oldest first.
    std::vector<T> take() noexcept {
        std::vector<T> taken;
        std::lock_guard<std::mutex> lock(mu_);
        taken.swap(items_);
        queued_.store(0, std::memory_order_relaxed);
        return taken;
    }

    // The queue's length as of its last change: a look without the lock,
    // for a consumer spinning for the next item.
    std::size_t queued() const noexcept { return queued_.load(std::memory_order_acquire); }

    // After a `take` found nothing: marks the queue quiet, so that the next
    // push rings. False when an item slipped in after the take (its push
    // saw the flag still set and did not ring) and the wake-up is now the
    // caller's: it takes again, or rings for it.
    bool quiet() noexcept {
        pending_.store(false, std::memory_order_release);
        bool empty;
        {
            std::lock_guard<std::mutex> lock(mu_);
            empty = items_.empty();
        }
        if (empty) return true;
        // Re-claim the wake-up; a push that already did has rung.
        return pending_.exchange(true, std::memory_order_acq_rel);
    }

    // Claims the wake-up as the first push of a burst would, without an
    // item: true when it was free (pushes from now on do not ring, and the
    // claimant answers for what they queue).
    bool claim() noexcept { return !pending_.exchange(true, std::memory_order_acq_rel); }

    // Quiet without a look: nothing will be taken or rung for any more
    // (the consumer has gone).
    void forget() noexcept { pending_.store(false, std::memory_order_release); }

private:
    std::mutex mu_;
    std::vector<T> items_;
    std::atomic<std::size_t> queued_{0};
    std::atomic<bool> pending_{false};
};

}  // namespace velnor
