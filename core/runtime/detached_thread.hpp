// Threads that hold their shared state themselves: nobody joins them, and
// the object that started them may be gone before they end.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <initializer_list>
#include <memory>
#include <new>

namespace velnor::rt {

// Runs `fn` on a new detached thread, handing it a copy of `state` that
// `adopt_state` takes over. 0, or the error that kept the thread from
// starting.
template <class T>
int start_detached(const std::shared_ptr<T>& state, void* (*fn)(void*) noexcept) noexcept {
    auto* arg = new (std::nothrow) std::shared_ptr<T>(state);
    if (!arg) return ENOMEM;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    const int err = pthread_create(&tid, &attr, fn, arg);
    pthread_attr_destroy(&attr);
    if (err != 0) delete arg;
    return err;
}

template <class T>
std::shared_ptr<T> adopt_state(void* arg) noexcept {
    auto* held = static_cast<std::shared_ptr<T>*>(arg);
    std::shared_ptr<T> state = std::move(*held);
    delete held;
    return state;
}

// Asynchronous signals belong to the threads that handle them (the
// interpreter's main thread); on a worker they would only interrupt its
// blocking calls. Faults stay deliverable so that crashes are still
// reported, and so do the signals in `keep`.
inline void block_async_signals(std::initializer_list<int> keep = {}) noexcept {
    sigset_t set;
    sigfillset(&set);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&set, sig);
    for (int sig : keep) sigdelset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace velnor::rt
