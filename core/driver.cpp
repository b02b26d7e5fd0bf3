#include "core/driver.hpp"

#include <unistd.h>

#include "core/compio_backend.hpp"

namespace velnor {

Result<std::shared_ptr<Driver>> Driver::create() {
    auto channel = std::make_shared<Channel>();
    auto startup = std::make_shared<compio_backend::Startup>();
    VELNOR_TRY_VOID(compio_backend::spawn(channel, startup));
    auto report = startup->wait();
    if (!report) return IoError::of(ErrorKind::BrokenPipe, msg::kStartupExit);
    VELNOR_TRY(const rt::Backend backend, *report);
    const char* name = backend == rt::Backend::IoUring ? kBackendIoUring : kBackendPolling;
    auto d = std::make_shared<Driver>(std::move(channel), name);
    return d;
}

Driver::Driver(std::shared_ptr<Channel> tx, const char* backend)
    : tx_(std::move(tx)), backend_(backend), owner_pid_(::getpid()) {}

std::uint64_t Driver::submit(Op op, ReplyCallbackPtr reply) {
    // Relaxed is enough: ids only need to be unique; ordering with the
    // message is given by the channel.
    const std::uint64_t id = next_id_.fetch_add(1, std::memory_order_relaxed);
    Msg m{message::Submit{id, std::move(op), std::move(reply)}};
    if (!tx_->send(m)) {
        auto& s = std::get<message::Submit>(m);
        s.reply->invoke(IoError::of(ErrorKind::BrokenPipe, msg::kDriverGone));
    }
    return id;
}

void Driver::cancel(std::uint64_t id) {
    Msg m{message::Cancel{id}};
    (void)tx_->send(m);
}

Driver::~Driver() {
    // In a forked child the driver thread does not exist and the channel's
    // lock may have been held by a parent thread at fork time: leave it be.
    if (::getpid() == owner_pid_) tx_->close_sender();
}

}  // namespace velnor
