// The handle through which the rest of the program reaches the I/O core.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/channel.hpp"
#include "core/op.hpp"
#include "core/result.hpp"

namespace velnor {

inline constexpr const char* kBackendPolling = "compio-polling";
inline constexpr const char* kBackendIoUring = "compio-io-uring";

class Driver {
public:
    // Starts the thread "velnor-compio" and blocks until it reported its
    // backend (or failed to build its runtime).
    static Result<std::shared_ptr<Driver>> create();

    // Never fails: when the driver thread is gone, `reply` has already been
    // invoked with "velnor driver thread is gone" when this returns.
    std::uint64_t submit(Op op, ReplyCallbackPtr reply);
    void cancel(std::uint64_t id);
    const char* backend() const noexcept { return backend_; }

    // Dropping the last reference closes the channel; the driver thread ends
    // once it has taken what was queued.
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    Driver(std::shared_ptr<Channel> tx, const char* backend);

private:
    std::shared_ptr<Channel> tx_;
    const char* backend_;
    int owner_pid_;
    std::atomic<std::uint64_t> next_id_{1};
};

}  // namespace velnor
