// The chunks of a large read go to the idle readers: threads of idle
// priority, which give a woken loop thread their CPU at once.
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "driver_harness.hpp"
#include "proc_threads.hpp"

namespace velnor::test {
namespace {

TEST_F(DriverTest, ChunksOfALargeReadRunOnTheIdleReaders) {
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
    // How the copying shares out depends on which CPUs are free (idle
    // readers get none while anything else wants them, and the guard then
    // reads on): that the readers run side by side is the IdleReaders
    // tests' to show. Here: the chunks are read right, by the readers.
    for (int round = 0; round < 3; ++round) ASSERT_EQ(read_round(), 0);
    long long ran = 0;
    for (const char* name : {"velnor-idle", "velnor-guard"})
        for (const auto& [tid, ns] : cpu_ns_by_thread(name)) ran += ns;
    EXPECT_GT(ran, 0) << "neither a reader nor the guard ran the reads";
    const auto readers = cpu_ns_by_thread("velnor-idle");
    EXPECT_GE(readers.size(), 2u);
    for (const auto& [tid, ns] : readers)
        EXPECT_EQ(::sched_getscheduler(static_cast<pid_t>(std::stol(tid))), SCHED_IDLE) << "reader " << tid;
}

}  // namespace
}  // namespace velnor::test
