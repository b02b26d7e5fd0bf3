#include "core/runtime/event_waker.hpp"

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
    // The control block can fail to allocate too; the deleter then frees w.
    try {
        return std::shared_ptr<EventWaker>(w);
    } catch (const std::bad_alloc&) {
        return IoError::os(ENOMEM);
    }
}

void EventWaker::wake() noexcept {
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
