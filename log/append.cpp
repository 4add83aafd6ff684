#include "log/append.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

int iWriteAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

int iAppendWhole(int fd, const char *data, size_t size, bool sync) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return errno != 0 ? errno : EIO;
    int err = iWriteAll(fd, data, size);
    if (err == 0 && sync && fsync(fd) != 0)
        err = errno;
    if (err == 0)
        return 0;
    // Nothing more can be done when even the cut fails.
    if (ftruncate(fd, st.st_size) == 0 && sync)
        fsync(fd);
    return err;
}
