#include "ext/capi/errors.hpp"

#include <exception>
#include <new>

namespace velnor::ext {
namespace {

// Created on first use and never registered in the module: nobody is meant
// to catch it by name.
PyObject* internal_error_type() {
    static PyObject* type =
        PyErr_NewException("_velnor.InternalError", PyExc_BaseException, nullptr);
    return type;
}

void set_internal_error(const std::string& message) noexcept {
    PyObject* type = internal_error_type();
    if (!type) return;  // PyErr_NewException left its own error set
    PyErr_SetString(type, message.c_str());
}

}  // namespace

void throw_py_error() {
    // A C-API call that failed without setting an error: never let that
    // return NULL with nothing set.
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    throw PyError{};
}

void raise_unreachable(const char* what) {
    throw InvariantFailure{std::string("internal error: entered unreachable code: ") + what};
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PyError{};
}

void discard_error() noexcept { PyErr_Clear(); }

VELNOR_CATCHES_FORCED_UNWIND void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        gil::park();
    } catch (const PyError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
    } catch (const InvariantFailure& e) {
        set_internal_error(e.message);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_internal_error(std::string("internal error: ") + e.what());
    } catch (...) {
        set_internal_error("internal error: unknown C++ exception");
    }
}

}  // namespace velnor::ext
