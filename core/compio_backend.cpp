#include "core/compio_backend.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/path_ops.hpp"

namespace velnor::compio_backend {

// ---------------------------------------------------------------- start-up

void Startup::send(Report r) {
    std::lock_guard lk(mu_);
    if (!report_) report_ = std::move(r);
    cv_.notify_all();
}

void Startup::close() {
    std::lock_guard lk(mu_);
    closed_ = true;
    cv_.notify_all();
}

std::optional<Startup::Report> Startup::wait() {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return report_.has_value() || closed_; });
    return report_;
}

namespace {

// Closes the start-up channel however the thread body ends, so that a thread
// that dies before reporting cannot leave `Driver::create` waiting.
struct StartupSender {
    std::shared_ptr<Startup> s;
    ~StartupSender() { s->close(); }
};

void thread_main(std::shared_ptr<Channel> rx, std::shared_ptr<Startup> startup) {
    StartupSender sender{std::move(startup)};
    pthread_setname_np(pthread_self(), "velnor-compio");
    auto built = rt::Runtime::build();
    if (auto* err = std::get_if<IoError>(&built)) {
        sender.s->send(*err);
        rx->close_receiver();
        return;
    }
    auto runtime = std::move(std::get<std::unique_ptr<rt::Runtime>>(built));
    runtime->make_current();
    rx->set_waker(runtime->waker());
    sender.s->send(runtime->backend());
    run(*runtime, *rx);
}

}  // namespace

std::optional<IoError> spawn(std::shared_ptr<Channel> rx, std::shared_ptr<Startup> startup) {
    try {
        std::thread t(thread_main, std::move(rx), std::move(startup));
        t.detach();
    } catch (const std::system_error& e) {
        return IoError::os(e.code().value() ? e.code().value() : EAGAIN);
    } catch (const std::bad_alloc&) {
        return IoError::os(ENOMEM);
    }
    return std::nullopt;
}

// ------------------------------------------------------------ message loop

namespace {

struct LoopState {
    FileTable files;
    CancelRegistry cancels;
    std::uint64_t next_handle = 1;
};

// One task per submitted operation: execute, unregister, reply.
rt::Task<void> op_task(std::uint64_t id, std::optional<std::uint64_t> handle_id, Op op,
                       LoopState& state, const bool& cancelled, ReplyCallbackPtr reply) {
    Outcome out = co_await execute(handle_id, std::move(op), state.files, cancelled);
    state.cancels.with([&](auto& m) { m.erase(id); });
    reply->invoke(std::move(out));
}

void on_message(rt::Runtime& runtime, LoopState& state, Msg& m) {
    if (auto* c = std::get_if<message::Cancel>(&m)) {
        state.cancels.with([&](auto& map) {
            if (auto it = map.find(c->id); it != map.end()) it->second = true;
        });
        return;
    }
    auto& s = std::get<message::Submit>(m);
    std::optional<std::uint64_t> handle_id;
    // The id is used up on receipt, whatever becomes of the operation.
    if (std::holds_alternative<op::Open>(s.op) || std::holds_alternative<op::ReadFile>(s.op))
        handle_id = state.next_handle++;
    const bool* flag = state.cancels.with([&](auto& map) {
        auto [it, inserted] = map.insert_or_assign(s.id, false);
        return &it->second;
    });
    runtime.spawn(op_task(s.id, handle_id, std::move(s.op), state, *flag, std::move(s.reply)));
}

}  // namespace

void run(rt::Runtime& runtime, Channel& rx) {
    LoopState state;
    std::vector<Msg> batch;
    const auto has_external = [&rx] { return rx.has_pending(); };
    for (;;) {
        if (!rx.take_all(batch)) break;
        for (auto& m : batch) on_message(runtime, state, m);
        batch.clear();
        const bool more = runtime.run_ready(rt::Runtime::kEventInterval);
        runtime.turn(!more, has_external);
    }
    rx.close_receiver();
    runtime.run_ready(UINT_MAX);
    // Waits for every request still in the kernel or on a worker, then
    // destroys unfinished tasks: their callbacks are dropped uncalled.
    runtime.shutdown();
}

// --------------------------------------------------------------- execution

namespace {

constexpr std::uint32_t kMaxIo = 0xFFFFFFFFu;  // the SQE length field
constexpr std::uint32_t kStatxMask = 0x3fff;

IoError os_err(std::int64_t res) { return IoError::os(static_cast<int>(-res)); }
IoError cancelled_err() { return IoError::os(ECANCELED); }
IoError unknown_handle() { return IoError::of(ErrorKind::InvalidInput, msg::kUnknownHandle); }

std::uint32_t cap(std::uint64_t n) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, kMaxIo)); }

// File offsets are signed in the kernel, and -1 means "the descriptor's own
// position" to io_uring and preadv2 alike: a position past the signed range
// must fail rather than read or write somewhere else.
constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(INT64_MAX);
bool offset_ok(std::uint64_t pos, std::uint64_t done) { return pos <= kMaxOffset && done <= kMaxOffset - pos; }

// Open flags of the six booleans, or EINVAL for impossible combinations.
std::variant<int, IoError> open_flags(const op::Open& o) {
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
rt::Task<std::variant<FileRef, IoError>> open_path(const std::string& path, int flags) {
    if (path.find('\0') != std::string::npos)
        co_return IoError::of(ErrorKind::InvalidInput, msg::kNulInPath);
    const std::int32_t r = co_await rt::openat(path.c_str(), static_cast<std::uint32_t>(flags | O_LARGEFILE), 0666);
    if (r < 0) co_return os_err(r);
    co_return FileRef(r);
}

rt::Task<std::variant<std::uint64_t, IoError>> file_size(int fd) {
    struct ::statx stx {};
    const std::int32_t r = co_await rt::statx_fd(fd, &stx);
    if (r < 0) co_return os_err(r);
    co_return static_cast<std::uint64_t>(stx.stx_size);
}

// Closes an explicitly closed file: after every other holder let go, through
// the runtime rather than a blocking close on this thread.
rt::Task<std::optional<IoError>> close_file(FileRef file) {
    co_await file.sole_holder();
    const int fd = file.release_fd();
    const std::int32_t r = co_await rt::close(fd);
    if (r < 0) co_return os_err(r);
    co_return std::nullopt;
}

// Fills [dst, dst+n) from `pos` until full, end of file, error or cancel.
rt::Task<std::variant<std::size_t, IoError>> read_up_to(const FileRef& file, std::uint64_t pos,
                                                        std::uint8_t* dst, std::size_t n,
                                                        const bool& cancelled) {
    std::size_t filled = 0;
    for (;;) {
        // Tested before the full check: a read whose last kernel request just
        // filled the destination still reports the cancel raised meanwhile.
        if (cancelled) co_return cancelled_err();
        if (filled == n) break;
        if (!offset_ok(pos, filled)) co_return IoError::os(EINVAL);
        const std::int32_t r = co_await rt::read_at(file.fd(), dst + filled, cap(n - filled), pos + filled);
        if (r < 0) co_return os_err(r);
        if (r == 0) break;
        filled += static_cast<std::size_t>(r);
    }
    co_return filled;
}

// Reads from `pos` to end of file into `buf` (whose size is the capacity),
// growing it as the file grows. Returns the length read.
rt::Task<std::variant<std::size_t, IoError>> read_to_end_loop(int fd, std::uint64_t pos, Bytes& buf) {
    std::size_t len = 0;
    for (;;) {
        if (len == buf.size()) {
            try {
                buf.resize(std::max(buf.size() * 2, len + 32));
            } catch (const std::exception&) {
                co_return IoError::of(ErrorKind::OutOfMemory, msg::kOutOfMemory);
            }
        }
        if (!offset_ok(pos, len)) co_return IoError::os(EINVAL);
        const std::int32_t r = co_await rt::read_at(fd, buf.data() + len, cap(buf.size() - len), pos + len);
        if (r == -EINTR) continue;
        if (r < 0) co_return os_err(r);
        if (r == 0) break;
        len += static_cast<std::size_t>(r);
    }
    co_return len;
}

std::optional<IoError> alloc_bytes(Bytes& buf, std::uint64_t n) {
    try {
        if (n > buf.max_size()) throw std::length_error("too large");
        buf.resize(static_cast<std::size_t>(n));
    } catch (const std::exception&) {
        return IoError::of(ErrorKind::OutOfMemory, msg::kOutOfMemory);
    }
    return std::nullopt;
}

rt::Task<std::optional<IoError>> write_all_at(int fd, const std::uint8_t* src, std::size_t n, std::uint64_t pos) {
    std::size_t written = 0;
    while (written < n) {
        if (!offset_ok(pos, written)) co_return IoError::os(EINVAL);
        const std::int32_t r = co_await rt::write_at(fd, src + written, cap(n - written), pos + written);
        if (r == -EINTR) continue;
        if (r < 0) co_return os_err(r);
        if (r == 0) co_return IoError::of(ErrorKind::WriteZero, msg::kWriteZero);
        written += static_cast<std::size_t>(r);
    }
    co_return std::nullopt;
}

// The append loop runs on a worker: write(2) lands at the descriptor's own
// position, atomically at end of file with O_APPEND.
rt::Task<std::optional<IoError>> append_all(int fd, const Payload& data) {
    const std::uint8_t* p = data.ptr();
    const std::size_t n = data.size();
    rt::Blocking job{[fd, p, n]() -> std::int64_t {
        std::size_t written = 0;
        while (written < n) {
            const ssize_t r = ::write(fd, p + written, n - written);
            if (r < 0) return -errno;
            // No progress for a non-empty request would spin forever.
            if (r == 0) return -EIO;
            written += static_cast<std::size_t>(r);
        }
        return 0;
    }};
    const std::optional<std::int64_t> r = co_await job;
    if (!r) co_return IoError::of(ErrorKind::Other, msg::kAppendCancelled);
    if (*r < 0) co_return os_err(*r);
    co_return std::nullopt;
}

struct Exec {
    std::optional<std::uint64_t> handle_id;
    FileTable& files;
    const bool& cancelled;

    rt::Task<Outcome> operator()(op::Nop&) { co_return reply::Unit{}; }

    rt::Task<Outcome> operator()(op::PathOp& o) { return path_ops::execute(o); }

    rt::Task<Outcome> operator()(op::Open& o) {
        auto flags = open_flags(o);
        if (auto* e = std::get_if<IoError>(&flags)) co_return *e;
        auto opened = co_await open_path(o.path, std::get<int>(flags));
        if (auto* e = std::get_if<IoError>(&opened)) co_return *e;
        FileRef file = std::move(std::get<FileRef>(opened));
        auto size = co_await file_size(file.fd());
        if (auto* e = std::get_if<IoError>(&size)) co_return *e;
        if (!handle_id) unreachable("open allocates an id");
        const std::int64_t fd = file.fd();
        files.with([&](auto& m) { m.insert_or_assign(*handle_id, std::move(file)); });
        co_return reply::Handle{*handle_id, std::get<std::uint64_t>(size), fd};
    }

    rt::Task<Outcome> operator()(op::Close& c) {
        FileRef file = files.with([&](auto& m) {
            FileRef f;
            if (auto it = m.find(c.handle); it != m.end()) {
                f = std::move(it->second);
                m.erase(it);
            }
            return f;
        });
        if (!file) co_return unknown_handle();
        if (auto err = co_await close_file(std::move(file))) co_return *err;
        co_return reply::Unit{};
    }

    rt::Task<Outcome> operator()(op::Sync& s) {
        auto file = lookup(files, s.handle);
        if (auto* e = std::get_if<IoError>(&file)) co_return *e;
        const std::int32_t r = co_await rt::fsync(std::get<FileRef>(file).fd(), s.data_only);
        if (r < 0) co_return os_err(r);
        co_return reply::Unit{};
    }

    rt::Task<Outcome> operator()(op::SetLen& s) {
        auto file = lookup(files, s.handle);
        if (auto* e = std::get_if<IoError>(&file)) co_return *e;
        const std::int32_t r = co_await rt::ftruncate(std::get<FileRef>(file).fd(), s.size);
        if (r < 0) co_return os_err(r);
        co_return reply::Unit{};
    }

    rt::Task<Outcome> operator()(op::Size& s) {
        auto file = lookup(files, s.handle);
        if (auto* e = std::get_if<IoError>(&file)) co_return *e;
        auto size = co_await file_size(std::get<FileRef>(file).fd());
        if (auto* e = std::get_if<IoError>(&size)) co_return *e;
        co_return reply::Size{std::get<std::uint64_t>(size)};
    }

    rt::Task<Outcome> operator()(op::Read& r) {
        auto looked = lookup(files, r.handle);
        if (auto* e = std::get_if<IoError>(&looked)) co_return *e;
        const FileRef file = std::move(std::get<FileRef>(looked));
        if (auto* into = std::get_if<RawBufMut>(&r.target)) {
            auto n = co_await read_up_to(file, r.pos, into->ptr, into->len, cancelled);
            if (auto* e = std::get_if<IoError>(&n)) co_return *e;
            co_return reply::Read{std::get<std::size_t>(n)};
        }
        Bytes buf;
        if (auto err = alloc_bytes(buf, std::get<Alloc>(r.target).len)) co_return *err;
        auto n = co_await read_up_to(file, r.pos, buf.data(), buf.size(), cancelled);
        if (auto* e = std::get_if<IoError>(&n)) co_return *e;
        buf.resize(std::get<std::size_t>(n));
        co_return reply::Bytes{std::move(buf)};
    }

    rt::Task<Outcome> operator()(op::ReadToEnd& r) {
        auto looked = lookup(files, r.handle);
        if (auto* e = std::get_if<IoError>(&looked)) co_return *e;
        const FileRef file = std::move(std::get<FileRef>(looked));
        auto size = co_await file_size(file.fd());
        if (auto* e = std::get_if<IoError>(&size)) co_return *e;
        const std::uint64_t sz = std::get<std::uint64_t>(size);
        Bytes buf;
        // One spare byte lets the final zero-length read find room without a
        // reallocation when the file has not grown.
        if (auto err = alloc_bytes(buf, (r.pos < sz ? sz - r.pos : 0) + 1)) co_return *err;
        auto n = co_await read_to_end_loop(file.fd(), r.pos, buf);
        if (auto* e = std::get_if<IoError>(&n)) co_return *e;
        buf.resize(std::get<std::size_t>(n));
        co_return reply::Bytes{std::move(buf)};
    }

    rt::Task<Outcome> operator()(op::ReadFile& r) {
        auto opened = co_await open_path(r.path, O_RDONLY | O_CLOEXEC);
        if (auto* e = std::get_if<IoError>(&opened)) co_return *e;
        FileRef file = std::move(std::get<FileRef>(opened));
        auto size = co_await file_size(file.fd());
        if (auto* e = std::get_if<IoError>(&size)) co_return *e;
        const std::uint64_t sz = std::get<std::uint64_t>(size);
        if (sz > r.inline_max) {
            if (!handle_id) unreachable("read_file allocates an id");
            const std::int64_t fd = file.fd();
            files.with([&](auto& m) { m.insert_or_assign(*handle_id, std::move(file)); });
            co_return reply::Handle{*handle_id, sz, fd};
        }
        Bytes buf;
        if (auto err = alloc_bytes(buf, sz + 1)) co_return *err;
        auto n = co_await read_to_end_loop(file.fd(), 0, buf);
        if (auto* e = std::get_if<IoError>(&n)) co_return *e;
        buf.resize(std::get<std::size_t>(n));
        if (auto err = co_await close_file(std::move(file))) co_return *err;
        co_return reply::Bytes{std::move(buf)};
    }

    rt::Task<Outcome> operator()(op::Write& w) {
        auto looked = lookup(files, w.handle);
        if (auto* e = std::get_if<IoError>(&looked)) co_return *e;
        const FileRef file = std::move(std::get<FileRef>(looked));
        const std::size_t n = w.data.size();
        if (!w.append) {
            if (auto err = co_await write_all_at(file.fd(), w.data.ptr(), n, w.pos)) co_return *err;
            co_return reply::Written{n, w.pos + n};
        }
        if (auto err = co_await append_all(file.fd(), w.data)) co_return *err;
        auto size = co_await file_size(file.fd());
        if (auto* e = std::get_if<IoError>(&size)) co_return *e;
        co_return reply::Written{n, std::get<std::uint64_t>(size)};
    }

    rt::Task<Outcome> operator()(op::WriteFile& w) {
        auto opened = co_await open_path(w.path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
        if (auto* e = std::get_if<IoError>(&opened)) co_return *e;
        FileRef file = std::move(std::get<FileRef>(opened));
        const std::size_t n = w.data.size();
        if (auto err = co_await write_all_at(file.fd(), w.data.ptr(), n, 0)) co_return *err;
        if (auto err = co_await close_file(std::move(file))) co_return *err;
        co_return reply::Written{n, n};
    }
};

}  // namespace

std::variant<FileRef, IoError> lookup(FileTable& files, std::uint64_t handle) {
    return files.with([&](auto& m) -> std::variant<FileRef, IoError> {
        if (auto it = m.find(handle); it != m.end()) return it->second;
        return unknown_handle();
    });
}

rt::Task<Outcome> execute(std::optional<std::uint64_t> handle_id, Op op, FileTable& files,
                          const bool& cancelled) {
    if (cancelled) co_return cancelled_err();
    Exec exec{handle_id, files, cancelled};
    co_return co_await std::visit([&](auto& o) { return exec(o); }, op);
}

}  // namespace velnor::compio_backend
