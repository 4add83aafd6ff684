#include "fuzz_support.h"

#include "process/process.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fz {

void (*onSleep)(unsigned seconds) = nullptr;
void (*onSyslog)(const char *text) = nullptr;

// The module directory is reached as /proc/self/fd/900, a descriptor of a
// fresh temporary directory: every path the daemon builds is then the same
// text on any machine and in any run, so no loop over a path (its length, its
// characters) can make the coverage, and with it the inputs explored, depend
// on where the fuzzer runs. The working directory stays as it was, so inputs
// named by relative paths are found.
const std::string &moduleDir() {
    // Never destroyed: the exit handler below still needs it.
    static const std::string &dir = *new std::string([] {
        const char *tmp = getenv("TMPDIR");
        static std::string real =
            std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kestrun-fuzz-XXXXXX";
        constexpr int kDirFd = 900;
        int fd = mkdtemp(real.data()) == nullptr ? -1 : open(real.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0 || dup2(fd, kDirFd) != kDirFd)
            fail("cannot create the module directory");
        close(fd);
        snprintf(gcModulePath, sizeof gcModulePath, "/proc/self/fd/%d", kDirFd);
        // Removed when the fuzzer ends normally.
        atexit([] {
            clearModuleDir();
            rmdir(real.c_str());
        });
        return std::string(gcModulePath);
    }());
    snprintf(gcModulePath, sizeof gcModulePath, "%s", dir.c_str());
    return dir;
}

void clearModuleDir() {
    const std::string &dir = moduleDir();
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] != '.')
            unlinkat(dirfd(d), e->d_name, 0);
    }
    closedir(d);
}

static std::string path(const char *name) {
    return moduleDir() + "/" + name;
}

bool writeFile(const char *name, const uint8_t *data, size_t size) {
    FILE *f = fopen(path(name).c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

std::string readFile(const char *name, bool *exists) {
    std::string out;
    FILE *f = fopen(path(name).c_str(), "rb");
    if (exists != nullptr)
        *exists = f != nullptr;
    if (f == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

bool exists(const char *name) {
    return access(path(name).c_str(), F_OK) == 0;
}

void fail(const char *what) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

} // namespace fz

// The daemon's own references to these are redirected here at link time
// (--wrap): retry waits and removal pauses return at once, messages never
// reach the host's logger, and the library's dependency check "runs" an ldd
// that finds every dependency.
extern "C" {
void __wrap_openlog(const char *, int, int) {}
void __wrap_closelog() {}

static void vSyslogText(const char *format, va_list ap) {
    // The daemon always passes its text through "%s".
    if (format == nullptr || strcmp(format, "%s") != 0)
        return;
    const char *text = va_arg(ap, const char *);
    // Shows what the daemon said while an input is replayed.
    static const bool show = getenv("KESTRUN_FUZZ_MESSAGES") != nullptr;
    if (show)
        fprintf(stderr, "%s\n", text);
    if (fz::onSyslog != nullptr)
        fz::onSyslog(text);
}

void __wrap_syslog(int, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vSyslogText(format, ap);
    va_end(ap);
}

void __wrap___syslog_chk(int, int, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vSyslogText(format, ap);
    va_end(ap);
}

unsigned __real_sleep(unsigned seconds);
// libFuzzer's memory watch sleeps a second at a time in a thread of its own:
// only the daemon's waits, on the fuzzing thread, return at once. Not
// instrumented, so that the watch's first call adds no coverage at a moment
// that depends on the machine's speed.
__attribute__((no_sanitize("coverage"))) unsigned __wrap_sleep(unsigned seconds) {
    if (gettid() != getpid())
        return __real_sleep(seconds);
    if (fz::onSleep != nullptr)
        fz::onSleep(seconds);
    return 0;
}

int __wrap_posix_spawnp(pid_t *pid, const char *, const posix_spawn_file_actions_t *,
                        const posix_spawnattr_t *, char *const[], char *const[]) {
    int fd = open((fz::moduleDir() + "/Work.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0)
        close(fd);
    *pid = 1 << 30;
    return 0;
}

// A fixed wall clock (2023-11-14 22:13:20 UTC): history file names and time
// stamps, and so the coverage of the code that compares them, are the same
// in every run.
time_t __wrap_time(time_t *t) {
    const time_t fixed = 1700000000;
    if (t != nullptr)
        *t = fixed;
    return fixed;
}

// Modification times as the history pruning reads them: the kernel's clock
// would make its comparisons depend on when each file was written, so a
// file's time is taken from its name instead (still different between files).
int __real_fstatat(int dirfd, const char *path, struct stat *st, int flags);
int __wrap_fstatat(int dirfd, const char *path, struct stat *st, int flags) {
    int rc = __real_fstatat(dirfd, path, st, flags);
    if (rc == 0) {
        uint32_t h = 2166136261u;
        for (const char *p = path; *p != '\0'; p++)
            h = (h ^ static_cast<unsigned char>(*p)) * 16777619u;
        st->st_mtim = {static_cast<time_t>(1700000000 - h % 100000), 0};
    }
    return rc;
}

// Durability is not what the fuzzers look at, and a sync per run would slow
// them a hundredfold.
int __wrap_fsync(int fd) {
    return fcntl(fd, F_GETFD) == -1 ? -1 : 0;
}

pid_t __wrap_waitpid(pid_t pid, int *status, int) {
    if (status != nullptr)
        *status = 0;
    return pid;
}
}
