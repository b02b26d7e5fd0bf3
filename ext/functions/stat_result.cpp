// stat_result_of: the os.stat_result of a raw struct statx. Built in
// Python, the nineteen fields (three times each as seconds, a float and
// nanoseconds, two device numbers) cost more than the lookup that found
// them; os.stat builds the same object in C.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>

#include "ext/capi/binder.hpp"
#include "ext/capi/calls.hpp"
#include "ext/capi/entry.hpp"
#include "ext/module_table.hpp"

namespace velnor::ext {
namespace {

constexpr std::int64_t kGiga = 1'000'000'000;

Ref seconds_of(const statx_timestamp& t) {
    // As Python computes s + ns * 1e-9: the same roundings, the same float.
    return checked(PyFloat_FromDouble(static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9));
}

Ref nanoseconds_of(const statx_timestamp& t) {
    std::int64_t total;
    if (!__builtin_mul_overflow(t.tv_sec, kGiga, &total) && !__builtin_add_overflow(total, t.tv_nsec, &total))
        return i64_to_int(total);
    // Past the year 2262 (or long before 1970): Python's integers go on.
    Ref s = i64_to_int(t.tv_sec);
    Ref giga = i64_to_int(kGiga);
    Ref scaled = checked(PyNumber_Multiply(s.get(), giga.get()));
    Ref ns = u64_to_int(t.tv_nsec);
    return checked(PyNumber_Add(scaled.get(), ns.get()));
}

Ref py_stat_result_of(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<2> params{"stat_result_of", {"raw", "result_type"}};
    const auto a = params.bind(args, nargs, kwnames);
    struct ::statx sx {};
    if (!PyBytes_Check(a[0]) || PyBytes_Size(a[0]) < static_cast<Py_ssize_t>(sizeof sx))
        raise(PyExc_ValueError, "stat_result_of needs the bytes of a struct statx");
    std::memcpy(&sx, PyBytes_AsString(a[0]), sizeof sx);
    Ref fields[] = {
        u64_to_int(sx.stx_mode),
        u64_to_int(sx.stx_ino),
        u64_to_int(makedev(sx.stx_dev_major, sx.stx_dev_minor)),
        u64_to_int(sx.stx_nlink),
        u64_to_int(sx.stx_uid),
        u64_to_int(sx.stx_gid),
        u64_to_int(sx.stx_size),
        i64_to_int(sx.stx_atime.tv_sec),
        i64_to_int(sx.stx_mtime.tv_sec),
        i64_to_int(sx.stx_ctime.tv_sec),
        seconds_of(sx.stx_atime),
        seconds_of(sx.stx_mtime),
        seconds_of(sx.stx_ctime),
        nanoseconds_of(sx.stx_atime),
        nanoseconds_of(sx.stx_mtime),
        nanoseconds_of(sx.stx_ctime),
        u64_to_int(sx.stx_blksize),
        u64_to_int(sx.stx_blocks),
        u64_to_int(makedev(sx.stx_rdev_major, sx.stx_rdev_minor)),
    };
    constexpr Py_ssize_t n = static_cast<Py_ssize_t>(std::size(fields));
    Ref tuple = checked(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SetItem(tuple.get(), i, fields[i].release());
    return call(a[1], {tuple.get()});
}

}  // namespace

PyMethodDef STAT_RESULT_OF_METHOD = fast_method<py_stat_result_of>(
    "stat_result_of",
    "stat_result_of(raw, result_type)\n--\n\n`result_type` (os.stat_result) of the raw `struct statx` that `stat` and\n"
    "`stat_cached` return, field for field as os.stat fills it.");

}  // namespace velnor::ext
