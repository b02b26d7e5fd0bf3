// The rows of the module's registration table, one per Python-visible name,
// each defined in the file that implements it. module.cpp lists them in
// registration order.
#pragma once

#include "ext/capi/ref.hpp"

namespace velnor::ext {

// handle_ops.cpp
extern PyMethodDef OPEN_METHOD;
extern PyMethodDef CLOSE_METHOD;
extern PyMethodDef SYNC_METHOD;
extern PyMethodDef SET_LEN_METHOD;
extern PyMethodDef SIZE_METHOD;

// data_ops.cpp
extern PyMethodDef READ_METHOD;
extern PyMethodDef READINTO_METHOD;
extern PyMethodDef READ_TO_END_METHOD;
extern PyMethodDef WRITE_METHOD;
extern PyMethodDef READ_FILE_METHOD;
extern PyMethodDef WRITE_FILE_METHOD;

// fast_path.cpp
Ref make_fast_path_type();
extern PyMethodDef TRY_READ_FILE_METHOD;

// read_group.cpp
extern PyMethodDef READ_PARALLEL_METHOD;

// cancel_ops.cpp
extern PyMethodDef CANCEL_OPS_METHOD;

// kernel_probes.cpp
extern PyMethodDef PROBE_INLINE_READ_METHOD;
extern PyMethodDef PROBE_PREAD_NOWAIT_METHOD;

// probes.cpp
extern PyMethodDef PROBE_FFI_METHOD;
extern PyMethodDef PROBE_RESOLVED_FUTURE_METHOD;
extern PyMethodDef PROBE_NOP_METHOD;

// module.cpp
extern PyMethodDef BACKEND_NAME_METHOD;
extern PyMethodDef SHUTDOWN_METHOD;

// cached_open.cpp
extern PyMethodDef OPEN_CACHED_METHOD;
extern PyMethodDef ADOPT_METHOD;
extern PyMethodDef STAT_CACHED_METHOD;
extern PyMethodDef LISTED_ENTRIES_METHOD;

// fast_path.cpp
extern PyMethodDef TRY_READ_FILE_MAX_METHOD;

// path_ops.cpp
extern PyMethodDef STAT_METHOD;
extern PyMethodDef RENAME_METHOD;
extern PyMethodDef UNLINK_METHOD;
extern PyMethodDef MKDIR_METHOD;
extern PyMethodDef SYMLINK_METHOD;
extern PyMethodDef LINK_METHOD;
extern PyMethodDef LISTDIR_METHOD;
extern PyMethodDef READLINK_METHOD;
extern PyMethodDef CHMOD_METHOD;
extern PyMethodDef ACCESS_METHOD;
extern PyMethodDef STATVFS_METHOD;
extern PyMethodDef UTIME_METHOD;
extern PyMethodDef TRUNCATE_METHOD;
extern PyMethodDef SENDFILE_METHOD;
extern PyMethodDef COPY_RANGE_METHOD;
extern PyMethodDef OPEN_FD_METHOD;
extern PyMethodDef CLOSE_FD_METHOD;

// split_lines.cpp
extern PyMethodDef SPLIT_LINES_METHOD;
// cached_open.cpp, after the names above
extern PyMethodDef READ_OWNED_TO_END_METHOD;
// fast_path.cpp, after them
extern PyMethodDef MISS_IN_FLIGHT_METHOD;
// step_read.cpp, after that
Ref make_step_read_type();
// stat_result.cpp, after that
extern PyMethodDef STAT_RESULT_OF_METHOD;

// line_steps.cpp
Ref make_line_steps_type();

// turns.cpp
Ref make_turns_type();
Ref make_listed_entry_type();

}  // namespace velnor::ext
