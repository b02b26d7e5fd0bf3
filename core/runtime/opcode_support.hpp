// Which io_uring opcodes the running kernel supports, asked once per process
// (IORING_REGISTER_PROBE on a throw-away ring) and cached.
#pragma once

#include <bitset>
#include <cstdint>
#include <initializer_list>

namespace velnor::rt {

struct OpcodeSet {
    // 0, or -errno when no ring could be created or the probe was refused:
    // then nothing is supported.
    int error = 0;
    std::bitset<256> ops;

    bool has(std::uint8_t op) const noexcept { return ops.test(op); }
    bool has_all(std::initializer_list<std::uint8_t> list) const noexcept {
        for (std::uint8_t op : list)
            if (!has(op)) return false;
        return true;
    }
};

// The probe's answer; the first call (from any thread) runs it.
const OpcodeSet& kernel_opcodes() noexcept;
inline bool supports(std::uint8_t op) noexcept { return kernel_opcodes().has(op); }

// Runs the probe now, uncached.
OpcodeSet query_opcodes() noexcept;

}  // namespace velnor::rt
