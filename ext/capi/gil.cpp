#include "ext/capi/gil.hpp"

#include <signal.h>
#include <unistd.h>

#include "ext/capi/deferred.hpp"

namespace velnor::ext::gil {
namespace {
thread_local int t_depth = 0;
}  // namespace

bool held() noexcept { return t_depth > 0; }

Entry::Entry() noexcept {
    if (t_depth++ == 0) release_deferred();
}
Entry::~Entry() { --t_depth; }

void park() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) ::pause();
}

Released::Released() noexcept : saved_(PyEval_SaveThread()), depth_(t_depth) { t_depth = 0; }
Released::~Released() {
    interpreter_call([this] { PyEval_RestoreThread(saved_); });
    t_depth = depth_;
}

std::unique_lock<std::mutex> lock_releasing(std::mutex& m) {
    std::unique_lock<std::mutex> lock(m, std::try_to_lock);
    while (!lock.owns_lock()) {
        {
            Released released;
            std::lock_guard<std::mutex> wait_for_holder(m);
        }
        // Someone else may have taken it meanwhile: then wait again.
        (void)lock.try_lock();
    }
    return lock;
}

}  // namespace velnor::ext::gil
