// Library loader. The dependency check runs ldd directly (no shell): a /bin/sh
// that is not bash reads "&>" as "run in the background" and the check would
// pass without looking, and a path with blanks or shell characters must reach
// ldd as exactly one argument and never be executed.
#include "storage/loader.h"

#include "config/settings.h"
#include "log/messages.h"
#include "process/files.h"
#include "process/process.h"
#include "storage/StoreCmd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

void *hLib = nullptr;

namespace {

constexpr int WORK_LINE_SIZE = 512; // Work.txt is read in pieces of at most 511 bytes

struct FileActions {
    posix_spawn_file_actions_t actions;
    bool ok;
    FileActions() {
        ok = posix_spawn_file_actions_init(&actions) == 0;
    }
    ~FileActions() {
        if (ok)
            posix_spawn_file_actions_destroy(&actions);
    }
};

// Runs ldd on the library with the descriptors `fa` sets up and waits for it.
int iSpawnLdd(FileActions &fa, const char *libPath) {
    char arg0[] = "ldd";
    char arg1[] = "--";
    char *argv[] = {arg0, arg1, const_cast<char *>(libPath), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "ldd", &fa.actions, nullptr, argv, environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

// Work.txt afresh: whatever had its name is removed first (a hard link's
// target is never written, a FIFO never opened) and the file is created
// exclusively, for reading back too. -1 with errno when that fails.
int iWorkFileCreate(const char *workPath) {
    if (unlink(workPath) != 0 && errno != ENOENT)
        return -1;
    return open(workPath, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
}

} // namespace

int iLddToDescriptor(const char *libPath, int out) {
    FileActions fa;
    if (!fa.ok)
        return -1;
    if (posix_spawn_file_actions_adddup2(&fa.actions, out, STDOUT_FILENO) != 0 ||
        posix_spawn_file_actions_adddup2(&fa.actions, out, STDERR_FILENO) != 0)
        return -1;
    return iSpawnLdd(fa, libPath);
}

// Counts the paths named in Work.txt that do not exist. A path runs from the
// line's first "/" to the first blank, TAB or line end (ldd's warning lines
// have no blank after their path; they are tested like any other).
int iMissingDependencies(FILE *work, int *lastErrno, void (*missing)(const char *path)) {
    int count = 0;
    char line[WORK_LINE_SIZE];
    while (fgets(line, sizeof line, work) != nullptr) {
        char *path = strchr(line, '/');
        if (path == nullptr)
            continue;
        path[strcspn(path, " \t\r\n")] = '\0';
        if (access(path, F_OK) != 0) {
            count++;
            *lastErrno = errno;
            if (missing != nullptr)
                missing(path);
        }
    }
    return count;
}

int iLib_Link() {
    char workPath[MODULE_FILE_PATH_SIZE];
    char libPath[MODULE_FILE_PATH_SIZE];
    vModuleFilePath(workPath, WORK_FILE_NAME);
    vModuleFilePath(libPath, g_cLibFileName);

    // A library name that is no regular file (a FIFO would hold ldd and the
    // loader in open for good) is refused before either looks at it.
    struct stat st {};
    if (stat(libPath, &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    int fd = iWorkFileCreate(workPath);
    if (fd < 0)
        return -1;
    FilePtr work(fdopen(fd, "r"));
    if (!work) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    int status = iLddToDescriptor(libPath, fd);
    if (status != 0) {
        errno = status;
        return -1;
    }

    int lastErrno = 0;
    rewind(work.get());
    int missing = iMissingDependencies(work.get(), &lastErrno, nullptr);
    work.reset();
    if (missing > 0) {
        errno = lastErrno;
        return -1;
    }

    hLib = dlopen(libPath, RTLD_LAZY);
    if (hLib == nullptr)
        return -1;
    ProcessLibCommandF = reinterpret_cast<ProcessLibCommand_t>(dlsym(hLib, LIB_ENTRY_NAME));
    if (ProcessLibCommandF == nullptr)
        return -1;
    return 0;
}

void vLibUnload(const char *label) {
    if (hLib == nullptr)
        return;
    if (dlclose(hLib) != 0)
        vLogID5008_Output(label, errno);
    hLib = nullptr;
}

void vend_test() {
    if (tPhysList != nullptr) {
        free(tPhysList);
        tPhysList = nullptr;
    }
    vLibUnload("vend_test");
}
