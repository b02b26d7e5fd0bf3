// Single-threaded FIFO executor of coroutine handles, and the root tasks it
// owns. Runs on the driver thread only.
#pragma once

#include <coroutine>
#include <cstddef>
#include <vector>

#include "core/runtime/task.hpp"

namespace velnor::rt {

class Executor;

namespace detail {
struct RootLink {
    RootLink* prev = this;
    RootLink* next = this;
};

// The coroutine that owns one spawned task: it awaits the task and frees its
// own frame when the task is done. Unfinished roots stay linked into their
// executor so that closing it can destroy them.
struct RootTask {
    struct promise_type : RootLink {
        promise_type(Executor& ex, Task<void>&) noexcept;
        ~promise_type();
        RootTask get_return_object() noexcept {
            return {std::coroutine_handle<promise_type>::from_promise(*this)};
        }
        std::suspend_always initial_suspend() const noexcept { return {}; }
        std::suspend_never final_suspend() const noexcept { return {}; }
        void return_void() const noexcept {}
        [[noreturn]] void unhandled_exception() const noexcept { std::terminate(); }

        Executor* owner;
    };
    std::coroutine_handle<promise_type> handle;
};
}  // namespace detail

class Executor {
public:
    Executor() = default;
    ~Executor() { close(); }
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    // Queues `h` behind everything already ready. Ignored once closed.
    void schedule(std::coroutine_handle<> h);
    // Wraps `task` in a root that frees itself when done and queues it.
    // Once closed the task is destroyed without running. Throws
    // std::bad_alloc (the task destroyed unstarted) when memory runs out:
    // this is where the queue grows, so that schedule() never allocates.
    void spawn(Task<void> task);

    // Resumes at most `max_steps` ready handles, oldest first; handles
    // queued meanwhile wait behind the older ones. True when some are
    // still ready.
    bool run_ready(unsigned max_steps);
    bool has_ready() const noexcept { return count_ != 0; }

    // Destroys every unfinished root without resuming it and forgets the
    // queued handles; later schedule() and spawn() do nothing.
    void close() noexcept;
    bool closed() const noexcept { return closed_; }
    std::size_t live_roots() const noexcept { return live_; }

private:
    friend struct detail::RootTask::promise_type;
    // Every handle ready at once belongs to a distinct root (a task waits
    // for one thing at a time), so room for one per root plus one keeps
    // schedule() from allocating inside a completion.
    void reserve(std::size_t n);
    void push(std::coroutine_handle<> h);
    std::coroutine_handle<> pop() noexcept;
    std::vector<std::coroutine_handle<>> ready_;  // a ring of `count_` from `head_`
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    detail::RootLink roots_;
    std::size_t live_ = 0;
    bool closed_ = false;
};

}  // namespace velnor::rt
