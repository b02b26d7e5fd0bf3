// The two lowest rungs of the latency ladder, on the calling thread: one
// io_uring read through a private ring, and one page-cache-only pread.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "core/runtime/ring.hpp"
#include "ext/capi/binder.hpp"
#include "ext/capi/convert.hpp"
#include "ext/capi/entry.hpp"
#include "ext/capi/gil.hpp"
#include "core/nowait_io.hpp"
#include "ext/capi/os_error.hpp"
#include "ext/module_table.hpp"
#include "ext/capi/new_bytes.hpp"

namespace velnor::ext {
namespace {

constexpr unsigned kProbeRingEntries = 64;
constexpr std::uint64_t kReadTag = 1;
constexpr std::uint64_t kCancelTag = 2;

// The calling thread's own ring, set up on first use and unmapped when the
// thread ends. Never shared with the driver thread.
std::unique_ptr<rt::Ring>& thread_ring_slot() {
    thread_local std::unique_ptr<rt::Ring> ring;
    return ring;
}

rt::Ring& thread_ring() {
    auto& ring = thread_ring_slot();
    if (!ring) {
        auto fresh = std::make_unique<rt::Ring>();
        if (const int r = fresh->init(kProbeRingEntries); r < 0) raise_io_error(IoError::os(-r));
        ring = std::move(fresh);
    }
    return *ring;
}

// Waits for the read's completion, and reaps every completion it caused.
// The read's buffer is not released before that, whatever happens meanwhile:
// the kernel may write into it until its completion is reaped. A read the
// submission did not finish is waited for without the interpreter lock: the
// thread that would write the pipe, or the main thread that would run a
// signal's handler, may need it. Interrupted on the main thread, the
// handlers run; one that raises withdraws the read (IORING_OP_ASYNC_CANCEL),
// then the wait goes on for the read's completion and the cancel's, and the
// handler's exception is raised once both are in. Returns the read's result.
int reap_read(rt::Ring& ring) {
    bool read_done = false;
    bool cancel_sent = false;
    bool cancel_done = false;
    int result = 0;
    for (;;) {
        while (io_uring_cqe* cqe = ring.peek_cqe()) {
            if (cqe->user_data == kReadTag) {
                read_done = true;
                result = cqe->res;
            } else if (cqe->user_data == kCancelTag) {
                cancel_done = true;
            }
            ring.cqe_seen();
        }
        if (read_done && cancel_sent == cancel_done) break;
        int r = 0;
        {
            gil::Released released;
            r = ring.publish_and_wait(1);
        }
        if (r >= 0) continue;
        if (r != -EINTR) {
            // The wait itself failed, so the read may still be pending: its
            // buffer stays where it is, and the ring goes (closing it
            // withdraws what is still pending).
            throw IoError::os(-r);
        }
        // Interrupted: the signal's handler runs here, as for any blocking
        // call of the interpreter's; one that raises ends the wait.
        if (!cancel_sent && PyErr_CheckSignals() < 0) {
            io_uring_sqe* sqe = ring.get_sqe();
            if (!sqe) raise_unreachable("probe submission queue full");
            sqe->opcode = IORING_OP_ASYNC_CANCEL;
            sqe->fd = -1;
            sqe->addr = kReadTag;
            sqe->user_data = kCancelTag;
            cancel_sent = true;
        }
    }
    if (cancel_sent) throw_py_error();
    return result;
}

// Both probes read `len` bytes of `fd` from offset 0.
struct ReadArgs {
    std::int32_t fd;
    std::uint64_t len;
};

ReadArgs read_args(const Params<2>& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto a = params.bind(args, nargs, kwnames);
    return {arg_fd("fd", a[0]), arg_u64("len", a[1])};
}

Ref py_probe_inline_read(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"probe_inline_read", {"fd", "len"}};
    const auto [fd, len] = read_args(params, args, nargs, kwnames);
    Ref buf = new_zeroed_bytes(len);
    rt::Ring& ring = thread_ring();
    io_uring_sqe* sqe = ring.get_sqe();
    if (!sqe) raise(PyExc_RuntimeError, "probe submission queue full");
    // The length field is 32 bits wide: only the low bits are asked for.
    rt::Ring::prep_read(sqe, fd, bytes_data(buf), static_cast<unsigned>(len & 0xFFFFFFFFu), 0, kReadTag);
    if (const int r = ring.publish(); r != 1) {
        // Not handed to the kernel: the entry must not stay queued for a
        // later call to submit with this buffer gone.
        thread_ring_slot().reset();
        raise_io_error(IoError::os(r < 0 ? -r : EAGAIN));
    }
    int res = 0;
    try {
        res = reap_read(ring);
    } catch (const IoError& error) {
        (void)buf.release();  // possibly still the kernel's
        thread_ring_slot().reset();
        raise_io_error(error);
    }
    if (res < 0) raise_io_error(IoError::os(-res));
    return buf;
}

// Zeroes [p, p+n) without touching its whole pages: handed back to the
// kernel, they read as zeros and cost nothing until written.
void zero_untouched(std::uint8_t* p, std::size_t n) noexcept {
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (start + page - 1) & ~(page - 1);
    const std::uintptr_t last = (start + n) & ~(page - 1);
    if (last <= first || ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED) != 0) {
        std::memset(p, 0, n);
        return;
    }
    std::memset(p, 0, first - start);
    std::memset(reinterpret_cast<void*>(last), 0, start + n - last);
}

Ref py_probe_pread_nowait(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"probe_pread_nowait", {"fd", "len"}};
    const auto [fd, len] = read_args(params, args, nargs, kwnames);
    // Not zero-filled first: a long length on a short file would commit
    // memory that no read ever fills.
    Ref buf = new_bytes_to_fill(len);
    const long r = fast::pread_nowait(fd, bytes_data(buf), static_cast<std::size_t>(len), 0);
    if (r < 0) raise_io_error(IoError::os(static_cast<int>(-r)));
    const auto got = static_cast<std::size_t>(r);
    zero_untouched(bytes_data(buf) + got, static_cast<std::size_t>(len) - got);
    return buf;
}

}  // namespace

PyMethodDef PROBE_INLINE_READ_METHOD = fast_method<py_probe_inline_read>(
    "probe_inline_read",
    "probe_inline_read(fd, len)\n--\n\nCalibration probe: one io_uring read submitted and reaped on the "
    "*calling*\nthread inside a single `io_uring_enter`. No channel, no driver thread, no\ndoorbell. This "
    "is what the ladder's `read` rung would cost if the thread\nhop were removed, so it is the floor any "
    "redesign is measured against.");

PyMethodDef PROBE_PREAD_NOWAIT_METHOD = fast_method<py_probe_pread_nowait>(
    "probe_pread_nowait",
    "probe_pread_nowait(fd, len)\n--\n\nCalibration probe: a page-cache-only positional read on the "
    "*calling*\nthread. Returns EAGAIN instead of blocking when the data is not resident,\nwhich is what "
    "makes it safe to attempt from an event loop. This is the\nfloor of the fast path the ladder argues "
    "for.");

}  // namespace velnor::ext
