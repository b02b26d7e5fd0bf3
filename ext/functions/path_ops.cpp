// stat, rename, unlink, mkdir, symlink, link, listdir, readlink, chmod,
// access, statvfs, utime, truncate, sendfile, copy_range, open_fd,
// close_fd: file-system calls
// on names or on the caller's descriptors, one `op::PathOp` each. Replies
// reach Python through the drain's generic conversion (bytes, int or None);
// the package turns them into the os module's results.
#include <climits>
#include <cstdint>
#include <string>

#include "ext/capi/binder.hpp"
#include "ext/capi/convert.hpp"
#include "ext/capi/entry.hpp"
#include "ext/module_table.hpp"
#include "ext/bridge/submit.hpp"

namespace velnor::ext {
namespace {

using op::PathKind;

// The os module's numbers are C longs (offsets, lengths, times) or ints
// (modes, flags), and overflow with its messages.
long to_c_long(PyObject* o, const char* overflow_message) {
    Ref index = checked(PyNumber_Index(o));
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyError{};
    if (overflow != 0) raise(PyExc_OverflowError, overflow_message);
    return v;
}

std::int64_t to_i64(PyObject* o) {
    static_assert(sizeof(long) == sizeof(std::int64_t));
    return to_c_long(o, "Python int too large to convert to C long");
}

// Any C int, negative ones included, reaching the kernel as the same bits.
std::uint32_t to_c_int_bits(PyObject* o) {
    constexpr const char* kTooLarge = "Python int too large to convert to C int";
    const long v = to_c_long(o, kTooLarge);
    if (v < INT_MIN || v > INT_MAX) raise(PyExc_OverflowError, kTooLarge);
    return static_cast<std::uint32_t>(static_cast<int>(v));
}

std::int64_t arg_i64(const char* name, PyObject* o) {
    return convert_arg(name, [o] { return to_i64(o); });
}
std::uint32_t arg_c_int(const char* name, PyObject* o) {
    return convert_arg(name, [o] { return to_c_int_bits(o); });
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
    Offset,     // the next number, or None: from the position (op::kFromPosition)
};

template <std::size_t N>
struct PathCall {
    PathKind kind;
    Params<N> params;
    std::array<Slot, N> slots;
    const char* summary;  // the doc after the signature line
    bool on_fd = false;   // descriptors only, no name
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
            case Slot::Flags: o.flags = arg_c_int(name, arg); break;
            case Slot::Mode: o.mode = arg_c_int(name, arg); break;
            case Slot::Int: o.num[number++] = arg_i64(name, arg); break;
            case Slot::Offset:
                if (arg == Py_None)
                    o.flags |= op::kFromPosition;
                else
                    o.num[number] = arg_i64(name, arg);
                ++number;
                break;
        }
    }
    return o;
}

template <const auto& Call>
Ref py_path_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return submit(build(Call, Call.params.bind(args, nargs, kwnames)), ResultMode::plain(), Owner{});
}

// The method row, its doc the signature line and the summary.
template <const auto& Call>
PyMethodDef path_method() {
    static const std::string doc = [] {
        std::string d = std::string(Call.params.function) + "(";
        for (const char* name : Call.params.names) d += std::string(d.back() == '(' ? "" : ", ") + name;
        return d + ")\n--\n\n" + Call.summary;
    }();
    return fast_method<py_path_call<Call>>(Call.params.function, doc.c_str());
}

using enum Slot;

const PathCall<3> STAT{
    PathKind::Stat, {"stat", {"path", "dir_fd", "flags"}}, {Path, DirFd, Flags},
    "statx(2) of `path` relative to `dir_fd` with the AT_* `flags`; resolves to the raw "
    "`struct statx` as bytes."};
const PathCall<5> RENAME{
    PathKind::Rename, {"rename", {"src", "dst", "src_dir_fd", "dst_dir_fd", "flags"}}, {Path, Path2, DirFd, DirFd2, Flags},
    "renameat2(2); resolves to None."};
const PathCall<5> LINK{
    PathKind::Link, {"link", {"src", "dst", "src_dir_fd", "dst_dir_fd", "flags"}}, {Path, Path2, DirFd, DirFd2, Flags},
    "linkat(2); resolves to None."};
const PathCall<3> UNLINK{
    PathKind::Unlink, {"unlink", {"path", "dir_fd", "flags"}}, {Path, DirFd, Flags},
    "unlinkat(2); resolves to None."};
const PathCall<3> MKDIR{
    PathKind::Mkdir, {"mkdir", {"path", "dir_fd", "mode"}}, {Path, DirFd, Mode},
    "mkdirat(2); resolves to None."};
// The link's target is any text: it goes in `path`, the new name in `path2`.
const PathCall<3> SYMLINK{
    PathKind::Symlink, {"symlink", {"target", "path", "dir_fd"}}, {Path, Path2, DirFd2},
    "symlinkat(2); resolves to None."};
const PathCall<2> LISTDIR{
    PathKind::ListDir, {"listdir", {"path", "dir_fd"}}, {NameOrFd, DirFd},
    "The entries of a directory (`dir_fd` itself when `path` is None) but '.' and '..': bytes "
    "holding a u64 count n, n u64 inode numbers, n d_type bytes and the n names each followed "
    "by a NUL."};
const PathCall<2> READLINK{
    PathKind::ReadLink, {"readlink", {"path", "dir_fd"}}, {Path, DirFd},
    "readlinkat(2); resolves to bytes."};
const PathCall<2> STATVFS{
    PathKind::StatVfs, {"statvfs", {"path", "dir_fd"}}, {NameOrFd, DirFd},
    "statvfs(3), or fstatvfs(3) of `dir_fd` when `path` is None: 11 u64 in statvfs order, "
    "f_fsid last."};
const PathCall<4> CHMOD{
    PathKind::Chmod, {"chmod", {"path", "dir_fd", "mode", "flags"}}, {NameOrFd, DirFd, Mode, Flags},
    "fchmodat(2), or fchmod(2) when `path` is None."};
const PathCall<4> ACCESS{
    PathKind::Access, {"access", {"path", "dir_fd", "mode", "flags"}}, {Path, DirFd, Mode, Flags},
    "faccessat(2); resolves to None when allowed."};
const PathCall<7> UTIME{
    PathKind::Utime, {"utime", {"path", "dir_fd", "flags", "atime_sec", "atime_nsec", "mtime_sec", "mtime_nsec"}}, {NameOrFd, DirFd, Flags, Int, Int, Int, Int},
    "utimensat(2), or futimens(3) when `path` is None."};
const PathCall<3> TRUNCATE{
    PathKind::Truncate, {"truncate", {"path", "dir_fd", "length"}}, {NameOrFd, DirFd, Int},
    "truncate(2), or ftruncate(2) of `dir_fd` when `path` is None."};
const PathCall<4> SENDFILE{
    PathKind::SendFile, {"sendfile", {"out_fd", "in_fd", "offset", "count"}}, {DirFd, DirFd2, Offset, Int},
    "sendfile(2) from `offset` (None: the position of `in_fd`); resolves to the bytes sent.",
    true};
const PathCall<2> COPY_RANGE{
    PathKind::CopyRange, {"copy_range", {"out_fd", "in_fd"}}, {DirFd, DirFd2},
    "Everything of `in_fd` into `out_fd`, both from offset 0, in the kernel "
    "(copy_file_range(2), or sendfile(2)); resolves to the bytes copied.",
    true};
const PathCall<4> OPEN_FD{
    PathKind::OpenFd, {"open_fd", {"path", "dir_fd", "flags", "mode"}}, {Path, DirFd, Flags, Mode},
    "openat(2) with the O_* `flags` and `mode`; resolves to the new descriptor, which the "
    "caller owns (it is not in the handle table)."};
const PathCall<1> CLOSE_FD{
    PathKind::CloseFd, {"close_fd", {"fd"}}, {DirFd},
    "close(2) of a descriptor the caller owns, by the driver thread.",
    true};

}  // namespace

PyMethodDef STAT_METHOD = path_method<STAT>();
PyMethodDef RENAME_METHOD = path_method<RENAME>();
PyMethodDef UNLINK_METHOD = path_method<UNLINK>();
PyMethodDef MKDIR_METHOD = path_method<MKDIR>();
PyMethodDef SYMLINK_METHOD = path_method<SYMLINK>();
PyMethodDef LINK_METHOD = path_method<LINK>();
PyMethodDef LISTDIR_METHOD = path_method<LISTDIR>();
PyMethodDef READLINK_METHOD = path_method<READLINK>();
PyMethodDef CHMOD_METHOD = path_method<CHMOD>();
PyMethodDef ACCESS_METHOD = path_method<ACCESS>();
PyMethodDef STATVFS_METHOD = path_method<STATVFS>();
PyMethodDef UTIME_METHOD = path_method<UTIME>();
PyMethodDef TRUNCATE_METHOD = path_method<TRUNCATE>();
PyMethodDef SENDFILE_METHOD = path_method<SENDFILE>();
PyMethodDef COPY_RANGE_METHOD = path_method<COPY_RANGE>();
PyMethodDef OPEN_FD_METHOD = path_method<OPEN_FD>();
PyMethodDef CLOSE_FD_METHOD = path_method<CLOSE_FD>();

}  // namespace velnor::ext
