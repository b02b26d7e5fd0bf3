#include "core/file_table.hpp"

#include <new>

#include "core/cancellation.hpp"
#include "core/op.hpp"
#include "core/runtime/runtime.hpp"

namespace velnor {

FileRef::FileRef(UniqueFd fd) : f_(new (std::nothrow) OpenFile) {
    if (!f_) {
        // The descriptor goes with the failed operation, closed as any
        // other on this thread is.
        if (auto* r = rt::Runtime::current()) r->close_detached(fd.release());
        throw std::bad_alloc();
    }
    f_->fd_ = std::move(fd);
}

FileRef::FileRef(const FileRef& o) noexcept : f_(o.f_) {
    if (f_) ++f_->refs_;
}

FileRef::~FileRef() {
    if (!f_) return;
    if (--f_->refs_ == 0) {
        // On the driver thread the close goes through the runtime; anywhere
        // else the descriptor closes with its owner.
        if (auto* r = rt::Runtime::current(); r && f_->fd_.get() >= 0) r->close_detached(f_->fd_.release());
        delete f_;
    } else if (f_->refs_ == 1 && f_->sole_waiter_) {
        auto h = std::exchange(f_->sole_waiter_, {});
        rt::Runtime::current()->schedule(h);
    }
}

int FileRef::fd() const noexcept { return f_ ? f_->fd_.get() : -1; }

bool FileRef::stream() const noexcept { return f_ && f_->stream_; }
void FileRef::set_stream(bool stream) noexcept { f_->stream_ = stream; }

bool FileRef::SoleHolder::await_ready() const noexcept { return f->refs_ == 1; }

void FileRef::SoleHolder::await_suspend(std::coroutine_handle<> h) noexcept {
    f->sole_waiter_ = h;
    armed = true;
}

FileRef::SoleHolder::~SoleHolder() {
    if (armed) f->sole_waiter_ = {};
}

int FileRef::release_fd() noexcept {
    const int fd = f_->fd_.release();
    FileRef gone(std::move(*this));
    return fd;
}

template <class V>
void GuardedMap<V>::reentered() noexcept {
    abort_unreachable("guarded map entered while in use");
}
template class GuardedMap<FileRef>;
template class GuardedMap<PendingOp>;

}  // namespace velnor
