#include "process/regular_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int iOpenRegular(const char *path, int flags, mode_t mode) {
    int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0) {
        // A FIFO without a reader is refused by open itself (write side). A
        // directory keeps its own EISDIR.
        if (errno == ENXIO)
            errno = EINVAL;
        return -1;
    }
    struct stat st {};
    int err = fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
    if (err != 0) {
        close(fd);
        errno = err;
        return -1;
    }
    int now = fcntl(fd, F_GETFL);
    if (now >= 0)
        fcntl(fd, F_SETFL, now & ~O_NONBLOCK);
    return fd;
}

FILE *pOpenRegularFile(const char *path, const char *mode) {
    bool append = strcmp(mode, "a") == 0;
    int fd = append ? iOpenRegular(path, O_WRONLY | O_CREAT | O_APPEND, 0666)
                    : iOpenRegular(path, O_RDONLY, 0);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, append ? "a" : "r");
    if (f == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return f;
}
