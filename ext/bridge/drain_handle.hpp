// DrainHandle: the callable handed to the event loop (as add_reader callback
// or through call_soon_threadsafe). It holds only a weak reference to its
// bridge, and a share of the doorbell pipe (see PipeBell); calling it
// empties the pipe and runs the bridge's drain.
#pragma once

#include <memory>

#include "ext/capi/ref.hpp"

namespace velnor::ext {

class LoopBridge;
struct PipeBell;

// Creates the type on first use; it is not exported and cannot be
// instantiated from Python.
Ref make_drain_handle(std::weak_ptr<LoopBridge> bridge, std::shared_ptr<PipeBell> bell);

}  // namespace velnor::ext
