// Event history files. Pruning deletes files with unlink: a name read from the
// directory never reaches a shell, so a file named with shell characters is
// just a file.
#include "log/history.h"

#include "config/settings.h"
#include "log/append.h"
#include "log/dir_watch.h"
#include "log/messages.h"
#include "process/files.h"
#include "process/process.h"
#include "process/regular_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int NAME_SIZE = 256;

// Files a drive keeps: HISTORY_COUNT, and one at least (see below).
int iHistoryKeep() {
    return g_iHistoryCnt < 1 ? 1 : g_iHistoryCnt;
}

// One pass over the directory keeps a running oldest file and deletes one file
// for every matching file beyond HISTORY_COUNT. Choices made here: an entry
// whose status cannot be read (it may have just vanished) is passed over, as
// is anything that is not a regular file; a HISTORY_COUNT below 1 keeps one
// file, so the pass never has to delete a file it has not yet remembered.
// A deletion counts only when it succeeded: a file that could not be deleted
// (immutable, read-only file system) is still there and is tried again by the
// next pass. `remaining` receives the number of the drive's history files left
// after it; `stable` tells whether that number can only change through a
// change of names in the directory (not so when a matching entry is a
// symbolic link, whose target may change elsewhere, or could not be read).
// 1 when the pass ran, 0 (and `remaining` -1) when the directory could not be
// opened.
int iDelFileSearch(const char *directory, int controller, int deviceId, long long *remaining,
                   bool *stable) {
    *remaining = -1;
    *stable = false;
    DirPtr dir(opendir(directory));
    if (!dir)
        return 0;
    char prefix[64];
    int prefixLen =
        snprintf(prefix, sizeof prefix, "%s%d_Id%d_", HISTORY_PREFIX, controller, deviceId);
    int keep = iHistoryKeep();

    char oldestName[NAME_SIZE] = "";
    time_t oldestTime = 0;
    long long matched = 0;
    long long deleted = 0;
    bool fixed = true;
    int dfd = dirfd(dir.get());
    struct dirent *entry;
    while ((entry = readdir(dir.get())) != nullptr) {
        const char *name = entry->d_name;
        if (name[0] == '.' || strncmp(name, prefix, static_cast<size_t>(prefixLen)) != 0)
            continue;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN)
            fixed = false;
        struct stat st {};
        if (fstatat(dfd, name, &st, 0) != 0) {
            fixed = false;
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
        char victim[NAME_SIZE];
        snprintf(victim, sizeof victim, "%s", oldestTime <= m ? oldestName : name);
        if (oldestTime <= m) {
            snprintf(oldestName, sizeof oldestName, "%s", name);
            oldestTime = m;
        }
        if (unlinkat(dfd, victim, 0) == 0)
            deleted++;
    }
    *remaining = matched - deleted;
    *stable = fixed;
    return 1;
}

} // namespace

// Every event used to cost a full pass over the module directory, which
// dominates an event storm. A pass deletes nothing while the drive has no
// more files than it keeps, and which regular files carry the drive's prefix
// can only change through a change of names in the directory (a file's type
// never changes; links, whose targets may, make the pass's count unstable).
// An inotify watch reports every such change, so the memo keeps the number of
// files the drive's last pass left and the directory's change generation
// taken before that pass: while the generation is the same and the number is
// within HISTORY_COUNT, a pass would delete nothing and is skipped. Our own
// new file and deletions change the generation too, which costs one more
// pass, never a wrong skip. Without a watch every line gets its pass.
int iLogOut(int controller, int deviceId, uint32_t seqNum, uint32_t timeStamp,
            const char *description, size_t descriptionMax, HistoryMemo *memo) {
    char directory[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(directory, "");
    long long keep = iHistoryKeep();
    // Taken before the pass, so that any change made during or after it shows
    // at the next line.
    long long generation = memo != nullptr ? llDirChangeGeneration(directory) : -1;
    bool skip =
        generation >= 0 && memo->valid && memo->generation == generation && memo->files <= keep;
    if (!skip) {
        long long files = -1;
        bool stable = false;
        int passed = iDelFileSearch(directory, controller, deviceId, &files, &stable);
        if (memo != nullptr) {
            memo->valid = passed == 1 && stable && generation >= 0;
            memo->generation = generation;
            memo->files = files;
        }
    }

    char name[NAME_SIZE];
    snprintf(name, sizeof name, "%s%d_Id%d_%s.dat", HISTORY_PREFIX, controller, deviceId,
             gcDateTime);
    char path[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(path, name);
    struct stat before {};
    bool existed = lstat(path, &before) == 0;
    FilePtr file(pOpenRegularFile(path, "a"));
    if (!file) {
        vLogID5009_Output(name, "iLogOut", errno);
        return 0;
    }

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
    // The whole line goes out in one write, so that a failed one can be taken
    // back; a description too long for the buffer here gets one of its own.
    char head[64];
    int h = snprintf(head, sizeof head, "%d/%d/%d %02d:%02d:%02d %x ", t.tm_year + 1900,
                     t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, seqNum);
    int err = EIO;
    if (h > 0 && static_cast<size_t>(h) < sizeof head) {
        size_t size = static_cast<size_t>(h) + len + 1;
        char buffer[512];
        std::unique_ptr<char, void (*)(void *)> heap(nullptr, free);
        char *line = buffer;
        if (size > sizeof buffer) {
            heap.reset(static_cast<char *>(malloc(size)));
            line = heap.get();
        }
        err = ENOMEM;
        if (line != nullptr) {
            memcpy(line, head, static_cast<size_t>(h));
            memcpy(line + h, description, len);
            line[size - 1] = '\n';
            err = iAppendWhole(fileno(file.get()), line, size, false);
        }
    }
    file.reset();
    if (err != 0) {
        // The event cannot be kept: say so, and leave no empty file this call
        // created behind (a partial line has already been taken back).
        if (!existed)
            unlink(path);
        vLogID5009_Output(name, "iLogOut", err);
        return 0;
    }
    return 1;
}
