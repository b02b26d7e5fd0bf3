// The one mapping from the core's I/O errors to Python exceptions (OSError).
#pragma once

#include "core/op.hpp"
#include "ext/capi/ref.hpp"

namespace velnor::ext {

// OSError(errno, "<strerror> (os error N)") -- which the interpreter turns
// into the errno's subclass -- or OSError(message) with errno None.
Ref io_err_to_pyerr(const IoError& error);

// Sets io_err_to_pyerr(error) as the current exception and throws PyError.
[[noreturn]] void raise_io_error(const IoError& error);

}  // namespace velnor::ext
