// One io_uring instance driven through raw system calls: setup and mmap of
// the two rings and the SQE array, SQE acquisition, submission, CQE access.
//
// Used by the driver thread's proactor and, on its own thread, by the
// extension's calibration probe:
//
//     Ring ring;
//     if (ring.init(64) < 0) ...;
//     io_uring_sqe* sqe = ring.get_sqe();
//     Ring::prep_read(sqe, fd, buf, len, off, /*user_data=*/0);
//     int r = ring.submit_and_wait(1);        // one io_uring_enter
//     io_uring_cqe* cqe = ring.peek_cqe();    // r >= 0: one CQE is there
//     int res = cqe->res;
//     ring.cqe_seen();
//
// Not thread-safe: one thread owns a ring.
#pragma once

#include <linux/io_uring.h>

#include <cstddef>
#include <cstdint>

#include "core/unique_fd.hpp"

namespace velnor::rt {

class Ring {
public:
    Ring() = default;
    ~Ring() { close(); }
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;

    // Creates the ring: 0, or -errno with nothing held.
    int init(unsigned entries, unsigned setup_flags = 0) noexcept;
    // Unmaps and closes; idempotent. The caller makes sure nothing is in
    // flight that points at memory it is about to free.
    void close() noexcept;

    bool valid() const noexcept { return fd_.get() >= 0; }
    int fd() const noexcept { return fd_.get(); }
    unsigned sq_entries() const noexcept { return sq_.entries; }
    unsigned cq_entries() const noexcept { return cq_.entries; }

    // A zeroed entry to fill, or nullptr when the SQ is full (submit first).
    io_uring_sqe* get_sqe() noexcept;
    // Entries handed out by get_sqe() that the kernel has not consumed yet.
    unsigned sq_pending() const noexcept;

    // Publishes the queued entries and enters the kernel once. With
    // `wait_nr` > 0 it also waits until that many completions are
    // available. Returns the number of entries consumed, or -errno.
    int submit() noexcept { return enter(0); }
    int submit_and_wait(unsigned wait_nr) noexcept { return enter(wait_nr); }

    // The oldest unseen completion, or nullptr.
    io_uring_cqe* peek_cqe() noexcept;
    void cqe_seen() noexcept;
    // The kernel has completions it could not fit into the CQ ring; one
    // io_uring_enter with GETEVENTS moves them in.
    bool cq_overflowed() const noexcept;
    // Enters the kernel only to move overflowed completions into the ring.
    int get_events() noexcept;

    int register_probe(io_uring_probe* probe, unsigned nr_ops) noexcept;

    static void prep_read(io_uring_sqe* sqe, int fd, void* buf, unsigned len, std::uint64_t off,
                          std::uint64_t user_data) noexcept;

private:
    int enter(unsigned wait_nr) noexcept;

    struct SubmissionQueue {
        // Kernel-shared.
        unsigned* khead = nullptr;
        unsigned* ktail = nullptr;
        unsigned* kflags = nullptr;
        unsigned* karray = nullptr;
        io_uring_sqe* ksqes = nullptr;
        // Local.
        unsigned mask = 0;
        unsigned entries = 0;
        unsigned sqe_tail = 0;  // next entry get_sqe() hands out
    };
    struct CompletionQueue {
        // Kernel-shared.
        unsigned* khead = nullptr;
        unsigned* ktail = nullptr;
        io_uring_cqe* kcqes = nullptr;
        // Local.
        unsigned mask = 0;
        unsigned entries = 0;
    };

    UniqueFd fd_;
    SubmissionQueue sq_;
    CompletionQueue cq_;
    void* sq_map_ = nullptr;
    std::size_t sq_map_len_ = 0;
    void* cq_map_ = nullptr;  // == sq_map_ with IORING_FEAT_SINGLE_MMAP
    std::size_t cq_map_len_ = 0;
    void* sqes_map_ = nullptr;
    std::size_t sqes_map_len_ = 0;
};

}  // namespace velnor::rt
