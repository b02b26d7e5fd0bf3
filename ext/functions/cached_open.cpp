// open_cached, adopt and read_owned_to_end: a file opened on the calling
// thread when its path is in the kernel's caches, and handed to the driver
// only once a driver operation needs it, so that a cached open, read and
// close never leave the loop thread, and a first read the page cache could
// not serve costs one trip to the driver, not three.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "core/nowait_io.hpp"
#include "ext/bridge/submit.hpp"
#include "ext/capi/binder.hpp"
#include "ext/capi/calls.hpp"
#include "ext/capi/convert.hpp"
#include "ext/capi/entry.hpp"
#include "ext/capi/os_error.hpp"
#include "ext/module_table.hpp"

namespace velnor::ext {
namespace {

Ref py_open_cached(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> params{"open_cached", {"path"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::string path = arg_path("path", a[0]);
    if (path.find('\0') != std::string::npos) return none();
    fast::CachedRegular file = fast::open_cached_regular(path.c_str());
    if (file.fd.get() < 0) return none();
    Ref number = checked(PyLong_FromLong(file.fd.get()));
    Ref block = u64_to_int(file.block_size);
    Ref size = u64_to_int(file.size);
    Ref opened = checked(PyTuple_Pack(3, number.get(), block.get(), size.get()));
    (void)file.fd.release();  // the caller owns it now
    return opened;
}

Ref py_adopt(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> params{"adopt", {"fd"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::int32_t fd = arg_fd("fd", a[0]);
    // The type decides whether a cancel withdraws a waiting read: learnt
    // here, where an fstat of an open descriptor costs no wait.
    struct stat st {};
    const unsigned type = ::fstat(fd, &st) == 0 ? (st.st_mode & S_IFMT) : 0;
    const bool stream = type == S_IFIFO || type == S_IFSOCK || type == S_IFCHR;
    return submit(op::Adopt{fd, stream}, ResultMode::plain(), Owner{});
}

Ref py_read_owned_to_end(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"read_owned_to_end", {"fd", "pos"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::int32_t fd = arg_fd("fd", a[0]);
    const std::uint64_t pos = arg_u64("pos", a[1]);
    struct stat st {};
    if (::fstat(fd, &st) != 0) raise_io_error(IoError::os(errno));
    const unsigned type = st.st_mode & S_IFMT;
    if (type == S_IFDIR) raise_io_error(IoError::os(EISDIR));
    // The operation's own descriptor: the caller may close its one at any
    // time, and an operation that never runs closes this one as it goes.
    UniqueFd own(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (own.get() < 0) raise_io_error(IoError::os(errno));
    op::ReadOwnedToEnd o;
    o.fd = std::move(own);
    o.pos = pos;
    o.size = type == S_IFREG ? static_cast<std::uint64_t>(st.st_size) : 0;
    o.stream = type == S_IFIFO || type == S_IFSOCK || type == S_IFCHR;
    return submit(std::move(o), ResultMode::plain(), Owner{});
}

Ref py_stat_cached(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<3> params{"stat_cached", {"path", "dir_fd", "flags"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::string path = arg_path("path", a[0]);
    const std::int32_t dir_fd = arg_fd("dir_fd", a[1]);
    const std::uint64_t flags = arg_u64("flags", a[2]);
    if (path.find('\0') != std::string::npos || flags > INT32_MAX) return none();
    struct ::statx sx {};
    if (!fast::stat_cached(dir_fd, path.c_str(), static_cast<int>(flags), sx)) return none();
    return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(&sx), sizeof sx));
}

}  // namespace

PyMethodDef STAT_CACHED_METHOD = fast_method<py_stat_cached>(
    "stat_cached",
    "stat_cached(path, dir_fd, flags)\n--\n\n`stat`'s raw `struct statx`, found on the calling thread when nothing\n"
    "has to wait: the path resolved from the kernel's caches alone and the\nstatus kept in memory by a "
    "local file system. `None` otherwise, and on\nany error; the caller then submits `stat`. `flags`: "
    "AT_SYMLINK_NOFOLLOW\nand AT_EMPTY_PATH (the status of `dir_fd` itself, with an empty `path`).");

PyMethodDef OPEN_CACHED_METHOD = fast_method<py_open_cached>(
    "open_cached",
    "open_cached(path)\n--\n\n`(fd, st_blksize, st_size)`: a descriptor of the regular file at `path`,\n"
    "opened read-only on the calling thread with a lookup that refuses to wait\nfor the disk, the file's "
    "preferred I/O size and its size then; or `None`\nwhen that is not possible (a cache miss, any error, "
    "anything but a regular\nfile). The caller owns the descriptor until it passes it to `adopt`.");
PyMethodDef ADOPT_METHOD = fast_method<py_adopt>(
    "adopt",
    "adopt(fd)\n--\n\nHands the descriptor `fd` to the driver, which owns it from then on; the\n"
    "future resolves to `(handle, 0, fd)` like `open`'s. Never withdrawn by a\ncancellation.");

PyMethodDef READ_OWNED_TO_END_METHOD = fast_method<py_read_owned_to_end>(
    "read_owned_to_end",
    "read_owned_to_end(fd, pos)\n--\n\n`read_to_end` of a descriptor the caller keeps: the driver reads from\n"
    "`pos` to the end through a duplicate of `fd`, which it closes, so no\nhandle is made and `fd` stays "
    "the caller's to close whenever it likes.");

}  // namespace velnor::ext
