#include "core/runtime/syscalls.hpp"

#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace velnor::rt::sys {
namespace {
constexpr long kSetup = 425;
constexpr long kEnter = 426;
constexpr long kRegister = 427;

int result_or_errno(long r) noexcept { return r < 0 ? -errno : static_cast<int>(r); }
}  // namespace

int io_uring_setup(unsigned entries, io_uring_params* p) noexcept {
    return result_or_errno(::syscall(kSetup, entries, p));
}

int io_uring_enter(int ring_fd, unsigned to_submit, unsigned min_complete,
                   unsigned flags) noexcept {
    return result_or_errno(
        ::syscall(kEnter, ring_fd, to_submit, min_complete, flags, nullptr, _NSIG / 8));
}

int io_uring_register(int ring_fd, unsigned opcode, void* arg, unsigned nr_args) noexcept {
    return result_or_errno(::syscall(kRegister, ring_fd, opcode, arg, nr_args));
}

int map_ring_region(std::size_t len, int ring_fd, std::uint64_t offset, void** out) noexcept {
    void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, ring_fd,
                     static_cast<off_t>(offset));
    if (p == MAP_FAILED) return -errno;
    *out = p;
    return 0;
}

}  // namespace velnor::rt::sys
