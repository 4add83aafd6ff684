// Event history files. Pruning deletes files with unlink: a name read from the
// directory never reaches a shell, so a file named with shell characters is
// just a file.
#include "log/history.h"

#include "config/settings.h"
#include "core/cycle.h"
#include "core/startup.h"
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
    void operator()(FILE *f) const { fclose(f); }
};
struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};

constexpr int NAME_SIZE = 256;

} // namespace

// One pass over the directory keeps a running oldest file and deletes one file
// for every matching file beyond HISTORY_COUNT. Choices made here: an entry
// whose status cannot be read (it may have just vanished) is passed over, as
// is anything that is not a regular file; a HISTORY_COUNT below 1 keeps one
// file, so the pass never has to delete a file it has not yet remembered.
int iDelFileSearch(const char *directory, int controller, int deviceId) {
    std::unique_ptr<DIR, DirCloser> dir(opendir(directory));
    if (!dir)
        return 0;
    char prefix[64];
    int prefixLen = snprintf(prefix, sizeof prefix, "%s%d_Id%d_", HISTORY_PREFIX, controller, deviceId);
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
    }
    return 1;
}

int iLogOut(int controller, int deviceId, void *eventList, char *description, int k) {
    char directory[MODULE_PATH_SIZE + 2];
    snprintf(directory, sizeof directory, "%s/", gcModulePath);
    iDelFileSearch(directory, controller, deviceId);

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
