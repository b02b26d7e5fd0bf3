/* Preloaded into a test's child interpreter (LD_PRELOAD), fails chosen
 * calls into the C library on demand, as a kernel that runs out of threads
 * or memory, or a signal, would fail them:
 *
 *     lib = ctypes.CDLL(None)
 *     lib.velnor_fail(b"write", errno.EINTR, 1, fd)   # the next write to fd
 *     ...
 *     assert lib.velnor_failed(b"write") == 1
 *
 * Calls made by the ring (io_uring) never pass through here: only those the
 * process makes itself (workers, the interpreter, the loop thread). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum { WRITE, PTHREAD_CREATE, FSTAT, CALLS };
static const char* const names[CALLS] = {"write", "pthread_create", "fstat"};

static atomic_int left[CALLS];     /* calls still to fail */
static atomic_int error[CALLS];
static atomic_int only_fd[CALLS];  /* -1: any descriptor */
static atomic_long failed[CALLS];  /* calls failed so far */

static int lookup(const char* name) {
    for (int i = 0; i < CALLS; ++i)
        if (strcmp(name, names[i]) == 0) return i;
    return -1;
}

/* Arms `call`: its next `count` calls (on `fd` only, unless fd is -1) fail
 * with `err`. Returns -1 for a call it does not know. */
int velnor_fail(const char* call, int err, int count, int fd) {
    const int i = lookup(call);
    if (i < 0) return -1;
    atomic_store(&error[i], err);
    atomic_store(&only_fd[i], fd);
    atomic_store(&left[i], count);
    return 0;
}

long velnor_failed(const char* call) {
    const int i = lookup(call);
    return i < 0 ? -1 : atomic_load(&failed[i]);
}

/* The error this call is to fail with, or 0. */
static int take(int i, int fd) {
    const int want = atomic_load(&only_fd[i]);
    if (want >= 0 && fd != want) return 0;
    int n = atomic_load(&left[i]);
    while (n > 0)
        if (atomic_compare_exchange_weak(&left[i], &n, n - 1)) {
            atomic_fetch_add(&failed[i], 1);
            return atomic_load(&error[i]);
        }
    return 0;
}

#define REAL(name) \
    static __typeof__(&name) real_##name; \
    if (!real_##name) real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

ssize_t write(int fd, const void* buf, size_t n) {
    REAL(write);
    const int e = take(WRITE, fd);
    if (e) {
        errno = e;
        return -1;
    }
    return real_write(fd, buf, n);
}

int pthread_create(pthread_t* t, const pthread_attr_t* attr, void* (*fn)(void*), void* arg) {
    REAL(pthread_create);
    const int e = take(PTHREAD_CREATE, -1);
    return e ? e : real_pthread_create(t, attr, fn, arg);
}

int fstat(int fd, struct stat* st) {
    REAL(fstat);
    const int e = take(FSTAT, fd);
    if (e) {
        errno = e;
        return -1;
    }
    return real_fstat(fd, st);
}

int fstat64(int fd, struct stat64* st) {
    REAL(fstat64);
    const int e = take(FSTAT, fd);
    if (e) {
        errno = e;
        return -1;
    }
    return real_fstat64(fd, st);
}
