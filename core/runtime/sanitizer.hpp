// Sanitizer hooks for memory that the kernel uses behind the sanitizers'
// backs. ThreadSanitizer cannot see the ring hand a request to the kernel
// and back; AddressSanitizer cannot see the kernel write into freed memory.
// Both compile to nothing outside sanitizer builds.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(VELNOR_SANITIZER_BUILD)
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELNOR_TSAN 1
#endif
#if __has_feature(address_sanitizer)
#define VELNOR_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) && !defined(VELNOR_TSAN)
#define VELNOR_TSAN 1
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(VELNOR_ASAN)
#define VELNOR_ASAN 1
#endif
#endif

#if defined(VELNOR_TSAN)
#include <sanitizer/tsan_interface.h>
#endif
#if defined(VELNOR_ASAN)
#include <sanitizer/asan_interface.h>
#include <cstdio>
#include <cstdlib>
#endif

namespace velnor::rt::san {

// Before the kernel may touch `p`: what this thread wrote happens-before
// whatever the thread that reaps the completion does next.
inline void handing_to_kernel([[maybe_unused]] const void* p) noexcept {
#if defined(VELNOR_TSAN)
    __tsan_release(const_cast<void*>(p));
#endif
}

// After reaping the completion of `p`.
inline void back_from_kernel([[maybe_unused]] const void* p) noexcept {
#if defined(VELNOR_TSAN)
    __tsan_acquire(const_cast<void*>(p));
#endif
}

// A buffer the kernel reads or writes must be live memory both when it is
// handed over and when its completion comes back; a poisoned byte means it
// was freed (or never belonged to the request): stop before the kernel's
// write turns into silent corruption.
inline void check_kernel_buffer([[maybe_unused]] const char* when,
                                [[maybe_unused]] std::uint64_t addr,
                                [[maybe_unused]] std::size_t len) noexcept {
#if defined(VELNOR_ASAN)
    if (addr == 0 || len == 0) return;
    void* bad = __asan_region_is_poisoned(reinterpret_cast<void*>(addr), len);
    if (bad) {
        std::fprintf(stderr,
                     "velnor: kernel buffer [%p, +%zu) is poisoned at %p %s\n",
                     reinterpret_cast<void*>(addr), len, bad, when);
        __asan_describe_address(bad);
        std::abort();
    }
#endif
}

}  // namespace velnor::rt::san
