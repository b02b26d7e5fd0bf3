// The core's one result type: a value or the `IoError` that prevented it,
// and the one idiom that hands a step's error up to the caller.
//
//     Result<std::uint64_t> size = co_await file_size(fd);
//     VELNOR_CO_TRY(const FileRef file, co_await open_path(path, flags));
//     VELNOR_CO_TRY_VOID(co_await close_file(std::move(file)));
//
// `Result<T>` is a `std::variant<T, IoError>`, so code that dispatches on
// the alternatives (`std::get_if`, `std::visit`) keeps working.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

#include "core/io_error.hpp"

namespace velnor {

template <class T>
class [[nodiscard]] Result : public std::variant<T, IoError> {
public:
    using std::variant<T, IoError>::variant;

    bool ok() const noexcept { return this->index() == 0; }
    T& value() & noexcept { return *std::get_if<0>(this); }
    const T& value() const& noexcept { return *std::get_if<0>(this); }
    T&& value() && noexcept { return std::move(*std::get_if<0>(this)); }
    const IoError& error() const noexcept { return *std::get_if<1>(this); }
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() noexcept = default;
    Result(IoError e) noexcept : error_(e) {}  // NOLINT: implicit, like the valued form

    bool ok() const noexcept { return !error_.has_value(); }
    const IoError& error() const noexcept { return *error_; }

private:
    std::optional<IoError> error_;
};

// A kernel-style result (a count or descriptor, or -errno) as a Result.
inline Result<std::uint32_t> from_kernel(std::int64_t r) noexcept {
    if (r < 0) return IoError::os(static_cast<int>(-r));
    return static_cast<std::uint32_t>(r);
}

}  // namespace velnor

#define VELNOR_RESULT_CAT2(a, b) a##b
#define VELNOR_RESULT_CAT(a, b) VELNOR_RESULT_CAT2(a, b)
#define VELNOR_RESULT_TMP VELNOR_RESULT_CAT(velnor_result_, __LINE__)

// Declares `decl` from the value of `expr` (a Result), or leaves the
// enclosing coroutine with its error. One use per line.
#define VELNOR_CO_TRY(decl, expr)                                              \
    auto VELNOR_RESULT_TMP = (expr);                                           \
    if (!VELNOR_RESULT_TMP.ok()) co_return VELNOR_RESULT_TMP.error();         \
    decl = std::move(VELNOR_RESULT_TMP).value()

// Leaves the enclosing coroutine with the error of `expr` (any Result).
#define VELNOR_CO_TRY_VOID(expr)                                               \
    if (auto VELNOR_RESULT_TMP = (expr); !VELNOR_RESULT_TMP.ok())              \
    co_return VELNOR_RESULT_TMP.error()

// The same two for plain functions.
#define VELNOR_TRY(decl, expr)                                                 \
    auto VELNOR_RESULT_TMP = (expr);                                           \
    if (!VELNOR_RESULT_TMP.ok()) return VELNOR_RESULT_TMP.error();            \
    decl = std::move(VELNOR_RESULT_TMP).value()
#define VELNOR_TRY_VOID(expr)                                                  \
    if (auto VELNOR_RESULT_TMP = (expr); !VELNOR_RESULT_TMP.ok())              \
    return VELNOR_RESULT_TMP.error()
