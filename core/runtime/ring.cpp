#include "core/runtime/ring.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/runtime/syscalls.hpp"

namespace velnor::rt {
namespace {

template <class T>
T load_acquire(T* p) noexcept {
    return std::atomic_ref<T>(*p).load(std::memory_order_acquire);
}
template <class T>
void store_release(T* p, T v) noexcept {
    std::atomic_ref<T>(*p).store(v, std::memory_order_release);
}

template <class T>
T* at(void* base, std::uint32_t off) noexcept {
    return reinterpret_cast<T*>(static_cast<char*>(base) + off);
}

}  // namespace

int Ring::init(unsigned entries, unsigned setup_flags) noexcept {
    close();
    io_uring_params p;
    std::memset(&p, 0, sizeof p);
    p.flags = setup_flags;
    const int fd = sys::io_uring_setup(entries, &p);
    if (fd < 0) return fd;
    fd_ = UniqueFd(fd);

    sq_map_len_ = p.sq_off.array + p.sq_entries * sizeof(unsigned);
    cq_map_len_ = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
    const bool single = (p.features & IORING_FEAT_SINGLE_MMAP) != 0;
    if (single) sq_map_len_ = cq_map_len_ = std::max(sq_map_len_, cq_map_len_);

    // Each step below can fail; close() releases whatever was taken so far.
    int r = sys::map_ring_region(sq_map_len_, fd, IORING_OFF_SQ_RING, &sq_map_);
    if (r == 0) {
        if (single)
            cq_map_ = sq_map_;
        else
            r = sys::map_ring_region(cq_map_len_, fd, IORING_OFF_CQ_RING, &cq_map_);
    }
    sqes_map_len_ = p.sq_entries * sizeof(io_uring_sqe);
    if (r == 0) r = sys::map_ring_region(sqes_map_len_, fd, IORING_OFF_SQES, &sqes_map_);
    if (r < 0) {
        close();
        return r;
    }

    sq_.khead = at<unsigned>(sq_map_, p.sq_off.head);
    sq_.ktail = at<unsigned>(sq_map_, p.sq_off.tail);
    sq_.kflags = at<unsigned>(sq_map_, p.sq_off.flags);
    sq_.karray = at<unsigned>(sq_map_, p.sq_off.array);
    sq_.ksqes = static_cast<io_uring_sqe*>(sqes_map_);
    sq_.mask = *at<unsigned>(sq_map_, p.sq_off.ring_mask);
    sq_.entries = *at<unsigned>(sq_map_, p.sq_off.ring_entries);
    sq_.sqe_tail = *sq_.ktail;

    cq_.khead = at<unsigned>(cq_map_, p.cq_off.head);
    cq_.ktail = at<unsigned>(cq_map_, p.cq_off.tail);
    cq_.kcqes = at<io_uring_cqe>(cq_map_, p.cq_off.cqes);
    cq_.mask = *at<unsigned>(cq_map_, p.cq_off.ring_mask);
    cq_.entries = *at<unsigned>(cq_map_, p.cq_off.ring_entries);

    // Slot i of the SQ ring always names SQE i, so the array is filled once.
    for (unsigned i = 0; i < sq_.entries; ++i) sq_.karray[i] = i;
    return 0;
}

void Ring::close() noexcept {
    if (sqes_map_) ::munmap(sqes_map_, sqes_map_len_);
    if (cq_map_ && cq_map_ != sq_map_) ::munmap(cq_map_, cq_map_len_);
    if (sq_map_) ::munmap(sq_map_, sq_map_len_);
    fd_.reset();
    sq_ = {};
    cq_ = {};
    sq_map_ = cq_map_ = sqes_map_ = nullptr;
    sq_map_len_ = cq_map_len_ = sqes_map_len_ = 0;
}

io_uring_sqe* Ring::get_sqe() noexcept {
    // Acquire pairs with the kernel's release of the SQ head once it has
    // copied the entries out: the slot is not reused while it is still read.
    const unsigned head = load_acquire(sq_.khead);
    if (sq_.sqe_tail - head >= sq_.entries) return nullptr;
    io_uring_sqe* sqe = &sq_.ksqes[sq_.sqe_tail & sq_.mask];
    ++sq_.sqe_tail;
    std::memset(sqe, 0, sizeof *sqe);
    return sqe;
}

unsigned Ring::sq_pending() const noexcept {
    return sq_.sqe_tail - load_acquire(sq_.khead);
}

int Ring::enter(unsigned wait_nr) noexcept {
    // Release pairs with the kernel's acquire of the SQ tail: every entry
    // written above is visible before the tail that covers it.
    store_release(sq_.ktail, sq_.sqe_tail);
    // Without SQPOLL the kernel consumes entries only inside this call, so
    // whatever lies between its head and our tail is still to be submitted
    // (including entries a previous call left behind with -EBUSY).
    const unsigned to_submit = sq_pending();
    const unsigned flags = wait_nr > 0 ? IORING_ENTER_GETEVENTS : 0;
    if (to_submit == 0 && flags == 0) return 0;
    return sys::io_uring_enter(fd_.get(), to_submit, wait_nr, flags);
}

io_uring_cqe* Ring::peek_cqe() noexcept {
    // Only this thread writes the CQ head.
    const unsigned head = *cq_.khead;
    // Acquire pairs with the kernel's release of the CQ tail: the tail is
    // loaded before any CQE it covers is read.
    const unsigned tail = load_acquire(cq_.ktail);
    if (head == tail) return nullptr;
    return &cq_.kcqes[head & cq_.mask];
}

void Ring::cqe_seen() noexcept {
    // Release pairs with the kernel's acquire of the CQ head: our reads of
    // the entry are done before the kernel may overwrite its slot.
    store_release(cq_.khead, *cq_.khead + 1);
}

bool Ring::cq_overflowed() const noexcept {
    return (std::atomic_ref<unsigned>(*sq_.kflags).load(std::memory_order_relaxed) &
            IORING_SQ_CQ_OVERFLOW) != 0;
}

int Ring::get_events() noexcept {
    return sys::io_uring_enter(fd_.get(), 0, 0, IORING_ENTER_GETEVENTS);
}

int Ring::register_probe(io_uring_probe* probe, unsigned nr_ops) noexcept {
    return sys::io_uring_register(fd_.get(), IORING_REGISTER_PROBE, probe, nr_ops);
}

void Ring::prep_read(io_uring_sqe* sqe, int fd, void* buf, unsigned len, std::uint64_t off,
                     std::uint64_t user_data) noexcept {
    sqe->opcode = IORING_OP_READ;
    sqe->fd = fd;
    sqe->addr = reinterpret_cast<std::uint64_t>(buf);
    sqe->len = len;
    sqe->off = off;
    sqe->user_data = user_data;
}

}  // namespace velnor::rt
