#include "core/runtime/polling_runtime.hpp"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "core/runtime/sanitizer.hpp"

namespace velnor::rt {

Result<std::unique_ptr<Runtime>> PollingRuntime::create(const RuntimeOptions& options) noexcept {
    std::unique_ptr<PollingRuntime> rt(new (std::nothrow) PollingRuntime);
    if (!rt) return IoError::os(ENOMEM);
    VELNOR_TRY_VOID(rt->init_common(options));
    rt->epfd_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    if (rt->epfd_.get() < 0) return IoError::os(errno);
    epoll_event ev{};
    ev.events = EPOLLIN;
    if (::epoll_ctl(rt->epfd_.get(), EPOLL_CTL_ADD, rt->waker_->fd(), &ev) < 0) return IoError::os(errno);
    return std::unique_ptr<Runtime>(std::move(rt));
}

PollingRuntime::~PollingRuntime() { shutdown(); }

void PollingRuntime::start(KernelRequest& req) noexcept {
    if (draining_) return;  // never completes: its task is about to be destroyed
    if (req.opcode == opcode::kRead || req.opcode == opcode::kWrite)
        san::check_kernel_buffer("at submission", req.addr, req.len);
    run_on_pool(req);
}

void PollingRuntime::turn(bool may_wait, const std::function<bool()>& has_external_work) {
    if (draining_) return;
    collect_pool();
    if (may_wait && !exec_.has_ready() && work_arrives_soon(has_external_work, nullptr)) may_wait = false;
    if (may_wait && may_park(has_external_work)) {
        epoll_event ev;
        const int n = ::epoll_wait(epfd_.get(), &ev, 1, -1);
        waker_->clear_parked();
        if (n > 0) {
            // Only this thread reads the descriptor, and epoll said it is
            // readable: the read cannot block.
            std::uint64_t count;
            (void)::read(waker_->fd(), &count, sizeof count);
        }
    }
    collect_pool();
}

void PollingRuntime::close_detached(int fd) noexcept {
    if (fd < 0) return;
    if (draining_ || closed_) {
        ::close(fd);
        return;
    }
    close_on_pool(fd);
}

void PollingRuntime::shutdown() noexcept {
    if (draining_) return;
    draining_ = true;
    // A worker may still be reading into, or writing from, a task's frame.
    wait_for_pool();
    closed_ = true;
    exec_.close();
}

}  // namespace velnor::rt
