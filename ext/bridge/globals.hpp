// Process-wide state of the module: the driver slot, the loop map, the
// ALIVE flag and the cached Python lookups.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "core/driver.hpp"
#include "ext/capi/ref.hpp"

namespace velnor::ext {

class LoopBridge;

// Lock order: `driver_mu` before `loops_mu` when both are needed; nothing
// holds `loops_mu` while taking `driver_mu`. Both are waited for with the
// interpreter lock released (gil::lock_releasing). Nobody calls Python while
// holding `loops_mu`: bridges are built before they are published, and what
// leaves the map is released after it is unlocked.
struct Globals {
    std::mutex driver_mu;
    std::uint32_t driver_pid = 0;
    std::shared_ptr<Driver> driver;  // empty until the first creation

    std::mutex loops_mu;
    std::unordered_map<std::uintptr_t, std::shared_ptr<LoopBridge>> loops;
};

// Created on first use, never destroyed.
Globals& GLOBALS() noexcept;

// False once shutdown() ran; read without a lock by completing threads.
extern std::atomic<bool> ALIVE;

// The process's driver, created on first use and again in a forked child.
std::shared_ptr<Driver> driver();

// Once-cells filled under the interpreter lock; borrowed references.
PyObject* GET_RUNNING_LOOP();
PyObject* KERNEL_FUTURE();

// Re-initialises the process-wide mutexes in a forked child, where the
// threads that may have held them do not exist.
void reset_globals_after_fork() noexcept;

}  // namespace velnor::ext
