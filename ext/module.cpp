// The module as the interpreter sees it: PyInit__velnor, the registration
// table, and backend_name/shutdown.
#include <pthread.h>

#include <cstdint>

#include "ext/capi/calls.hpp"
#include "ext/capi/deferred.hpp"
#include "ext/capi/entry.hpp"
#include "ext/bridge/globals.hpp"
#include "ext/bridge/ringer.hpp"
#include "ext/module_table.hpp"

namespace velnor::ext {
namespace {

Ref backend_name() { return checked(PyUnicode_FromString(driver()->backend())); }

Ref shutdown() {
    ALIVE.store(false, std::memory_order_relaxed);
    return none();
}

// One row of the registration table: a function, or a class made on demand.
struct Registration {
    PyMethodDef* function;
    const char* class_name;
    Ref (*make_class)();
};

constexpr Registration fn(PyMethodDef* def) { return {def, nullptr, nullptr}; }

// Registration order is part of the module's interface.
const Registration TABLE[] = {
    fn(&OPEN_METHOD),
    fn(&READ_METHOD),
    {nullptr, "FastPath", make_fast_path_type},
    fn(&TRY_READ_FILE_METHOD),
    fn(&READ_PARALLEL_METHOD),
    fn(&READ_TO_END_METHOD),
    fn(&READINTO_METHOD),
    fn(&WRITE_METHOD),
    fn(&CLOSE_METHOD),
    fn(&SYNC_METHOD),
    fn(&SET_LEN_METHOD),
    fn(&SIZE_METHOD),
    fn(&READ_FILE_METHOD),
    fn(&WRITE_FILE_METHOD),
    fn(&CANCEL_OPS_METHOD),
    fn(&PROBE_INLINE_READ_METHOD),
    fn(&PROBE_PREAD_NOWAIT_METHOD),
    fn(&PROBE_FFI_METHOD),
    fn(&PROBE_RESOLVED_FUTURE_METHOD),
    fn(&PROBE_NOP_METHOD),
    fn(&BACKEND_NAME_METHOD),
    fn(&SHUTDOWN_METHOD),
    fn(&OPEN_CACHED_METHOD),
    fn(&ADOPT_METHOD),
    fn(&TRY_READ_FILE_MAX_METHOD),
    fn(&STAT_METHOD),
    fn(&RENAME_METHOD),
    fn(&UNLINK_METHOD),
    fn(&MKDIR_METHOD),
    fn(&SYMLINK_METHOD),
    fn(&LINK_METHOD),
    fn(&LISTDIR_METHOD),
    fn(&READLINK_METHOD),
    fn(&CHMOD_METHOD),
    fn(&ACCESS_METHOD),
    fn(&STATVFS_METHOD),
    fn(&UTIME_METHOD),
    fn(&TRUNCATE_METHOD),
    fn(&SENDFILE_METHOD),
    fn(&COPY_RANGE_METHOD),
    fn(&OPEN_FD_METHOD),
    fn(&CLOSE_FD_METHOD),
    {nullptr, "LineSteps", make_line_steps_type},
    {nullptr, "Turns", make_turns_type},
    fn(&STAT_CACHED_METHOD),
    {nullptr, "ListedEntry", make_listed_entry_type},
    fn(&LISTED_ENTRIES_METHOD),
    fn(&SPLIT_LINES_METHOD),
    fn(&READ_OWNED_TO_END_METHOD),
    fn(&MISS_IN_FLIGHT_METHOD),
    {nullptr, "StepRead", make_step_read_type},
    fn(&STAT_RESULT_OF_METHOD),
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_velnor",
    "",
    0,  // no per-module state: everything lives in GLOBALS
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Single-phase initialisation: one module object per process, handed out
// again on re-initialisation in the same interpreter.
PyObject* g_module = nullptr;

void after_fork_in_child() noexcept {
    reset_globals_after_fork();
    reset_deferred_after_fork();
    reset_ringer_after_fork();
}

Ref create_module() {
    init_names();
    Ref module = checked(PyModule_Create2(&MODULE_DEF, 3));
    Ref module_name = checked(PyModule_GetNameObject(module.get()));
    for (const Registration& row : TABLE) {
        if (row.function) {
            Ref f = checked(PyCFunction_NewEx(row.function, nullptr, module_name.get()));
            checked(PyModule_AddObjectRef(module.get(), row.function->ml_name, f.get()));
        } else {
            Ref cls = row.make_class();
            checked(PyModule_AddObjectRef(module.get(), row.class_name, cls.get()));
        }
    }
    ::pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return module;
}

// The main interpreter's id; the limited API has no PyInterpreterState_Main.
constexpr std::int64_t kMainInterpreter = 0;

Ref init() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    // A sub-interpreter is refused before anything is created: the
    // interpreter may refuse a single-phase module there itself once this
    // returns, and whatever was set up would then belong to an interpreter
    // that never gets the module, and keep the main one from loading it.
    if (interpreter != kMainInterpreter) {
        raise(PyExc_ImportError, "_velnor cannot be loaded in more than one interpreter");
    }
    if (g_module) return Ref::new_ref(g_module);
    Ref module = create_module();
    g_module = Ref(module).release();  // cached for the life of the process
    return module;
}

}  // namespace

PyMethodDef BACKEND_NAME_METHOD = noargs_method<backend_name>("backend_name", "backend_name()\n--\n\n");
PyMethodDef SHUTDOWN_METHOD = noargs_method<shutdown>("shutdown", "shutdown()\n--\n\n");

}  // namespace velnor::ext

PyMODINIT_FUNC PyInit__velnor(void) {
    return velnor::ext::guarded([] { return velnor::ext::init(); });
}
