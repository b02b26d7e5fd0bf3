#include "core/runtime/syscalls.hpp"

#include <linux/io_uring.h>
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

}  // namespace velnor::rt::sys
