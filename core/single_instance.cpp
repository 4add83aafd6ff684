#include "core/single_instance.h"

#include "process/process.h"
#include "log/messages.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// Never closed: the lock must last exactly as long as the process, and the
// kernel releases it at exit however the process ends. O_CLOEXEC keeps it
// out of ldd and any other program the daemon starts.
int g_iInstanceLockFd = -1;

} // namespace

int iInstanceLock() {
    const char *dir = gcModulePath[0] != '\0' ? gcModulePath : "/";
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        vLogID6011_Output(dir, errno);
        return 1;
    }
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        if (err == EINTR)
            continue;
        close(fd);
        if (err == EWOULDBLOCK) {
            vLogID6010_Output(dir);
            return 0;
        }
        // A file system without locks must not keep the monitor from running.
        vLogID6011_Output(dir, err);
        return 1;
    }
    g_iInstanceLockFd = fd;
    return 1;
}
