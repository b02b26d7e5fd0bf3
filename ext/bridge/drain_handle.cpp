#include "ext/bridge/drain_handle.hpp"

#include <new>

#include "ext/capi/binder.hpp"
#include "ext/capi/calls.hpp"
#include "ext/capi/heap_type.hpp"
#include "ext/bridge/loop_bridge.hpp"

namespace velnor::ext {
namespace {

struct DrainObject {
    PyObject ob_base;
    // Both constructed in place by make_drain_handle.
    std::weak_ptr<LoopBridge> bridge;
    std::shared_ptr<PipeBell> bell;  // a dropped bridge's pipe, or empty
    bool poll;                       // runs the bridge's poll, not its drain
    bool called;                     // a poll that ran, or was never handed out
};

// Not an entry point: it touches no Python reference of ours, and must
// not run the pending releases in the middle of someone else's dealloc.
void drain_dealloc(PyObject* self) noexcept {
    auto* d = reinterpret_cast<DrainObject*>(self);
    if (d->poll && !d->called) {
        // The loop let go of the look without running it: it closed.
        if (auto bridge = d->bridge.lock()) bridge->looks_abandoned();
    }
    d->bridge.~weak_ptr();
    d->bell.~shared_ptr();
    free_instance(self);
}

PyObject* drain_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        static const Params<0> params{"DrainHandle.__call__", {}};
        PyObject* none[1];
        bind_tuple(params.signature(), args, kwargs, none);
        auto* d = reinterpret_cast<DrainObject*>(self);
        if (d->poll) {
            d->called = true;
            if (auto bridge = d->bridge.lock()) bridge->poll();
            return ext::none();
        }
        // A pipe left here is emptied even though its bridge is gone: the
        // loop that still watches it would otherwise be woken again and again.
        if (d->bell) d->bell->empty();
        if (auto bridge = d->bridge.lock()) bridge->drain();
        return ext::none();
    });
}

PyType_Slot drain_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(drain_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(drain_call)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec drain_spec = {
    // Named as a builtin: spelled out, because a dotless name makes the
    // interpreter warn that the type has no __module__.
    "builtins.DrainHandle",
    static_cast<int>(sizeof(DrainObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    drain_slots,
};

PyTypeObject* drain_type() {
    static PyObject* type = nullptr;  // kept for the life of the process
    if (!type) type = checked(PyType_FromSpec(&drain_spec)).release();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

namespace {

Ref make_handle(std::weak_ptr<LoopBridge> bridge, bool poll) {
    PyTypeObject* type = drain_type();
    Ref obj = checked(alloc_instance(type));
    auto* d = reinterpret_cast<DrainObject*>(obj.get());
    new (&d->bridge) std::weak_ptr<LoopBridge>(std::move(bridge));
    new (&d->bell) std::shared_ptr<PipeBell>();
    d->poll = poll;
    d->called = false;
    return obj;
}

}  // namespace

Ref make_drain_handle(std::weak_ptr<LoopBridge> bridge) { return make_handle(std::move(bridge), false); }

Ref make_poll_handle(std::weak_ptr<LoopBridge> bridge) { return make_handle(std::move(bridge), true); }

void disarm_poll_handle(PyObject* poll) noexcept { reinterpret_cast<DrainObject*>(poll)->called = true; }

void leave_pipe_to(PyObject* drain, std::shared_ptr<PipeBell> bell) noexcept {
    reinterpret_cast<DrainObject*>(drain)->bell = std::move(bell);
}

}  // namespace velnor::ext
