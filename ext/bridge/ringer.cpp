#include "ext/bridge/ringer.hpp"

#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "ext/bridge/loop_bridge.hpp"
#include "ext/capi/calls.hpp"
#include "ext/capi/entry.hpp"

namespace velnor::ext {
namespace {

constexpr const char* kThreadName = "velnor-ringer";

struct Ringer {
    std::mutex mu;
    std::condition_variable wake;
    bool signalled = false;
    std::vector<std::weak_ptr<LoopBridge>> watched;
    pid_t running_in = 0;  // the process whose ringer thread exists
};

// Never destroyed: the driver thread may notify while statics go away.
Ringer& ringer() {
    static auto* r = new Ringer;
    return *r;
}

// The bridges that owe a wake-up; a served bridge that is gone is dropped
// from the list. Interpreter lock released.
std::vector<std::shared_ptr<LoopBridge>> wait_for_owed(Ringer& r) {
    std::vector<std::shared_ptr<LoopBridge>> due;
    std::unique_lock<std::mutex> lock(r.mu);
    r.wake.wait(lock, [&] { return r.signalled; });
    r.signalled = false;
    for (auto it = r.watched.begin(); it != r.watched.end();) {
        std::shared_ptr<LoopBridge> bridge = it->lock();
        if (!bridge) {
            it = r.watched.erase(it);
            continue;
        }
        // A last reference taken here goes through the bridge's deleter,
        // which defers it: this thread holds no interpreter lock now.
        if (bridge->take_owed_wake()) due.push_back(std::move(bridge));
        ++it;
    }
    return due;
}

// The thread's body, called by threading.Thread. Runs until the process
// ends; the finalizing interpreter parks it when it next asks for the lock.
Ref run_ringer() {
    Ringer& r = ringer();
    for (;;) {
        std::vector<std::shared_ptr<LoopBridge>> due;
        {
            gil::Released released;
            due = wait_for_owed(r);
        }
        for (auto& bridge : due) bridge->wake_by_call_soon();
    }
}

PyMethodDef RUN_RINGER_METHOD = noargs_method<run_ringer>("_velnor_ringer", nullptr);

void start_thread() {
    Ref target = checked(PyCFunction_NewEx(&RUN_RINGER_METHOD, nullptr, nullptr));
    Ref thread_type = attr(import("threading").get(), "Thread");
    Ref kwargs = checked(Py_BuildValue("{s:O,s:s,s:O}", "target", target.get(), "name", kThreadName,
                                       "daemon", Py_True));
    Ref no_args = checked(PyTuple_New(0));
    Ref thread = checked(
        gil::interpreter_call([&] { return PyObject_Call(thread_type.get(), no_args.get(), kwargs.get()); }));
    call(attr(thread.get(), "start").get());
}

}  // namespace

VELNOR_CATCHES_FORCED_UNWIND void ringer_watch(const std::shared_ptr<LoopBridge>& bridge) {
    Ringer& r = ringer();
    const pid_t pid = ::getpid();
    bool start = false;
    {
        auto lock = gil::lock_releasing(r.mu);
        r.watched.push_back(bridge);
        if (r.running_in != pid) {
            r.running_in = pid;
            start = true;
        }
    }
    if (!start) return;
    try {
        start_thread();
    } catch (abi::__forced_unwind&) {
        gil::park();
    } catch (...) {
        auto lock = gil::lock_releasing(r.mu);
        r.running_in = 0;  // the next bridge tries again
        throw;
    }
}

void ringer_notify() noexcept {
    Ringer& r = ringer();
    {
        std::lock_guard<std::mutex> lock(r.mu);
        r.signalled = true;
    }
    r.wake.notify_one();
}

void reset_ringer_after_fork() noexcept {
    Ringer& r = ringer();
    new (&r.mu) std::mutex;
    new (&r.wake) std::condition_variable;
    r.signalled = false;
    r.running_in = 0;
    // The parent's bridges are not this process's: forget them without
    // touching them.
    new (&r.watched) std::vector<std::weak_ptr<LoopBridge>>;
}

}  // namespace velnor::ext
