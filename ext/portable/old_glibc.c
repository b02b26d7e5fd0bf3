// Linked into the wheel's extension only (VELNOR_PORTABLE_GLIBC), so that
// one binary built on a new glibc loads on glibc 2.28 (RHEL 8, Ubuntu
// 20.04, Debian 10). The build machine's glibc binds every call to the
// newest version of its symbol: the pthread calls to GLIBC_2.34 (when
// libpthread moved into libc), fstat to 2.33, and the static C++ runtime
// adds __libc_single_threaded (2.32), pthread_cond_clockwait (2.30) and
// arc4random (2.36). A hidden definition here takes every reference in the
// link, ours and the C++ runtime's alike, and calls the oldest version of
// the real function, which every glibc since keeps; the three that 2.28
// lacks are written out as the C++ runtime itself does on such a glibc.
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// The oldest version of each function below. pthread_cond_* keep their
// default (2.3.2 on x86_64): their 2.2.5 versions there are those of an
// older layout of the condition variable, which must never meet one
// signalled through the current ones.
#if defined(__x86_64__)
#define VELNOR_GLIBC_BASE "GLIBC_2.2.5"
#define VELNOR_GLIBC_SETNAME "GLIBC_2.12"
#elif defined(__aarch64__)
#define VELNOR_GLIBC_BASE "GLIBC_2.17"
#define VELNOR_GLIBC_SETNAME "GLIBC_2.17"
#else
#error "no table of glibc's oldest symbol versions for this architecture"
#endif

#define HIDDEN __attribute__((visibility("hidden")))

// pthread_setspecific's value is only stored, never read (glibc declares it
// so); passed on through a plain `const void*`, GCC takes it for a read of
// the memory behind it.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// The real function under its old version, reached through a local alias.
#define OLD(ret, name, version, params, args)                                   \
    ret velnor_old_##name params;                                               \
    __asm__(".symver velnor_old_" #name "," #name "@" version);                 \
    HIDDEN ret name params { return velnor_old_##name args; }

OLD(int, pthread_create,
    VELNOR_GLIBC_BASE, (pthread_t * t, const pthread_attr_t* a, void* (*f)(void*), void* arg),
    (t, a, f, arg))
OLD(int, pthread_join, VELNOR_GLIBC_BASE, (pthread_t t, void** r), (t, r))
OLD(int, pthread_detach, VELNOR_GLIBC_BASE, (pthread_t t), (t))
OLD(int, pthread_setname_np, VELNOR_GLIBC_SETNAME, (pthread_t t, const char* n), (t, n))
OLD(int, pthread_sigmask, VELNOR_GLIBC_BASE, (int how, const sigset_t* s, sigset_t* o),
    (how, s, o))
OLD(int, pthread_once, VELNOR_GLIBC_BASE, (pthread_once_t * o, void (*f)(void)), (o, f))
OLD(int, pthread_key_create, VELNOR_GLIBC_BASE, (pthread_key_t * k, void (*d)(void*)),
    (k, d))
OLD(int, pthread_key_delete, VELNOR_GLIBC_BASE, (pthread_key_t k), (k))
OLD(void*, pthread_getspecific, VELNOR_GLIBC_BASE, (pthread_key_t k), (k))
OLD(int, pthread_setspecific, VELNOR_GLIBC_BASE, (pthread_key_t k, const void* v), (k, v))
OLD(int, pthread_mutex_trylock, VELNOR_GLIBC_BASE, (pthread_mutex_t * m), (m))

// Never "single-threaded": the C++ runtime then always takes the atomic
// path for reference counts, which is right whatever the process does.
HIDDEN char __libc_single_threaded = 0;

// Before 2.33, fstat was an inline call of __fxstat; the system call fills
// the same struct stat on these architectures.
HIDDEN int fstat(int fd, struct stat* st) { return (int)syscall(SYS_fstat, fd, st); }
HIDDEN int fstat64(int fd, struct stat64* st) { return (int)syscall(SYS_fstat, fd, st); }

// A deadline on another clock becomes one on the realtime clock, as the C++
// runtime waits where glibc has no pthread_cond_clockwait: its callers
// check their own clock again after every wake-up.
HIDDEN int pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t clock,
                                  const struct timespec* deadline) {
    if (clock == CLOCK_REALTIME) return pthread_cond_timedwait(c, m, deadline);
    struct timespec now_clock, now_real;
    if (clock_gettime(clock, &now_clock) != 0) return EINVAL;
    clock_gettime(CLOCK_REALTIME, &now_real);
    int64_t left = (int64_t)(deadline->tv_sec - now_clock.tv_sec) * 1000000000 +
                   (deadline->tv_nsec - now_clock.tv_nsec);
    if (left < 0) left = 0;
    int64_t ns = now_real.tv_nsec + left % 1000000000;
    struct timespec due = {now_real.tv_sec + (time_t)(left / 1000000000) + (time_t)(ns / 1000000000),
                           (long)(ns % 1000000000)};
    return pthread_cond_timedwait(c, m, &due);
}

HIDDEN uint32_t arc4random(void) {
    uint32_t v;
    while (getrandom(&v, sizeof v, 0) != (ssize_t)sizeof v) {
    }
    return v;
}
