// The system calls behind the fast path, each refusing to block: preadv2
// with RWF_NOWAIT, openat2 with RESOLVE_CACHED, fstat. No Python here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/unique_fd.hpp"

struct statx;

namespace velnor::fast {

// Fills [dst, dst+len) from `pos` with page-cache-only reads, looping over
// short counts. The count filled (short only at end of file), or nullopt
// when any part would have blocked or the kernel refused. Right after a
// miss, a page found missing fails the fill without starting to read it in
// (see nowait_io.cpp); `fill_to_end` does the same.
std::optional<std::size_t> fill(int fd, std::uint64_t pos, std::uint8_t* dst, std::size_t len) noexcept;

// One preadv2(RWF_NOWAIT) of `len` bytes at `off`, no retry: the count or -errno.
long pread_nowait(int fd, std::uint8_t* dst, std::size_t len, std::uint64_t off) noexcept;

// Drops the caution that recent misses taught: the next fill tries whatever
// the page cache holds.
void forget_misses() noexcept;

// How soon after a miss a read counts as one of many (150 us unless set):
// a later one is a lone miss again, which starts the disk read at once.
void set_miss_window(std::chrono::nanoseconds window) noexcept;

// Whether this thread's latest miss left its data on the way in from the
// disk (the read started it, or found it started), so that a fill of the
// same range soon may succeed; false after a read served, a miss that was
// refused without starting anything, and after the first asking.
bool take_miss_in_flight() noexcept;

// Confirms that nothing lies at or after `size`: one 1-byte no-wait read
// must return exactly 0.
bool at_end(int fd, std::uint64_t size) noexcept;

// Fills [dst, dst+len) from `pos` and confirms that the file ends right
// there. When everything is cached that takes one no-wait read, with a
// one-byte buffer behind the caller's that must stay empty. False when any
// part would have blocked, the kernel refused, or the file is longer.
bool fill_to_end(int fd, std::uint64_t pos, std::uint8_t* dst, std::size_t len) noexcept;

// st_size (negative taken as 0) for a regular file; nullopt otherwise.
std::optional<std::uint64_t> regular_size(int fd) noexcept;

// openat2(AT_FDCWD, path, O_RDONLY|O_CLOEXEC|O_NONBLOCK|O_NOCTTY,
// RESOLVE_CACHED): no descriptor whenever the lookup would need I/O or
// fails for any other reason.
UniqueFd open_cached(const char* path) noexcept;

// A regular file opened for keeping, with what fstat said of it at the open.
struct CachedRegular {
    UniqueFd fd;
    std::uint64_t size = 0;
    std::uint64_t block_size = 0;
};

// A regular file opened read-only the way `open_cached` does, for keeping:
// O_NONBLOCK (needed only so that opening a FIFO or device cannot wait) is
// cleared again. No descriptor for anything that is not a regular file or
// any failure.
CachedRegular open_cached_regular(const char* path) noexcept;

// statx(2) of `path` relative to `dir_fd` with the AT_* `flags`
// (AT_SYMLINK_NOFOLLOW, AT_EMPTY_PATH), answered on the calling thread
// only when nothing has to wait: the lookup from the kernel's caches alone
// (openat2 O_PATH with RESOLVE_CACHED, which opens nothing) and the status
// from a local file system, which keeps it in memory. False otherwise, and
// on any error, which the caller then meets the ordinary way.
bool stat_cached(int dir_fd, const char* path, int flags, struct statx& out) noexcept;

// Whether no-wait reads work on this descriptor at all (EAGAIN counts as
// yes: the data just was not cached). Yes without asking, after recent
// misses, when the first page is not cached.
bool supports_nowait(int fd) noexcept;

}  // namespace velnor::fast
