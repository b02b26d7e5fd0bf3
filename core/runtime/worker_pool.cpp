#include "core/runtime/worker_pool.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <list>
#include <mutex>
#include <new>

#include "core/runtime/detached_thread.hpp"
#include "core/runtime/event_waker.hpp"

namespace velnor::rt {

void CompletionInbox::post(const Finished& f, bool wake) noexcept {
    {
        std::lock_guard<std::mutex> lock(mu_);
        items_.push_back(f);
        nonempty_.store(true, std::memory_order_seq_cst);
    }
    cv_.notify_all();
    if (wake) waker_->wake();
}

void CompletionInbox::take(std::vector<Finished>& out) noexcept {
    out.clear();
    // Cleared before the list is taken: a result posted after the swap sets
    // it again, so none is left behind unannounced.
    nonempty_.store(false, std::memory_order_seq_cst);
    std::lock_guard<std::mutex> lock(mu_);
    out.swap(items_);
}

void CompletionInbox::wait_for_items() noexcept {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return !items_.empty(); });
}

namespace {

thread_local const std::atomic<bool>* tls_withdrawn = nullptr;

// SIGURG is ignored by default, so a stray one (sent after its job ended,
// or with our handler replaced) cannot end the process.
constexpr int kInterruptSignal = SIGURG;

void on_interrupt(int) noexcept {}

// The handler exists only to make the blocked call return EINTR: no
// SA_RESTART. An application's own handler for the signal is left alone.
void install_interrupt_handler() noexcept {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction old {};
        if (::sigaction(kInterruptSignal, nullptr, &old) != 0) return;
        if (!(old.sa_flags & SA_SIGINFO) && old.sa_handler != SIG_DFL) return;
        if ((old.sa_flags & SA_SIGINFO) && old.sa_sigaction != nullptr) return;
        struct sigaction sa {};
        sa.sa_handler = &on_interrupt;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        ::sigaction(kInterruptSignal, &sa, nullptr);
    });
}

constexpr auto kResendInterval = std::chrono::milliseconds(2);

}  // namespace

bool job_withdrawn() noexcept {
    return tls_withdrawn && tls_withdrawn->load(std::memory_order_acquire);
}

int WorkerPool::interrupt_signal() noexcept { return kInterruptSignal; }

struct WorkerPool::Worker {
    pid_t tid = 0;
    void* running = nullptr;  // the item of the job it runs
    std::atomic<bool> withdrawn{false};
};

struct WorkerPool::State {
    State(PoolConfig c, std::shared_ptr<CompletionInbox> i) : config(c), inbox(std::move(i)) {}
    const PoolConfig config;
    const std::shared_ptr<CompletionInbox> inbox;
    std::mutex mu;
    std::condition_variable cv;
    std::deque<PoolJob> jobs;
    std::list<Worker> running;  // one entry per live worker
    unsigned workers = 0;
    unsigned idle = 0;  // workers waiting for a job
    bool closing = false;
    // The thread that sends interrupts again until their jobs end.
    std::condition_variable interrupter_cv;
    bool interrupter = false;
    unsigned withdrawn_running = 0;
};

WorkerPool::WorkerPool(PoolConfig config, std::shared_ptr<CompletionInbox> inbox)
    : state_(std::make_shared<State>(config, std::move(inbox))) {
    install_interrupt_handler();
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->closing = true;
    }
    state_->cv.notify_all();
    state_->interrupter_cv.notify_all();
}

void WorkerPool::withdraw(void* item) noexcept {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mu);
    for (auto it = s.jobs.begin(); it != s.jobs.end(); ++it) {
        if (it->item != item) continue;
        const PoolJob job = *it;
        s.jobs.erase(it);
        lock.unlock();
        s.inbox->post(Finished{job.item, -ECANCELED, job.tag});
        return;
    }
    for (Worker& w : s.running) {
        if (w.running != item || w.withdrawn.load(std::memory_order_relaxed)) continue;
        w.withdrawn.store(true, std::memory_order_release);
        ++s.withdrawn_running;
        ::syscall(SYS_tgkill, ::getpid(), w.tid, kInterruptSignal);
        if (!s.interrupter) start_interrupter();
        s.interrupter_cv.notify_all();
        return;
    }
}

// Called with the lock held.
void WorkerPool::start_interrupter() noexcept {
    // Not started: the first signal may still do; the next withdraw tries again.
    if (start_detached(state_, &WorkerPool::interrupter_main) == 0) state_->interrupter = true;
}

void* WorkerPool::interrupter_main(void* arg) noexcept {
    const auto state = adopt_state<State>(arg);
    State& s = *state;
    // At most 15 characters: a longer name is refused and the thread would
    // keep the driver's, which is how the driver thread is found.
    pthread_setname_np(pthread_self(), "velnor-intr");
    sigset_t set;
    sigfillset(&set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    std::unique_lock<std::mutex> lock(s.mu);
    for (;;) {
        if (s.withdrawn_running == 0) {
            if (s.closing) break;
            s.interrupter_cv.wait(lock);
            continue;
        }
        s.interrupter_cv.wait_for(lock, kResendInterval);
        // Under the lock a withdrawn worker is still inside its job: it
        // clears `running` under the same lock when the job returns.
        for (Worker& w : s.running)
            if (w.running && w.withdrawn.load(std::memory_order_relaxed))
                ::syscall(SYS_tgkill, ::getpid(), w.tid, kInterruptSignal);
    }
    s.interrupter = false;
    return nullptr;
}

unsigned WorkerPool::workers() const noexcept {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->workers;
}

int WorkerPool::enqueue(const PoolJob& job) noexcept {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mu);
    try {
        s.jobs.push_back(job);
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
    // Each queued job needs an idle worker of its own: a job that waited
    // for a busy worker could wait forever behind one that blocks (a read
    // from a FIFO on the fallback, say).
    if (s.jobs.size() <= s.idle) {
        lock.unlock();
        s.cv.notify_one();
        return 0;
    }
    int err = EAGAIN;
    if (s.workers < s.config.max_workers) {
        err = start_detached(state_, &WorkerPool::worker_main);
        if (err == 0) {
            ++s.workers;
            return 0;
        }
    }
    // At the limit, or the thread could not be started: the job waits for
    // a worker that finishes, unless there is none to wait for.
    if (s.workers > 0) return 0;
    s.jobs.pop_back();
    return -err;
}

void* WorkerPool::worker_main(void* arg) noexcept {
    const auto state = adopt_state<State>(arg);
    State& s = *state;

    pthread_setname_np(pthread_self(), "velnor-worker");
    block_async_signals({kInterruptSignal});  // the pool's own interrupt stays deliverable

    std::unique_lock<std::mutex> lock(s.mu);
    s.running.emplace_back();
    const auto self = std::prev(s.running.end());
    self->tid = static_cast<pid_t>(::syscall(SYS_gettid));
    tls_withdrawn = &self->withdrawn;
    for (;;) {
        if (s.jobs.empty()) {
            if (s.closing) break;
            const auto deadline = std::chrono::steady_clock::now() + s.config.idle_timeout;
            ++s.idle;
            bool timed_out = false;
            while (s.jobs.empty() && !s.closing && !timed_out)
                timed_out = s.cv.wait_until(lock, deadline) == std::cv_status::timeout;
            --s.idle;
            if (s.jobs.empty()) break;  // idle too long, or the pool is gone
        }
        PoolJob job = s.jobs.front();
        s.jobs.pop_front();
        self->running = job.item;
        lock.unlock();
        std::int64_t r = job.run(job.item);
        lock.lock();
        self->running = nullptr;
        if (self->withdrawn.load(std::memory_order_relaxed)) {
            self->withdrawn.store(false, std::memory_order_relaxed);
            --s.withdrawn_running;
            if (r == -EINTR) r = -ECANCELED;
        }
        // Posted under the lock: once withdraw() no longer finds the job,
        // its result is on its way.
        s.inbox->post(Finished{job.item, r, job.tag});
    }
    tls_withdrawn = nullptr;
    s.running.erase(self);
    --s.workers;
    return nullptr;
}

}  // namespace velnor::rt
