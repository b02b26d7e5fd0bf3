// What both backends share: the executor, the worker pool and its inbox,
// the event waker, and the pool side of every request.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "core/runtime/event_waker.hpp"
#include "core/runtime/executor.hpp"
#include "core/runtime/idle_readers.hpp"
#include "core/runtime/runtime.hpp"
#include "core/runtime/worker_pool.hpp"

namespace velnor::rt {

class RuntimeBase : public Runtime {
public:
    ~RuntimeBase() override;

    std::shared_ptr<Waker> waker() const noexcept override { return waker_; }
    void make_current() noexcept override;
    void spawn(Task<void> task) override { exec_.spawn(std::move(task)); }
    void schedule(std::coroutine_handle<> h) override { exec_.schedule(h); }
    bool run_ready(unsigned max_steps) override { return exec_.run_ready(max_steps); }
    void start_blocking(Blocking& job) noexcept override;
    void withdraw(KernelRequest& req) noexcept override;
    RuntimeStats stats() const noexcept override { return stats_; }

protected:
    // Fails only when the event descriptor cannot be made.
    Result<void> init_common(const RuntimeOptions& options) noexcept;

    // Hands `req` to the pool; its result comes back through collect_pool().
    void run_on_pool(KernelRequest& req) noexcept;
    void close_on_pool(int fd) noexcept;
    // Hands a spread read to the idle readers; false when there are none
    // (or they refuse it), and the caller runs it its own way.
    bool run_on_idle_readers(KernelRequest& req) noexcept;
    // Whether idle readers are copying: a spin would take their CPU.
    bool idle_reads_in_flight() const noexcept { return idle_in_flight_ > 0; }
    // Takes the results workers posted and completes their requests.
    void collect_pool() noexcept;
    // Shutdown: blocks until every job handed to the pool has posted its
    // result, completing none of them.
    void wait_for_pool() noexcept;
    // Runs a finished request's completion: on_complete, or its waiter.
    void complete(KernelRequest& req, std::int32_t res) noexcept;
    // Parks only if nothing that would make the wait pointless is known:
    // tasks ready, pool results queued, or the caller's external work.
    bool may_park(const std::function<bool()>& has_external_work) noexcept;
    // Before parking, keeps looking for a short while: work that arrives
    // within it is taken without the cross-thread wake-up. True when some
    // arrived. `kernel_done` reports finished kernel requests.
    bool work_arrives_soon(const std::function<bool()>& has_external_work,
                           bool (*kernel_done)(RuntimeBase*) noexcept) noexcept;

    Executor exec_;
    std::shared_ptr<EventWaker> waker_;
    std::shared_ptr<CompletionInbox> inbox_;
    std::unique_ptr<WorkerPool> pool_;
    std::unique_ptr<IdleReaders> idle_readers_;
    RuntimeStats stats_;
    // Set once shutdown starts: completions are accounted, not delivered,
    // and nothing new starts.
    bool draining_ = false;
    // Set once nothing is in flight any more: close_detached closes inline.
    bool closed_ = false;

private:
    std::vector<Finished> finished_;  // reused: no allocation per turn
    // The adaptive spin of work_arrives_soon: how long the next one may
    // last, and when the thread last gave up and parked.
    std::chrono::nanoseconds spin_budget_{std::chrono::microseconds(50)};
    std::chrono::steady_clock::time_point parked_at_{};
    bool parked_ = false;
    std::size_t pool_in_flight_ = 0;
    std::size_t idle_in_flight_ = 0;
};

}  // namespace velnor::rt
