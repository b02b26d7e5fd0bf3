// Running a runtime on the test's own thread, which plays the driver thread.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "core/runtime/runtime.hpp"

namespace velnor::rt::test {

// The backend this run must get when it asks for the default: the lead's
// CMake runs the suite once normally and once with io_uring_setup blocked.
inline const char* expected_backend() { return std::getenv("VELNOR_EXPECT_BACKEND"); }
inline bool uring_expected_missing() {
    const char* e = expected_backend();
    return e && std::string(e) == "compio-polling";
}
inline const char* backend_name(Backend b) {
    return b == Backend::IoUring ? "compio-io-uring" : "compio-polling";
}

struct TempDir {
    std::string path;
    TempDir() {
        auto tmpl = (std::filesystem::temp_directory_path() / "velnor-rt-XXXXXX").string();
        if (mkdtemp(tmpl.data())) path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// One runtime per test, on each backend this machine offers. A hang (a lost
// wake-up, a shutdown that never ends) is ended by the alarm: SIGALRM kills
// the binary and the run fails.
class RuntimeTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        ::alarm(60);
        build(RuntimeOptions{});
    }
    void TearDown() override {
        rt.reset();
        ::alarm(0);
    }

    void build(RuntimeOptions opts) {
        rt.reset();
        opts.backend = GetParam();
        if (GetParam() == Backend::IoUring && uring_expected_missing())
            GTEST_SKIP() << "io_uring is unavailable in this run";
        auto built = Runtime::build(opts);
        if (auto* e = std::get_if<IoError>(&built)) {
            if (GetParam() == Backend::IoUring && !expected_backend())
                GTEST_SKIP() << "io_uring unavailable here: " << e->display();
            FAIL() << "runtime could not be built: " << e->display();
        }
        rt = std::move(std::get<std::unique_ptr<Runtime>>(built));
        rt->make_current();
    }

    // The driver thread's loop, until `done()` holds.
    template <class Pred>
    void drive(Pred done) {
        while (!done()) {
            const bool more = rt->run_ready(Runtime::kEventInterval);
            if (done()) break;
            rt->turn(!more, {});
        }
    }

    std::unique_ptr<Runtime> rt;
};

inline std::string param_name(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::IoUring ? "IoUring" : "Polling";
}

}  // namespace velnor::rt::test
