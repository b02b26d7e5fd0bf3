#include "core/runtime/executor.hpp"

#include <algorithm>
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

void Executor::reserve(std::size_t n) {
    if (n <= ready_.size()) return;
    std::vector<std::coroutine_handle<>> grown(std::max<std::size_t>(n, ready_.size() * 2 + 16));
    for (std::size_t i = 0; i < count_; ++i) grown[i] = ready_[(head_ + i) % ready_.size()];
    ready_.swap(grown);
    head_ = 0;
}

void Executor::push(std::coroutine_handle<> h) {
    reserve(count_ + 1);  // only when the one-per-root room was exceeded
    ready_[(head_ + count_) % ready_.size()] = h;
    ++count_;
}

std::coroutine_handle<> Executor::pop() noexcept {
    std::coroutine_handle<> h = ready_[head_];
    head_ = (head_ + 1) % ready_.size();
    --count_;
    return h;
}

void Executor::schedule(std::coroutine_handle<> h) {
    if (closed_ || !h) return;
    push(h);
}

void Executor::spawn(Task<void> task) {
    if (closed_) return;  // `task` is destroyed unstarted
    reserve(live_ + count_ + 2);
    detail::RootTask root = run_root(*this, std::move(task));
    push(root.handle);
}

bool Executor::run_ready(unsigned max_steps) {
    for (unsigned i = 0; i < max_steps && count_ != 0; ++i) pop().resume();
    return count_ != 0;
}

void Executor::close() noexcept {
    if (closed_) return;
    closed_ = true;
    count_ = 0;
    // Destroying a root runs the destructors of every frame below it; they
    // may touch the executor (schedule, spawn), which is closed by now.
    while (roots_.next != &roots_) {
        auto* p = static_cast<detail::RootTask::promise_type*>(roots_.next);
        std::coroutine_handle<detail::RootTask::promise_type>::from_promise(*p).destroy();
    }
    count_ = 0;
}

}  // namespace velnor::rt
