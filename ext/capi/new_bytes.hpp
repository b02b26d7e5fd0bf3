// A fresh, zero-filled `bytes` object whose storage the kernel or a
// no-wait read fills in place before any Python code can see it.
#pragma once

#include <cstdint>

#include "ext/capi/errors.hpp"

namespace velnor::ext {

// Raises MemoryError for a length no `bytes` object can have, and the
// interpreter's error when the allocation fails.
Ref new_zeroed_bytes(std::uint64_t len);

// The same without the zero fill, for a destination that is handed out only
// when a read filled every byte of it (a short read yields a copy of the
// filled prefix, a failed one drops the object). Zeroing first would be a
// second full pass over memory that the read writes anyway: for a large
// cached file it costs more than the copy out of the page cache.
Ref new_bytes_to_fill(std::uint64_t len);

inline std::uint8_t* bytes_data(const Ref& b) noexcept {
    return reinterpret_cast<std::uint8_t*>(PyBytes_AsString(b.get()));
}

// The first `n` bytes of `b` as a new object (`b` itself when n covers it).
Ref bytes_prefix(const Ref& b, std::size_t n);

}  // namespace velnor::ext
