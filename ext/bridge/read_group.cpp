// read_parallel: one byte range read as many chunk reads submitted at once,
// each landing in its slice of a single bytes object, settled as one future.
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "ext/capi/binder.hpp"
#include "ext/capi/calls.hpp"
#include "ext/capi/convert.hpp"
#include "ext/capi/deferred.hpp"
#include "ext/capi/entry.hpp"
#include "ext/bridge/globals.hpp"
#include "ext/bridge/loop_bridge.hpp"
#include "ext/module_table.hpp"
#include "ext/capi/new_bytes.hpp"

namespace velnor::ext {
namespace {

constexpr const char* kMismatchedReply = "mismatched velnor reply in read group";

// Every chunk costs a message, a callback, a task and its id before any
// byte is read; past this many, chunks grow instead of multiplying, so
// that a tiny `chunk` cannot make the bookkeeping outweigh the data.
constexpr std::uint64_t kMaxChunks = 4096;

class ReadGroup {
public:
    ReadGroup(std::shared_ptr<LoopBridge> bridge, std::size_t chunks, Ref future, Ref buffer, std::size_t len)
        : bridge_(std::move(bridge)), remaining_(std::max<std::size_t>(chunks, 1)) {
        state_.future = std::move(future);
        state_.buffer = std::move(buffer);
        state_.valid_len = len;
    }

    ~ReadGroup() {
        // Chunks dropped uncalled (the driver went away) leave the future
        // and the buffer here; this may be the driver thread.
        if (state_.future || state_.buffer) drop_with_gil(std::move(state_));
    }

    // Runs on the driver thread without the interpreter lock (or on the
    // submitting thread for an empty range): no reference count is touched,
    // the future and buffer only move into the completion.
    void chunk_done(std::size_t offset, std::size_t chunk_len, Outcome&& outcome) noexcept {
        {
            std::lock_guard lk(mu_);
            if (auto* e = std::get_if<IoError>(&outcome)) {
                if (!state_.error) state_.error = *e;
            } else if (auto* r = std::get_if<reply::Read>(&std::get<Reply>(outcome))) {
                if (r->n < chunk_len) state_.valid_len = std::min(state_.valid_len, offset + r->n);
            } else if (!state_.error) {
                state_.error = IoError::of(ErrorKind::Other, kMismatchedReply);
            }
        }
        // acq_rel: the last decrement must see every other chunk's record,
        // and its own record must be visible to whoever completes.
        if (remaining_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        State done;
        {
            std::lock_guard lk(mu_);
            if (!state_.future || !state_.buffer) velnor::abort_unreachable("group completes once");
            done = std::move(state_);
        }
        Outcome result = done.error ? Outcome{*done.error} : Outcome{Reply{reply::Read{done.valid_len}}};
        bridge_->complete(Completion{ResultMode::new_bytes(std::move(done.buffer)), std::move(result),
                                     std::move(done.future), Owner{}});
    }

private:
    struct State {
        Ref future;
        Ref buffer;
        std::size_t valid_len = 0;
        std::optional<IoError> error;
    };

    std::shared_ptr<LoopBridge> bridge_;
    std::atomic<std::size_t> remaining_;
    std::mutex mu_;
    State state_;
};

class ChunkCallback final : public ReplyCallback {
public:
    ChunkCallback(std::shared_ptr<ReadGroup> group, std::size_t offset, std::size_t len)
        : group_(std::move(group)), offset_(offset), len_(len) {}
    void invoke(Outcome&& outcome) noexcept override {
        group_->chunk_done(offset_, len_, std::move(outcome));
        group_.reset();
    }

private:
    std::shared_ptr<ReadGroup> group_;
    std::size_t offset_, len_;
};

Ref py_read_parallel(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<4> params{"read_parallel", {"handle", "pos", "len", "chunk"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::uint64_t handle = arg_u64("handle", a[0]);
    const std::uint64_t pos = arg_u64("pos", a[1]);
    const std::uint64_t len = arg_u64("len", a[2]);
    std::uint64_t chunk = arg_u64("chunk", a[3]);
    if (chunk == 0) raise(PyExc_ValueError, "chunk must be positive");
    if (len / chunk >= kMaxChunks) chunk = len / kMaxChunks + (len % kMaxChunks ? 1 : 0);

    std::shared_ptr<Driver> drv = driver();
    std::shared_ptr<LoopBridge> bridge = bridge_for_running_loop();
    Ref future = bridge->new_future();
    Ref buffer = new_bytes_to_fill(len);
    std::uint8_t* base = bytes_data(buffer);
    const std::uint64_t k = len / chunk + (len % chunk ? 1 : 0);
    auto group = std::make_shared<ReadGroup>(std::move(bridge), static_cast<std::size_t>(k), future,
                                             std::move(buffer), static_cast<std::size_t>(len));
    Ref ids = checked(PyList_New(0));
    if (len == 0) {
        checked(PyObject_SetAttr(future.get(), names().op_ids, ids.get()));
        group->chunk_done(0, 0, Reply{reply::Read{0}});
        return future;
    }
    for (std::uint64_t i = 0; i < k; ++i) {
        const std::uint64_t offset = i * chunk;
        const std::size_t n = static_cast<std::size_t>(std::min(chunk, len - offset));
        const std::uint64_t id =
            drv->submit(op::Read{handle, pos + offset, RawBufMut{base + offset, n}, k > 1},
                        std::make_unique<ChunkCallback>(group, static_cast<std::size_t>(offset), n));
        Ref id_obj = u64_to_int(id);
        checked(PyList_Append(ids.get(), id_obj.get()));
    }
    checked(PyObject_SetAttr(future.get(), names().op_ids, ids.get()));
    return future;
}

}  // namespace

PyMethodDef READ_PARALLEL_METHOD =
    fast_method<py_read_parallel>("read_parallel", "read_parallel(handle, pos, len, chunk)\n--\n\n");

}  // namespace velnor::ext
