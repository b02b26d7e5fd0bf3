// The chunks of a large read must run on several threads, or they are read
// one after another; and on threads of idle priority, which give a woken
// loop thread their CPU at once.
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "driver_harness.hpp"
#include "proc_threads.hpp"

namespace velnor::test {
namespace {

TEST_F(DriverTest, ChunksOfALargeReadRunOnSeveralIdleReaders) {
    if (::sysconf(_SC_NPROCESSORS_ONLN) < 2) GTEST_SKIP() << "one reader per CPU";
    static constexpr std::size_t kChunk = 1 << 20;
    static constexpr int kChunks = 64;
    const std::string p = path("chunks");
    std::ofstream(p) << std::string(kChunks * kChunk, 'x');
    const auto h = ok<reply::Handle>(call(open_op(p, true)));
    // Fresh memory for every round, as a new bytes object is: each chunk
    // then costs its page faults too, long enough for workers to overlap.
    auto read_round = [&] {
        void* mem = ::mmap(nullptr, kChunks * kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mem == MAP_FAILED) return -1;
        const int bad = read_spread_chunks(*driver, h.id, static_cast<std::uint8_t*>(mem), kChunks, kChunk);
        ::munmap(mem, kChunks * kChunk);
        return bad;
    };
    ASSERT_EQ(read_round(), 0);
    // Each round starts with the readers of the one before waiting, so that
    // one woken first could take every chunk of the burst.
    std::ostringstream rounds;
    int single = 0;
    for (int round = 0; round < 6; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto before = cpu_ns_by_thread("velnor-idle");
        ASSERT_EQ(read_round(), 0);
        long long total = 0, most = 0;
        for (const auto& [tid, ns] : cpu_ns_by_thread("velnor-idle")) {
            const auto it = before.find(tid);
            const long long ran = ns - (it == before.end() ? 0 : it->second);
            total += ran;
            most = std::max(most, ran);
        }
        ASSERT_GT(total, 0) << "no idle reader ran the reads";
        rounds << " " << most / 1000 << " of " << total / 1000 << " us;";
        if (most > total * 9 / 10) ++single;
    }
    EXPECT_EQ(single, 0) << "one reader did (nearly) all the copying in " << single
                         << " of 6 rounds; the busiest reader's CPU per round:" << rounds.str();
    const auto readers = cpu_ns_by_thread("velnor-idle");
    EXPECT_GE(readers.size(), 2u);
    for (const auto& [tid, ns] : readers)
        EXPECT_EQ(::sched_getscheduler(static_cast<pid_t>(std::stol(tid))), SCHED_IDLE) << "reader " << tid;
}

}  // namespace
}  // namespace velnor::test
