// Who holds the interpreter lock, as far as this extension can tell.
//
// The limited API has no PyGILState_Check, so each thread counts the scopes
// in which it knows it holds the lock: module entry points, the drain, and
// PyGILState_Ensure sections on the driver thread. Reference holders consult
// `held()` to decide whether they may drop a Python reference right away or
// must hand it to the pending-release list.
#pragma once

#include <mutex>

#include "ext/capi/python.hpp"

namespace velnor::ext::gil {

bool held() noexcept;

// Entered by every C-API entry point. The outermost one also releases what
// other threads left on the pending-release list.
class Entry {
public:
    Entry() noexcept;
    ~Entry();
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
};

// PyGILState_Ensure for threads that are not Python threads (the driver
// thread). Once the interpreter has started to exit, taking the lock would
// end the calling thread from under us, so `acquired()` is then false and
// the caller must leave Python objects alone (leaking them is the only safe
// choice that late).
class Ensure {
public:
    Ensure() noexcept;
    ~Ensure();
    bool acquired() const noexcept { return acquired_; }
    Ensure(const Ensure&) = delete;
    Ensure& operator=(const Ensure&) = delete;

private:
    bool acquired_ = false;
    PyGILState_STATE state_{};
};

// Lets other Python threads run while this one waits for something that a
// lock-holding Python thread may need the interpreter lock to release.
class Released {
public:
    Released() noexcept;
    ~Released();
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

private:
    PyThreadState* saved_;
    int depth_;
};

// Locks `m` from a thread holding the interpreter lock. Whoever holds `m` may
// be calling Python, so waiting for it with the interpreter lock held could
// deadlock: an uncontended lock is taken directly, otherwise the wait happens
// with the interpreter lock released.
std::unique_lock<std::mutex> lock_releasing(std::mutex& m);

// Set once the interpreter runs its exit handlers.
void mark_exiting() noexcept;
bool exiting() noexcept;

}  // namespace velnor::ext::gil
