// Opening, closing and the whole-file metadata operations.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "driver_harness.hpp"

namespace velnor::test {
namespace {

std::string slurp(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

TEST_F(DriverTest, OpenFlagCombinationsThatCannotWorkFailWithEinval) {
    EXPECT_EQ(err(call(open_op(path("n"), false))).code, EINVAL);
    EXPECT_EQ(err(call(open_op(path("n"), true, false, false, true))).code, EINVAL);
    EXPECT_EQ(err(call(open_op(path("n"), true, false, false, false, true))).code, EINVAL);
    EXPECT_EQ(err(call(open_op(path("n"), true, false, false, false, false, true))).code, EINVAL);
    EXPECT_FALSE(std::filesystem::exists(path("n")));
}

TEST_F(DriverTest, OpenCreatesTruncatesAndAppendsAsAsked) {
    // append alone opens write-only on an existing file; with create it makes one.
    EXPECT_EQ(err(call(open_op(path("a"), false, false, true))).code, ENOENT);
    auto h = ok<reply::Handle>(call(open_op(path("a"), false, false, true, false, true)));
    EXPECT_EQ(h.size, 0u);
    const int flags = fcntl(static_cast<int>(h.fd), F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, O_WRONLY);
    EXPECT_TRUE(flags & O_APPEND);
    EXPECT_TRUE(fcntl(static_cast<int>(h.fd), F_GETFD) & FD_CLOEXEC);
    ok<reply::Unit>(call(op::Close{h.id}));

    { std::ofstream(path("b")) << "0123456789"; }
    auto r = ok<reply::Handle>(call(open_op(path("b"), true)));
    EXPECT_EQ(r.size, 10u);
    auto t = ok<reply::Handle>(call(open_op(path("b"), true, true, false, true)));
    EXPECT_EQ(t.size, 0u);
    EXPECT_EQ(slurp(path("b")), "");
}

TEST_F(DriverTest, CreateNewRefusesAnExistingFileAndLeavesItAlone) {
    { std::ofstream(path("c")) << "keep"; }
    EXPECT_EQ(err(call(open_op(path("c"), false, true, false, true, true, true))).code, EEXIST);
    EXPECT_EQ(slurp(path("c")), "keep");
    auto h = ok<reply::Handle>(call(open_op(path("d"), false, true, false, false, false, true)));
    EXPECT_TRUE(std::filesystem::exists(path("d")));
    ok<reply::Unit>(call(op::Close{h.id}));
}

TEST_F(DriverTest, PathsWithNulOrNothingFail) {
    const IoError nul = err(call(open_op(path("x") + std::string("\0y", 2), true)));
    EXPECT_EQ(nul.kind, ErrorKind::InvalidInput);
    EXPECT_EQ(nul.display(), "file name contained an unexpected NUL byte");
    EXPECT_EQ(err(call(open_op("", true))).code, ENOENT);
    EXPECT_EQ(err(call(op::ReadFile{std::string("a\0b", 3), 10})).display(), std::string(msg::kNulInPath));
    EXPECT_EQ(err(call(op::WriteFile{std::string("a\0b", 3), Payload{Bytes{1}}})).display(), std::string(msg::kNulInPath));
}

TEST_F(DriverTest, CloseRemovesTheHandleAndClosesTheDescriptor) {
    { std::ofstream(path("a")) << "x"; }
    auto h = ok<reply::Handle>(call(open_op(path("a"), true)));
    ok<reply::Unit>(call(op::Close{h.id}));
    EXPECT_EQ(fcntl(static_cast<int>(h.fd), F_GETFD), -1);
    const IoError again = err(call(op::Close{h.id}));
    EXPECT_EQ(again.kind, ErrorKind::InvalidInput);
    EXPECT_EQ(again.display(), "unknown or closed velnor handle");
    EXPECT_EQ(err(call(op::Close{9999})).display(), "unknown or closed velnor handle");
    std::vector<Op> ops;  // operations own what they carry: moved, not copied
    ops.emplace_back(op::Size{h.id});
    ops.emplace_back(op::Sync{h.id, false});
    ops.emplace_back(op::SetLen{h.id, 1});
    ops.emplace_back(op::ReadToEnd{h.id, 0});
    ops.emplace_back(op::Read{h.id, 0, Alloc{4}});
    for (Op& o : ops) EXPECT_EQ(err(call(std::move(o))).display(), "unknown or closed velnor handle");
}

TEST_F(DriverTest, SizeSetLenAndSync) {
    auto h = ok<reply::Handle>(call(open_op(path("s"), true, true, false, false, true)));
    ok<reply::Unit>(call(op::SetLen{h.id, 12345}));
    EXPECT_EQ(ok<reply::Size>(call(op::Size{h.id})).size, 12345u);
    EXPECT_EQ(std::filesystem::file_size(path("s")), 12345u);
    ok<reply::Unit>(call(op::SetLen{h.id, 0}));
    EXPECT_EQ(ok<reply::Size>(call(op::Size{h.id})).size, 0u);
    ok<reply::Unit>(call(op::Sync{h.id, true}));
    ok<reply::Unit>(call(op::Sync{h.id, false}));
    // Truncating a read-only descriptor is the kernel's error, errno kept.
    { std::ofstream(path("r")) << "abc"; }
    auto r = ok<reply::Handle>(call(open_op(path("r"), true)));
    const IoError e = err(call(op::SetLen{r.id, 0}));
    EXPECT_TRUE(e.code == EINVAL || e.code == EBADF) << e.display();
}

// Close issued while a read on the same handle waits: the read completes
// normally, Close replies only after it, and a read issued after Close fails.
TEST_F(DriverTest, CloseWaitsForOperationsAlreadyRunning) {
    const std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    auto h = ok<reply::Handle>(call(open_op(fifo, true)));
    std::uint8_t buf[4] = {};
    send(op::Read{h.id, 0, RawBufMut{buf, 4}}, 1);
    send(op::Close{h.id}, 2);
    send(op::Read{h.id, 0, Alloc{4}}, 3);
    EXPECT_EQ(err(*inbox->wait(3)).display(), "unknown or closed velnor handle");
    EXPECT_FALSE(inbox->wait(2, 200).has_value()) << "close replied while a read was running";
    ASSERT_EQ(::write(writer, "abcd", 4), 4);
    EXPECT_EQ(ok<reply::Read>(*inbox->wait(1)).n, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "abcd");
    ok<reply::Unit>(*inbox->wait(2));
    ::close(writer);
}

TEST_F(DriverTest, AdoptedDescriptorsJoinTheTableAndCloseThroughIt) {
    { std::ofstream(path("adopt")) << "0123456789"; }
    const int fd = ::open(path("adopt").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    auto h = ok<reply::Handle>(call(op::Adopt{fd}));
    EXPECT_EQ(h.fd, fd);
    // Handle ids come from the one sequence that opens use.
    auto other = ok<reply::Handle>(call(open_op(path("adopt"), true)));
    EXPECT_NE(other.id, h.id);
    EXPECT_EQ(ok<reply::Size>(call(op::Size{h.id})).size, 10u);
    auto chunk = std::string(4, '\0');
    auto* p = reinterpret_cast<std::uint8_t*>(chunk.data());
    op::Read spread{h.id, 3, RawBufMut{p, chunk.size()}};
    spread.spread = true;
    EXPECT_EQ(ok<reply::Read>(call(std::move(spread))).n, 4u);
    EXPECT_EQ(chunk, "3456");
    ok<reply::Unit>(call(op::Close{h.id}));
    ok<reply::Unit>(call(op::Close{other.id}));
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(err(call(op::Adopt{-1})).code, EBADF);
}

// An adopted pipe told to be a stream: a read waiting for data that never
// comes is withdrawn by a cancel, as for a FIFO the driver opened itself.
TEST_F(DriverTest, AdoptedStreamsHaveWaitingReadsWithdrawn) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    auto h = ok<reply::Handle>(call(op::Adopt{fds[0], true}));
    std::uint8_t buf[4] = {};
    const auto id = send(op::Read{h.id, 0, RawBufMut{buf, 4}}, 1);
    EXPECT_FALSE(inbox->wait(1, 100).has_value()) << "a read of an empty pipe finished";
    driver->cancel(id);
    const auto reply = inbox->wait(1, 5000);
    ASSERT_TRUE(reply.has_value()) << "the cancel did not end the wait";
    EXPECT_TRUE(err(*reply).is_cancelled());
    ok<reply::Unit>(call(op::Close{h.id}));
    ::close(fds[1]);
}

}  // namespace
}  // namespace velnor::test
