#include "core/runtime/worker_pool.hpp"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <deque>
#include <new>

#include "core/runtime/event_waker.hpp"

namespace velnor::rt {

void CompletionInbox::post(const Finished& f) noexcept {
    {
        std::lock_guard<std::mutex> lock(mu_);
        items_.push_back(f);
        nonempty_.store(true, std::memory_order_seq_cst);
    }
    cv_.notify_all();
    waker_->wake();
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

struct WorkerPool::State {
    State(PoolConfig c, std::shared_ptr<CompletionInbox> i) : config(c), inbox(std::move(i)) {}
    const PoolConfig config;
    const std::shared_ptr<CompletionInbox> inbox;
    std::mutex mu;
    std::condition_variable cv;
    std::deque<PoolJob> jobs;
    unsigned workers = 0;
    unsigned idle = 0;  // workers waiting for a job
    bool closing = false;
};

WorkerPool::WorkerPool(PoolConfig config, std::shared_ptr<CompletionInbox> inbox)
    : state_(std::make_shared<State>(config, std::move(inbox))) {}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(state_->mu);
        state_->closing = true;
    }
    state_->cv.notify_all();
}

unsigned WorkerPool::workers() const noexcept {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->workers;
}

int WorkerPool::enqueue(const PoolJob& job) noexcept {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mu);
    s.jobs.push_back(job);
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
        auto* arg = new (std::nothrow) std::shared_ptr<State>(state_);
        err = ENOMEM;
        if (arg) {
            pthread_attr_t attr;
            pthread_attr_init(&attr);
            pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
            pthread_t tid;
            err = pthread_create(&tid, &attr, &WorkerPool::worker_main, arg);
            pthread_attr_destroy(&attr);
            if (err == 0) {
                ++s.workers;
                return 0;
            }
            delete arg;
        }
    }
    // At the limit, or the thread could not be started: the job waits for
    // a worker that finishes, unless there is none to wait for.
    if (s.workers > 0) return 0;
    s.jobs.pop_back();
    return -err;
}

void* WorkerPool::worker_main(void* arg) noexcept {
    std::shared_ptr<State> state = std::move(*static_cast<std::shared_ptr<State>*>(arg));
    delete static_cast<std::shared_ptr<State>*>(arg);
    State& s = *state;

    pthread_setname_np(pthread_self(), "velnor-worker");
    // Asynchronous signals belong to the threads that handle them (the
    // interpreter's main thread); here they would only interrupt blocking
    // calls. Faults stay deliverable so that crashes are still reported.
    sigset_t set;
    sigfillset(&set);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS})
        sigdelset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    std::unique_lock<std::mutex> lock(s.mu);
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
        lock.unlock();
        const std::int64_t r = job.run(job.item);
        s.inbox->post(Finished{job.item, r, job.tag});
        lock.lock();
    }
    --s.workers;
    return nullptr;
}

}  // namespace velnor::rt
