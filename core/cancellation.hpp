// One operation's cancellation: the flag its loops test between kernel
// requests, and the kernel request it waits on that may be withdrawn
// (one that can wait without end: on a pipe, socket, device or FIFO open).
// Driver thread only.
#pragma once

#include <cerrno>
#include <coroutine>
#include <cstdint>

#include "core/op.hpp"
#include "core/runtime/runtime.hpp"

namespace velnor {

class Cancellation {
public:
    bool requested() const noexcept { return requested_; }
    // Raises the flag and withdraws the request waited on, if any. The
    // request still completes and is waited for.
    void request() noexcept {
        requested_ = true;
        if (waiting_)
            if (auto* rt = rt::Runtime::current()) rt->withdraw(*waiting_);
    }

private:
    friend struct Withdrawable;
    bool requested_ = false;
    rt::KernelRequest* waiting_ = nullptr;
};

// A submitted operation until it replies: its cancellation, and its reply
// callback, held here rather than in the task so that an operation whose
// task cannot be made still gets its reply.
struct PendingOp {
    Cancellation cancel;
    ReplyCallbackPtr reply;
};

// `co_await Withdrawable{rt::read_at(...), &cancel, stream}`: the request,
// withdrawn when `cancel` is requested while it waits. Already requested:
// completes with -ECANCELED without reaching the kernel. `stream` marks a
// read or write of a pipe, socket or device (see KernelRequest::stream).
struct Withdrawable {
    rt::KernelCall call;
    Cancellation* cancel = nullptr;
    bool stream = false;
    bool skipped = false;

    bool await_ready() noexcept {
        skipped = cancel && cancel->requested_;
        return skipped;
    }
    void await_suspend(std::coroutine_handle<> h) noexcept {
        if (cancel) cancel->waiting_ = &call.req;
        call.req.stream = stream;
        call.await_suspend(h);
    }
    std::int32_t await_resume() noexcept {
        forget();
        return skipped ? -ECANCELED : call.req.res;
    }
    // A task destroyed while waiting (driver shutdown) unlinks itself too.
    ~Withdrawable() { forget(); }

private:
    void forget() noexcept {
        if (cancel && cancel->waiting_ == &call.req) cancel->waiting_ = nullptr;
    }
};

}  // namespace velnor
