#include "core/runtime/event_waker.hpp"

#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace velnor::rt {

Result<std::shared_ptr<EventWaker>> EventWaker::create() noexcept {
    UniqueFd fd(::eventfd(0, EFD_CLOEXEC));
    if (fd.get() < 0) return IoError::os(errno);
    auto* w = new (std::nothrow) EventWaker(std::move(fd));
    if (!w) return IoError::os(ENOMEM);
    return std::shared_ptr<EventWaker>(w);
}

void EventWaker::wake() noexcept {
    sender_cpu_.store(::sched_getcpu(), std::memory_order_relaxed);
    // The exchange both tests "parked" and consumes it, so of many
    // concurrent senders only the first writes; the rest find the wake-up
    // already pending.
    if (!parked_.exchange(false, std::memory_order_seq_cst)) return;
    const std::uint64_t one = 1;
    // The counter cannot come near its limit (one write per park), so this
    // blocking descriptor never blocks here. EINTR: try again.
    while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    writes_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace velnor::rt
