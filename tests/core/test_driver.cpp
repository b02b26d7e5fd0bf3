// The driver's lifecycle, ids, cancellation and the message loop's ordering.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <algorithm>
#include <atomic>
#include <thread>

#include "core/compio_backend.hpp"
#include "driver_harness.hpp"

namespace velnor::test {
namespace {

TEST_F(DriverTest, MessageIdsStartAtOneAndIncrease) {
    EXPECT_EQ(send(op::Nop{}, 1), 1u);
    EXPECT_EQ(send(op::Nop{}, 2), 2u);
    EXPECT_EQ(send(op::Nop{}, 3), 3u);
    for (std::uint64_t t = 1; t <= 3; ++t) ok<reply::Unit>(*inbox->wait(t));
}

TEST_F(DriverTest, IdsStayUniqueAcrossThreads) {
    std::vector<std::thread> ts;
    std::vector<std::vector<std::uint64_t>> ids(4);
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&, i] {
            for (int k = 0; k < 200; ++k) ids[i].push_back(send(op::Nop{}, 100000 + i * 1000 + k));
        });
    for (auto& t : ts) t.join();
    std::vector<std::uint64_t> all;
    for (auto& v : ids) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), 800u);
    for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], i + 1);
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 200; ++k) ASSERT_TRUE(inbox->wait(100000 + i * 1000 + k).has_value());
}

TEST_F(DriverTest, HandleIdsStartAtOneAndAFailedOpenUsesItsId) {
    { std::ofstream(path("a")) << "x"; }
    EXPECT_EQ(ok<reply::Handle>(call(open_op(path("a"), true))).id, 1u);
    EXPECT_EQ(err(call(open_op(path("missing"), true))).code, ENOENT);
    EXPECT_EQ(ok<reply::Handle>(call(open_op(path("a"), true))).id, 3u);
}

TEST_F(DriverTest, CancelBeforeStartFailsWithoutTouchingTheTable) {
    { std::ofstream(path("a")) << "hello"; }
    // With the driver thread held in a callback, the cancel is taken off the
    // channel in the same batch as its open, before the open's task runs.
    auto gate = park_driver();
    const auto id = send(open_op(path("a"), true), 1);
    driver->cancel(id);
    gate->release();
    EXPECT_TRUE(err(*inbox->wait(1)).is_cancelled());
    // The cancelled open used handle id 1 without registering it.
    EXPECT_EQ(err(call(op::Size{1})).message, std::string(msg::kUnknownHandle));
    EXPECT_EQ(ok<reply::Handle>(call(open_op(path("a"), true))).id, 2u);

    gate = park_driver();
    const auto nop = send(op::Nop{}, 2);
    driver->cancel(nop);
    gate->release();
    EXPECT_TRUE(err(*inbox->wait(2)).is_cancelled());
}

TEST_F(DriverTest, CancelOfFinishedOrUnknownIdsChangesNothing) {
    const auto id = send(op::Nop{}, 1);
    ok<reply::Unit>(*inbox->wait(1));
    driver->cancel(id);
    driver->cancel(~0ull);
    ok<reply::Unit>(call(op::Nop{}));
}

TEST(DriverGone, SubmitAnswersAtOnceWithAFreshId) {
    auto ch = std::make_shared<Channel>();
    ch->close_receiver();
    Driver d(ch, kBackendPolling);
    std::optional<Outcome> got;
    const auto id = d.submit(op::Nop{}, make_callback([&](Outcome&& o) { got = std::move(o); }));
    EXPECT_EQ(id, 1u);
    ASSERT_TRUE(got.has_value());
    const IoError e = err(*got);
    EXPECT_EQ(e.kind, ErrorKind::BrokenPipe);
    EXPECT_EQ(e.display(), "velnor driver thread is gone");
    EXPECT_EQ(d.submit(op::Nop{}, make_callback([](Outcome&&) {})), 2u);
    d.cancel(1);  // dropped silently
}

TEST(DriverLifecycle, ThreadEndsWhenTheLastReferenceGoes) {
    auto count_threads = [] {
        int n = 0;
        for (auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
            std::ifstream comm(e.path() / "comm");
            std::string name;
            std::getline(comm, name);
            n += name == "velnor-compio";
        }
        return n;
    };
    // Drivers of earlier tests end asynchronously; let them go first.
    for (int i = 0; i < 500 && count_threads() > 0; ++i) usleep(10000);
    const int before = count_threads();
    ASSERT_EQ(before, 0);
    {
        auto d = std::get<std::shared_ptr<Driver>>(Driver::create());
        EXPECT_EQ(count_threads(), before + 1);
        auto box = std::make_shared<Inbox>();
        d->submit(op::Nop{}, make_callback([box](Outcome&& o) { box->put(1, std::move(o)); }));
        ASSERT_TRUE(box->wait(1).has_value());
    }
    for (int i = 0; i < 500 && count_threads() > before; ++i) usleep(10000);
    EXPECT_EQ(count_threads(), before);
}

TEST(DriverLifecycle, CallbacksOfUnfinishedOperationsAreDroppedUncalled) {
    // A FIFO read that never gets data is still in flight when the driver
    // goes away: its callback must be destroyed without being called.
    auto tmpl = (std::filesystem::temp_directory_path() / "velnor-fifo-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    const std::string fifo = tmpl + "/f";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int keep = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(keep, 0);
    // Raised (with release order, so that this thread may then free the
    // buffer) when the callback that owns it is destroyed.
    struct DropFlag {
        std::shared_ptr<std::atomic<bool>> flag;
        explicit DropFlag(std::shared_ptr<std::atomic<bool>> f) : flag(std::move(f)) {}
        DropFlag(DropFlag&&) noexcept = default;
        ~DropFlag() {
            if (flag) flag->store(true, std::memory_order_release);
        }
    };
    auto dropped = std::make_shared<std::atomic<bool>>(false);
    auto called = std::make_shared<std::atomic<int>>(0);
    std::vector<std::uint8_t> buf(16);
    {
        auto d = std::get<std::shared_ptr<Driver>>(Driver::create());
        auto box = std::make_shared<Inbox>();
        d->submit(open_op(fifo, true), make_callback([box](Outcome&& o) { box->put(1, std::move(o)); }));
        auto h = ok<reply::Handle>(*box->wait(1));
        d->submit(op::Read{h.id, 0, RawBufMut{buf.data(), buf.size()}},
                  make_callback([d = DropFlag(dropped), called](Outcome&&) { ++*called; }));
        usleep(50000);
    }
    // By now the driver thread is in its shutdown, waiting for the read. A
    // blocking read on a worker (the fallback) cannot be interrupted, so feed
    // it; the reply must still not be delivered.
    usleep(100000);
    ASSERT_EQ(::write(keep, "x", 1), 1);
    // `buf` may only go once the callback (and so the read) is gone.
    for (int i = 0; i < 1000 && !dropped->load(std::memory_order_acquire); ++i) usleep(10000);
    ASSERT_TRUE(dropped->load(std::memory_order_acquire));
    EXPECT_EQ(called->load(), 0);
    ::close(keep);
    std::filesystem::remove_all(tmpl);
}

TEST(ReplyText, MatchesTheDebugForm) {
    EXPECT_EQ(to_string(reply::Handle{3, 4096, 17}), "Handle { id: 3, size: 4096, fd: 17 }");
    EXPECT_EQ(to_string(reply::Bytes{{104, 105}}), "Bytes([104, 105])");
    EXPECT_EQ(to_string(reply::Bytes{}), "Bytes([])");
    EXPECT_EQ(to_string(reply::Read{5}), "Read { n: 5 }");
    EXPECT_EQ(to_string(reply::Written{5, 105}), "Written { n: 5, end: 105 }");
    EXPECT_EQ(to_string(reply::Size{4096}), "Size(4096)");
    EXPECT_EQ(to_string(reply::Unit{}), "Unit");
    EXPECT_EQ(IoError::os(ENOENT).display(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace velnor::test
