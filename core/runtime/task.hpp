// Lazily started coroutine tasks for the driver thread's executor.
// `Task<T>` is awaited by its parent (symmetric transfer on completion);
// the root of each operation is handed to `Executor::spawn`.
#pragma once

#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace velnor::rt {

template <class T>
class Task;

namespace detail {
struct FinalAwait {
    bool await_ready() const noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) const noexcept {
        auto cont = h.promise().continuation;
        return cont ? cont : std::noop_coroutine();
    }
    void await_resume() const noexcept {}
};

struct PromiseBase {
    std::coroutine_handle<> continuation;
    // Failures in the core are values; the one exception a task may end
    // with is running out of memory (a frame, a buffer, a table entry),
    // which its awaiter re-raises so that the operation fails, not the
    // driver thread.
    std::exception_ptr error;
    std::suspend_always initial_suspend() const noexcept { return {}; }
    FinalAwait final_suspend() const noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }
    void rethrow_if_failed() const {
        if (error) std::rethrow_exception(error);
    }
};

// The promises differ only in how the task's result is kept.
template <class T>
struct Promise : PromiseBase {
    std::optional<T> value;
    Task<T> get_return_object() noexcept;
    template <class U>
    void return_value(U&& v) noexcept(noexcept(T(std::forward<U>(v)))) {
        value.emplace(std::forward<U>(v));
    }
};

template <>
struct Promise<void> : PromiseBase {
    Task<void> get_return_object() noexcept;
    void return_void() const noexcept {}
};
}  // namespace detail

template <class T>
class Task {
public:
    using promise_type = detail::Promise<T>;

    Task() = default;
    Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Task& operator=(Task&& o) noexcept {
        if (this != &o) {
            if (h_) h_.destroy();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    ~Task() {
        if (h_) h_.destroy();
    }

    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> parent) noexcept {
        h_.promise().continuation = parent;
        return h_;
    }
    T await_resume() {
        h_.promise().rethrow_if_failed();
        if constexpr (!std::is_void_v<T>) return std::move(*h_.promise().value);
    }

    std::coroutine_handle<promise_type> release() noexcept { return std::exchange(h_, {}); }

private:
    friend promise_type;
    explicit Task(std::coroutine_handle<promise_type> h) : h_(h) {}
    std::coroutine_handle<promise_type> h_;
};

namespace detail {
template <class T>
Task<T> Promise<T>::get_return_object() noexcept {
    return Task<T>(std::coroutine_handle<Promise>::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object() noexcept {
    return Task<void>(std::coroutine_handle<Promise>::from_promise(*this));
}
}  // namespace detail

}  // namespace velnor::rt
