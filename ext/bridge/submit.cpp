#include "ext/bridge/submit.hpp"

#include <memory>

#include "ext/capi/calls.hpp"
#include "ext/capi/deferred.hpp"
#include "ext/bridge/globals.hpp"
#include "ext/bridge/loop_bridge.hpp"

namespace velnor::ext {
namespace {

// The one allocation per operation: everything the outcome needs to reach
// its future. Invoked (or destroyed uncalled) on the driver thread, which
// holds no interpreter lock.
class CompletionCallback final : public ReplyCallback {
public:
    CompletionCallback(ResultMode mode, std::shared_ptr<LoopBridge> bridge, Ref future, Owner owner)
        : carried_{std::move(mode), std::move(future), std::move(bridge)}, owner_(std::move(owner)) {}

    ~CompletionCallback() override {
        // Destroyed uncalled (the driver went away with the operation in
        // flight): the future never settles, and its references must not be
        // dropped here. The owner's view releases itself under
        // PyGILState_Ensure.
        if (carried_.bridge) drop_with_gil(std::move(carried_));
    }

    void invoke(Outcome&& outcome) noexcept override {
        std::shared_ptr<LoopBridge> bridge = std::move(carried_.bridge);
        bridge->complete(Completion{std::move(carried_.mode), std::move(outcome),
                                    std::move(carried_.future), std::move(owner_)});
        // `bridge` goes here; if it was the last reference, its deleter
        // defers the destruction to a thread holding the interpreter lock.
    }

private:
    struct Carried {
        ResultMode mode;
        Ref future;
        std::shared_ptr<LoopBridge> bridge;
    };
    Carried carried_;
    Owner owner_;
};

}  // namespace

Ref submit(Op op, ResultMode mode, Owner owner) {
    std::shared_ptr<Driver> drv = driver();
    std::shared_ptr<LoopBridge> bridge = bridge_for_running_loop();
    Ref future = bridge->new_future();
    // Before the submission, whose completion may come at once.
    bridge->hurry();
    std::shared_ptr<LoopBridge> catcher = bridge;
    auto callback = std::make_unique<CompletionCallback>(std::move(mode), std::move(bridge), future,
                                                         std::move(owner));
    const std::uint64_t id = drv->submit(std::move(op), std::move(callback));
    // If this fails the operation still runs and settles a future nobody
    // holds any more.
    Ref id_obj = u64_to_int(id);
    Ref op_ids = tuple_of({id_obj.get()});
    checked(PyObject_SetAttr(future.get(), names().op_ids, op_ids.get()));
    catcher->catch_completion();
    return future;
}

}  // namespace velnor::ext
