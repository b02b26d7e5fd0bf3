// The steps the driver's operations are made of: opening, sizing and closing
// a file, and the read and write loops that turn one request into as many
// kernel requests as the length field and short transfers need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/file_table.hpp"
#include "core/op.hpp"
#include "core/result.hpp"
#include "core/runtime/runtime.hpp"

namespace velnor {
class Cancellation;
}

namespace velnor::compio_backend {

IoError cancelled_err();
IoError unknown_handle();

// Open flags of the six booleans, or EINVAL for impossible combinations.
Result<int> open_flags(const op::Open& o);

// Opens `path` through the runtime; the descriptor is owned by the result.
// With `cancel`, the open (of a FIFO, say) is withdrawn when cancelled.
rt::Task<Result<FileRef>> open_path(const std::string& path, int flags,
                                    Cancellation* cancel = nullptr);

// The size of a file just opened; records whether it is a stream.
rt::Task<Result<std::uint64_t>> stat_opened(FileRef& file);

rt::Task<Result<std::uint64_t>> file_size(int fd);

// Closes an explicitly closed file: after every other holder let go, through
// the runtime rather than a blocking close on this thread.
rt::Task<Result<void>> close_file(FileRef file);

// Fills [dst, dst+n) from `pos` until full, end of file, error or cancel.
// Short reads are continued and EINTR retried; `spread` hands each request
// to the kernel's workers (see op::Read).
rt::Task<Result<std::size_t>> read_up_to(const FileRef& file, std::uint64_t pos, std::uint8_t* dst,
                                         std::size_t n, Cancellation& cancel, bool spread = false);

// Reads from `pos` to end of file into `buf` (whose size is the capacity),
// growing it as the file grows. Returns the length read; a cancel ends it
// between kernel reads.
rt::Task<Result<std::size_t>> read_to_end_loop(const FileRef& file, std::uint64_t pos, Bytes& buf,
                                               Cancellation& cancel);

// `read_to_end_loop` into a buffer sized from `size`, the file's length as
// last seen, with one spare byte for the final empty read.
rt::Task<Result<Bytes>> read_sized_to_end(const FileRef& file, std::uint64_t pos, std::uint64_t size,
                                          Cancellation& cancel);

// Sizes `buf` to `n` bytes, or reports that memory ran out.
Result<void> alloc_bytes(Bytes& buf, std::uint64_t n);

// Writes all of [src, src+n) at `pos`, continuing short writes. Only a
// stream's write heeds a cancel (between and during kernel writes).
rt::Task<Result<void>> write_all_at(const FileRef& file, const std::uint8_t* src, std::size_t n,
                                    std::uint64_t pos, Cancellation& cancel);

// The append loop runs on a worker: write(2) lands at the descriptor's own
// position, atomically at end of file with O_APPEND.
rt::Task<Result<void>> append_all(int fd, const Payload& data);

}  // namespace velnor::compio_backend
