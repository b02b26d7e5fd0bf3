// The rows of the module's registration table, one per Python-visible name,
// each defined in the file that implements it. module.cpp lists them in
// registration order.
#pragma once

#include "ext/python.hpp"

namespace velnor::ext {

// handle_ops.cpp
extern PyMethodDef OPEN_METHOD;
extern PyMethodDef CLOSE_METHOD;
extern PyMethodDef SYNC_METHOD;
extern PyMethodDef SET_LEN_METHOD;
extern PyMethodDef SIZE_METHOD;

// probes.cpp
extern PyMethodDef PROBE_FFI_METHOD;
extern PyMethodDef PROBE_RESOLVED_FUTURE_METHOD;
extern PyMethodDef PROBE_NOP_METHOD;

// module.cpp
extern PyMethodDef BACKEND_NAME_METHOD;
extern PyMethodDef SHUTDOWN_METHOD;

}  // namespace velnor::ext
