// Which file systems keep a file's status in memory, so that the calling
// thread may ask for it without waiting: block-device and memory file
// systems, not network or user-space ones (NFS, SMB, FUSE, Ceph), whose
// status may need a round trip or be stale. No Python here.
#pragma once

#include <cstdint>
#include <string_view>

namespace velnor::fast {

// Whether the file system mounted on device `major:minor` is one of the
// local kinds, learnt from this process's mount table (read again once for
// a device it did not list yet). Unknown devices count as not local.
bool local_device(std::uint32_t major, std::uint32_t minor) noexcept;

// Whether a file-system type name (as the mount table gives it) is local.
bool local_fs_type(std::string_view type) noexcept;

}  // namespace velnor::fast
