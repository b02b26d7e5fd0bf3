#include "ext/capi/deferred.hpp"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace velnor::ext {
namespace {

struct PendingReleases {
    std::mutex mu;
    std::vector<std::unique_ptr<Droppable>> items;
    // Lets every module entry skip the mutex when nothing is queued.
    std::atomic<bool> nonempty{false};
};

// Never destroyed: it may still be used while static destructors run.
PendingReleases& pending() {
    static auto* p = new PendingReleases;
    return *p;
}

}  // namespace

void defer_drop(std::unique_ptr<Droppable> d) noexcept {
    auto& p = pending();
    std::lock_guard<std::mutex> lock(p.mu);
    p.items.push_back(std::move(d));
    p.nonempty.store(true, std::memory_order_release);
}

void release_deferred() noexcept {
    auto& p = pending();
    if (!p.nonempty.load(std::memory_order_acquire)) return;
    std::vector<std::unique_ptr<Droppable>> taken;
    {
        std::lock_guard<std::mutex> lock(p.mu);
        taken.swap(p.items);
        p.nonempty.store(false, std::memory_order_relaxed);
    }
    // Outside the mutex: releasing may run arbitrary Python code, which may
    // itself drop references off this list's lock.
    taken.clear();
}

}  // namespace velnor::ext

namespace velnor::ext {
void reset_deferred_after_fork() noexcept { new (&pending().mu) std::mutex; }
}  // namespace velnor::ext
