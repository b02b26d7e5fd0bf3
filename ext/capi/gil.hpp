// Who holds the interpreter lock, and the one policy for Python state on
// threads other than a loop's.
//
// The policy:
//  1. Python objects and reference counts are touched only by a thread that
//     holds the interpreter lock because the interpreter called it: a module
//     entry point (the drain is one, called by its loop) or the ringer
//     (bridge/ringer.hpp). The limited API has no PyGILState_Check, so such
//     a thread counts the scopes in which it holds the lock (`Entry`).
//  2. The driver thread and the pool's workers never take the interpreter
//     lock. A reference that dies there goes onto the pending-release list
//     (deferred.hpp), emptied by the next entry; a loop is woken by a byte
//     written to its pipe, and a loop that cannot watch a pipe by the
//     ringer, a Python daemon thread that calls its call_soon_threadsafe.
//  3. While the interpreter finalizes, CPython 3.12 and 3.13 end any other
//     thread that asks for the lock again with pthread_exit. Its forced
//     unwind (abi::__forced_unwind) would run our destructors without the
//     lock and abort at the first noexcept frame it meets. So every call of
//     ours into the interpreter that may give the lock up and take it back
//     (the calls of calls.hpp, a reference drop, a buffer view's request and
//     release, the re-take in `Released`) goes through `interpreter_call`,
//     which parks such a thread where it stands for good, as 3.14 does; the
//     edge of every entry point parks it too, for calls made elsewhere.
//     Nothing of ours is unwound, and a parked thread holds no mutex of
//     ours: none is held across a call into the interpreter.
#pragma once

#include <cxxabi.h>

#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "ext/capi/python.hpp"

// A handler for abi::__forced_unwind binds its reference to an unwinding
// that has no C++ object behind it; UndefinedBehaviorSanitizer reports that
// binding as a null reference. Functions holding such a handler say so,
// and stay out of line, since inlined code takes its caller's checks (the
// compiler ignores the mark on templates: those go through `run_parking`).
#define VELNOR_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null"), noinline, noclone))

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

// Blocks the calling thread for good, all signals blocked. For a thread the
// finalizing interpreter has ended (rule 3). It never returns, but is not
// declared so: AddressSanitizer would clear the stack's marks before the
// call with a routine of its own that trips over the marks the forced
// unwinding left behind; park clears them itself first.
void park() noexcept;

// Runs `fn(context)`, parking the thread if the interpreter ends it
// meanwhile; any other exception passes.
VELNOR_CATCHES_FORCED_UNWIND void run_parking(void (*fn)(void*), void* context);

// Runs `f`, a call into the interpreter; see rule 3. Its result is a plain
// value (a pointer, a status).
template <class F, class R = std::invoke_result_t<F&>>
R interpreter_call(F&& f) {
    static_assert(std::is_void_v<R> || std::is_scalar_v<R>, "calls into the interpreter return scalars");
    if constexpr (std::is_void_v<R>) {
        run_parking([](void* p) { (*static_cast<std::remove_reference_t<F>*>(p))(); },
                    static_cast<void*>(std::addressof(f)));
    } else {
        R out{};
        auto call = [&] { out = f(); };
        run_parking([](void* p) { (*static_cast<decltype(call)*>(p))(); }, static_cast<void*>(&call));
        return out;
    }
}

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
// with the interpreter lock released, and `m` is taken only once the
// interpreter lock is back (a thread parked while taking it back must not
// hold `m`).
std::unique_lock<std::mutex> lock_releasing(std::mutex& m);

}  // namespace velnor::ext::gil
