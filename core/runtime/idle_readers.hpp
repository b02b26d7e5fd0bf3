// The threads that copy the chunks of a large read: at the scheduler's idle
// priority, so that the copies take CPUs nobody else wants and give way at
// once to any thread that wakes, the event loop's above all.
//
// Where the kernel does not preempt, a copy at normal priority keeps a CPU
// until its time slice is used up: two of them (the only way to beat one
// thread reading a cached file) kept a woken loop thread from a CPU for 3 to
// 12 ms. The kernel's own workers cannot be lowered: they take the priority
// of the thread that submits to the ring, which is the driver. A thread of
// idle priority is left at the next return to user space, one chunk later.
//
// Idle priority gets next to nothing of a CPU that others want, so a guard
// thread of normal priority runs the queued chunks itself while no reader
// has taken one for `guard_delay`: on a machine busy to its limit the read
// goes on at one normal thread's pace instead of starving.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "core/runtime/worker_pool.hpp"

namespace velnor::rt {

struct IdleReadersConfig {
    // Threads of idle priority. 0: one per CPU online, at most 64.
    unsigned readers = 0;
    std::chrono::microseconds guard_delay = std::chrono::milliseconds(4);
};

class IdleReaders {
public:
    IdleReaders(IdleReadersConfig config, std::shared_ptr<CompletionInbox> inbox);
    // Threads left with queued jobs run them all and post their results
    // first; they hold the shared state themselves.
    ~IdleReaders();
    IdleReaders(const IdleReaders&) = delete;
    IdleReaders& operator=(const IdleReaders&) = delete;

    // 0 when the job is queued: a thread will run it and post {item,
    // result, tag} to the inbox. -errno when no thread exists and none
    // could be started: the job will never run.
    int enqueue(const PoolJob& job) noexcept;

    // A job still queued never runs and posts -ECANCELED at once. A running
    // one (a chunk of a regular file) runs its course. Unknown items are
    // ignored.
    void withdraw(void* item) noexcept;
    // Every job still queued posts -ECANCELED at once and never runs.
    void withdraw_queued() noexcept;

    // For tests and diagnostics: live threads, guard included, and the jobs
    // the guard ran.
    unsigned threads() const noexcept;
    std::uint64_t run_by_guard() const noexcept;

    struct State;  // shared with the threads, which outlive the object

private:
    static void* reader_main(void* arg) noexcept;
    static void* guard_main(void* arg) noexcept;
    // With the lock held: starts the threads that are not running yet.
    int start_threads() noexcept;
    std::shared_ptr<State> state_;
};

}  // namespace velnor::rt
