// Reads and writes: short reads, end of file, growth, appends, whole files.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <algorithm>
#include <set>
#include <thread>
#include <atomic>
#include <chrono>
#include <vector>

#include "driver_harness.hpp"

namespace velnor::test {
namespace {

std::string slurp(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}
std::string str(const Bytes& b) { return {b.begin(), b.end()}; }
Payload borrow(const std::string& s) {
    return Payload{Borrowed{reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}};
}

class ReadWrite : public DriverTest {
protected:
    std::uint64_t open_file(const std::string& name, const std::string& content) {
        { std::ofstream(path(name), std::ios::binary) << content; }
        return ok<reply::Handle>(call(open_op(path(name), true, true))).id;
    }
};

TEST_F(ReadWrite, ReadStopsAtEndOfFileAndFillsInPlace) {
    const auto h = open_file("a", "0123456789");
    EXPECT_EQ(str(ok<reply::Bytes>(call(op::Read{h, 0, Alloc{4}})).data), "0123");
    EXPECT_EQ(str(ok<reply::Bytes>(call(op::Read{h, 6, Alloc{10}})).data), "6789");
    EXPECT_EQ(ok<reply::Bytes>(call(op::Read{h, 10, Alloc{10}})).data.size(), 0u);
    EXPECT_EQ(ok<reply::Bytes>(call(op::Read{h, 0, Alloc{0}})).data.size(), 0u);
    std::string dst(16, '#');
    auto* p = reinterpret_cast<std::uint8_t*>(dst.data());
    EXPECT_EQ(ok<reply::Read>(call(op::Read{h, 2, RawBufMut{p, dst.size()}})).n, 8u);
    EXPECT_EQ(dst, "23456789########");
    EXPECT_EQ(ok<reply::Read>(call(op::Read{h, 0, RawBufMut{p, 0}})).n, 0u);
}

TEST_F(ReadWrite, AnAllocationThatCannotBeMadeFailsTheOperationOnly) {
    const auto h = open_file("a", "abc");
    EXPECT_EQ(err(call(op::Read{h, 0, Alloc{~std::size_t{0}}})).kind, ErrorKind::OutOfMemory);
    EXPECT_EQ(str(ok<reply::Bytes>(call(op::Read{h, 0, Alloc{3}})).data), "abc");
}

TEST_F(ReadWrite, ReadToEndFromAnyPosition) {
    const auto h = open_file("a", "hello world");
    EXPECT_EQ(str(ok<reply::Bytes>(call(op::ReadToEnd{h, 0})).data), "hello world");
    EXPECT_EQ(str(ok<reply::Bytes>(call(op::ReadToEnd{h, 6})).data), "world");
    EXPECT_EQ(ok<reply::Bytes>(call(op::ReadToEnd{h, 100})).data.size(), 0u);
}

TEST_F(ReadWrite, AReadOfAnOwnedDuplicateClosesItAndLeavesTheOriginalOpen) {
    { std::ofstream(path("o"), std::ios::binary) << "hello world"; }
    UniqueFd mine(::open(path("o").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_GE(mine.get(), 0);
    auto read_dup = [&](std::uint64_t pos, std::uint64_t size) {
        op::ReadOwnedToEnd o;
        o.fd = UniqueFd(::fcntl(mine.get(), F_DUPFD_CLOEXEC, 0));
        o.pos = pos;
        o.size = size;
        const int dup = o.fd.get();
        Outcome out = call(std::move(o));
        EXPECT_EQ(::fcntl(dup, F_GETFD), -1) << "the duplicate stayed open";
        return out;
    };
    EXPECT_EQ(str(ok<reply::Bytes>(read_dup(0, 11)).data), "hello world");
    EXPECT_EQ(str(ok<reply::Bytes>(read_dup(6, 11)).data), "world");
    // The size only sizes the buffer: the read goes to the end as it is.
    EXPECT_EQ(str(ok<reply::Bytes>(read_dup(0, 2)).data), "hello world");
    EXPECT_EQ(str(ok<reply::Bytes>(read_dup(0, 1 << 20)).data), "hello world");
    EXPECT_EQ(ok<reply::Bytes>(read_dup(100, 11)).data.size(), 0u);
    // A failed read still closes the duplicate.
    EXPECT_EQ(err(read_dup(~std::uint64_t{0}, 11)).code, EINVAL);
    EXPECT_GE(::fcntl(mine.get(), F_GETFD), 0);
    EXPECT_EQ(err(call(op::ReadOwnedToEnd{})).code, EBADF);
}

TEST_F(ReadWrite, ReadToEndSeesAFileThatGrows) {
    // A FIFO has no size: every byte arrives past the size snapshot, so the
    // buffer must grow; the read ends when the writer closes.
    const std::string fifo = path("grow");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        std::string chunk(1000, 'g');
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(::write(fd, chunk.data(), chunk.size()), 1000);
            usleep(2000);
        }
        ::close(fd);
    });
    auto h = ok<reply::Handle>(call(open_op(fifo, true)));
    auto data = ok<reply::Bytes>(call(op::ReadToEnd{h.id, 0})).data;
    writer.join();
    EXPECT_EQ(data.size(), 5000u);
    EXPECT_EQ(str(data), std::string(5000, 'g'));
}

TEST_F(ReadWrite, ReadFileInlineUpToTheLimitAndAHandleBeyond) {
    { std::ofstream(path("f")) << "12345"; }
    EXPECT_EQ(str(ok<reply::Bytes>(call(op::ReadFile{path("f"), 5})).data), "12345");
    auto h = ok<reply::Handle>(call(op::ReadFile{path("f"), 4}));
    EXPECT_EQ(h.size, 5u);
    EXPECT_EQ(str(ok<reply::Bytes>(call(op::Read{h.id, 0, Alloc{5}})).data), "12345");
    ok<reply::Unit>(call(op::Close{h.id}));
    { std::ofstream(path("empty")); }
    EXPECT_EQ(ok<reply::Bytes>(call(op::ReadFile{path("empty"), 0})).data.size(), 0u);
    EXPECT_EQ(err(call(op::ReadFile{path("missing"), 100})).code, ENOENT);
    // The missing file registered nothing; the inline read's descriptor is
    // closed: the next handle id follows the large file's.
    EXPECT_EQ(ok<reply::Handle>(call(open_op(path("f"), true))).id, h.id + 3);
}

TEST_F(ReadWrite, PositionalWritesLandWhereAsked) {
    const auto h = open_file("w", "abcdef");
    EXPECT_EQ(ok<reply::Written>(call(op::Write{h, 2, borrow("XY"), false})).end, 4u);
    EXPECT_EQ(slurp(path("w")), "abXYef");
    auto w = ok<reply::Written>(call(op::Write{h, 10, Payload{Bytes{'Z'}}, false}));
    EXPECT_EQ(w.n, 1u);
    EXPECT_EQ(w.end, 11u);
    EXPECT_EQ(slurp(path("w")), std::string("abXYef\0\0\0\0Z", 11));
    auto e = ok<reply::Written>(call(op::Write{h, 3, Payload{}, false}));
    EXPECT_EQ(e.n, 0u);
    EXPECT_EQ(e.end, 3u);
}

TEST_F(ReadWrite, AppendsFromManySendersLandWhole) {
    { std::ofstream(path("log")); }
    const auto h = ok<reply::Handle>(call(open_op(path("log"), false, false, true))).id;
    std::vector<std::string> lines;
    for (int i = 0; i < 64; ++i) lines.push_back(std::string(100 + i, static_cast<char>('A' + i % 26)) + "\n");
    for (int i = 0; i < 64; ++i) send(op::Write{h, 0, borrow(lines[i]), true}, 500 + i);
    std::uint64_t max_end = 0, total = 0;
    for (int i = 0; i < 64; ++i) {
        auto w = ok<reply::Written>(*inbox->wait(500 + i));
        EXPECT_EQ(w.n, lines[i].size());
        max_end = std::max(max_end, w.end);
        total += lines[i].size();
    }
    EXPECT_EQ(max_end, total);
    const std::string all = slurp(path("log"));
    ASSERT_EQ(all.size(), total);
    std::multiset<std::string> seen, want(lines.begin(), lines.end());
    std::size_t at = 0;
    while (at < all.size()) {
        const auto nl = all.find('\n', at);
        seen.insert(all.substr(at, nl + 1 - at));
        at = nl + 1;
    }
    EXPECT_EQ(seen, want);
}

TEST_F(ReadWrite, AppendWithoutAppendModeWritesAtTheDescriptorPosition) {
    const auto h = open_file("p", "abcdef");
    auto w = ok<reply::Written>(call(op::Write{h, 99, borrow("XY"), true}));
    EXPECT_EQ(w.end, 6u);
    EXPECT_EQ(slurp(path("p")), "XYcdef");
    auto empty = ok<reply::Written>(call(op::Write{h, 0, Payload{}, true}));
    EXPECT_EQ(empty.n, 0u);
    EXPECT_EQ(empty.end, 6u);
}

TEST_F(ReadWrite, WriteFileTruncatesAndReportsErrors) {
    { std::ofstream(path("t")) << "a much longer old content"; }
    auto w = ok<reply::Written>(call(op::WriteFile{path("t"), borrow("new")}));
    EXPECT_EQ(w.n, 3u);
    EXPECT_EQ(w.end, 3u);
    EXPECT_EQ(slurp(path("t")), "new");
    ok<reply::Written>(call(op::WriteFile{path("t"), Payload{}}));
    EXPECT_EQ(slurp(path("t")), "");
    EXPECT_EQ(err(call(op::WriteFile{path("no/such/dir"), borrow("x")})).code, ENOENT);
}

TEST_F(ReadWrite, PositionsPastTheSignedRangeFailInsteadOfUsingTheFilePosition) {
    // Offset -1 would mean "the descriptor's own position" to the kernel.
    const auto h = open_file("o", "0123456789");
    const std::uint64_t last = ~std::uint64_t{0};
    EXPECT_EQ(err(call(op::Read{h, last, Alloc{4}})).code, EINVAL);
    EXPECT_EQ(err(call(op::ReadToEnd{h, last})).code, EINVAL);
    EXPECT_EQ(err(call(op::Write{h, last, borrow("XY"), false})).code, EINVAL);
    EXPECT_EQ(err(call(op::Write{h, std::uint64_t{1} << 63, borrow("XY"), false})).code, EINVAL);
    EXPECT_EQ(ok<reply::Bytes>(call(op::Read{h, last, Alloc{0}})).data.size(), 0u);
    EXPECT_EQ(slurp(path("o")), "0123456789");
}

TEST_F(ReadWrite, CancelledReadBetweenKernelReadsFails) {
    // The first kernel read waits on the FIFO; the cancel raised meanwhile is
    // seen at the next check point even though that read filled the buffer.
    const std::string fifo = path("c");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    auto h = ok<reply::Handle>(call(open_op(fifo, true)));
    const auto id = send(op::Read{h.id, 0, Alloc{8}}, 1);
    usleep(50000);
    driver->cancel(id);
    usleep(50000);
    ASSERT_EQ(::write(writer, "abcdefgh", 8), 8);
    EXPECT_TRUE(err(*inbox->wait(1)).is_cancelled());
    ::close(writer);
}

TEST_F(ReadWrite, AStreamsReadGivesWhatOneReadGives) {
    // As the built-in unbuffered file's: four bytes in the FIFO answer a
    // read of eight at once, rather than wait for four more that may never
    // come (a subprocess's line, a prompt).
    const std::string fifo = path("pieces");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    auto h = ok<reply::Handle>(call(open_op(fifo, true)));
    send(op::Read{h.id, 0, Alloc{8}}, 1);
    ASSERT_EQ(::write(writer, "abcd", 4), 4);
    auto o = inbox->wait(1, 5000);
    ASSERT_TRUE(o.has_value()) << "the read waited for the rest of its eight bytes";
    EXPECT_EQ(str(ok<reply::Bytes>(*o).data), "abcd");
    ::close(writer);
}

TEST_F(ReadWrite, AWriteLargerThanThePipeContinuesAfterEachPartialWrite) {
    // A pipe takes 64 KiB at a time: the rest must follow as the reader
    // drains it, and all of it must arrive.
    const std::string fifo = path("drain");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    auto h = ok<reply::Handle>(call(open_op(fifo, false, true)));
    std::string payload(1 << 20, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + i / 251);
    send(op::Write{h.id, 0, borrow(payload), false}, 1);
    std::string got;
    std::vector<char> buf(65536);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (got.size() < payload.size() && std::chrono::steady_clock::now() < until) {
        const ssize_t r = ::read(reader, buf.data(), buf.size());
        if (r > 0)
            got.append(buf.data(), static_cast<std::size_t>(r));
        else
            usleep(1000);
    }
    EXPECT_EQ(ok<reply::Written>(*inbox->wait(1)).n, payload.size());
    EXPECT_TRUE(got == payload) << "received " << got.size() << " of " << payload.size() << " bytes";
    ::close(reader);
}

TEST_F(ReadWrite, ACancelEndsAReadToEndOfAPipeThatKeepsProducing) {
    const std::string fifo = path("endless");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    auto h = ok<reply::Handle>(call(open_op(fifo, true)));
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        const std::string chunk(4096, 'z');
        while (!stop) {
            if (::write(writer, chunk.data(), chunk.size()) < 0) usleep(100);
        }
    });
    const auto id = send(op::ReadToEnd{h.id, 0}, 1);
    usleep(50000);
    driver->cancel(id);
    auto o = inbox->wait(1, 5000);
    stop = true;
    producer.join();
    ASSERT_TRUE(o.has_value()) << "the read went on after its cancel";
    // What it took is gone from the pipe: it completes with that, not as cancelled.
    const auto& got = ok<reply::Bytes>(*o).data;
    EXPECT_FALSE(got.empty());
    EXPECT_EQ(std::count(got.begin(), got.end(), 'z'), static_cast<std::ptrdiff_t>(got.size()));
    ::close(writer);
}

TEST_F(ReadWrite, ACancelEndsAnAppendToAPipeNobodyReads) {
    // The reader takes nothing: the append fills the pipe and then waits.
    // Had it gone to a worker's write(2), no cancel could reach it.
    const std::string fifo = path("stalled");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    auto h = ok<reply::Handle>(call(open_op(fifo, false, true, true)));
    const std::string payload(1 << 20, 'p');
    const auto id = send(op::Write{h.id, 0, borrow(payload), true}, 1);
    usleep(50000);
    driver->cancel(id);
    auto o = inbox->wait(1, 3000);
    // Without its reply, read the pipe dry so that the write ends and the
    // driver can be torn down.
    std::vector<char> buf(65536);
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         !o && std::chrono::steady_clock::now() < until; o = inbox->wait(1, 1))
        (void)::read(reader, buf.data(), buf.size());
    ::close(reader);
    ASSERT_TRUE(o.has_value());
    EXPECT_TRUE(err(*o).is_cancelled()) << "the append went on after its cancel";
}

}  // namespace
}  // namespace velnor::test
