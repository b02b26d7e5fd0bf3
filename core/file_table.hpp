// Open files shared by reference count between the file table and the
// operations running on them. Driver thread only: counts need no atomics.
#pragma once

#include <coroutine>
#include <cstdint>
#include <unordered_map>
#include <utility>

#include "core/unique_fd.hpp"

namespace velnor {

class OpenFile;

// An owning reference to an open file. The descriptor is closed when the
// last reference goes, unless it was taken out with `release_fd`.
class FileRef {
public:
    FileRef() = default;
    explicit FileRef(UniqueFd fd);
    FileRef(const FileRef& o) noexcept;
    FileRef(FileRef&& o) noexcept : f_(std::exchange(o.f_, nullptr)) {}
    FileRef& operator=(FileRef o) noexcept {
        std::swap(f_, o.f_);
        return *this;
    }
    ~FileRef();

    explicit operator bool() const noexcept { return f_ != nullptr; }
    int fd() const noexcept;
    // Suspends until this is the only reference left (every operation that
    // looked the file up before it left the table has let go).
    struct SoleHolder {
        OpenFile* f;
        bool armed = false;
        explicit SoleHolder(OpenFile* file) noexcept : f(file) {}
        SoleHolder(const SoleHolder&) = delete;
        SoleHolder& operator=(const SoleHolder&) = delete;
        // A task destroyed while waiting (driver shutdown) must not be
        // scheduled by a later release.
        ~SoleHolder();
        bool await_ready() const noexcept;
        void await_suspend(std::coroutine_handle<> h) noexcept;
        void await_resume() const noexcept {}
    };
    SoleHolder sole_holder() const noexcept { return SoleHolder{f_}; }
    // Gives up the descriptor without closing it (it is closed by the caller
    // through the ring); drops this reference.
    int release_fd() noexcept;

    // A pipe, FIFO, socket or device: its reads and writes may wait
    // without end. Learnt from the open's statx.
    bool stream() const noexcept;
    void set_stream(bool stream) noexcept;

private:
    OpenFile* f_ = nullptr;
};

class OpenFile {
    friend class FileRef;
    UniqueFd fd_;
    std::uint32_t refs_ = 1;
    bool stream_ = false;
    std::coroutine_handle<> sole_waiter_;
};

// A single-threaded map whose overlapping mutation is a fatal error rather
// than silent corruption (a re-entrant use from a destructor, say).
template <class V>
class GuardedMap {
public:
    template <class F>
    decltype(auto) with(F&& f) {
        if (in_use_) reentered();
        in_use_ = true;
        struct Reset {
            bool& b;
            ~Reset() { b = false; }
        } reset{in_use_};
        return f(map_);
    }

private:
    [[noreturn]] static void reentered() noexcept;
    std::unordered_map<std::uint64_t, V> map_;
    bool in_use_ = false;
};

using FileTable = GuardedMap<FileRef>;
// Node-based: a flag's address stays valid until its entry is erased, so a
// task can hold a pointer to it.
struct PendingOp;
using CancelRegistry = GuardedMap<PendingOp>;

}  // namespace velnor
