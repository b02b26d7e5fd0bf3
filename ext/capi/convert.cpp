#include "ext/capi/convert.hpp"

#include <climits>

#include "ext/capi/calls.hpp"

namespace velnor::ext {

void prefix_type_error(const char* name) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return;
    if (reinterpret_cast<PyObject*>(Py_TYPE(raised)) != PyExc_TypeError) {
        PyErr_SetRaisedException(raised);
        return;
    }
    Ref original = Ref::steal(raised);
    // On any failure below, the failure itself is left as the error.
    Ref text = Ref::steal(PyObject_Str(original.get()));
    if (!text) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref replacement = try_call(PyExc_TypeError, {message.get()});
    if (!replacement) return;
    // PyException_SetCause steals the cause reference.
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
}

std::uint64_t to_u64(PyObject* o) {
    Ref index;
    if (!PyLong_Check(o)) {
        index = checked(PyNumber_Index(o));
        o = index.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyError{};
    return v;
}

namespace {

bool is_numpy_bool(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    Ref name = checked(PyType_GetName(type));
    if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
        PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
        return false;
    }
    Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        discard_error();
        return false;
    }
    return PyUnicode_Check(module.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

}  // namespace

bool to_flag(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    if (is_numpy_bool(o)) {
        auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(o), Py_nb_bool));
        if (!nb_bool) {
            raise(PyExc_TypeError,
                  "object of type '" + type_name(o) + "' does not define a '__bool__' conversion");
        }
        const int truth = nb_bool(o);
        if (truth < 0) throw_py_error();
        return truth != 0;
    }
    raise(PyExc_TypeError, "'" + type_name(o) + "' object cannot be converted to 'PyBool'");
}

std::string to_path(PyObject* o) {
    Ref fspath = checked(PyOS_FSPath(o));
    if (!PyUnicode_Check(fspath.get())) {
        raise(PyExc_TypeError,
              "'" + type_name(fspath.get()) + "' object cannot be converted to 'PyString'");
    }
    Ref encoded = checked(PyUnicode_EncodeFSDefault(fspath.get()));
    char* data = nullptr;
    Py_ssize_t len = 0;
    checked(PyBytes_AsStringAndSize(encoded.get(), &data, &len));
    return std::string(data, static_cast<std::size_t>(len));
}

std::int32_t to_fd(PyObject* o) {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) throw PyError{};
    if (v < INT32_MIN || v > INT32_MAX) {
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::int32_t>(v);
}

}  // namespace velnor::ext
