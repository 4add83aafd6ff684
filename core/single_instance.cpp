#include "core/single_instance.h"

#include "process/process.h"
#include "log/messages.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// Never closed: the lock must last exactly as long as the process, and the
// kernel releases it at exit however the process ends. O_CLOEXEC keeps it
// out of ldd and any other program the daemon starts; only the restart in
// place keeps it across its exec, so that no other start can slip in.
int g_iInstanceLockFd = -1;

constexpr const char *INSTANCE_FD_ENV = "KESTRUN_INSTANCE_FD";

// The lock a restart in place handed over, when it is one on `dir`. flock on
// the same open description succeeds; a second open of the directory would
// conflict with it and refuse the start.
int iInheritedLock(const char *dir) {
    const char *text = getenv(INSTANCE_FD_ENV);
    if (text == nullptr)
        return -1;
    char *end = nullptr;
    long fd = strtol(text, &end, 10);
    unsetenv(INSTANCE_FD_ENV); // not for the programs the daemon starts
    struct stat held {}, wanted {};
    if (end == text || *end != '\0' || fd < 3 || fd > 65535 ||
        fstat(static_cast<int>(fd), &held) != 0 || stat(dir, &wanted) != 0 ||
        !S_ISDIR(held.st_mode) || held.st_dev != wanted.st_dev || held.st_ino != wanted.st_ino)
        return -1;
    int f = static_cast<int>(fd);
    if (flock(f, LOCK_EX | LOCK_NB) != 0)
        return -1;
    fcntl(f, F_SETFD, FD_CLOEXEC);
    return f;
}

} // namespace

void vInstanceLockHandOver() {
    if (g_iInstanceLockFd < 0)
        return;
    char text[16];
    snprintf(text, sizeof text, "%d", g_iInstanceLockFd);
    if (setenv(INSTANCE_FD_ENV, text, 1) == 0)
        fcntl(g_iInstanceLockFd, F_SETFD, 0);
}

int iInstanceLock() {
    const char *dir = gcModulePath[0] != '\0' ? gcModulePath : "/";
    int inherited = iInheritedLock(dir);
    if (inherited >= 0) {
        g_iInstanceLockFd = inherited;
        return 1;
    }
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
