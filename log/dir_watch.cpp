#include "log/dir_watch.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

// Local file systems on which a watch sees every change, whoever makes it.
// Network and cluster file systems report only this host's own changes, and
// FUSE may be either, so they never get a watch.
bool bWatchable(const char *directory) {
    struct statfs fs {};
    if (statfs(directory, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53UL:     // ext2, ext3, ext4
    case 0x58465342UL: // xfs
    case 0x9123683EUL: // btrfs
    case 0x01021994UL: // tmpfs
    case 0xF2F52010UL: // f2fs
        return true;
    default:
        return false;
    }
}

// Every change to the set of names, their types or their attributes. Writes
// into files (IN_MODIFY) are left out on purpose: they change no name, and
// each history line would otherwise count as a change.
constexpr uint32_t WATCH_MASK = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Events after which the watch no longer covers the directory at its path.
constexpr uint32_t LOST_MASK = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED | IN_Q_OVERFLOW;

struct Watch {
    int fd = -1;
    int wd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    long long generation = 0;
    ~Watch() {
        vClose();
    }
    void vClose() {
        if (fd >= 0)
            close(fd);
        fd = -1;
        wd = -1;
    }
};
Watch s_watch;

bool bSameDir(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Adds the watch for the directory now at `directory`; false when none can be
// had or the path changed its directory meanwhile.
bool bAddWatch(const char *directory, const struct stat &before) {
    // Checked for every directory the path comes to name: it may now be a
    // mount of another kind.
    if (!bWatchable(directory)) {
        s_watch.vClose();
        return false;
    }
    if (s_watch.fd < 0) {
        s_watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (s_watch.fd < 0)
            return false;
    }
    if (s_watch.wd >= 0)
        inotify_rm_watch(s_watch.fd, s_watch.wd);
    s_watch.wd = inotify_add_watch(s_watch.fd, directory, WATCH_MASK);
    struct stat after {};
    if (s_watch.wd < 0 || stat(directory, &after) != 0 || !bSameDir(before, after)) {
        s_watch.vClose();
        return false;
    }
    s_watch.dev = after.st_dev;
    s_watch.ino = after.st_ino;
    s_watch.generation++; // nothing is known about the time before the watch
    return true;
}

// Reads the queued events; true when there was at least one. Sets `lost`
// when the watch was lost, so that the next call sets it up again. Bounded, so
// that a directory changed without pause cannot hold the scan: what is left
// counts as a change at the next call.
bool bDrain(bool *lost) {
    alignas(struct inotify_event) char buffer[16384];
    bool any = false;
    for (int reads = 0; reads < 64; reads++) {
        ssize_t n = read(s_watch.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN)
                *lost = true;
            return any;
        }
        any = true;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
            struct inotify_event event;
            memcpy(&event, buffer + off, sizeof event);
            // Events of a watch replaced earlier still count as changes, but
            // only the current watch can be lost.
            if ((event.mask & IN_Q_OVERFLOW) != 0 ||
                (event.wd == s_watch.wd && (event.mask & LOST_MASK) != 0))
                *lost = true;
            off += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
    return any;
}

} // namespace

long long llDirChangeGeneration(const char *directory) {
    struct stat now {};
    if (stat(directory, &now) != 0) {
        s_watch.vClose();
        return -1;
    }
    // The path may name another directory than the one watched (moved,
    // replaced, mounted over): watch the one it names now.
    if (s_watch.wd < 0 || s_watch.dev != now.st_dev || s_watch.ino != now.st_ino) {
        if (!bAddWatch(directory, now))
            return -1;
    }
    bool lost = false;
    if (bDrain(&lost))
        s_watch.generation++;
    if (lost) {
        s_watch.vClose();
        return -1;
    }
    return s_watch.generation;
}

void vDirWatchRelease() {
    s_watch.vClose();
}
