// Opening the daemon's own files: never blocking in open (a FIFO or a device
// planted under a file's name would hold the daemon there for good, deaf to
// SIGTERM) and using a name only when it is a regular file.
#pragma once

#include <cstdio>
#include <sys/types.h>

// open(2) with O_NONBLOCK, O_CLOEXEC and O_NOCTTY added; the descriptor is
// returned in blocking mode, and only when it is a regular file. -1 with errno
// otherwise: EINVAL when the name is something else (FIFO, device, socket; a
// directory opened for writing gives EISDIR), or open's own error.
int iOpenRegular(const char *path, int flags, mode_t mode);

// The same as a FILE: "r" reads, "a" appends (created if missing, 0666 less
// the umask, like fopen). nullptr with errno as above.
FILE *pOpenRegularFile(const char *path, const char *mode);
