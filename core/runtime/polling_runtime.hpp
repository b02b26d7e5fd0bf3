// The readiness-based fallback: file requests run as blocking system calls
// on the worker pool; reads and writes of pipes, sockets and devices wait
// for readiness in epoll and then run without blocking on this thread. The
// driver waits in the same epoll for the event descriptor that workers
// (and senders) write.
#pragma once

#include <deque>
#include <memory>
#include <unordered_map>

#include "core/runtime/runtime_base.hpp"
#include "core/unique_fd.hpp"

namespace velnor::rt {

class PollingRuntime final : public RuntimeBase {
public:
    static Result<std::unique_ptr<Runtime>> create(const RuntimeOptions& options) noexcept;
    ~PollingRuntime() override;

    Backend backend() const noexcept override { return Backend::Polling; }
    void start(KernelRequest& req) noexcept override;
    void withdraw(KernelRequest& req) noexcept override;
    bool on_ring(std::uint8_t) const noexcept override { return false; }
    void turn(bool may_wait, const std::function<bool()>& has_external_work) override;
    void close_detached(int fd) noexcept override;
    void shutdown() noexcept override;

private:
    // The requests waiting for one descriptor to become ready, oldest first.
    struct Waiters {
        std::deque<KernelRequest*> readers, writers;
        bool registered = false;  // known to epoll (one-shot: maybe disarmed)
    };

    PollingRuntime() = default;
    // False when memory ran out: the request then goes to the pool, as do
    // the requests of a descriptor epoll cannot watch (some devices).
    bool wait_for_readiness(KernelRequest& req) noexcept;
    void on_ready(int fd, std::uint32_t events) noexcept;
    // Tries the waiting requests of one direction without blocking; stops
    // at the first that would block.
    void try_waiting(std::deque<KernelRequest*>& queue) noexcept;
    // Makes epoll watch what the waiters need, or forgets the descriptor.
    void rearm(int fd) noexcept;
    // Waits in (or polls, with timeout 0) epoll and handles what it reports.
    void poll_events(int timeout_ms) noexcept;

    UniqueFd epfd_;
    std::unordered_map<int, Waiters> waiting_;
};

}  // namespace velnor::rt
