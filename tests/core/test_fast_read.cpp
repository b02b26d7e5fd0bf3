// No-wait reads on the calling thread: right after a miss, a page that is
// not cached fails the read without being read in there; a lone miss
// starts the disk read at once.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/nowait_io.hpp"
#include "core/unique_fd.hpp"

namespace velnor::test {
namespace {

// Files on the disk: a temporary folder in memory cannot drop its pages.
class FastRead : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = "/var/tmp/velnor-fast-read-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        fast::forget_misses();
        fast::set_miss_window(std::chrono::microseconds(150));
        std::filesystem::remove_all(dir_);
    }

    // Whether pages of the file come into the page cache within moments.
    static bool read_in_soon(int fd, std::size_t n) {
        for (int i = 0; i < 200; ++i) {
            if (cached_pages(fd, n) > 0) return true;
            ::usleep(1000);
        }
        return false;
    }

    // A file of `n` bytes whose pages are not cached; an invalid descriptor
    // where the kernel keeps them anyway.
    UniqueFd cold_file(const std::string& name, std::size_t n) {
        const std::string p = dir_ + "/" + name;
        UniqueFd fd(::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        std::vector<std::uint8_t> data(n, 'x');
        if (fd.get() < 0 || ::pwrite(fd.get(), data.data(), n, 0) != static_cast<ssize_t>(n) ||
            !evicted(fd.get(), n))
            return UniqueFd();
        return fd;
    }

    // Drops the file's pages again, right before a read that needs them
    // gone; whether they are.
    static bool evicted(int fd, std::size_t n) {
        return ::fsync(fd) == 0 && ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0 && cached_pages(fd, n) == 0;
    }

    static std::size_t cached_pages(int fd, std::size_t n) {
        void* map = ::mmap(nullptr, n, PROT_READ, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) return SIZE_MAX;
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        std::vector<unsigned char> in((n + page - 1) / page);
        std::size_t count = SIZE_MAX;
        if (::mincore(map, n, in.data()) == 0) {
            count = 0;
            for (unsigned char c : in) count += c & 1;
        }
        ::munmap(map, n);
        return count;
    }

    // A refused no-wait read, on the first of a few cold files that is
    // refused (this machine's disk sometimes answers inside the very call
    // that starts the read); its descriptor, or an invalid one.
    static constexpr std::size_t kMissSize = 8192;
    UniqueFd miss() {
        std::vector<std::uint8_t> buf(kMissSize);
        for (int i = 0; i < 8; ++i) {
            UniqueFd fd = cold_file("miss" + std::to_string(i), kMissSize);
            if (fd.get() < 0) return fd;
            if (!fast::fill(fd.get(), 0, buf.data(), kMissSize)) return fd;
        }
        return UniqueFd();
    }

    std::string dir_;
};

TEST_F(FastRead, AfterAMissAPageNotCachedIsNotReadInOnTheCallingThread) {
    constexpr std::size_t n = 16384;
    UniqueFd second = cold_file("second", n), third = cold_file("third", n);
    if (second.get() < 0 || third.get() < 0) GTEST_SKIP() << "the kernel keeps these pages cached";
    std::vector<std::uint8_t> buf(n);
    fast::forget_misses();
    // However slow this machine, the reads below come soon after the miss.
    fast::set_miss_window(std::chrono::seconds(10));
    UniqueFd missed = miss();
    if (missed.get() < 0) GTEST_SKIP() << "the disk answers every no-wait read inside the call";
    // That miss started the disk read, and says so once.
    EXPECT_TRUE(fast::take_miss_in_flight());
    EXPECT_FALSE(fast::take_miss_in_flight());
    // Its page is there now, being read in: no sign that reads are served
    // again, whatever looks at it.
    EXPECT_TRUE(fast::supports_nowait(missed.get()));
    // Now both kinds of read refuse without reading anything in, and so
    // does the probe of whether no-wait reads work at all.
    if (!evicted(second.get(), n) || !evicted(third.get(), n)) GTEST_SKIP() << "the kernel keeps these pages cached";
    EXPECT_FALSE(fast::fill(second.get(), 0, buf.data(), n));
    EXPECT_FALSE(fast::fill_to_end(third.get(), 0, buf.data(), n));
    // Refused before anything started: nothing is on its way to wait for.
    EXPECT_FALSE(fast::take_miss_in_flight());
    EXPECT_TRUE(fast::supports_nowait(second.get()));
    ASSERT_TRUE(read_in_soon(missed.get(), kMissSize)) << "a refused read started nothing";
    // A read started later would have finished by now too (a page counts
    // only once read in).
    ::usleep(50000);
    EXPECT_EQ(cached_pages(second.get(), n), 0u);
    EXPECT_EQ(cached_pages(third.get(), n), 0u);
    // A cached page ends the caution: the read is served, and the next
    // miss is a real one again.
    std::vector<std::uint8_t> data(n);
    ASSERT_EQ(::pread(second.get(), data.data(), n, 0), static_cast<ssize_t>(n));
    EXPECT_EQ(fast::fill(second.get(), 0, buf.data(), n), n);
    EXPECT_TRUE(fast::fill_to_end(second.get(), 0, buf.data(), n));
    EXPECT_EQ(buf, data);
    EXPECT_FALSE(fast::take_miss_in_flight());
}

TEST_F(FastRead, ALoneMissStartsTheDiskReadAtOnce) {
    constexpr std::size_t n = 16384;
    UniqueFd second = cold_file("second", n);
    if (second.get() < 0) GTEST_SKIP() << "the kernel keeps these pages cached";
    std::vector<std::uint8_t> buf(n);
    // Every miss is long past by the time of the next read.
    fast::set_miss_window(std::chrono::nanoseconds(0));
    if (miss().get() < 0) GTEST_SKIP() << "the disk answers every no-wait read inside the call";
    if (!evicted(second.get(), n)) GTEST_SKIP() << "the kernel keeps these pages cached";
    // Refused or, where the disk answers that fast, served: read either way.
    const bool served = fast::fill_to_end(second.get(), 0, buf.data(), n);
    EXPECT_TRUE(read_in_soon(second.get(), n)) << "the second miss waited for the driver";
    // A refused one says its data is on the way, and is then served.
    EXPECT_EQ(fast::take_miss_in_flight(), !served);
    ::usleep(50000);
    EXPECT_EQ(fast::fill(second.get(), 0, buf.data(), n), n);
}

TEST_F(FastRead, PipesAreNeverTakenForUncachedFiles) {
    // A pipe has no pages: after a miss its reads must still be tried.
    fast::set_miss_window(std::chrono::seconds(10));
    if (miss().get() < 0) GTEST_SKIP() << "the disk answers every no-wait read inside the call";
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    UniqueFd in(ends[0]), out(ends[1]);
    EXPECT_FALSE(fast::supports_nowait(in.get()));  // pread on a pipe: ESPIPE
}

}  // namespace
}  // namespace velnor::test
