#include "ext/capi/os_error.hpp"

#include "ext/capi/calls.hpp"

namespace velnor::ext {

Ref io_err_to_pyerr(const IoError& error) {
    Ref message = str_from(error.display());
    if (error.is_os()) {
        Ref code = checked(PyLong_FromLong(error.code));
        return call(PyExc_OSError, {code.get(), message.get()});
    }
    return call(PyExc_OSError, {message.get()});
}

void raise_io_error(const IoError& error) {
    Ref exc = io_err_to_pyerr(error);
    PyErr_SetRaisedException(exc.release());
    throw PyError{};
}

}  // namespace velnor::ext
