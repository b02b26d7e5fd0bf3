// LineSteps: `async for` over a file's lines without a Python frame per
// line. The file splits a buffer into a list of lines at once; each step
// hands the next of them out as an awaitable that is already done, and
// only when the list runs out does a step call back into Python, whose
// coroutine refills it (and may wait for the file).
//
// Every function here runs once per line, so none goes through the
// C++-exception edge of the other entry points: each only calls the C API
// and reports its errors the C way.
#include "ext/capi/heap_type.hpp"
#include "ext/capi/python.hpp"
#include "ext/capi/errors.hpp"
#include "ext/module_table.hpp"

namespace velnor::ext {
namespace {

// A step's result: awaiting it returns `value` at once, without suspending.
struct ReadyObject {
    PyObject_HEAD
    PyObject* value;  // owned; null once handed over
};

struct LineStepsObject {
    PyObject_HEAD
    PyObject* owner;  // the file: its `_line_iter` hands out the split lines
    PyObject* step;   // called for a coroutine when no split line is left
    PyObject* lines;  // the owner's `_line_iter` being walked, or null
    PyObject* ready;  // the last step's awaitable, reused once it is ours alone
};

PyTypeObject* g_ready_type = nullptr;  // kept for the life of the process
PyObject* g_line_iter_name = nullptr;

void ready_dealloc(PyObject* self) noexcept {
    Py_CLEAR(reinterpret_cast<ReadyObject*>(self)->value);
    free_instance(self);
}

PyObject* ready_await(PyObject* self) noexcept { return Py_NewRef(self); }

// Finishing an awaitable means raising StopIteration carrying the value,
// and making that exception costs more than the rest of a step. The
// interpreter takes the value out of it at once and drops it, so one
// instance serves every step, as long as nobody else kept it.
PyObject* g_stop = nullptr;
PyObject* g_value_name = nullptr;

PyObject* finish_with(PyObject* value) noexcept {
    if (!g_stop || Py_REFCNT(g_stop) != 1) {
        Py_XDECREF(g_stop);
        g_stop = PyObject_CallNoArgs(PyExc_StopIteration);
        if (!g_stop) {
            Py_DECREF(value);
            return nullptr;
        }
    }
    // What the last raise may have attached to it goes first.
    PyException_SetTraceback(g_stop, Py_None);
    PyException_SetContext(g_stop, nullptr);
    PyException_SetCause(g_stop, nullptr);
    const int set = PyObject_SetAttr(g_stop, g_value_name, value);
    Py_DECREF(value);
    if (set == 0) PyErr_SetObject(PyExc_StopIteration, g_stop);
    return nullptr;
}

PyObject* take_value(PyObject* self) noexcept {
    auto* r = reinterpret_cast<ReadyObject*>(self);
    PyObject* value = r->value;
    r->value = nullptr;
    if (!value) PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited line");
    return value;
}

PyObject* ready_next(PyObject* self) noexcept {
    PyObject* value = take_value(self);
    return value ? finish_with(value) : nullptr;
}

PySendResult ready_send(PyObject* self, PyObject*, PyObject** result) noexcept {
    *result = take_value(self);
    return *result ? PYGEN_RETURN : PYGEN_ERROR;
}

PyType_Slot ready_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ready_dealloc)},
    {Py_am_await, reinterpret_cast<void*>(ready_await)},
    {Py_tp_iter, reinterpret_cast<void*>(ready_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(ready_next)},
    {Py_am_send, reinterpret_cast<void*>(ready_send)},
    {Py_tp_doc, const_cast<char*>("A line that is there already: awaiting it does not suspend.")},
    {0, nullptr},
};

PyType_Spec ready_spec = {
    // Named as a builtin, as the drain handle: a dotless name would make
    // the interpreter warn that the type has no __module__.
    "builtins.ReadyLine",
    static_cast<int>(sizeof(ReadyObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    ready_slots,
};

PyObject* make_ready(PyObject* value) noexcept {  // steals `value`
    PyObject* obj = alloc_instance(g_ready_type);
    if (!obj) {
        Py_DECREF(value);
        return nullptr;
    }
    reinterpret_cast<ReadyObject*>(obj)->value = value;
    return obj;
}

LineStepsObject* steps_of(PyObject* self) noexcept { return reinterpret_cast<LineStepsObject*>(self); }

PyObject* steps_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static const char* names[] = {"owner", "step", nullptr};
    PyObject* owner = nullptr;
    PyObject* step = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:LineSteps", const_cast<char**>(names), &owner,
                                     &step)) {
        return nullptr;
    }
    if (!PyCallable_Check(step)) {
        PyErr_SetString(PyExc_TypeError, "LineSteps() argument 'step' must be callable");
        return nullptr;
    }
    PyObject* obj = alloc_instance(type);
    if (!obj) return nullptr;
    auto* s = steps_of(obj);
    s->owner = Py_NewRef(owner);
    s->step = Py_NewRef(step);
    s->lines = nullptr;
    s->ready = nullptr;
    return obj;
}

int steps_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* s = steps_of(self);
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Py_VISIT(s->owner);
    Py_VISIT(s->step);
    Py_VISIT(s->lines);
    Py_VISIT(s->ready);
    return 0;
}

int steps_clear(PyObject* self) noexcept {
    auto* s = steps_of(self);
    Py_CLEAR(s->owner);
    Py_CLEAR(s->step);
    Py_CLEAR(s->lines);
    Py_CLEAR(s->ready);
    return 0;
}

void steps_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    steps_clear(self);
    free_instance(self);
}

PyObject* steps_aiter(PyObject* self) noexcept { return Py_NewRef(self); }

PyObject* steps_anext(PyObject* self) noexcept {
    auto* s = steps_of(self);
    if (!s->owner) {  // cleared by the collector
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return nullptr;
    }
    if (!s->lines) {
        // After a step through Python the file may have split new lines.
        PyObject* lines = PyObject_GetAttr(s->owner, g_line_iter_name);
        if (!lines) return nullptr;
        if (lines == Py_None) {
            Py_DECREF(lines);
        } else if (!PyIter_Check(lines)) {
            PyErr_SetString(PyExc_TypeError, "_line_iter must be an iterator or None");
            Py_DECREF(lines);
            return nullptr;
        } else {
            s->lines = lines;
        }
    }
    if (s->lines) {
        // Whatever else the file does first folds the lines back into its
        // buffer and empties this list, so a line taken here is always
        // the one that comes next.
        if (PyObject* line = PyIter_Next(s->lines)) {
            PyObject* ready = s->ready;
            if (ready && Py_REFCNT(ready) == 1) {
                auto* r = reinterpret_cast<ReadyObject*>(ready);
                PyObject* old = r->value;
                r->value = line;
                Py_XDECREF(old);
                return Py_NewRef(ready);
            }
            ready = make_ready(line);
            if (ready) {
                PyObject* old = s->ready;
                s->ready = Py_NewRef(ready);
                Py_XDECREF(old);
            }
            return ready;
        }
        if (PyErr_Occurred()) return nullptr;
        Py_CLEAR(s->lines);
    }
    return PyObject_CallNoArgs(s->step);
}

PyType_Slot steps_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(steps_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(steps_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(steps_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(steps_clear)},
    {Py_am_aiter, reinterpret_cast<void*>(steps_aiter)},
    {Py_am_anext, reinterpret_cast<void*>(steps_anext)},
    {Py_tp_doc, const_cast<char*>(
        "LineSteps(owner, step)\n--\n\nAn async iterator over a file's lines: each step hands out the next "
        "line\nof `owner._line_iter` as an awaitable that is done at once, and awaits\n`step()` only when "
        "none is left.")},
    {0, nullptr},
};

PyType_Spec steps_spec = {
    "_velnor.LineSteps",
    static_cast<int>(sizeof(LineStepsObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    steps_slots,
};

}  // namespace

Ref make_line_steps_type() {
    if (!g_ready_type) {
        g_line_iter_name = checked(PyUnicode_InternFromString("_line_iter")).release();
        g_value_name = checked(PyUnicode_InternFromString("value")).release();
        g_ready_type = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&ready_spec)).release());
    }
    return checked(PyType_FromSpec(&steps_spec));
}

}  // namespace velnor::ext
