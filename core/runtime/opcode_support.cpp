#include "core/runtime/opcode_support.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/runtime/ring.hpp"

namespace velnor::rt {

OpcodeSet query_opcodes() noexcept {
    OpcodeSet out;
    Ring ring;
    if (int r = ring.init(2); r < 0) {
        out.error = r;
        return out;
    }
    constexpr unsigned kOps = 256;
    const std::size_t size = sizeof(io_uring_probe) + kOps * sizeof(io_uring_probe_op);
    alignas(io_uring_probe) unsigned char storage[sizeof(io_uring_probe) +
                                                  kOps * sizeof(io_uring_probe_op)];
    std::memset(storage, 0, size);
    auto* probe = reinterpret_cast<io_uring_probe*>(storage);
    if (int r = ring.list_opcodes(probe, kOps); r < 0) {
        out.error = r;
        return out;
    }
    const unsigned n = probe->ops_len < kOps ? probe->ops_len : kOps;
    for (unsigned i = 0; i < n && i <= probe->last_op; ++i) {
        if (probe->ops[i].flags & IO_URING_OP_SUPPORTED) out.ops.set(probe->ops[i].op);
    }
    return out;
}

const OpcodeSet& kernel_opcodes() noexcept {
    // A function-local static: initialised exactly once even when several
    // threads ask first at the same time.
    static const OpcodeSet cached = query_opcodes();
    return cached;
}

}  // namespace velnor::rt
