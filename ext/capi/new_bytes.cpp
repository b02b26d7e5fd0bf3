#include "ext/capi/new_bytes.hpp"

#include <cstring>

namespace velnor::ext {

Ref new_bytes_to_fill(std::uint64_t len) {
    if (len > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        throw_py_error();
    }
    return checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len)));
}

Ref new_zeroed_bytes(std::uint64_t len) {
    Ref b = new_bytes_to_fill(len);
    std::memset(bytes_data(b), 0, static_cast<std::size_t>(len));
    return b;
}

Ref bytes_prefix(const Ref& b, std::size_t n) {
    const Py_ssize_t have = PyBytes_Size(b.get());
    if (have < 0) throw_py_error();
    if (n >= static_cast<std::size_t>(have)) return b;
    return checked(PyBytes_FromStringAndSize(PyBytes_AsString(b.get()), static_cast<Py_ssize_t>(n)));
}

}  // namespace velnor::ext
