// Backend choice and the request constructors.
#include "core/runtime/runtime.hpp"

#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/runtime/polling_runtime.hpp"
#include "core/runtime/probe.hpp"
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
        const OpcodeSet& ops = probed_opcodes();
        Result<std::unique_ptr<Runtime>> ring = IoError::os(ops.error < 0 ? -ops.error : ENOSYS);
        // Any failure to create the ring (ENOSYS, EPERM, ENOMEM, ...) means
        // the fallback, not an error.
        if (has_required_set(ops)) ring = UringRuntime::create(options, ops);
        if (ring.ok() || options.backend == Backend::IoUring) return ring;
    }
    return PollingRuntime::create(options);
}

Submit openat(const char* path, std::uint32_t flags, std::uint32_t mode) noexcept {
    KernelRequest q;
    q.opcode = opcode::kOpenat;
    q.fd = AT_FDCWD;
    q.addr = reinterpret_cast<std::uint64_t>(path);
    q.len = mode;
    q.op_flags = flags;
    return Submit{q};
}

Submit statx_fd(int fd, struct ::statx* out) noexcept {
    static const char kEmptyPath[] = "";
    KernelRequest q;
    q.opcode = opcode::kStatx;
    q.fd = fd;
    q.addr = reinterpret_cast<std::uint64_t>(kEmptyPath);
    q.len = 0x3fff;  // STATX_ALL and the fields after it the kernel knows
    q.op_flags = AT_EMPTY_PATH;
    q.addr2 = reinterpret_cast<std::uint64_t>(out);
    return Submit{q};
}

Submit read_at(int fd, std::uint8_t* buf, std::uint32_t len, std::uint64_t off, bool spread) noexcept {
    KernelRequest q;
    q.opcode = opcode::kRead;
    q.spread = spread;
    q.fd = fd;
    q.addr = reinterpret_cast<std::uint64_t>(buf);
    q.len = len;
    q.off = off;
    return Submit{q};
}

Submit write_at(int fd, const std::uint8_t* buf, std::uint32_t len, std::uint64_t off) noexcept {
    KernelRequest q;
    q.opcode = opcode::kWrite;
    q.fd = fd;
    q.addr = reinterpret_cast<std::uint64_t>(buf);
    q.len = len;
    q.off = off;
    return Submit{q};
}

Submit fsync(int fd, bool data_only) noexcept {
    KernelRequest q;
    q.opcode = opcode::kFsync;
    q.fd = fd;
    q.op_flags = data_only ? IORING_FSYNC_DATASYNC : 0;
    return Submit{q};
}

Submit ftruncate(int fd, std::uint64_t len) noexcept {
    KernelRequest q;
    q.opcode = opcode::kFtruncate;
    q.fd = fd;
    q.off = len;
    return Submit{q};
}

Submit close(int fd) noexcept {
    KernelRequest q;
    q.opcode = opcode::kClose;
    q.fd = fd;
    return Submit{q};
}

}  // namespace velnor::rt
