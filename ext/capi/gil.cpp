#include "ext/capi/gil.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstddef>

#include "ext/capi/deferred.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace velnor::ext::gil {
namespace {
thread_local int t_depth = 0;
}  // namespace

bool held() noexcept { return t_depth > 0; }

Entry::Entry() noexcept {
    if (t_depth++ == 0) release_deferred();
}
Entry::~Entry() { --t_depth; }

#if defined(__SANITIZE_ADDRESS__)
namespace {
// The forced unwinding that led to park skipped the epilogues that clear
// AddressSanitizer's marks on the frames it tore down: every frame below
// this one is gone, so its marks go too.
__attribute__((noinline)) void forget_unwound_frames() noexcept {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* low = nullptr;
    std::size_t size = 0;
    const int got = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    char* here = static_cast<char*>(__builtin_frame_address(0));
    if (got == 0 && here > low) __asan_unpoison_memory_region(low, static_cast<std::size_t>(here - static_cast<char*>(low)));
}
}  // namespace
#endif

void park() noexcept {
#if defined(__SANITIZE_ADDRESS__)
    forget_unwound_frames();
#endif
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) ::pause();
}

VELNOR_CATCHES_FORCED_UNWIND void run_parking(void (*fn)(void*), void* context) {
    try {
        fn(context);
    } catch (abi::__forced_unwind&) {
#if defined(__SANITIZE_ADDRESS__)
        // Here the compiler sees that park never returns, and clears the
        // marks itself before the call: too late unless they are gone.
        forget_unwound_frames();
#endif
        park();
    }
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
