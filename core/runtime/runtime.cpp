// Backend choice and the request constructors.
#include "core/runtime/runtime.hpp"

#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/runtime/polling_runtime.hpp"
#include "core/runtime/opcode_support.hpp"
#include "core/runtime/uring_runtime.hpp"

namespace velnor::rt {
namespace {

bool has_required_set(const OpcodeSet& ops) noexcept {
    using namespace opcode;
    return ops.error == 0 && ops.has_all({kRead, kReadv, kWrite, kWritev, kFsync, kAccept,
                                          kConnect, kRecv, kSend, kRecvmsg, kSendmsg, kPollAdd});
}

}  // namespace

Result<std::unique_ptr<Runtime>> Runtime::build() { return build(RuntimeOptions{}); }

Result<std::unique_ptr<Runtime>> Runtime::build(const RuntimeOptions& options) {
    if (options.backend != Backend::Polling) {
        const OpcodeSet& ops = kernel_opcodes();
        Result<std::unique_ptr<Runtime>> ring = IoError::os(ops.error < 0 ? -ops.error : ENOSYS);
        // Any failure to create the ring (ENOSYS, EPERM, ENOMEM, ...) means
        // the fallback, not an error.
        if (has_required_set(ops)) ring = UringRuntime::create(options, ops);
        if (ring.ok() || options.backend == Backend::IoUring) return ring;
    }
    return PollingRuntime::create(options);
}

KernelCall openat(const char* path, std::uint32_t flags, std::uint32_t mode) noexcept {
    return openat_in(AT_FDCWD, path, flags, mode);
}

KernelCall openat_in(int dirfd, const char* path, std::uint32_t flags, std::uint32_t mode) noexcept {
    KernelRequest q;
    q.opcode = opcode::kOpenat;
    q.fd = dirfd;
    q.addr = reinterpret_cast<std::uint64_t>(path);
    q.len = mode;
    q.op_flags = flags;
    return KernelCall{q};
}

KernelCall statx_fd(int fd, struct ::statx* out) noexcept {
    static const char kEmptyPath[] = "";
    KernelRequest q;
    q.opcode = opcode::kStatx;
    q.fd = fd;
    q.addr = reinterpret_cast<std::uint64_t>(kEmptyPath);
    q.len = 0x3fff;  // STATX_ALL and the fields after it the kernel knows
    q.op_flags = AT_EMPTY_PATH;
    q.addr2 = reinterpret_cast<std::uint64_t>(out);
    return KernelCall{q};
}

KernelCall read_at(int fd, std::uint8_t* buf, std::uint32_t len, std::uint64_t off, bool spread) noexcept {
    KernelRequest q;
    q.opcode = opcode::kRead;
    q.spread = spread;
    q.fd = fd;
    q.addr = reinterpret_cast<std::uint64_t>(buf);
    q.len = len;
    q.off = off;
    return KernelCall{q};
}

KernelCall write_at(int fd, const std::uint8_t* buf, std::uint32_t len, std::uint64_t off) noexcept {
    KernelRequest q;
    q.opcode = opcode::kWrite;
    q.fd = fd;
    q.addr = reinterpret_cast<std::uint64_t>(buf);
    q.len = len;
    q.off = off;
    return KernelCall{q};
}

KernelCall fsync(int fd, bool data_only) noexcept {
    KernelRequest q;
    q.opcode = opcode::kFsync;
    q.fd = fd;
    q.op_flags = data_only ? IORING_FSYNC_DATASYNC : 0;
    return KernelCall{q};
}

KernelCall ftruncate(int fd, std::uint64_t len) noexcept {
    KernelRequest q;
    q.opcode = opcode::kFtruncate;
    q.fd = fd;
    q.off = len;
    return KernelCall{q};
}

KernelCall close(int fd) noexcept {
    KernelRequest q;
    q.opcode = opcode::kClose;
    q.fd = fd;
    return KernelCall{q};
}

KernelCall statx_at(int dirfd, const char* path, std::uint32_t flags, struct ::statx* out) noexcept {
    KernelRequest q;
    q.opcode = opcode::kStatx;
    q.fd = dirfd;
    q.addr = reinterpret_cast<std::uint64_t>(path);
    q.len = STATX_BASIC_STATS;
    q.op_flags = flags;
    q.addr2 = reinterpret_cast<std::uint64_t>(out);
    return KernelCall{q};
}

namespace {
KernelRequest two_paths(std::uint8_t op, int olddirfd, const char* oldpath, int newdirfd,
                        const char* newpath, std::uint32_t flags) noexcept {
    KernelRequest q;
    q.opcode = op;
    q.fd = olddirfd;
    q.addr = reinterpret_cast<std::uint64_t>(oldpath);
    q.len = static_cast<std::uint32_t>(newdirfd);
    q.addr2 = reinterpret_cast<std::uint64_t>(newpath);
    q.op_flags = flags;
    return q;
}
}  // namespace

KernelCall renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, std::uint32_t flags) noexcept {
    return KernelCall{two_paths(opcode::kRenameat, olddirfd, oldpath, newdirfd, newpath, flags)};
}

KernelCall linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, std::uint32_t flags) noexcept {
    return KernelCall{two_paths(opcode::kLinkat, olddirfd, oldpath, newdirfd, newpath, flags)};
}

KernelCall symlinkat(const char* target, int newdirfd, const char* linkpath) noexcept {
    KernelRequest q;
    q.opcode = opcode::kSymlinkat;
    q.fd = newdirfd;
    q.addr = reinterpret_cast<std::uint64_t>(target);
    q.addr2 = reinterpret_cast<std::uint64_t>(linkpath);
    return KernelCall{q};
}

KernelCall unlinkat(int dirfd, const char* path, std::uint32_t flags) noexcept {
    KernelRequest q;
    q.opcode = opcode::kUnlinkat;
    q.fd = dirfd;
    q.addr = reinterpret_cast<std::uint64_t>(path);
    q.op_flags = flags;
    return KernelCall{q};
}

KernelCall mkdirat(int dirfd, const char* path, std::uint32_t mode) noexcept {
    KernelRequest q;
    q.opcode = opcode::kMkdirat;
    q.fd = dirfd;
    q.addr = reinterpret_cast<std::uint64_t>(path);
    q.len = mode;
    return KernelCall{q};
}

}  // namespace velnor::rt
