// The execution of file-system calls on names (`op::PathOp`) on the driver
// thread: the ring's own opcode where the kernel has one (the runtime sends
// it to the pool when the probe says otherwise), the worker pool where no
// opcode exists. Nothing here blocks the calling thread.
#pragma once

#include "core/op.hpp"
#include "core/runtime/task.hpp"

namespace velnor {
class Cancellation;
}

namespace velnor::path_ops {

// `cancel` withdraws a call that may wait without end (opening a FIFO).
rt::Task<Outcome> execute(op::PathOp& o, Cancellation& cancel);

}  // namespace velnor::path_ops
