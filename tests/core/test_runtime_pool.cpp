// The worker pool, the idle readers, their inbox and the event waker, on
// their own.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "core/runtime/event_waker.hpp"
#include "core/runtime/idle_readers.hpp"
#include "core/runtime/worker_pool.hpp"

namespace velnor::rt::test {
namespace {

using namespace std::chrono_literals;

// Jobs that block until released, so that several are running at once.
struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    bool open = false;
    std::atomic<int> running{0}, peak{0};

    static std::int64_t run(void* p) noexcept {
        auto* g = static_cast<Gate*>(p);
        const int now = ++g->running;
        int peak = g->peak.load();
        while (now > peak && !g->peak.compare_exchange_weak(peak, now)) {
        }
        std::unique_lock lk(g->mu);
        g->cv.wait(lk, [g] { return g->open; });
        --g->running;
        return 7;
    }
    void release() {
        std::lock_guard lk(mu);
        open = true;
        cv.notify_all();
    }
};

std::shared_ptr<CompletionInbox> make_inbox() {
    auto waker = EventWaker::create();
    EXPECT_TRUE(waker.ok());
    return std::make_shared<CompletionInbox>(waker.ok() ? waker.value() : nullptr);
}

// Waits (bounded) for `n` results.
std::vector<Finished> collect(CompletionInbox& inbox, std::size_t n) {
    std::vector<Finished> all, some;
    while (all.size() < n) {
        inbox.wait_for_items();
        inbox.take(some);
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

TEST(WorkerPool, EachQueuedJobGetsAWorkerUpToTheLimit) {
    // Jobs that block must not queue behind each other while the pool may
    // still grow; past the limit they wait for a free worker.
    auto inbox = make_inbox();
    WorkerPool pool(PoolConfig{3, 10s}, inbox);
    Gate gate;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(pool.enqueue(PoolJob{&Gate::run, &gate, 9}), 0);
    while (gate.running.load() < 3) std::this_thread::yield();
    EXPECT_EQ(pool.workers(), 3u);
    gate.release();
    const auto got = collect(*inbox, 5);
    for (const Finished& f : got) {
        EXPECT_EQ(f.item, &gate);
        EXPECT_EQ(f.result, 7);
        EXPECT_EQ(f.tag, 9);
    }
    EXPECT_EQ(gate.peak.load(), 3);
}

TEST(WorkerPool, IdleWorkersLeaveAndComeBackWhenNeeded) {
    auto inbox = make_inbox();
    WorkerPool pool(PoolConfig{4, 20ms}, inbox);
    Gate gate;
    gate.release();
    ASSERT_EQ(pool.enqueue(PoolJob{&Gate::run, &gate, 0}), 0);
    collect(*inbox, 1);
    // Given up to ten seconds to leave; how long it took is not checked.
    for (int i = 0; i < 2000 && pool.workers() > 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(pool.workers(), 0u);
    ASSERT_EQ(pool.enqueue(PoolJob{&Gate::run, &gate, 0}), 0);
    EXPECT_EQ(collect(*inbox, 1).at(0).result, 7);
}

TEST(WorkerPool, WithoutAnyPossibleWorkerAJobIsRefused) {
    auto inbox = make_inbox();
    WorkerPool pool(PoolConfig{0, 10s}, inbox);
    Gate gate;
    EXPECT_LT(pool.enqueue(PoolJob{&Gate::run, &gate, 0}), 0);
    EXPECT_FALSE(inbox->has_items());
}

TEST(WorkerPool, DestroyingThePoolLetsRunningJobsFinishAndPost) {
    auto inbox = make_inbox();
    Gate gate;
    {
        WorkerPool pool(PoolConfig{2, 10s}, inbox);
        ASSERT_EQ(pool.enqueue(PoolJob{&Gate::run, &gate, 1}), 0);
        ASSERT_EQ(pool.enqueue(PoolJob{&Gate::run, &gate, 2}), 0);
        while (gate.running.load() < 2) std::this_thread::yield();
    }
    gate.release();
    EXPECT_EQ(collect(*inbox, 2).size(), 2u);
}

std::int64_t quick(void*) noexcept { return 5; }

TEST(WorkerPool, WithOneWorkerBlockedAndOneIdleTwoNewJobsBothFinish) {
    // The idle worker must take a queued job, and the job beyond it must get
    // a worker of its own, never one stuck behind the blocked worker.
    auto inbox = make_inbox();
    WorkerPool pool(PoolConfig{8, 10s}, inbox);
    Gate gate;
    ASSERT_EQ(pool.enqueue(PoolJob{&Gate::run, &gate, 1}), 0);
    while (gate.running.load() < 1) std::this_thread::yield();
    int a = 0, b = 0, c = 0;
    ASSERT_EQ(pool.enqueue(PoolJob{&quick, &a, 2}), 0);
    EXPECT_EQ(collect(*inbox, 1).at(0).item, &a);
    // That worker is idle now; the first stays blocked.
    for (int i = 0; i < 10; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(pool.enqueue(PoolJob{&quick, &b, 3}), 0);
    ASSERT_EQ(pool.enqueue(PoolJob{&quick, &c, 4}), 0);
    const auto got = collect(*inbox, 2);
    EXPECT_EQ(got.size(), 2u);
    for (const Finished& f : got) {
        EXPECT_TRUE(f.item == &b || f.item == &c);
        EXPECT_EQ(f.result, 5);
    }
    EXPECT_EQ(gate.running.load(), 1);
    gate.release();
    collect(*inbox, 1);
}

struct PipeRead {
    int fd = -1;
    std::atomic<bool> started{false};
    static std::int64_t run(void* p) noexcept {
        auto* self = static_cast<PipeRead*>(p);
        self->started = true;
        char c;
        // Retries EINTR the way the pool's own calls do.
        for (;;) {
            const ssize_t r = ::read(self->fd, &c, 1);
            if (r >= 0) return r;
            if (errno != EINTR || job_withdrawn()) return -errno;
        }
    }
};

TEST(WorkerPool, AWithdrawnJobThatBlocksIsInterruptedAndOneQueuedNeverRuns) {
    auto inbox = make_inbox();
    WorkerPool pool(PoolConfig{1, 10s}, inbox);
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    PipeRead blocked;
    blocked.fd = p[0];
    PipeRead queued;
    queued.fd = p[0];
    ASSERT_EQ(pool.enqueue(PoolJob{&PipeRead::run, &blocked, 1}), 0);
    ASSERT_EQ(pool.enqueue(PoolJob{&PipeRead::run, &queued, 2}), 0);
    while (!blocked.started.load()) std::this_thread::yield();
    pool.withdraw(&queued);
    auto got = collect(*inbox, 1);
    EXPECT_EQ(got.at(0).item, &queued);
    EXPECT_EQ(got.at(0).result, -ECANCELED);
    EXPECT_FALSE(queued.started.load());
    // Withdrawn at once and again and again: a signal that lands before
    // the call starts would be lost, so the pool sends it until the job ends.
    pool.withdraw(&blocked);
    got = collect(*inbox, 1);
    EXPECT_EQ(got.at(0).item, &blocked);
    EXPECT_EQ(got.at(0).result, -ECANCELED);
    // The pool goes on working.
    int a = 0;
    ASSERT_EQ(pool.enqueue(PoolJob{&quick, &a, 3}), 0);
    EXPECT_EQ(collect(*inbox, 1).at(0).result, 5);
    ::close(p[0]);
    ::close(p[1]);
}

// A job that notes the scheduling policy it ran under.
struct Policy {
    std::atomic<int> seen{-1};
    static std::int64_t run(void* p) noexcept {
        static_cast<Policy*>(p)->seen.store(::sched_getscheduler(0));
        return 3;
    }
};

TEST(IdleReaders, JobsRunAtIdlePriorityUnlessTheGuardTookThem) {
    auto inbox = make_inbox();
    IdleReaders readers(IdleReadersConfig{.readers = 2}, inbox);
    std::array<Policy, 32> jobs;
    for (Policy& j : jobs) ASSERT_EQ(readers.enqueue(PoolJob{&Policy::run, &j, 4}), 0);
    const auto got = collect(*inbox, jobs.size());
    for (const Finished& f : got) {
        EXPECT_EQ(f.result, 3);
        EXPECT_EQ(f.tag, 4);
    }
    EXPECT_EQ(readers.threads(), 3u) << "two readers and the guard";
    std::size_t idle = 0;
    for (const Policy& j : jobs) idle += j.seen.load() == SCHED_IDLE;
    EXPECT_EQ(idle + readers.run_by_guard(), jobs.size()) << "a reader ran a job at normal priority";
}

TEST(IdleReaders, EveryReaderTakesAJobWhileTheOthersAreBusy) {
    // A burst's chunks run side by side, one per reader, not one after
    // another on whichever reader woke first. The guard never steps in.
    auto inbox = make_inbox();
    IdleReaders readers(IdleReadersConfig{.readers = 3, .guard_delay = 3600s}, inbox);
    Gate gate;
    for (std::uint8_t i = 0; i < 3; ++i) ASSERT_EQ(readers.enqueue(PoolJob{&Gate::run, &gate, i}), 0);
    // However long idle threads wait for a CPU on a busy machine.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (gate.running.load() < 3 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    EXPECT_EQ(gate.running.load(), 3) << "the jobs waited for one another";
    gate.release();
    EXPECT_EQ(collect(*inbox, 3).size(), 3u);
    EXPECT_EQ(readers.run_by_guard(), 0u);
}

// Held until released when a reader runs it; at once on the guard.
struct HeldOnAReader : Gate {
    static std::int64_t run(void* p) noexcept {
        return ::sched_getscheduler(0) == SCHED_IDLE ? Gate::run(p) : 8;
    }
};

TEST(IdleReaders, WhileNoReaderTakesAJobTheGuardRunsTheQueueAtNormalPriority) {
    // The one reader is held by a job that does not end, as readers are
    // when others want every CPU: the queue must not wait for it.
    auto inbox = make_inbox();
    IdleReaders readers(IdleReadersConfig{.readers = 1, .guard_delay = 2ms}, inbox);
    HeldOnAReader held;
    for (;;) {  // the guard takes the job when the reader is slow to start
        ASSERT_EQ(readers.enqueue(PoolJob{&HeldOnAReader::run, &held, 0}), 0);
        while (held.running.load() < 1 && !inbox->has_items()) std::this_thread::yield();
        if (held.running.load() == 1) break;
        ASSERT_EQ(collect(*inbox, 1).at(0).result, 8);
    }
    const auto guard_before = readers.run_by_guard();
    std::array<Policy, 8> jobs;
    for (Policy& j : jobs) ASSERT_EQ(readers.enqueue(PoolJob{&Policy::run, &j, 1}), 0);
    const auto got = collect(*inbox, jobs.size());
    for (const Finished& f : got) EXPECT_EQ(f.tag, 1) << "the held job ended";
    for (const Policy& j : jobs) EXPECT_EQ(j.seen.load(), SCHED_OTHER);
    EXPECT_EQ(readers.run_by_guard() - guard_before, jobs.size());
    held.release();
    EXPECT_EQ(collect(*inbox, 1).at(0).tag, 0);
}

TEST(IdleReaders, AQueuedJobWithdrawnPostsCancelledAndNeverRunsAndTheRestRunAtTheEnd) {
    auto inbox = make_inbox();
    Gate gate;
    std::array<Policy, 4> jobs;
    {
        IdleReaders readers(IdleReadersConfig{.readers = 1, .guard_delay = 3600s}, inbox);
        ASSERT_EQ(readers.enqueue(PoolJob{&Gate::run, &gate, 0}), 0);
        while (gate.running.load() < 1) std::this_thread::yield();
        for (Policy& j : jobs) ASSERT_EQ(readers.enqueue(PoolJob{&Policy::run, &j, 1}), 0);
        readers.withdraw(&jobs[1]);
        readers.withdraw(&gate);  // running: it runs its course
        auto got = collect(*inbox, 1);
        EXPECT_EQ(got.at(0).item, &jobs[1]);
        EXPECT_EQ(got.at(0).result, -ECANCELED);
        // Gone with three jobs queued behind a reader that is held.
    }
    // Nobody waits for idle time any more: the queue runs at once, each job
    // posting once, and the held job too when it ends.
    auto got = collect(*inbox, 3);
    gate.release();
    auto last = collect(*inbox, 1);
    got.insert(got.end(), last.begin(), last.end());
    EXPECT_EQ(jobs[1].seen.load(), -1) << "a withdrawn job ran";
    std::array<int, 4> posted{};
    for (const Finished& f : got)
        if (f.item != &gate) ++posted.at(static_cast<Policy*>(f.item) - jobs.data());
    EXPECT_EQ(posted, (std::array<int, 4>{1, 0, 1, 1}));
    std::vector<Finished> more;
    inbox->take(more);
    EXPECT_TRUE(more.empty()) << "a job posted twice";
}

TEST(EventWaker, OnlyAParkedDriverIsWrittenToAndOnlyOnce) {
    auto created = EventWaker::create();
    ASSERT_TRUE(created.ok());
    auto w = created.value();
    w->wake();
    EXPECT_EQ(w->writes(), 0u) << "a running driver needs no wake-up";
    w->set_parked();
    w->wake();
    w->wake();
    w->wake();
    EXPECT_EQ(w->writes(), 1u) << "a pending wake-up is not written again";
    std::uint64_t count = 0;
    ASSERT_EQ(::read(w->fd(), &count, sizeof count), 8);
    EXPECT_EQ(count, 1u);
}

}  // namespace
}  // namespace velnor::rt::test
