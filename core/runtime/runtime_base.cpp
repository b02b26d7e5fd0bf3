#include "core/runtime/runtime_base.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <new>

#include "core/runtime/blocking_syscall.hpp"
#include "core/runtime/sanitizer.hpp"

namespace velnor::rt {
namespace {

thread_local Runtime* tls_current = nullptr;

enum Tag : std::uint8_t { kRequest, kBlocking, kBlockingRefused, kDetachedClose, kIdleRead };

std::int64_t run_request(void* item) noexcept {
    return perform_blocking(*static_cast<KernelRequest*>(item));
}

std::int64_t run_blocking(void* item) noexcept { return static_cast<Blocking*>(item)->fn(); }

std::int64_t run_close(void* item) noexcept {
    const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(item));
    return ::close(fd) < 0 ? -errno : 0;
}

std::int32_t clamp_result(std::int64_t r) noexcept {
    if (r > INT_MAX) return INT_MAX;
    if (r < INT_MIN) return INT_MIN;
    return static_cast<std::int32_t>(r);
}

bool is_buffer_op(std::uint8_t op) noexcept { return op == opcode::kRead || op == opcode::kWrite; }

}  // namespace

Runtime* Runtime::current() noexcept { return tls_current; }

RuntimeBase::~RuntimeBase() {
    if (tls_current == this) tls_current = nullptr;
}

void RuntimeBase::make_current() noexcept { tls_current = this; }

Result<void> RuntimeBase::init_common(const RuntimeOptions& options) noexcept {
    VELNOR_TRY(waker_, EventWaker::create());
    inbox_ = std::make_shared<CompletionInbox>(waker_);
    pool_ = std::make_unique<WorkerPool>(PoolConfig{options.max_workers, options.worker_idle},
                                         inbox_);
    if (options.idle_readers.value_or(1) > 0)
        idle_readers_ = std::make_unique<IdleReaders>(IdleReadersConfig{.readers = options.idle_readers.value_or(0)},
                                                      inbox_);
    return {};
}

void RuntimeBase::run_on_pool(KernelRequest& req) noexcept {
    ++stats_.pool_jobs;
    ++pool_in_flight_;
    req.place = KernelRequest::Place::Pool;
    const int r = pool_->enqueue(PoolJob{&run_request, &req, kRequest});
    // Refused: the request fails with the pool's error on the next turn,
    // never inside the awaiting task's suspension.
    if (r < 0) inbox_->post(Finished{&req, r, kRequest});
}

bool RuntimeBase::run_on_idle_readers(KernelRequest& req) noexcept {
    // A stream's read may wait without end, and a running job cannot be
    // withdrawn here: it would hold a reader for good.
    if (req.stream || !idle_readers_ || idle_readers_->enqueue(PoolJob{&run_request, &req, kIdleRead}) < 0) return false;
    ++stats_.idle_reads;
    ++pool_in_flight_;
    ++idle_in_flight_;
    req.place = KernelRequest::Place::Idle;
    return true;
}

void RuntimeBase::start_blocking(Blocking& job) noexcept {
    if (draining_) return;
    ++stats_.pool_jobs;
    ++pool_in_flight_;
    if (const int r = pool_->enqueue(PoolJob{&run_blocking, &job, kBlocking}); r < 0)
        inbox_->post(Finished{&job, r, kBlockingRefused});
}

void RuntimeBase::withdraw(KernelRequest& req) noexcept {
    if (req.place == KernelRequest::Place::Pool) pool_->withdraw(&req);
    if (req.place == KernelRequest::Place::Idle) idle_readers_->withdraw(&req);
}

void RuntimeBase::close_on_pool(int fd) noexcept {
    ++pool_in_flight_;
    void* item = reinterpret_cast<void*>(static_cast<std::intptr_t>(fd));
    if (pool_->enqueue(PoolJob{&run_close, item, kDetachedClose}) < 0) {
        // No thread to close it on: closing here is the lesser evil than
        // leaking the descriptor (close rarely blocks for long).
        ::close(fd);
        inbox_->post(Finished{item, 0, kDetachedClose});
    }
}

void RuntimeBase::collect_pool() noexcept {
    if (!inbox_ || !inbox_->has_items()) return;
    inbox_->take(finished_);
    for (const Finished& f : finished_) {
        --pool_in_flight_;
        if (f.tag == kIdleRead) --idle_in_flight_;
        if (draining_) continue;
        switch (f.tag) {
            case kIdleRead:
            case kRequest: {
                auto& req = *static_cast<KernelRequest*>(f.item);
                if (is_buffer_op(req.opcode))
                    san::check_kernel_buffer("when its pool job finished", req.addr, req.len);
                complete(req, clamp_result(f.result));
                break;
            }
            case kBlocking:
            case kBlockingRefused: {
                auto& job = *static_cast<Blocking*>(f.item);
                job.result = f.result;
                exec_.schedule(job.waiter);
                break;
            }
            case kDetachedClose:
                break;
        }
    }
    finished_.clear();
}

void RuntimeBase::wait_for_pool() noexcept {
    // Chunks nobody will take need not be copied: those not started end at
    // once, as reads the ring held back never reach the kernel.
    if (idle_readers_) idle_readers_->withdraw_queued();
    for (;;) {
        collect_pool();
        if (pool_in_flight_ == 0) return;
        inbox_->wait_for_items();
    }
}

void RuntimeBase::complete(KernelRequest& req, std::int32_t res) noexcept {
    req.place = KernelRequest::Place::None;
    req.res = res;
    if (req.on_complete)
        req.on_complete(&req);
    else
        exec_.schedule(req.waiter);
}

bool RuntimeBase::may_park(const std::function<bool()>& has_external_work) noexcept {
    if (exec_.has_ready()) return false;
    waker_->set_parked();
    // Checked after announcing the park: work published from now on finds
    // the flag set and writes the eventfd (see EventWaker).
    if (inbox_->has_items() || (has_external_work && has_external_work())) {
        waker_->clear_parked();
        return false;
    }
    return true;
}

// A loop that awaits one operation after another sends the next one a few
// microseconds after the previous reply reached it. Parking in between costs
// that message an eventfd write and a wake-up of a sleeping thread on
// another CPU, which together take longer than a short spin. The spin is
// a core taken from the program, though, so it lasts only while it pays:
// about four times as long as work has recently taken to arrive, halved
// after each spin that found nothing, doubled again after a park that ended
// within the longest spin (one that a spin would have saved).
constexpr std::chrono::nanoseconds kSpinMax = std::chrono::microseconds(400);
constexpr std::chrono::nanoseconds kSpinMin = std::chrono::microseconds(2);
constexpr std::chrono::nanoseconds kSpinYield = std::chrono::microseconds(16);

bool RuntimeBase::work_arrives_soon(const std::function<bool()>& has_external_work,
                                    bool (*kernel_done)(RuntimeBase*) noexcept) noexcept {
    using std::chrono::steady_clock;
    const auto start = steady_clock::now();
    if (parked_) {
        parked_ = false;
        // A park this short would have been saved by a spin as long: the
        // next spin covers it, with room to spare.
        const auto parked_for = std::chrono::duration_cast<std::chrono::nanoseconds>(start - parked_at_);
        if (parked_for < kSpinMax)
            spin_budget_ = std::clamp(std::max(spin_budget_ * 2, 2 * parked_for), kSpinMin, kSpinMax);
    }
    // Work already there (a read the kernel finished inside the submitting
    // call, a burst of submissions) says nothing about how long the next
    // will take to come: it would only shrink the budget towards nothing,
    // and the spin that then waits for the loop's next submission would
    // give up before it comes.
    if (inbox_->has_items() || (has_external_work && has_external_work()) ||
        (kernel_done && kernel_done(this))) {
        return true;
    }
    const auto until = start + spin_budget_;
    auto now = start;
    auto yield_at = start + kSpinYield;
    do {
        // At least one round of looks, however short the budget.
        for (int i = 0; i < 32; ++i) {
            if (inbox_->has_items() || (has_external_work && has_external_work()) ||
                (kernel_done && kernel_done(this))) {
                const auto waited = steady_clock::now() - start;
                spin_budget_ = std::clamp((spin_budget_ + 4 * waited) / 2, kSpinMin, kSpinMax);
                return true;
            }
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        now = steady_clock::now();
        if (now >= yield_at || waker_->sender_cpu() == ::sched_getcpu()) {
            // A thread this one woke (a reply's waiter, the loop the
            // doorbell woke) may have been put on this CPU, to run once
            // this one sleeps. A spin that never gave way would keep it
            // waiting for as long as it lasts; one that gives way each
            // time costs the usual case a system call for every look. The
            // sender of the latest work on this very CPU is the usual
            // such thread (some hosts pack a process's threads onto one
            // CPU): it can only send more once this one gives way.
            ::sched_yield();
            now = steady_clock::now();
            yield_at = now + kSpinYield;
        }
    } while (now < until);
    spin_budget_ = spin_budget_ / 2;
    parked_ = true;
    parked_at_ = now;
    return false;
}

// Awaitables: each hands itself to the runtime of the calling thread.

void KernelCall::await_suspend(std::coroutine_handle<> h) noexcept {
    req.waiter = h;
    Runtime* rt = Runtime::current();
    if (!rt) abort_unreachable("velnor runtime: kernel request outside the driver thread");
    rt->start(req);
}

void Blocking::await_suspend(std::coroutine_handle<> h) noexcept {
    waiter = h;
    Runtime* rt = Runtime::current();
    if (!rt) abort_unreachable("velnor runtime: blocking job outside the driver thread");
    rt->start_blocking(*this);
}

}  // namespace velnor::rt
