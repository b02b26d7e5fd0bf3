// The driver thread's spin before it parks: a caller that sends one request
// after another must find it still looking, not asleep.
#include <atomic>
#include <chrono>
#include <memory>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "driver_harness.hpp"
#include "proc_threads.hpp"

namespace velnor::test {
namespace {

// Times the thread named `name` gave up the CPU of its own accord (it
// slept), or -1 when there is no such thread.
long voluntary_switches(const std::string& name) {
    const std::string dir = task_dir(name);
    if (dir.empty()) return -1;
    std::ifstream status(dir + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    }
    return -1;
}

void busy_for(std::chrono::microseconds d) {
    const auto until = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < until) {
    }
}

TEST_F(DriverTest, ReadsTheKernelFinishesAtOnceDoNotTeachTheSpinToGiveUp) {
    if (std::string(driver->backend()) != "compio-io-uring") GTEST_SKIP() << "the spin waits on the ring";
    const std::string p = path("cached");
    std::ofstream(p) << std::string(4096, 'x');
    const auto h = ok<reply::Handle>(call(open_op(p, true)));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(ok<reply::Bytes>(call(op::Read{h.id, 0, Alloc{4096}})).data.size(), 4096u);
    // Each read finishes inside the driver's submitting call; the next one
    // comes a little later, once this thread has woken and worked a while.
    // A driver that took the first for a sign that work comes at once
    // would halve its spin each time and sleep before every request.
    constexpr int kReads = 300;
    const long before = voluntary_switches("velnor-compio");
    ASSERT_GE(before, 0) << "no driver thread found";
    auto got = std::make_shared<std::atomic<std::int64_t>>(-1);
    for (int i = 0; i < kReads; ++i) {
        // Waited for by looking, not sleeping: a condition variable would
        // have the driver's notify contend for its mutex, and sleep there.
        got->store(-1);
        driver->submit(op::Read{h.id, 0, Alloc{4096}}, make_callback([got](Outcome&& o) {
                           const auto* r = std::get_if<Reply>(&o);
                           const auto* b = r ? std::get_if<reply::Bytes>(r) : nullptr;
                           got->store(b ? static_cast<std::int64_t>(b->data.size()) : -2);
                       }));
        while (got->load() == -1) {
        }
        ASSERT_EQ(got->load(), 4096);
        busy_for(std::chrono::microseconds(5));
    }
    const long slept = voluntary_switches("velnor-compio") - before;
    EXPECT_LT(slept, kReads / 2) << "the driver slept before most requests";
}

TEST_F(DriverTest, ReadsOnTheKernelsWorkersLeaveTheDriverAsleep) {
    if (std::string(driver->backend()) != "compio-io-uring") GTEST_SKIP() << "the spin waits on the ring";
    static constexpr std::size_t kChunk = 1 << 20;
    static constexpr int kChunks = 64;
    const std::string p = path("chunks");
    std::ofstream(p) << std::string(kChunks * kChunk, 'x');
    const auto h = ok<reply::Handle>(call(open_op(p, true)));
    std::vector<std::uint8_t> buf(kChunks * kChunk);
    // Every chunk at once, each on a worker of the kernel's, their
    // completions coming over some tens of milliseconds. A driver that spun
    // through those waits would take a CPU from the workers doing the copying.
    auto read_all = [&] { return read_spread_chunks(*driver, h.id, buf.data(), kChunks, kChunk); };
    ASSERT_EQ(read_all(), 0);
    const long long before = cpu_ns("velnor-compio");
    ASSERT_GE(before, 0) << "no driver thread found";
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 8; ++round) ASSERT_EQ(read_all(), 0);
    const auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
    const long long driver_ns = cpu_ns("velnor-compio") - before;
    EXPECT_LT(driver_ns, wall.count() / 2) << "the driver ran for " << driver_ns / 1000 << " us of "
                                           << wall.count() / 1000 << " us";
}

}  // namespace
}  // namespace velnor::test
