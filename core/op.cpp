#include "core/op.hpp"

#include <cstdio>
#include <cstdlib>

namespace velnor {

const std::uint8_t* Payload::ptr() const noexcept {
    if (const auto* b = std::get_if<Borrowed>(&data)) return b->ptr;
    return std::get<Bytes>(data).data();
}

std::size_t Payload::size() const noexcept {
    if (const auto* b = std::get_if<Borrowed>(&data)) return b->len;
    return std::get<Bytes>(data).size();
}

namespace {
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;
}  // namespace

std::string to_string(const Reply& r) {
    return std::visit(
        Overloaded{
            [](const reply::Handle& h) {
                return "Handle { id: " + std::to_string(h.id) + ", size: " + std::to_string(h.size) +
                       ", fd: " + std::to_string(h.fd) + " }";
            },
            [](const reply::Bytes& b) {
                std::string s = "Bytes([";
                for (std::size_t i = 0; i < b.data.size(); ++i) {
                    if (i) s += ", ";
                    s += std::to_string(b.data[i]);
                }
                return s + "])";
            },
            [](const reply::Read& x) { return "Read { n: " + std::to_string(x.n) + " }"; },
            [](const reply::Written& w) {
                return "Written { n: " + std::to_string(w.n) + ", end: " + std::to_string(w.end) + " }";
            },
            [](const reply::Size& s) { return "Size(" + std::to_string(s.size) + ")"; },
            [](const reply::Unit&) { return std::string("Unit"); },
        },
        r);
}

void unreachable(const char* what) noexcept {
    std::fprintf(stderr, "internal error: entered unreachable code: %s\n", what);
    std::abort();
}

}  // namespace velnor
