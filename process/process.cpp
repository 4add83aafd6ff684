#include "process/process.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

char gcModulePath[MODULE_PATH_SIZE];
volatile sig_atomic_t g_iSignalRecv = 0;
volatile sig_atomic_t g_iReloadRecv = 0;
volatile sig_atomic_t g_iWakeRecv = 0;
volatile sig_atomic_t g_iUsr2Recv = 0;
volatile sig_atomic_t g_iAlrmRecv = 0;
char gcDateTime[DATETIME_SIZE];

namespace {

// Copies the first `len` characters of `dir` into gcModulePath if they fit.
int iStoreModulePath(const char *dir, size_t len) {
    if (len >= MODULE_PATH_SIZE)
        return 0;
    memset(gcModulePath, 0, sizeof gcModulePath);
    memcpy(gcModulePath, dir, len);
    return 1;
}

// The directory of the running executable, as the kernel knows it: 1 when
// stored, 0 when it is too long, -1 when it cannot be determined (no /proc).
int iExecutableDirSet() {
    char exe[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", exe, PATH_MAX);
    if (n <= 0)
        return -1;
    if (n >= PATH_MAX)
        return 0; // possibly cut: too long in any case
    exe[n] = '\0';
    const char *slash = strrchr(exe, '/');
    if (slash == nullptr)
        return -1;
    return iStoreModulePath(exe, static_cast<size_t>(slash - exe));
}

} // namespace

// argv[0] cut at its last "/" is the module directory. Two cases have no such
// directory of at most 255 characters, and both fall back to the directory of
// the running executable, which is what an administrator means by "beside the
// binary": a bare name found through PATH (or typed in the module directory),
// and an argv[0] whose directory part is longer than the buffer. When that
// directory is too long as well the start is refused; the working directory
// is taken only for a bare name when the executable's directory cannot be
// determined at all, since for a service it is "/".
int iModulePathSet(const char *argv0) {
    memset(gcModulePath, 0, sizeof gcModulePath);
    if (argv0 != nullptr) {
        const char *slash = strrchr(argv0, '/');
        if (slash != nullptr && iStoreModulePath(argv0, static_cast<size_t>(slash - argv0)))
            return 1;
    }
    int exe = iExecutableDirSet();
    if (exe == 1)
        return 1;
    if (exe < 0 && (argv0 == nullptr || strchr(argv0, '/') == nullptr))
        return iStoreModulePath(".", 1);
    return 0;
}

void vModuleFilePath(char (&path)[MODULE_FILE_PATH_SIZE], const char *name) {
    snprintf(path, sizeof path, "%s/%s", gcModulePath, name);
}

void vDateTimeStr() {
    time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    memset(gcDateTime, 0, sizeof gcDateTime);
    // Fields are bounded so the text always fits its 24 bytes.
    snprintf(gcDateTime, sizeof gcDateTime, "%04d%02d%02d_%02d%02d%02d", (t.tm_year + 1900) % 10000,
             (t.tm_mon + 1) % 100, t.tm_mday % 100, t.tm_hour % 100, t.tm_min % 100,
             t.tm_sec % 100);
}
