#include "core/runtime/blocking_syscall.hpp"

#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "core/runtime/runtime.hpp"
#include "core/runtime/worker_pool.hpp"

namespace velnor::rt {
namespace {

// io_uring reads at the file position when the offset is all ones.
constexpr std::uint64_t kCurrentPosition = ~std::uint64_t{0};

std::int32_t result(long r) noexcept {
    if (r < 0) return -errno;
    return r > INT_MAX ? INT_MAX : static_cast<std::int32_t>(r);
}

// EINTR is retried unless the job was withdrawn: then the interruption is
// what the driver asked for.
// `tries` bounds it where the driver tries again itself (a read or write
// of the file loop asks its cancel flag first), so that an interruption
// that never ends still lets a cancel through.
template <class F>
long retry_eintr(F f, int tries = INT_MAX) noexcept {
    long r;
    do r = f();
    while (r < 0 && errno == EINTR && !job_withdrawn() && --tries > 0);
    return r;
}

constexpr int kReadWriteTries = 4;

void* ptr(std::uint64_t a) noexcept { return reinterpret_cast<void*>(a); }

std::int32_t read_write(const KernelRequest& q) noexcept {
    const bool positional = q.off != kCurrentPosition;
    long r;
    switch (q.opcode) {
        case opcode::kRead:
            r = retry_eintr([&] {
                return positional ? ::pread(q.fd, ptr(q.addr), q.len, static_cast<off_t>(q.off))
                                  : ::read(q.fd, ptr(q.addr), q.len);
            }, kReadWriteTries);
            // A pipe or socket has no offsets; the ring reads it as a
            // stream whatever the offset, so do the same.
            if (r < 0 && errno == ESPIPE)
                r = retry_eintr([&] { return ::read(q.fd, ptr(q.addr), q.len); }, kReadWriteTries);
            return result(r);
        case opcode::kWrite:
            r = retry_eintr([&] {
                return positional ? ::pwrite(q.fd, ptr(q.addr), q.len, static_cast<off_t>(q.off))
                                  : ::write(q.fd, ptr(q.addr), q.len);
            }, kReadWriteTries);
            if (r < 0 && errno == ESPIPE)
                r = retry_eintr([&] { return ::write(q.fd, ptr(q.addr), q.len); }, kReadWriteTries);
            return result(r);
    }
    return -EINVAL;
}

}  // namespace

std::int32_t perform_blocking(const KernelRequest& q) noexcept {
    switch (q.opcode) {
        case opcode::kNop:
            return 0;
        case opcode::kRead:
        case opcode::kWrite:
            return read_write(q);
        case opcode::kOpenat:
            return result(retry_eintr([&] {
                return ::openat(q.fd, static_cast<const char*>(ptr(q.addr)),
                                static_cast<int>(q.op_flags), static_cast<mode_t>(q.len));
            }));
        case opcode::kStatx:
            return result(retry_eintr([&] {
                return ::statx(q.fd, static_cast<const char*>(ptr(q.addr)),
                               static_cast<int>(q.op_flags), q.len,
                               static_cast<struct statx*>(ptr(q.addr2)));
            }));
        case opcode::kClose:
            // Never retried: after EINTR the descriptor is already gone and
            // its number may belong to someone else.
            return result(::close(q.fd));
        case opcode::kFsync:
            return result(retry_eintr([&] {
                return (q.op_flags & IORING_FSYNC_DATASYNC) ? ::fdatasync(q.fd) : ::fsync(q.fd);
            }));
        case opcode::kRenameat:
            return result(::syscall(SYS_renameat2, q.fd, static_cast<const char*>(ptr(q.addr)),
                                    static_cast<int>(q.len), static_cast<const char*>(ptr(q.addr2)),
                                    q.op_flags));
        case opcode::kUnlinkat:
            return result(::unlinkat(q.fd, static_cast<const char*>(ptr(q.addr)), static_cast<int>(q.op_flags)));
        case opcode::kMkdirat:
            return result(::mkdirat(q.fd, static_cast<const char*>(ptr(q.addr)), static_cast<mode_t>(q.len)));
        case opcode::kSymlinkat:
            return result(::symlinkat(static_cast<const char*>(ptr(q.addr)), q.fd,
                                      static_cast<const char*>(ptr(q.addr2))));
        case opcode::kLinkat:
            return result(::linkat(q.fd, static_cast<const char*>(ptr(q.addr)), static_cast<int>(q.len),
                                   static_cast<const char*>(ptr(q.addr2)), static_cast<int>(q.op_flags)));
        case opcode::kFtruncate:
            return result(retry_eintr(
                [&] { return ::ftruncate(q.fd, static_cast<off_t>(q.off)); }));
    }
    // What the kernel answers for an opcode it does not know.
    return -EINVAL;
}

}  // namespace velnor::rt
