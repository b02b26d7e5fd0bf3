// open, close, sync, set_len, size: one operation each on a whole file,
// resolved by the drain's generic conversion.
#include "ext/capi/binder.hpp"
#include "ext/capi/convert.hpp"
#include "ext/capi/entry.hpp"
#include "ext/module_table.hpp"
#include "ext/bridge/submit.hpp"

namespace velnor::ext {
namespace {

Ref py_open(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<7> params{
        "open", {"path", "read", "write", "append", "truncate", "create", "create_new"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::Open o;
    o.path = arg_path("path", a[0]);
    o.read = arg_flag("read", a[1]);
    o.write = arg_flag("write", a[2]);
    o.append = arg_flag("append", a[3]);
    o.truncate = arg_flag("truncate", a[4]);
    o.create = arg_flag("create", a[5]);
    o.create_new = arg_flag("create_new", a[6]);
    return submit(std::move(o), ResultMode::plain(), Owner{});
}

Ref py_close(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> params{"close", {"handle"}};
    const auto a = params.bind(args, nargs, kwnames);
    return submit(op::Close{arg_u64("handle", a[0])}, ResultMode::plain(), Owner{});
}

Ref py_sync(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"sync", {"handle", "data_only"}};
    const auto a = params.bind(args, nargs, kwnames);
    return submit(op::Sync{arg_u64("handle", a[0]), arg_flag("data_only", a[1])}, ResultMode::plain(), Owner{});
}

Ref py_set_len(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"set_len", {"handle", "size"}};
    const auto a = params.bind(args, nargs, kwnames);
    return submit(op::SetLen{arg_u64("handle", a[0]), arg_u64("size", a[1])}, ResultMode::plain(), Owner{});
}

Ref py_size(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> params{"size", {"handle"}};
    const auto a = params.bind(args, nargs, kwnames);
    return submit(op::Size{arg_u64("handle", a[0])}, ResultMode::plain(), Owner{});
}

}  // namespace

PyMethodDef OPEN_METHOD = fast_method<py_open>(
    "open", "open(path, read, write, append, truncate, create, create_new)\n--\n\n");
PyMethodDef CLOSE_METHOD = fast_method<py_close>("close", "close(handle)\n--\n\n");
PyMethodDef SYNC_METHOD = fast_method<py_sync>("sync", "sync(handle, data_only)\n--\n\n");
PyMethodDef SET_LEN_METHOD = fast_method<py_set_len>("set_len", "set_len(handle, size)\n--\n\n");
PyMethodDef SIZE_METHOD = fast_method<py_size>("size", "size(handle)\n--\n\n");

}  // namespace velnor::ext
