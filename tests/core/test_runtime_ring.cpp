// The raw ring as the extension's calibration probe uses it, and the
// once-per-process opcode probe.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/opcode_support.hpp"
#include "core/runtime/ring.hpp"
#include "core/runtime/runtime.hpp"
#include "tests/core/runtime_harness.hpp"

namespace velnor::rt::test {
namespace {

// A ring, or a skip (with the reason) where this run has no io_uring.
#define VELNOR_RING_OR_SKIP(ring, entries)                                    \
    do {                                                                      \
        const int r_ = (ring).init(entries);                                  \
        if (r_ < 0 && uring_expected_missing()) {                             \
            EXPECT_EQ(r_, -ENOSYS);                                           \
            GTEST_SKIP() << "io_uring_setup is blocked in this run";          \
        }                                                                     \
        if (r_ < 0 && !expected_backend())                                    \
            GTEST_SKIP() << "io_uring unavailable: " << std::strerror(-r_);   \
        ASSERT_EQ(r_, 0);                                                     \
    } while (0)

TEST(Ring, OneInlineReadWithASingleEnter) {
    TempDir dir;
    const std::string path = dir.file("data");
    {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(::write(fd, "0123456789", 10), 10);
        ::close(fd);
    }
    Ring ring;
    VELNOR_RING_OR_SKIP(ring, 64);
    EXPECT_EQ(ring.sq_entries(), 64u);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buf[8] = {};
    io_uring_sqe* sqe = ring.get_sqe();
    ASSERT_NE(sqe, nullptr);
    Ring::prep_read(sqe, fd, buf, 4, 3, 0xfeed);
    EXPECT_EQ(ring.publish_and_wait(1), 1);
    io_uring_cqe* cqe = ring.peek_cqe();
    ASSERT_NE(cqe, nullptr);
    EXPECT_EQ(cqe->user_data, 0xfeedu);
    EXPECT_EQ(cqe->res, 4);
    ring.cqe_seen();
    EXPECT_EQ(ring.peek_cqe(), nullptr);
    EXPECT_STREQ(buf, "3456");
    ::close(fd);
}

TEST(Ring, AFullSubmissionQueueRefusesEntriesUntilSubmitted) {
    Ring ring;
    VELNOR_RING_OR_SKIP(ring, 4);
    for (std::uint64_t i = 0; i < 4; ++i) {
        io_uring_sqe* sqe = ring.get_sqe();
        ASSERT_NE(sqe, nullptr);
        sqe->opcode = IORING_OP_NOP;
        sqe->user_data = i + 1;
    }
    EXPECT_EQ(ring.get_sqe(), nullptr);
    EXPECT_EQ(ring.sq_pending(), 4u);
    EXPECT_EQ(ring.publish(), 4);
    EXPECT_EQ(ring.sq_pending(), 0u);
    EXPECT_NE(ring.get_sqe(), nullptr) << "the slots are free again once consumed";
    // Completions come back in order here (NOPs complete inline) and the
    // CQ head moves past each one seen.
    for (std::uint64_t i = 0; i < 4; ++i) {
        io_uring_cqe* cqe = ring.peek_cqe();
        ASSERT_NE(cqe, nullptr);
        EXPECT_EQ(cqe->user_data, i + 1);
        EXPECT_EQ(cqe->res, 0);
        ring.cqe_seen();
    }
    EXPECT_EQ(ring.peek_cqe(), nullptr);
}

TEST(Ring, ClosingReleasesTheDescriptorAndIsIdempotent) {
    Ring ring;
    VELNOR_RING_OR_SKIP(ring, 8);
    const int fd = ring.fd();
    ring.close();
    EXPECT_FALSE(ring.valid());
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    ring.close();
}

TEST(OpcodeProbe, AnsweredOnceAndSharedByAllThreads) {
    std::vector<const OpcodeSet*> seen(8);
    std::vector<std::thread> threads;
    for (auto& s : seen) threads.emplace_back([&s] { s = &kernel_opcodes(); });
    for (auto& t : threads) t.join();
    for (auto* s : seen) EXPECT_EQ(s, seen[0]);

    const OpcodeSet& ops = kernel_opcodes();
    if (uring_expected_missing()) {
        EXPECT_EQ(ops.error, -ENOSYS);
        EXPECT_FALSE(supports(opcode::kRead));
    } else if (ops.error == 0) {
        EXPECT_TRUE(ops.has_all({opcode::kNop, opcode::kRead, opcode::kWrite, opcode::kOpenat,
                                 opcode::kStatx, opcode::kClose, opcode::kAsyncCancel}));
        // Opcode numbers past the kernel's last one are never supported.
        EXPECT_FALSE(supports(250));
    }
}

}  // namespace
}  // namespace velnor::rt::test
