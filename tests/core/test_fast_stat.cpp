// The status found on the calling thread: the same as statx(2) where
// nothing has to wait, refused everywhere else, safe from many threads.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/local_fs.hpp"
#include "core/nowait_io.hpp"

namespace velnor::test {
namespace {

class FastStat : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "velnor-stat-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        { std::ofstream(dir_ + "/file") << "0123456789"; }
        ASSERT_EQ(::symlink("file", (dir_ + "/link").c_str()), 0);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Whether this folder is on a local file system at all (a network
    // temporary folder makes every lookup go the ordinary way).
    bool local() const {
        struct statx sx {};
        return ::statx(AT_FDCWD, dir_.c_str(), 0, STATX_BASIC_STATS, &sx) == 0 &&
               fast::local_device(sx.stx_dev_major, sx.stx_dev_minor);
    }

    std::string dir_;
};

TEST(LocalFs, TypesThatKeepTheStatusInMemoryAreLocal) {
    for (const char* t : {"ext4", "xfs", "btrfs", "tmpfs", "overlay"}) EXPECT_TRUE(fast::local_fs_type(t)) << t;
    for (const char* t : {"nfs", "nfs4", "cifs", "fuse", "fuse.sshfs", "ceph", "proc", ""})
        EXPECT_FALSE(fast::local_fs_type(t)) << t;
}

TEST_F(FastStat, AgreesWithStatxAndRefusesWhatItCannotAnswer) {
    if (!local()) GTEST_SKIP() << "the temporary folder is not on a local file system";
    struct statx mine {}, theirs {};
    // Following a symlink may have to write its access time (relatime: when
    // it is not newer than its change time), and then the cached lookup
    // refuses: an answer is not required there, only a right one.
    for (const std::string name : {"file", "link"}) {
        for (const int flags : {0, AT_SYMLINK_NOFOLLOW}) {
            const std::string p = dir_ + "/" + name;
            const bool answered = fast::stat_cached(AT_FDCWD, p.c_str(), flags, mine);
            if (name == "file" || flags == AT_SYMLINK_NOFOLLOW) {
                EXPECT_TRUE(answered) << p << flags;
            }
            if (!answered) continue;
            ASSERT_EQ(::statx(AT_FDCWD, p.c_str(), flags, STATX_BASIC_STATS, &theirs), 0);
            EXPECT_EQ(mine.stx_ino, theirs.stx_ino);
            EXPECT_EQ(mine.stx_mode, theirs.stx_mode);
            EXPECT_EQ(mine.stx_size, theirs.stx_size);
            EXPECT_EQ(mine.stx_mtime.tv_nsec, theirs.stx_mtime.tv_nsec);
        }
    }
    // Relative to a folder's descriptor, and of the descriptor itself.
    const int dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dfd, 0);
    EXPECT_TRUE(fast::stat_cached(dfd, "file", 0, mine));
    EXPECT_EQ(mine.stx_size, 10u);
    EXPECT_TRUE(fast::stat_cached(dfd, "", AT_EMPTY_PATH, mine));
    EXPECT_TRUE(S_ISDIR(mine.stx_mode));
    ::close(dfd);
    // Errors are the ordinary way's to report; so is what is not local.
    EXPECT_FALSE(fast::stat_cached(AT_FDCWD, (dir_ + "/missing").c_str(), 0, mine));
    EXPECT_FALSE(fast::stat_cached(AT_FDCWD, (dir_ + "/file/x").c_str(), 0, mine));
    EXPECT_FALSE(fast::stat_cached(AT_FDCWD, "", 0, mine));
    EXPECT_FALSE(fast::stat_cached(-1, "file", 0, mine));
    EXPECT_FALSE(fast::stat_cached(AT_FDCWD, (dir_ + "/file").c_str(), AT_NO_AUTOMOUNT, mine));
    EXPECT_FALSE(fast::stat_cached(AT_FDCWD, "/proc/self/status", 0, mine));
}

TEST_F(FastStat, ManyThreadsShareTheMountTable) {
    if (!local()) GTEST_SKIP() << "the temporary folder is not on a local file system";
    const std::string file = dir_ + "/file";
    std::vector<std::thread> threads;
    std::vector<int> answered(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            struct statx sx {};
            for (int i = 0; i < 200; ++i) {
                answered[t] += fast::stat_cached(AT_FDCWD, file.c_str(), 0, sx);
                // A device nobody mounted: the table is read again each time.
                (void)fast::local_device(4095, static_cast<std::uint32_t>(i));
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(answered[t], 200) << t;
}

}  // namespace
}  // namespace velnor::test
