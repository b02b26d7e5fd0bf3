#include "core/runtime/idle_readers.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "core/runtime/detached_thread.hpp"

namespace velnor::rt {

struct IdleReaders::State {
    State(IdleReadersConfig c, std::shared_ptr<CompletionInbox> i)
        : wanted(c.readers ? c.readers
                           : static_cast<unsigned>(std::clamp<long>(::sysconf(_SC_NPROCESSORS_ONLN), 1, 64))),
          guard_delay(c.guard_delay),
          inbox(std::move(i)) {}
    const unsigned wanted;
    const std::chrono::microseconds guard_delay;
    const std::shared_ptr<CompletionInbox> inbox;
    std::mutex mu;
    std::condition_variable readers_cv;
    std::condition_variable guard_cv;
    std::deque<PoolJob> jobs;
    // When a reader last took a job, or the queue last stopped being empty:
    // the guard's clock. Its own takes leave it alone, so that it goes on
    // while the readers get no CPU.
    std::chrono::steady_clock::time_point reader_took{};
    unsigned readers = 0;
    unsigned running = 0;  // jobs taken and not yet posted
    bool guard = false;
    bool closing = false;
    std::uint64_t by_guard = 0;

    // With the lock held and a job queued.
    PoolJob take() {
        PoolJob job = jobs.front();
        jobs.pop_front();
        return job;
    }
};

namespace {

// Runs the job outside the lock and posts its result. Only the last of a
// burst wakes the driver: the chunks of one read are of no use to it before
// the last one, and each wake-up would take a CPU from the copying.
void run(IdleReaders::State& s, std::unique_lock<std::mutex>& lock, const PoolJob& job) noexcept {
    ++s.running;
    lock.unlock();
    const std::int64_t r = job.run(job.item);
    lock.lock();
    const bool last = --s.running == 0 && s.jobs.empty();
    // Posted under the lock: a job that ends meanwhile sees this one gone
    // and wakes the driver after it.
    s.inbox->post(Finished{job.item, r, job.tag}, last);
}

}  // namespace

IdleReaders::IdleReaders(IdleReadersConfig config, std::shared_ptr<CompletionInbox> inbox)
    : state_(std::make_shared<State>(config, std::move(inbox))) {}

IdleReaders::~IdleReaders() {
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->closing = true;
    }
    state_->readers_cv.notify_all();
    state_->guard_cv.notify_all();
}

int IdleReaders::start_threads() noexcept {
    State& s = *state_;
    int err = 0;
    if (!s.guard) {
        err = start_detached(state_, &IdleReaders::guard_main);
        s.guard = err == 0;
    }
    while (s.readers < s.wanted) {
        if (const int e = start_detached(state_, &IdleReaders::reader_main); e != 0) {
            err = e;
            break;
        }
        ++s.readers;
    }
    return s.guard || s.readers > 0 ? 0 : -err;
}

int IdleReaders::enqueue(const PoolJob& job) noexcept {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mu);
    if (const int r = start_threads(); r < 0) return r;
    const bool was_empty = s.jobs.empty();
    try {
        s.jobs.push_back(job);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
    // The guard counts from now, not from a take long ago.
    if (was_empty) s.reader_took = std::chrono::steady_clock::now();
    lock.unlock();
    s.readers_cv.notify_one();
    if (was_empty) s.guard_cv.notify_one();
    return 0;
}

void IdleReaders::withdraw(void* item) noexcept {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mu);
    const auto it = std::find_if(s.jobs.begin(), s.jobs.end(), [&](const PoolJob& j) { return j.item == item; });
    if (it == s.jobs.end()) return;
    const PoolJob job = *it;
    s.jobs.erase(it);
    lock.unlock();
    s.inbox->post(Finished{job.item, -ECANCELED, job.tag});
}

void IdleReaders::withdraw_queued() noexcept {
    State& s = *state_;
    std::deque<PoolJob> queued;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        queued.swap(s.jobs);
    }
    for (const PoolJob& job : queued) s.inbox->post(Finished{job.item, -ECANCELED, job.tag});
}

unsigned IdleReaders::threads() const noexcept {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->readers + (state_->guard ? 1u : 0u);
}

std::uint64_t IdleReaders::run_by_guard() const noexcept {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->by_guard;
}

void* IdleReaders::reader_main(void* arg) noexcept {
    const auto state = adopt_state<State>(arg);
    State& s = *state;
    pthread_setname_np(pthread_self(), "velnor-idle");
    block_async_signals();
    // Refused only by a policy that forbids it (a seccomp filter, say): the
    // thread then reads at normal priority, as the kernel's workers would.
    const sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);

    std::unique_lock<std::mutex> lock(s.mu);
    for (;;) {
        if (s.jobs.empty()) {
            if (s.closing) break;
            s.readers_cv.wait(lock);
            continue;
        }
        s.reader_took = std::chrono::steady_clock::now();
        run(s, lock, s.take());
    }
    --s.readers;
    return nullptr;
}

void* IdleReaders::guard_main(void* arg) noexcept {
    const auto state = adopt_state<State>(arg);
    State& s = *state;
    pthread_setname_np(pthread_self(), "velnor-guard");
    block_async_signals();

    std::unique_lock<std::mutex> lock(s.mu);
    for (;;) {
        if (s.jobs.empty()) {
            if (s.closing) break;
            s.guard_cv.wait(lock);
            continue;
        }
        // Closing: nobody waits for the readers' spare time any more.
        if (!s.closing) {
            const auto due = s.reader_took + s.guard_delay;
            if (std::chrono::steady_clock::now() < due) {
                s.guard_cv.wait_until(lock, due);
                continue;
            }
        }
        ++s.by_guard;
        run(s, lock, s.take());
    }
    s.guard = false;
    return nullptr;
}

}  // namespace velnor::rt
