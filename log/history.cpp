// Event history files. Pruning deletes files with unlink: a name read from the
// directory never reaches a shell, so a file named with shell characters is
// just a file.
#include "log/history.h"

#include "config/settings.h"
#include "core/cycle.h"
#include "core/startup.h"
#include "log/dir_watch.h"
#include "log/messages.h"
#include "storage/StoreCmd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct FileCloser {
    void operator()(FILE *f) const {
        fclose(f);
    }
};
struct DirCloser {
    void operator()(DIR *d) const {
        closedir(d);
    }
};

constexpr int NAME_SIZE = 256;

} // namespace

namespace {

struct PassResult {
    long long remaining = -1; // the drive's history files left; -1: no pass
    bool stable = false;      // their number can only change with a name change
};

// The pass itself; false when the directory could not be opened. A deletion
// counts only when it succeeded: a file that could not be deleted (immutable,
// read-only file system) is still there and is tried again by the next pass.
bool bPrune(const char *directory, int controller, int deviceId, PassResult *result) {
    *result = PassResult{};
    std::unique_ptr<DIR, DirCloser> dir(opendir(directory));
    if (!dir)
        return false;
    char prefix[64];
    int prefixLen =
        snprintf(prefix, sizeof prefix, "%s%d_Id%d_", HISTORY_PREFIX, controller, deviceId);
    int keep = g_iHistoryCnt < 1 ? 1 : g_iHistoryCnt;

    char oldestName[NAME_SIZE] = "";
    time_t oldestTime = 0;
    long long matched = 0;
    long long deleted = 0;
    bool stable = true;
    int dfd = dirfd(dir.get());
    struct dirent *entry;
    while ((entry = readdir(dir.get())) != nullptr) {
        const char *name = entry->d_name;
        if (name[0] == '.' || strncmp(name, prefix, static_cast<size_t>(prefixLen)) != 0)
            continue;
        // Whether a symbolic link counts depends on its target, which may
        // change without any change in this directory.
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN)
            stable = false;
        struct stat st {};
        if (fstatat(dfd, name, &st, 0) != 0) {
            stable = false;
            continue;
        }
        if (!S_ISREG(st.st_mode))
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
        const char *victim = name;
        char victimName[NAME_SIZE];
        if (oldestTime <= m) {
            snprintf(victimName, sizeof victimName, "%s", oldestName);
            victim = victimName;
            snprintf(oldestName, sizeof oldestName, "%s", name);
            oldestTime = m;
        }
        if (unlinkat(dfd, victim, 0) == 0)
            deleted++;
    }
    result->remaining = matched - deleted;
    result->stable = stable;
    return true;
}

// Every event used to cost a full pass over the module directory, which
// dominates an event storm. A pass deletes nothing while the drive has no
// more files than it keeps, and which regular files carry the drive's prefix
// can only change through a change of names in the directory (a file's type
// never changes; links, whose targets may, are left out through `stable`).
// An inotify watch reports every such change: per drive we remember the
// number of files found by the last pass and the directory's change
// generation taken before it. While the generation is the same and the number
// is within HISTORY_COUNT, a pass would delete nothing and is skipped. Our
// own creations and deletions change the generation too, which costs one more
// pass, never a wrong skip. Without a watch every line gets its pass.
struct PruneMemo {
    long long generation; // -1 or never set: no skip
    long long files;
    int valid;
};
constexpr int MEMO_CONTROLLERS = 4;
constexpr int MEMO_DRIVES = 256;
PruneMemo s_memo[MEMO_CONTROLLERS][MEMO_DRIVES];

PruneMemo *pMemo(int controller, int deviceId) {
    if (controller < 0 || controller >= MEMO_CONTROLLERS || deviceId < 0 || deviceId >= MEMO_DRIVES)
        return nullptr;
    return &s_memo[controller][deviceId];
}

} // namespace

// One pass over the directory keeps a running oldest file and deletes one file
// for every matching file beyond HISTORY_COUNT. Choices made here: an entry
// whose status cannot be read (it may have just vanished) is passed over, as
// is anything that is not a regular file; a HISTORY_COUNT below 1 keeps one
// file, so the pass never has to delete a file it has not yet remembered.
int iDelFileSearch(const char *directory, int controller, int deviceId) {
    PassResult result;
    return bPrune(directory, controller, deviceId, &result) ? 1 : 0;
}

int iLogOut(int controller, int deviceId, void *eventList, char *description, int k) {
    char directory[MODULE_PATH_SIZE + 2];
    snprintf(directory, sizeof directory, "%s/", gcModulePath);
    long long keep = g_iHistoryCnt < 1 ? 1 : g_iHistoryCnt;
    PruneMemo *memo = pMemo(controller, deviceId);
    // Taken before the pass, so that any change made during or after it
    // shows at the next line.
    long long generation = memo != nullptr ? llDirChangeGeneration(directory) : -1;
    bool skip = generation >= 0 && memo->valid && memo->generation == generation &&
                memo->files <= keep;
    if (!skip) {
        PassResult result;
        bool passed = bPrune(directory, controller, deviceId, &result);
        if (memo != nullptr) {
            memo->valid = passed && result.stable && generation >= 0;
            memo->generation = generation;
            memo->files = result.remaining;
        }
    }

    char name[NAME_SIZE];
    snprintf(name, sizeof name, "%s%d_Id%d_%s.dat", HISTORY_PREFIX, controller, deviceId,
             gcDateTime);
    char path[MODULE_PATH_SIZE + NAME_SIZE + 2];
    snprintf(path, sizeof path, "%s/%s", gcModulePath, name);
    std::unique_ptr<FILE, FileCloser> file(fopen(path, "a"));
    if (!file) {
        vLogID5009_Output(name, "iLogOut", errno);
        return 0;
    }

    const EventDetail *r = pEventRecord(eventList, k);
    time_t when = static_cast<time_t>(r->timeStamp) + HISTORY_EPOCH;
    struct tm t {};
    localtime_r(&when, &t);

    // The description ends at its first CR or LF, and never beyond its field.
    size_t len = strnlen(description, sizeof r->description);
    for (size_t i = 0; i < len; i++) {
        if (description[i] == '\r' || description[i] == '\n')
            description[i] = '\0';
    }
    len = strnlen(description, len);
    fprintf(file.get(), "%d/%d/%d %02d:%02d:%02d %x %.*s\n", t.tm_year + 1900, t.tm_mon + 1,
            t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, r->seqNum, static_cast<int>(len),
            description);
    return 1;
}
