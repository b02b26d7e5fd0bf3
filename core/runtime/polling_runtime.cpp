#include "core/runtime/polling_runtime.hpp"

#include <sys/epoll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <new>

#include "core/runtime/sanitizer.hpp"

namespace velnor::rt {
namespace {

constexpr int kEventsPerWait = 64;

bool is_read(const KernelRequest& req) noexcept { return req.opcode == opcode::kRead; }
bool waits_for_readiness(const KernelRequest& req) noexcept {
    return req.stream && (req.opcode == opcode::kRead || req.opcode == opcode::kWrite);
}

// One read or write that refuses to block: -EAGAIN when it would have.
// Pipes and sockets have no offsets, and like the ring the request then
// works on the stream whatever its offset says.
long attempt(const KernelRequest& q) noexcept {
    iovec iov{reinterpret_cast<void*>(q.addr), q.len};
    for (off_t off : {static_cast<off_t>(q.off), off_t{-1}}) {
        const long r = is_read(q) ? ::preadv2(q.fd, &iov, 1, off, RWF_NOWAIT)
                                  : ::pwritev2(q.fd, &iov, 1, off, RWF_NOWAIT);
        if (r >= 0) return r;
        if (errno == ESPIPE && off != -1) continue;
        return -errno;
    }
    return -ESPIPE;
}

}  // namespace

Result<std::unique_ptr<Runtime>> PollingRuntime::create(const RuntimeOptions& options) noexcept {
    std::unique_ptr<PollingRuntime> rt(new (std::nothrow) PollingRuntime);
    if (!rt) return IoError::os(ENOMEM);
    VELNOR_TRY_VOID(rt->init_common(options));
    rt->epfd_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    if (rt->epfd_.get() < 0) return IoError::os(errno);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = rt->waker_->fd();
    if (::epoll_ctl(rt->epfd_.get(), EPOLL_CTL_ADD, rt->waker_->fd(), &ev) < 0) return IoError::os(errno);
    return std::unique_ptr<Runtime>(std::move(rt));
}

PollingRuntime::~PollingRuntime() { shutdown(); }

void PollingRuntime::start(KernelRequest& req) noexcept {
    if (draining_) return;  // never completes: its task is about to be destroyed
    if (req.opcode == opcode::kRead || req.opcode == opcode::kWrite)
        san::check_kernel_buffer("at submission", req.addr, req.len);
    if (req.spread && run_on_idle_readers(req)) return;
    if (waits_for_readiness(req) && wait_for_readiness(req)) return;
    run_on_pool(req);
}

bool PollingRuntime::wait_for_readiness(KernelRequest& req) noexcept {
    if (req.fd < 0 || req.fd == waker_->fd()) return false;
    Waiters* w;
    try {
        w = &waiting_[req.fd];
        (is_read(req) ? w->readers : w->writers).push_back(&req);
    } catch (const std::bad_alloc&) {
        if (auto it = waiting_.find(req.fd); it != waiting_.end() && !it->second.registered &&
                                              it->second.readers.empty() && it->second.writers.empty())
            waiting_.erase(it);
        return false;
    }
    req.place = KernelRequest::Place::Readiness;
    // Taken either way: when epoll refuses the descriptor, rearm hands its
    // waiters (this one included) to the pool.
    rearm(req.fd);
    return true;
}

void PollingRuntime::rearm(int fd) noexcept {
    auto it = waiting_.find(fd);
    if (it == waiting_.end()) return;
    Waiters& w = it->second;
    const std::uint32_t want = (w.readers.empty() ? 0u : std::uint32_t{EPOLLIN}) |
                               (w.writers.empty() ? 0u : std::uint32_t{EPOLLOUT});
    if (want == 0) {
        // Forgotten at once: the descriptor may be closed and its number
        // reused as soon as its requests are done.
        if (w.registered) ::epoll_ctl(epfd_.get(), EPOLL_CTL_DEL, fd, nullptr);
        waiting_.erase(it);
        return;
    }
    epoll_event ev{};
    ev.events = want | EPOLLONESHOT;
    ev.data.fd = fd;
    int r = ::epoll_ctl(epfd_.get(), w.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
    // Another descriptor of the same number went away meanwhile, or the
    // registration was dropped with a closed duplicate: start afresh.
    if (r < 0 && errno == ENOENT) r = ::epoll_ctl(epfd_.get(), EPOLL_CTL_ADD, fd, &ev);
    if (r < 0 && errno == EEXIST) r = ::epoll_ctl(epfd_.get(), EPOLL_CTL_MOD, fd, &ev);
    if (r == 0) {
        w.registered = true;
        return;
    }
    // epoll cannot watch it (EPERM: regular files, /dev/zero and the like):
    // such a descriptor does not wait for readiness anyway.
    std::deque<KernelRequest*> moved;
    moved.swap(w.readers);
    for (KernelRequest* q : w.writers) moved.push_back(q);
    waiting_.erase(it);
    for (KernelRequest* q : moved) {
        q->place = KernelRequest::Place::None;
        run_on_pool(*q);
    }
}

void PollingRuntime::try_waiting(std::deque<KernelRequest*>& queue) noexcept {
    while (!queue.empty()) {
        KernelRequest& q = *queue.front();
        const long r = attempt(q);
        if (r == -EAGAIN) return;
        queue.pop_front();
        if (r == -EOPNOTSUPP) {
            // No non-blocking form for this descriptor: it is ready, so a
            // worker's call should not wait long (and can be withdrawn).
            q.place = KernelRequest::Place::None;
            run_on_pool(q);
            continue;
        }
        if (is_read(q)) san::check_kernel_buffer("at completion", q.addr, q.len);
        complete(q, static_cast<std::int32_t>(r > INT_MAX ? INT_MAX : r));
    }
}

void PollingRuntime::on_ready(int fd, std::uint32_t events) noexcept {
    auto it = waiting_.find(fd);
    if (it == waiting_.end()) return;
    Waiters& w = it->second;
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) try_waiting(w.readers);
    if (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) try_waiting(w.writers);
    rearm(fd);
}

void PollingRuntime::poll_events(int timeout_ms) noexcept {
    epoll_event evs[kEventsPerWait];
    const int n = ::epoll_wait(epfd_.get(), evs, kEventsPerWait, timeout_ms);
    for (int i = 0; i < n; ++i) {
        const int fd = evs[i].data.fd;
        if (fd == waker_->fd()) {
            // Only this thread reads the descriptor, and epoll said it is
            // readable: the read cannot block.
            std::uint64_t count;
            (void)::read(fd, &count, sizeof count);
            continue;
        }
        on_ready(fd, evs[i].events);
    }
}

void PollingRuntime::withdraw(KernelRequest& req) noexcept {
    if (req.place != KernelRequest::Place::Readiness) {
        RuntimeBase::withdraw(req);
        return;
    }
    auto it = waiting_.find(req.fd);
    if (it == waiting_.end()) return;
    auto& queue = is_read(req) ? it->second.readers : it->second.writers;
    for (auto q = queue.begin(); q != queue.end(); ++q) {
        if (*q != &req) continue;
        queue.erase(q);
        rearm(req.fd);
        complete(req, -ECANCELED);
        return;
    }
}

void PollingRuntime::turn(bool may_wait, const std::function<bool()>& has_external_work) {
    if (draining_) return;
    collect_pool();
    // As on the ring: a spin would take the idle readers' CPU.
    if (may_wait && !exec_.has_ready() && !idle_reads_in_flight() && work_arrives_soon(has_external_work, nullptr))
        may_wait = false;
    if (may_wait && may_park(has_external_work)) {
        poll_events(-1);
        waker_->clear_parked();
    } else if (!waiting_.empty()) {
        poll_events(0);
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
    // Requests waiting for readiness lent nothing to anyone: their tasks
    // are destroyed with the executor.
    for (auto& [fd, w] : waiting_)
        if (w.registered) ::epoll_ctl(epfd_.get(), EPOLL_CTL_DEL, fd, nullptr);
    waiting_.clear();
    // A worker may still be reading into, or writing from, a task's frame.
    wait_for_pool();
    closed_ = true;
    exec_.close();
}

}  // namespace velnor::rt
