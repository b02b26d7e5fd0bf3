// cancel_ops: forwards one cancel request per message id to the driver.
#include <vector>

#include "ext/capi/binder.hpp"
#include "ext/capi/calls.hpp"
#include "ext/capi/convert.hpp"
#include "ext/capi/entry.hpp"
#include "ext/bridge/globals.hpp"
#include "ext/module_table.hpp"

namespace velnor::ext {
namespace {

std::vector<std::uint64_t> to_id_list(PyObject* ops) {
    if (PyUnicode_Check(ops)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(ops))
        raise(PyExc_TypeError, "'" + type_name(ops) + "' object cannot be converted to 'Sequence'");
    std::vector<std::uint64_t> ids;
    const Py_ssize_t hint = PySequence_Size(ops);
    if (hint < 0)
        discard_error();
    else
        ids.reserve(static_cast<std::size_t>(hint));
    Ref it = checked(PyObject_GetIter(ops));
    while (PyObject* raw = PyIter_Next(it.get())) {
        Ref item = Ref::steal(raw);
        ids.push_back(to_u64(item.get()));
    }
    if (PyErr_Occurred()) throw_py_error();
    return ids;
}

Ref py_cancel_ops(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> params{"cancel_ops", {"ops"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::vector<std::uint64_t> ids = convert_arg("ops", [&] { return to_id_list(a[0]); });
    std::shared_ptr<Driver> drv = driver();
    for (const std::uint64_t id : ids) drv->cancel(id);
    return none();
}

}  // namespace

PyMethodDef CANCEL_OPS_METHOD = fast_method<py_cancel_ops>(
    "cancel_ops",
    "cancel_ops(ops)\n--\n\nBest-effort abort of the kernel ops behind one future; ops the kernel\n"
    "already completed deliver their result instead.");

}  // namespace velnor::ext
