// Instances of the module's heap types: made through the type's own
// allocator and freed through its own free function (both looked up, as
// the stable ABI requires), with the reference every instance holds on
// its heap type.
#pragma once

#include "ext/capi/python.hpp"

namespace velnor::ext {

// A new, zeroed instance of `type`, or null with the error set.
inline PyObject* alloc_instance(PyTypeObject* type) noexcept {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

// The end of a tp_dealloc, once the instance's own references are dropped.
inline void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));  // heap-type instances own their type
}

}  // namespace velnor::ext
