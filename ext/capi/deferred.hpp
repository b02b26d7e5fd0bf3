// The process-wide pending-release list: Python references that die on a
// thread without the interpreter lock wait here until the next module entry
// that holds it. The driver thread never touches a reference count (see
// gil.hpp for the whole policy).
#pragma once

#include <memory>
#include <utility>

#include "ext/capi/gil.hpp"

namespace velnor::ext {

struct Droppable {
    virtual ~Droppable() = default;
};

template <class T>
struct Boxed final : Droppable {
    explicit Boxed(T&& v) : value(std::move(v)) {}
    T value;
};

// Queues `d` for destruction under the interpreter lock.
void defer_drop(std::unique_ptr<Droppable> d) noexcept;

// Destroys everything queued. Interpreter lock held.
void release_deferred() noexcept;

// Destroys `v` now when the interpreter lock is held, later otherwise.
template <class T>
void drop_with_gil(T&& v) noexcept {
    if (gil::held()) {
        T gone(std::move(v));
    } else {
        defer_drop(std::make_unique<Boxed<T>>(std::move(v)));
    }
}

}  // namespace velnor::ext

namespace velnor::ext {
// A forked child has only the forking thread: whoever held the list's mutex
// at fork time is gone.
void reset_deferred_after_fork() noexcept;
}  // namespace velnor::ext
