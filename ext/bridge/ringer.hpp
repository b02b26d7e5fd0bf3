// The ringer: a Python daemon thread that wakes the loops which cannot watch
// a doorbell pipe, by calling their call_soon_threadsafe. The driver thread
// never takes the interpreter lock (gil.hpp), so it only tells the ringer.
#pragma once

#include <memory>

#include "ext/capi/gil.hpp"

namespace velnor::ext {

class LoopBridge;

// Adds `bridge` to the bridges the ringer serves, starting the ringer in
// this process if it is not running. Interpreter lock held.
VELNOR_CATCHES_FORCED_UNWIND void ringer_watch(const std::shared_ptr<LoopBridge>& bridge);

// Some served bridge owes a wake-up (its flag is set). Any thread; takes
// only the ringer's mutex, which nobody holds while calling Python.
void ringer_notify() noexcept;

// In a forked child, where the ringer thread does not exist.
void reset_ringer_after_fork() noexcept;

}  // namespace velnor::ext
