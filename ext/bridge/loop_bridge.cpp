#include "ext/bridge/loop_bridge.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "ext/capi/calls.hpp"
#include "ext/capi/deferred.hpp"
#include "ext/bridge/drain_handle.hpp"
#include "ext/bridge/globals.hpp"

namespace velnor::ext {
namespace {

struct BridgeDeleter {
    void operator()(LoopBridge* bridge) const noexcept {
        drop_with_gil(std::unique_ptr<LoopBridge>(bridge));
    }
};

// A pipe doorbell registered with loop.add_reader, or nothing. Never
// raises: any failure means the loop gets a CallSoon doorbell instead.
std::optional<PipeBell> pipe_doorbell(PyObject* loop, PyObject* drain) {
    int fds[2];
    if (::pipe(fds) != 0) return std::nullopt;
    PipeBell bell{UniqueFd(fds[0]), UniqueFd(fds[1])};
    for (int fd : {fds[0], fds[1]}) {
        // F_SETFL replaces the status flags: O_NONBLOCK is all a fresh pipe needs.
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
            return std::nullopt;
        }
    }
    Ref fd = Ref::steal(PyLong_FromLong(fds[0]));
    Ref added = fd ? try_call_method(loop, names().add_reader, {fd.get(), drain}) : Ref();
    if (!added) {
        discard_error();
        return std::nullopt;
    }
    return bell;
}

// is_closed() of a bridge's loop; anything but a clean False counts as
// closed, and a raised exception is dropped.
bool loop_is_closed(PyObject* loop) noexcept {
    Ref result = try_call_method(loop, names().is_closed);
    if (!result) {
        discard_error();
        return true;
    }
    return result.get() != Py_False;
}

}  // namespace

LoopBridge::LoopBridge(Ref loop, Ref future_factory) noexcept
    : loop_(std::move(loop)),
      future_factory_(std::move(future_factory)),
      loop_key_(reinterpret_cast<std::uintptr_t>(loop_.get())) {}

std::shared_ptr<LoopBridge> LoopBridge::create(Ref loop, Ref future_factory) {
    return std::shared_ptr<LoopBridge>(new LoopBridge(std::move(loop), std::move(future_factory)),
                                       BridgeDeleter{});
}

LoopBridge::~LoopBridge() {
    // Queued completions first (their futures, kept objects and views),
    // then the loop, the factory, the doorbell (read end, then write end)
    // and the drain object.
    queue_.clear();
    loop_.reset();
    future_factory_.reset();
    doorbell_.reset();
    drain_.reset();
}

void LoopBridge::set_drain(Ref drain) {
    if (drain_) raise_unreachable("drain set once");
    drain_ = std::move(drain);
}

void LoopBridge::set_doorbell(Doorbell doorbell) {
    if (doorbell_) raise_unreachable("doorbell set once");
    doorbell_.emplace(std::move(doorbell));
}

std::vector<Completion> LoopBridge::take_queue() noexcept {
    std::vector<Completion> taken;
    std::lock_guard<std::mutex> lock(queue_mu_);
    taken.swap(queue_);
    return taken;
}

// The pending flag coalesces doorbell rings: only the completion that moves
// the bridge from quiet to owed rings; the drain clears the flag when it
// finds the queue empty. The ordering that keeps wake-ups from being lost
// comes from the queue mutex, which both sides take between writing one
// variable and reading the other:
//  - here, the append is unlocked before the exchange;
//  - in drain(), the store of false comes before the re-check under the lock.
// If the drain's re-check lock came first, its store happens-before our
// exchange, which must then read false and ring. Otherwise the re-check
// sees our completion and the drain goes on. Were the re-check a lock-free
// look at the queue, both flag accesses would need seq_cst: with
// release/acquire alone the drain could read an empty queue and we could
// read a stale true, and the completion would sit unannounced.
void LoopBridge::complete(Completion completion) noexcept {
    {
        std::lock_guard<std::mutex> lock(queue_mu_);
        queue_.push_back(std::move(completion));
    }
    // acq_rel: the ring below must follow our own append, and a true read
    // here must see the owner of the owed wake-up.
    if (pending_.exchange(true, std::memory_order_acq_rel)) return;
    // After shutdown() nothing rings; the queue is left for an explicit
    // drain call (pending stays true).
    if (!ALIVE.load(std::memory_order_relaxed)) return;
    ring();
}

// Filled before the bridge is published and emptied only by the destructor.
// ring() may run on the driver thread, where nothing can be raised, so every
// user treats an empty cell alike: the process ends.
Doorbell& LoopBridge::doorbell() noexcept {
    if (!doorbell_) velnor::abort_unreachable("doorbell set at construction");
    return *doorbell_;
}

void LoopBridge::ring() noexcept {
    Doorbell& bell = doorbell();
    if (auto* pipe = std::get_if<PipeBell>(&bell)) {
        const unsigned char byte = 0x01;
        // EAGAIN means the pipe is full of unread bytes: the loop will wake.
        while (::write(pipe->write_end.get(), &byte, 1) < 0 && errno == EINTR) {
        }
        return;
    }
    ring_call_soon(std::get<CallSoonBell>(bell));
}

void LoopBridge::ring_call_soon(CallSoonBell& bell) noexcept {
    gil::Ensure ensure;
    if (!ensure.acquired()) return;  // the interpreter is exiting: no loop will run it
    if (!drain_) velnor::abort_unreachable("drain set at construction");
    Ref scheduled = try_call(bell.call_soon_threadsafe.get(), {drain_.get()});
    if (scheduled) return;
    // The loop refused (it is closed, typically). Nothing will ever drain
    // this bridge: drop what is queued, unsettled, and forget the bridge.
    Ref error = Ref::steal(PyErr_GetRaisedException());
    std::vector<Completion> dropped = take_queue();
    pending_.store(false, std::memory_order_release);
    std::shared_ptr<LoopBridge> removed;  // released after the map lock
    {
        auto lock = gil::lock_releasing(GLOBALS().loops_mu);
        auto& loops = GLOBALS().loops;
        if (auto it = loops.find(loop_key_); it != loops.end()) {
            removed = std::move(it->second);
            loops.erase(it);
        }
    }
}

std::shared_ptr<LoopBridge> bridge_for_running_loop() {
    Ref loop = call(GET_RUNNING_LOOP());
    const auto key = reinterpret_cast<std::uintptr_t>(loop.get());
    Globals& g = GLOBALS();
    // Bridges swept out of the map are released after it is unlocked:
    // releasing them may run Python code, which may submit again.
    std::vector<std::shared_ptr<LoopBridge>> swept;
    auto lock = gil::lock_releasing(g.loops_mu);
    if (auto it = g.loops.find(key); it != g.loops.end()) return it->second;

    // A miss: the moment to forget loops that have closed since.
    for (auto it = g.loops.begin(); it != g.loops.end();) {
        if (loop_is_closed(it->second->loop())) {
            swept.push_back(std::move(it->second));
            it = g.loops.erase(it);
        } else {
            ++it;
        }
    }

    PyObject* kernel_future = KERNEL_FUTURE();
    Ref kwargs = checked(PyDict_New());
    checked(PyDict_SetItemString(kwargs.get(), "loop", loop.get()));
    Ref partial = attr(import("functools").get(), "partial");
    Ref args = tuple_of({kernel_future});
    Ref factory = checked(PyObject_Call(partial.get(), args.get(), kwargs.get()));

    auto bridge = LoopBridge::create(loop, std::move(factory));
    Ref drain = make_drain_handle(bridge);
    std::optional<Doorbell> doorbell;
    if (auto pipe = pipe_doorbell(loop.get(), drain.get())) {
        doorbell.emplace(std::move(*pipe));
    } else {
        doorbell.emplace(CallSoonBell{attr(loop.get(), "call_soon_threadsafe")});
    }
    bridge->set_drain(std::move(drain));
    bridge->set_doorbell(std::move(*doorbell));
    auto& slot = g.loops[key];
    if (slot) swept.push_back(std::move(slot));
    slot = bridge;
    return bridge;
}

}  // namespace velnor::ext
