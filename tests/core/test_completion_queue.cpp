#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "core/completion_queue.hpp"

namespace velnor {
namespace {

TEST(CompletionQueue, OnlyTheFirstOfABurstRingsAndAnItemThatSlipsInIsNeverLeftUnannounced) {
    CompletionQueue<int> q;
    EXPECT_TRUE(q.push(1));
    EXPECT_FALSE(q.push(2));  // the wake-up is already owed
    EXPECT_EQ(q.take(), (std::vector<int>{1, 2}));
    EXPECT_TRUE(q.take().empty());
    // Pushed between the drain's empty take and its marking the queue
    // quiet: that push did not ring, so the drain must not stop.
    EXPECT_FALSE(q.push(3));
    EXPECT_FALSE(q.quiet());
    EXPECT_EQ(q.take(), (std::vector<int>{3}));
    EXPECT_TRUE(q.quiet());
    EXPECT_TRUE(q.push(4));  // quiet again: the next push rings
    // A consumer that has gone forgets the wake-up without a look.
    q.forget();
    EXPECT_TRUE(q.claim());
    EXPECT_FALSE(q.push(5));  // the claimant answers for it
    EXPECT_EQ(q.queued(), 2u);
}

TEST(CompletionQueue, EveryItemArrivesWhenProducersRaceTheDrain) {
    // The doorbell is a counter the consumer sleeps on: an item pushed
    // without a ring, and not taken by the drain that was running, would
    // leave the consumer asleep for good (the alarm of the harness, or the
    // wait's limit below, fails it).
    constexpr int kProducers = 4;
    constexpr int kEach = 20000;
    CompletionQueue<int> q;
    std::mutex mu;
    std::condition_variable cv;
    int rings = 0;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                if (q.push(i)) {
                    std::lock_guard<std::mutex> lock(mu);
                    ++rings;
                    cv.notify_one();
                }
            }
        });
    }
    long got = 0;
    while (got < long{kProducers} * kEach) {
        {
            std::unique_lock<std::mutex> lock(mu);
            ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return rings > 0; }))
                << "asleep with " << got << " items taken";
            --rings;
        }
        for (;;) {
            auto batch = q.take();
            if (batch.empty()) {
                if (q.quiet()) break;
                continue;
            }
            got += static_cast<long>(batch.size());
        }
    }
    for (auto& t : producers) t.join();
    EXPECT_EQ(got, long{kProducers} * kEach);
}

}  // namespace
}  // namespace velnor
