// One LoopBridge per running asyncio loop: where the driver thread leaves
// finished operations for that loop, and the doorbell that wakes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "ext/bridge/completion.hpp"
#include "ext/capi/ref.hpp"
#include "core/unique_fd.hpp"

namespace velnor::ext {

// A non-blocking, close-on-exec pipe whose read end the loop watches with
// add_reader; ringing writes one byte.
struct PipeBell {
    UniqueFd read_end;
    UniqueFd write_end;
    ~PipeBell() {
        read_end.reset();
        write_end.reset();
    }
    PipeBell(UniqueFd r, UniqueFd w) noexcept : read_end(std::move(r)), write_end(std::move(w)) {}
    PipeBell(PipeBell&&) noexcept = default;
};

// For loops that cannot watch a descriptor: the loop's bound
// call_soon_threadsafe, called with the drain under the interpreter lock.
struct CallSoonBell {
    Ref call_soon_threadsafe;
};

using Doorbell = std::variant<PipeBell, CallSoonBell>;

class LoopBridge {
public:
    // The bridge's last reference may go on the driver thread (with the
    // callback of an operation that outlived the map entry); the deleter
    // then moves the whole bridge onto the pending-release list, so the
    // destructor always runs under the interpreter lock.
    static std::shared_ptr<LoopBridge> create(Ref loop, Ref future_factory);
    ~LoopBridge();
    LoopBridge(const LoopBridge&) = delete;
    LoopBridge& operator=(const LoopBridge&) = delete;

    PyObject* loop() const noexcept { return loop_.get(); }
    PyObject* future_factory() const noexcept { return future_factory_.get(); }
    std::uintptr_t loop_key() const noexcept { return loop_key_; }

    // Set-once cells, filled before the bridge is published in the loop map.
    void set_drain(Ref drain);
    void set_doorbell(Doorbell doorbell);

    // Queues a finished operation and rings the doorbell if the bridge was
    // quiet. Any thread; never fails.
    void complete(Completion completion) noexcept;

    // Settles everything queued, including what arrives meanwhile. Loop
    // thread, interpreter lock held.
    void drain();

private:
    LoopBridge(Ref loop, Ref future_factory) noexcept;
    void ring() noexcept;
    Doorbell& doorbell() noexcept;
    void ring_call_soon(CallSoonBell& bell) noexcept;
    std::vector<Completion> take_queue() noexcept;

    Ref loop_;
    Ref future_factory_;
    std::uintptr_t loop_key_;
    std::mutex queue_mu_;
    std::vector<Completion> queue_;
    std::optional<Doorbell> doorbell_;
    Ref drain_;
    // True while a wake-up is owed or being answered; see complete() and
    // drain() for the protocol.
    std::atomic<bool> pending_{false};
};

// The bridge of the calling thread's running loop, built on first use.
// Interpreter lock held, inside an event loop.
std::shared_ptr<LoopBridge> bridge_for_running_loop();

}  // namespace velnor::ext
