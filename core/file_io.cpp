#include "core/file_io.hpp"

#include "core/cancellation.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <stdexcept>

namespace velnor::compio_backend {

namespace {

constexpr std::uint32_t kMaxIo = 0xFFFFFFFFu;  // the SQE length field

std::uint32_t cap(std::uint64_t n) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, kMaxIo)); }

// A write copies into the page cache inside one system call, on the driver
// or on one of the kernel's workers, and a kernel that does not preempt
// (preempt=none) lets nothing else run on that CPU until it returns: where
// the event loop shares the CPU, 64 MiB kept it from running for 16 ms.
// Steps of this size return to user space about every half millisecond.
constexpr std::size_t kWriteStep = 2 * 1024 * 1024;

// File offsets are signed in the kernel, and -1 means "the descriptor's own
// position" to io_uring and preadv2 alike: a position past the signed range
// must fail rather than read or write somewhere else.
constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(INT64_MAX);
bool offset_ok(std::uint64_t pos, std::uint64_t done) { return pos <= kMaxOffset && done <= kMaxOffset - pos; }

}  // namespace

IoError cancelled_err() { return IoError::os(ECANCELED); }
IoError unknown_handle() { return IoError::of(ErrorKind::InvalidInput, msg::kUnknownHandle); }

// Open flags of the six booleans, or EINVAL for impossible combinations.
Result<int> open_flags(const op::Open& o) {
    const bool wr = o.write || o.append;
    int flags = 0;
    if (o.read && wr)
        flags = O_RDWR;
    else if (wr)
        flags = O_WRONLY;
    else if (o.read)
        flags = O_RDONLY;
    else
        return IoError::os(EINVAL);
    if (!wr) {
        if (o.truncate || o.create || o.create_new) return IoError::os(EINVAL);
    } else if (o.create_new) {
        flags |= O_CREAT | O_EXCL;
    } else {
        if (o.create) flags |= O_CREAT;
        if (o.truncate) flags |= O_TRUNC;
    }
    flags |= O_CLOEXEC;
    if (o.append) flags |= O_APPEND;
    return flags;
}

// Opens `path` through the runtime; the descriptor is owned by the result.
rt::Task<Result<FileRef>> open_path(const std::string& path, int flags, Cancellation* cancel) {
    if (path.find('\0') != std::string::npos)
        co_return IoError::of(ErrorKind::InvalidInput, msg::kNulInPath);
    // Withdrawable: opening a FIFO waits for its peer, possibly for ever.
    VELNOR_CO_TRY(const std::uint32_t fd,
                  from_kernel(co_await Withdrawable{
                      rt::openat(path.c_str(), static_cast<std::uint32_t>(flags | O_LARGEFILE), 0666), cancel}));
    co_return FileRef(UniqueFd(static_cast<int>(fd)));
}

rt::Task<Result<std::uint64_t>> stat_opened(FileRef& file) {
    struct ::statx stx {};
    VELNOR_CO_TRY_VOID(from_kernel(co_await rt::statx_fd(file.fd(), &stx)));
    const unsigned type = stx.stx_mode & S_IFMT;
    file.set_stream(type == S_IFIFO || type == S_IFSOCK || type == S_IFCHR);
    co_return static_cast<std::uint64_t>(stx.stx_size);
}

rt::Task<Result<std::uint64_t>> file_size(int fd) {
    struct ::statx stx {};
    VELNOR_CO_TRY_VOID(from_kernel(co_await rt::statx_fd(fd, &stx)));
    co_return static_cast<std::uint64_t>(stx.stx_size);
}

// Closes an explicitly closed file: after every other holder let go, through
// the runtime rather than a blocking close on this thread.
rt::Task<Result<void>> close_file(FileRef file) {
    co_await file.sole_holder();
    const int fd = file.release_fd();
    VELNOR_CO_TRY_VOID(from_kernel(co_await rt::close(fd)));
    co_return Result<void>{};
}

namespace {
// A stream's read or write may wait without end: it is withdrawn when the
// operation is cancelled. A regular file's runs its course.
Withdrawable stream_aware(rt::KernelCall s, const FileRef& file, Cancellation& cancel) {
    return Withdrawable{s, file.stream() ? &cancel : nullptr, file.stream()};
}

// Where a request of `file` works: a stream has no offsets, and a socket
// refuses any but 0 (ESPIPE), so a stream is read and written where it
// stands (-1 to the ring and the workers).
std::uint64_t at(const FileRef& file, std::uint64_t pos) noexcept {
    return file.stream() ? ~std::uint64_t{0} : pos;
}
}  // namespace

rt::Task<Result<std::size_t>> read_up_to(const FileRef& file, std::uint64_t pos, std::uint8_t* dst,
                                         std::size_t n, Cancellation& cancel, bool spread) {
    std::size_t filled = 0;
    for (;;) {
        // Tested before the full check: a read whose last kernel request just
        // filled the destination still reports the cancel raised meanwhile.
        if (cancel.requested()) co_return cancelled_err();
        if (filled == n) break;
        if (!offset_ok(pos, filled)) co_return IoError::os(EINVAL);
        const std::int32_t r = co_await stream_aware(
            rt::read_at(file.fd(), dst + filled, cap(n - filled), at(file, pos + filled), spread), file, cancel);
        if (r == -EINTR || r == -ECANCELED) continue;  // the cancel check above decides
        VELNOR_CO_TRY(const std::uint32_t got, from_kernel(r));
        if (got == 0) break;
        filled += got;
        // A stream's read gives what one read gives, as the built-in
        // unbuffered file's: asking again would wait for bytes the caller
        // may never need (a line a subprocess has written, a prompt). And
        // the bytes it took are gone from the stream, so a cancel raised
        // meanwhile does not discard them: the read completes with them.
        if (file.stream()) break;
    }
    co_return filled;
}

rt::Task<Result<std::size_t>> read_to_end_loop(const FileRef& file, std::uint64_t pos, Bytes& buf,
                                               Cancellation& cancel) {
    const int fd = file.fd();
    std::size_t len = 0;
    for (;;) {
        // Between kernel reads: a pipe that keeps producing, or /dev/zero,
        // has no end to reach. What a stream gave already is gone from it:
        // the read completes with that rather than lose it.
        if (cancel.requested()) {
            if (file.stream() && len > 0) break;
            co_return cancelled_err();
        }
        if (len == buf.size()) {
            try {
                buf.resize(std::max(buf.size() * 2, len + 32));
            } catch (const std::exception&) {
                co_return IoError::of(ErrorKind::OutOfMemory, msg::kOutOfMemory);
            }
        }
        if (!offset_ok(pos, len)) co_return IoError::os(EINVAL);
        const std::int32_t r = co_await stream_aware(
            rt::read_at(fd, buf.data() + len, cap(buf.size() - len), at(file, pos + len)), file, cancel);
        if (r == -EINTR || r == -ECANCELED) continue;
        VELNOR_CO_TRY(const std::uint32_t got, from_kernel(r));
        if (got == 0) break;
        len += got;
    }
    co_return len;
}

rt::Task<Result<Bytes>> read_sized_to_end(const FileRef& file, std::uint64_t pos, std::uint64_t size,
                                          Cancellation& cancel) {
    Bytes buf;
    // The spare byte lets the final zero-length read find room without a
    // reallocation when the file has not grown.
    VELNOR_CO_TRY_VOID(alloc_bytes(buf, (pos < size ? size - pos : 0) + 1));
    VELNOR_CO_TRY(const std::size_t n, co_await read_to_end_loop(file, pos, buf, cancel));
    buf.resize(n);
    co_return std::move(buf);
}

Result<void> alloc_bytes(Bytes& buf, std::uint64_t n) {
    try {
        if (n > buf.max_size()) throw std::length_error("too large");
        buf.resize(static_cast<std::size_t>(n));
    } catch (const std::exception&) {
        return IoError::of(ErrorKind::OutOfMemory, msg::kOutOfMemory);
    }
    return {};
}

rt::Task<Result<void>> write_all_at(const FileRef& file, const std::uint8_t* src, std::size_t n,
                                    std::uint64_t pos, Cancellation& cancel) {
    const int fd = file.fd();
    std::size_t written = 0;
    while (written < n) {
        // A regular file's write, once started, lands whole; a stream's may
        // wait for its reader for ever, and stops where the kernel was.
        if (file.stream() && cancel.requested()) co_return cancelled_err();
        if (!offset_ok(pos, written)) co_return IoError::os(EINVAL);
        const std::int32_t r = co_await stream_aware(
            rt::write_at(fd, src + written, cap(std::min(n - written, kWriteStep)), at(file, pos + written)), file,
            cancel);
        // An interrupted write is tried again, but not past a cancel: an
        // interruption that never ends (a signal storm, a filter that
        // answers EINTR) would otherwise hold the write for good.
        if (r == -EINTR && cancel.requested()) co_return cancelled_err();
        if (r == -EINTR || (r == -ECANCELED && file.stream())) continue;
        VELNOR_CO_TRY(const std::uint32_t put, from_kernel(r));
        if (put == 0) co_return IoError::of(ErrorKind::WriteZero, msg::kWriteZero);
        written += put;
    }
    co_return Result<void>{};
}

// The append loop runs on a worker: write(2) lands at the descriptor's own
// position, atomically at end of file with O_APPEND.
constexpr int kAppendTries = 16;

rt::Task<Result<void>> append_all(int fd, const Payload& data) {
    const std::uint8_t* p = data.ptr();
    const std::size_t n = data.size();
    rt::Blocking job{[fd, p, n]() -> std::int64_t {
        std::size_t written = 0;
        int interrupted = 0;
        while (written < n) {
            const ssize_t r = ::write(fd, p + written, std::min(n - written, kWriteStep));
            if (r < 0) {
                // Tried again, as the built-in's writes are. Workers take no
                // signal but the pool's own (sent only to withdraw a job, and
                // an append is never withdrawn): a few tries answer any real
                // interruption, and one that never ends still ends the append.
                if (errno == EINTR && ++interrupted < kAppendTries) continue;
                return -errno;
            }
            // No progress for a non-empty request would spin forever.
            if (r == 0) return -EIO;
            written += static_cast<std::size_t>(r);
        }
        return 0;
    }};
    VELNOR_CO_TRY_VOID(from_kernel(co_await job));
    co_return Result<void>{};
}

}  // namespace velnor::compio_backend
