// What other parts of the extension call of the FastPath type (fast_path.cpp).
#pragma once

#include "ext/capi/python.hpp"

namespace velnor::ext {

// `fast.read(pos, len)` for a FastPath `fast`: a new reference (bytes, or
// None on a miss), or null with the exception set.
PyObject* fast_path_read(PyObject* fast, PyObject* pos, PyObject* len) noexcept;

}  // namespace velnor::ext
