// Crash consistency: a record is appended and synced before the register line
// it goes with, and the start-up rewrite renames the new register over the old
// one before the new identity file over its old one. A crash therefore leaves
// at worst a record without a line (ignored, and dropped at the next start) or
// a register line whose record is an older one for the same drive — which the
// next record for that drive supersedes, since the last record wins.
#include "isolate/register_identity.h"

#include "log/append.h"
#include "process/files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int RECORD_LINE_SIZE = 512;

// Opens the identity file for appending or reading: never through a link,
// never anything but a regular file (a FIFO in its place must not block).
int iOpenRegular(const char *path, int flags) {
    int fd = open(path, flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0)
        return -errno;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -EINVAL;
    }
    return fd;
}

void vSyncDirOf(const char *path) {
    char dir[IDENTITY_PATH_SIZE];
    snprintf(dir, sizeof dir, "%s", path);
    char *slash = strrchr(dir, '/');
    if (slash == nullptr)
        snprintf(dir, sizeof dir, ".");
    else if (slash == dir)
        slash[1] = '\0';
    else
        *slash = '\0';
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

bool bNumber(const char *text, long long min, long long max, long long *out) {
    if (text[0] == '\0')
        return false;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace

void vIdentityPath(const char *registerPath, char *out, size_t size) {
    // A linked register keeps its identity file beside the file it names; a
    // link that names nothing yet, beside the link.
    char target[PATH_MAX];
    struct stat st {};
    if (lstat(registerPath, &st) == 0 && S_ISLNK(st.st_mode) &&
        realpath(registerPath, target) != nullptr) {
        snprintf(out, size, "%s%s", target, IDENTITY_SUFFIX);
        return;
    }
    snprintf(out, size, "%s%s", registerPath, IDENTITY_SUFFIX);
}

int iIdentityFormat(const IdentityRecord &r, char *out, size_t size) {
    int n = snprintf(out, size, "%d\t%d\t0x%016llx\t%d\t%d\t%s\t%lld\t%s\n", r.controller,
                     r.deviceId & 0xFFFF, r.id.sasAddress, r.id.enclosure, r.id.slot, r.reason,
                     r.removedAt, r.id.drive);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : n;
}

bool bIdentityParse(const char *line, IdentityRecord *out) {
    size_t len = strlen(line);
    if (len == 0 || line[len - 1] != '\n' || len >= RECORD_LINE_SIZE)
        return false;
    char copy[RECORD_LINE_SIZE];
    memcpy(copy, line, len - 1);
    copy[len - 1] = '\0';
    char *field[8];
    int count = 0;
    for (char *p = copy; p != nullptr && count <= 8; count++) {
        if (count < 8)
            field[count] = p;
        char *tab = strchr(p, '\t');
        if (tab != nullptr)
            *tab++ = '\0';
        p = tab;
    }
    if (count != 8)
        return false;
    long long controller, device, enclosure, slot, when;
    if (!bNumber(field[0], 0, INT_MAX, &controller) || !bNumber(field[1], 0, 65535, &device) ||
        !bNumber(field[3], 0, 65535, &enclosure) || !bNumber(field[4], 0, 255, &slot) ||
        !bNumber(field[6], LLONG_MIN, LLONG_MAX, &when))
        return false;
    if (strncmp(field[2], "0x", 2) != 0 || strlen(field[2]) != 18)
        return false;
    char *end = nullptr;
    unsigned long long sas = strtoull(field[2] + 2, &end, 16);
    if (*end != '\0' || strlen(field[5]) >= sizeof out->reason ||
        strlen(field[7]) >= sizeof out->id.drive)
        return false;
    // Only what the daemon writes: a drive text as shown, a reason word.
    for (const char *c = field[7]; *c != '\0'; c++)
        if (*c < ' ' || *c > '~' || *c == '"' || *c == '\\')
            return false;
    for (const char *c = field[5]; *c != '\0'; c++)
        if (*c < 'A' || *c > 'Z')
            return false;
    out->controller = static_cast<int>(controller);
    out->deviceId = static_cast<int>(device);
    out->id.sasAddress = sas;
    out->id.enclosure = static_cast<int>(enclosure);
    out->id.slot = static_cast<int>(slot);
    snprintf(out->reason, sizeof out->reason, "%s", field[5]);
    out->removedAt = when;
    snprintf(out->id.drive, sizeof out->id.drive, "%s", field[7]);
    return true;
}

int iIdentityAppend(const char *path, const IdentityRecord &record, long long *sizeBefore,
                    long long *sizeAfter) {
    // A record cut short by a crash is ended with a byte no record holds, so
    // that it can neither swallow this one nor pass for a record itself.
    char line[RECORD_LINE_SIZE + 2] = "\x7f\n";
    int len = iIdentityFormat(record, line + 2, sizeof line - 2);
    if (len < 0)
        return EINVAL;
    struct stat before {};
    bool existed = lstat(path, &before) == 0;
    int fd = iOpenRegular(path, O_RDWR | O_CREAT | O_APPEND);
    if (fd < 0)
        return -fd;
    struct stat st {};
    fstat(fd, &st);
    *sizeBefore = st.st_size;
    char last = '\n';
    if (st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) != 1)
        last = '\n';
    int skip = last != '\n' ? 0 : 2;
    size_t size = static_cast<size_t>(len) + 2 - static_cast<size_t>(skip);
    *sizeAfter = st.st_size + static_cast<long long>(size);
    int err = iAppendWhole(fd, line + skip, size, true);
    close(fd);
    if (err != 0 && !existed)
        unlink(path);
    else if (err == 0 && !existed)
        vSyncDirOf(path);
    return err;
}

int iIdentityCutBack(const char *path, long long sizeBefore, long long sizeAfter) {
    int fd = iOpenRegular(path, O_WRONLY);
    if (fd < 0)
        return -fd;
    struct stat st {};
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (st.st_size == sizeAfter)
        err = ftruncate(fd, static_cast<off_t>(sizeBefore)) == 0 && fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return err;
}

int iIdentityLoad(const char *path, std::vector<IdentityRecord> *out) {
    out->clear();
    int fd = iOpenRegular(path, O_RDONLY);
    if (fd < 0)
        return -fd;
    FilePtr file(fdopen(fd, "r"));
    if (!file) {
        int err = errno;
        close(fd);
        return err;
    }
    char line[RECORD_LINE_SIZE];
    bool whole = true; // the buffer starts a line
    try {
        while (fgets(line, sizeof line, file.get()) != nullptr) {
            size_t len = strlen(line);
            bool ends = len > 0 && line[len - 1] == '\n';
            IdentityRecord record{};
            if (whole && ends && bIdentityParse(line, &record))
                out->push_back(record);
            whole = ends;
        }
    } catch (const std::bad_alloc &) {
        out->clear();
        return ENOMEM;
    }
    return ferror(file.get()) ? EIO : 0;
}

const IdentityRecord *pIdentityFind(const std::vector<IdentityRecord> &records, int controller,
                                    int deviceId) {
    for (size_t i = records.size(); i > 0; i--) {
        const IdentityRecord &r = records[i - 1];
        if (r.controller == controller && r.deviceId == (deviceId & 0xFFFF))
            return &r;
    }
    return nullptr;
}

int iIdentityRewrite(const char *path, const std::vector<IdentityRecord> &records) {
    char fresh[IDENTITY_PATH_SIZE + 8];
    snprintf(fresh, sizeof fresh, "%s.new", path);
    // A stale or planted file of that name goes first (a link is removed, not
    // followed); O_EXCL then makes sure the file written is our own.
    unlink(fresh);
    int fd = open(fresh, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    struct stat old {};
    if (stat(path, &old) == 0) {
        int owned = fchown(fd, old.st_uid, old.st_gid);
        (void)owned;
        fchmod(fd, old.st_mode & 07777);
    }
    int err = 0;
    char line[RECORD_LINE_SIZE];
    for (const IdentityRecord &r : records) {
        int len = iIdentityFormat(r, line, sizeof line);
        if (len > 0 && (err = iWriteAll(fd, line, static_cast<size_t>(len))) != 0)
            break;
    }
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    close(fd);
    if (err == 0 && rename(fresh, path) != 0)
        err = errno;
    if (err != 0) {
        unlink(fresh);
        return err;
    }
    vSyncDirOf(path);
    return 0;
}
