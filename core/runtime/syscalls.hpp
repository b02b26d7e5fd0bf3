// Thin wrappers over the io_uring system calls. glibc has no wrappers for
// them; these return the result or -errno, and nothing above them reads
// errno.
#pragma once

#include <cstdint>

struct io_uring_params;

namespace velnor::rt::sys {

int io_uring_setup(unsigned entries, io_uring_params* p) noexcept;
int io_uring_enter(int ring_fd, unsigned to_submit, unsigned min_complete,
                   unsigned flags) noexcept;
int io_uring_register(int ring_fd, unsigned opcode, void* arg, unsigned nr_args) noexcept;

}  // namespace velnor::rt::sys
