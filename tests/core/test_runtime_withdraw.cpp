// Withdrawing requests that may wait without end, and the fallback's
// readiness waits for pipes: nothing a cancel asks for may hang, and idle
// pipes take no workers from file work.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/runtime.hpp"
#include "core/unique_fd.hpp"
#include "tests/core/runtime_harness.hpp"

namespace velnor::rt::test {
namespace {

using namespace std::chrono_literals;

struct Pending {
    KernelRequest* req = nullptr;
    std::int32_t res = 1000;
    bool done = false;
};

Task<void> stream_read(int fd, std::uint8_t* buf, std::uint32_t len, Pending* p) {
    KernelCall s = read_at(fd, buf, len, 0);
    s.req.stream = true;
    p->req = &s.req;
    p->res = co_await s;
    p->done = true;
}

Task<void> open_request(const char* path, std::uint32_t flags, Pending* p) {
    KernelCall s = openat(path, flags, 0);
    p->req = &s.req;
    p->res = co_await s;
    p->done = true;
}

// A pipe with a stream read of its read end in flight.
struct PipeRead {
    UniqueFd read_end, write_end;
    std::array<std::uint8_t, 8> buf{};
    Pending read;
};

class WithdrawTest : public RuntimeTest {
protected:
    static void open_pipe(UniqueFd& read_end, UniqueFd& write_end) {
        std::array<int, 2> p{};
        ASSERT_EQ(::pipe2(p.data(), O_CLOEXEC), 0);
        read_end = UniqueFd(p[0]);
        write_end = UniqueFd(p[1]);
    }
    void start_pipe_read(PipeRead& pr) {
        ASSERT_NO_FATAL_FAILURE(open_pipe(pr.read_end, pr.write_end));
        rt->spawn(stream_read(pr.read_end.get(), pr.buf.data(), pr.buf.size(), &pr.read));
        settle();
    }
    // A ring that hands the kernel one spread read at a time (with no
    // idle readers, which would take the file's).
    void build_window_of_one() {
        if (GetParam() != Backend::IoUring) GTEST_SKIP() << "the window is the ring's";
        RuntimeOptions o;
        o.spread_window = 1;
        o.idle_readers = 0;
        build(o);
    }

    // Turns until `p` is done, failing after `limit` instead of hanging.
    void drive_until(const Pending& p, std::chrono::milliseconds limit = 5000ms) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!p.done && std::chrono::steady_clock::now() < until) {
            const bool more = rt->run_ready(Runtime::kEventInterval);
            rt->turn(false, {});
            if (!more && !p.done) std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(p.done) << "the request did not end";
    }
    void settle() {
        for (int i = 0; i < 5; ++i) {
            rt->run_ready(Runtime::kEventInterval);
            rt->turn(false, {});
        }
    }
};

TEST_P(WithdrawTest, AWithdrawnPipeReadEndsCancelledAndConsumesNothing) {
    PipeRead pr;
    ASSERT_NO_FATAL_FAILURE(start_pipe_read(pr));
    ASSERT_FALSE(pr.read.done) << "an empty pipe has nothing to read";
    rt->withdraw(*pr.read.req);
    ASSERT_NO_FATAL_FAILURE(drive_until(pr.read));
    EXPECT_EQ(pr.read.res, -ECANCELED);
    // The pipe still holds whatever arrives later: the withdrawn read took nothing.
    ASSERT_EQ(::write(pr.write_end.get(), "ab", 2), 2);
    char got[4] = {};
    EXPECT_EQ(::read(pr.read_end.get(), got, sizeof got), 2);
}

TEST_P(WithdrawTest, AStreamReadWithDataCompletesWithIt) {
    PipeRead pr;
    ASSERT_NO_FATAL_FAILURE(start_pipe_read(pr));
    std::thread writer([&] { EXPECT_EQ(::write(pr.write_end.get(), "hello", 5), 5); });
    ASSERT_NO_FATAL_FAILURE(drive_until(pr.read));
    writer.join();
    EXPECT_EQ(pr.read.res, 5);
    EXPECT_EQ(std::string(pr.buf.begin(), pr.buf.begin() + 5), "hello");
}

TEST_P(WithdrawTest, AWorkerBlockedOpeningAFifoIsInterrupted) {
    // open(2) of a FIFO without a writer waits on a worker on both backends
    // when the ring does not take OPENAT.
    RuntimeOptions o;
    o.ring_opcodes_disabled = {opcode::kOpenat};
    ASSERT_NO_FATAL_FAILURE(build(o));
    if (IsSkipped()) return;
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Pending open;
    rt->spawn(open_request(fifo.c_str(), O_RDONLY | O_CLOEXEC, &open));
    settle();
    std::this_thread::sleep_for(30ms);  // the worker is inside open(2) by now
    settle();
    ASSERT_FALSE(open.done) << "no writer, so the open waits";
    rt->withdraw(*open.req);
    ASSERT_NO_FATAL_FAILURE(drive_until(open));
    EXPECT_EQ(open.res, -ECANCELED);
}

TEST_P(WithdrawTest, AFifoOpenedForWritingWaitsForAReaderAndCanBeWithdrawn) {
    // As open(2): no reader, so the open waits (the ring's first, non-blocking
    // attempt answers ENXIO instead), until withdrawn or until a reader comes.
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Pending withdrawn;
    rt->spawn(open_request(fifo.c_str(), O_WRONLY | O_CLOEXEC, &withdrawn));
    settle();
    std::this_thread::sleep_for(30ms);
    settle();
    ASSERT_FALSE(withdrawn.done) << "opened without a reader: " << withdrawn.res;
    rt->withdraw(*withdrawn.req);
    ASSERT_NO_FATAL_FAILURE(drive_until(withdrawn));
    EXPECT_EQ(withdrawn.res, -ECANCELED);

    Pending opened;
    rt->spawn(open_request(fifo.c_str(), O_WRONLY | O_CLOEXEC, &opened));
    settle();
    const UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(reader.get(), 0);
    ASSERT_NO_FATAL_FAILURE(drive_until(opened));
    ASSERT_GE(opened.res, 0);
    ::close(opened.res);
}

TEST_P(WithdrawTest, IdlePipesTakeNoWorkersFromFileWork) {
    // Two workers and twenty reads of idle pipes: a file request must still
    // run (on the fallback the pipes wait in epoll, on the ring in the kernel).
    RuntimeOptions o;
    o.max_workers = 2;
    ASSERT_NO_FATAL_FAILURE(build(o));
    if (IsSkipped()) return;
    constexpr int kPipes = 20;
    std::vector<std::array<int, 2>> pipes(kPipes);
    std::vector<std::array<std::uint8_t, 4>> bufs(kPipes);
    std::vector<Pending> reads(kPipes);
    for (int i = 0; i < kPipes; ++i) {
        ASSERT_EQ(::pipe2(pipes[i].data(), O_CLOEXEC), 0);
        rt->spawn(stream_read(pipes[i][0], bufs[i].data(), 4, &reads[i]));
    }
    settle();
    TempDir dir;
    const std::string path = dir.file("f");
    Pending file;
    rt->spawn(open_request(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, &file));
    ASSERT_NO_FATAL_FAILURE(drive_until(file));
    EXPECT_GE(file.res, 0);
    if (file.res >= 0) ::close(file.res);
    for (auto& r : reads) EXPECT_FALSE(r.done);
    // Every pipe then gets its data and its read completes.
    for (auto& p : pipes) ASSERT_EQ(::write(p[1], "x", 1), 1);
    for (auto& r : reads) {
        ASSERT_NO_FATAL_FAILURE(drive_until(r));
        EXPECT_EQ(r.res, 1);
    }
    for (auto& p : pipes) {
        ::close(p[0]);
        ::close(p[1]);
    }
}

Task<void> spread_read(int fd, std::uint8_t* buf, std::uint32_t len, bool stream, Pending* p) {
    KernelCall s = read_at(fd, buf, len, 0, true);
    s.req.stream = stream;
    p->req = &s.req;
    p->res = co_await s;
    p->done = true;
}

TEST_P(WithdrawTest, SpreadReadsPastTheWindowWaitTheirTurnAndMayBeWithdrawnMeanwhile) {
    ASSERT_NO_FATAL_FAILURE(build_window_of_one());
    if (IsSkipped()) return;
    TempDir dir;
    const std::string path = dir.file("f");
    const UniqueFd file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_GE(file.get(), 0);
    ASSERT_EQ(::write(file.get(), "data", 4), 4);
    // An idle pipe's read fills the window: it waits on a kernel worker.
    UniqueFd read_end, write_end;
    ASSERT_NO_FATAL_FAILURE(open_pipe(read_end, write_end));
    std::array<std::uint8_t, 4> pipe_buf{}, first_buf{}, second_buf{};
    Pending pipe, first, second;
    rt->spawn(spread_read(read_end.get(), pipe_buf.data(), 4, true, &pipe));
    rt->spawn(spread_read(file.get(), first_buf.data(), 4, false, &first));
    rt->spawn(spread_read(file.get(), second_buf.data(), 4, false, &second));
    settle();
    std::this_thread::sleep_for(20ms);
    settle();
    EXPECT_FALSE(first.done) << "a read past the window ran: " << first.res;
    EXPECT_FALSE(second.done) << "a read past the window ran: " << second.res;
    // Withdrawn while held: it ends at once, and never reaches the kernel.
    rt->withdraw(*first.req);
    ASSERT_NO_FATAL_FAILURE(drive_until(first));
    EXPECT_EQ(first.res, -ECANCELED);
    EXPECT_EQ(first_buf, (std::array<std::uint8_t, 4>{}));
    EXPECT_FALSE(second.done);
    // Room in the window: the next held read runs.
    ASSERT_EQ(::write(write_end.get(), "pipe", 4), 4);
    ASSERT_NO_FATAL_FAILURE(drive_until(pipe));
    EXPECT_EQ(pipe.res, 4);
    ASSERT_NO_FATAL_FAILURE(drive_until(second));
    EXPECT_EQ(second.res, 4);
    EXPECT_EQ(std::string(second_buf.begin(), second_buf.end()), "data");
}

TEST_P(WithdrawTest, ShutdownWithSpreadReadsHeldEnds) {
    ASSERT_NO_FATAL_FAILURE(build_window_of_one());
    if (IsSkipped()) return;
    UniqueFd read_end, write_end;
    ASSERT_NO_FATAL_FAILURE(open_pipe(read_end, write_end));
    std::array<std::uint8_t, 4> pipe_buf{}, held_buf{};
    Pending pipe, held;
    rt->spawn(spread_read(read_end.get(), pipe_buf.data(), 4, true, &pipe));
    rt->spawn(spread_read(read_end.get(), held_buf.data(), 4, true, &held));
    settle();
    // Ends (the alarm fails a hang); the tasks are destroyed unresumed.
    rt.reset();
    EXPECT_FALSE(pipe.done);
    EXPECT_FALSE(held.done);
    // Nothing was left reading the pipe.
    ASSERT_EQ(::write(write_end.get(), "late", 4), 4);
    char got[8] = {};
    EXPECT_EQ(::read(read_end.get(), got, sizeof got), 4);
}

TEST_P(WithdrawTest, ShutdownCopiesNoneOfTheChunksTheIdleReadersHaveNotStarted) {
    RuntimeOptions o;
    o.idle_readers = 1;
    ASSERT_NO_FATAL_FAILURE(build(o));
    if (IsSkipped()) return;
    constexpr std::uint32_t kChunk = 1 << 20;
    constexpr int kChunks = 64;
    TempDir dir;
    const std::string path = dir.file("f");
    const UniqueFd file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_GE(file.get(), 0);
    ASSERT_EQ(::write(file.get(), std::string(kChunk, 'x').data(), kChunk), kChunk);
    std::vector<std::vector<std::uint8_t>> bufs(kChunks, std::vector<std::uint8_t>(kChunk));
    std::vector<Pending> reads(kChunks);
    for (int i = 0; i < kChunks; ++i) rt->spawn(spread_read(file.get(), bufs[i].data(), kChunk, false, &reads[i]));
    settle();
    // Ends (the alarm fails a hang) without waiting for a reader to copy
    // what nobody will see.
    rt.reset();
    int copied = 0;
    for (const auto& b : bufs) copied += b.back() == 'x';
    EXPECT_LT(copied, kChunks / 2) << "shutdown waited for queued chunks to be copied";
}

TEST_P(WithdrawTest, AStreamThatEpollRefusesIsReadOnceOnThePool) {
    // /dev/zero cannot be watched by epoll; its read goes to a worker,
    // exactly once, and completes.
    const int fd = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::array<std::uint8_t, 8> buf;
    buf.fill(0xff);
    Pending read;
    rt->spawn(stream_read(fd, buf.data(), buf.size(), &read));
    ASSERT_NO_FATAL_FAILURE(drive_until(read));
    EXPECT_EQ(read.res, 8);
    EXPECT_EQ(buf, (std::array<std::uint8_t, 8>{}));
    if (GetParam() == Backend::Polling) {
        EXPECT_EQ(rt->stats().pool_jobs, 1u);
    }
    settle();
    ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Backends, WithdrawTest, ::testing::Values(Backend::IoUring, Backend::Polling),
                         param_name);

}  // namespace
}  // namespace velnor::rt::test
