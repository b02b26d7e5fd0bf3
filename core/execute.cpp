#include "core/execute.hpp"

#include <fcntl.h>

#include <utility>

#include "core/cancellation.hpp"
#include "core/file_io.hpp"
#include "core/path_ops.hpp"

namespace velnor::compio_backend {

namespace {

struct Exec {
    std::optional<std::uint64_t> handle_id;
    FileTable& files;
    Cancellation& cancel;

    // Puts an opened file into the table under the id the message loop gave
    // this operation, and answers with its handle.
    reply::Handle register_file(FileRef file, std::uint64_t size, const char* what) {
        if (!handle_id) abort_unreachable(what);
        const std::int64_t fd = file.fd();
        files.with([&](auto& m) { m.insert_or_assign(*handle_id, std::move(file)); });
        return reply::Handle{*handle_id, size, fd};
    }

    rt::Task<Outcome> operator()(op::Nop&) { co_return reply::Unit{}; }

    // No system call: the descriptor was opened and checked by the submitter,
    // which gave it up when it sent this operation.
    rt::Task<Outcome> operator()(op::Adopt& a) {
        if (a.fd < 0) co_return IoError::os(EBADF);
        FileRef file(UniqueFd(a.fd));
        file.set_stream(a.stream);
        co_return register_file(std::move(file), 0, "adopt allocates an id");
    }

    rt::Task<Outcome> operator()(op::PathOp& o) { return path_ops::execute(o, cancel); }

    rt::Task<Outcome> operator()(op::Open& o) {
        VELNOR_CO_TRY(const int flags, open_flags(o));
        VELNOR_CO_TRY(FileRef file, co_await open_path(o.path, flags, &cancel));
        VELNOR_CO_TRY(const std::uint64_t size, co_await stat_opened(file));
        co_return register_file(std::move(file), size, "open allocates an id");
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
        VELNOR_CO_TRY_VOID(co_await close_file(std::move(file)));
        co_return reply::Unit{};
    }

    rt::Task<Outcome> operator()(op::Sync& s) {
        VELNOR_CO_TRY(const FileRef file, lookup(files, s.handle));
        VELNOR_CO_TRY_VOID(from_kernel(co_await rt::fsync(file.fd(), s.data_only)));
        co_return reply::Unit{};
    }

    rt::Task<Outcome> operator()(op::SetLen& s) {
        VELNOR_CO_TRY(const FileRef file, lookup(files, s.handle));
        VELNOR_CO_TRY_VOID(from_kernel(co_await rt::ftruncate(file.fd(), s.size)));
        co_return reply::Unit{};
    }

    rt::Task<Outcome> operator()(op::Size& s) {
        VELNOR_CO_TRY(const FileRef file, lookup(files, s.handle));
        VELNOR_CO_TRY(const std::uint64_t size, co_await file_size(file.fd()));
        co_return reply::Size{size};
    }

    rt::Task<Outcome> operator()(op::Read& r) {
        VELNOR_CO_TRY(const FileRef file, lookup(files, r.handle));
        if (auto* into = std::get_if<RawBufMut>(&r.target)) {
            VELNOR_CO_TRY(const std::size_t n,
                          co_await read_up_to(file, r.pos, into->ptr, into->len, cancel, r.spread));
            co_return reply::Read{n};
        }
        Bytes buf;
        VELNOR_CO_TRY_VOID(alloc_bytes(buf, std::get<Alloc>(r.target).len));
        VELNOR_CO_TRY(const std::size_t n, co_await read_up_to(file, r.pos, buf.data(), buf.size(), cancel));
        buf.resize(n);
        co_return reply::Bytes{std::move(buf)};
    }

    rt::Task<Outcome> operator()(op::ReadToEnd& r) {
        VELNOR_CO_TRY(const FileRef file, lookup(files, r.handle));
        VELNOR_CO_TRY(const std::uint64_t size, co_await file_size(file.fd()));
        VELNOR_CO_TRY(Bytes data, co_await read_sized_to_end(file, r.pos, size, cancel));
        co_return reply::Bytes{std::move(data)};
    }

    rt::Task<Outcome> operator()(op::ReadOwnedToEnd& r) {
        if (r.fd.get() < 0) co_return IoError::os(EBADF);
        FileRef file(std::move(r.fd));
        file.set_stream(r.stream);
        Result<Bytes> data = co_await read_sized_to_end(file, r.pos, r.size, cancel);
        // Closed whatever the read came to: the descriptor is this operation's.
        Result<void> closed = co_await close_file(std::move(file));
        VELNOR_CO_TRY(Bytes bytes, std::move(data));
        VELNOR_CO_TRY_VOID(std::move(closed));
        co_return reply::Bytes{std::move(bytes)};
    }

    rt::Task<Outcome> operator()(op::ReadFile& r) {
        VELNOR_CO_TRY(FileRef file, co_await open_path(r.path, O_RDONLY | O_CLOEXEC, &cancel));
        VELNOR_CO_TRY(const std::uint64_t size, co_await stat_opened(file));
        if (size > r.inline_max) co_return register_file(std::move(file), size, "read_file allocates an id");
        Bytes buf;
        VELNOR_CO_TRY_VOID(alloc_bytes(buf, size + 1));
        VELNOR_CO_TRY(const std::size_t n, co_await read_to_end_loop(file, 0, buf, cancel));
        buf.resize(n);
        VELNOR_CO_TRY_VOID(co_await close_file(std::move(file)));
        co_return reply::Bytes{std::move(buf)};
    }

    rt::Task<Outcome> operator()(op::Write& w) {
        VELNOR_CO_TRY(const FileRef file, lookup(files, w.handle));
        const std::size_t n = w.data.size();
        if (!w.append) {
            VELNOR_CO_TRY_VOID(co_await write_all_at(file, w.data.ptr(), n, w.pos, cancel));
            co_return reply::Written{n, w.pos + n};
        }
        if (file.stream()) {
            // A stream has no end to append at, and its write may wait for a
            // reader for ever: it goes as any stream write, which a cancel
            // withdraws, rather than to a worker nothing can call back.
            VELNOR_CO_TRY_VOID(co_await write_all_at(file, w.data.ptr(), n, 0, cancel));
        } else {
            VELNOR_CO_TRY_VOID(co_await append_all(file.fd(), w.data));
        }
        VELNOR_CO_TRY(const std::uint64_t size, co_await file_size(file.fd()));
        co_return reply::Written{n, size};
    }

    rt::Task<Outcome> operator()(op::WriteFile& w) {
        VELNOR_CO_TRY(FileRef file, co_await open_path(w.path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, &cancel));
        const std::size_t n = w.data.size();
        VELNOR_CO_TRY_VOID(co_await write_all_at(file, w.data.ptr(), n, 0, cancel));
        VELNOR_CO_TRY_VOID(co_await close_file(std::move(file)));
        co_return reply::Written{n, n};
    }
};

}  // namespace

Result<FileRef> lookup(FileTable& files, std::uint64_t handle) {
    return files.with([&](auto& m) -> Result<FileRef> {
        if (auto it = m.find(handle); it != m.end()) return it->second;
        return unknown_handle();
    });
}

rt::Task<Outcome> execute(std::optional<std::uint64_t> handle_id, Op op, FileTable& files,
                          Cancellation& cancel) {
    // An adoption is never withdrawn: the descriptor has no other owner.
    if (cancel.requested() && !std::holds_alternative<op::Adopt>(op)) co_return cancelled_err();
    Exec exec{handle_id, files, cancel};
    co_return co_await std::visit([&](auto& o) { return exec(o); }, op);
}

}  // namespace velnor::compio_backend
