// The driver thread's cross-thread wake-up: an eventfd that the ring (or,
// on the fallback, epoll) watches while the driver is parked.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/runtime/runtime.hpp"
#include "core/unique_fd.hpp"

namespace velnor::rt {

class EventWaker final : public Waker {
public:
    // A blocking eventfd: io_uring then poll-arms a READ on it instead of
    // failing the read with EAGAIN.
    static Result<std::shared_ptr<EventWaker>> create() noexcept;
    EventWaker(const EventWaker&) = delete;
    EventWaker& operator=(const EventWaker&) = delete;

    // Any thread.
    void wake() noexcept override;

    // Driver thread. The protocol, both sides seq_cst:
    //   driver: parked = true;  then check for work (channel, pool results);
    //           block only if there was none.
    //   sender: publish work;   then if (parked.exchange(false)) write(fd).
    // Each side stores then loads the other side's flag. Acquire/release
    // would let each load be satisfied before the other's store became
    // visible (store-load reordering), so the driver could see "no work"
    // while the sender sees "not parked": nobody writes and the driver
    // sleeps on queued work. Sequential consistency puts the four accesses
    // in one total order, so at least one side sees the other's store.
    void set_parked() noexcept { parked_.store(true, std::memory_order_seq_cst); }
    void clear_parked() noexcept { parked_.store(false, std::memory_order_seq_cst); }

    int fd() const noexcept { return fd_.get(); }
    // The CPU the latest sender ran on when it sent, or -1: a spinning
    // driver on that same CPU only keeps the sender from running.
    int sender_cpu() const noexcept { return sender_cpu_.load(std::memory_order_relaxed); }
    // Number of eventfd writes made so far (diagnostics and tests).
    std::uint64_t writes() const noexcept { return writes_.load(std::memory_order_relaxed); }

private:
    explicit EventWaker(UniqueFd fd) noexcept : fd_(std::move(fd)) {}
    const UniqueFd fd_;
    std::atomic<int> sender_cpu_{-1};
    std::atomic<bool> parked_{false};
    std::atomic<std::uint64_t> writes_{0};
};

}  // namespace velnor::rt
