// submit: the road of one operation from a module function to the driver,
// and of its outcome back into the loop's queue.
#pragma once

#include "core/op.hpp"
#include "ext/bridge/completion.hpp"

namespace velnor::ext {

// Hands `op` to the driver with a completion callback bound to the running
// loop's bridge and returns a new KernelFuture whose `op_ids` is `(id,)`.
// On failure before submission (no driver, no running loop, the future
// cannot be made) `op`, `mode` and `owner` are released and PyError thrown.
// Interpreter lock held.
Ref submit(Op op, ResultMode mode, Owner owner);

}  // namespace velnor::ext
