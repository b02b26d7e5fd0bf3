// The readiness-based fallback: every kernel request runs as a blocking
// system call on the worker pool, and the driver waits in epoll for the
// event descriptor that workers (and senders) write.
#pragma once

#include <memory>

#include "core/runtime/runtime_base.hpp"
#include "core/unique_fd.hpp"

namespace velnor::rt {

class PollingRuntime final : public RuntimeBase {
public:
    static Result<std::unique_ptr<Runtime>> create(const RuntimeOptions& options) noexcept;
    ~PollingRuntime() override;

    Backend backend() const noexcept override { return Backend::Polling; }
    void start(KernelRequest& req) noexcept override;
    bool on_ring(std::uint8_t) const noexcept override { return false; }
    void turn(bool may_wait, const std::function<bool()>& has_external_work) override;
    void close_detached(int fd) noexcept override;
    void shutdown() noexcept override;

private:
    PollingRuntime() = default;
    UniqueFd epfd_;
};

}  // namespace velnor::rt
