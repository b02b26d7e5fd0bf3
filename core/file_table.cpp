#include "core/file_table.hpp"

#include <unistd.h>

#include <new>

#include "core/cancellation.hpp"
#include "core/op.hpp"
#include "core/runtime/runtime.hpp"

namespace velnor {

FileRef::FileRef(int fd) : f_(new (std::nothrow) OpenFile) {
    if (!f_) {
        // The descriptor must not outlive the failed operation.
        if (auto* r = rt::Runtime::current())
            r->close_detached(fd);
        else
            ::close(fd);
        throw std::bad_alloc();
    }
    f_->fd_ = fd;
}

FileRef::FileRef(const FileRef& o) noexcept : f_(o.f_) {
    if (f_) ++f_->refs_;
}

FileRef::~FileRef() {
    if (!f_) return;
    if (--f_->refs_ == 0) {
        if (f_->fd_ >= 0) {
            if (auto* r = rt::Runtime::current())
                r->close_detached(f_->fd_);
            else
                ::close(f_->fd_);
        }
        delete f_;
    } else if (f_->refs_ == 1 && f_->sole_waiter_) {
        auto h = std::exchange(f_->sole_waiter_, {});
        rt::Runtime::current()->schedule(h);
    }
}

int FileRef::fd() const noexcept { return f_ ? f_->fd_ : -1; }

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
    int fd = std::exchange(f_->fd_, -1);
    FileRef gone(std::move(*this));
    return fd;
}

template <class V>
void GuardedMap<V>::unreachable_borrow() noexcept {
    unreachable("already mutably borrowed");
}
template class GuardedMap<FileRef>;
template class GuardedMap<PendingOp>;

}  // namespace velnor
