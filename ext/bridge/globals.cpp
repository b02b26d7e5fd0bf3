#include "ext/bridge/globals.hpp"

#include <unistd.h>

#include <new>
#include <variant>
#include <vector>

#include "ext/bridge/backend_env.hpp"
#include "ext/capi/calls.hpp"
#include "ext/capi/io_error.hpp"
#include "ext/bridge/loop_bridge.hpp"

namespace velnor::ext {

std::atomic<bool> ALIVE{true};

Globals& GLOBALS() noexcept {
    static auto* g = new Globals;
    return *g;
}

namespace {

// A cell filled once under the interpreter lock. Filling may let other
// threads run (imports do), so a second filler can finish first: the first
// value stored wins and later ones are dropped.
class OnceRef {
public:
    template <class Fill>
    PyObject* get_or_fill(Fill fill) {
        if (value_) return value_;
        Ref filled = fill();
        if (!value_) value_ = filled.release();  // kept for the life of the process
        return value_;
    }

private:
    PyObject* value_ = nullptr;
};

OnceRef g_get_running_loop;
OnceRef g_kernel_future;

// In a forked child the parent's Driver is not destroyed: its channel's
// mutex may have been held by a thread that does not exist here, and its
// wake-up descriptor is shared with the parent's driver thread, which a
// destructor would poke. One small object per fork generation is leaked.
void abandon(std::shared_ptr<Driver> inherited) {
    new std::shared_ptr<Driver>(std::move(inherited));
}

}  // namespace

PyObject* GET_RUNNING_LOOP() {
    return g_get_running_loop.get_or_fill([] { return attr(import("asyncio").get(), "get_running_loop"); });
}

PyObject* KERNEL_FUTURE() {
    return g_kernel_future.get_or_fill([] { return attr(import("velnor.futures").get(), "KernelFuture"); });
}

namespace {
// getpid() is a system call on every submission otherwise; the fork handler
// forgets the number in the child.
std::atomic<std::uint32_t> g_pid{0};

std::uint32_t current_pid() noexcept {
    std::uint32_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<std::uint32_t>(::getpid());
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}
}  // namespace

std::shared_ptr<Driver> driver() {
    const std::uint32_t pid = current_pid();
    Globals& g = GLOBALS();
    // Declared before the locks so that the parent's bridges are released
    // after both are unlocked: releasing them may run Python code.
    std::vector<std::shared_ptr<LoopBridge>> inherited;
    auto slot = gil::lock_releasing(g.driver_mu);
    if (g.driver && g.driver_pid == pid) return g.driver;
    if (g.driver) {
        // A forked child: the parent's driver thread does not exist here,
        // and neither do the loops its bridges were made for.
        auto loops = gil::lock_releasing(g.loops_mu);
        inherited.reserve(g.loops.size());
        for (auto& entry : g.loops) inherited.push_back(std::move(entry.second));
        g.loops.clear();
    }
    check_backend_env();
    auto created = Driver::create();
    if (auto* error = std::get_if<IoError>(&created)) raise_io_error(*error);
    if (g.driver) abandon(std::move(g.driver));
    g.driver = std::get<std::shared_ptr<Driver>>(std::move(created));
    g.driver_pid = pid;
    return g.driver;
}

void reset_globals_after_fork() noexcept {
    g_pid.store(0, std::memory_order_relaxed);
    Globals& g = GLOBALS();
    new (&g.driver_mu) std::mutex;
    new (&g.loops_mu) std::mutex;
}

}  // namespace velnor::ext
