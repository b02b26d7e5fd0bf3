// The completion runtime on both backends: kernel requests and their
// results, many in flight, cross-thread wake-ups, the pool's side, shutdown.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "core/runtime/runtime.hpp"
#include "core/unique_fd.hpp"
#include "tests/core/runtime_harness.hpp"

namespace velnor::rt::test {
namespace {

using namespace std::chrono_literals;

TEST(RuntimeBuild, DefaultBackendIsTheOneThisRunExpects) {
    auto built = Runtime::build();
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<Runtime>>(built));
    auto& rt = std::get<std::unique_ptr<Runtime>>(built);
    if (const char* want = expected_backend()) {
        EXPECT_STREQ(backend_name(rt->backend()), want);
    }
}

// ------------------------------------------------------------------ requests

struct FileOpResults {
    std::int32_t open_missing = 0, fd = -1, written = 0, read = 0, size_after_write = -1;
    std::int32_t truncate = -1, size_after_truncate = -1, fsync = -1, fdatasync = -1;
    std::int32_t close = -1, close_again = 0, read_bad_fd = 0;
    std::uint64_t statx_size = 0, statx_size2 = 0;
    char data[6] = {};
    bool done = false;
};

Task<void> file_ops(std::string dir, FileOpResults* out) {
    const std::string missing = dir + "/missing";
    out->open_missing = co_await openat(missing.c_str(), O_RDONLY, 0);
    const std::string path = dir + "/f";
    out->fd = co_await openat(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    const int fd = out->fd;
    const char hello[] = "hello world";
    out->written = co_await write_at(fd, reinterpret_cast<const std::uint8_t*>(hello), 11, 0);
    out->read = co_await read_at(fd, reinterpret_cast<std::uint8_t*>(out->data), 5, 6);
    struct statx stx {};
    out->size_after_write = co_await statx_fd(fd, &stx);
    out->statx_size = stx.stx_size;
    out->truncate = co_await ftruncate(fd, 3);
    out->size_after_truncate = co_await statx_fd(fd, &stx);
    out->statx_size2 = stx.stx_size;
    out->fsync = co_await fsync(fd, false);
    out->fdatasync = co_await fsync(fd, true);
    out->close = co_await close(fd);
    out->close_again = co_await close(fd);
    std::uint8_t b;
    out->read_bad_fd = co_await read_at(fd, &b, 1, 0);
    out->done = true;
}

void expect_file_op_results(const FileOpResults& r) {
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.open_missing, -ENOENT);
    EXPECT_GE(r.fd, 0);
    EXPECT_EQ(r.written, 11);
    EXPECT_EQ(r.read, 5);
    EXPECT_STREQ(r.data, "world");
    EXPECT_EQ(r.size_after_write, 0);
    EXPECT_EQ(r.statx_size, 11u);
    EXPECT_EQ(r.truncate, 0);
    EXPECT_EQ(r.size_after_truncate, 0);
    EXPECT_EQ(r.statx_size2, 3u);
    EXPECT_EQ(r.fsync, 0);
    EXPECT_EQ(r.fdatasync, 0);
    EXPECT_EQ(r.close, 0);
    EXPECT_EQ(r.close_again, -EBADF);
    EXPECT_EQ(r.read_bad_fd, -EBADF);
}

TEST_P(RuntimeTest, FileRequestsGiveKernelResultsAndErrnos) {
    TempDir dir;
    FileOpResults r;
    rt->spawn(file_ops(dir.path, &r));
    drive([&] { return r.done; });
    expect_file_op_results(r);
    const RuntimeStats s = rt->stats();
    if (GetParam() == Backend::IoUring && rt->on_ring(opcode::kFtruncate)) {
        EXPECT_EQ(s.pool_jobs, 0u) << "every request had its opcode on the ring";
        EXPECT_EQ(s.ring_requests, 12u);
    } else if (GetParam() == Backend::Polling) {
        EXPECT_EQ(s.ring_requests, 0u);
        EXPECT_EQ(s.pool_jobs, 12u);
    }
}

TEST_P(RuntimeTest, OpcodesTheRingLacksRunOnThePoolWithTheSameResults) {
    if (GetParam() != Backend::IoUring) GTEST_SKIP() << "the fallback has no ring";
    RuntimeOptions o;
    o.ring_opcodes_disabled = {opcode::kOpenat, opcode::kStatx, opcode::kClose,
                               opcode::kFtruncate, opcode::kFsync};
    ASSERT_NO_FATAL_FAILURE(build(o));
    if (IsSkipped()) return;
    EXPECT_FALSE(rt->on_ring(opcode::kFtruncate));
    EXPECT_TRUE(rt->on_ring(opcode::kRead));
    TempDir dir;
    FileOpResults r;
    rt->spawn(file_ops(dir.path, &r));
    drive([&] { return r.done; });
    expect_file_op_results(r);
    // Reads and writes stay on the ring; the other nine go to the pool.
    EXPECT_EQ(rt->stats().ring_requests, 3u);
    EXPECT_EQ(rt->stats().pool_jobs, 9u);
}

Task<void> read_slot(int fd, std::uint32_t i, std::uint32_t* out, std::int32_t* res,
                     std::size_t* done) {
    *res = co_await read_at(fd, reinterpret_cast<std::uint8_t*>(out), sizeof *out,
                            std::uint64_t{i} * sizeof *out);
    ++*done;
}

TEST_P(RuntimeTest, ThousandsOfRequestsInFlightAtOnce) {
    // More than the SQ holds (the ring is flushed when full) and more than
    // the CQ holds (completions overflow and are fetched from the kernel).
    constexpr std::uint32_t kN = 5000;
    TempDir dir;
    const std::string path = dir.file("numbers");
    {
        std::vector<std::uint32_t> v(kN);
        for (std::uint32_t i = 0; i < kN; ++i) v[i] = i * 7 + 1;
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(::write(fd, v.data(), v.size() * 4), static_cast<ssize_t>(v.size() * 4));
        ::close(fd);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::vector<std::uint32_t> got(kN, 0);
    std::vector<std::int32_t> res(kN, 0);
    std::size_t done = 0;
    for (std::uint32_t i = 0; i < kN; ++i) rt->spawn(read_slot(fd, i, &got[i], &res[i], &done));
    // Every task runs up to its read before any read completes.
    while (rt->run_ready(Runtime::kEventInterval)) {
    }
    // Turns that never wait in the kernel: the completions that overflowed
    // the CQ then arrive only if the runtime fetches them itself.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (done < kN && std::chrono::steady_clock::now() < until) {
        rt->run_ready(Runtime::kEventInterval);
        rt->turn(false, {});
        std::this_thread::yield();
    }
    ASSERT_EQ(done, kN);
    for (std::uint32_t i = 0; i < kN; ++i) {
        ASSERT_EQ(res[i], 4) << "slot " << i;
        ASSERT_EQ(got[i], i * 7 + 1) << "slot " << i;
    }
    ::close(fd);
}

Task<void> spread_slot(int fd, std::uint32_t i, std::uint32_t* out, bool stream, std::int32_t* res,
                       std::size_t* done) {
    KernelCall s = read_at(fd, reinterpret_cast<std::uint8_t*>(out), sizeof *out, std::uint64_t{i} * sizeof *out, true);
    s.req.stream = stream;
    *res = co_await s;
    ++*done;
}

TEST_P(RuntimeTest, SpreadReadsOfAFileGoToTheIdleReadersAndAStreamsDoNot) {
    for (const bool readers : {true, false}) {
        SCOPED_TRACE(readers ? "with idle readers" : "without");
        RuntimeOptions o;
        if (!readers) o.idle_readers = 0;
        ASSERT_NO_FATAL_FAILURE(build(o));
        if (IsSkipped()) return;
        constexpr std::uint32_t kN = 64;
        TempDir dir;
        const std::string path = dir.file("numbers");
        {
            std::vector<std::uint32_t> v(kN);
            for (std::uint32_t i = 0; i < kN; ++i) v[i] = i * 3 + 2;
            const UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            ASSERT_EQ(::write(out.get(), v.data(), v.size() * 4), static_cast<ssize_t>(v.size() * 4));
        }
        const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        std::array<int, 2> p{};
        ASSERT_EQ(::pipe2(p.data(), O_CLOEXEC), 0);
        const UniqueFd read_end(p[0]), write_end(p[1]);
        std::vector<std::uint32_t> got(kN + 1, 0);
        std::vector<std::int32_t> res(kN + 1, 0);
        std::size_t done = 0;
        for (std::uint32_t i = 0; i < kN; ++i) rt->spawn(spread_slot(fd.get(), i, &got[i], false, &res[i], &done));
        rt->spawn(spread_slot(read_end.get(), 0, &got[kN], true, &res[kN], &done));
        drive([&] { return done == kN; });
        for (std::uint32_t i = 0; i < kN; ++i) {
            ASSERT_EQ(res[i], 4) << "slot " << i;
            ASSERT_EQ(got[i], i * 3 + 2) << "slot " << i;
        }
        EXPECT_EQ(rt->stats().idle_reads, readers ? kN : 0u);
        // The pipe's read waits for a writer wherever streams wait, never
        // holding a reader that nothing could free.
        ASSERT_EQ(::write(write_end.get(), "pipe", 4), 4);
        drive([&] { return done == kN + 1; });
        EXPECT_EQ(res[kN], 4);
        EXPECT_EQ(std::memcmp(&got[kN], "pipe", 4), 0);
    }
}

Task<void> read_pipe(int fd, char* buf, std::int32_t* res) {
    // A pipe has no offsets: the offset is ignored on both backends.
    *res = co_await read_at(fd, reinterpret_cast<std::uint8_t*>(buf), 8, 12345);
}

TEST_P(RuntimeTest, PipeReadsCompleteWhenAnotherThreadWrites) {
    constexpr int kPipes = 20;
    std::vector<std::array<int, 2>> pipes(kPipes);
    for (auto& p : pipes) ASSERT_EQ(::pipe2(p.data(), O_CLOEXEC), 0);
    std::vector<std::array<char, 8>> bufs(kPipes);
    std::vector<std::int32_t> res(kPipes, 1000);
    for (int i = 0; i < kPipes; ++i) rt->spawn(read_pipe(pipes[i][0], bufs[i].data(), &res[i]));
    std::thread writer([&] {
        std::this_thread::sleep_for(20ms);  // let the driver park first
        for (int i = 0; i < kPipes; ++i) {
            const std::string s = "p" + std::to_string(i);
            ASSERT_EQ(::write(pipes[i][1], s.data(), s.size()), static_cast<ssize_t>(s.size()));
        }
    });
    drive([&] {
        for (int r : res)
            if (r == 1000) return false;
        return true;
    });
    writer.join();
    for (int i = 0; i < kPipes; ++i) {
        const std::string s = "p" + std::to_string(i);
        EXPECT_EQ(res[i], static_cast<std::int32_t>(s.size()));
        EXPECT_EQ(std::string(bufs[i].data(), s.size()), s);
        ::close(pipes[i][0]);
        ::close(pipes[i][1]);
    }
}

// ------------------------------------------------------------------ wake-ups

TEST_P(RuntimeTest, NoWakeUpIsLostOverManyCrossThreadRounds) {
    // Ping-pong: the driver parks waiting for round i, the sender publishes
    // it and wakes. A wake-up lost between "check for work" and "block"
    // leaves the driver asleep and the alarm ends the run.
    constexpr int kRounds = 3000;
    std::atomic<int> sent{0}, acked{0};
    auto waker = rt->waker();
    std::thread sender([&] {
        for (int i = 1; i <= kRounds; ++i) {
            sent.store(i, std::memory_order_seq_cst);
            waker->wake();
            while (acked.load() < i) std::this_thread::yield();
        }
    });
    const std::function<bool()> has_work = [&] { return sent.load(std::memory_order_seq_cst) > acked.load(); };
    for (int i = 1; i <= kRounds; ++i) {
        while (sent.load(std::memory_order_seq_cst) < i) rt->turn(true, has_work);
        acked.store(i);
    }
    sender.join();
}

// ----------------------------------------------------------------- the pool

Task<void> blocking_job(std::thread::id* ran_on, std::int64_t* out) {
    Blocking job{[ran_on]() -> std::int64_t {
        *ran_on = std::this_thread::get_id();
        std::this_thread::sleep_for(5ms);  // the driver parks meanwhile
        return 42;
    }};
    *out = co_await job;
}

TEST_P(RuntimeTest, BlockingJobsRunOffTheDriverThreadAndWakeIt) {
    std::thread::id ran_on;
    std::int64_t out = 0;
    bool finished = false;
    rt->spawn([](std::thread::id* t, std::int64_t* o, bool* f) -> Task<void> {
        co_await blocking_job(t, o);
        *f = true;
    }(&ran_on, &out, &finished));
    drive([&] { return finished; });
    EXPECT_EQ(out, 42);
    EXPECT_NE(ran_on, std::this_thread::get_id());
    EXPECT_NE(ran_on, std::thread::id{});
}

TEST_P(RuntimeTest, APoolThatCannotStartAWorkerFailsJobsInsteadOfHanging) {
    RuntimeOptions o;
    o.max_workers = 0;  // no worker can ever be started
    ASSERT_NO_FATAL_FAILURE(build(o));
    if (IsSkipped()) return;
    std::int64_t out = 7;
    std::thread::id ran_on;
    bool finished = false;
    rt->spawn([](std::thread::id* t, std::int64_t* o, bool* f) -> Task<void> {
        co_await blocking_job(t, o);
        *f = true;
    }(&ran_on, &out, &finished));
    drive([&] { return finished; });
    EXPECT_EQ(out, -EAGAIN) << "the pool's error, as a failed system call's";
    EXPECT_EQ(ran_on, std::thread::id{}) << "the job must not run anywhere";

    if (GetParam() == Backend::Polling) {
        // Every request needs the pool here: it fails with the pool's error.
        std::int32_t res = 0;
        bool done = false;
        rt->spawn([](std::int32_t* r, bool* d) -> Task<void> {
            *r = co_await fsync(0, false);
            *d = true;
        }(&res, &done));
        drive([&] { return done; });
        EXPECT_EQ(res, -EAGAIN);
    }
}

// ----------------------------------------------------------------- closing

bool fd_open(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

TEST_P(RuntimeTest, DetachedCloseClosesWithoutAWaiter) {
    TempDir dir;
    const int fd = ::open(dir.file("x").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    rt->close_detached(fd);
    // Nobody waits: the close is done when the kernel or a worker gets to
    // it. The pool's result wakes a parked driver; the ring's CQE ends the
    // wait too.
    while (fd_open(fd)) rt->turn(true, {});
    EXPECT_EQ(rt->stats().ring_requests, GetParam() == Backend::IoUring ? 1u : 0u);
}

// ---------------------------------------------------------------- shutdown

struct FrameGuard {
    std::atomic<bool>* fed;
    bool* destroyed_after_feed;
    bool* destroyed;
    ~FrameGuard() {
        *destroyed_after_feed = fed->load();
        *destroyed = true;
    }
};

Task<void> read_forever(int fd, std::atomic<bool>* fed, bool* after_feed, bool* destroyed,
                        bool* resumed) {
    FrameGuard guard{fed, after_feed, destroyed};
    std::array<std::uint8_t, 64> buf{};  // in the frame: what the kernel writes into
    co_await read_at(fd, buf.data(), buf.size(), 0);
    *resumed = true;
}

TEST_P(RuntimeTest, ShutdownWaitsForAReadInFlightAndDestroysItsTaskUnresumed) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    std::atomic<bool> fed{false};
    bool after_feed = false, destroyed = false, resumed = false;
    rt->spawn(read_forever(p[0], &fed, &after_feed, &destroyed, &resumed));
    rt->run_ready(Runtime::kEventInterval);
    rt->turn(false, {});  // the read is now with the kernel, or on a worker

    std::thread feeder;
    if (GetParam() == Backend::Polling) {
        // A worker blocked in read(2) cannot be withdrawn: shutdown must
        // wait for it, and free the frame only afterwards.
        feeder = std::thread([&] {
            std::this_thread::sleep_for(50ms);
            fed.store(true);
            ASSERT_EQ(::write(p[1], "late", 4), 4);
        });
    }
    rt->shutdown();
    if (feeder.joinable()) feeder.join();
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(resumed);
    if (GetParam() == Backend::Polling) {
        EXPECT_TRUE(after_feed) << "the frame was freed while a worker could still write into it";
    } else {
        // The kernel gave the read up: data written now stays in the pipe
        // instead of landing in a freed frame.
        ASSERT_EQ(::write(p[1], "late", 4), 4);
        char back[8] = {};
        EXPECT_EQ(::read(p[0], back, sizeof back), 4);
        EXPECT_STREQ(back, "late");
    }
    // Closing after shutdown is a plain close(2).
    rt->close_detached(p[0]);
    EXPECT_FALSE(fd_open(p[0]));
    ::close(p[1]);
}

Task<void> close_in_destructor(int fd) {
    struct Closer {
        int fd;
        ~Closer() { Runtime::current()->close_detached(fd); }
    } closer{fd};
    co_await std::suspend_always{};  // never resumed
}

TEST_P(RuntimeTest, TasksDestroyedAtShutdownMayStillCloseDescriptors) {
    TempDir dir;
    const int fd = ::open(dir.file("y").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    rt->spawn(close_in_destructor(fd));
    rt->run_ready(Runtime::kEventInterval);
    rt->shutdown();
    EXPECT_FALSE(fd_open(fd));
    // Nothing runs or starts once shut down.
    bool ran = false;
    rt->spawn([](bool* r) -> Task<void> {
        *r = true;
        co_return;
    }(&ran));
    EXPECT_FALSE(rt->run_ready(Runtime::kEventInterval));
    EXPECT_FALSE(ran);
}

INSTANTIATE_TEST_SUITE_P(Backends, RuntimeTest, ::testing::Values(Backend::IoUring, Backend::Polling),
                         param_name);

}  // namespace
}  // namespace velnor::rt::test
