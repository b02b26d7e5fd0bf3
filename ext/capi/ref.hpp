// The one owning handle for Python references used throughout the extension.
#pragma once

#include <cassert>
#include <utility>

#include "ext/capi/python.hpp"
#include "ext/capi/gil.hpp"

namespace velnor::ext {

// Owns one reference to a Python object. Copying takes a new reference,
// moving steals it, destruction drops it. A raw pointer enters only through
// `borrow` (we take our own reference) or `steal` (we adopt the caller's).
// Every non-empty Ref must die on a thread holding the interpreter lock; the
// holders that may be destroyed elsewhere route themselves through
// `drop_with_gil` (deferred.hpp). See gil.hpp for the whole policy.
class Ref {
public:
    Ref() noexcept = default;

    static Ref borrow(PyObject* p) noexcept {
        assert(!p || gil::held());
        Py_XINCREF(p);
        return Ref(p);
    }
    static Ref steal(PyObject* p) noexcept { return Ref(p); }

    Ref(const Ref& o) noexcept : p_(o.p_) {
        assert(!p_ || gil::held());
        Py_XINCREF(p_);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { reset(); }

    void reset() noexcept {
        if (PyObject* p = std::exchange(p_, nullptr)) {
            assert(gil::held());
            // A deallocation may run Python code, and with it a finalizing
            // interpreter may end this thread.
            gil::interpreter_call([p] { Py_DECREF(p); });
        }
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference back to the caller, who now owns it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace velnor::ext
