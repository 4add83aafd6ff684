#include "isolate/register_retire.h"

#include "isolate/register.h"
#include "isolate/register_identity.h"
#include "log/append.h"
#include "process/process.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr long long RETIRE_MAX_SIZE = 64ll << 20; // far beyond any register

void vSyncDirOf(const char *path) {
    std::string dir(path);
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// The whole file, read without blocking and only if it is a regular file.
int iReadWhole(const char *path, std::string *out) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat st {};
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    else if (st.st_size > RETIRE_MAX_SIZE)
        err = EFBIG;
    char buffer[4096];
    while (err == 0) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            err = errno;
        if (n <= 0)
            break;
        out->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return err;
}

// Writes `text` as the new content of `target`, through `fresh` created
// exclusively (a stale or planted file of that name is removed, not followed),
// with the old file's owner and mode, synced, then renamed over the target.
int iReplace(const char *target, const char *fresh, const std::string &text,
             const struct stat &old) {
    unlink(fresh);
    int fd = open(fresh, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    int owned = fchown(fd, old.st_uid, old.st_gid);
    (void)owned;
    fchmod(fd, old.st_mode & 07777);
    int err = iWriteAll(fd, text.data(), text.size());
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    close(fd);
    if (err == 0 && rename(fresh, target) != 0)
        err = errno;
    if (err != 0) {
        unlink(fresh);
        return err;
    }
    vSyncDirOf(target);
    return 0;
}

RetireResult eRetire(int controller, int deviceId, int *error, int *identityError) {
    char path[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(path, REGISTER_FILE_NAME);
    struct stat lst {};
    if (lstat(path, &lst) != 0) {
        *error = errno;
        return errno == ENOENT ? RETIRE_NO_LINE : RETIRE_FAILED;
    }
    // A linked register is rewritten at its target, so the link stays.
    char target[PATH_MAX];
    char fresh[PATH_MAX + 8];
    if (S_ISLNK(lst.st_mode)) {
        if (realpath(path, target) == nullptr) {
            *error = errno;
            return errno == ENOENT ? RETIRE_NO_LINE : RETIRE_FAILED;
        }
        snprintf(fresh, sizeof fresh, "%s.new", target);
    } else {
        snprintf(target, sizeof target, "%s", path);
        char fresh0[MODULE_FILE_PATH_SIZE];
        vModuleFilePath(fresh0, REGISTER_NEW_NAME);
        snprintf(fresh, sizeof fresh, "%s", fresh0);
    }
    std::string text;
    if ((*error = iReadWhole(target, &text)) != 0)
        return RETIRE_FAILED;
    struct stat st {};
    if (stat(target, &st) != 0) {
        *error = errno;
        return RETIRE_FAILED;
    }

    // Every other line stays exactly as it is, CR LF and unterminated last
    // line included.
    std::string kept;
    bool retired = false;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(pos, end - pos);
        pos = end;
        int c = 0;
        int d = 0;
        if (line.size() < 256 && bRegisterLine(line.c_str(), &c, &d) && c == controller &&
            d == (deviceId & 0xFFFF)) {
            retired = true;
            continue;
        }
        kept += line;
    }
    if (!retired)
        return RETIRE_NO_LINE;
    if ((*error = iReplace(target, fresh, kept, st)) != 0)
        return RETIRE_FAILED;

    char identity[IDENTITY_PATH_SIZE];
    vIdentityPath(path, identity, sizeof identity);
    std::vector<IdentityRecord> records;
    int err = iIdentityLoad(identity, &records);
    if (err == 0) {
        std::vector<IdentityRecord> keep;
        for (const IdentityRecord &r : records)
            if (r.controller != controller || r.deviceId != (deviceId & 0xFFFF))
                keep.push_back(r);
        if (keep.size() != records.size())
            err = iIdentityRewrite(identity, keep);
    }
    *identityError = err == ENOENT ? 0 : err;
    return RETIRE_DONE;
}

} // namespace

RetireResult eRegisterRetire(int controller, int deviceId, int *error, int *identityError) {
    *error = 0;
    *identityError = 0;
    try {
        return eRetire(controller, deviceId, error, identityError);
    } catch (const std::bad_alloc &) {
        *error = ENOMEM;
        return RETIRE_FAILED;
    }
}
