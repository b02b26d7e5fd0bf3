#include "ext/capi/calls.hpp"

#include <array>

namespace velnor::ext {
namespace {
Names* g_names = nullptr;  // never freed: outlives every Ref
constexpr std::size_t kMaxArgs = 8;
}  // namespace

Ref try_call(PyObject* callable, std::initializer_list<PyObject*> args) noexcept {
    return Ref::steal(gil::interpreter_call(
        [&] { return PyObject_Vectorcall(callable, args.begin(), args.size(), nullptr); }));
}

Ref try_call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) noexcept {
    std::array<PyObject*, kMaxArgs + 1> stack{};
    assert(args.size() <= kMaxArgs);
    stack[0] = self;
    std::size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    return Ref::steal(gil::interpreter_call(
        [&] { return PyObject_VectorcallMethod(name, stack.data(), n, nullptr); }));
}

Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref t = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        // PyTuple_SetItem steals; hand it a reference of its own.
        checked(PyTuple_SetItem(t.get(), i++, Ref::new_ref(item).release()));
    }
    return t;
}

std::string type_name(PyObject* o) {
    Ref name = checked(PyType_GetQualName(Py_TYPE(o)));
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), &len);
    if (!s) throw_py_error();
    return std::string(s, static_cast<std::size_t>(len));
}

const Names& names() noexcept { return *g_names; }

void init_names() {
    if (g_names) return;
    auto intern = [](const char* s) {
        // Interned strings live as long as the interpreter; we keep ours.
        return checked(PyUnicode_InternFromString(s)).release();
    };
    g_names = new Names{
        intern("set_result"), intern("set_exception"), intern("settle_cancelled"),
        intern("op_ids"),     intern("is_closed"),     intern("add_reader"),
        intern("create_future"), intern("isprintable"), intern("call_soon"),
    };
}

}  // namespace velnor::ext
