// Thin wrappers over the io_uring system calls. glibc has no wrappers for
// them; these return the result or -errno, and nothing above them reads
// errno.
#pragma once

#include <cstddef>
#include <cstdint>

struct io_uring_params;

namespace velnor::rt::sys {

int io_uring_setup(unsigned entries, io_uring_params* p) noexcept;
int io_uring_enter(int ring_fd, unsigned to_submit, unsigned min_complete,
                   unsigned flags) noexcept;
int io_uring_register(int ring_fd, unsigned opcode, void* arg, unsigned nr_args) noexcept;
// A shared, read-write, pre-faulted mapping of one of the ring's regions:
// 0 and *out set, or -errno.
int map_ring_region(std::size_t len, int ring_fd, std::uint64_t offset, void** out) noexcept;

}  // namespace velnor::rt::sys
