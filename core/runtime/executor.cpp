#include "core/runtime/executor.hpp"

#include <utility>

namespace velnor::rt {
namespace detail {

RootTask::promise_type::promise_type(Executor& ex, Task<void>&) noexcept : owner(&ex) {
    prev = ex.roots_.prev;
    next = &ex.roots_;
    ex.roots_.prev->next = this;
    ex.roots_.prev = this;
    ++ex.live_;
}

RootTask::promise_type::~promise_type() {
    prev->next = next;
    next->prev = prev;
    --owner->live_;
}

}  // namespace detail

namespace {
detail::RootTask run_root(Executor&, Task<void> task) { co_await task; }
}  // namespace

void Executor::schedule(std::coroutine_handle<> h) {
    if (closed_ || !h) return;
    ready_.push_back(h);
}

void Executor::spawn(Task<void> task) {
    if (closed_) return;  // `task` is destroyed unstarted
    detail::RootTask root = run_root(*this, std::move(task));
    try {
        ready_.push_back(root.handle);
    } catch (...) {
        root.handle.destroy();  // never ran: the caller learns of the failure
        throw;
    }
}

bool Executor::run_ready(unsigned max_steps) {
    for (unsigned i = 0; i < max_steps && !ready_.empty(); ++i) {
        std::coroutine_handle<> h = ready_.front();
        ready_.pop_front();
        h.resume();
    }
    return !ready_.empty();
}

void Executor::close() noexcept {
    if (closed_) return;
    closed_ = true;
    ready_.clear();
    // Destroying a root runs the destructors of every frame below it; they
    // may touch the executor (schedule, spawn), which is closed by now.
    while (roots_.next != &roots_) {
        auto* p = static_cast<detail::RootTask::promise_type*>(roots_.next);
        std::coroutine_handle<detail::RootTask::promise_type>::from_promise(*p).destroy();
    }
    ready_.clear();
}

}  // namespace velnor::rt
