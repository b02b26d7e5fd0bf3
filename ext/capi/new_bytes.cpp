#include "ext/capi/new_bytes.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

namespace velnor::ext {
namespace {

constexpr std::uint64_t kHugePage = 2u << 20;
// Below this a fresh object's faults cost little next to the rest.
constexpr std::uint64_t kHugePagesFrom = 8u << 20;

// A large fresh object's memory has never been touched: asking for huge
// pages now replaces hundreds of thousands of 4 KiB faults (half the time
// of reading a large cached file) by a few hundred, and makes the free
// cheaper too. Only whole aligned huge pages inside the object are named.
void advise_huge_pages(std::uint8_t* data, std::uint64_t len) noexcept {
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + len) & ~(kHugePage - 1);
    // Advice only: where the kernel will not, the object works the same.
    if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

Ref new_bytes_to_fill(std::uint64_t len) {
    if (len > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        throw_py_error();
    }
    Ref b = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len)));
    if (len >= kHugePagesFrom) advise_huge_pages(bytes_data(b), len);
    return b;
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
