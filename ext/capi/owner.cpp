#include "ext/capi/owner.hpp"

#include <bit>
#include <cstring>
#include <new>

#include "ext/capi/deferred.hpp"

namespace velnor::ext {
namespace {

// One-byte unsigned items in the machine's own byte order: "B" or "c", bare
// or after a native-order prefix. A missing format means "B".
bool is_u8_format(const char* format) {
    if (!format) return true;
    if (*format == '@' || *format == '=' ||
        (std::endian::native == std::endian::little && *format == '<') ||
        (std::endian::native == std::endian::big && (*format == '>' || *format == '!'))) {
        ++format;
    }
    return std::strcmp(format, "B") == 0 || std::strcmp(format, "c") == 0;
}

// A view waiting on the pending-release list.
struct HeldView final : Droppable {
    explicit HeldView(std::unique_ptr<Py_buffer> v) noexcept : view(std::move(v)) {}
    ~HeldView() override {
        Py_buffer* v = view.get();
        gil::interpreter_call([v] { PyBuffer_Release(v); });
    }
    std::unique_ptr<Py_buffer> view;
};

}  // namespace

Owner& Owner::operator=(Owner&& o) noexcept {
    if (this != &o) {
        release();
        view_ = std::move(o.view_);
    }
    return *this;
}

Owner Owner::acquire(PyObject* obj, Access access) {
    Owner owner;
    auto view = std::make_unique<Py_buffer>();
    // An exporter written in Python runs its own code here.
    checked(gil::interpreter_call([&] { return PyObject_GetBuffer(obj, view.get(), PyBUF_FULL_RO); }));
    owner.view_ = std::move(view);
    const Py_buffer& v = *owner.view_;
    PyObject* type = nullptr;
    const char* message = nullptr;
    if (!v.shape) {
        type = PyExc_BufferError, message = "shape is null";
    } else if (!v.strides) {
        type = PyExc_BufferError, message = "strides is null";
    } else if (v.itemsize != 1 || !is_u8_format(v.format)) {
        type = PyExc_BufferError, message = "buffer contents are not compatible with u8";
    } else if (access == Access::Destination && v.readonly) {
        type = PyExc_ValueError, message = "readinto needs a writable buffer";
    } else if (!PyBuffer_IsContiguous(&v, 'C')) {
        type = PyExc_ValueError, message = "buffer must be C-contiguous";
    }
    if (type) {
        // Released before the error is set: an exporter's release hook may
        // run Python code, which must not start with an exception pending.
        owner.release();
        raise(type, message);
    }
    return owner;
}

void Owner::release() noexcept {
    if (!view_) return;
    if (gil::held()) {
        Py_buffer* view = view_.get();
        gil::interpreter_call([view] { PyBuffer_Release(view); });
        view_.reset();
        return;
    }
    // Off a Python thread (the driver's, when an operation dies with the
    // driver): the view waits for the next entry, per gil.hpp's policy.
    try {
        defer_drop(std::make_unique<HeldView>(std::move(view_)));
    } catch (const std::bad_alloc&) {
        // No memory to queue it: the view, and the exporter's memory with
        // it, stays exported rather than be released without the lock.
        (void)view_.release();
    }
}

}  // namespace velnor::ext
