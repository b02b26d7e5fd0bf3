#include "ext/capi/gil.hpp"

#include <atomic>

#include "ext/capi/deferred.hpp"

namespace velnor::ext::gil {
namespace {
thread_local int t_depth = 0;
std::atomic<bool> g_exiting{false};
}  // namespace

bool held() noexcept { return t_depth > 0; }

Entry::Entry() noexcept {
    if (t_depth++ == 0) release_deferred();
}
Entry::~Entry() { --t_depth; }

Ensure::Ensure() noexcept {
    // Checked before taking the lock: a thread that blocks in
    // PyGILState_Ensure while the interpreter finalizes is terminated with
    // pthread_exit, which cannot unwind through the driver thread's frames.
    if (exiting()) return;
    state_ = PyGILState_Ensure();
    acquired_ = true;
    ++t_depth;
}
Ensure::~Ensure() {
    if (!acquired_) return;
    --t_depth;
    PyGILState_Release(state_);
}

Released::Released() noexcept : saved_(PyEval_SaveThread()), depth_(t_depth) { t_depth = 0; }
Released::~Released() {
    PyEval_RestoreThread(saved_);
    t_depth = depth_;
}

std::unique_lock<std::mutex> lock_releasing(std::mutex& m) {
    std::unique_lock<std::mutex> lock(m, std::try_to_lock);
    if (!lock.owns_lock()) {
        Released released;
        lock.lock();
    }
    return lock;
}

void mark_exiting() noexcept { g_exiting.store(true, std::memory_order_release); }
bool exiting() noexcept { return g_exiting.load(std::memory_order_acquire); }

}  // namespace velnor::ext::gil
