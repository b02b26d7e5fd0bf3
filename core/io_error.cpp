#include "core/io_error.hpp"

#include <cerrno>
#include <cstring>

namespace velnor {

bool IoError::is_cancelled() const noexcept { return kind == ErrorKind::Os && code == ECANCELED; }

std::string IoError::display() const {
    if (kind != ErrorKind::Os) return message ? message : "unknown error";
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(code) + ")";
}

}  // namespace velnor
