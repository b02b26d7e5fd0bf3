#include "core/execute.hpp"

#include <fcntl.h>

#include <utility>

#include "core/cancellation.hpp"
#include "core/file_io.hpp"

namespace velnor::compio_backend {

namespace {

struct Exec {
    std::optional<std::uint64_t> handle_id;
    FileTable& files;
    Cancellation& cancel;

    rt::Task<Outcome> operator()(op::Nop&) { co_return reply::Unit{}; }

    rt::Task<Outcome> operator()(op::Open& o) {
        auto flags = open_flags(o);
        if (auto* e = std::get_if<IoError>(&flags)) co_return *e;
        auto opened = co_await open_path(o.path, std::get<int>(flags), &cancel);
        if (auto* e = std::get_if<IoError>(&opened)) co_return *e;
        FileRef file = std::move(std::get<FileRef>(opened));
        auto size = co_await stat_opened(file);
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
            auto n = co_await read_up_to(file, r.pos, into->ptr, into->len, cancel);
            if (auto* e = std::get_if<IoError>(&n)) co_return *e;
            co_return reply::Read{std::get<std::size_t>(n)};
        }
        Bytes buf;
        if (auto err = alloc_bytes(buf, std::get<Alloc>(r.target).len)) co_return *err;
        auto n = co_await read_up_to(file, r.pos, buf.data(), buf.size(), cancel);
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
        auto n = co_await read_to_end_loop(file, r.pos, buf, cancel);
        if (auto* e = std::get_if<IoError>(&n)) co_return *e;
        buf.resize(std::get<std::size_t>(n));
        co_return reply::Bytes{std::move(buf)};
    }

    rt::Task<Outcome> operator()(op::ReadFile& r) {
        auto opened = co_await open_path(r.path, O_RDONLY | O_CLOEXEC, &cancel);
        if (auto* e = std::get_if<IoError>(&opened)) co_return *e;
        FileRef file = std::move(std::get<FileRef>(opened));
        auto size = co_await stat_opened(file);
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
        auto n = co_await read_to_end_loop(file, 0, buf, cancel);
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
            if (auto err = co_await write_all_at(file, w.data.ptr(), n, w.pos, cancel)) co_return *err;
            co_return reply::Written{n, w.pos + n};
        }
        if (auto err = co_await append_all(file.fd(), w.data)) co_return *err;
        auto size = co_await file_size(file.fd());
        if (auto* e = std::get_if<IoError>(&size)) co_return *e;
        co_return reply::Written{n, std::get<std::uint64_t>(size)};
    }

    rt::Task<Outcome> operator()(op::WriteFile& w) {
        auto opened = co_await open_path(w.path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, &cancel);
        if (auto* e = std::get_if<IoError>(&opened)) co_return *e;
        FileRef file = std::move(std::get<FileRef>(opened));
        const std::size_t n = w.data.size();
        if (auto err = co_await write_all_at(file, w.data.ptr(), n, 0, cancel)) co_return *err;
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
                          Cancellation& cancel) {
    if (cancel.requested()) co_return cancelled_err();
    Exec exec{handle_id, files, cancel};
    co_return co_await std::visit([&](auto& o) { return exec(o); }, op);
}

}  // namespace velnor::compio_backend
