// The type of scandir's entries: what the directory listing decides
// (name, inode, type, where its path starts) lives here, and the entries
// of a whole run of the listing are made in one call. A large folder has
// tens of thousands of entries. Made one by one through a Python __init__
// they cost more than the kernel's listing itself; made as instances of a
// Python class they count towards the collector's thresholds, and the full
// collections they set off hold the loop for many milliseconds. So the
// type is a plain C type outside the collector: its entries hold only
// strings, numbers and stat results, never anything that leads back to
// them. velnor.os adds the methods that are coroutines or need the
// looked-up status, and gives the type its public name.
//
// is_dir() and is_file() answer here from the listing's type; only an
// entry whose type the listing left open (a symlink, a file system without
// types) asks `_is`, which knows the looked-up status.
#include <cstring>

#include "ext/capi/heap_type.hpp"
#include "ext/capi/python.hpp"
#include "ext/capi/errors.hpp"
#include "ext/module_table.hpp"

namespace velnor::ext {
namespace {

constexpr unsigned char kDtUnknown = 0;
constexpr unsigned char kDtDir = 4;
constexpr unsigned char kDtReg = 8;
constexpr unsigned char kDtLnk = 10;

struct EntryObject {
    PyObject_HEAD
    PyObject* name;
    PyObject* prefix;  // the folder's path with its "/", or null: the path is the name
    PyObject* path;    // made from the two on first use
    PyObject* dir_fd;  // None, or the descriptor the folder was listed by
    PyObject* stat;    // the looked-up status, following symlinks; None until then
    PyObject* lstat;   // the same, not following
    PyObject* followed;  // the mode a symlink or untyped entry leads to; None if none
    unsigned long long ino;
    unsigned char type;
};

PyTypeObject* g_entry_type = nullptr;  // kept for the life of the process
PyObject* g_is_name = nullptr;
PyObject* g_follow_name = nullptr;

EntryObject* entry_of(PyObject* self) noexcept { return reinterpret_cast<EntryObject*>(self); }

void entry_dealloc(PyObject* self) noexcept {
    auto* e = entry_of(self);
    Py_CLEAR(e->name);
    Py_CLEAR(e->prefix);
    Py_CLEAR(e->path);
    Py_CLEAR(e->dir_fd);
    Py_CLEAR(e->stat);
    Py_CLEAR(e->lstat);
    Py_CLEAR(e->followed);
    free_instance(self);
}

PyObject* entry_path(PyObject* self, void*) noexcept {
    auto* e = entry_of(self);
    if (!e->path) {
        e->path = e->prefix ? PyNumber_Add(e->prefix, e->name) : Py_NewRef(e->name);
        if (!e->path) return nullptr;
    }
    return Py_NewRef(e->path);
}

// follow_symlinks, the only (keyword-only) argument of is_dir and is_file.
int follow_arg(const char* method, Py_ssize_t nargs, PyObject* kwnames, PyObject* const* args) noexcept {
    if (PyVectorcall_NARGS(nargs) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", method);
        return -1;
    }
    if (!kwnames || PyTuple_Size(kwnames) == 0) return 1;
    if (PyTuple_Size(kwnames) != 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most 1 keyword argument (%zd given)", method,
                     PyTuple_Size(kwnames));
        return -1;
    }
    const int same = PyObject_RichCompareBool(PyTuple_GetItem(kwnames, 0), g_follow_name, Py_EQ);
    if (same < 0) return -1;
    if (!same) {
        // os.DirEntry's own words, which changed in 3.13.
        if (Py_Version >= 0x030D0000)
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", method,
                         PyTuple_GetItem(kwnames, 0));
        else
            PyErr_Format(PyExc_TypeError, "%R is an invalid keyword argument for %s()",
                         PyTuple_GetItem(kwnames, 0), method);
        return -1;
    }
    return PyObject_IsTrue(args[0]);
}

PyObject* answer(PyObject* self, const char* method, unsigned char asked, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const int follow = follow_arg(method, nargs, kwnames, args);
    if (follow < 0) return nullptr;
    const unsigned char type = entry_of(self)->type;
    if (type != kDtUnknown && type != kDtLnk) return PyBool_FromLong(type == asked);
    PyObject* call_args[] = {self, PyLong_FromLong(asked), follow ? Py_True : Py_False};
    if (!call_args[1]) return nullptr;
    PyObject* r = PyObject_VectorcallMethod(g_is_name, call_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(call_args[1]);
    return r;
}

PyObject* entry_is_dir(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return answer(self, "is_dir", kDtDir, args, nargs, kwnames);
}

PyObject* entry_is_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return answer(self, "is_file", kDtReg, args, nargs, kwnames);
}

PyObject* entry_inode(PyObject* self, PyObject*) noexcept {
    return PyLong_FromUnsignedLongLong(entry_of(self)->ino);
}

PyMethodDef entry_methods[] = {
    {"is_dir", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_is_dir)),
     METH_FASTCALL | METH_KEYWORDS,
     "is_dir($self, /, *, follow_symlinks=True)\n--\n\nWhether the entry is a folder (or a symlink to one)."},
    {"is_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_is_file)),
     METH_FASTCALL | METH_KEYWORDS,
     "is_file($self, /, *, follow_symlinks=True)\n--\n\nWhether the entry is a regular file (or a symlink "
     "to one)."},
    {"inode", entry_inode, METH_NOARGS, "inode($self, /)\n--\n\nThe entry's inode number, from the listing."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef entry_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(EntryObject, name), Py_READONLY, "The entry's name in its folder."},
    {"_ino", Py_T_ULONGLONG, offsetof(EntryObject, ino), Py_READONLY, nullptr},
    {"_type", Py_T_UBYTE, offsetof(EntryObject, type), Py_READONLY, nullptr},
    {"_dir_fd", Py_T_OBJECT_EX, offsetof(EntryObject, dir_fd), Py_READONLY, nullptr},
    {"_stat", Py_T_OBJECT_EX, offsetof(EntryObject, stat), 0, nullptr},
    {"_lstat", Py_T_OBJECT_EX, offsetof(EntryObject, lstat), 0, nullptr},
    {"_followed", Py_T_OBJECT_EX, offsetof(EntryObject, followed), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef entry_getset[] = {
    {"path", entry_path, nullptr, "The folder's path joined with the name, as scandir was given it.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot entry_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(entry_dealloc)},
    {Py_tp_methods, entry_methods},
    {Py_tp_members, entry_members},
    {Py_tp_getset, entry_getset},
    {Py_tp_doc, const_cast<char*>("What a directory listing says of one entry; made by `listed_entries`.")},
    {0, nullptr},
};

PyType_Spec entry_spec = {
    "_velnor.ListedEntry",
    static_cast<int>(sizeof(EntryObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    entry_slots,
};

// A contiguous buffer, released with its owner's scope.
struct View {
    Py_buffer buf{};
    bool held = false;
    ~View() {
        if (held) PyBuffer_Release(&buf);
    }
};

Py_ssize_t index_arg(PyObject* o) noexcept {
    const Py_ssize_t v = PyLong_AsSsize_t(o);
    if (v < 0 && !PyErr_Occurred())
        PyErr_SetString(PyExc_ValueError, "listed_entries(): start and stop must not be negative");
    return v;
}

// listed_entries(names, types, inodes, start, stop, prefix, dir_fd)
PyObject* listed_entries(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 7) {
        PyErr_Format(PyExc_TypeError, "listed_entries() takes exactly 7 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject* names = args[0];
    PyObject* prefix = args[5] == Py_None ? nullptr : args[5];
    PyObject* dir_fd = args[6];
    if (!PyList_Check(names)) {
        PyErr_SetString(PyExc_TypeError, "listed_entries() argument 'names' must be a list");
        return nullptr;
    }
    View types, inodes;
    if (PyObject_GetBuffer(args[1], &types.buf, PyBUF_SIMPLE) < 0) return nullptr;
    types.held = true;
    if (PyObject_GetBuffer(args[2], &inodes.buf, PyBUF_SIMPLE) < 0) return nullptr;
    inodes.held = true;
    const Py_ssize_t start = index_arg(args[3]);
    if (start < 0) return nullptr;
    Py_ssize_t stop = index_arg(args[4]);
    if (stop < 0) return nullptr;
    const Py_ssize_t count = PyList_Size(names);
    if (types.buf.len != count || inodes.buf.len != count * 8) {
        PyErr_SetString(PyExc_ValueError, "listed_entries(): names, types and inodes do not match");
        return nullptr;
    }
    if (stop > count) stop = count;  // as a slice: past the end is the end
    const Py_ssize_t n = start < stop ? stop - start : 0;
    PyObject* out = PyList_New(n);
    if (!out) return nullptr;
    PyTypeObject* type = g_entry_type;
    const auto* kinds = static_cast<const unsigned char*>(types.buf.buf);
    const auto* numbers = static_cast<const unsigned char*>(inodes.buf.buf);
    for (Py_ssize_t k = 0; k < n; ++k) {
        const Py_ssize_t i = start + k;
        PyObject* obj = alloc_instance(type);
        if (!obj) {
            Py_DECREF(out);
            return nullptr;
        }
        auto* e = entry_of(obj);
        e->name = Py_NewRef(PyList_GetItem(names, i));
        e->prefix = prefix ? Py_NewRef(prefix) : nullptr;
        e->path = nullptr;
        e->dir_fd = Py_NewRef(dir_fd);
        e->stat = Py_NewRef(Py_None);
        e->lstat = Py_NewRef(Py_None);
        e->followed = Py_NewRef(Py_None);
        std::memcpy(&e->ino, numbers + 8 * i, 8);
        e->type = kinds[i];
        PyList_SetItem(out, k, obj);  // steals
    }
    return out;
}

}  // namespace

Ref make_listed_entry_type() {
    if (!g_entry_type) {
        g_is_name = checked(PyUnicode_InternFromString("_is")).release();
        g_follow_name = checked(PyUnicode_InternFromString("follow_symlinks")).release();
        g_entry_type = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&entry_spec)).release());
    }
    return Ref::new_ref(reinterpret_cast<PyObject*>(g_entry_type));
}

PyMethodDef LISTED_ENTRIES_METHOD = {
    "listed_entries", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(listed_entries)),
    METH_FASTCALL,
    "listed_entries(names, types, inodes, start, stop, prefix, dir_fd)\n--\n\nEntries `start` to "
    "`stop` of a directory listing, as `ListedEntry`\ninstances: `names` a list, `types` the d_type bytes, "
    "`inodes` the u64\ninode numbers; each entry's path is `prefix` + name (the name alone when\n`prefix` "
    "is None)."};

}  // namespace velnor::ext
