// read, readinto, read_to_end, write, read_file, write_file: data moves
// between the kernel and Python objects without a copy on this side.
#include "ext/capi/binder.hpp"
#include "ext/capi/convert.hpp"
#include "ext/capi/entry.hpp"
#include "ext/module_table.hpp"
#include "ext/capi/new_bytes.hpp"
#include "ext/bridge/submit.hpp"

namespace velnor::ext {
namespace {

Ref py_read(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<3> params{"read", {"handle", "pos", "len"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::uint64_t handle = arg_u64("handle", a[0]);
    const std::uint64_t pos = arg_u64("pos", a[1]);
    const std::uint64_t len = arg_u64("len", a[2]);
    // The object stays invisible to Python until the drain hands it over,
    // so the kernel may fill its storage meanwhile.
    Ref buf = new_bytes_to_fill(len);
    RawBufMut dst{bytes_data(buf), static_cast<std::size_t>(len)};
    return submit(op::Read{handle, pos, dst}, ResultMode::new_bytes(std::move(buf)), Owner{});
}

Ref py_readinto(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<3> params{"readinto", {"handle", "pos", "buffer"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::uint64_t handle = arg_u64("handle", a[0]);
    const std::uint64_t pos = arg_u64("pos", a[1]);
    Owner view = Owner::acquire(a[2], Access::Destination);
    const RawBufMut dst = view.as_destination();
    return submit(op::Read{handle, pos, dst}, ResultMode::into_buffer(), std::move(view));
}

Ref py_read_to_end(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"read_to_end", {"handle", "pos"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::uint64_t handle = arg_u64("handle", a[0]);
    const std::uint64_t pos = arg_u64("pos", a[1]);
    return submit(op::ReadToEnd{handle, pos}, ResultMode::plain(), Owner{});
}

Ref py_write(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<4> params{"write", {"handle", "pos", "data", "append"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::uint64_t handle = arg_u64("handle", a[0]);
    const std::uint64_t pos = arg_u64("pos", a[1]);
    // The flag is converted before the buffer: its error wins over a bad `data`.
    const bool append = arg_flag("append", a[3]);
    Owner view = Owner::acquire(a[2], Access::Source);
    Payload data{view.as_payload()};
    return submit(op::Write{handle, pos, std::move(data), append}, ResultMode::plain(), std::move(view));
}

Ref py_read_file(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<3> params{"read_file", {"path", "inline_max", "on_handle"}, 2};
    const auto a = params.bind(args, nargs, kwnames);
    op::ReadFile o;
    o.path = arg_path("path", a[0]);
    o.inline_max = arg_u64("inline_max", a[1]);
    Ref on_handle = (a[2] && a[2] != Py_None) ? Ref::new_ref(a[2]) : Ref{};
    return submit(std::move(o), ResultMode::whole_file(std::move(on_handle)), Owner{});
}

Ref py_write_file(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"write_file", {"path", "data"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::WriteFile o;
    o.path = arg_path("path", a[0]);
    Owner view = Owner::acquire(a[1], Access::Source);
    o.data = Payload{view.as_payload()};
    return submit(std::move(o), ResultMode::written_count(), std::move(view));
}

}  // namespace

PyMethodDef READ_METHOD = fast_method<py_read>("read", "read(handle, pos, len)\n--\n\n");
PyMethodDef READINTO_METHOD = fast_method<py_readinto>("readinto", "readinto(handle, pos, buffer)\n--\n\n");
PyMethodDef READ_TO_END_METHOD = fast_method<py_read_to_end>("read_to_end", "read_to_end(handle, pos)\n--\n\n");
PyMethodDef WRITE_METHOD = fast_method<py_write>("write", "write(handle, pos, data, append)\n--\n\n");
PyMethodDef READ_FILE_METHOD = fast_method<py_read_file>(
    "read_file",
    "read_file(path, inline_max, on_handle=None)\n--\n\n"
    "Whole file as `bytes` in one submission when it is at most `inline_max` bytes. A larger "
    "file resolves to an open `(handle, size, fd)` instead, for the caller to fill with "
    "`read_parallel` and close; with `on_handle` given, the drain calls `on_handle(fut, handle, "
    "fd)` for it and that callable settles the future once the file is read.");
PyMethodDef WRITE_FILE_METHOD = fast_method<py_write_file>("write_file", "write_file(path, data)\n--\n\n");

}  // namespace velnor::ext
