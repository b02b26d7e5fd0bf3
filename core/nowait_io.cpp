#include "core/nowait_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <utility>

#include "core/local_fs.hpp"

namespace velnor::fast {

namespace {
constexpr int kRwfNowait = 0x8;
constexpr long kSysOpenat2 = 437;
constexpr std::uint64_t kResolveCached = 0x20;

struct OpenHow {
    std::uint64_t flags;
    std::uint64_t mode;
    std::uint64_t resolve;
};
static_assert(sizeof(OpenHow) == 24);

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// A no-wait read that finds a page missing does not just refuse: it starts
// reading the file in first, on the calling thread, and on a virtual
// machine that costs tens of microseconds (page allocation, a device
// notification that exits to the host). For a lone miss that is time well
// spent: the disk works while the driver thread wakes up to wait for it.
// Among many misses it is the loop thread's time spent on what the driver
// will do anyway. So a read that comes soon after a miss first asks
// cachestat(2), which reads nothing in, whether the page it starts at is
// there, and leaves a missing one to the driver; that refusal counts as a
// miss too. A read served ends it (a page being there is not enough: one
// being read in is there too). A kernel without cachestat leaves every
// read to try.
constexpr long kSysCachestat = 451;
struct CachestatRange {
    std::uint64_t off;
    std::uint64_t len;
};
struct Cachestat {
    std::uint64_t nr_cache, nr_dirty, nr_writeback, nr_evicted, nr_recently_evicted;
};
// CLOCK_MONOTONIC nanoseconds of the latest miss; 0 once a read was served.
std::atomic<std::int64_t> g_last_miss{0};
std::atomic<std::int64_t> g_miss_window{150'000};

std::int64_t now_ns() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool page_absent(int fd, std::uint64_t off) noexcept {
    const std::int64_t last = g_last_miss.load(std::memory_order_relaxed);
    if (last == 0) return false;
    const std::int64_t now = now_ns();
    if (now - last > g_miss_window.load(std::memory_order_relaxed)) return false;
    CachestatRange range{off, 1};
    Cachestat cs{};
    if (::syscall(kSysCachestat, fd, &range, &cs, 0) != 0 || cs.nr_cache != 0) return false;
    // Only a regular file's pages say whether a read would wait: a pipe or
    // a device answers with none at all.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (st.st_mode & S_IFMT) != S_IFREG) return false;
    g_last_miss.store(now, std::memory_order_relaxed);
    return true;
}

// Whether this thread's latest miss left its data on the way in: a read
// the kernel refused after finding the page missing starts reading it in,
// or finds that started; one refused by the check above starts nothing.
thread_local bool t_miss_in_flight = false;

// What a read of data teaches: a miss, or a read served.
long note_miss(long r) noexcept {
    if (r == -EAGAIN) {
        g_last_miss.store(now_ns(), std::memory_order_relaxed);
        t_miss_in_flight = true;
    } else if (r > 0) {
        t_miss_in_flight = false;
        if (g_last_miss.load(std::memory_order_relaxed) != 0) g_last_miss.store(0, std::memory_order_relaxed);
    }
    return r;
}
}  // namespace

long pread_nowait(int fd, std::uint8_t* dst, std::size_t len, std::uint64_t off) noexcept {
    if (off > kMaxOffset) return -EINVAL;
    iovec iov{dst, len};
    const ssize_t r = ::preadv2(fd, &iov, 1, static_cast<off_t>(off), kRwfNowait);
    return r < 0 ? -errno : r;
}

namespace {
// These reads run on the loop's thread holding the interpreter lock: an
// interruption is tried again a few times, then taken for a miss, which
// sends the read to the driver and lets the interpreter run its signal
// handlers. Retried without end, an interruption that never ends (a signal
// storm, a filter answering EINTR) would hold the loop for good.
constexpr int kEintrTries = 4;

// A read of data, as opposed to a check of the end: the one that may start
// reading a missing page in.
long read_cached(int fd, std::uint8_t* dst, std::size_t len, std::uint64_t off) noexcept {
    if (len > 0 && off <= kMaxOffset && page_absent(fd, off)) {
        t_miss_in_flight = false;
        return -EAGAIN;
    }
    return note_miss(pread_nowait(fd, dst, len, off));
}
}  // namespace

bool take_miss_in_flight() noexcept { return std::exchange(t_miss_in_flight, false); }

void forget_misses() noexcept { g_last_miss.store(0, std::memory_order_relaxed); }

void set_miss_window(std::chrono::nanoseconds window) noexcept {
    g_miss_window.store(static_cast<std::int64_t>(window.count()), std::memory_order_relaxed);
}

std::optional<std::size_t> fill(int fd, std::uint64_t pos, std::uint8_t* dst, std::size_t len) noexcept {
    if (fd < 0) return std::nullopt;
    std::size_t done = 0;
    int interrupted = 0;
    while (done < len) {
        // An offset that wraps or leaves the signed range cannot be asked for.
        if (done > std::numeric_limits<std::uint64_t>::max() - pos) return std::nullopt;
        const std::uint64_t off = pos + done;
        if (off > kMaxOffset) return std::nullopt;
        const long r = read_cached(fd, dst + done, len - done, off);
        if (r == -EINTR && ++interrupted < kEintrTries) continue;
        if (r < 0) return std::nullopt;
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    return done;
}

bool at_end(int fd, std::uint64_t size) noexcept {
    std::uint8_t scratch = 0;
    return pread_nowait(fd, &scratch, 1, size) == 0;
}

bool fill_to_end(int fd, std::uint64_t pos, std::uint8_t* dst, std::size_t len) noexcept {
    if (fd < 0 || pos > kMaxOffset) return false;
    if (len > 0 && page_absent(fd, pos)) {
        t_miss_in_flight = false;
        return false;
    }
    std::uint8_t scratch = 0;
    iovec iov[2] = {{dst, len}, {&scratch, 1}};
    ssize_t r;
    int interrupted = 0;
    do {
        r = ::preadv2(fd, iov, 2, static_cast<off_t>(pos), kRwfNowait);
    } while (r < 0 && errno == EINTR && ++interrupted < kEintrTries);
    note_miss(r < 0 ? -errno : r);
    if (r < 0) return false;
    const auto got = static_cast<std::size_t>(r);
    // The kernel stops a read at the end of the file before it looks for
    // pages beyond it: a count of exactly `len` is the end, not a miss.
    if (got == len) return true;
    if (got > len) return false;  // longer than the caller was told
    // Short: a part not cached (or a file that shrank). The careful way.
    const auto rest = fill(fd, pos + got, dst + got, len - got);
    return rest && *rest == len - got && at_end(fd, pos + len);
}

std::optional<std::uint64_t> regular_size(int fd) noexcept {
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (st.st_mode & S_IFMT) != S_IFREG) return std::nullopt;
    return st.st_size < 0 ? 0 : static_cast<std::uint64_t>(st.st_size);
}

UniqueFd open_cached(const char* path) noexcept {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer, and some devices wait in open; the type check that follows
    // refuses both anyway. O_NOCTTY: never adopt a terminal.
    OpenHow how{O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0, kResolveCached};
    const long r = ::syscall(kSysOpenat2, AT_FDCWD, path, &how, sizeof how);
    return UniqueFd(r < 0 ? -1 : static_cast<int>(r));
}

CachedRegular open_cached_regular(const char* path) noexcept {
    // Opening a FIFO for reading, even without blocking, counts as a reader:
    // a writer waiting in open(2) would go ahead and then meet no reader once
    // this descriptor is closed again. So the type is checked first on an
    // O_PATH descriptor, which opens nothing, and only a regular file is
    // opened for reading, then checked to be the same file.
    OpenHow path_how{O_PATH | O_CLOEXEC, 0, kResolveCached};
    const long p = ::syscall(kSysOpenat2, AT_FDCWD, path, &path_how, sizeof path_how);
    if (p < 0) return {};
    UniqueFd probe(static_cast<int>(p));
    struct stat first {};
    if (::fstat(probe.get(), &first) != 0 || (first.st_mode & S_IFMT) != S_IFREG) return {};
    UniqueFd fd = open_cached(path);
    if (fd.get() < 0) return {};
    struct stat st {};
    // F_SETFL 0 clears O_NONBLOCK: no other status flag was asked for.
    if (::fstat(fd.get(), &st) != 0 || (st.st_mode & S_IFMT) != S_IFREG || st.st_dev != first.st_dev ||
        st.st_ino != first.st_ino || ::fcntl(fd.get(), F_SETFL, 0) != 0)
        return {};
    return {std::move(fd), st.st_size < 0 ? 0 : static_cast<std::uint64_t>(st.st_size),
            st.st_blksize < 0 ? 0 : static_cast<std::uint64_t>(st.st_blksize)};
}

bool stat_cached(int dir_fd, const char* path, int flags, struct statx& out) noexcept {
    if ((flags & ~(AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH)) != 0) return false;
    UniqueFd held;
    int fd = dir_fd;
    if (!(flags & AT_EMPTY_PATH) || path[0] != '\0') {
        // O_NOFOLLOW on an O_PATH open gives the symlink itself, as lstat.
        const std::uint64_t nofollow = (flags & AT_SYMLINK_NOFOLLOW) ? O_NOFOLLOW : 0;
        OpenHow how{O_PATH | O_CLOEXEC | nofollow, 0, kResolveCached};
        const long r = ::syscall(kSysOpenat2, dir_fd, path, &how, sizeof how);
        if (r < 0) return false;
        held = UniqueFd(static_cast<int>(r));
        fd = held.get();
    }
    // AT_STATX_DONT_SYNC: never a round trip, even where the file system
    // check below would be wrong; a local file system ignores it.
    struct statx sx {};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_BASIC_STATS, &sx) != 0) return false;
    if (!local_device(sx.stx_dev_major, sx.stx_dev_minor)) return false;
    out = sx;
    return true;
}

bool supports_nowait(int fd) noexcept {
    if (fd < 0) return false;
    // The probe reads a byte: where that would only start reading the file
    // in, the answer waits for a later miss, and the fast path stays.
    if (page_absent(fd, 0)) return true;
    std::uint8_t scratch = 0;
    long r;
    int interrupted = 0;
    do {
        r = pread_nowait(fd, &scratch, 1, 0);
    } while (r == -EINTR && ++interrupted < kEintrTries);
    return r >= 0 || r == -EAGAIN;
}

}  // namespace velnor::fast
