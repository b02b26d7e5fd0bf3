// Turns: the check that operations served on the spot make before they
// run, whether they have kept this thread's event loop from other tasks
// for long enough that it must get a turn. It runs before every cached
// read, so its common answer (no) costs a clock read and a compare.
//
// The loop that the current stretch belongs to lives in the thread
// state's dict, which the interpreter clears with the thread: a loop is
// never kept alive by a thread that has ended.
#include <time.h>

#include "ext/functions/turns.hpp"

#include "ext/capi/heap_type.hpp"
#include "ext/functions/fast_path.hpp"
#include "ext/capi/python.hpp"
#include "ext/capi/entry.hpp"
#include "ext/capi/errors.hpp"
#include "ext/capi/gil.hpp"
#include "ext/module_table.hpp"

namespace velnor::ext {
namespace {

struct TurnsObject {
    PyObject_HEAD
    double turn;  // seconds a stretch may last
};

// When this thread's stretch runs out; 0 while none has started.
thread_local double t_until = 0.0;

PyObject* g_loop_key = nullptr;
PyObject* g_call_soon_name = nullptr;
PyObject* g_get_running_loop = nullptr;
PyObject* g_peek_running_loop = nullptr;  // asyncio._get_running_loop: None outside a loop
PyObject* g_turned = nullptr;
// The Turns whose stretches operations waited for on the spot count in
// (none until one takes them on; kept for the life of the process), and
// how long such a wait may last.
PyObject* g_completion_turns = nullptr;
std::chrono::nanoseconds g_completion_wait{0};

double now_seconds() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);  // the clock of time.perf_counter
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs as soon as the loop gets a turn: the stretch is over.
PyObject* turned(PyObject*, PyObject*) noexcept {
    t_until = 0.0;
    PyObject* dict = PyThreadState_GetDict();
    if (dict && PyDict_DelItem(dict, g_loop_key) < 0) PyErr_Clear();  // absent: nothing to end
    Py_RETURN_NONE;
}

PyMethodDef turned_def = {"_turned", turned, METH_NOARGS, nullptr};

// 1 when a turn is due, 0 when not, -1 with an exception set.
int due(PyObject* self) noexcept {
    const double now = now_seconds();
    if (now < t_until) return 0;
    PyObject* loop = PyObject_CallNoArgs(g_get_running_loop);
    if (!loop) return -1;
    PyObject* dict = PyThreadState_GetDict();
    if (!dict) {
        Py_DECREF(loop);
        PyErr_SetString(PyExc_RuntimeError, "no thread state");
        return -1;
    }
    PyObject* current = PyDict_GetItemWithError(dict, g_loop_key);  // borrowed
    if (current == loop) {
        Py_DECREF(loop);
        return 1;
    }
    if (!current && PyErr_Occurred()) {
        Py_DECREF(loop);
        return -1;
    }
    // A stretch not started, or left by a loop that stopped before its turn.
    if (PyDict_SetItem(dict, g_loop_key, loop) < 0) {
        Py_DECREF(loop);
        return -1;
    }
    t_until = now + reinterpret_cast<TurnsObject*>(self)->turn;
    // The loop's call_soon is Python code, which may give the interpreter
    // lock up and, while the interpreter finalizes, never get it back.
    PyObject* handle = gil::interpreter_call(
        [&] { return PyObject_CallMethodObjArgs(loop, g_call_soon_name, g_turned, nullptr); });
    Py_DECREF(loop);
    if (!handle) return -1;
    Py_DECREF(handle);
    return 0;
}

PyObject* turns_due(PyObject* self, PyObject*) noexcept {
    const int d = due(self);
    if (d < 0) return nullptr;
    return Py_NewRef(d ? Py_True : Py_False);
}

// The commonest read of a file object, with the two checks it makes first
// in one call: that `loop` runs on this thread, and that no turn is due.
PyObject* turns_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "Turns.read takes 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* loop = PyObject_CallNoArgs(g_peek_running_loop);
    if (!loop) return nullptr;
    const bool here = loop != Py_None && loop == args[3];
    Py_DECREF(loop);
    if (!here) Py_RETURN_FALSE;
    const int d = due(self);
    if (d < 0) return nullptr;
    if (d) Py_RETURN_FALSE;
    return fast_path_read(args[0], args[1], args[2]);
}

PyObject* turns_catch_completions(PyObject* self, PyObject* wait_arg) noexcept {
    const double wait = PyFloat_AsDouble(wait_arg);
    if (wait == -1.0 && PyErr_Occurred()) return nullptr;
    if (!(wait >= 0.0 && wait <= 0.1)) {
        PyErr_SetString(PyExc_ValueError, "wait must be a number of seconds from 0 to 0.1");
        return nullptr;
    }
    PyObject* old = g_completion_turns;
    g_completion_turns = Py_NewRef(self);
    Py_XDECREF(old);
    g_completion_wait = std::chrono::nanoseconds(static_cast<std::int64_t>(wait * 1e9));
    Py_RETURN_NONE;
}

PyObject* turns_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static const char* names[] = {"turn", nullptr};
    double turn = 0.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "d:Turns", const_cast<char**>(names), &turn)) {
        return nullptr;
    }
    if (!(turn >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "turn must be a number of seconds, not negative");
        return nullptr;
    }
    PyObject* obj = alloc_instance(type);
    if (obj) reinterpret_cast<TurnsObject*>(obj)->turn = turn;
    return obj;
}

void turns_dealloc(PyObject* self) noexcept {
    free_instance(self);
}

PyMethodDef turns_methods[] = {
    {"due", turns_due, METH_NOARGS,
     "due($self)\n--\n\nWhether operations served on the spot have kept this thread's running\nloop from other "
     "tasks for `turn` seconds; the caller then awaits\n``asyncio.sleep(0)``. The first call of a stretch "
     "marks the loop with a\ncallback that ends the stretch once the loop runs."},
    {"read", as_cfunction<&turns_read>(), METH_FASTCALL,
     "read($self, fast, pos, len, loop, /)\n--\n\n`fast.read(pos, len)` (`fast` a `FastPath`) when `loop` is this "
     "thread's\nrunning loop and `due()` is false; `False`, reading nothing, otherwise."},
    {"catch_completions", turns_catch_completions, METH_O,
     "catch_completions($self, wait, /)\n--\n\nFrom now on an operation submitted to the driver while its loop's "
     "turn\nis not due may be waited for on the spot, up to `wait` seconds (0 to\n0.1; 0: never), when "
     "completions have lately come that fast: its future\nis then settled when the call returns, and it counts "
     "in this object's\nstretches."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot turns_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(turns_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(turns_dealloc)},
    {Py_tp_methods, turns_methods},
    {Py_tp_doc, const_cast<char*>("Turns(turn)\n--\n\nThe per-thread stretch check of operations served on "
                                  "the spot.")},
    {0, nullptr},
};

PyType_Spec turns_spec = {
    "_velnor.Turns",
    static_cast<int>(sizeof(TurnsObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    turns_slots,
};

}  // namespace

std::chrono::nanoseconds completion_wait() noexcept {
    return g_completion_turns ? g_completion_wait : std::chrono::nanoseconds{};
}

bool completion_turn_due() noexcept {
    if (!g_completion_turns) return true;
    const int d = due(g_completion_turns);
    if (d < 0) {
        PyErr_Clear();  // the operation goes the usual way, which reports what is wrong
        return true;
    }
    return d != 0;
}

Ref make_turns_type() {
    if (!g_turned) {
        g_loop_key = checked(PyUnicode_InternFromString("velnor.turn_loop")).release();
        g_call_soon_name = checked(PyUnicode_InternFromString("call_soon")).release();
        Ref asyncio = checked(PyImport_ImportModule("asyncio"));
        g_get_running_loop = checked(PyObject_GetAttrString(asyncio.get(), "get_running_loop")).release();
        g_peek_running_loop = checked(PyObject_GetAttrString(asyncio.get(), "_get_running_loop")).release();
        g_turned = checked(PyCFunction_NewEx(&turned_def, nullptr, nullptr)).release();
    }
    return checked(PyType_FromSpec(&turns_spec));
}

}  // namespace velnor::ext
