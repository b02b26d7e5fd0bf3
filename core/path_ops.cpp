#include "core/path_ops.hpp"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

#include "core/cancellation.hpp"
#include "core/runtime/runtime.hpp"
#include "core/unique_fd.hpp"

namespace velnor::path_ops {
namespace {

using op::PathKind;

IoError os_err(std::int64_t res) { return IoError::os(static_cast<int>(-res)); }

Outcome unit_or_error(std::int64_t r) {
    if (r < 0) return os_err(r);
    return reply::Unit{};
}

// The job's result, or -errno of the pool that could not run it.
template <class F>
rt::Task<std::int64_t> on_pool(F f) {
    rt::Blocking job{std::move(f)};
    co_return co_await job;
}

std::int64_t neg_errno(long r) { return r < 0 ? -errno : r; }

void put_u64(Bytes& out, std::size_t at, std::uint64_t v) { std::memcpy(out.data() + at, &v, sizeof v); }

// getdents64 records, read on a worker into the listing format of op.hpp.
struct Listing {
    std::vector<std::uint64_t> inodes;
    std::vector<std::uint8_t> types;
    std::string names;

    std::int64_t read_all(int fd) {
        alignas(8) char buf[32768];
        for (;;) {
            const long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
            if (n < 0) {
                if (errno == EINTR) continue;
                // A folder removed after it was opened (a removed working
                // folder, a descriptor kept on one) has no entries: the
                // kernel says ENOENT, and glibc's readdir, which the os
                // module's listing uses, calls that the end.
                if (errno == ENOENT) return 0;
                return -errno;
            }
            if (n == 0) return 0;
            for (long at = 0; at < n;) {
                // struct linux_dirent64: ino, off, reclen, type, name.
                std::uint64_t ino;
                std::uint16_t reclen;
                std::memcpy(&ino, buf + at, 8);
                std::memcpy(&reclen, buf + at + 16, 2);
                const auto type = static_cast<std::uint8_t>(buf[at + 18]);
                const char* name = buf + at + 19;
                at += reclen;
                if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
                inodes.push_back(ino);
                types.push_back(type);
                names.append(name, std::strlen(name) + 1);
            }
        }
    }

    Bytes pack() const {
        const std::size_t n = inodes.size();
        Bytes out(8 + 8 * n + n + names.size());
        put_u64(out, 0, n);
        if (n) {
            std::memcpy(out.data() + 8, inodes.data(), 8 * n);
            std::memcpy(out.data() + 8 + 8 * n, types.data(), n);
        }
        if (!names.empty()) std::memcpy(out.data() + 8 + 9 * n, names.data(), names.size());
        return out;
    }
};

std::int64_t list_dir(const op::PathOp& o, Bytes& out) {
    Listing listing;
    std::int64_t r;
    try {
        if (o.on_fd) {
            // As os.listdir(fd): from the start, and rewound afterwards (the
            // position is shared with the caller's descriptor).
            if (::lseek(o.dirfd, 0, SEEK_SET) < 0) return -errno;
            r = listing.read_all(o.dirfd);
            ::lseek(o.dirfd, 0, SEEK_SET);
        } else {
            // Owned: a listing that runs out of memory still closes it.
            const UniqueFd fd(::openat(o.dirfd, o.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
            if (fd.get() < 0) return -errno;
            r = listing.read_all(fd.get());
        }
        if (r == 0) out = listing.pack();
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
    return r;
}

std::int64_t read_link(const op::PathOp& o, Bytes& out) {
    try {
        for (std::size_t cap = 256;; cap *= 2) {
            out.resize(cap);
            const ssize_t n = ::readlinkat(o.dirfd, o.path.c_str(), reinterpret_cast<char*>(out.data()), cap);
            if (n < 0) return -errno;
            if (static_cast<std::size_t>(n) < cap) {
                out.resize(static_cast<std::size_t>(n));
                return 0;
            }
        }
    } catch (const std::bad_alloc&) {
        return -ENOMEM;
    }
}

std::int64_t stat_vfs(const op::PathOp& o, Bytes& out) {
    struct statvfs s {};
    const int r = o.on_fd ? ::fstatvfs(o.dirfd, &s) : ::statvfs(o.path.c_str(), &s);
    if (r < 0) return -errno;
    const std::uint64_t fields[11] = {s.f_bsize, s.f_frsize, s.f_blocks, s.f_bfree, s.f_bavail, s.f_files,
                                      s.f_ffree, s.f_favail, s.f_flag,  s.f_namemax, s.f_fsid};
    out.resize(sizeof fields);
    std::memcpy(out.data(), fields, sizeof fields);
    return 0;
}

std::int64_t set_times(const op::PathOp& o) {
    const struct timespec ts[2] = {{static_cast<time_t>(o.num[0]), static_cast<long>(o.num[1])},
                                   {static_cast<time_t>(o.num[2]), static_cast<long>(o.num[3])}};
    if (o.on_fd) return neg_errno(::futimens(o.dirfd, ts));
    return neg_errno(::utimensat(o.dirfd, o.path.c_str(), ts, static_cast<int>(o.flags)));
}

std::int64_t send_file(const op::PathOp& o) {
    off_t offset = static_cast<off_t>(o.num[0]);
    // A negative count becomes one the kernel refuses (EINVAL), as with os.sendfile.
    const auto count = static_cast<std::size_t>(o.num[1]);
    const bool from_position = o.flags & op::kFromPosition;
    ssize_t n;
    do n = ::sendfile(o.dirfd, o.dirfd2, from_position ? nullptr : &offset, count);
    while (n < 0 && errno == EINTR);
    return neg_errno(n);
}

// The whole of `in` into `out` from offset 0: in the kernel with
// copy_file_range, or sendfile where the file systems cannot (other
// devices, old kernels), or read and write where neither can (files in
// /proc and /sys, some devices, which refuse or, reporting no size, copy
// nothing). As shutil.copyfile, a way that copies nothing at the start is
// given up for the next.
std::int64_t copy_range(const op::PathOp& o) {
    loff_t in_off = 0, out_off = 0;
    std::int64_t total = 0;
    enum class Way { Range, Sendfile, ReadWrite } way = Way::Range;
    constexpr std::size_t kChunk = 1u << 30;
    std::vector<char> buf;
    auto refused = [&](ssize_t n) {
        return total == 0 && (n == 0 || errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                              errno == EOPNOTSUPP || errno == EPERM || errno == ENOTSUP);
    };
    for (;;) {
        ssize_t n;
        errno = 0;
        if (way == Way::Range) {
            n = ::copy_file_range(o.dirfd2, &in_off, o.dirfd, &out_off, kChunk, 0);
            if (n <= 0 && refused(n)) {
                way = Way::Sendfile;
                continue;
            }
        } else if (way == Way::Sendfile) {
            // sendfile writes at the out descriptor's position.
            if (::lseek(o.dirfd, out_off, SEEK_SET) < 0 && errno != ESPIPE) return -errno;
            off_t off = static_cast<off_t>(in_off);
            n = ::sendfile(o.dirfd, o.dirfd2, &off, kChunk);
            if (n <= 0 && refused(n)) {
                way = Way::ReadWrite;
                continue;
            }
            if (n > 0) {
                in_off += n;
                out_off += n;
            }
        } else {
            if (buf.empty()) buf.resize(1 << 16);
            n = ::pread(o.dirfd2, buf.data(), buf.size(), in_off);
            if (n < 0 && errno == ESPIPE) n = ::read(o.dirfd2, buf.data(), buf.size());
            for (ssize_t done = 0; n > 0 && done < n;) {
                ssize_t w = ::pwrite(o.dirfd, buf.data() + done, static_cast<std::size_t>(n - done), out_off);
                if (w < 0 && errno == ESPIPE) w = ::write(o.dirfd, buf.data() + done, static_cast<std::size_t>(n - done));
                if (w < 0) {
                    if (errno == EINTR) continue;
                    return -errno;
                }
                done += w;
                out_off += w;
            }
            if (n > 0) in_off += n;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            return -errno;
        }
        if (n == 0) return total;
        total += n;
    }
}

rt::Task<Outcome> with_bytes(std::int64_t (*fn)(const op::PathOp&, Bytes&), const op::PathOp& o) {
    Bytes out;
    auto r = co_await on_pool([&o, &out, fn]() -> std::int64_t { return fn(o, out); });
    if (r < 0) co_return os_err(r);
    co_return reply::Bytes{std::move(out)};
}

rt::Task<Outcome> on_pool_unit(std::int64_t (*fn)(const op::PathOp&), const op::PathOp& o) {
    auto r = co_await on_pool([&o, fn]() -> std::int64_t { return fn(o); });
    co_return unit_or_error(r);
}

rt::Task<Outcome> on_pool_size(std::int64_t (*fn)(const op::PathOp&), const op::PathOp& o) {
    auto r = co_await on_pool([&o, fn]() -> std::int64_t { return fn(o); });
    if (r < 0) co_return os_err(r);
    co_return reply::Size{static_cast<std::uint64_t>(r)};
}

rt::Task<Outcome> stat(const op::PathOp& o) {
    struct ::statx stx {};
    // stat(2) never triggers an automount; neither does os.stat.
    const std::int32_t r = co_await rt::statx_at(o.dirfd, o.path.c_str(), o.flags | AT_NO_AUTOMOUNT, &stx);
    if (r < 0) co_return os_err(r);
    Bytes out(sizeof stx);
    std::memcpy(out.data(), &stx, sizeof stx);
    co_return reply::Bytes{std::move(out)};
}

rt::Task<Outcome> truncate(const op::PathOp& o) {
    if (o.num[0] < 0) co_return IoError::os(EINVAL);
    if (o.on_fd) co_return unit_or_error(co_await rt::ftruncate(o.dirfd, static_cast<std::uint64_t>(o.num[0])));
    co_return co_await on_pool_unit(
        [](const op::PathOp& p) -> std::int64_t { return neg_errno(::truncate(p.path.c_str(), p.num[0])); }, o);
}

bool has_nul(const std::string& s) { return s.find('\0') != std::string::npos; }

}  // namespace

rt::Task<Outcome> execute(op::PathOp& o, Cancellation& cancel) {
    if (has_nul(o.path) || has_nul(o.path2)) co_return IoError::of(ErrorKind::InvalidInput, msg::kNulInPath);
    const char* p = o.path.c_str();
    const char* p2 = o.path2.c_str();
    switch (o.kind) {
        case PathKind::Stat:
            co_return co_await stat(o);
        case PathKind::Rename:
            co_return unit_or_error(co_await rt::renameat(o.dirfd, p, o.dirfd2, p2, o.flags));
        case PathKind::Unlink:
            co_return unit_or_error(co_await rt::unlinkat(o.dirfd, p, o.flags));
        case PathKind::Mkdir:
            co_return unit_or_error(co_await rt::mkdirat(o.dirfd, p, o.mode));
        case PathKind::Symlink:
            co_return unit_or_error(co_await rt::symlinkat(p, o.dirfd2, p2));
        case PathKind::Link:
            co_return unit_or_error(co_await rt::linkat(o.dirfd, p, o.dirfd2, p2, o.flags));
        case PathKind::ListDir:
            co_return co_await with_bytes(list_dir, o);
        case PathKind::ReadLink:
            co_return co_await with_bytes(read_link, o);
        case PathKind::StatVfs:
            co_return co_await with_bytes(stat_vfs, o);
        case PathKind::Chmod:
            co_return co_await on_pool_unit(
                [](const op::PathOp& q) -> std::int64_t {
                    if (q.on_fd) return neg_errno(::fchmod(q.dirfd, q.mode));
                    return neg_errno(::fchmodat(q.dirfd, q.path.c_str(), q.mode, static_cast<int>(q.flags)));
                },
                o);
        case PathKind::Access:
            co_return co_await on_pool_unit(
                [](const op::PathOp& q) -> std::int64_t {
                    return neg_errno(::faccessat(q.dirfd, q.path.c_str(), static_cast<int>(q.mode),
                                                 static_cast<int>(q.flags)));
                },
                o);
        case PathKind::Utime:
            co_return co_await on_pool_unit(set_times, o);
        case PathKind::Truncate:
            co_return co_await truncate(o);
        case PathKind::SendFile:
            co_return co_await on_pool_size(send_file, o);
        case PathKind::CopyRange:
            co_return co_await on_pool_size(copy_range, o);
        case PathKind::OpenFd: {
            // Withdrawable: opening a FIFO waits for its peer, possibly for ever.
            const std::int32_t fd =
                co_await Withdrawable{rt::openat_in(o.dirfd, p, o.flags | O_LARGEFILE, o.mode), &cancel};
            if (fd < 0) co_return os_err(fd);
            co_return reply::Size{static_cast<std::uint64_t>(fd)};
        }
        case PathKind::CloseFd:
            co_return unit_or_error(co_await rt::close(o.dirfd));
    }
    co_return IoError::os(EINVAL);
}

}  // namespace velnor::path_ops
