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

namespace {

// The fields one request reads, in `KernelRequest`'s order, so that each
// constructor below names only what its operation uses.
struct Fields {
    std::int32_t fd = -1;
    std::uint64_t off = 0;
    const void* addr = nullptr;
    std::uint32_t len = 0;
    std::uint32_t op_flags = 0;
    const void* addr2 = nullptr;
};

KernelCall call(std::uint8_t op, const Fields& f, bool spread = false) noexcept {
    KernelRequest q;
    q.opcode = op;
    q.spread = spread;
    q.fd = f.fd;
    q.off = f.off;
    q.addr = reinterpret_cast<std::uint64_t>(f.addr);
    q.len = f.len;
    q.op_flags = f.op_flags;
    q.addr2 = reinterpret_cast<std::uint64_t>(f.addr2);
    return KernelCall{q};
}

}  // namespace

KernelCall openat(const char* path, std::uint32_t flags, std::uint32_t mode) noexcept {
    return openat_in(AT_FDCWD, path, flags, mode);
}

KernelCall openat_in(int dirfd, const char* path, std::uint32_t flags, std::uint32_t mode) noexcept {
    return call(opcode::kOpenat, {.fd = dirfd, .addr = path, .len = mode, .op_flags = flags});
}

KernelCall statx_fd(int fd, struct ::statx* out) noexcept {
    static const char kEmptyPath[] = "";
    // STATX_ALL and the fields after it the kernel knows.
    return call(opcode::kStatx, {.fd = fd, .addr = kEmptyPath, .len = 0x3fff, .op_flags = AT_EMPTY_PATH, .addr2 = out});
}

KernelCall read_at(int fd, std::uint8_t* buf, std::uint32_t len, std::uint64_t off, bool spread) noexcept {
    return call(opcode::kRead, {.fd = fd, .off = off, .addr = buf, .len = len}, spread);
}

KernelCall write_at(int fd, const std::uint8_t* buf, std::uint32_t len, std::uint64_t off) noexcept {
    return call(opcode::kWrite, {.fd = fd, .off = off, .addr = buf, .len = len});
}

KernelCall fsync(int fd, bool data_only) noexcept {
    return call(opcode::kFsync, {.fd = fd, .op_flags = data_only ? IORING_FSYNC_DATASYNC : 0u});
}

KernelCall ftruncate(int fd, std::uint64_t len) noexcept {
    return call(opcode::kFtruncate, {.fd = fd, .off = len});
}

KernelCall close(int fd) noexcept { return call(opcode::kClose, {.fd = fd}); }

KernelCall statx_at(int dirfd, const char* path, std::uint32_t flags, struct ::statx* out) noexcept {
    return call(opcode::kStatx,
                {.fd = dirfd, .addr = path, .len = STATX_BASIC_STATS, .op_flags = flags, .addr2 = out});
}

// RENAMEAT and LINKAT carry the new name's directory in `len`.
KernelCall renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, std::uint32_t flags) noexcept {
    return call(opcode::kRenameat, {.fd = olddirfd, .addr = oldpath, .len = static_cast<std::uint32_t>(newdirfd),
                                    .op_flags = flags, .addr2 = newpath});
}

KernelCall linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, std::uint32_t flags) noexcept {
    return call(opcode::kLinkat, {.fd = olddirfd, .addr = oldpath, .len = static_cast<std::uint32_t>(newdirfd),
                                  .op_flags = flags, .addr2 = newpath});
}

KernelCall symlinkat(const char* target, int newdirfd, const char* linkpath) noexcept {
    return call(opcode::kSymlinkat, {.fd = newdirfd, .addr = target, .addr2 = linkpath});
}

KernelCall unlinkat(int dirfd, const char* path, std::uint32_t flags) noexcept {
    return call(opcode::kUnlinkat, {.fd = dirfd, .addr = path, .op_flags = flags});
}

KernelCall mkdirat(int dirfd, const char* path, std::uint32_t mode) noexcept {
    return call(opcode::kMkdirat, {.fd = dirfd, .addr = path, .len = mode});
}

}  // namespace velnor::rt
