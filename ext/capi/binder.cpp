#include "ext/capi/binder.hpp"

#include <string>
#include <vector>

namespace velnor::ext {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c' -- the interpreter's own style.
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) out += ',';
            out += (i + 1 == names.size()) ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

[[noreturn]] void too_many_positional(const Signature& sig, std::size_t given) {
    std::string msg = std::string(sig.function) + "() takes ";
    if (sig.required != sig.count) {
        msg += "from " + std::to_string(sig.required) + " to ";
    }
    msg += std::to_string(sig.count) + " positional arguments but " + std::to_string(given) +
           (given == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, msg);
}

[[noreturn]] void missing(const Signature& sig, const std::vector<const char*>& names) {
    std::string msg = std::string(sig.function) + "() missing " + std::to_string(names.size()) +
                      " required positional argument" + (names.size() == 1 ? "" : "s") + ": " +
                      quoted_list(names);
    raise(PyExc_TypeError, msg);
}

// Places one keyword argument; `key` is a str.
void place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) != 0) continue;
        if (out[i]) {
            raise(PyExc_TypeError, std::string(sig.function) +
                                       "() got multiple values for argument '" + sig.params[i] +
                                       "'");
        }
        out[i] = value;
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function,
                 key);
    throw PyError{};
}

void check_required(const Signature& sig, PyObject** out) {
    std::vector<const char*> absent;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (!out[i]) absent.push_back(sig.params[i]);
    }
    if (!absent.empty()) missing(sig, absent);
}

}  // namespace

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
    const auto given = static_cast<std::size_t>(nargs);
    if (given > sig.count) too_many_positional(sig, given);
    for (std::size_t i = 0; i < sig.count; ++i) out[i] = i < given ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            place_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], out);
        }
    }
    check_required(sig, out);
}

void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) throw_py_error();
    const auto given = static_cast<std::size_t>(nargs);
    if (given > sig.count) too_many_positional(sig, given);
    for (std::size_t i = 0; i < sig.count; ++i) {
        out[i] = i < given ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)) : nullptr;
    }
    if (kwargs) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, out);
    }
    check_required(sig, out);
}

}  // namespace velnor::ext
