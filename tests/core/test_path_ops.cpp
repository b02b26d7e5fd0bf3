// File-system calls on names, through a real driver (ring or pool, as the
// backend under test decides), compared with what the kernel reports.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <set>

#include "core/unique_fd.hpp"
#include "tests/core/driver_harness.hpp"

namespace velnor::test {
namespace {

using op::PathKind;

class PathOps : public DriverTest {
protected:
    void write_file(const std::string& p, const std::string& data) {
        std::ofstream(p, std::ios::binary) << data;
    }
    Outcome run(op::PathOp o) { return call(std::move(o)); }
    op::PathOp named(PathKind k, const std::string& p, std::uint32_t flags = 0) {
        op::PathOp o{k};
        o.path = p;
        o.flags = flags;
        return o;
    }
    op::PathOp two(PathKind k, const std::string& a, const std::string& b, std::uint32_t flags = 0) {
        op::PathOp o{k};
        o.path = a;
        o.path2 = b;
        o.flags = flags;
        return o;
    }
};

TEST_F(PathOps, StatMatchesTheKernelsAnswerAndFollowsOnlyWhenAsked) {
    write_file(path("f"), "hello");
    ASSERT_EQ(::symlink("f", path("l").c_str()), 0);
    struct stat want {};
    ASSERT_EQ(::stat(path("f").c_str(), &want), 0);
    for (std::uint32_t flags : {0u, static_cast<std::uint32_t>(AT_SYMLINK_NOFOLLOW)}) {
        const Outcome o = run(named(PathKind::Stat, path("l"), flags));
        const auto& b = ok<reply::Bytes>(o);
        ASSERT_EQ(b.data.size(), sizeof(struct statx));
        struct statx got {};
        std::memcpy(&got, b.data.data(), sizeof got);
        if (flags) {
            EXPECT_TRUE(S_ISLNK(got.stx_mode));
        } else {
            EXPECT_EQ(got.stx_ino, want.st_ino);
            EXPECT_EQ(got.stx_size, 5u);
            EXPECT_EQ(got.stx_mode, want.st_mode);
        }
    }
    EXPECT_EQ(err(run(named(PathKind::Stat, path("missing")))).code, ENOENT);
}

TEST_F(PathOps, NamesAreCreatedRenamedLinkedAndRemoved) {
    op::PathOp mk = named(PathKind::Mkdir, path("d"));
    mk.mode = 0700;
    ok<reply::Unit>(run(mk));
    EXPECT_EQ(err(run(mk)).code, EEXIST);
    write_file(path("d/a"), "x");
    ok<reply::Unit>(run(two(PathKind::Rename, path("d/a"), path("d/b"))));
    EXPECT_NE(::access(path("d/b").c_str(), F_OK), -1);
    ok<reply::Unit>(run(two(PathKind::Link, path("d/b"), path("d/c"))));
    op::PathOp sym{PathKind::Symlink};
    sym.path = "b";
    sym.path2 = path("d/s");
    ok<reply::Unit>(run(sym));
    const Outcome link = run(named(PathKind::ReadLink, path("d/s")));
    const auto& target = ok<reply::Bytes>(link);
    EXPECT_EQ(std::string(target.data.begin(), target.data.end()), "b");
    EXPECT_EQ(err(run(named(PathKind::Unlink, path("d"), AT_REMOVEDIR))).code, ENOTEMPTY);
    for (const char* n : {"d/b", "d/c", "d/s"}) ok<reply::Unit>(run(named(PathKind::Unlink, path(n))));
    ok<reply::Unit>(run(named(PathKind::Unlink, path("d"), AT_REMOVEDIR)));
    EXPECT_EQ(::access(path("d").c_str(), F_OK), -1);
}

TEST_F(PathOps, ListingHoldsEveryNameWithItsTypeAndInode) {
    std::set<std::string> want;
    for (int i = 0; i < 300; ++i) {  // more than one getdents64 buffer
        const std::string n = "file-with-a-longish-name-" + std::to_string(i);
        write_file(path(n), "");
        want.insert(n);
    }
    ASSERT_EQ(::mkdir(path("sub").c_str(), 0700), 0);
    want.insert("sub");
    const Outcome listed = run(named(PathKind::ListDir, dir));
    const auto& b = ok<reply::Bytes>(listed);
    std::uint64_t n = 0;
    std::memcpy(&n, b.data.data(), 8);
    ASSERT_EQ(n, want.size());
    const char* names = reinterpret_cast<const char*>(b.data.data()) + 8 + 9 * n;
    std::set<std::string> got;
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::string name(names);
        names += name.size() + 1;
        std::uint64_t ino = 0;
        std::memcpy(&ino, b.data.data() + 8 + 8 * i, 8);
        const std::uint8_t type = b.data[8 + 8 * n + i];
        struct stat st {};
        ASSERT_EQ(::lstat(path(name).c_str(), &st), 0);
        EXPECT_EQ(ino, st.st_ino) << name;
        EXPECT_EQ(type, name == "sub" ? DT_DIR : DT_REG) << name;
        got.insert(name);
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(err(run(named(PathKind::ListDir, path("file-with-a-longish-name-1")))).code, ENOTDIR);
}

TEST_F(PathOps, MetadataChangesReachTheFile) {
    write_file(path("f"), "0123456789");
    op::PathOp ch = named(PathKind::Chmod, path("f"));
    ch.mode = 0640;
    ok<reply::Unit>(run(ch));
    op::PathOp tr = named(PathKind::Truncate, path("f"));
    tr.num[0] = 3;
    ok<reply::Unit>(run(tr));
    op::PathOp ut = named(PathKind::Utime, path("f"));
    ut.num[0] = 1000;
    ut.num[1] = 5;
    ut.num[2] = 2000;
    ut.num[3] = 7;
    ok<reply::Unit>(run(ut));
    struct stat st {};
    ASSERT_EQ(::stat(path("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(st.st_size, 3);
    EXPECT_EQ(st.st_atim.tv_sec, 1000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 7);
    op::PathOp ac = named(PathKind::Access, path("f"));
    ac.mode = F_OK;
    ok<reply::Unit>(run(ac));
    ac.path = path("missing");
    EXPECT_EQ(err(run(ac)).code, ENOENT);
    const Outcome fs = run(named(PathKind::StatVfs, dir));
    const auto& vfs = ok<reply::Bytes>(fs);
    EXPECT_EQ(vfs.data.size(), 11 * 8u);
}

TEST_F(PathOps, CopyRangeCopiesEverythingFromTheStart) {
    std::string data(3 * 65536 + 17, 'q');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    write_file(path("src"), data);
    const int in = ::open(path("src").c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(path("dst").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    ::lseek(in, 100, SEEK_SET);  // ignored: the copy is positional
    op::PathOp cp{PathKind::CopyRange};
    cp.on_fd = true;
    cp.dirfd = out;
    cp.dirfd2 = in;
    EXPECT_EQ(ok<reply::Size>(run(cp)).size, data.size());
    op::PathOp sf{PathKind::SendFile};
    sf.on_fd = true;
    sf.dirfd = out;
    sf.dirfd2 = in;
    sf.num[0] = 0;
    sf.num[1] = 5;
    ::lseek(out, 0, SEEK_END);
    EXPECT_EQ(ok<reply::Size>(run(sf)).size, 5u);
    ::close(in);
    ::close(out);
    std::ifstream f(path("dst"), std::ios::binary);
    std::string got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, data + data.substr(0, 5));
}

TEST_F(PathOps, SendFileTakesAnyGivenOffsetLiterallyAndThePositionOnlyWhenAsked) {
    write_file(path("src"), "0123456789");
    const UniqueFd in(::open(path("src").c_str(), O_RDONLY | O_CLOEXEC));
    const UniqueFd out(::open(path("dst").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_GE(in.get(), 0);
    ASSERT_GE(out.get(), 0);
    ASSERT_EQ(::lseek(in.get(), 4, SEEK_SET), 4);
    op::PathOp sf{PathKind::SendFile};
    sf.on_fd = true;
    sf.dirfd = out.get();
    sf.dirfd2 = in.get();
    // As os.sendfile: a negative offset or count is refused by the kernel,
    // never read as "from the position".
    sf.num[0] = -1;
    sf.num[1] = 3;
    EXPECT_EQ(err(run(sf)).code, EINVAL);
    sf.num[0] = 0;
    sf.num[1] = -1;
    EXPECT_EQ(err(run(sf)).code, EINVAL);
    sf.num[1] = 3;
    sf.flags = op::kFromPosition;
    EXPECT_EQ(ok<reply::Size>(run(sf)).size, 3u);
    EXPECT_EQ(::lseek(in.get(), 0, SEEK_CUR), 7);
    std::ifstream f(path("dst"), std::ios::binary);
    std::string got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, "456");
}

TEST_F(PathOps, ACancelEndsAnOpenWaitingForAFifosReader) {
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    op::PathOp o = named(PathKind::OpenFd, fifo, O_WRONLY | O_CLOEXEC);
    const auto id = send(std::move(o), 1);
    usleep(50000);
    driver->cancel(id);
    auto got = inbox->wait(1, 3000);
    if (!got) {
        // A reader ends the open, so that the driver can be torn down.
        const UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        got = inbox->wait(1);
        if (got && std::holds_alternative<Reply>(*got)) ::close(static_cast<int>(ok<reply::Size>(*got).size));
        FAIL() << "the open went on after its cancel";
    }
    EXPECT_TRUE(err(*got).is_cancelled());
}

TEST_F(PathOps, NulInsideANameIsRefusedBeforeTheKernel) {
    const IoError e = err(run(named(PathKind::Unlink, std::string("a\0b", 3))));
    EXPECT_EQ(e.kind, ErrorKind::InvalidInput);
}

}  // namespace
}  // namespace velnor::test
