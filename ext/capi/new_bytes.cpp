#include "ext/capi/new_bytes.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
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

// Some virtual machines hand the memory that stays free back to their host
// (free page reporting), a free block of at least a given order at a
// time. Where that order is a huge page's or less, the free huge pages are
// the ones that go: the first touch of each then waits for the host to
// back it again, 4 to 6 ms a huge page here, where the small pages that
// stay behind (recently freed, split blocks) cost 0.7 ms for the same
// 2 MiB. Huge pages then make a large read slower, up to five times.
bool free_huge_pages_go_to_the_host() noexcept {
    static const bool answer = [] {
        std::FILE* f = std::fopen("/sys/module/page_reporting/parameters/page_reporting_order", "re");
        if (!f) return false;  // no reporting built in
        unsigned long order = ~0ul;  // unset until a device reports: all ones
        const bool read = std::fscanf(f, "%lu", &order) == 1;
        std::fclose(f);
        const long page = ::sysconf(_SC_PAGESIZE);
        if (!read || page <= 0) return false;
        // The order of a huge page: log2 of the small pages it holds.
        return order < static_cast<unsigned long>(std::bit_width(kHugePage / static_cast<std::uint64_t>(page)));
    }();
    return answer;
}

}  // namespace

Ref new_bytes_to_fill(std::uint64_t len) {
    if (len > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        throw_py_error();
    }
    Ref b = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len)));
    if (len >= kHugePagesFrom && !free_huge_pages_go_to_the_host()) advise_huge_pages(bytes_data(b), len);
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
