// The removed-drive register. Two guarantees matter more than anything else
// here, since the register is what keeps a removed drive out of service across
// restarts:
//  - a line appended by a removal is written whole and synced before the
//    removal is reported, or not at all (a failed write is cut back and
//    reported);
//  - the start-up rewrite never empties the register before the new content is
//    complete: the surviving lines go to a new file, which is synced and then
//    renamed over the register. A crash at any point leaves either the old or
//    the new register, never a truncated one. A register kept as a link is
//    rewritten at the link's target, so the link goes on naming it.
#include "isolate/register.h"

#include "alert/alert.h"
#include "log/append.h"
#include "isolate/register_drive.h"
#include "log/messages.h"
#include "process/files.h"
#include "process/process.h"
#include "storage/StoreCmd.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int REGISTER_LINE_SIZE = 256;

// Makes a directory entry change (new file, rename) durable.
void vSyncDir(const char *dir) {
    int fd = open(dir[0] != '\0' ? dir : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

void vSyncModuleDir() {
    vSyncDir(gcModulePath);
}

// Where the start-up rewrite puts the register: the file itself and the new
// file renamed over it, in the same directory. For a register kept as a
// symbolic link that is the link's final target (the kernel bounds the
// chain), so the link stays and keeps naming the current register. 0, or the
// errno why the target cannot be named.
struct RewritePlace {
    char target[PATH_MAX];
    char fresh[PATH_MAX + 8];
    char dir[PATH_MAX];
};

int iRewritePlace(const char *registerPath, RewritePlace *place) {
    struct stat lst {};
    if (lstat(registerPath, &lst) != 0 || !S_ISLNK(lst.st_mode)) {
        snprintf(place->target, sizeof place->target, "%s", registerPath);
        snprintf(place->fresh, sizeof place->fresh, "%s/%s", gcModulePath, REGISTER_NEW_NAME);
        snprintf(place->dir, sizeof place->dir, "%s", gcModulePath);
        return 0;
    }
    if (realpath(registerPath, place->target) == nullptr)
        return errno;
    // fresh has room for the longest target and ".new".
    snprintf(place->fresh, sizeof place->fresh, "%s.new", place->target);
    // realpath gives an absolute path: its last "/" ends the directory.
    snprintf(place->dir, sizeof place->dir, "%s", place->target);
    char *slash = strrchr(place->dir, '/');
    if (slash == place->dir)
        slash[1] = '\0';
    else if (slash != nullptr)
        *slash = '\0';
    return 0;
}

// Opens a register file without blocking (a FIFO in its place must not hang
// the daemon) and only when it is a regular file: a directory gives EISDIR,
// anything else that is not a regular file EINVAL. The descriptor, or -1 with
// errno set.
int iOpenRegular(const char *path, int flags, mode_t mode) {
    int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0)
        return -1;
    struct stat st {};
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    if (err != 0) {
        close(fd);
        errno = err;
        return -1;
    }
    // Regular files never block; the flag would only confuse a later reader.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Flushes a stream and syncs its file; false when either fails.
bool bFlushSync(FILE *f) {
    return fflush(f) == 0 && fsync(fileno(f)) == 0;
}

// Creates the new register exclusively: a stale one (a crash's leftover, or
// a link or file someone planted there) is removed first, and the file is
// never opened through a link, so nothing but a file of our own is written
// and renamed over the register. It takes the register's owner and mode
// (owner first: a change of owner may clear mode bits; only root can give a
// file away, otherwise the daemon already owns it). The descriptor, or -1
// with `*err` set.
int iCreateFresh(const char *path, const struct stat &like, int *err) {
    if (unlink(path) != 0 && errno != ENOENT) {
        *err = errno;
        return -1;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    int owned = fchown(fd, like.st_uid, like.st_gid);
    (void)owned;
    fchmod(fd, like.st_mode & 07777);
    return fd;
}

// A register line is "controller,deviceId"; fields are split at ",", CR and LF
// with empty pieces dropped. A line without two numeric fields (a blank line,
// no comma, text) names no drive and is dropped.
bool bParseLine(char *line, int *controller, int *deviceId) {
    char *save = nullptr;
    char *first = strtok_r(line, ",\r\n", &save);
    char *second = first != nullptr ? strtok_r(nullptr, ",\r\n", &save) : nullptr;
    if (first == nullptr || second == nullptr)
        return false;
    char *end = nullptr;
    long c = strtol(first, &end, 10);
    if (end == first)
        return false;
    long d = strtol(second, &end, 10);
    if (end == second)
        return false;
    if (c < INT32_MIN || c > INT32_MAX)
        return false;
    *controller = static_cast<int>(c);
    *deviceId = static_cast<int>(static_cast<uint16_t>(static_cast<unsigned long>(d) & 0xFFFFu));
    return true;
}

} // namespace

int iRegisterBeforeChange(int controller, int deviceId, RegisterMark *mark) {
    *mark = RegisterMark{};
    char path[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(path, REGISTER_FILE_NAME);
    // lstat: a link to a register elsewhere is an existing register even
    // before its target exists, and must never be unlinked here.
    struct stat before {};
    bool existed = lstat(path, &before) == 0;
    int fd = iOpenRegular(path, O_RDWR | O_APPEND | O_CREAT, 0666);
    if (fd < 0) {
        vLogID5009_Output(REGISTER_FILE_NAME, "iHSPFileMake", errno);
        return 0;
    }
    FilePtr file(fdopen(fd, "a+"));
    if (!file) {
        int err = errno;
        close(fd);
        vLogID5009_Output(REGISTER_FILE_NAME, "iHSPFileMake", err);
        return 0;
    }
    char entry[64];
    int len = snprintf(entry, sizeof entry, "%d,%d\n", controller,
                       static_cast<int>(static_cast<int16_t>(deviceId)));

    // An unterminated last line (an edit, an interrupted write) is the same
    // drive as its terminated form.
    bool duplicate = false;
    rewind(file.get());
    char line[REGISTER_LINE_SIZE];
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        if (strncmp(line, entry, static_cast<size_t>(len)) == 0 ||
            (strncmp(line, entry, static_cast<size_t>(len - 1)) == 0 && line[len - 1] == '\0'))
            duplicate = true;
    }
    if (duplicate)
        return 1;

    // The new line must start a line of its own: after "0,8" without its LF,
    // "0,9\n" would make "0,80,9".
    struct stat st {};
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) != 1)
        last = '\n';
    int outLen = snprintf(mark->line, sizeof mark->line, "%s%s", last != '\n' ? "\n" : "", entry);

    int err = iAppendWhole(fd, mark->line, static_cast<size_t>(outLen), true);
    if (err != 0) {
        // The file is back as it was; one this call created goes again.
        file.reset();
        if (!existed)
            unlink(path);
        vLogID5009_Output(REGISTER_FILE_NAME, "iHSPFileMake", err);
        return 0;
    }
    if (!existed)
        vSyncModuleDir();
    mark->appended = true;
    mark->created = !existed;
    mark->lineLength = outLen;
    mark->sizeBefore = static_cast<long long>(st.st_size);
    mark->device = static_cast<unsigned long long>(st.st_dev);
    mark->inode = static_cast<unsigned long long>(st.st_ino);
    return 1;
}

void vRegisterTakeBack(const RegisterMark &mark) {
    if (!mark.appended)
        return;
    char path[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(path, REGISTER_FILE_NAME);
    int fd = iOpenRegular(path, O_RDWR, 0);
    if (fd < 0)
        return;
    // Only the very bytes appended are taken back: a file that has been
    // replaced or has grown since is left alone (a line for an unchanged drive
    // is dropped by the next start when the drive is found in use).
    struct stat st {};
    char tail[sizeof mark.line];
    off_t sizeAfter = static_cast<off_t>(mark.sizeBefore + mark.lineLength);
    bool same =
        fstat(fd, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == mark.device &&
        static_cast<unsigned long long>(st.st_ino) == mark.inode && st.st_size == sizeAfter &&
        pread(fd, tail, static_cast<size_t>(mark.lineLength),
              static_cast<off_t>(mark.sizeBefore)) == static_cast<ssize_t>(mark.lineLength) &&
        memcmp(tail, mark.line, static_cast<size_t>(mark.lineLength)) == 0;
    if (!same) {
        close(fd);
        return;
    }
    if (mark.created) {
        // The file did not exist before: it goes again, as after a failed append.
        close(fd);
        unlink(path);
        vSyncModuleDir();
        return;
    }
    if (ftruncate(fd, static_cast<off_t>(mark.sizeBefore)) == 0)
        fsync(fd);
    close(fd);
}

int iHSPFileMake(int controller, int deviceId) {
    RegisterMark mark;
    return iRegisterBeforeChange(controller, deviceId, &mark);
}

int iStateChkSet(int controller, int deviceId) {
    return iStateChkSetDrive(controller, deviceId, nullptr);
}

int iHspFlgChk() {
    char registerPath[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(registerPath, REGISTER_FILE_NAME);

    struct stat st {};
    if (stat(registerPath, &st) != 0)
        return 1;

    int inFd = iOpenRegular(registerPath, O_RDONLY, 0);
    FilePtr in(inFd >= 0 ? fdopen(inFd, "r") : nullptr);
    if (!in) {
        int err = errno;
        if (inFd >= 0)
            close(inFd);
        vLogID5009_Output(REGISTER_FILE_NAME, "iHspFlgChk", err);
        return 0;
    }
    fstat(inFd, &st);

    // Every line is judged from the register itself; only the rewrite needs
    // room and descriptors, and when it cannot be made the register stays
    // exactly as it was.
    RewritePlace place;
    int err = iRewritePlace(registerPath, &place);
    int freshFd = err == 0 ? iCreateFresh(place.fresh, st, &err) : -1;
    FilePtr fresh(freshFd >= 0 ? fdopen(freshFd, "w") : nullptr);
    if (freshFd >= 0 && !fresh) {
        err = errno;
        close(freshFd);
        unlink(place.fresh);
    }
    if (!fresh)
        vLogID5009_Output(REGISTER_FILE_NAME, "iHspFlgChk", err);

    IdentityPass identities(registerPath);
    char line[REGISTER_LINE_SIZE];
    while (fgets(line, sizeof line, in.get()) != nullptr) {
        int controller = 0;
        int deviceId = 0;
        if (!bParseLine(line, &controller, &deviceId))
            continue;
        // Only a real answer about the drive drops its line: read and found
        // in another state, or found to be another drive. A drive that cannot be read at this start
        // (its controller not listed, the read failing, a stop request before or during its read)
        // keeps its line, in order.
        bool keep = true;
        if (g_iSignalRecv != 1) {
            if (controller < 0 || controller >= giCtrlCnt)
                vLogID6002_Output(controller, deviceId);
            else {
                int result = identities.iJudge(controller, deviceId);
                keep = result != 2 && result != STATE_CHK_REPLACED;
            }
        }
        if (keep)
            identities.vKeep(controller, deviceId);
        if (keep && fresh && fprintf(fresh.get(), "%d,%d\n", controller, deviceId) < 0 && err == 0)
            err = errno;
    }
    if (!fresh)
        return 0;

    // Only a complete, synced new register replaces the old one.
    errno = 0;
    bool written = !ferror(in.get()) && !ferror(fresh.get()) && bFlushSync(fresh.get());
    if (err == 0)
        err = errno != 0 ? errno : EIO;
    fresh.reset();
    in.reset();
    if (!written || rename(place.fresh, place.target) != 0) {
        if (written)
            err = errno;
        unlink(place.fresh);
        vLogID5009_Output(REGISTER_FILE_NAME, "iHspFlgChk", err);
        return 0;
    }
    vSyncDir(place.dir);
    identities.vFinish();
    return 1;
}

int iRegisterLineCount() {
    char path[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(path, REGISTER_FILE_NAME);
    // Counted only in a regular file: a FIFO in its place must not block.
    int fd = iOpenRegular(path, O_RDONLY, 0);
    FilePtr file(fd >= 0 ? fdopen(fd, "r") : nullptr);
    if (!file) {
        if (fd >= 0)
            close(fd);
        return 0;
    }
    int count = 0;
    char line[REGISTER_LINE_SIZE];
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        int controller = 0;
        int deviceId = 0;
        if (bParseLine(line, &controller, &deviceId))
            count++;
    }
    return count;
}

bool bRegisterLine(const char *line, int *controller, int *deviceId) {
    char copy[REGISTER_LINE_SIZE];
    snprintf(copy, sizeof copy, "%s", line);
    return bParseLine(copy, controller, deviceId);
}
