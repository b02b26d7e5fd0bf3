// Calibration probes of the upper rungs of the latency ladder. Each does the
// least work its rung allows.
#include "ext/capi/calls.hpp"
#include "ext/capi/entry.hpp"
#include "ext/bridge/loop_bridge.hpp"
#include "ext/module_table.hpp"
#include "ext/bridge/submit.hpp"

namespace velnor::ext {
namespace {

Ref probe_ffi() { return checked(PyLong_FromLong(0)); }

Ref probe_resolved_future() {
    auto bridge = bridge_for_running_loop();
    Ref loop = bridge->loop();
    Ref future = call_method(loop.get(), names().create_future);
    call_method(future.get(), names().set_result, {Py_None});
    return future;
}

Ref probe_nop() { return submit(op::Nop{}, ResultMode::plain(), Owner{}); }

}  // namespace

PyMethodDef PROBE_FFI_METHOD = noargs_method<probe_ffi>(
    "probe_ffi",
    "probe_ffi()\n--\n\nCalibration probe: one METH_NOARGS call into the extension and back,\n"
    "nothing else. Establishes the\nFFI floor for the latency ladder.");
PyMethodDef PROBE_RESOLVED_FUTURE_METHOD = noargs_method<probe_resolved_future>(
    "probe_resolved_future",
    "probe_resolved_future()\n--\n\nCalibration probe: an asyncio future created and resolved "
    "on the calling\nthread, never touching the driver. Isolates future machinery from the\n"
    "completion bridge.");
PyMethodDef PROBE_NOP_METHOD = noargs_method<probe_nop>(
    "probe_nop",
    "probe_nop()\n--\n\nCalibration probe: a full submit -> driver thread -> doorbell -> drain\n"
    "round trip that performs no kernel work. Measured against\n`probe_resolved_future` this is "
    "the bridge's own per-op cost.");

}  // namespace velnor::ext
