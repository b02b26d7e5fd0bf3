// A kernel request performed as the equivalent blocking system call, for the
// worker pool. Same result convention as a CQE: >= 0, or -errno.
#pragma once

#include <cstdint>

namespace velnor::rt {

struct KernelRequest;

std::int32_t perform_blocking(const KernelRequest& req) noexcept;

}  // namespace velnor::rt
