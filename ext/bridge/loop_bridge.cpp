#include "ext/bridge/loop_bridge.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "ext/bridge/drain_handle.hpp"
#include "ext/bridge/globals.hpp"
#include "ext/bridge/ringer.hpp"
#include "ext/capi/calls.hpp"
#include "ext/capi/deferred.hpp"
#include "ext/capi/entry.hpp"

namespace velnor::ext {
namespace {

struct BridgeDeleter {
    void operator()(LoopBridge* bridge) const noexcept {
        drop_with_gil(std::unique_ptr<LoopBridge>(bridge));
    }
};

// Both ends non-blocking and close-on-exec, or two closed ends.
std::shared_ptr<PipeBell> make_pipe() {
    auto bell = std::make_shared<PipeBell>();
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        bell->read_end = UniqueFd(fds[0]);
        bell->write_end = UniqueFd(fds[1]);
    }
    return bell;
}

// Drops the bridge of a collected loop from the loop map. `self` is the
// loop's key; the entry goes only if it is still the bridge holding
// `weakref` (a new loop may have been built at the same address since).
Ref on_loop_collected(PyObject* self, PyObject* weakref) {
    const auto key = static_cast<std::uintptr_t>(PyLong_AsUnsignedLongLong(self));
    Globals& g = GLOBALS();
    std::shared_ptr<LoopBridge> gone;  // released after the map lock
    {
        auto lock = gil::lock_releasing(g.loops_mu);
        if (auto it = g.loops.find(key); it != g.loops.end() && it->second->holds(weakref)) {
            gone = std::move(it->second);
            g.loops.erase(it);
        }
    }
    return none();
}

PyObject* on_loop_collected_entry(PyObject* self, PyObject* weakref) noexcept {
    return guarded([&] { return on_loop_collected(self, weakref); });
}

PyMethodDef LOOP_COLLECTED_METHOD = {"_velnor_loop_collected", on_loop_collected_entry, METH_O, nullptr};

PyObject* kernel_future_kwnames() {
    static PyObject* names = nullptr;  // kept for the life of the process
    if (!names) names = checked(Py_BuildValue("(s)", "loop")).release();
    return names;
}

// Drops the bridges of loops that have closed (or gone) since they were
// made. The loops' is_closed runs with the map unlocked: it is Python code,
// which may itself use velnor and so look bridges up. Such a nested lookup
// does not sweep again.
thread_local bool t_sweeping = false;

void sweep_closed_loops(Globals& g) {
    if (t_sweeping) return;
    t_sweeping = true;
    struct Reset {
        ~Reset() { t_sweeping = false; }
    } reset;
    // Everything copied out of the map is released after it is unlocked:
    // releasing a bridge may run Python code.
    std::vector<std::shared_ptr<LoopBridge>> snapshot;
    std::vector<std::shared_ptr<LoopBridge>> closed;
    {
        auto lock = gil::lock_releasing(g.loops_mu);
        snapshot.reserve(g.loops.size());
        for (auto& entry : g.loops) snapshot.push_back(entry.second);
    }
    for (auto& bridge : snapshot) {
        // Anything but a clean False counts as closed.
        switch (bridge->loop_state()) {
            case LoopBridge::LoopState::Open:
                break;
            case LoopBridge::LoopState::Unknown:
                bridge->leave_pipe_to_drain();
                [[fallthrough]];
            case LoopBridge::LoopState::Closed:
                closed.push_back(bridge);
                break;
        }
    }
    if (closed.empty()) return;
    auto lock = gil::lock_releasing(g.loops_mu);
    for (auto& bridge : closed) {
        if (auto it = g.loops.find(bridge->loop_key()); it != g.loops.end() && it->second == bridge) {
            g.loops.erase(it);
        }
    }
}

}  // namespace

void PipeBell::empty() const noexcept {
    if (read_end.get() < 0) return;
    // A read that did not fill the sink found the pipe empty: asking again
    // would only fetch an EAGAIN, one system call per drain for nothing.
    unsigned char sink[64];
    for (;;) {
        const ssize_t n = ::read(read_end.get(), sink, sizeof sink);
        if (n == static_cast<ssize_t>(sizeof sink) || (n < 0 && errno == EINTR)) continue;
        break;
    }
}

LoopBridge::LoopBridge(Ref loop_ref, bool weak, std::uintptr_t key, std::shared_ptr<PipeBell> bell) noexcept
    : loop_ref_(std::move(loop_ref)), weak_(weak), loop_key_(key), bell_(std::move(bell)) {}

std::shared_ptr<LoopBridge> LoopBridge::create(PyObject* loop) {
    const auto key = reinterpret_cast<std::uintptr_t>(loop);
    Ref key_obj = u64_to_int(key);
    Ref on_collected = checked(PyCFunction_NewEx(&LOOP_COLLECTED_METHOD, key_obj.get(), nullptr));
    Ref loop_ref = Ref::steal(PyWeakref_NewRef(loop, on_collected.get()));
    const bool weak = static_cast<bool>(loop_ref);
    if (!weak) {
        // A loop type without weak references: held strongly, as before;
        // it leaves the map when it is closed.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_py_error();
        discard_error();
        loop_ref = Ref::new_ref(loop);
    }
    std::shared_ptr<LoopBridge> bridge(new LoopBridge(std::move(loop_ref), weak, key, make_pipe()),
                                       BridgeDeleter{});
    bridge->drain_ = make_drain_handle(bridge);
    bridge->self_ = bridge;
    return bridge;
}

LoopBridge::~LoopBridge() {
    // Queued completions first (their futures, kept objects and views),
    // then the loop, the drain object, the doorbell pipe (unless it was
    // left to the drain object) and the bound call_soon_threadsafe.
    (void)queue_.take();
    loop_ref_.reset();
    drain_.reset();
    bell_.reset();
    call_soon_threadsafe_.reset();
}

Ref LoopBridge::loop() const {
    if (!weak_) return loop_ref_;
    // Calling a weak reference gives a strong one (None once the loop is
    // gone); PyWeakref_GetObject's borrowed form is deprecated from 3.13.
    Ref target = Ref::steal(PyObject_CallNoArgs(loop_ref_.get()));
    if (!target) throw_py_error();
    if (target.get() == Py_None) return {};
    return target;
}

bool LoopBridge::is_for(PyObject* loop) const noexcept {
    if (!weak_) return loop_ref_.get() == loop;
    Ref target = Ref::steal(PyObject_CallNoArgs(loop_ref_.get()));
    if (!target) {
        discard_error();
        return false;
    }
    return target.get() == loop;
}

LoopBridge::LoopState LoopBridge::loop_state() const {
    Ref loop = this->loop();
    if (!loop) return LoopState::Closed;
    Ref result = try_call_method(loop.get(), names().is_closed);
    if (!result) {
        discard_error();
        return LoopState::Unknown;
    }
    if (result.get() == Py_False) return LoopState::Open;
    return result.get() == Py_True ? LoopState::Closed : LoopState::Unknown;
}

void LoopBridge::leave_pipe_to_drain() noexcept { leave_pipe_to(drain_.get(), bell_); }

Ref LoopBridge::new_future() const {
    Ref loop = this->loop();
    if (!loop) raise(PyExc_RuntimeError, "the event loop is gone");
    PyObject* args[] = {loop.get()};
    return checked(gil::interpreter_call(
        [&] { return PyObject_Vectorcall(KERNEL_FUTURE(), args, 0, kernel_future_kwnames()); }));
}

void LoopBridge::register_doorbell(const std::shared_ptr<LoopBridge>& self, PyObject* loop) {
    if (bell_->read_end.get() >= 0) {
        Ref fd = checked(PyLong_FromLong(bell_->read_end.get()));
        if (try_call_method(loop, names().add_reader, {fd.get(), drain_.get()})) return;
        discard_error();
    }
    call_soon_threadsafe_ = attr(loop, "call_soon_threadsafe");
    via_ringer_.store(true, std::memory_order_release);
    ringer_watch(self);
    // A completion that rang before the switch did not reach the ringer:
    // one drain now takes whatever it left.
    call(call_soon_threadsafe_.get(), {drain_.get()});
}

// Only the completion that moves the bridge from quiet to owed rings (see
// CompletionQueue for the ordering that keeps wake-ups from being lost).
void LoopBridge::complete(Completion completion) noexcept {
    if (!queue_.push(std::move(completion))) return;
    // After shutdown() nothing rings; the queue is left for an explicit
    // drain call (the wake-up stays owed).
    if (!ALIVE.load(std::memory_order_relaxed)) return;
    ring();
}

// Driver thread: never the interpreter lock (gil.hpp).
void LoopBridge::ring() noexcept {
    if (bell_->write_end.get() >= 0) {
        const unsigned char byte = 0x01;
        // EAGAIN means the pipe is full of unread bytes: the loop will wake.
        while (::write(bell_->write_end.get(), &byte, 1) < 0 && errno == EINTR) {
        }
    }
    if (via_ringer_.load(std::memory_order_acquire)) {
        wake_owed_.store(true, std::memory_order_release);
        ringer_notify();
    }
}

void LoopBridge::wake_by_call_soon() {
    if (try_call(call_soon_threadsafe_.get(), {drain_.get()})) return;
    // The loop refused (it is closed, typically). Nothing will ever drain
    // this bridge: drop what is queued, unsettled, and forget the bridge.
    discard_error();
    std::vector<Completion> dropped = queue_.take();
    queue_.forget();
    std::shared_ptr<LoopBridge> removed;  // released after the map lock
    auto lock = gil::lock_releasing(GLOBALS().loops_mu);
    auto& loops = GLOBALS().loops;
    if (auto it = loops.find(loop_key_); it != loops.end() && it->second.get() == this) {
        removed = std::move(it->second);
        loops.erase(it);
    }
    lock.unlock();
}

VELNOR_CATCHES_FORCED_UNWIND std::shared_ptr<LoopBridge> bridge_for_running_loop() {
    Ref loop = call(GET_RUNNING_LOOP());
    const auto key = reinterpret_cast<std::uintptr_t>(loop.get());
    Globals& g = GLOBALS();
    {
        auto lock = gil::lock_releasing(g.loops_mu);
        if (auto it = g.loops.find(key); it != g.loops.end() && it->second->is_for(loop.get())) {
            return it->second;
        }
    }
    // A miss. Everything that calls Python (the sweep, building the bridge,
    // registering its doorbell) runs with the map unlocked; the map is
    // locked only to publish.
    sweep_closed_loops(g);
    // The class of every future this loop will get: a bridge that could
    // make none (velnor.futures missing or broken) is neither built nor kept.
    KERNEL_FUTURE();
    auto bridge = LoopBridge::create(loop.get());
    std::shared_ptr<LoopBridge> replaced;  // released after the map lock
    {
        auto lock = gil::lock_releasing(g.loops_mu);
        auto& slot = g.loops[key];
        // Python code run above may have used velnor on this loop already.
        if (slot && slot->is_for(loop.get())) return slot;
        replaced = std::move(slot);
        slot = bridge;
    }
    try {
        bridge->register_doorbell(bridge, loop.get());
    } catch (abi::__forced_unwind&) {
        gil::park();
    } catch (...) {
        auto lock = gil::lock_releasing(g.loops_mu);
        if (auto it = g.loops.find(key); it != g.loops.end() && it->second == bridge) {
            replaced = std::move(it->second);
            g.loops.erase(it);
        }
        throw;
    }
    return bridge;
}

}  // namespace velnor::ext
