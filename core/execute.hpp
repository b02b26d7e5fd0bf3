// The execution of one operation as a coroutine task on the driver thread:
// the dispatch from an `Op` to the steps it is made of, and its `Outcome`.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "core/file_table.hpp"
#include "core/op.hpp"
#include "core/runtime/task.hpp"

namespace velnor {
class Cancellation;
}

namespace velnor::compio_backend {

// Looks a handle up without changing the table.
Result<FileRef> lookup(FileTable& files, std::uint64_t handle);

// `handle_id` is the id the message loop gave an operation that registers a
// file (open, read_file); `cancel` stays valid until the task ends.
rt::Task<Outcome> execute(std::optional<std::uint64_t> handle_id, Op op, FileTable& files,
                          Cancellation& cancel);

}  // namespace velnor::compio_backend
