// The result type and its propagation idiom, inside coroutine tasks as the
// driver's operations use them.
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/op.hpp"
#include "core/result.hpp"
#include "core/runtime/task.hpp"

namespace velnor::test {
namespace {

// Runs a task that never suspends on anything but its own sub-tasks.
template <class T>
T run_inline(rt::Task<T> task) {
    auto h = task.release();
    h.resume();
    EXPECT_TRUE(h.done());
    T out = std::move(*h.promise().value);
    h.destroy();
    return out;
}

rt::Task<Result<std::unique_ptr<int>>> step(std::vector<std::string>* log, const char* name, int value,
                                            bool fail) {
    log->push_back(name);
    if (fail) co_return IoError::os(EIO);
    co_return std::make_unique<int>(value);
}

rt::Task<Result<void>> check(std::vector<std::string>* log, bool fail) {
    log->push_back("check");
    if (fail) co_return IoError::of(ErrorKind::WriteZero, msg::kWriteZero);
    co_return Result<void>{};
}

// Three steps, as an operation chains them: the first error ends the task.
rt::Task<Outcome> chain(std::vector<std::string>* log, int fail_at) {
    VELNOR_CO_TRY(const std::unique_ptr<int> a, co_await step(log, "a", 20, fail_at == 1));
    VELNOR_CO_TRY_VOID(co_await check(log, fail_at == 2));
    VELNOR_CO_TRY(const std::unique_ptr<int> b, co_await step(log, "b", 22, fail_at == 3));
    log->push_back("done");
    co_return reply::Size{static_cast<std::uint64_t>(*a + *b)};
}

TEST(Result, TheFirstFailingStepEndsTheTaskWithItsError) {
    {
        std::vector<std::string> log;
        Outcome out = run_inline(chain(&log, 0));
        ASSERT_TRUE(out.ok());
        EXPECT_EQ(std::get<reply::Size>(out.value()).size, 42u);
        EXPECT_EQ(log, (std::vector<std::string>{"a", "check", "b", "done"}));
    }
    {
        std::vector<std::string> log;
        Outcome out = run_inline(chain(&log, 1));
        ASSERT_FALSE(out.ok());
        EXPECT_EQ(out.error().code, EIO);
        EXPECT_EQ(log, (std::vector<std::string>{"a"}));
    }
    {
        std::vector<std::string> log;
        Outcome out = run_inline(chain(&log, 2));
        ASSERT_FALSE(out.ok());
        EXPECT_EQ(out.error().kind, ErrorKind::WriteZero);
        EXPECT_EQ(log, (std::vector<std::string>{"a", "check"}));
    }
    {
        std::vector<std::string> log;
        Outcome out = run_inline(chain(&log, 3));
        ASSERT_FALSE(out.ok());
        EXPECT_EQ(out.error().code, EIO);
        EXPECT_EQ(log, (std::vector<std::string>{"a", "check", "b"}));
    }
}

TEST(Result, KernelResultsAndTheVariantViewAgree) {
    EXPECT_EQ(from_kernel(7).value(), 7u);
    EXPECT_EQ(from_kernel(-ENOENT).error().code, ENOENT);
    EXPECT_TRUE(from_kernel(-ECANCELED).error().is_cancelled());
    // The extension dispatches on the alternatives of an outcome.
    Outcome failed = IoError::os(EBADF);
    ASSERT_NE(std::get_if<IoError>(&failed), nullptr);
    EXPECT_EQ(std::get_if<IoError>(&failed)->code, EBADF);
    Outcome done = Reply{reply::Unit{}};
    EXPECT_TRUE(std::holds_alternative<Reply>(done));
    EXPECT_EQ(std::visit([](const auto& v) { return std::is_same_v<std::decay_t<decltype(v)>, Reply>; }, done),
              true);
}

}  // namespace
}  // namespace velnor::test
