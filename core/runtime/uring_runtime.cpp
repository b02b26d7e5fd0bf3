#include "core/runtime/uring_runtime.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <vector>

#include "core/runtime/sanitizer.hpp"

namespace velnor::rt {
namespace {

bool is_buffer_op(std::uint8_t op) noexcept { return op == opcode::kRead || op == opcode::kWrite; }

bool takes_addr2(std::uint8_t op) noexcept {
    return op == opcode::kStatx || op == opcode::kRenameat || op == opcode::kLinkat ||
           op == opcode::kSymlinkat;
}

// A CLOSE nobody waits for. Once pushed, the ring request owns it and its
// completion frees it, even during shutdown.
struct DetachedClose {
    KernelRequest req;
    static std::unique_ptr<DetachedClose> make() noexcept {
        try {
            return std::make_unique<DetachedClose>();
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    static void done(KernelRequest* r) noexcept {
        static_assert(offsetof(DetachedClose, req) == 0);
        const std::unique_ptr<DetachedClose> owned(reinterpret_cast<DetachedClose*>(r));
    }
};

// The completions of ASYNC_CANCEL requests carry no request, nor does the
// shutdown's timeout (no request lives at address 1).
constexpr std::uint64_t kNoRequest = 0;
constexpr std::uint64_t kShutdownTick = 1;

// The runtime's request lists are rings through ring_prev/ring_next around
// a sentinel head.
void link_last(KernelRequest& head, KernelRequest& req, KernelRequest::Place place) noexcept {
    req.ring_prev = head.ring_prev;
    req.ring_next = &head;
    head.ring_prev->ring_next = &req;
    head.ring_prev = &req;
    req.place = place;
}

void unlink(KernelRequest& req) noexcept {
    req.ring_prev->ring_next = req.ring_next;
    req.ring_next->ring_prev = req.ring_prev;
    req.ring_prev = req.ring_next = nullptr;
    req.place = KernelRequest::Place::None;
}

// io-wq wakes an idle worker for each request it is handed and creates
// another only when none is idle; one just woken stays "idle" until it
// runs, which on a busy machine is after the submitting call returns. A
// burst of spread reads thus lands on one worker whenever one was idle
// (a 256 MiB read in 256 chunks ran on a single worker in half the runs:
// 1.7 against 2.2 GB/s). Fed from each completion, the later reads find
// every worker busy, and io-wq grows to match. One in flight per CPU, not
// more: a worker that finds more queued takes it without giving way, and
// where the kernel does not preempt, a loop thread waiting for a CPU then
// waited 4 to 12 ms (two workers per CPU) instead of 1 to 3.
std::size_t spread_window(unsigned configured) noexcept {
    if (configured > 0) return configured;
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<std::size_t>(std::clamp<long>(cpus, 2, 64));
}

}  // namespace

Result<std::unique_ptr<Runtime>> UringRuntime::create(const RuntimeOptions& options, const OpcodeSet& ops) noexcept {
    OpcodeSet usable = ops;
    for (std::uint8_t op : options.ring_opcodes_disabled) usable.ops.reset(op);
    std::unique_ptr<UringRuntime> rt(new (std::nothrow) UringRuntime(usable));
    if (!rt) return IoError::os(ENOMEM);
    VELNOR_TRY_VOID(rt->init_common(options));
    if (int r = rt->ring_.init(kRingEntries); r < 0) return IoError::os(-r);
    rt->spread_window_ = spread_window(options.spread_window);
    rt->wake_req_.opcode = opcode::kRead;
    rt->wake_req_.fd = rt->waker_->fd();
    rt->wake_req_.addr = reinterpret_cast<std::uint64_t>(&rt->wake_buf_);
    rt->wake_req_.len = sizeof rt->wake_buf_;
    rt->arm_wake();
    return std::unique_ptr<Runtime>(std::move(rt));
}

UringRuntime::~UringRuntime() { shutdown(); }

io_uring_sqe* UringRuntime::acquire_sqe() noexcept {
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (io_uring_sqe* sqe = ring_.get_sqe()) return sqe;
        const int r = ring_.publish();
        // -EBUSY/-EAGAIN: the kernel wants its completions taken first.
        if (r < 0 && r != -EINTR) reap();
    }
    return ring_.get_sqe();
}

void UringRuntime::push(KernelRequest& req, io_uring_sqe* sqe) noexcept {
    sqe->opcode = req.opcode;
    sqe->fd = req.fd;
    // STATX takes its result buffer, and RENAMEAT, LINKAT and SYMLINKAT
    // their second path, where other opcodes take the offset.
    sqe->off = takes_addr2(req.opcode) ? req.addr2 : req.off;
    sqe->addr = req.addr;
    sqe->len = req.len;
    sqe->rw_flags = req.op_flags;  // one union: open, fsync, statx, rename, unlink, link flags alike
    sqe->user_data = reinterpret_cast<std::uint64_t>(&req);
    if (req.spread) {
        sqe->flags |= IOSQE_ASYNC;
        ++spread_in_flight_;
    }

    link_last(in_flight_, req, KernelRequest::Place::Ring);
    ++ring_in_flight_;
    san::handing_to_kernel(&req);
}

void UringRuntime::start(KernelRequest& req) noexcept {
    if (draining_) return;  // never completes: its task is about to be destroyed
    if (is_buffer_op(req.opcode)) san::check_kernel_buffer("at submission", req.addr, req.len);
    if (!ops_.has(req.opcode)) {
        run_on_pool(req);
        return;
    }
    if (req.spread && run_on_idle_readers(req)) return;
    if (req.spread && (spread_in_flight_ >= spread_window_ || held_.ring_next != &held_)) {
        link_last(held_, req, KernelRequest::Place::Held);  // in order, after those held already
        return;
    }
    io_uring_sqe* sqe = acquire_sqe();
    if (!sqe) {
        run_on_pool(req);
        return;
    }
    ++stats_.ring_requests;
    push(req, sqe);
}

void UringRuntime::release_held() noexcept {
    while (held_.ring_next != &held_ && spread_in_flight_ < spread_window_) {
        io_uring_sqe* sqe = acquire_sqe();
        if (!sqe) return;  // tried again next turn
        KernelRequest& req = *held_.ring_next;
        unlink(req);
        ++stats_.ring_requests;
        push(req, sqe);
    }
}

void UringRuntime::withdraw(KernelRequest& req) noexcept {
    if (req.place == KernelRequest::Place::Held) {  // the kernel never saw it
        unlink(req);
        complete(req, -ECANCELED);
        return;
    }
    if (req.place != KernelRequest::Place::Ring) {
        RuntimeBase::withdraw(req);
        return;
    }
    // Matched by user_data when the kernel takes the SQE. The target is in
    // flight now, so no other request in flight shares its address; one
    // that reuses it after the target completes is queued behind this SQE.
    io_uring_sqe* sqe = acquire_sqe();
    if (!sqe) return;  // the kernel will not take entries: the request runs its course
    sqe->opcode = opcode::kAsyncCancel;
    sqe->fd = -1;
    sqe->addr = reinterpret_cast<std::uint64_t>(&req);
    sqe->user_data = kNoRequest;
}

void UringRuntime::arm_wake() noexcept {
    if (wake_armed_ || draining_) return;
    io_uring_sqe* sqe = acquire_sqe();
    if (!sqe) return;  // tried again next turn; the driver will not park meanwhile
    push(wake_req_, sqe);
    wake_armed_ = true;
}

void UringRuntime::finish(KernelRequest* req, std::int32_t res) noexcept {
    unlink(*req);
    --ring_in_flight_;
    if (req->spread) --spread_in_flight_;
    san::back_from_kernel(req);
    if (req == &wake_req_) {
        wake_armed_ = false;
        return;
    }
    if (is_buffer_op(req->opcode)) san::check_kernel_buffer("at completion", req->addr, req->len);
    if (req->on_complete == &DetachedClose::done) {
        DetachedClose::done(req);
        return;
    }
    if (draining_) {
        req->res = res;  // accounted; its task is destroyed without resuming
        return;
    }
    if (req->opcode == opcode::kOpenat && res == -ENXIO && !(req->op_flags & O_NONBLOCK)) {
        // The ring first tries an open without blocking, and a FIFO opened
        // for writing then answers ENXIO when it has no reader, where
        // open(2) waits for one. A worker's open waits as open(2) does (a
        // withdraw interrupts it); any other ENXIO comes back from it again.
        run_on_pool(*req);
        return;
    }
    complete(*req, res);
}

void UringRuntime::reap() noexcept {
    for (;;) {
        while (io_uring_cqe* cqe = ring_.peek_cqe()) {
            const std::uint64_t ud = cqe->user_data;
            const std::int32_t res = cqe->res;
            ring_.cqe_seen();
            if (ud == kShutdownTick)
                shutdown_tick_ = true;
            else if (ud != kNoRequest)
                finish(reinterpret_cast<KernelRequest*>(ud), res);
        }
        // Completions the CQ could not hold wait in the kernel until we
        // enter it with GETEVENTS.
        if (!ring_.cq_overflowed()) return;
        ring_.get_events();
    }
}

void UringRuntime::turn(bool may_wait, const std::function<bool()>& has_external_work) {
    if (draining_) return;
    collect_pool();
    reap();
    release_held();
    arm_wake();
    if (may_wait && !exec_.has_ready()) {
        // What is queued goes to the kernel before the thread looks around.
        (void)ring_.publish();
        // Reads spread over the kernel's workers or the idle readers need
        // the CPUs that a spin would take (on a machine of two, the one the
        // workers do not have), and the spin would learn from their
        // completions, a few hundred microseconds apart, to last its
        // longest: the thread parks.
        if (spread_in_flight_ == 0 && !idle_reads_in_flight() && work_arrives_soon(has_external_work, [](RuntimeBase* self) noexcept {
                return static_cast<UringRuntime*>(self)->ring_.peek_cqe() != nullptr;
            }))
            may_wait = false;
    }
    // Parking needs the wake-up READ in flight, or a send would go unseen;
    // and reads held with none of theirs in flight (the kernel took no
    // entry last time) have no completion coming to release them.
    const bool held_stuck = held_.ring_next != &held_ && spread_in_flight_ == 0;
    const bool park = may_wait && wake_armed_ && !held_stuck && may_park(has_external_work);
    const int r = park ? ring_.publish_and_wait(1) : ring_.publish();
    if (park) waker_->clear_parked();
    (void)r;  // -EINTR, -EBUSY: nothing is lost; what finished is reaped below
    reap();
    release_held();
    collect_pool();
}

void UringRuntime::close_detached(int fd) noexcept {
    if (fd < 0) return;
    if (draining_ || closed_) {
        ::close(fd);
        return;
    }
    if (!ops_.has(opcode::kClose)) {
        close_on_pool(fd);
        return;
    }
    auto dc = DetachedClose::make();
    io_uring_sqe* sqe = dc ? acquire_sqe() : nullptr;
    if (!sqe) {
        close_on_pool(fd);
        return;
    }
    dc->req.opcode = opcode::kClose;
    dc->req.fd = fd;
    dc->req.on_complete = &DetachedClose::done;
    ++stats_.ring_requests;
    push(dc->req, sqe);
    (void)dc.release();  // freed by DetachedClose::done
}

void UringRuntime::cancel_in_flight() noexcept {
    // The targets are collected first: getting an SQE may reap, and reaping
    // unlinks. No request is started while draining, so no address in the
    // list can belong to a newer request by the time its cancel is read.
    std::vector<std::uint64_t> targets;
    targets.reserve(ring_in_flight_);
    for (KernelRequest* r = in_flight_.ring_next; r != &in_flight_; r = r->ring_next)
        targets.push_back(reinterpret_cast<std::uint64_t>(r));
    for (std::uint64_t target : targets) {
        io_uring_sqe* sqe = acquire_sqe();
        if (!sqe) return;  // the rest are waited for without cancellation
        sqe->opcode = opcode::kAsyncCancel;
        sqe->fd = -1;
        sqe->addr = target;
        sqe->user_data = kNoRequest;
    }
}

void UringRuntime::arm_shutdown_tick() noexcept {
    shutdown_tick_ = false;
    if (!ops_.has(opcode::kTimeout)) return;
    io_uring_sqe* sqe = acquire_sqe();
    if (!sqe) return;
    // The kernel copies the time when it takes the entry.
    static constexpr __kernel_timespec kTick{.tv_sec = 0, .tv_nsec = 20'000'000};
    sqe->opcode = opcode::kTimeout;
    sqe->fd = -1;
    sqe->addr = reinterpret_cast<std::uint64_t>(&kTick);
    sqe->len = 1;
    sqe->user_data = kShutdownTick;
}

void UringRuntime::shutdown() noexcept {
    if (draining_) return;
    draining_ = true;
    // Held reads never reach the kernel: their tasks are destroyed unresumed.
    while (held_.ring_next != &held_) unlink(*held_.ring_next);
    if (!ring_.valid()) {  // never built: nothing was ever in flight
        closed_ = true;
        exec_.close();
        return;
    }

    // Ask the kernel to give up on everything still in flight (a read from
    // an idle FIFO would otherwise never end).
    cancel_in_flight();

    // Nothing the kernel may still write into (buffers, statx results, the
    // wake-up buffer, request state in task frames) is freed before its
    // completion has been reaped. A cancel can miss a read that one of the
    // kernel's workers is just starting (it answers EALREADY, and the
    // worker then blocks in the read for good: seen on a pipe about one
    // shutdown in twenty under ThreadSanitizer), so what is still in flight
    // after each tick is asked again.
    unsigned failures = 0;
    arm_shutdown_tick();
    while (ring_in_flight_ > 0) {
        const int r = ring_.publish_and_wait(1);
        if (r < 0 && r != -EINTR && r != -EBUSY && r != -EAGAIN && ++failures > 1000)
            std::abort();  // the ring is unusable: freeing the frames would corrupt memory
        reap();
        if (shutdown_tick_ && ring_in_flight_ > 0) {
            cancel_in_flight();
            arm_shutdown_tick();
        }
    }
    wait_for_pool();

    closed_ = true;
    exec_.close();
    ring_.close();
}

}  // namespace velnor::rt
