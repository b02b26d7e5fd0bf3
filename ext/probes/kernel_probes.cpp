// The two lowest rungs of the latency ladder, on the calling thread: one
// io_uring read through a private ring, and one page-cache-only pread.
#include <cerrno>
#include <memory>

#include "core/runtime/ring.hpp"
#include "ext/capi/binder.hpp"
#include "ext/capi/convert.hpp"
#include "ext/capi/entry.hpp"
#include "core/nowait_io.hpp"
#include "ext/capi/os_error.hpp"
#include "ext/module_table.hpp"
#include "ext/capi/new_bytes.hpp"

namespace velnor::ext {
namespace {

constexpr unsigned kProbeRingEntries = 64;

// The calling thread's own ring, set up on first use and unmapped when the
// thread ends. Never shared with the driver thread.
rt::Ring& thread_ring() {
    thread_local std::unique_ptr<rt::Ring> ring;
    if (!ring) {
        auto fresh = std::make_unique<rt::Ring>();
        if (const int r = fresh->init(kProbeRingEntries); r < 0) raise_io_error(IoError::os(-r));
        ring = std::move(fresh);
    }
    return *ring;
}

Ref py_probe_inline_read(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"probe_inline_read", {"fd", "len"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::int32_t fd = arg_fd("fd", a[0]);
    const std::uint64_t len = arg_u64("len", a[1]);
    Ref buf = new_zeroed_bytes(len);
    rt::Ring& ring = thread_ring();
    io_uring_sqe* sqe = ring.get_sqe();
    if (!sqe) raise(PyExc_RuntimeError, "probe submission queue full");
    // The length field is 32 bits wide: only the low bits are asked for.
    rt::Ring::prep_read(sqe, fd, bytes_data(buf), static_cast<unsigned>(len & 0xFFFFFFFFu), 0, 1);
    if (const int r = ring.publish_and_wait(1); r < 0) raise_io_error(IoError::os(-r));
    io_uring_cqe* cqe = ring.peek_cqe();
    if (!cqe) raise(PyExc_RuntimeError, "probe completion missing");
    const int res = cqe->res;
    ring.cqe_seen();
    if (res < 0) raise_io_error(IoError::os(-res));
    return buf;
}

Ref py_probe_pread_nowait(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"probe_pread_nowait", {"fd", "len"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::int32_t fd = arg_fd("fd", a[0]);
    const std::uint64_t len = arg_u64("len", a[1]);
    Ref buf = new_zeroed_bytes(len);
    const long r = fast::pread_nowait(fd, bytes_data(buf), static_cast<std::size_t>(len), 0);
    if (r < 0) raise_io_error(IoError::os(static_cast<int>(-r)));
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
