// Running out of memory on the driver thread fails the request that needed
// it with an OutOfMemory error, and the driver goes on serving.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "driver_harness.hpp"

namespace velnor::test {
namespace {

std::size_t vm_size() {
    std::ifstream status("/proc/self/status");
    std::string key;
    std::size_t kib = 0;
    while (status >> key) {
        if (key == "VmSize:") {
            status >> kib;
            break;
        }
    }
    return kib * 1024;
}

// The child's whole run; its exit code says what went wrong.
int starve_the_driver() {
    auto made = Driver::create();
    if (!std::holds_alternative<std::shared_ptr<Driver>>(made)) return 10;
    auto driver = std::get<std::shared_ptr<Driver>>(made);
    auto box = std::make_shared<Inbox>();
    driver->submit(op::Open{"/dev/zero", true}, make_callback([box](Outcome&& o) { box->put(1, std::move(o)); }));
    auto opened = box->wait(1);
    if (!opened || !std::holds_alternative<Reply>(*opened)) return 11;
    const auto* handle = std::get_if<reply::Handle>(&std::get<Reply>(*opened));
    if (!handle) return 12;

    // Room for not much more than the process already has: reading
    // /dev/zero to its end keeps growing the driver's buffer until an
    // allocation on the driver thread fails.
    const std::size_t limit = vm_size() + (64u << 20);
    rlimit old{};
    if (::getrlimit(RLIMIT_AS, &old) != 0) return 13;
    const rlimit rl{limit, old.rlim_max};
    if (::setrlimit(RLIMIT_AS, &rl) != 0) return 13;
    driver->submit(op::ReadToEnd{handle->id, 0}, make_callback([box](Outcome&& o) { box->put(2, std::move(o)); }));
    auto read = box->wait(2);
    ::setrlimit(RLIMIT_AS, &old);
    if (!read) return 14;
    const auto* error = std::get_if<IoError>(&*read);
    if (!error || error->kind != ErrorKind::OutOfMemory) return 15;
    // And it still serves.
    driver->submit(op::Nop{}, make_callback([box](Outcome&& o) { box->put(3, std::move(o)); }));
    auto o = box->wait(3);
    if (!o || !std::holds_alternative<Reply>(*o)) return 16;
    return 0;
}

TEST(DriverMemory, RunningOutOfMemoryFailsTheRequestAndTheDriverGoesOn) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve more address space than any small limit allows";
#endif
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(starve_the_driver());
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace velnor::test
