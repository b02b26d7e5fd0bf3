// The driver thread: start-up, the message loop and its tables (open files,
// cancel flags); each operation runs as a task (see execute.hpp).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "core/channel.hpp"
#include "core/op.hpp"
#include "core/result.hpp"
#include "core/runtime/runtime.hpp"

namespace velnor::compio_backend {

// One-shot start-up report from the driver thread: a backend kind, an error,
// or nothing at all when the thread ended before reporting.
class Startup {
public:
    using Report = Result<rt::Backend>;
    void send(Report r);
    void close();  // the sending side went away
    std::optional<Report> wait();

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::optional<Report> report_;
    bool closed_ = false;
};

// Creates the detached thread "velnor-compio". Returns the OS error when the
// thread cannot be created.
Result<void> spawn(std::shared_ptr<Channel> rx, std::shared_ptr<Startup> startup);

// The main loop; returns once the channel is closed and drained, after the
// runtime destroyed what never finished.
void run(rt::Runtime& runtime, Channel& rx);

}  // namespace velnor::compio_backend
