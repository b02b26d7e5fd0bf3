// Argument binding for METH_FASTCALL | METH_KEYWORDS entry points, with the
// interpreter's own wording for binding errors. Parameters are
// positional-or-keyword; the first `required` are mandatory, the rest
// default to absent (nullptr).
#pragma once

#include <array>
#include <cstddef>

#include "ext/capi/errors.hpp"

namespace velnor::ext {

struct Signature {
    const char* function;  // as shown in messages: "open", "FastPath.read"
    const char* const* params;
    std::size_t count;
    std::size_t required;
};

// Fills `out[0..count)` with borrowed references (nullptr for an absent
// optional parameter); throws PyError with a TypeError on a binding error.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

// The same for tp_call-style (tuple, dict) arguments.
void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

template <std::size_t N>
struct Params {
    const char* function;
    std::array<const char*, N> names;
    std::size_t required = N;

    Signature signature() const noexcept { return {function, names.data(), N, required}; }
    std::array<PyObject*, N> bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        std::array<PyObject*, N> out{};
        ext::bind(signature(), args, nargs, kwnames, out.data());
        return out;
    }
};

}  // namespace velnor::ext
