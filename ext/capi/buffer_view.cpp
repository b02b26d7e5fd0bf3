#include "ext/capi/buffer_view.hpp"

#include <bit>
#include <cstring>

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
    checked(PyObject_GetBuffer(obj, view.get(), PyBUF_FULL_RO));
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
        PyBuffer_Release(view_.get());
        view_.reset();
        return;
    }
    gil::Ensure ensure;
    if (ensure.acquired()) {
        PyBuffer_Release(view_.get());
        view_.reset();
    } else {
        // The interpreter is going away; the view (and the memory behind
        // it) dies with the process.
        (void)view_.release();
    }
}

}  // namespace velnor::ext
