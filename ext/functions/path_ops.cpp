// stat, rename, unlink, mkdir, symlink, link, listdir, readlink, chmod,
// access, statvfs, utime, truncate, sendfile, copy_range, open_fd,
// close_fd: file-system calls
// on names or on the caller's descriptors, one `op::PathOp` each. Replies
// reach Python through the drain's generic conversion (bytes, int or None);
// the package turns them into the os module's results.
#include <cstdint>

#include "ext/capi/binder.hpp"
#include "ext/capi/convert.hpp"
#include "ext/capi/entry.hpp"
#include "ext/module_table.hpp"
#include "ext/bridge/submit.hpp"

namespace velnor::ext {
namespace {

using op::PathKind;

std::int64_t to_i64(PyObject* o) {
    Ref index = checked(PyNumber_Index(o));
    const long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw PyError{};
    return v;
}

std::uint32_t to_u32(PyObject* o) {
    const std::uint64_t v = to_u64(o);
    if (v > UINT32_MAX) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(v);
}

std::int64_t arg_i64(const char* name, PyObject* o) {
    return convert_arg(name, [o] { return to_i64(o); });
}
std::uint32_t arg_u32(const char* name, PyObject* o) {
    return convert_arg(name, [o] { return to_u32(o); });
}

// `path` given: a name relative to `dir_fd`; None: `dir_fd` is the file.
void path_or_fd(op::PathOp& o, PyObject* path, PyObject* dir_fd) {
    o.dirfd = arg_fd("dir_fd", dir_fd);
    if (path == Py_None)
        o.on_fd = true;
    else
        o.path = arg_path("path", path);
}

Ref run(op::PathOp o) { return submit(std::move(o), ResultMode::plain(), Owner{}); }

Ref py_stat(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<3> params{"stat", {"path", "dir_fd", "flags"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{PathKind::Stat};
    o.path = arg_path("path", a[0]);
    o.dirfd = arg_fd("dir_fd", a[1]);
    o.flags = arg_u32("flags", a[2]);
    return run(std::move(o));
}

// rename and link: two names, each relative to its own directory.
template <PathKind K>
Ref two_names(const Params<5>& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{K};
    o.path = arg_path("src", a[0]);
    o.path2 = arg_path("dst", a[1]);
    o.dirfd = arg_fd("src_dir_fd", a[2]);
    o.dirfd2 = arg_fd("dst_dir_fd", a[3]);
    o.flags = arg_u32("flags", a[4]);
    return run(std::move(o));
}

Ref py_rename(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<5> params{"rename", {"src", "dst", "src_dir_fd", "dst_dir_fd", "flags"}};
    return two_names<PathKind::Rename>(params, args, nargs, kwnames);
}

Ref py_link(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<5> params{"link", {"src", "dst", "src_dir_fd", "dst_dir_fd", "flags"}};
    return two_names<PathKind::Link>(params, args, nargs, kwnames);
}

Ref py_unlink(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<3> params{"unlink", {"path", "dir_fd", "flags"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{PathKind::Unlink};
    o.path = arg_path("path", a[0]);
    o.dirfd = arg_fd("dir_fd", a[1]);
    o.flags = arg_u32("flags", a[2]);
    return run(std::move(o));
}

Ref py_mkdir(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<3> params{"mkdir", {"path", "dir_fd", "mode"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{PathKind::Mkdir};
    o.path = arg_path("path", a[0]);
    o.dirfd = arg_fd("dir_fd", a[1]);
    o.mode = arg_u32("mode", a[2]);
    return run(std::move(o));
}

Ref py_symlink(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<3> params{"symlink", {"target", "path", "dir_fd"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{PathKind::Symlink};
    o.path = arg_path("target", a[0]);
    o.path2 = arg_path("path", a[1]);
    o.dirfd2 = arg_fd("dir_fd", a[2]);
    return run(std::move(o));
}

// listdir, readlink, statvfs: a name (or the descriptor itself) in, bytes out.
template <PathKind K>
Ref name_to_bytes(const Params<2>& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{K};
    path_or_fd(o, a[0], a[1]);
    return run(std::move(o));
}

Ref py_listdir(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"listdir", {"path", "dir_fd"}};
    return name_to_bytes<PathKind::ListDir>(params, args, nargs, kwnames);
}

Ref py_readlink(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"readlink", {"path", "dir_fd"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{PathKind::ReadLink};
    o.path = arg_path("path", a[0]);
    o.dirfd = arg_fd("dir_fd", a[1]);
    return run(std::move(o));
}

Ref py_statvfs(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"statvfs", {"path", "dir_fd"}};
    return name_to_bytes<PathKind::StatVfs>(params, args, nargs, kwnames);
}

Ref py_chmod(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<4> params{"chmod", {"path", "dir_fd", "mode", "flags"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{PathKind::Chmod};
    path_or_fd(o, a[0], a[1]);
    o.mode = arg_u32("mode", a[2]);
    o.flags = arg_u32("flags", a[3]);
    return run(std::move(o));
}

Ref py_access(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<4> params{"access", {"path", "dir_fd", "mode", "flags"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{PathKind::Access};
    o.path = arg_path("path", a[0]);
    o.dirfd = arg_fd("dir_fd", a[1]);
    o.mode = arg_u32("mode", a[2]);
    o.flags = arg_u32("flags", a[3]);
    return run(std::move(o));
}

Ref py_utime(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<7> params{
        "utime", {"path", "dir_fd", "flags", "atime_sec", "atime_nsec", "mtime_sec", "mtime_nsec"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{PathKind::Utime};
    path_or_fd(o, a[0], a[1]);
    o.flags = arg_u32("flags", a[2]);
    o.num[0] = arg_i64("atime_sec", a[3]);
    o.num[1] = arg_i64("atime_nsec", a[4]);
    o.num[2] = arg_i64("mtime_sec", a[5]);
    o.num[3] = arg_i64("mtime_nsec", a[6]);
    return run(std::move(o));
}

Ref py_truncate(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<3> params{"truncate", {"path", "dir_fd", "length"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{PathKind::Truncate};
    path_or_fd(o, a[0], a[1]);
    o.num[0] = arg_i64("length", a[2]);
    return run(std::move(o));
}

Ref py_sendfile(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<4> params{"sendfile", {"out_fd", "in_fd", "offset", "count"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{PathKind::SendFile};
    o.on_fd = true;
    o.dirfd = arg_fd("out_fd", a[0]);
    o.dirfd2 = arg_fd("in_fd", a[1]);
    o.num[0] = a[2] == Py_None ? -1 : arg_i64("offset", a[2]);
    o.num[1] = static_cast<std::int64_t>(arg_u32("count", a[3]));
    return run(std::move(o));
}

Ref py_copy_range(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"copy_range", {"out_fd", "in_fd"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{PathKind::CopyRange};
    o.on_fd = true;
    o.dirfd = arg_fd("out_fd", a[0]);
    o.dirfd2 = arg_fd("in_fd", a[1]);
    return run(std::move(o));
}

Ref py_open_fd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<4> params{"open_fd", {"path", "dir_fd", "flags", "mode"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{PathKind::OpenFd};
    o.path = arg_path("path", a[0]);
    o.dirfd = arg_fd("dir_fd", a[1]);
    o.flags = arg_u32("flags", a[2]);
    o.mode = arg_u32("mode", a[3]);
    return run(std::move(o));
}

Ref py_close_fd(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> params{"close_fd", {"fd"}};
    const auto a = params.bind(args, nargs, kwnames);
    op::PathOp o{PathKind::CloseFd};
    o.on_fd = true;
    o.dirfd = arg_fd("fd", a[0]);
    return run(std::move(o));
}

}  // namespace

PyMethodDef STAT_METHOD = fast_method<py_stat>(
    "stat",
    "stat(path, dir_fd, flags)\n--\n\n"
    "statx(2) of `path` relative to `dir_fd` with the AT_* `flags`; resolves to the raw "
    "`struct statx` as bytes.");
PyMethodDef RENAME_METHOD = fast_method<py_rename>(
    "rename", "rename(src, dst, src_dir_fd, dst_dir_fd, flags)\n--\n\nrenameat2(2); resolves to None.");
PyMethodDef UNLINK_METHOD =
    fast_method<py_unlink>("unlink", "unlink(path, dir_fd, flags)\n--\n\nunlinkat(2); resolves to None.");
PyMethodDef MKDIR_METHOD =
    fast_method<py_mkdir>("mkdir", "mkdir(path, dir_fd, mode)\n--\n\nmkdirat(2); resolves to None.");
PyMethodDef SYMLINK_METHOD =
    fast_method<py_symlink>("symlink", "symlink(target, path, dir_fd)\n--\n\nsymlinkat(2); resolves to None.");
PyMethodDef LINK_METHOD = fast_method<py_link>(
    "link", "link(src, dst, src_dir_fd, dst_dir_fd, flags)\n--\n\nlinkat(2); resolves to None.");
PyMethodDef LISTDIR_METHOD = fast_method<py_listdir>(
    "listdir",
    "listdir(path, dir_fd)\n--\n\n"
    "The entries of a directory (`dir_fd` itself when `path` is None) but '.' and '..': bytes "
    "holding a u64 count n, n u64 inode numbers, n d_type bytes and the n names each followed by "
    "a NUL.");
PyMethodDef READLINK_METHOD =
    fast_method<py_readlink>("readlink", "readlink(path, dir_fd)\n--\n\nreadlinkat(2); resolves to bytes.");
PyMethodDef CHMOD_METHOD = fast_method<py_chmod>(
    "chmod", "chmod(path, dir_fd, mode, flags)\n--\n\nfchmodat(2), or fchmod(2) when `path` is None.");
PyMethodDef ACCESS_METHOD = fast_method<py_access>(
    "access", "access(path, dir_fd, mode, flags)\n--\n\nfaccessat(2); resolves to None when allowed.");
PyMethodDef STATVFS_METHOD = fast_method<py_statvfs>(
    "statvfs",
    "statvfs(path, dir_fd)\n--\n\n"
    "statvfs(3), or fstatvfs(3) of `dir_fd` when `path` is None: 11 u64 in statvfs order, f_fsid last.");
PyMethodDef UTIME_METHOD = fast_method<py_utime>(
    "utime",
    "utime(path, dir_fd, flags, atime_sec, atime_nsec, mtime_sec, mtime_nsec)\n--\n\n"
    "utimensat(2), or futimens(3) when `path` is None.");
PyMethodDef TRUNCATE_METHOD = fast_method<py_truncate>(
    "truncate", "truncate(path, dir_fd, length)\n--\n\ntruncate(2), or ftruncate(2) of `dir_fd` when `path` is None.");
PyMethodDef SENDFILE_METHOD = fast_method<py_sendfile>(
    "sendfile",
    "sendfile(out_fd, in_fd, offset, count)\n--\n\n"
    "sendfile(2) from `offset` (None: the position of `in_fd`); resolves to the bytes sent.");
PyMethodDef COPY_RANGE_METHOD = fast_method<py_copy_range>(
    "copy_range",
    "copy_range(out_fd, in_fd)\n--\n\n"
    "Everything of `in_fd` into `out_fd`, both from offset 0, in the kernel (copy_file_range(2), "
    "or sendfile(2)); resolves to the bytes copied.");

}  // namespace velnor::ext

namespace velnor::ext {
PyMethodDef OPEN_FD_METHOD = fast_method<py_open_fd>(
    "open_fd",
    "open_fd(path, dir_fd, flags, mode)\n--\n\n"
    "openat(2) with the O_* `flags` and `mode`; resolves to the new descriptor, which the caller "
    "owns (it is not in the handle table).");
PyMethodDef CLOSE_FD_METHOD = fast_method<py_close_fd>(
    "close_fd", "close_fd(fd)\n--\n\nclose(2) of a descriptor the caller owns, by the driver thread.");
}  // namespace velnor::ext
