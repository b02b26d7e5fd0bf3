// split_lines: the complete lines of a stretch of a buffer, cut after each
// "\n", for line iteration. str.splitlines also cuts at "\r", "\x0b",
// "\x1c" and more, so the files had to count the "\n" separately to know
// whether it could be used, and count them once more to bound a step: three
// passes over every character, each a character-by-character loop. Here one
// memchr-style search per line finds the cut.
#include <cstring>

#include "ext/capi/python.hpp"
#include "ext/module_table.hpp"

namespace velnor::ext {
namespace {

struct Stretch {
    Py_ssize_t start;
    Py_ssize_t stop;  // clamped to the buffer
    Py_ssize_t most;  // lines at most
};

// The lines from `s.start`, each ending in "\n", none past `s.stop`: `find`
// gives the offset of the next "\n" before `s.stop` (-1: none, -2: an error
// is set) and `make` the line between two offsets. The search stops at
// `s.stop` too, so that a step costs what its stretch holds, however long
// the buffer.
template <class Find, class Make>
PyObject* cut_lines(const Stretch& s, Py_ssize_t* end, Find find, Make make) noexcept {
    PyObject* lines = PyList_New(0);
    if (!lines) return nullptr;
    Py_ssize_t at = s.start;
    for (Py_ssize_t n = 0; at < s.stop && n < s.most; ++n) {
        const Py_ssize_t cut = find(at);
        if (cut == -2) {
            Py_DECREF(lines);
            return nullptr;
        }
        if (cut < 0) break;
        PyObject* line = make(at, cut + 1);
        if (!line || PyList_Append(lines, line) < 0) {
            Py_XDECREF(line);
            Py_DECREF(lines);
            return nullptr;
        }
        Py_DECREF(line);
        at = cut + 1;
    }
    *end = at;
    return lines;
}

PyObject* split_text(PyObject* text, const Stretch& s, Py_ssize_t* end) noexcept {
    return cut_lines(
        s, end, [&](Py_ssize_t at) { return PyUnicode_FindChar(text, '\n', at, s.stop, 1); },
        [&](Py_ssize_t from, Py_ssize_t to) { return PyUnicode_Substring(text, from, to); });
}

PyObject* split_bytes(const char* data, const Stretch& s, Py_ssize_t* end) noexcept {
    return cut_lines(
        s, end,
        [&](Py_ssize_t at) -> Py_ssize_t {
            const void* found = std::memchr(data + at, '\n', static_cast<size_t>(s.stop - at));
            return found ? static_cast<const char*>(found) - data : -1;
        },
        [&](Py_ssize_t from, Py_ssize_t to) { return PyBytes_FromStringAndSize(data + from, to - from); });
}

bool count_arg(PyObject* o, const char* what, Py_ssize_t* out) noexcept {
    *out = PyLong_AsSsize_t(o);
    if (*out == -1 && PyErr_Occurred()) return false;
    if (*out < 0) {
        PyErr_Format(PyExc_ValueError, "split_lines(): %s must not be negative", what);
        return false;
    }
    return true;
}

// split_lines(data, start, stop, most) -> (lines, end)
PyObject* split_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "split_lines() takes exactly 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* data = args[0];
    Stretch s{};
    if (!count_arg(args[1], "start", &s.start) || !count_arg(args[2], "stop", &s.stop) ||
        !count_arg(args[3], "most", &s.most)) {
        return nullptr;
    }
    Py_ssize_t end = s.start;
    PyObject* lines = nullptr;
    if (PyUnicode_Check(data)) {
        const Py_ssize_t size = PyUnicode_GetLength(data);
        if (size < 0) return nullptr;
        if (s.stop > size) s.stop = size;
        lines = split_text(data, s, &end);
    } else if (PyBytes_Check(data)) {
        const Py_ssize_t size = PyBytes_Size(data);
        if (s.stop > size) s.stop = size;
        lines = split_bytes(PyBytes_AsString(data), s, &end);
    } else {
        if (PyObject* name = PyType_GetQualName(Py_TYPE(data))) {
            PyErr_Format(PyExc_TypeError, "split_lines() argument 'data' must be str or bytes, not %U",
                         name);
            Py_DECREF(name);
        }
        return nullptr;
    }
    if (!lines) return nullptr;
    PyObject* end_obj = PyLong_FromSsize_t(end);
    if (!end_obj) {
        Py_DECREF(lines);
        return nullptr;
    }
    PyObject* out = PyTuple_Pack(2, lines, end_obj);
    Py_DECREF(lines);
    Py_DECREF(end_obj);
    return out;
}

}  // namespace

PyMethodDef SPLIT_LINES_METHOD = {
    "split_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(split_lines)),
    METH_FASTCALL,
    "split_lines(data, start, stop, most)\n--\n\nThe complete lines of `data` (str or bytes) from "
    "`start`, cut after each\nnewline, at most `most` of them and none reaching past `stop`, with the "
    "offset\njust past the last: ``(lines, end)``; ``([], start)`` when no line is complete."};

}  // namespace velnor::ext
