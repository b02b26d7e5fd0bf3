// Exported buffer views of caller objects. An Owner keeps one view (and with
// it the exporter and its memory) for as long as the kernel may read from or
// write into that memory; it is released with the interpreter lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/op.hpp"
#include "ext/capi/errors.hpp"

namespace velnor::ext {

enum class Access : std::uint8_t {
    Source,       // data to write: read-only views are fine
    Destination,  // readinto targets: must be writable
};

class Owner {
public:
    Owner() noexcept = default;
    // Requests `PyBUF_FULL_RO` and validates: shape and strides present,
    // one-byte unsigned items in native order, writable for a destination,
    // C-contiguous. A refused view is released before raising.
    static Owner acquire(PyObject* obj, Access access);

    Owner(Owner&&) noexcept = default;
    Owner& operator=(Owner&& o) noexcept;
    ~Owner() { release(); }

    std::uint8_t* data() const noexcept { return static_cast<std::uint8_t*>(view_->buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_->len); }
    RawBufMut as_destination() const noexcept { return {data(), size()}; }
    Borrowed as_payload() const noexcept { return {data(), size()}; }
    explicit operator bool() const noexcept { return view_ != nullptr; }

    // PyBuffer_Release now when this thread holds the interpreter lock,
    // otherwise through the pending-release list (see gil.hpp).
    void release() noexcept;

private:
    // Heap-allocated so the Py_buffer keeps its address while the view is
    // held: exporters may keep pointers into it.
    std::unique_ptr<Py_buffer> view_;
};

}  // namespace velnor::ext
