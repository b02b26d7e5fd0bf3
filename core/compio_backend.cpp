#include "core/compio_backend.hpp"

#include "core/cancellation.hpp"

#include <pthread.h>

#include <cerrno>
#include <climits>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "core/execute.hpp"
#include "core/file_table.hpp"

namespace velnor::compio_backend {

// ---------------------------------------------------------------- start-up

void Startup::send(Report r) {
    std::lock_guard lk(mu_);
    if (!report_) report_ = std::move(r);
    cv_.notify_all();
}

void Startup::close() {
    std::lock_guard lk(mu_);
    closed_ = true;
    cv_.notify_all();
}

std::optional<Startup::Report> Startup::wait() {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return report_.has_value() || closed_; });
    return report_;
}

namespace {

// Closes the start-up channel however the thread body ends, so that a thread
// that dies before reporting cannot leave `Driver::create` waiting.
struct StartupSender {
    std::shared_ptr<Startup> s;
    ~StartupSender() { s->close(); }
};

void thread_main(std::shared_ptr<Channel> rx, std::shared_ptr<Startup> startup) {
    StartupSender sender{std::move(startup)};
    pthread_setname_np(pthread_self(), "velnor-compio");
    auto built = rt::Runtime::build();
    if (!built.ok()) {
        sender.s->send(built.error());
        rx->close_receiver();
        return;
    }
    const std::unique_ptr<rt::Runtime> runtime = std::move(built).value();
    runtime->make_current();
    rx->set_waker(runtime->waker());
    sender.s->send(runtime->backend());
    run(*runtime, *rx);
}

}  // namespace

Result<void> spawn(std::shared_ptr<Channel> rx, std::shared_ptr<Startup> startup) {
    try {
        std::thread t(thread_main, std::move(rx), std::move(startup));
        t.detach();
    } catch (const std::system_error& e) {
        return IoError::os(e.code().value() ? e.code().value() : EAGAIN);
    } catch (const std::bad_alloc&) {
        return IoError::os(ENOMEM);
    }
    return {};
}

// ------------------------------------------------------------ message loop

namespace {

struct LoopState {
    FileTable files;
    CancelRegistry cancels;
    std::uint64_t next_handle = 1;
};

IoError out_of_memory() { return IoError::of(ErrorKind::OutOfMemory, msg::kOutOfMemory); }

// One task per submitted operation: execute, unregister, reply. Memory that
// runs out anywhere inside fails this operation alone.
rt::Task<void> op_task(std::uint64_t id, std::optional<std::uint64_t> handle_id, Op op,
                       LoopState& state, PendingOp& pending) {
    Outcome out = reply::Unit{};
    try {
        out = co_await execute(handle_id, std::move(op), state.files, pending.cancel);
    } catch (const std::bad_alloc&) {
        out = out_of_memory();
    }
    ReplyCallbackPtr reply = std::move(pending.reply);
    state.cancels.with([&](auto& m) { m.erase(id); });
    reply->invoke(std::move(out));
}

void on_message(rt::Runtime& runtime, LoopState& state, Msg& m) {
    if (auto* c = std::get_if<message::Cancel>(&m)) {
        state.cancels.with([&](auto& map) {
            if (auto it = map.find(c->id); it != map.end()) it->second.cancel.request();
        });
        return;
    }
    auto& s = std::get<message::Submit>(m);
    std::optional<std::uint64_t> handle_id;
    // The id is used up on receipt, whatever becomes of the operation.
    if (std::holds_alternative<op::Open>(s.op) || std::holds_alternative<op::ReadFile>(s.op) ||
        std::holds_alternative<op::Adopt>(s.op))
        handle_id = state.next_handle++;
    PendingOp* pending = nullptr;
    try {
        pending = state.cancels.with([&](auto& map) {
            auto [it, inserted] = map.try_emplace(s.id);
            it->second.reply = std::move(s.reply);
            return &it->second;
        });
        runtime.spawn(op_task(s.id, handle_id, std::move(s.op), state, *pending));
    } catch (const std::bad_alloc&) {
        ReplyCallbackPtr reply = pending ? std::move(pending->reply) : std::move(s.reply);
        if (pending) state.cancels.with([&](auto& map) { map.erase(s.id); });
        if (reply) reply->invoke(out_of_memory());
    }
}

}  // namespace

void run(rt::Runtime& runtime, Channel& rx) {
    LoopState state;
    std::vector<Msg> batch;
    const auto has_external = [&rx] { return rx.has_pending(); };
    for (;;) {
        if (!rx.take_all(batch)) break;
        for (auto& m : batch) on_message(runtime, state, m);
        batch.clear();
        const bool more = runtime.run_ready(rt::Runtime::kEventInterval);
        runtime.turn(!more, has_external);
    }
    rx.close_receiver();
    runtime.run_ready(UINT_MAX);
    // Waits for every request still in the kernel or on a worker, then
    // destroys unfinished tasks: their callbacks are dropped uncalled.
    runtime.shutdown();
}

}  // namespace velnor::compio_backend
