// An owned file descriptor, closed when its owner goes.
#pragma once

#include <unistd.h>

#include <utility>

namespace velnor {

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    // Gives the descriptor up without closing it: the caller closes it.
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
    void reset() noexcept {
        // Forget the number before closing it, so nothing can use it after.
        if (int fd = std::exchange(fd_, -1); fd >= 0) ::close(fd);
    }

private:
    int fd_ = -1;
};

}  // namespace velnor
