// What other parts of the extension ask of the stretches of Turns (turns.cpp).
#pragma once

#include <chrono>

namespace velnor::ext {

// How long an operation just submitted on this thread's running loop may
// be waited for on the spot, as operations served on the spot are: what a
// Turns object that took on completions (`Turns.catch_completions`)
// allows, or zero while none has.
std::chrono::nanoseconds completion_wait() noexcept;

// Whether such a wait must not be made now, the loop's turn being due.
// Starts a stretch as `Turns.due` does; never leaves an exception set.
// Interpreter lock held, inside a running loop.
bool completion_turn_due() noexcept;

}  // namespace velnor::ext
