// The io_uring proactor: requests go to a 1024-entry ring; opcodes the
// kernel lacks go to the worker pool.
#pragma once

#include <memory>

#include "core/runtime/opcode_support.hpp"
#include "core/runtime/ring.hpp"
#include "core/runtime/runtime_base.hpp"

namespace velnor::rt {

class UringRuntime final : public RuntimeBase {
public:
    // Fails when the ring (or the event descriptor) cannot be created.
    static Result<std::unique_ptr<Runtime>> create(const RuntimeOptions& options, const OpcodeSet& ops) noexcept;
    ~UringRuntime() override;

    Backend backend() const noexcept override { return Backend::IoUring; }
    void start(KernelRequest& req) noexcept override;
    void withdraw(KernelRequest& req) noexcept override;
    bool on_ring(std::uint8_t op) const noexcept override { return ops_.has(op); }
    void turn(bool may_wait, const std::function<bool()>& has_external_work) override;
    void close_detached(int fd) noexcept override;
    void shutdown() noexcept override;

private:
    explicit UringRuntime(const OpcodeSet& ops) noexcept : ops_(ops) {
        in_flight_.ring_prev = in_flight_.ring_next = &in_flight_;
        held_.ring_prev = held_.ring_next = &held_;
    }

    // An SQE, flushing the SQ to the kernel first when it is full; nullptr
    // only when the kernel will not take entries right now.
    io_uring_sqe* acquire_sqe() noexcept;
    void push(KernelRequest& req, io_uring_sqe* sqe) noexcept;
    void reap() noexcept;
    void finish(KernelRequest* req, std::int32_t res) noexcept;
    // Keeps one READ of the event descriptor in flight.
    void arm_wake() noexcept;
    // Hands held spread reads to the kernel while the window has room.
    void release_held() noexcept;
    // Asks the kernel to give up on every request in flight.
    void cancel_in_flight() noexcept;
    // A timeout whose completion sets shutdown_tick_, when the kernel has it.
    void arm_shutdown_tick() noexcept;

    Ring ring_;
    OpcodeSet ops_;
    KernelRequest wake_req_;
    alignas(8) std::uint64_t wake_buf_ = 0;
    bool wake_armed_ = false;
    bool shutdown_tick_ = false;
    // Requests the kernel has (or will have once the SQ is flushed); the
    // list head is a sentinel.
    KernelRequest in_flight_;
    std::size_t ring_in_flight_ = 0;
    std::size_t spread_in_flight_ = 0;  // of them, handed to the kernel's workers
    // Spread reads waiting for room in the window, oldest first (linked
    // through ring_prev/ring_next; the head is a sentinel).
    KernelRequest held_;
    std::size_t spread_window_ = 0;
};

}  // namespace velnor::rt
