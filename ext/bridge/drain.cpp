// The drain: on the loop thread, turn every queued completion into a settled
// future.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "ext/capi/calls.hpp"
#include "ext/bridge/globals.hpp"
#include "ext/capi/os_error.hpp"
#include "ext/bridge/drain_handle.hpp"
#include "ext/bridge/loop_bridge.hpp"
#include "ext/functions/turns.hpp"

namespace velnor::ext {
namespace {

// Errors of set_exception and settle_cancelled have nowhere to go.
void call_quietly(PyObject* future, PyObject* method, std::initializer_list<PyObject*> args) noexcept {
    if (!try_call_method(future, method, args)) discard_error();
}

// Hands the pending exception to the future instead of the drain's caller.
void fail_with_pending(PyObject* future) noexcept {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    call_quietly(future, names().set_exception, {error.get()});
}

VELNOR_CATCHES_FORCED_UNWIND void close_abandoned(std::uint64_t handle) noexcept {
    // The pending exception belongs to the future; keep it out of the way
    // of the driver lookup.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    try {
        driver()->submit(op::Close{handle}, make_callback([](Outcome&&) {}));
    } catch (abi::__forced_unwind&) {
        gil::park();
    } catch (...) {
        discard_error();
    }
    PyErr_SetRaisedException(pending.release());
}

Ref tuple_steal(std::initializer_list<Ref> items) {
    Ref t = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Ref& item : items) checked(PyTuple_SetItem(t.get(), i++, Ref(item).release()));
    return t;
}

// The future's value for a reply in the given mode. A Read outside the
// modes that expect one becomes a RuntimeError, returned as `mismatch`.
Ref value_of(const Reply& reply, const ResultMode& mode, Ref& mismatch) {
    using Tag = ResultMode::Tag;
    if (auto* h = std::get_if<reply::Handle>(&reply)) {
        return tuple_steal({u64_to_int(h->id), u64_to_int(h->size), i64_to_int(h->fd)});
    }
    if (auto* b = std::get_if<reply::Bytes>(&reply)) {
        return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b->data.data()),
                                                 static_cast<Py_ssize_t>(b->data.size())));
    }
    if (auto* r = std::get_if<reply::Read>(&reply)) {
        if (mode.tag == Tag::NewBytes) {
            const Py_ssize_t len = PyBytes_Size(mode.object.get());
            if (len < 0) throw_py_error();
            const auto n = static_cast<Py_ssize_t>(std::min<std::size_t>(r->n, static_cast<std::size_t>(len)));
            if (n == len) return mode.object;
            // A short read (end of file): the prefix, copied once here.
            return checked(PyBytes_FromStringAndSize(PyBytes_AsString(mode.object.get()), n));
        }
        if (mode.tag == Tag::IntoBuffer) return u64_to_int(r->n);
        Ref text = str_from("mismatched velnor reply: " + to_string(reply));
        mismatch = call(PyExc_RuntimeError, {text.get()});
        return {};
    }
    if (auto* w = std::get_if<reply::Written>(&reply)) {
        if (mode.tag == Tag::WrittenCount) return u64_to_int(w->n);
        return tuple_steal({u64_to_int(w->n), u64_to_int(w->end)});
    }
    if (auto* s = std::get_if<reply::Size>(&reply)) return u64_to_int(s->size);
    return none();
}

VELNOR_CATCHES_FORCED_UNWIND void settle(Completion& c) noexcept {
    PyObject* future = c.future.get();
    if (auto* error = std::get_if<IoError>(&c.result)) {
        if (error->is_cancelled()) {
            call_quietly(future, names().settle_cancelled, {});
            return;
        }
        try {
            Ref exc = io_err_to_pyerr(*error);
            call_quietly(future, names().set_exception, {exc.get()});
        } catch (abi::__forced_unwind&) {
            gil::park();
        } catch (...) {
            set_error_from_current_exception();
            fail_with_pending(future);
        }
        return;
    }
    const Reply& reply = std::get<Reply>(c.result);
    auto* handle = std::get_if<reply::Handle>(&reply);
    if (c.mode.tag == ResultMode::Tag::WholeFile && c.mode.object && handle) {
        // The callable takes the future over; it settles it once the file
        // has been read.
        try {
            Ref id = u64_to_int(handle->id);
            Ref fd = i64_to_int(handle->fd);
            call(c.mode.object.get(), {future, id.get(), fd.get()});
        } catch (abi::__forced_unwind&) {
            gil::park();
        } catch (...) {
            set_error_from_current_exception();
            // Nobody else knows this handle: close it rather than leave the
            // file open for the life of the process. If the callable did
            // close it before raising, this close only fails quietly.
            close_abandoned(handle->id);
            fail_with_pending(future);
        }
        return;
    }
    try {
        Ref mismatch;
        Ref value = value_of(reply, c.mode, mismatch);
        if (mismatch) {
            call_quietly(future, names().set_exception, {mismatch.get()});
            return;
        }
        call_method(future, names().set_result, {value.get()});
    } catch (abi::__forced_unwind&) {
        gil::park();
    } catch (...) {
        set_error_from_current_exception();
        fail_with_pending(future);
    }
}

// Each completion's references (owner's view, kept object, future) are
// released in that order as it is settled.
void settle_all(std::vector<Completion>& batch) noexcept {
    for (Completion& c : batch) {
        settle(c);
        c.owner.release();
        c.mode.object.reset();
        c.future.reset();
    }
}

// A loop that awaits one operation after another would otherwise sleep
// in its selector until the doorbell wakes it: a pipe write on the driver
// thread, and the wake-up of a sleeping thread on another CPU, which on
// some machines costs more than everything else an operation does. While
// operations are in flight the loop looks for their completions each turn
// instead, and other tasks run between the looks as ever. The looks go on
// for about four times as long as completions have lately taken to come,
// at most kPollMax, and for half as long after looks that found nothing:
// when the driver cannot run (it shares a busy CPU with the loop), the
// loop sleeps again instead of keeping it from running. A completion the
// doorbell brings soon after the looks gave up lengthens them again: on a
// machine whose sleeping threads take tens of microseconds to wake, looks
// shorter than that would otherwise never find anything, and so never
// learn that they should last longer.
constexpr std::chrono::nanoseconds kPollMax = std::chrono::microseconds(400);
constexpr std::chrono::nanoseconds kPollMin = std::chrono::microseconds(8);

// A spin's pause: easier on the sibling hyperthread, which may be the driver's.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

void LoopBridge::drain() {
    bell_->empty();
    if (in_flight_ > 0) {
        // The looks gave up before this came: had they gone on a little
        // longer they would have found it, and next time they will. Only
        // the looks themselves could tell otherwise, and they stop telling
        // once they are too short to find anything.
        const auto waited = std::chrono::steady_clock::now() - hurried_at_;
        note_wait(std::chrono::duration_cast<std::chrono::nanoseconds>(waited));
        if (waited < kPollMax) {
            poll_budget_ = std::clamp(std::max<std::chrono::nanoseconds>(poll_budget_ * 2, 2 * waited),
                                      kPollMin, kPollMax);
        }
    }
    settle_until_quiet();
}

void LoopBridge::settle_until_quiet() {
    for (;;) {
        std::vector<Completion> batch = queue_.take();
        if (batch.empty()) {
            if (queue_.quiet()) break;
            continue;  // one slipped in after the take, unannounced: ours to settle
        }
        settled(batch.size());
        settle_all(batch);
    }
}


// A submission waits on the spot for a completion (up to what Turns
// allows) only while completions have lately come within that time. A trip
// through the loop to settle one costs a few microseconds of the loop
// thread's time anyway (two turns of the loop, each with its look at the
// selector); waiting instead lets a task that awaits one operation after
// another run on without giving up the loop, its turns kept by the
// stretches of Turns. Whatever is queued is settled, not only the
// submission's own: the looks would settle it all the same.
void LoopBridge::catch_completion() noexcept {
    if (catching_ || !ALIVE.load(std::memory_order_relaxed)) return;
    const std::chrono::nanoseconds budget = completion_wait();
    // The turn is asked last: where completions are slow it is not asked
    // at all, and starts no stretch of its own.
    if (budget.count() == 0 || recent_wait_ > budget || completion_turn_due()) return;
    using std::chrono::steady_clock;
    const auto start = steady_clock::now();
    auto now = start;
    while (queue_.queued() == 0) {
        now = steady_clock::now();
        if (now - start >= budget) {
            // Slower than lately: a few misses in a row and the catches stop,
            // until the looks find completions coming fast again.
            note_wait(2 * budget);
            return;
        }
        cpu_relax();
    }
    std::vector<Completion> batch = queue_.take();
    note_wait(std::chrono::duration_cast<std::chrono::nanoseconds>(now - hurried_at_));
    catching_ = true;
    settled(batch.size());
    settle_all(batch);
    catching_ = false;
}

void LoopBridge::looks_abandoned() noexcept {
    if (!polling_) return;
    polling_ = false;
    // Nothing is settled: a closed loop's futures cannot be. What is queued
    // and what comes later rings, as for a quiet bridge; the ringer answers
    // a closed loop by forgetting the bridge.
    if (!queue_.quiet() && ALIVE.load(std::memory_order_relaxed)) ring();
}

void LoopBridge::settled(std::size_t n) noexcept {
    in_flight_ = n < in_flight_ ? in_flight_ - n : 0;
}

void LoopBridge::hurry() {
    ++in_flight_;
    const auto now = std::chrono::steady_clock::now();
    hurried_at_ = now;
    poll_until_ = std::max(poll_until_, now + poll_budget_);
    if (polling_ || !ALIVE.load(std::memory_order_relaxed)) return;
    // Claim the wake-up, as the first completion would: from now on the
    // driver leaves completions queued for the looks. Already claimed, a
    // ring is owed or a drain runs, and either takes them.
    if (!queue_.claim()) return;
    if (schedule_poll()) {
        polling_ = true;
        return;
    }
    // A loop that takes no callback (closed, or gone): the doorbell, as
    // if the driver had rung; the drain gives the claim back.
    ring();
}

bool LoopBridge::schedule_poll() noexcept {
    Ref loop;
    try {
        loop = this->loop();
    } catch (...) {
        discard_error();
        return false;
    }
    if (!loop) return false;
    Ref ticket;
    try {
        ticket = make_poll_handle(self_);
    } catch (...) {
        discard_error();
        return false;
    }
    if (try_call_method(loop.get(), names().call_soon, {ticket.get()})) return true;
    disarm_poll_handle(ticket.get());
    discard_error();
    return false;
}

void LoopBridge::poll() {
    polling_ = false;
    // After shutdown() completions wait for an explicit drain, as they do
    // for a doorbell that no longer rings; the claim stays taken.
    if (!ALIVE.load(std::memory_order_relaxed)) return;
    std::vector<Completion> batch = queue_.take();
    if (batch.empty()) {
        // Nothing yet. A driver thread that shares this CPU with the loop
        // (the other one busy) runs now rather than when the loop sleeps;
        // one on another CPU has often finished by the time this returns,
        // and a second look then saves the loop a turn.
        ::sched_yield();
        batch = queue_.take();
    }
    const auto now = std::chrono::steady_clock::now();
    if (!batch.empty()) {
        const auto waited = std::chrono::duration_cast<std::chrono::nanoseconds>(now - hurried_at_);
        note_wait(waited);
        poll_budget_ = std::clamp((poll_budget_ + 4 * waited) / 2, kPollMin, kPollMax);
        poll_until_ = std::max(poll_until_, now + poll_budget_);
    }
    settled(batch.size());
    settle_all(batch);
    // With nothing in flight no look can find anything: only a submission,
    // which hurries again, could make one worth while.
    if (in_flight_ > 0 && now < poll_until_ && schedule_poll()) {
        polling_ = true;
        return;
    }
    if (batch.empty()) poll_budget_ = std::max(poll_budget_ / 2, kPollMin);
    // Back to the doorbell, giving the claim back as a drain does
    // (whatever came meanwhile is settled first).
    settle_until_quiet();
}

}  // namespace velnor::ext
