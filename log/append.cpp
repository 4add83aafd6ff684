#include "log/append.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

int iAppendWhole(int fd, const char *data, size_t size, bool sync) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return errno != 0 ? errno : EIO;
    int err = 0;
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    if (err == 0 && sync && fsync(fd) != 0)
        err = errno;
    if (err == 0)
        return 0;
    // Nothing more can be done when even the cut fails.
    if (ftruncate(fd, st.st_size) == 0 && sync)
        fsync(fd);
    return err;
}
