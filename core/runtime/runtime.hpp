// The completion runtime of the driver thread: a FIFO executor of coroutine
// tasks over one proactor (io_uring, or epoll with every file operation on
// the blocking worker pool). Everything here runs on the driver thread except
// `Waker::wake`, which any thread may call.
#pragma once

#include <atomic>
#include <chrono>
#include <coroutine>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "core/op.hpp"
#include "core/runtime/task.hpp"

struct statx;

namespace velnor::rt {

// Opcode numbers, defined here because the installed UAPI headers may
// predate the running kernel.
namespace opcode {
inline constexpr std::uint8_t kNop = 0;
inline constexpr std::uint8_t kReadv = 1;
inline constexpr std::uint8_t kWritev = 2;
inline constexpr std::uint8_t kFsync = 3;
inline constexpr std::uint8_t kPollAdd = 6;
inline constexpr std::uint8_t kSendmsg = 9;
inline constexpr std::uint8_t kRecvmsg = 10;
inline constexpr std::uint8_t kTimeout = 11;
inline constexpr std::uint8_t kAccept = 13;
inline constexpr std::uint8_t kAsyncCancel = 14;
inline constexpr std::uint8_t kConnect = 16;
inline constexpr std::uint8_t kOpenat = 18;
inline constexpr std::uint8_t kClose = 19;
inline constexpr std::uint8_t kStatx = 21;
inline constexpr std::uint8_t kRead = 22;
inline constexpr std::uint8_t kWrite = 23;
inline constexpr std::uint8_t kSend = 26;
inline constexpr std::uint8_t kRecv = 27;
inline constexpr std::uint8_t kRenameat = 35;
inline constexpr std::uint8_t kUnlinkat = 36;
inline constexpr std::uint8_t kMkdirat = 37;
inline constexpr std::uint8_t kSymlinkat = 38;
inline constexpr std::uint8_t kLinkat = 39;
inline constexpr std::uint8_t kFtruncate = 55;
}  // namespace opcode

enum class Backend : std::uint8_t { Polling, IoUring };

// One kernel request, in the terms of an io_uring submission entry. On the
// pool it is performed as the equivalent blocking system call with the same
// result convention: >= 0 on success, -errno on failure.
struct KernelRequest {
    std::uint8_t opcode = opcode::kNop;
    std::int32_t fd = -1;       // descriptor, or directory of a path (the old one for RENAMEAT/LINKAT)
    std::uint64_t off = 0;      // file offset; new length for FTRUNCATE
    std::uint64_t addr = 0;     // buffer, or path (the old path, the symlink's target)
    std::uint32_t len = 0;      // byte count; mode for OPENAT/MKDIRAT; mask for STATX;
                                // the new directory for RENAMEAT/LINKAT
    std::uint32_t op_flags = 0; // open, fsync, statx, rename, unlink, link flags
    std::uint64_t addr2 = 0;    // struct statx* for STATX; the new path for RENAMEAT/LINKAT/SYMLINKAT
    // The descriptor is a pipe, FIFO, socket or device: a READ or WRITE may
    // wait without end for a peer. The fallback then waits for readiness
    // in epoll instead of parking a worker in the call.
    bool stream = false;
    // One chunk of a large read of a regular file: run by the idle readers
    // where there are any, else handed to the kernel's workers at once
    // instead of inline in the submitting call (IOSQE_ASYNC); the fallback's
    // pool runs it like any read.
    bool spread = false;

    std::int32_t res = 0;
    // Called on the driver thread once the request has completed; during
    // shutdown it is not called (the request is only accounted as done).
    void (*on_complete)(KernelRequest*) noexcept = nullptr;
    std::coroutine_handle<> waiter;

    // The runtime's list of requests on the ring (so that shutdown can
    // cancel them); not for callers.
    KernelRequest* ring_prev = nullptr;
    KernelRequest* ring_next = nullptr;
    // Where the request waits while in flight (runtime only).
    enum class Place : std::uint8_t { None, Ring, Pool, Readiness, Held, Idle };
    Place place = Place::None;
};

// Awaitable kernel request: `int32_t r = co_await KernelCall{req}`.
struct KernelCall {
    KernelRequest req;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) noexcept;
    std::int32_t await_resume() const noexcept { return req.res; }
};

KernelCall openat(const char* path, std::uint32_t flags, std::uint32_t mode) noexcept;
KernelCall statx_fd(int fd, struct ::statx* out) noexcept;  // AT_EMPTY_PATH, mask 0x3fff
KernelCall read_at(int fd, std::uint8_t* buf, std::uint32_t len, std::uint64_t off,
               bool spread = false) noexcept;
KernelCall write_at(int fd, const std::uint8_t* buf, std::uint32_t len, std::uint64_t off) noexcept;
KernelCall fsync(int fd, bool data_only) noexcept;
KernelCall ftruncate(int fd, std::uint64_t len) noexcept;
KernelCall close(int fd) noexcept;
KernelCall openat_in(int dirfd, const char* path, std::uint32_t flags, std::uint32_t mode) noexcept;
// By name: `path` relative to `dirfd`, flags as statx(2), mask STATX_BASIC_STATS.
KernelCall statx_at(int dirfd, const char* path, std::uint32_t flags, struct ::statx* out) noexcept;
KernelCall renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, std::uint32_t flags) noexcept;
KernelCall unlinkat(int dirfd, const char* path, std::uint32_t flags) noexcept;
KernelCall mkdirat(int dirfd, const char* path, std::uint32_t mode) noexcept;
KernelCall symlinkat(const char* target, int newdirfd, const char* linkpath) noexcept;
KernelCall linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, std::uint32_t flags) noexcept;

// Runs `fn` on the blocking worker pool; the awaiting task resumes with its
// result, or with nullopt if the pool could not run it. The job never runs
// on the driver thread.
struct Blocking {
    std::function<std::int64_t()> fn;  // one allocation per job at most
    std::int64_t result = 0;
    std::coroutine_handle<> waiter;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) noexcept;
    // What `fn` returned; or, when the job never ran, the pool's error as
    // -errno (EAGAIN or ENOMEM: no thread could be started for it), as a
    // system call of the caller's own that failed so would answer.
    std::int64_t await_resume() const noexcept { return result; }
};

// Cross-thread wake-up of a parked driver thread. A sender writes to the
// event descriptor only when the driver is parked and no wake-up is pending.
class Waker {
public:
    virtual ~Waker() = default;
    virtual void wake() noexcept = 0;
};

struct RuntimeOptions;

// Counters since the runtime was built (diagnostics and tests).
struct RuntimeStats {
    std::uint64_t ring_requests = 0;  // requests handed to the ring
    std::uint64_t pool_jobs = 0;      // requests and `Blocking` jobs given to the pool
    std::uint64_t idle_reads = 0;     // spread reads given to the idle readers
};

class Runtime {
public:
    static constexpr unsigned kRingEntries = 1024;
    static constexpr unsigned kMaxWorkers = 256;
    static constexpr unsigned kWorkerIdleSeconds = 60;
    static constexpr unsigned kEventInterval = 61;

    // Probes io_uring (once per process), builds the ring or falls back to
    // epoll. Fails only when the fallback cannot be built either.
    static Result<std::unique_ptr<Runtime>> build();
    static Result<std::unique_ptr<Runtime>> build(const RuntimeOptions& options);
    virtual ~Runtime() = default;

    virtual Backend backend() const noexcept = 0;
    virtual std::shared_ptr<Waker> waker() const noexcept = 0;

    // Makes this runtime the one `KernelCall`, `Blocking` and `spawn` use on the
    // calling thread (the driver thread), until destroyed.
    virtual void make_current() noexcept = 0;
    static Runtime* current() noexcept;

    // Detaches a root task; it is destroyed when it finishes, or with the
    // runtime if it never does.
    virtual void spawn(Task<void> task) = 0;
    virtual void schedule(std::coroutine_handle<> h) = 0;

    // What `KernelCall` and `Blocking` do when awaited. `req` (or `job`) must
    // stay where it is until it completes: its completion runs
    // `on_complete`, or schedules `waiter`. After shutdown nothing is
    // started and nothing completes.
    virtual void start(KernelRequest& req) noexcept = 0;
    virtual void start_blocking(Blocking& job) noexcept = 0;
    // Asks that `req`, in flight, stop waiting: the ring's ASYNC_CANCEL,
    // an interrupted system call on the pool, or leaving the readiness
    // wait. It still completes as usual, and must be waited for: with
    // -ECANCELED when it was withdrawn in time, with its own result when
    // the kernel had already finished or would not let go.
    virtual void withdraw(KernelRequest& req) noexcept = 0;
    // Whether `op` goes to the ring (false: it runs on the pool).
    virtual bool on_ring(std::uint8_t op) const noexcept = 0;
    virtual RuntimeStats stats() const noexcept = 0;

    // Runs at most `max_steps` ready tasks FIFO; true when some are still ready.
    virtual bool run_ready(unsigned max_steps) = 0;

    // Hands queued requests to the kernel and collects finished ones. With
    // `may_wait` the thread parks until a request finishes or `wake()` is
    // called, unless `has_external_work()` says there is something to do.
    virtual void turn(bool may_wait, const std::function<bool()>& has_external_work) = 0;

    // Closes a descriptor without blocking the thread and without a waiter
    // (the last reference of a file went away outside an explicit close).
    virtual void close_detached(int fd) noexcept = 0;

    // Shutdown: wait for every request the kernel or a worker may still be
    // using (ring requests are cancelled first where the kernel can), then
    // destroy the tasks that never finished (without resuming). From then
    // on nothing starts, and close_detached is a plain close(2).
    virtual void shutdown() noexcept = 0;
};

// How to build a runtime. The defaults are the production configuration;
// tests override them.
struct RuntimeOptions {
    // Insist on one backend: building fails instead of falling back.
    std::optional<Backend> backend;
    // Opcodes the ring is to treat as unsupported (they run on the pool).
    std::vector<std::uint8_t> ring_opcodes_disabled;
    unsigned max_workers = Runtime::kMaxWorkers;
    std::chrono::milliseconds worker_idle = std::chrono::seconds(Runtime::kWorkerIdleSeconds);
    // Spread reads the ring hands the kernel's workers at once; the rest
    // wait their turn. 0: one per CPU online, at least 2, at most 64.
    unsigned spread_window = 0;
    // Spread reads go to threads of idle priority (see IdleReaders), one
    // per CPU online, unless this says otherwise; 0 hands them to the ring
    // (the fallback backend's pool) like any read.
    std::optional<unsigned> idle_readers;
};

}  // namespace velnor::rt
