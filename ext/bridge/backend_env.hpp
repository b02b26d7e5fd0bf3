// The VELNOR_BACKEND environment variable, consulted only when a driver is
// about to be created.
#pragma once

#include <string>
#include <string_view>

namespace velnor::ext {

// Raises ValueError "unknown VELNOR_BACKEND: <quoted value>" unless the
// variable is unset, not valid UTF-8, or exactly "compio".
void check_backend_env();

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_utf8(std::string_view bytes) noexcept;

// The value in double quotes with backslash escapes, as the error shows it.
std::string quote_backend_value(std::string_view utf8);

}  // namespace velnor::ext
