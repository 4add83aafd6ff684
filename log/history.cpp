// Event history files. Pruning deletes files with unlink: a name read from the
// directory never reaches a shell, so a file named with shell characters is
// just a file.
#include "log/history.h"

#include "config/settings.h"
#include "log/messages.h"
#include "process/files.h"
#include "process/process.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int NAME_SIZE = 256;

// One pass over the directory keeps a running oldest file and deletes one file
// for every matching file beyond HISTORY_COUNT. Choices made here: an entry
// whose status cannot be read (it may have just vanished) is passed over, as
// is anything that is not a regular file; a HISTORY_COUNT below 1 keeps one
// file, so the pass never has to delete a file it has not yet remembered.
// `remaining` receives the number of the drive's history files left after it,
// `deleted` how many it removed. 1 when the pass ran, 0 (and `remaining` -1)
// when the directory could not be opened.
int iDelFileSearch(const char *directory, int controller, int deviceId, long long *remaining,
                   long long *deleted) {
    *remaining = -1;
    *deleted = 0;
    DirPtr dir(opendir(directory));
    if (!dir)
        return 0;
    char prefix[64];
    int prefixLen =
        snprintf(prefix, sizeof prefix, "%s%d_Id%d_", HISTORY_PREFIX, controller, deviceId);
    int keep = g_iHistoryCnt < 1 ? 1 : g_iHistoryCnt;

    char oldestName[NAME_SIZE] = "";
    time_t oldestTime = 0;
    long long matched = 0;
    int dfd = dirfd(dir.get());
    struct dirent *entry;
    while ((entry = readdir(dir.get())) != nullptr) {
        const char *name = entry->d_name;
        if (name[0] == '.' || strncmp(name, prefix, static_cast<size_t>(prefixLen)) != 0)
            continue;
        struct stat st {};
        if (fstatat(dfd, name, &st, 0) != 0 || !S_ISREG(st.st_mode))
            continue;
        time_t m = st.st_mtime;
        matched++;
        if (matched <= keep) {
            if (matched == 1 || m < oldestTime) {
                snprintf(oldestName, sizeof oldestName, "%s", name);
                oldestTime = m;
            }
            continue;
        }
        if (oldestTime <= m) {
            unlinkat(dfd, oldestName, 0);
            snprintf(oldestName, sizeof oldestName, "%s", name);
            oldestTime = m;
        } else {
            unlinkat(dfd, name, 0);
        }
        (*deleted)++;
    }
    *remaining = matched - *deleted;
    return 1;
}

// Every event used to cost a full pass over the module directory, which
// dominates an event storm. A pass can only delete something when the drive
// has more files than it keeps, and the number of its files can only change
// when the directory changes. So after each event we remember, per drive, the
// directory's modification time and how many files the drive has; while the
// directory's time is unchanged and that number is within HISTORY_COUNT, the
// pass would delete nothing and is skipped. The time is remembered only once
// the coarse clock has moved past it: a change made later within the same
// clock tick would otherwise leave the time unchanged and go unseen.
bool bLater(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// Takes the directory's status; `settled` tells whether the coarse clock had
// already passed its modification time.
bool bDirStatus(const char *directory, struct stat *st, bool *settled) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    if (stat(directory, st) != 0)
        return false;
    *settled = bLater(now, st->st_mtim);
    return true;
}

bool bMemoHolds(const HistoryMemo *memo, const struct stat &st, long long keep) {
    return memo != nullptr && memo->valid && memo->dev == st.st_dev && memo->ino == st.st_ino &&
           memo->mtime.tv_sec == st.st_mtim.tv_sec && memo->mtime.tv_nsec == st.st_mtim.tv_nsec &&
           memo->files <= keep;
}

void vMemoStore(HistoryMemo *memo, const struct stat &st, bool settled, long long files) {
    memo->valid = settled && files >= 0;
    memo->dev = st.st_dev;
    memo->ino = st.st_ino;
    memo->mtime = st.st_mtim;
    memo->files = files;
}

} // namespace

int iLogOut(int controller, int deviceId, uint32_t seqNum, uint32_t timeStamp,
            const char *description, size_t descriptionMax, HistoryMemo *memo) {
    char directory[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(directory, "");
    long long keep = g_iHistoryCnt < 1 ? 1 : g_iHistoryCnt;
    struct stat dirStatus {};
    bool settled = false;
    bool haveStatus = memo != nullptr && bDirStatus(directory, &dirStatus, &settled);
    long long files = -1;
    long long deleted = 0;
    bool pruned = !(haveStatus && bMemoHolds(memo, dirStatus, keep));
    if (pruned)
        iDelFileSearch(directory, controller, deviceId, &files, &deleted);
    else
        files = memo->files;

    char name[NAME_SIZE];
    snprintf(name, sizeof name, "%s%d_Id%d_%s.dat", HISTORY_PREFIX, controller, deviceId,
             gcDateTime);
    char path[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(path, name);
    FilePtr file(fopen(path, "a"));
    if (!file) {
        if (memo != nullptr)
            memo->valid = 0;
        vLogID5009_Output(name, "iLogOut", errno);
        return 0;
    }
    struct stat fileStatus {};
    bool created = fstat(fileno(file.get()), &fileStatus) == 0 && fileStatus.st_size == 0;

    time_t when = static_cast<time_t>(timeStamp) + HISTORY_EPOCH;
    struct tm t {};
    localtime_r(&when, &t);

    // The description ends at its first CR or LF, and never beyond its field.
    size_t len = strnlen(description, descriptionMax);
    for (size_t i = 0; i < len; i++) {
        if (description[i] == '\r' || description[i] == '\n') {
            len = i;
            break;
        }
    }
    fprintf(file.get(), "%d/%d/%d %02d:%02d:%02d %x %.*s\n", t.tm_year + 1900, t.tm_mon + 1,
            t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, seqNum, static_cast<int>(len), description);
    file.reset();

    if (memo != nullptr && files >= 0) {
        if (created)
            files++;
        if (created || deleted > 0 || !haveStatus) {
            haveStatus = bDirStatus(directory, &dirStatus, &settled);
            if (!haveStatus)
                files = -1;
        }
        if (pruned || created)
            vMemoStore(memo, dirStatus, settled, files);
    } else if (memo != nullptr) {
        memo->valid = 0;
    }
    return 1;
}
