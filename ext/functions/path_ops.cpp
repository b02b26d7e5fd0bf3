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

// Where each argument of a call goes in its operation.
enum class Slot : std::uint8_t {
    Path,       // the name
    NameOrFd,   // the name, or None: `dirfd` itself is the file
    Path2,      // the second name
    DirFd,      // what the name is relative to (or the descriptor)
    DirFd2,     // what the second name is relative to (or the second descriptor)
    Flags,      // AT_* / O_* / RENAME_* flags
    Mode,       // permission bits or access mode
    Int,        // the next number, signed 64-bit
    Count,      // the next number, unsigned 32-bit
    Offset,     // the next number, or None for -1
};

template <std::size_t N>
struct PathCall {
    PathKind kind;
    Params<N> params;
    std::array<Slot, N> slots;
    bool on_fd = false;  // descriptors only, no name
};

template <std::size_t N>
op::PathOp build(const PathCall<N>& call, const std::array<PyObject*, N>& a) {
    op::PathOp o{call.kind};
    o.on_fd = call.on_fd;
    std::size_t number = 0;
    for (std::size_t i = 0; i < N; ++i) {
        const char* name = call.params.names[i];
        PyObject* arg = a[i];
        switch (call.slots[i]) {
            case Slot::Path: o.path = arg_path(name, arg); break;
            case Slot::NameOrFd:
                if (arg == Py_None)
                    o.on_fd = true;
                else
                    o.path = arg_path(name, arg);
                break;
            case Slot::Path2: o.path2 = arg_path(name, arg); break;
            case Slot::DirFd: o.dirfd = arg_fd(name, arg); break;
            case Slot::DirFd2: o.dirfd2 = arg_fd(name, arg); break;
            case Slot::Flags: o.flags = arg_u32(name, arg); break;
            case Slot::Mode: o.mode = arg_u32(name, arg); break;
            case Slot::Int: o.num[number++] = arg_i64(name, arg); break;
            case Slot::Count: o.num[number++] = static_cast<std::int64_t>(arg_u32(name, arg)); break;
            case Slot::Offset: o.num[number++] = arg == Py_None ? -1 : arg_i64(name, arg); break;
        }
    }
    return o;
}

template <const auto& Call>
Ref py_path_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return submit(build(Call, Call.params.bind(args, nargs, kwnames)), ResultMode::plain(), Owner{});
}

using enum Slot;

const PathCall<3> STAT{PathKind::Stat, {"stat", {"path", "dir_fd", "flags"}}, {Path, DirFd, Flags}};
const PathCall<5> RENAME{PathKind::Rename,
                         {"rename", {"src", "dst", "src_dir_fd", "dst_dir_fd", "flags"}},
                         {Path, Path2, DirFd, DirFd2, Flags}};
const PathCall<5> LINK{PathKind::Link,
                       {"link", {"src", "dst", "src_dir_fd", "dst_dir_fd", "flags"}},
                       {Path, Path2, DirFd, DirFd2, Flags}};
const PathCall<3> UNLINK{PathKind::Unlink, {"unlink", {"path", "dir_fd", "flags"}}, {Path, DirFd, Flags}};
const PathCall<3> MKDIR{PathKind::Mkdir, {"mkdir", {"path", "dir_fd", "mode"}}, {Path, DirFd, Mode}};
// The link's target is any text: it goes in `path`, the new name in `path2`.
const PathCall<3> SYMLINK{PathKind::Symlink, {"symlink", {"target", "path", "dir_fd"}}, {Path, Path2, DirFd2}};
const PathCall<2> LISTDIR{PathKind::ListDir, {"listdir", {"path", "dir_fd"}}, {NameOrFd, DirFd}};
const PathCall<2> READLINK{PathKind::ReadLink, {"readlink", {"path", "dir_fd"}}, {Path, DirFd}};
const PathCall<2> STATVFS{PathKind::StatVfs, {"statvfs", {"path", "dir_fd"}}, {NameOrFd, DirFd}};
const PathCall<4> CHMOD{PathKind::Chmod, {"chmod", {"path", "dir_fd", "mode", "flags"}}, {NameOrFd, DirFd, Mode, Flags}};
const PathCall<4> ACCESS{PathKind::Access, {"access", {"path", "dir_fd", "mode", "flags"}}, {Path, DirFd, Mode, Flags}};
const PathCall<7> UTIME{
    PathKind::Utime,
    {"utime", {"path", "dir_fd", "flags", "atime_sec", "atime_nsec", "mtime_sec", "mtime_nsec"}},
    {NameOrFd, DirFd, Flags, Int, Int, Int, Int}};
const PathCall<3> TRUNCATE{PathKind::Truncate, {"truncate", {"path", "dir_fd", "length"}}, {NameOrFd, DirFd, Int}};
const PathCall<4> SENDFILE{PathKind::SendFile,
                           {"sendfile", {"out_fd", "in_fd", "offset", "count"}},
                           {DirFd, DirFd2, Offset, Count},
                           true};
const PathCall<2> COPY_RANGE{PathKind::CopyRange, {"copy_range", {"out_fd", "in_fd"}}, {DirFd, DirFd2}, true};
const PathCall<4> OPEN_FD{PathKind::OpenFd, {"open_fd", {"path", "dir_fd", "flags", "mode"}}, {Path, DirFd, Flags, Mode}};
const PathCall<1> CLOSE_FD{PathKind::CloseFd, {"close_fd", {"fd"}}, {DirFd}, true};

}  // namespace

PyMethodDef STAT_METHOD = fast_method<py_path_call<STAT>>(
    "stat",
    "stat(path, dir_fd, flags)\n--\n\n"
    "statx(2) of `path` relative to `dir_fd` with the AT_* `flags`; resolves to the raw "
    "`struct statx` as bytes.");
PyMethodDef RENAME_METHOD = fast_method<py_path_call<RENAME>>(
    "rename", "rename(src, dst, src_dir_fd, dst_dir_fd, flags)\n--\n\nrenameat2(2); resolves to None.");
PyMethodDef UNLINK_METHOD =
    fast_method<py_path_call<UNLINK>>("unlink", "unlink(path, dir_fd, flags)\n--\n\nunlinkat(2); resolves to None.");
PyMethodDef MKDIR_METHOD =
    fast_method<py_path_call<MKDIR>>("mkdir", "mkdir(path, dir_fd, mode)\n--\n\nmkdirat(2); resolves to None.");
PyMethodDef SYMLINK_METHOD =
    fast_method<py_path_call<SYMLINK>>("symlink", "symlink(target, path, dir_fd)\n--\n\nsymlinkat(2); resolves to None.");
PyMethodDef LINK_METHOD = fast_method<py_path_call<LINK>>(
    "link", "link(src, dst, src_dir_fd, dst_dir_fd, flags)\n--\n\nlinkat(2); resolves to None.");
PyMethodDef LISTDIR_METHOD = fast_method<py_path_call<LISTDIR>>(
    "listdir",
    "listdir(path, dir_fd)\n--\n\n"
    "The entries of a directory (`dir_fd` itself when `path` is None) but '.' and '..': bytes "
    "holding a u64 count n, n u64 inode numbers, n d_type bytes and the n names each followed by "
    "a NUL.");
PyMethodDef READLINK_METHOD =
    fast_method<py_path_call<READLINK>>("readlink", "readlink(path, dir_fd)\n--\n\nreadlinkat(2); resolves to bytes.");
PyMethodDef CHMOD_METHOD = fast_method<py_path_call<CHMOD>>(
    "chmod", "chmod(path, dir_fd, mode, flags)\n--\n\nfchmodat(2), or fchmod(2) when `path` is None.");
PyMethodDef ACCESS_METHOD = fast_method<py_path_call<ACCESS>>(
    "access", "access(path, dir_fd, mode, flags)\n--\n\nfaccessat(2); resolves to None when allowed.");
PyMethodDef STATVFS_METHOD = fast_method<py_path_call<STATVFS>>(
    "statvfs",
    "statvfs(path, dir_fd)\n--\n\n"
    "statvfs(3), or fstatvfs(3) of `dir_fd` when `path` is None: 11 u64 in statvfs order, f_fsid last.");
PyMethodDef UTIME_METHOD = fast_method<py_path_call<UTIME>>(
    "utime",
    "utime(path, dir_fd, flags, atime_sec, atime_nsec, mtime_sec, mtime_nsec)\n--\n\n"
    "utimensat(2), or futimens(3) when `path` is None.");
PyMethodDef TRUNCATE_METHOD = fast_method<py_path_call<TRUNCATE>>(
    "truncate", "truncate(path, dir_fd, length)\n--\n\ntruncate(2), or ftruncate(2) of `dir_fd` when `path` is None.");
PyMethodDef SENDFILE_METHOD = fast_method<py_path_call<SENDFILE>>(
    "sendfile",
    "sendfile(out_fd, in_fd, offset, count)\n--\n\n"
    "sendfile(2) from `offset` (None: the position of `in_fd`); resolves to the bytes sent.");
PyMethodDef COPY_RANGE_METHOD = fast_method<py_path_call<COPY_RANGE>>(
    "copy_range",
    "copy_range(out_fd, in_fd)\n--\n\n"
    "Everything of `in_fd` into `out_fd`, both from offset 0, in the kernel (copy_file_range(2), "
    "or sendfile(2)); resolves to the bytes copied.");

PyMethodDef OPEN_FD_METHOD = fast_method<py_path_call<OPEN_FD>>(
    "open_fd",
    "open_fd(path, dir_fd, flags, mode)\n--\n\n"
    "openat(2) with the O_* `flags` and `mode`; resolves to the new descriptor, which the caller "
    "owns (it is not in the handle table).");
PyMethodDef CLOSE_FD_METHOD = fast_method<py_path_call<CLOSE_FD>>(
    "close_fd", "close_fd(fd)\n--\n\nclose(2) of a descriptor the caller owns, by the driver thread.");
}  // namespace velnor::ext
