// The blocking worker pool: detached threads for work that must block
// (appends, and every file operation on the fallback backend), and the
// inbox through which their results reach the driver thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace velnor::rt {

class EventWaker;

// A result on its way back to the driver thread. `tag` says what `item` is;
// only the driver interprets either.
struct Finished {
    void* item = nullptr;
    std::int64_t result = 0;
    std::uint8_t tag = 0;
};

// Results posted by workers, taken by the driver. Posting wakes a parked
// driver through the event waker.
class CompletionInbox {
public:
    explicit CompletionInbox(std::shared_ptr<EventWaker> waker) noexcept
        : waker_(std::move(waker)) {}

    // Any thread. `wake` false leaves a parked driver parked: for a result
    // that another, posted later, will announce.
    void post(const Finished& f, bool wake = true) noexcept;
    // seq_cst: the driver reads this after announcing it is parked (see
    // EventWaker), and a worker sets it before it looks at "parked".
    bool has_items() const noexcept { return nonempty_.load(std::memory_order_seq_cst); }
    // Swaps the queued results into `out` (whose old contents are dropped).
    void take(std::vector<Finished>& out) noexcept;
    // Blocks the caller until something is queued (shutdown only).
    void wait_for_items() noexcept;

private:
    std::shared_ptr<EventWaker> waker_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Finished> items_;
    std::atomic<bool> nonempty_{false};
};

struct PoolJob {
    std::int64_t (*run)(void* item) noexcept = nullptr;
    void* item = nullptr;
    std::uint8_t tag = 0;
};

struct PoolConfig {
    unsigned max_workers = 256;
    std::chrono::milliseconds idle_timeout = std::chrono::seconds(60);
};

class WorkerPool {
public:
    WorkerPool(PoolConfig config, std::shared_ptr<CompletionInbox> inbox);
    // Idle workers leave at once; busy ones finish every queued job and
    // post its result first. Nothing waits for them: they hold the shared
    // state themselves.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // 0 when the job is queued: some worker will run it and post
    // {item, result, tag} to the inbox. -errno when no worker exists and
    // none could be started: the job will never run.
    int enqueue(const PoolJob& job) noexcept;

    // Asks the pool to give up on the job whose item is `item`. A job still
    // queued never runs and posts -ECANCELED at once; a running one has its
    // worker's blocked system call interrupted (by a signal, sent again
    // until the job ends: one that lands just before the call would
    // otherwise be lost) and posts whatever it ends with, -ECANCELED where
    // the call was interrupted. Unknown items are ignored.
    void withdraw(void* item) noexcept;

    // Live worker threads (for tests and diagnostics).
    unsigned workers() const noexcept;

    // The signal that interrupts a withdrawn job's system call.
    static int interrupt_signal() noexcept;

private:
    struct State;
    struct Worker;
    static void* worker_main(void* arg) noexcept;
    static void* interrupter_main(void* arg) noexcept;
    void start_interrupter() noexcept;
    std::shared_ptr<State> state_;
};

// On a worker thread: whether the job it runs was withdrawn, so that its
// system calls stop retrying EINTR. False on any other thread.
bool job_withdrawn() noexcept;

}  // namespace velnor::rt
