// Conversions of bound arguments, shared by every module function. Each
// `arg_*` converts one parameter and, when the conversion fails with exactly
// TypeError, re-raises it as "argument '<name>': <message>" keeping the
// original's __cause__; any other exception type passes through untouched.
#pragma once

#include <cstdint>
#include <string>

#include "ext/capi/errors.hpp"

namespace velnor::ext {

// Unsigned 64-bit: int (or subclass) directly, anything else via __index__.
std::uint64_t to_u64(PyObject* o);
// Only True/False and numpy's boolean scalars.
bool to_flag(PyObject* o);
// str or os.PathLike resolving to str; the filesystem-encoded bytes,
// without terminator (an embedded NUL passes and fails later).
std::string to_path(PyObject* o);
// Signed 32-bit descriptor via __index__, range-checked.
std::int32_t to_fd(PyObject* o);

// Rewrites a pending exact TypeError as "argument '<name>': <message>".
void prefix_type_error(const char* name) noexcept;

// Runs a conversion for parameter `name`, applying the prefix rule.
template <class F>
auto convert_arg(const char* name, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PyError&) {
        prefix_type_error(name);
        throw;
    }
}

inline std::uint64_t arg_u64(const char* name, PyObject* o) {
    return convert_arg(name, [o] { return to_u64(o); });
}
inline bool arg_flag(const char* name, PyObject* o) {
    return convert_arg(name, [o] { return to_flag(o); });
}
inline std::string arg_path(const char* name, PyObject* o) {
    return convert_arg(name, [o] { return to_path(o); });
}
inline std::int32_t arg_fd(const char* name, PyObject* o) {
    return convert_arg(name, [o] { return to_fd(o); });
}

}  // namespace velnor::ext
