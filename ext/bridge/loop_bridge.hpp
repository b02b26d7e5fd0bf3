// One LoopBridge per running asyncio loop: where the driver thread leaves
// finished operations for that loop, and the doorbell that wakes it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/completion_queue.hpp"
#include "core/unique_fd.hpp"
#include "ext/bridge/completion.hpp"
#include "ext/capi/gil.hpp"
#include "ext/capi/ref.hpp"

namespace velnor::ext {

// The doorbell: a non-blocking, close-on-exec pipe that the driver thread
// rings by writing one byte. The loop watches the read end with add_reader;
// a loop that cannot is woken by the ringer (ringer.hpp) instead, and the
// drain still empties the pipe. Both ends are closed when the pipe could
// not be made: then only the ringer wakes the loop.
//
// Owned by the bridge. When the bridge is dropped while its loop may still
// run (the loop's is_closed raised), the pipe is handed to the drain object
// and lives as long as the loop may still watch its read end: a descriptor
// number the loop still has registered is thus never handed to a new
// doorbell, which the loop's selector would take for the old one.
struct PipeBell {
    UniqueFd read_end;
    UniqueFd write_end;

    // Reads whatever is in the pipe; how many bytes means nothing.
    void empty() const noexcept;
};

class LoopBridge {
public:
    // A bridge for `loop`, not yet published nor registered with the loop.
    // The bridge holds the loop weakly when it can, so that an unclosed loop
    // nobody references goes away with its bridge. The bridge's last
    // reference may go on the driver thread (with the callback of an
    // operation that outlived the map entry); the deleter then moves the
    // whole bridge onto the pending-release list, so the destructor always
    // runs under the interpreter lock.
    static std::shared_ptr<LoopBridge> create(PyObject* loop);
    ~LoopBridge();
    LoopBridge(const LoopBridge&) = delete;
    LoopBridge& operator=(const LoopBridge&) = delete;

    // A new reference to the loop, or empty once it has been collected.
    Ref loop() const;
    // Whether this bridge was made for `loop` and that loop is alive.
    bool is_for(PyObject* loop) const noexcept;
    // Whether `weakref` is this bridge's weak reference to its loop.
    bool holds(PyObject* weakref) const noexcept { return weak_ && loop_ref_.get() == weakref; }
    // Open, closed (or gone), or unknown: is_closed() raised (its
    // exception is dropped) or answered something other than a bool.
    enum class LoopState { Open, Closed, Unknown };
    LoopState loop_state() const;
    // Before a bridge whose loop may still run is dropped: its pipe stays
    // with the drain object the loop may still call.
    void leave_pipe_to_drain() noexcept;
    std::uintptr_t loop_key() const noexcept { return loop_key_; }
    // KernelFuture(loop=<this bridge's loop>).
    Ref new_future() const;

    // Makes the loop watch the doorbell (add_reader), or hands the bridge
    // to the ringer when the loop refuses. Called once, after the bridge is
    // published: Python code run by add_reader may already use it.
    void register_doorbell(const std::shared_ptr<LoopBridge>& self, PyObject* loop);

    // Queues a finished operation and rings the doorbell if the bridge was
    // quiet. Any thread; never fails.
    void complete(Completion completion) noexcept;

    // Settles everything queued, including what arrives meanwhile. Loop
    // thread, interpreter lock held.
    void drain();

    // Loop thread, interpreter lock held, right after an operation was
    // submitted: for a short while the loop looks for completions itself,
    // each turn, and the driver leaves them queued without ringing.
    void hurry();
    // The look, run by the loop (call_soon); it goes on while completions
    // keep coming, then hands back to the doorbell.
    void poll();
    // Loop thread, interpreter lock held, right after an operation was
    // submitted and its future made: when completions have lately come
    // within a few microseconds and the loop's turn is not due, waits that
    // long for one and settles what came, so that the caller finds its
    // future done and goes on without a trip through the loop.
    void catch_completion() noexcept;

    // A scheduled look was dropped by the loop without running (the loop
    // closed): gives the wake-up's claim back, so that what comes later
    // rings. Interpreter lock held.
    void looks_abandoned() noexcept;

    // For the ringer: claims an owed wake-up.
    bool take_owed_wake() noexcept { return wake_owed_.exchange(false, std::memory_order_acq_rel); }
    // For the ringer, interpreter lock held: schedules the drain with
    // call_soon_threadsafe; a loop that refuses (closed) is forgotten.
    void wake_by_call_soon();

private:
    LoopBridge(Ref loop_ref, bool weak, std::uintptr_t key, std::shared_ptr<PipeBell> bell) noexcept;
    void ring() noexcept;
    // The drain after its look at the pipe; what poll ends with.
    void settle_until_quiet();
    bool schedule_poll() noexcept;
    // `n` completions were taken off the queue to be settled.
    void settled(std::size_t n) noexcept;

    // A weak reference (with a callback that drops this bridge from the
    // loop map) when `weak_`, otherwise the loop itself.
    Ref loop_ref_;
    bool weak_;
    std::uintptr_t loop_key_;
    std::shared_ptr<PipeBell> bell_;  // never null
    Ref drain_;
    std::weak_ptr<LoopBridge> self_;  // for the poll handles
    // Loop thread only: whether a poll is scheduled, until when the polls
    // go on without finding anything, how long they last after the latest
    // submission, and when that came.
    bool polling_ = false;
    std::chrono::steady_clock::time_point poll_until_{};
    std::chrono::nanoseconds poll_budget_{std::chrono::microseconds(50)};
    std::chrono::steady_clock::time_point hurried_at_{};
    // Operations submitted through hurry() and not yet settled, about:
    // completions that come without a hurry (read groups) only bring it
    // down to zero sooner.
    std::size_t in_flight_ = 0;
    // How long completions have lately taken to come after a submission,
    // as the looks, the doorbell and the catches found them; and whether a
    // catch is settling (a callable it runs may submit again).
    std::chrono::nanoseconds recent_wait_{std::chrono::milliseconds(1)};
    bool catching_ = false;
    void note_wait(std::chrono::nanoseconds waited) noexcept { recent_wait_ = (3 * recent_wait_ + waited) / 4; }
    // Set before `via_ringer_`; read only by the ringer.
    Ref call_soon_threadsafe_;
    std::atomic<bool> via_ringer_{false};
    std::atomic<bool> wake_owed_{false};

    CompletionQueue<Completion> queue_;
};

// The bridge of the calling thread's running loop, built on first use.
// Interpreter lock held, inside an event loop.
VELNOR_CATCHES_FORCED_UNWIND std::shared_ptr<LoopBridge> bridge_for_running_loop();

}  // namespace velnor::ext
