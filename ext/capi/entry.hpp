// Adapters from the C calling conventions to entry functions written in
// C++: each marks the interpreter lock as held and catches at the edge.
#pragma once

#include "ext/capi/errors.hpp"

namespace velnor::ext {

using FastFn = Ref (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
using NoArgsFn = Ref (*)();

template <FastFn F>
PyObject* fast_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] { return F(args, nargs, kwnames); });
}

template <NoArgsFn F>
PyObject* noargs_entry(PyObject*, PyObject*) noexcept {
    return guarded([] { return F(); });
}

// Method table rows for METH_FASTCALL | METH_KEYWORDS and METH_NOARGS.
// The detour through void(*)() is how a PyCFunction slot takes a function
// of another C signature.
template <FastFn F>
PyMethodDef fast_method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_entry<F>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

template <NoArgsFn F>
PyMethodDef noargs_method(const char* name, const char* doc) {
    return {name, &noargs_entry<F>, METH_NOARGS, doc};
}

// Instance methods of the module's own types, `T` being the instance's
// struct; `as_cfunction` makes a METH_FASTCALL | METH_KEYWORDS entry fit
// the method table's PyCFunction slot.
template <class T, Ref (*F)(T*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fast_method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return guarded([&] { return F(reinterpret_cast<T*>(self), args, nargs, kwnames); });
}

template <class T, Ref (*F)(T*)>
PyObject* noargs_method_entry(PyObject* self, PyObject*) noexcept {
    return guarded([&] { return F(reinterpret_cast<T*>(self)); });
}

template <auto F>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace velnor::ext
