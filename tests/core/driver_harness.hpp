// Synchronous access to a real driver for tests: submit, then wait for the
// outcome the driver thread delivers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/driver.hpp"

namespace velnor::test {

struct Inbox {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::pair<std::uint64_t, Outcome>> got;

    void put(std::uint64_t tag, Outcome o) {
        std::lock_guard lk(mu);
        got.emplace_back(tag, std::move(o));
        cv.notify_all();
    }
    // The outcome delivered under `tag`, or nullopt after `ms`.
    std::optional<Outcome> wait(std::uint64_t tag, int ms = 10000) {
        std::unique_lock lk(mu);
        std::optional<Outcome> out;
        cv.wait_for(lk, std::chrono::milliseconds(ms), [&] {
            for (auto it = got.begin(); it != got.end(); ++it)
                if (it->first == tag) {
                    out = std::move(it->second);
                    got.erase(it);
                    return true;
                }
            return false;
        });
        return out;
    }
    std::vector<std::uint64_t> order() {
        std::lock_guard lk(mu);
        std::vector<std::uint64_t> v;
        for (auto& g : got) v.push_back(g.first);
        return v;
    }
};

// Holds the driver thread inside a reply callback until opened, so that
// messages sent meanwhile are all taken off the channel in one batch, before
// any of their tasks runs.
struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    bool entered = false, open = false;

    void hold() {
        std::unique_lock lk(mu);
        entered = true;
        cv.notify_all();
        cv.wait(lk, [&] { return open; });
    }
    void wait_entered() {
        std::unique_lock lk(mu);
        cv.wait(lk, [&] { return entered; });
    }
    void release() {
        std::lock_guard lk(mu);
        open = true;
        cv.notify_all();
    }
};

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto d = Driver::create();
        ASSERT_TRUE(std::holds_alternative<std::shared_ptr<Driver>>(d));
        driver = std::get<std::shared_ptr<Driver>>(d);
        if (const char* want = std::getenv("VELNOR_EXPECT_BACKEND")) {
            ASSERT_STREQ(driver->backend(), want);
        }
        auto tmpl = (std::filesystem::temp_directory_path() / "velnor-core-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Submits under a caller-chosen tag; returns the message id.
    std::uint64_t send(Op op, std::uint64_t tag) {
        return driver->submit(std::move(op), make_callback([box = inbox, tag](Outcome&& o) { box->put(tag, std::move(o)); }));
    }
    // Parks the driver thread in a callback; returns once it is parked.
    std::shared_ptr<Gate> park_driver() {
        auto gate = std::make_shared<Gate>();
        driver->submit(op::Nop{}, make_callback([gate](Outcome&&) { gate->hold(); }));
        gate->wait_entered();
        return gate;
    }
    Outcome call(Op op) {
        static std::uint64_t next = 1u << 30;
        const std::uint64_t tag = next++;
        send(std::move(op), tag);
        auto o = inbox->wait(tag);
        EXPECT_TRUE(o.has_value()) << "no reply within the time limit";
        return o ? std::move(*o) : Outcome{IoError::of(ErrorKind::Other, "timeout")};
    }
    std::string path(const std::string& name) const { return (std::filesystem::path(dir) / name).string(); }

    std::shared_ptr<Driver> driver;
    // Shared with the callbacks, which may outlive the fixture by a moment.
    std::shared_ptr<Inbox> inbox = std::make_shared<Inbox>();
    std::string dir;
};

template <class R>
const R& ok(const Outcome& o) {
    if (auto* e = std::get_if<IoError>(&o)) ADD_FAILURE() << "error: " << e->display();
    static const R dflt{};
    if (!std::holds_alternative<Reply>(o)) return dflt;
    const auto* r = std::get_if<R>(&std::get<Reply>(o));
    if (!r) {
        ADD_FAILURE() << "unexpected reply " << to_string(std::get<Reply>(o));
        return dflt;
    }
    return *r;
}

inline IoError err(const Outcome& o) {
    if (auto* e = std::get_if<IoError>(&o)) return *e;
    ADD_FAILURE() << "expected an error, got " << to_string(std::get<Reply>(o));
    return {};
}

inline op::Open open_op(std::string p, bool read, bool write = false, bool append = false,
                        bool truncate = false, bool create = false, bool create_new = false) {
    return op::Open{std::move(p), read, write, append, truncate, create, create_new};
}

// A large read as the package makes it: `chunks` reads of `chunk` bytes of
// `handle` from its start into `dst`, all submitted at once and each handed
// to the kernel's workers. Returns once all are done, with the number that
// failed or came back short.
inline int read_spread_chunks(Driver& driver, std::uint64_t handle, std::uint8_t* dst, int chunks,
                              std::size_t chunk) {
    auto left = std::make_shared<std::atomic<int>>(chunks);
    auto bad = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < chunks; ++i) {
        op::Read r{handle, i * chunk, RawBufMut{dst + i * chunk, chunk}, true};
        driver.submit(std::move(r), make_callback([left, bad, chunk](Outcome&& o) {
                          const auto* rep = std::get_if<Reply>(&o);
                          const auto* n = rep ? std::get_if<reply::Read>(rep) : nullptr;
                          if (!n || n->n != chunk) bad->fetch_add(1);
                          left->fetch_sub(1);
                      }));
    }
    while (left->load() > 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    return bad->load();
}

}  // namespace velnor::test
