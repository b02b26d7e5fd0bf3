// The FIFO executor and its root tasks, without any backend.
#include <coroutine>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/executor.hpp"

namespace velnor::rt::test {
namespace {

// Requeues the awaiting task behind everything already ready.
struct Yield {
    Executor* ex;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) const { ex->schedule(h); }
    void await_resume() const noexcept {}
};

Task<void> record(std::vector<int>* log, int id) {
    log->push_back(id);
    co_return;
}

Task<void> record_twice(Executor* ex, std::vector<int>* log, int id) {
    log->push_back(id);
    co_await Yield{ex};
    log->push_back(100 + id);
}

TEST(Executor, AtMost61StepsAPassInSpawnOrder) {
    Executor ex;
    std::vector<int> log;
    for (int i = 0; i < 100; ++i) ex.spawn(record(&log, i));
    EXPECT_TRUE(ex.run_ready(61));
    ASSERT_EQ(log.size(), 61u);
    for (int i = 0; i < 61; ++i) EXPECT_EQ(log[i], i);
    EXPECT_FALSE(ex.run_ready(61));
    ASSERT_EQ(log.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(log[i], i);
    EXPECT_EQ(ex.live_roots(), 0u) << "finished roots free themselves";
}

TEST(Executor, ARequeuedTaskWaitsBehindTheOlderOnes) {
    Executor ex;
    std::vector<int> log;
    ex.spawn(record_twice(&ex, &log, 1));
    ex.spawn(record_twice(&ex, &log, 2));
    ex.spawn(record(&log, 3));
    while (ex.run_ready(61)) {
    }
    EXPECT_EQ(log, (std::vector<int>{1, 2, 3, 101, 102}));
}

struct Flag {
    bool* destroyed;
    ~Flag() { *destroyed = true; }
};

Task<void> inner_forever(bool* destroyed) {
    Flag f{destroyed};
    co_await std::suspend_always{};
}

Task<void> outer_forever(bool* outer, bool* inner) {
    Flag f{outer};
    co_await inner_forever(inner);
}

TEST(Executor, ClosingDestroysUnfinishedTasksWholeWithoutResuming) {
    bool outer = false, inner = false;
    std::vector<int> log;
    Executor ex;
    ex.spawn(outer_forever(&outer, &inner));
    ex.spawn(record(&log, 1));
    ex.run_ready(1);  // the first task is suspended, the second still queued
    EXPECT_EQ(ex.live_roots(), 2u);
    ex.close();
    EXPECT_TRUE(outer);
    EXPECT_TRUE(inner);
    EXPECT_TRUE(log.empty()) << "queued tasks are destroyed, not run";
    EXPECT_EQ(ex.live_roots(), 0u);
    ex.spawn(record(&log, 2));
    EXPECT_FALSE(ex.run_ready(61));
    EXPECT_TRUE(log.empty());
}

}  // namespace
}  // namespace velnor::rt::test
