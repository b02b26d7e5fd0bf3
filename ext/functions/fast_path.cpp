// FastPath and try_read_file: reads served from the page cache on the
// calling thread, answering None whenever a step would have to wait.
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "ext/capi/binder.hpp"
#include "ext/capi/calls.hpp"
#include "ext/capi/convert.hpp"
#include "ext/capi/entry.hpp"
#include "core/nowait_io.hpp"
#include "ext/module_table.hpp"
#include "ext/capi/heap_type.hpp"
#include "ext/capi/new_bytes.hpp"
#include "ext/capi/buffer_view.hpp"
#include "core/unique_fd.hpp"
#include "ext/functions/fast_path.hpp"

namespace velnor::ext {
namespace {

struct FastPathObject {
    PyObject_HEAD
    std::int32_t fd;
    // 0 free, -1 exclusively held, n > 0 held shared n times. Only the
    // re-entrant case can conflict (a buffer exporter calling back into the
    // same object while a method runs), and it raises instead of waiting.
    std::atomic<int> access;
};

class Exclusive {
public:
    explicit Exclusive(FastPathObject* o) : o_(o) {
        int expected = 0;
        if (!o_->access.compare_exchange_strong(expected, -1, std::memory_order_acquire))
            raise(PyExc_RuntimeError, "Already borrowed");
    }
    ~Exclusive() { o_->access.store(0, std::memory_order_release); }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

private:
    FastPathObject* o_;
};

class Shared {
public:
    explicit Shared(FastPathObject* o) : o_(o) {
        int cur = o_->access.load(std::memory_order_relaxed);
        do {
            if (cur < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!o_->access.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
    }
    ~Shared() { o_->access.fetch_sub(1, std::memory_order_release); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

private:
    FastPathObject* o_;
};

PyTypeObject* g_fast_path_type = nullptr;  // kept for the life of the process

FastPathObject* self_of(PyObject* self) { return reinterpret_cast<FastPathObject*>(self); }

Ref read_impl(FastPathObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"FastPath.read", {"pos", "len"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::uint64_t pos = arg_u64("pos", a[0]);
    const std::uint64_t len = arg_u64("len", a[1]);
    Exclusive hold(self);
    if (len == 0) return none();
    Ref buf = new_bytes_to_fill(len);
    const auto n = fast::fill(self->fd, pos, bytes_data(buf), static_cast<std::size_t>(len));
    if (!n) return none();
    return bytes_prefix(buf, *n);
}

Ref readinto_impl(FastPathObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"FastPath.readinto", {"pos", "buffer"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::uint64_t pos = arg_u64("pos", a[0]);
    Exclusive hold(self);
    Owner view = Owner::acquire(a[1], Access::Destination);
    if (view.size() == 0) return none();
    const auto n = fast::fill(self->fd, pos, view.data(), view.size());
    view.release();
    if (!n) return none();
    return checked(PyLong_FromSize_t(*n));
}

// Everything from `pos` to the file's size (from fstat, unless the caller
// has just taken it), confirmed to be the end; None when anything is
// missing or the size moved, or when there is more than `limit` to copy
// (nothing is copied then).
Ref read_all_at(int fd, std::uint64_t pos, std::uint64_t limit = UINT64_MAX,
                std::optional<std::uint64_t> size = std::nullopt) {
    if (!size) size = fast::regular_size(fd);
    if (!size) return none();
    const std::uint64_t expected = pos < *size ? *size - pos : 0;
    if (expected > limit) return none();
    Ref buf = new_bytes_to_fill(expected);
    // At or past the end, the end is confirmed where it is, not at `pos`.
    const std::uint64_t from = pos < *size ? pos : *size;
    if (!fast::fill_to_end(fd, from, bytes_data(buf), static_cast<std::size_t>(expected))) return none();
    return buf;
}

Ref read_all_impl(FastPathObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> params{"FastPath.read_all", {"pos"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::uint64_t pos = arg_u64("pos", a[0]);
    Exclusive hold(self);
    if (self->fd < 0) return none();
    return read_all_at(self->fd, pos);
}

Ref read_all_max_impl(FastPathObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static const Params<3> params{"FastPath.read_all_max", {"pos", "limit", "size"}, 2};
    const auto a = params.bind(args, nargs, kwnames);
    const std::uint64_t pos = arg_u64("pos", a[0]);
    const std::uint64_t limit = arg_u64("limit", a[1]);
    std::optional<std::uint64_t> size;
    if (a[2] && a[2] != Py_None) size = arg_u64("size", a[2]);
    Exclusive hold(self);
    if (self->fd < 0) return none();
    return read_all_at(self->fd, pos, limit, size);
}

Ref size_impl(FastPathObject* self) {
    Shared hold(self);
    const auto size = fast::regular_size(self->fd);
    if (!size) return none();
    return u64_to_int(*size);
}

Ref supported_impl(FastPathObject* self) {
    Exclusive hold(self);
    return Ref::new_ref(fast::supports_nowait(self->fd) ? Py_True : Py_False);
}

template <Ref (*F)(FastPathObject*, PyObject* const*, Py_ssize_t, PyObject*)>
constexpr auto method = &fast_method_entry<FastPathObject, F>;

template <Ref (*F)(FastPathObject*)>
constexpr auto method_noargs = &noargs_method_entry<FastPathObject, F>;

// The call every cached read of a file object makes, `read(pos, len)` with
// two ints, costs less than the general entry around it: no binder and no
// exception edge. Anything else, and every error, goes the general way.
constexpr unsigned long long kLeanReadMax = 1 << 20;

PyObject* lean_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (kwnames || nargs != 2 || !PyLong_CheckExact(args[0]) || !PyLong_CheckExact(args[1])) {
        return method<read_impl>(self, args, nargs, kwnames);
    }
    const unsigned long long pos = PyLong_AsUnsignedLongLong(args[0]);
    const unsigned long long len = pos == static_cast<unsigned long long>(-1) && PyErr_Occurred()
        ? 0 : PyLong_AsUnsignedLongLong(args[1]);
    if (PyErr_Occurred()) {
        PyErr_Clear();  // negative or too large: the general way names the argument
        return method<read_impl>(self, args, nargs, kwnames);
    }
    auto* o = self_of(self);
    int free_state = 0;
    if (len == 0 || len > kLeanReadMax ||
        !o->access.compare_exchange_strong(free_state, -1, std::memory_order_acquire)) {
        return method<read_impl>(self, args, nargs, kwnames);
    }
    PyObject* buf = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len));
    std::optional<std::size_t> n;
    if (buf) n = fast::fill(o->fd, pos, reinterpret_cast<std::uint8_t*>(PyBytes_AsString(buf)), len);
    o->access.store(0, std::memory_order_release);
    if (!buf) return nullptr;
    if (n && *n == len) return buf;
    PyObject* out = n ? PyBytes_FromStringAndSize(PyBytes_AsString(buf), static_cast<Py_ssize_t>(*n))
                      : Py_NewRef(Py_None);
    Py_DECREF(buf);
    return out;
}

}  // namespace

PyObject* fast_path_read(PyObject* fast, PyObject* pos, PyObject* len) noexcept {
    if (!PyObject_TypeCheck(fast, g_fast_path_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a FastPath");
        return nullptr;
    }
    PyObject* args[] = {pos, len};
    return lean_read(fast, args, 2, nullptr);
}

namespace {

PyMethodDef fast_path_methods[] = {
    {"read", as_cfunction<&lean_read>(), METH_FASTCALL | METH_KEYWORDS,
     "read($self, pos, len)\n--\n\nUp to `len` bytes at `pos` as `bytes`, short only at EOF, or `None`\n"
     "when the fast path does not apply."},
    {"readinto", as_cfunction<method<readinto_impl>>(), METH_FASTCALL | METH_KEYWORDS,
     "readinto($self, pos, buffer)\n--\n\n`readinto` counterpart of `read`: fills a caller-owned buffer and\n"
     "returns the byte count, or `None` when the fast path does not apply."},
    {"read_all", as_cfunction<method<read_all_impl>>(), METH_FASTCALL | METH_KEYWORDS,
     "read_all($self, pos)\n--\n\nEverything from `pos` to EOF -- the `f.read()` case, where the size\n"
     "comes from `fstat` -- or `None` when any part is not resident or the\nfile changed size while it "
     "was being copied."},
    {"size", method_noargs<size_impl>, METH_NOARGS,
     "size($self)\n--\n\nThe file's current size from an inline `fstat`, or `None` for anything\nthat is "
     "not a regular file. Lets a large read-all skip the driver round\ntrips for its size snapshot and "
     "its end-of-file check."},
    {"supported", method_noargs<supported_impl>, METH_NOARGS,
     "supported($self)\n--\n\nWhether this file can ever take the fast path. The caller asks once\nafter "
     "a `None` and drops the object when the answer is no, so a file\nthat can never be served pays one "
     "probe rather than one per read."},
    {"read_all_max", as_cfunction<method<read_all_max_impl>>(), METH_FASTCALL | METH_KEYWORDS,
     "read_all_max($self, pos, limit, size=None)\n--\n\n`read_all`, or `None` without copying anything "
     "when more than `limit`\nbytes lie between `pos` and the end of the file: a copy on the calling\n"
     "thread must stay short. A `size` the caller has just learnt (an open's\n`st_size`) spares the "
     "`fstat`: the read still confirms the end there, and\nanswers `None` when the file is not that long "
     "any more, or longer."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* fast_path_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        static const Params<1> params{"FastPath.__new__", {"fd"}};
        PyObject* bound[1] = {};
        bind_tuple(params.signature(), args, kwargs, bound);
        const std::int32_t fd = arg_fd("fd", bound[0]);
        Ref obj = checked(alloc_instance(type));
        auto* self = self_of(obj.get());
        self->fd = fd;
        new (&self->access) std::atomic<int>(0);
        return obj;
    });
}

void fast_path_dealloc(PyObject* self) noexcept {
    // The descriptor is borrowed from the owner: never closed here.
    free_instance(self);
}

PyType_Slot fast_path_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(fast_path_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fast_path_dealloc)},
    {Py_tp_methods, fast_path_methods},
    {Py_tp_doc, const_cast<char*>("FastPath(fd)\n--\n\nPer-file fast-path state, owned by the Python "
                                  "`BinaryFile` for as long as\nthe file is open.")},
    {0, nullptr},
};

PyType_Spec fast_path_spec = {
    "_velnor.FastPath",
    static_cast<int>(sizeof(FastPathObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    fast_path_slots,
};

Ref py_try_read_file(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> params{"try_read_file", {"path"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::string path = arg_path("path", a[0]);
    if (path.find('\0') != std::string::npos) return none();
    const UniqueFd fd = fast::open_cached(path.c_str());
    if (fd.get() < 0) return none();
    return read_all_at(fd.get(), 0);
}

Ref py_try_read_file_max(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"try_read_file_max", {"path", "limit"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::string path = arg_path("path", a[0]);
    const std::uint64_t limit = arg_u64("limit", a[1]);
    if (path.find('\0') != std::string::npos) return none();
    fast::CachedRegular file = fast::open_cached_regular(path.c_str());
    if (file.fd.get() < 0) return none();
    if (file.size > limit) {
        Ref number = checked(PyLong_FromLong(file.fd.get()));
        (void)file.fd.release();  // the caller owns it now
        return number;
    }
    // The size fstat gave a moment ago at the open; the read confirms the end.
    return read_all_at(file.fd.get(), 0, UINT64_MAX, file.size);
}

Ref miss_in_flight() { return Ref::new_ref(fast::take_miss_in_flight() ? Py_True : Py_False); }

}  // namespace

Ref make_fast_path_type() {
    Ref type = checked(PyType_FromSpec(&fast_path_spec));
    // One reference kept for fast_path_read, for the life of the process.
    Py_XDECREF(reinterpret_cast<PyObject*>(g_fast_path_type));
    g_fast_path_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
    return type;
}

PyMethodDef TRY_READ_FILE_METHOD = fast_method<py_try_read_file>(
    "try_read_file",
    "try_read_file(path)\n--\n\nWhole-file fast path by path: open, size, read and close on the calling\n"
    "thread with every step refusing to block. Returns `None` whenever any step\nwould have blocked, "
    "leaving the caller to submit the ordinary async read.\nOnly Linux has a cached-only `open` "
    "(`openat2(RESOLVE_CACHED)`); on Darwin\nan inline `open` stalls on cold paths and endpoint-security "
    "scans, so the\nfunction does not exist there and `read_bytes` submits straight away.");

PyMethodDef TRY_READ_FILE_MAX_METHOD = fast_method<py_try_read_file_max>(
    "try_read_file_max",
    "try_read_file_max(path, limit)\n--\n\n`try_read_file` for files of at most `limit` bytes. "
    "A larger regular\nfile is not copied: its descriptor, opened as `open_cached` opens, is\n"
    "returned instead and belongs to the caller.");

PyMethodDef MISS_IN_FLIGHT_METHOD = noargs_method<miss_in_flight>(
    "miss_in_flight",
    "miss_in_flight()\n--\n\nWhether this thread's latest fast-path miss left the data on its way in\n"
    "from the disk (the refused read started reading it, or found that started),\nso that the same read "
    "may soon be served from the page cache. False after\na read served, after a miss refused without "
    "starting anything, and once\nasked.");

}  // namespace velnor::ext
