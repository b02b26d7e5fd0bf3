// The error every part of the core reports: an errno passed through
// unchanged, or a kind with a fixed message.
#pragma once

#include <cstdint>
#include <string>

namespace velnor {

enum class ErrorKind : std::uint8_t {
    Os,  // carries an errno
    BrokenPipe,
    InvalidInput,
    WriteZero,
    Interrupted,
    OutOfMemory,
    Other,
};

// An I/O error: an errno passed through unchanged, or a kind with a fixed
// message. Messages are static strings so that errors never allocate.
struct IoError {
    ErrorKind kind = ErrorKind::Other;
    int code = 0;                   // errno when kind == Os
    const char* message = nullptr;  // static text when kind != Os

    static IoError os(int errnum) noexcept { return {ErrorKind::Os, errnum, nullptr}; }
    static IoError of(ErrorKind k, const char* msg) noexcept { return {k, 0, msg}; }

    bool is_os() const noexcept { return kind == ErrorKind::Os; }
    bool is_cancelled() const noexcept;
    // "No such file or directory (os error 2)", or the fixed message.
    std::string display() const;
};

}  // namespace velnor
