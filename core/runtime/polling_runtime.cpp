#include "core/runtime/polling_runtime.hpp"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "core/runtime/sanitizer.hpp"

namespace velnor::rt {

int PollingRuntime::create(const RuntimeOptions& options, std::unique_ptr<Runtime>* out) noexcept {
    std::unique_ptr<PollingRuntime> rt(new (std::nothrow) PollingRuntime);
    if (!rt) return -ENOMEM;
    if (int r = rt->init_common(options); r < 0) return r;
    rt->epfd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (rt->epfd_ < 0) return -errno;
    epoll_event ev{};
    ev.events = EPOLLIN;
    if (::epoll_ctl(rt->epfd_, EPOLL_CTL_ADD, rt->waker_->fd(), &ev) < 0) return -errno;
    *out = std::move(rt);
    return 0;
}

PollingRuntime::~PollingRuntime() {
    shutdown();
    if (epfd_ >= 0) ::close(epfd_);
}

void PollingRuntime::submit(KernelRequest& req) noexcept {
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
        const int n = ::epoll_wait(epfd_, &ev, 1, -1);
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
