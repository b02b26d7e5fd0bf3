// The vocabulary shared by the extension and the driver thread: operations,
// replies, errors and the one-shot reply callback. Plain data, no behaviour
// beyond construction, destruction and the reply's text form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/result.hpp"
#include "core/unique_fd.hpp"

namespace velnor {

using Bytes = std::vector<std::uint8_t>;

// Caller memory the kernel fills in place. The core never frees it; whoever
// builds it keeps it valid and untouched until the reply callback returned.
struct RawBufMut {
    std::uint8_t* ptr = nullptr;
    std::size_t len = 0;
};

struct Borrowed {
    const std::uint8_t* ptr = nullptr;
    std::size_t len = 0;
};

// Data of a write: owned by the operation, or a view the submitter keeps
// valid and unchanged until the reply callback returned.
struct Payload {
    std::variant<Bytes, Borrowed> data;

    const std::uint8_t* ptr() const noexcept;
    std::size_t size() const noexcept;
};

struct Alloc {
    std::size_t len = 0;
};
using ReadTarget = std::variant<Alloc, RawBufMut>;

namespace op {
struct Open {
    std::string path;  // raw bytes, no terminator; may hold a NUL
    bool read = false, write = false, append = false;
    bool truncate = false, create = false, create_new = false;
};
struct Read {
    std::uint64_t handle = 0, pos = 0;
    ReadTarget target;
    // One of several chunks of a regular file read together: run on the
    // kernel's workers so that the chunks copy in parallel, rather than one
    // after another inside the driver thread's submitting call.
    bool spread = false;
};
struct ReadToEnd {
    std::uint64_t handle = 0, pos = 0;
};
struct Write {
    std::uint64_t handle = 0, pos = 0;
    Payload data;
    bool append = false;
};
struct Close {
    std::uint64_t handle = 0;
};
struct Sync {
    std::uint64_t handle = 0;
    bool data_only = false;
};
struct SetLen {
    std::uint64_t handle = 0, size = 0;
};
struct Size {
    std::uint64_t handle = 0;
};
struct ReadFile {
    std::string path;
    std::uint64_t inline_max = 0;
};
struct WriteFile {
    std::string path;
    Payload data;
};
struct Nop {};
// A descriptor opened on the submitter's thread, handed to the file table
// when the first driver operation needs it. The driver owns it once the
// operation has run (it cannot fail for a valid descriptor and is never
// withdrawn); an operation that never ran (the driver is gone) leaves it to
// the submitter, which sees the error.
struct Adopt {
    std::int32_t fd = -1;
    // A pipe, socket or character device, whose reads and writes may wait
    // without end and so are withdrawn on a cancel; the submitter knows.
    bool stream = false;
};

// A file-system call on names, or on descriptors the caller owns, outside
// the file table. One shape serves every kind so that the operation stays
// small; each kind reads only the fields named beside it. Descriptors are
// the caller's: it keeps them open until the reply arrived.
enum class PathKind : std::uint8_t {
    Stat,       // dirfd, path, flags (AT_*)                  -> Bytes: struct statx
    Rename,     // dirfd, path -> dirfd2, path2, flags (RENAME_*) -> Unit
    Unlink,     // dirfd, path, flags (AT_REMOVEDIR)          -> Unit
    Mkdir,      // dirfd, path, mode                          -> Unit
    Symlink,    // path (the target) -> dirfd2, path2         -> Unit
    Link,       // dirfd, path -> dirfd2, path2, flags        -> Unit
    ListDir,    // dirfd, path, or dirfd itself               -> Bytes: see the listing format
    ReadLink,   // dirfd, path                                -> Bytes: the target
    Chmod,      // dirfd, path, or dirfd itself; mode, flags  -> Unit
    Access,     // dirfd, path, mode, flags                   -> Unit
    StatVfs,    // path, or dirfd itself                      -> Bytes: 11 u64, statvfs order, fsid last
    Utime,      // dirfd, path, or dirfd itself; flags; num = atime s, ns, mtime s, ns -> Unit
    Truncate,   // path, or dirfd itself; num[0] = length     -> Unit
    SendFile,   // dirfd = out, dirfd2 = in; num = offset, count; flags kFromPosition -> Size
    CopyRange,  // dirfd = out, dirfd2 = in; both from offset 0 to the end of in -> Size
    OpenFd,     // dirfd, path, flags (O_*), mode             -> Size: a descriptor the caller owns
    CloseFd,    // dirfd: a descriptor the caller owned       -> Unit
};

// The listing of a directory, without "." and "..": a u64 count n, n u64
// inode numbers, n d_type bytes, then the n names, each followed by a NUL.
// Native byte order.
// SendFile's flag: from the in descriptor's position, which advances (the
// offset is unused). Any offset given, negative ones included, is the
// kernel's to judge, as os.sendfile leaves it.
inline constexpr std::uint32_t kFromPosition = 1;

struct PathOp {
    PathKind kind = PathKind::Stat;
    bool on_fd = false;  // act on dirfd itself; path is unused
    std::int32_t dirfd = -100, dirfd2 = -100;  // AT_FDCWD
    std::uint32_t flags = 0, mode = 0;
    std::string path, path2;  // raw bytes, no terminator
    std::int64_t num[4] = {0, 0, 0, 0};
};

// Everything from `pos` to the end of a file the submitter keeps to itself:
// read through a duplicate of its descriptor, which the operation owns and
// closes, so that a file opened on the submitter's thread needs no handle
// (and no hand-over, and no driver close) for one read. `size` is the
// file's size as the submitter saw it just before: it sizes the buffer.
struct ReadOwnedToEnd {
    UniqueFd fd;
    std::uint64_t pos = 0, size = 0;
    bool stream = false;  // as Adopt's
};
}  // namespace op

using Op = std::variant<op::Open, op::Read, op::ReadToEnd, op::Write, op::Close, op::Sync,
                        op::SetLen, op::Size, op::ReadFile, op::WriteFile, op::Nop, op::Adopt,
                        op::PathOp, op::ReadOwnedToEnd>;

namespace reply {
struct Handle {
    std::uint64_t id = 0, size = 0;
    std::int64_t fd = -1;
};
struct Bytes {
    velnor::Bytes data;
};
struct Read {
    std::size_t n = 0;
};
struct Written {
    std::size_t n = 0;
    std::uint64_t end = 0;
};
struct Size {
    std::uint64_t size = 0;
};
struct Unit {};
}  // namespace reply

using Reply = std::variant<reply::Handle, reply::Bytes, reply::Read, reply::Written, reply::Size,
                           reply::Unit>;

// `Handle { id: 3, size: 4096, fd: 17 }`, `Bytes([104, 105])`, `Read { n: 5 }`,
// `Written { n: 5, end: 105 }`, `Size(4096)`, `Unit`.
std::string to_string(const Reply& r);

namespace msg {
inline constexpr const char* kDriverGone = "velnor driver thread is gone";
inline constexpr const char* kStartupExit = "compio driver thread exited during startup";
inline constexpr const char* kUnknownHandle = "unknown or closed velnor handle";
inline constexpr const char* kWriteZero = "failed to write whole buffer";
inline constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";
inline constexpr const char* kOutOfMemory = "memory allocation failed";
}  // namespace msg

// Either the reply or the error an operation ended with.
using Outcome = Result<Reply>;

// One-shot; invoked at most once, on the driver thread (or on the submitter's
// thread when the driver is gone), and destroyed right after. Implementations
// must not throw: a failing callback would take the driver thread down.
class ReplyCallback {
public:
    virtual ~ReplyCallback() = default;
    virtual void invoke(Outcome&& outcome) noexcept = 0;
};
using ReplyCallbackPtr = std::unique_ptr<ReplyCallback>;

template <class F>
class FnCallback final : public ReplyCallback {
public:
    explicit FnCallback(F f) : f_(std::move(f)) {}
    void invoke(Outcome&& outcome) noexcept override { f_(std::move(outcome)); }

private:
    F f_;
};

template <class F>
ReplyCallbackPtr make_callback(F f) {
    return std::make_unique<FnCallback<F>>(std::move(f));
}

namespace message {
struct Submit {
    std::uint64_t id = 0;
    Op op;
    ReplyCallbackPtr reply;
};
struct Cancel {
    std::uint64_t id = 0;
};
}  // namespace message
using Msg = std::variant<message::Submit, message::Cancel>;

// An internal invariant failed where nothing can be raised (the driver
// thread, a noexcept path): prints "internal error: entered unreachable
// code: <what>" and ends the process.
[[noreturn]] void abort_unreachable(const char* what) noexcept;

}  // namespace velnor
