// How failures cross the C-API edge. Inside the extension a Python error is
// reported by setting it and throwing `PyError`; every entry point catches
// at its edge (`guarded`), so nothing C++ unwinds through the interpreter.
#pragma once

#include <string>

#include "ext/capi/gil.hpp"
#include "ext/capi/ref.hpp"

namespace velnor::ext {

// Thrown after a Python exception has been set.
struct PyError {};

// An internal invariant failed inside an entry point. Surfaces in Python as
// an exception derived directly from BaseException, so that `except
// Exception` does not swallow it.
struct InvariantFailure {
    std::string message;
};

[[noreturn]] void throw_py_error();
// Throws InvariantFailure "internal error: entered unreachable code: <what>"
// for the entry point's edge to raise.
[[noreturn]] void raise_unreachable(const char* what);

// Adopts a new reference returned by the C API, or throws when it is null.
inline Ref checked(PyObject* new_ref) {
    if (!new_ref) throw_py_error();
    return Ref::steal(new_ref);
}
inline void checked(int status) {
    if (status < 0) throw_py_error();
}

// Sets the Python exception for whatever is being handled. Call only from
// inside a catch block.
VELNOR_CATCHES_FORCED_UNWIND void set_error_from_current_exception() noexcept;

// The edge of every entry point: marks the interpreter lock as held, runs
// `f` and turns any C++ exception into a Python one.
template <class F>
PyObject* guarded(F&& f) noexcept {
    gil::Entry entry;
    try {
        // A thread the interpreter ends meanwhile parks there (see gil.hpp).
        return gil::interpreter_call([&] { return f().release(); });
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// Discards the pending Python exception; the stand-in for `except: pass`.
void discard_error() noexcept;

// Sets `type(message)` and throws.
[[noreturn]] void raise(PyObject* type, const std::string& message);

}  // namespace velnor::ext
