// Small wrappers over the vectorcall API and the value constructors the
// bridge uses. The throwing forms report through PyError; the `try_` forms
// return an empty Ref with the Python error set, for code that must go on.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "ext/capi/errors.hpp"
#include "ext/capi/ref.hpp"

namespace velnor::ext {

Ref try_call(PyObject* callable, std::initializer_list<PyObject*> args = {}) noexcept;
Ref try_call_method(PyObject* self, PyObject* name,
                    std::initializer_list<PyObject*> args = {}) noexcept;

inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}) {
    Ref r = try_call(callable, args);
    if (!r) throw_py_error();
    return r;
}
inline Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {}) {
    Ref r = try_call_method(self, name, args);
    if (!r) throw_py_error();
    return r;
}

inline Ref attr(PyObject* o, const char* name) {
    return checked(gil::interpreter_call([&] { return PyObject_GetAttrString(o, name); }));
}
inline Ref import(const char* module) {
    Ref name = checked(PyUnicode_FromString(module));
    return checked(gil::interpreter_call([&] { return PyImport_Import(name.get()); }));
}

inline Ref u64_to_int(std::uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }
inline Ref i64_to_int(std::int64_t v) { return checked(PyLong_FromLongLong(v)); }
inline Ref str_from(std::string_view s) {
    return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
Ref tuple_of(std::initializer_list<PyObject*> items);
inline Ref none() { return Ref::new_ref(Py_None); }

// The qualified name of `o`'s type, as interpreter messages show it.
std::string type_name(PyObject* o);

// Interned attribute names, created at module initialisation.
struct Names {
    PyObject* set_result;
    PyObject* set_exception;
    PyObject* settle_cancelled;
    PyObject* op_ids;
    PyObject* is_closed;
    PyObject* add_reader;
    PyObject* create_future;
    PyObject* isprintable;
    PyObject* call_soon;
};
const Names& names() noexcept;
void init_names();  // interpreter lock held, once

}  // namespace velnor::ext
