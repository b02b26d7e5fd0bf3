// What travels back from the driver thread to a loop: the finished
// operation's outcome with everything needed to settle its future.
#pragma once

#include <cstdint>

#include "core/op.hpp"
#include "ext/capi/buffer_view.hpp"
#include "ext/capi/ref.hpp"

namespace velnor::ext {

// How the drain turns a reply into the future's value.
struct ResultMode {
    enum class Tag : std::uint8_t { Plain, NewBytes, IntoBuffer, WholeFile, WrittenCount };

    Tag tag = Tag::Plain;
    // NewBytes: the bytes object read into. WholeFile: the on_handle
    // callable, or empty. Otherwise empty.
    Ref object;

    static ResultMode plain() { return {Tag::Plain, {}}; }
    static ResultMode new_bytes(Ref buffer) { return {Tag::NewBytes, std::move(buffer)}; }
    static ResultMode into_buffer() { return {Tag::IntoBuffer, {}}; }
    static ResultMode whole_file(Ref on_handle) { return {Tag::WholeFile, std::move(on_handle)}; }
    static ResultMode written_count() { return {Tag::WrittenCount, {}}; }
};

// One finished operation waiting in a bridge's queue. Holds Python
// references, so it is destroyed only where the interpreter lock is held:
// in the drain, or with its bridge (whose deleter guarantees the lock).
struct Completion {
    ResultMode mode;
    Outcome result;
    Ref future;
    Owner owner;
};

}  // namespace velnor::ext
