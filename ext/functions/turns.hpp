// What other parts of the extension ask of the stretches of Turns (turns.cpp).
#pragma once

#include <chrono>

namespace velnor::ext {

// How long an operation just submitted on this thread's running loop may
// be waited for on the spot, as operations served on the spot are: what a
// Turns object that took on completions (`Turns.catch_completions`) allows,
// or zero while none has, or while the loop's turn is due. Starts a stretch
// as `Turns.due` does. Never leaves an exception set. Interpreter lock
// held, inside a running loop.
std::chrono::nanoseconds completion_wait() noexcept;

}  // namespace velnor::ext
