// Writing a record whole: to a new file, or appended so that it lands whole
// or not at all.
#pragma once

#include <cstddef>

// Writes all `size` bytes, going on after interruptions and short writes.
// Returns 0, or the errno of the write that failed (EIO when it wrote nothing).
int iWriteAll(int fd, const char *data, size_t size);

// Writes `size` bytes at the end of the file open on `fd` (O_APPEND), and
// syncs it when `sync` is set. Returns 0 when all of it was written (and
// synced), else the errno of the failure, after cutting the file back to its
// size before the call: a full disk or a size limit must not leave half a line
// for the next record to run into.
int iAppendWhole(int fd, const char *data, size_t size, bool sync);
