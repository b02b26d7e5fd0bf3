// DrainHandle: the callable handed to the event loop (as add_reader callback
// or through call_soon_threadsafe). It holds only a weak reference to its
// bridge; calling it runs the bridge's drain. It may also be left the
// doorbell pipe of a dropped bridge (see PipeBell), which it then empties.
#pragma once

#include <memory>

#include "ext/capi/ref.hpp"

namespace velnor::ext {

class LoopBridge;
struct PipeBell;

// Creates the type on first use; it is not exported and cannot be
// instantiated from Python.
Ref make_drain_handle(std::weak_ptr<LoopBridge> bridge);

// The same callable running the bridge's poll instead (LoopBridge::poll),
// made for one scheduling: dropped without having been called, it tells
// the bridge that its loop will not run it (LoopBridge::looks_abandoned).
Ref make_poll_handle(std::weak_ptr<LoopBridge> bridge);
// A poll handle the loop refused: dropping it means nothing.
void disarm_poll_handle(PyObject* poll) noexcept;

// Gives `drain` (made by make_drain_handle) a share of `bell`.
void leave_pipe_to(PyObject* drain, std::shared_ptr<PipeBell> bell) noexcept;

}  // namespace velnor::ext
